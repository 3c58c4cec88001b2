#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cf/COJson.h"
#include "core/qai_memory.h"
#include "diag_capture.h"
#include "properties/qai_assistant_properties.h"
#include "properties/qai_ddl_text.h"

namespace {

/// A host's own memory: the store cannot parse its text in place and works on a copy.
class HostMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& text) override { summary = text; }
    std::string obtainSummary() override { return summary; }
    void addMessage(int32_t, const std::string&) override {}
    std::vector<QAIMemoryRecord> obtainMessages(int32_t) override { return {}; }
    std::string summary;
};

std::string toJson(const CMVariant& value) { return cfCreateCOJsonFromCMVariant(value)->obtainJsonString(); }

/// Expects json to render as ddl with the same text from the default memory,
/// from a host's memory (left intact) and through the catalog list, each
/// rendering reporting once when reported is set.
void expectRendered(const std::string& json, const std::string& ddl, bool reported) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    HostMemory hostMemory;
    memory.setSummary(json);
    hostMemory.setSummary(json);
    QAIAssistantProperties store(&memory);
    EXPECT_EQ(store.obtainDDLText(), ddl) << json;
    EXPECT_EQ(qaiObtainDDLTextFromStructure(store.obtainDBStructure()), ddl) << json;
    EXPECT_EQ(QAIAssistantProperties(&hostMemory).obtainCombinedInstructions(),
              ddl.empty() ? "" : ddl + "\n");
    EXPECT_EQ(hostMemory.summary, json);
    EXPECT_EQ(diags.conditions.size(), reported ? 3u : 0u) << json;
}

TEST(ddl_test, worked_example_combined_text_and_structure) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    ASSERT_TRUE(store.setProperty("db_structure", CMVariant(R"j([
  {"catalog_name": "main", "schemas": [{"schema_name": "shop", "tables": [
    {"name": "customers", "fields": [{"name": "id", "type": "int"}, {"name": "email", "type": "varchar(255)"}],
     "pkeys": ["id"]},
    {"name": "orders", "fields": [{"name": "id", "type": "int"}, {"name": "customer_id", "type": "int"},
                                  {"name": "total", "type": "decimal(10,2)"}], "pkeys": ["id"],
     "fkeys": [{"fields": ["customer_id"], "ref_schema": "shop", "ref_table": "customers", "ref_fields": ["id"]}]}],
    "views": [{"name": "big_orders", "fields": [{"name": "id", "type": "int"}, {"name": "total", "type": "decimal(10,2)"}]}]}]},
  {"schemas": [{"tables": [{"name": "audit", "fields": [{"name": "msg", "type": "text"}]}]}]}])j")));
    ASSERT_TRUE(store.setProperty("user_instructions", CMVariant("Answer in English.")));
    ASSERT_TRUE(store.setProperty("system_instructions",
                                  CMVariantMap{{"b", "Keep answers short."}, {"a", "You write SQL."}}));
    EXPECT_EQ(
        store.obtainProperty("combined_instructions"),
        CMVariant("Answer in English.\n\nYou write SQL.\nKeep answers short.\n"
                  "CREATE TABLE `audit` (`msg` text)\nUSE CATALOG `main`\n"
                  "CREATE TABLE `shop`.`customers` (`id` int, `email` varchar(255), PRIMARY KEY(`id`))\n"
                  "CREATE TABLE `shop`.`orders` (`id` int, `customer_id` int, `total` decimal(10,2), "
                  "PRIMARY KEY(`id`), FOREIGN KEY(`customer_id`) REFERENCES `shop`.`customers`(`id`))\n"
                  "CREATE VIEW `shop`.`big_orders` (`id` int, `total` decimal(10,2))\n\n"));
    EXPECT_EQ(
        toJson(store.obtainProperty("db_structure")),
        R"j([{"instructions":[],"schemas":[{"instructions":["CREATE TABLE `audit` (`msg` text)"]}]},)j"
        R"j({"catalog_name":"main","instructions":["USE CATALOG `main`"],"schemas":[{"instructions":[)j"
        R"j("CREATE TABLE `shop`.`customers` (`id` int, `email` varchar(255), PRIMARY KEY(`id`))",)j"
        R"j("CREATE TABLE `shop`.`orders` (`id` int, `customer_id` int, `total` decimal(10,2), )j"
        R"j(PRIMARY KEY(`id`), FOREIGN KEY(`customer_id`) REFERENCES `shop`.`customers`(`id`))",)j"
        R"j("CREATE VIEW `shop`.`big_orders` (`id` int, `total` decimal(10,2))"],"schema_name":"shop"}]}])j");
    EXPECT_TRUE(diags.conditions.empty());
}

TEST(ddl_test, combined_text_ends_each_present_part) {
    const std::string table = R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])";
    const std::string failed = R"([{"schemas":[{"tables":[1]}]}])";
    const std::vector<std::vector<std::string>> cases = {
        // user, system, structure, combined
        {"", "", "", ""},         {"U", "", "", "U\n\n"},
        {"", "S", "", "S\n"},     {"", "", table, "CREATE TABLE `t` ()\n\n"},
        {"", "", failed, "\n\n"},  // a structure of one failed object still ends with an empty line
    };
    for (const auto& c : cases) {
        QAIDefaultAssistantMemory memory;
        memory.setSummary(c[2]);
        QAIAssistantProperties store(&memory);
        store.setProperty("user_instructions", CMVariant(c[0]));
        store.setProperty("system_instructions", CMVariantMap{{"k", c[1]}});
        EXPECT_EQ(store.obtainCombinedInstructions(), c[3]);
    }
}

TEST(ddl_test, unreadable_document_renders_nothing_without_diagnostic) {
    for (const char* text : {"", "not json", "{}", "42", "null", "[", "[]"}) {
        expectRendered(text, "", false);
        EXPECT_TRUE(qaiObtainDBStructure(text).empty()) << text;
    }
}

TEST(ddl_test, statement_shapes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // No columns: no keys either. Two primary-key columns; an empty pkeys list writes no clause.
        {R"([{"schemas":[{"schema_name":"s","tables":[{"name":"t","fields":[],"pkeys":["id"]}]}]}])",
         "CREATE TABLE `s`.`t` ()\n"},
        {R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"a","type":"int"},{"name":"b","type":"int"}],
            "pkeys":["a","b"]},{"name":"u","fields":[{"name":"a","type":"int"}],"pkeys":[]}]}]}])",
         "CREATE TABLE `t` (`a` int, `b` int, PRIMARY KEY(`a`, `b`))\nCREATE TABLE `u` (`a` int)\n"},
        // Foreign keys without ref_schema and with an empty one; keys with an empty list are left out.
        {R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"a","type":"int"}],"fkeys":[
            {"fields":["a"],"ref_table":"r","ref_fields":["x"]},{"fields":[],"ref_table":"r","ref_fields":["x"]},
            {"fields":["a","b"],"ref_schema":"","ref_table":"r","ref_fields":["x","y"]},
            {"fields":["a"],"ref_table":"r","ref_fields":[]}]}]}]}])",
         "CREATE TABLE `t` (`a` int, FOREIGN KEY(`a`) REFERENCES `r`(`x`), FOREIGN KEY(`a`, `b`) REFERENCES "
         "``.`r`(`x`, `y`))\n"},
        // Tables, then views, then materialized views, whatever the member order.
        {R"([{"schemas":[{"mviews":[{"name":"m","fields":[]}],"views":[{"name":"v","fields":[]}],
            "tables":[{"name":"t","fields":[]}]}]}])",
         "CREATE TABLE `t` ()\nCREATE VIEW `v` ()\nCREATE MATERIALIZED VIEW `m` ()\n"},
        // Names and types unchanged, backticks and UTF-8 included; unknown members ignored.
        {R"j([{"catalog_name":"c`1","schemas":[{"schema_name":"s`x","extra":1,"tables":[{"name":"t`\u00e9",
            "fields":[{"name":"a`b","type":"enum('`')"}],"pkeys":["a`b"],
            "fkeys":[{"fields":["a`b"],"ref_schema":"q`","ref_table":"`r","ref_fields":["``"]}]}]}]}])j",
         "USE CATALOG `c`1`\nCREATE TABLE `s`x`.`t`\xC3\xA9` (`a`b` enum('`'), PRIMARY KEY(`a`b`), "
         "FOREIGN KEY(`a`b`) REFERENCES `q``.``r`(````))\n"},
        // Nameless catalogs (an empty name counts as none) first, each group in document order.
        {R"([{"catalog_name":"n1","schemas":[{"tables":[{"name":"a","fields":[]}]}]},
            {"schemas":[{"tables":[{"name":"b","fields":[]}]}]},{"catalog_name":"n2","schemas":[{"tables":[{"name":"d","fields":[]}]}]},
            {"catalog_name":"","schemas":[{"tables":[{"name":"c","fields":[]}]}]},{"catalog_id":"x","schemas":[{"tables":[{"name":"e","fields":[]}]}]}])",
         "CREATE TABLE `b` ()\nUSE CATALOG ``\nCREATE TABLE `c` ()\nCREATE TABLE `e` ()\nUSE CATALOG `n1`\n"
         "CREATE TABLE `a` ()\nUSE CATALOG `n2`\nCREATE TABLE `d` ()\n"},
        // Schemas without objects give no line; an empty catalog name still gives one.
        {R"([{"catalog_name":"","schemas":[{"schema_name":"s"},{"tables":[],"views":[],"mviews":[]}]}])",
         "USE CATALOG ``\n"},
    };
    for (const auto& [json, ddl] : cases) expectRendered(json, ddl, false);
}

TEST(ddl_test, malformed_catalog_or_schema_is_left_out_entirely) {
    const std::string schema = R"({"schema_id":"2","tables":[{"name":"t","fields":[]}]})";
    const auto catalog = [](const std::string& schemas) {
        return R"({"catalog_id":"i","catalog_name":"ok","schemas":[)" + schemas + "]}";
    };
    std::vector<std::string> documents;
    for (const std::string bad :
         {"1", R"({"catalog_id":5,"schemas":[{"tables":[{"name":"x","fields":[]}]}]})",
          R"({"catalog_name":null,"schemas":[]})", R"({"catalog_name":"c"})", R"({"schemas":{}})"}) {
        documents.push_back(std::string("[").append(bad).append(",").append(catalog(schema)).append("]"));
    }
    for (const std::string bad :
         {"7", R"({"schema_id":1,"tables":[{"name":"x","fields":[]}]})", R"({"schema_name":["s"]})",
          R"({"tables":{}})", R"({"views":"v"})", R"({"mviews":null})"}) {
        documents.push_back(std::string("[").append(catalog(bad + "," + schema)).append("]"));
    }
    for (const std::string& json : documents) {
        expectRendered(json, "USE CATALOG `ok`\nCREATE TABLE `t` ()\n", true);
        EXPECT_EQ(toJson(qaiObtainDBStructure(json)),
                  R"j([{"catalog_id":"i","catalog_name":"ok","instructions":["USE CATALOG `ok`"],)j"
                  R"j("schemas":[{"instructions":["CREATE TABLE `t` ()"],"schema_id":"2"}]}])j");
    }
}

TEST(ddl_test, object_failing_a_check_becomes_an_empty_line) {
    std::vector<std::string> bad;
    for (const char* object :
         {"3", R"({"fields":[]})", R"({"name":"x","fields":{}})", R"({"name":"x","fields":[],"pkeys":"id"})",
          R"({"name":"x","fields":[],"fkeys":{}})",
          R"({"name":"x","fields":[{"name":"a","type":"int"},"b"]})",
          R"({"name":"x","fields":[{"type":"int"}]})", R"({"name":"x","fields":[{"name":"a","type":5}]})",
          R"({"name":"x","fields":[{"name":"a","type":"int"}],"pkeys":["a",1]})"}) {
        bad.push_back(object);
    }
    // Foreign keys: the key itself, each member missing or of the wrong kind, non-string columns,
    // and the checks come before the test for empty lists.
    for (const char* key :
         {R"("a")", R"({"fields":"a","ref_table":"r","ref_fields":["b"]})",
          R"({"fields":["a"],"ref_schema":1,"ref_table":"r","ref_fields":["b"]})",
          R"({"fields":["a"],"ref_table":2,"ref_fields":["b"]})", R"({"fields":["a"],"ref_table":"r"})",
          R"({"fields":[1],"ref_table":"r","ref_fields":["b"]})",
          R"({"fields":["a"],"ref_table":"r","ref_fields":[null]})", R"({"fields":[],"ref_fields":[]})"}) {
        bad.push_back(R"({"name":"x","fields":[{"name":"a","type":"int"}],"fkeys":[)" + std::string(key) +
                      "]}");
    }
    for (const std::string& object : bad) {
        expectRendered(R"([{"schemas":[{"schema_name":"s","tables":[)" + object +
                           R"(,{"name":"ok","fields":[{"name":"a","type":"int"}]}]}]}])",
                       "\nCREATE TABLE `s`.`ok` (`a` int)\n", true);
    }
}

}  // namespace
