#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/qai_memory.h"
#include "diag_capture.h"
#include "properties/qai_assistant_properties.h"
#include "properties/qai_ddl_text.h"

namespace {

/// Renders json through the store and checks that the direct path, the
/// catalog-list path and the combined text agree.
std::string renderDDL(const std::string& json) {
    QAIDefaultAssistantMemory memory;
    memory.setSummary(json);
    QAIAssistantProperties store(&memory);
    const std::string direct = store.obtainDDLText();
    EXPECT_EQ(qaiObtainDDLTextFromStructure(store.obtainDBStructure()), direct) << json;
    EXPECT_EQ(store.obtainCombinedInstructions(), direct.empty() ? "" : direct + "\n") << json;
    return direct;
}

/// A one-catalog, one-schema document holding the given tables.
std::string schemaWithTables(const std::string& tables) {
    return R"([{"schemas":[{"schema_name":"s","tables":[)" + tables + "]}]}]";
}

const char* const kWorkedExample = R"j([
  {"catalog_name": "main", "schemas": [{"schema_name": "shop",
    "tables": [
      {"name": "customers", "fields": [{"name": "id", "type": "int"}, {"name": "email", "type": "varchar(255)"}],
       "pkeys": ["id"]},
      {"name": "orders", "fields": [{"name": "id", "type": "int"}, {"name": "customer_id", "type": "int"},
                                    {"name": "total", "type": "decimal(10,2)"}],
       "pkeys": ["id"],
       "fkeys": [{"fields": ["customer_id"], "ref_schema": "shop", "ref_table": "customers", "ref_fields": ["id"]}]}],
    "views": [{"name": "big_orders", "fields": [{"name": "id", "type": "int"}, {"name": "total", "type": "decimal(10,2)"}]}]}]},
  {"schemas": [{"tables": [{"name": "audit", "fields": [{"name": "msg", "type": "text"}]}]}]}
])j";

TEST(ddl_test, worked_example_combined_text_and_structure) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    ASSERT_TRUE(store.setProperty("db_structure", CMVariant(kWorkedExample)));
    ASSERT_TRUE(store.setProperty("user_instructions", CMVariant("Answer in English.")));
    ASSERT_TRUE(store.setProperty("system_instructions",
                                  CMVariant(CMVariantMap{{"b", CMVariant("Keep answers short.")},
                                                         {"a", CMVariant("You write SQL.")}})));

    const std::string ddl =
        "CREATE TABLE `audit` (`msg` text)\n"
        "USE CATALOG `main`\n"
        "CREATE TABLE `shop`.`customers` (`id` int, `email` varchar(255), PRIMARY KEY(`id`))\n"
        "CREATE TABLE `shop`.`orders` (`id` int, `customer_id` int, `total` decimal(10,2), PRIMARY "
        "KEY(`id`), "
        "FOREIGN KEY(`customer_id`) REFERENCES `shop`.`customers`(`id`))\n"
        "CREATE VIEW `shop`.`big_orders` (`id` int, `total` decimal(10,2))\n";
    EXPECT_EQ(store.obtainDDLText(), ddl);
    const std::string combined = "Answer in English.\n\nYou write SQL.\nKeep answers short.\n" + ddl + "\n";
    EXPECT_EQ(store.obtainCombinedInstructions(), combined);
    EXPECT_EQ(store.obtainProperty("combined_instructions"), CMVariant(combined));

    const CMVariantList expected = {
        CMVariant(CMVariantMap{
            {"instructions", CMVariant(CMVariantList{})},
            {"schemas",
             CMVariant(CMVariantList{CMVariant(CMVariantMap{
                 {"instructions", CMVariant(CMVariantList{CMVariant("CREATE TABLE `audit` (`msg` text)")})},
             })})},
        }),
        CMVariant(CMVariantMap{
            {"catalog_name", CMVariant("main")},
            {"instructions", CMVariant(CMVariantList{CMVariant("USE CATALOG `main`")})},
            {"schemas",
             CMVariant(CMVariantList{CMVariant(CMVariantMap{
                 {"schema_name", CMVariant("shop")},
                 {"instructions",
                  CMVariant(CMVariantList{
                      CMVariant("CREATE TABLE `shop`.`customers` (`id` int, `email` varchar(255), PRIMARY "
                                "KEY(`id`))"),
                      CMVariant(
                          "CREATE TABLE `shop`.`orders` (`id` int, `customer_id` int, `total` decimal(10,2), "
                          "PRIMARY KEY(`id`), FOREIGN KEY(`customer_id`) REFERENCES "
                          "`shop`.`customers`(`id`))"),
                      CMVariant("CREATE VIEW `shop`.`big_orders` (`id` int, `total` decimal(10,2))"),
                  })},
             })})},
        }),
    };
    EXPECT_EQ(store.obtainProperty("db_structure"), CMVariant(expected));
    EXPECT_TRUE(diags.conditions.empty());
    EXPECT_EQ(qaiObtainDDLTextFromStructure(expected), ddl);
}

TEST(ddl_test, combined_text_line_feeds_per_part) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    EXPECT_EQ(store.obtainDDLText(), "");
    EXPECT_EQ(store.obtainCombinedInstructions(), "");

    store.setProperty("user_instructions", CMVariant("U"));
    EXPECT_EQ(store.obtainCombinedInstructions(), "U\n\n");
    store.setProperty("user_instructions", CMVariant(""));
    store.setProperty("system_instructions", CMVariant(CMVariantMap{{"k", CMVariant("S")}}));
    EXPECT_EQ(store.obtainCombinedInstructions(), "S\n");
    store.setProperty("system_instructions", CMVariant(CMVariantMap{{"k", CMVariant("")}}));
    store.setProperty("db_structure", CMVariant(schemaWithTables(R"({"name":"t","fields":[]})")));
    EXPECT_EQ(store.obtainCombinedInstructions(), "CREATE TABLE `s`.`t` ()\n\n");
    // A structure whose only object fails still gives a DDL text: one empty line.
    memory.setSummary(schemaWithTables("1"));
    EXPECT_EQ(store.obtainCombinedInstructions(), "\n\n");
}

TEST(ddl_test, unreadable_document_renders_nothing_without_diagnostic) {
    DiagCapture diags;
    for (const char* text : {"", "not json", "{}", "42", "\"x\"", "null", "[", "[]"}) {
        EXPECT_EQ(renderDDL(text), "") << text;
        QAIDefaultAssistantMemory memory;
        memory.setSummary(text);
        EXPECT_TRUE(QAIAssistantProperties(&memory).obtainDBStructure().empty()) << text;
    }
    EXPECT_TRUE(diags.conditions.empty());
}

TEST(ddl_test, statement_shapes) {
    struct Case {
        const char* json;
        const char* ddl;
    };
    const Case cases[] = {
        // Empty column list: no keys, also when pkeys and fkeys are given.
        {R"([{"schemas":[{"schema_name":"s","tables":[{"name":"t","fields":[],"pkeys":["id"],
            "fkeys":[{"fields":["a"],"ref_table":"r","ref_fields":["b"]}]}]}]}])",
         "CREATE TABLE `s`.`t` ()\n"},
        // Two primary-key columns; an empty pkeys list writes no clause.
        {R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"a","type":"int"},{"name":"b","type":"int"}],
            "pkeys":["a","b"]},{"name":"u","fields":[{"name":"a","type":"int"}],"pkeys":[]}]}]}])",
         "CREATE TABLE `t` (`a` int, `b` int, PRIMARY KEY(`a`, `b`))\nCREATE TABLE `u` (`a` int)\n"},
        // Foreign keys: without ref_schema, with an empty one, with several columns, two keys in a row.
        {R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"a","type":"int"}],"fkeys":[
            {"fields":["a"],"ref_table":"r","ref_fields":["x"]},
            {"fields":["a","b"],"ref_schema":"","ref_table":"r","ref_fields":["x","y"]}]}]}]}])",
         "CREATE TABLE `t` (`a` int, FOREIGN KEY(`a`) REFERENCES `r`(`x`), FOREIGN KEY(`a`, `b`) REFERENCES "
         "``.`r`(`x`, `y`))\n"},
        // A foreign key with an empty list on either side is left out.
        {R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"a","type":"int"}],"fkeys":[
            {"fields":[],"ref_table":"r","ref_fields":["x"]},{"fields":["a"],"ref_table":"r","ref_fields":[]},
            {"fields":["a"],"ref_table":"r","ref_fields":["x"]}]}]}]}])",
         "CREATE TABLE `t` (`a` int, FOREIGN KEY(`a`) REFERENCES `r`(`x`))\n"},
        // Tables, then views, then materialized views, whatever the member order.
        {R"([{"schemas":[{"schema_name":"s","mviews":[{"name":"m","fields":[]}],"views":[{"name":"v","fields":[]}],
            "tables":[{"name":"t","fields":[]}]}]}])",
         "CREATE TABLE `s`.`t` ()\nCREATE VIEW `s`.`v` ()\nCREATE MATERIALIZED VIEW `s`.`m` ()\n"},
        // Names and types are written unchanged, backticks included; unknown members are ignored.
        {R"j([{"catalog_name":"c`1","schemas":[{"schema_name":"s`x","extra":1,"tables":[{"name":"t`y","comment":"z",
            "fields":[{"name":"a`b","type":"enum('`')","null":true}],"pkeys":["a`b"],
            "fkeys":[{"fields":["a`b"],"ref_schema":"q`","ref_table":"`r","ref_fields":["``"]}]}]}]}])j",
         "USE CATALOG `c`1`\nCREATE TABLE `s`x`.`t`y` (`a`b` enum('`'), PRIMARY KEY(`a`b`), FOREIGN "
         "KEY(`a`b`) "
         "REFERENCES `q``.``r`(````))\n"},
        // A schema without object lists, or with empty ones, contributes no line.
        {R"([{"catalog_name":"c","schemas":[{"schema_name":"s"},{"tables":[],"views":[],"mviews":[]}]}])",
         "USE CATALOG `c`\n"},
        // An empty catalog name still gives a catalog line.
        {R"([{"catalog_name":"","schemas":[]}])", "USE CATALOG ``\n"},
        // UTF-8 names pass through.
        {R"([{"schemas":[{"tables":[{"name":"t\u00e9","fields":[{"name":"\u00fc","type":"text"}]}]}]}])",
         "CREATE TABLE `t\xC3\xA9` (`\xC3\xBC` text)\n"},
    };
    DiagCapture diags;
    for (const Case& c : cases) EXPECT_EQ(renderDDL(c.json), c.ddl) << c.json;
    EXPECT_TRUE(diags.conditions.empty());
}

TEST(ddl_test, nameless_catalogs_come_first_in_document_order) {
    const char* json = R"([
        {"catalog_name":"n1","schemas":[{"tables":[{"name":"a","fields":[]}]}]},
        {"schemas":[{"tables":[{"name":"b","fields":[]}]}]},
        {"catalog_name":"","schemas":[{"tables":[{"name":"c","fields":[]}]}]},
        {"catalog_name":"n2","catalog_id":"7","schemas":[{"tables":[{"name":"d","fields":[]}]}]},
        {"catalog_id":"x","schemas":[{"tables":[{"name":"e","fields":[]}]}]}])";
    EXPECT_EQ(renderDDL(json),
              "CREATE TABLE `b` ()\n"
              "USE CATALOG ``\n"
              "CREATE TABLE `c` ()\n"
              "CREATE TABLE `e` ()\n"
              "USE CATALOG `n1`\n"
              "CREATE TABLE `a` ()\n"
              "USE CATALOG `n2`\n"
              "CREATE TABLE `d` ()\n");

    QAIDefaultAssistantMemory memory;
    memory.setSummary(json);
    const CMVariantList catalogs = QAIAssistantProperties(&memory).obtainDBStructure();
    ASSERT_EQ(catalogs.size(), 5u);
    std::vector<std::string> order;
    for (const CMVariant& catalog : catalogs) {
        const CMVariantMap map = catalog.mapValue();
        auto id = map.find("catalog_id");
        auto name = map.find("catalog_name");
        order.push_back((name == map.end() ? "-" : name->second.stringValue()) + "/" +
                        (id == map.end() ? "-" : id->second.stringValue()));
    }
    EXPECT_EQ(order, (std::vector<std::string>{"-/-", "/-", "-/x", "n1/-", "n2/7"}));
}

TEST(ddl_test, malformed_catalog_is_left_out_entirely) {
    const std::string good = R"({"catalog_name":"ok","schemas":[{"tables":[{"name":"t","fields":[]}]}]})";
    const char* bad[] = {
        "1",
        "null",
        "[]",
        "\"catalog\"",
        R"({"catalog_id":5,"schemas":[{"tables":[{"name":"x","fields":[]}]}]})",
        R"({"catalog_id":null,"schemas":[]})",
        R"({"catalog_name":5,"schemas":[]})",
        R"({"catalog_name":null,"schemas":[]})",
        R"({"catalog_name":"c"})",
        R"({"schemas":null})",
        R"({"schemas":{}})",
    };
    for (const char* catalog : bad) {
        DiagCapture diags;
        const std::string json = std::string("[").append(catalog).append(",").append(good).append("]");
        EXPECT_EQ(renderDDL(json), "USE CATALOG `ok`\nCREATE TABLE `t` ()\n") << catalog;
        // Reported once by each of the three renderings in renderDDL.
        EXPECT_EQ(diags.conditions, std::vector<std::string>(3, "false")) << catalog;
    }
}

TEST(ddl_test, malformed_schema_is_left_out_entirely) {
    const char* bad[] = {
        "7",
        "null",
        R"({"schema_id":1,"tables":[{"name":"x","fields":[]}]})",
        R"({"schema_name":["s"]})",
        R"({"schema_name":null})",
        R"({"tables":{}})",
        R"({"views":"v"})",
        R"({"mviews":null})",
    };
    for (const char* schema : bad) {
        DiagCapture diags;
        const std::string json = R"([{"catalog_name":"c","schemas":[)" + std::string(schema) +
                                 R"(,{"schema_id":"2","tables":[{"name":"t","fields":[]}]}]}])";
        EXPECT_EQ(renderDDL(json), "USE CATALOG `c`\nCREATE TABLE `t` ()\n") << schema;
        EXPECT_EQ(diags.conditions, std::vector<std::string>(3, "false")) << schema;

        QAIDefaultAssistantMemory memory;
        memory.setSummary(json);
        const CMVariantList catalogs = QAIAssistantProperties(&memory).obtainDBStructure();
        ASSERT_EQ(catalogs.size(), 1u);
        const CMVariantList schemas = catalogs[0].mapValue()["schemas"].listRef();
        ASSERT_EQ(schemas.size(), 1u) << schema;
        EXPECT_EQ(schemas[0].mapValue()["schema_id"], CMVariant("2"));
    }
}

TEST(ddl_test, object_failing_a_check_becomes_an_empty_line) {
    const char* bad[] = {
        // The object itself and its own members.
        "3",
        "null",
        R"({"fields":[]})",
        R"({"name":null,"fields":[]})",
        R"({"name":1,"fields":[]})",
        R"({"name":"x"})",
        R"({"name":"x","fields":{}})",
        R"({"name":"x","fields":[],"pkeys":"id"})",
        R"({"name":"x","fields":[],"pkeys":null})",
        R"({"name":"x","fields":[],"fkeys":{}})",
        // Columns.
        R"({"name":"x","fields":[{"name":"a","type":"int"},"b"]})",
        R"({"name":"x","fields":[{"type":"int"}]})",
        R"({"name":"x","fields":[{"name":"a"}]})",
        R"({"name":"x","fields":[{"name":"a","type":5}]})",
        R"({"name":"x","fields":[{"name":1,"type":"int"}]})",
        // Primary-key entries.
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"pkeys":["a",1]})",
        // Foreign keys: the key itself, missing or mistyped members, non-string columns.
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":["a"]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"ref_table":"r","ref_fields":["b"]}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":["a"],"ref_fields":["b"]}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":["a"],"ref_table":"r"}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":"a","ref_table":"r","ref_fields":["b"]}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":["a"],"ref_schema":1,"ref_table":"r","ref_fields":["b"]}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":["a"],"ref_table":2,"ref_fields":["b"]}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":[1],"ref_table":"r","ref_fields":["b"]}]})",
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":["a"],"ref_table":"r","ref_fields":[null]}]})",
        // Checks of a key come before its emptiness.
        R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[{"fields":[],"ref_fields":[]}]})",
    };
    for (const char* object : bad) {
        DiagCapture diags;
        const std::string tables =
            std::string(object) + R"(,{"name":"ok","fields":[{"name":"a","type":"int"}]})";
        EXPECT_EQ(renderDDL(schemaWithTables(tables)), "\nCREATE TABLE `s`.`ok` (`a` int)\n") << object;
        EXPECT_EQ(diags.conditions, std::vector<std::string>(3, "false")) << object;
    }
}

TEST(ddl_test, create_statement_is_empty_for_failed_object_in_structure) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    memory.setSummary(R"([{"schemas":[{"views":[{"name":"v","fields":[{"name":"a","type":1}]}],
                           "mviews":[{"name":"m","fields":[]}]}]}])");
    const CMVariantList catalogs = QAIAssistantProperties(&memory).obtainDBStructure();
    ASSERT_EQ(catalogs.size(), 1u);
    const CMVariantList schemas = catalogs[0].mapValue()["schemas"].listRef();
    ASSERT_EQ(schemas.size(), 1u);
    EXPECT_EQ(schemas[0].mapValue()["instructions"],
              CMVariant(CMVariantList{CMVariant(""), CMVariant("CREATE MATERIALIZED VIEW `m` ()")}));
    EXPECT_EQ(diags.conditions, std::vector<std::string>{"false"});
}

TEST(ddl_test, structure_follows_the_memory) {
    QAIDefaultAssistantMemory first;
    QAIDefaultAssistantMemory second;
    QAIAssistantProperties store(&first);
    store.setProperty("db_structure", CMVariant(schemaWithTables(R"({"name":"t","fields":[]})")));
    EXPECT_EQ(store.obtainDDLText(), "CREATE TABLE `s`.`t` ()\n");
    store.setMemory(&second);
    EXPECT_EQ(store.obtainDDLText(), "");
    second.setSummary(schemaWithTables(R"({"name":"u","fields":[]})"));
    EXPECT_EQ(store.obtainDDLText(), "CREATE TABLE `s`.`u` ()\n");
}

}  // namespace
