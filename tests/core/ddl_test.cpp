#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cf/COJson.h"
#include "core/qai_memory.h"
#include "diag_capture.h"
#include "properties/qai_assistant_properties.h"
#include "properties/qai_ddl_renderer.h"

namespace {

/// A host's own memory: the store cannot parse its text in place.
class HostMemory final : public IQAIAssistantMemory {
public:
    void setSummary(const std::string& text) override { summary = text; }
    std::string obtainSummary() override { return summary; }
    void addMessage(int32_t, const std::string&) override {}
    std::vector<QAIMemoryRecord> obtainMessages(int32_t) override { return {}; }
    std::string summary;
};

std::string toJson(const CMVariant& value) { return cfCreateCOJsonFromCMVariant(value)->obtainJsonString(); }

/// Expects json to render as ddl alike straight from the text and through the catalog list, each of
/// the two renderings reporting once when reported is set; the combined text adds a line feed.
void expectRendered(const std::string& json, const std::string& ddl, bool reported) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    memory.setSummary(json);
    EXPECT_EQ(QAIAssistantProperties(&memory).obtainDDLText(), ddl) << json;
    EXPECT_EQ(qaiObtainDDLTextFromStructure(qaiObtainDBStructure(json)), ddl) << json;
    EXPECT_EQ(diags.conditions.size(), reported ? 2u : 0u) << json;
    for (const std::string& file : diags.files)  // the description is the store's input
        EXPECT_TRUE(file.ends_with("/qai_assistant_properties.cpp")) << file;
    EXPECT_EQ(QAIAssistantProperties(&memory).obtainCombinedInstructions(), ddl.empty() ? "" : ddl + "\n");
}

TEST(ddl_test, worked_example_combined_text_and_structure) {
    HostMemory memory;  // rendered from a copy of its text, which must stay intact
    QAIAssistantProperties store(&memory);
    store.setProperty("db_structure", R"j([{"catalog_name":"main","schemas":[{"schema_name":"shop",
      "tables":[{"name":"customers","fields":[{"name":"id","type":"int"},{"name":"email","type":"varchar(255)"}],
        "pkeys":["id"]},{"name":"orders","fields":[{"name":"id","type":"int"},{"name":"customer_id","type":"int"},
        {"name":"total","type":"decimal(10,2)"}],"pkeys":["id"],"fkeys":[{"fields":["customer_id"],
        "ref_schema":"shop","ref_table":"customers","ref_fields":["id"]}]}],"views":[{"name":"big_orders",
        "fields":[{"name":"id","type":"int"},{"name":"total","type":"decimal(10,2)"}]}]}]},
      {"schemas":[{"tables":[{"name":"audit","fields":[{"name":"msg","type":"text"}]}]}]}])j");
    store.setProperty("user_instructions", "Answer in English.");
    store.setProperty("system_instructions",
                      CMVariantMap{{"b", "Keep answers short."}, {"a", "You write SQL."}});
    EXPECT_EQ(store.obtainCombinedInstructions(),
              "Answer in English.\n\nYou write SQL.\nKeep answers short.\n"
              "CREATE TABLE `audit` (`msg` text)\nUSE CATALOG `main`\n"
              "CREATE TABLE `shop`.`customers` (`id` int, `email` varchar(255), PRIMARY KEY(`id`))\n"
              "CREATE TABLE `shop`.`orders` (`id` int, `customer_id` int, `total` decimal(10,2), "
              "PRIMARY KEY(`id`), FOREIGN KEY(`customer_id`) REFERENCES `shop`.`customers`(`id`))\n"
              "CREATE VIEW `shop`.`big_orders` (`id` int, `total` decimal(10,2))\n\n");
    EXPECT_EQ(toJson(store.obtainProperty("db_structure")),
              R"j([{"instructions":[],"schemas":[{"instructions":["CREATE TABLE `audit` (`msg` text)"]}]},)j"
              R"j({"catalog_name":"main","instructions":["USE CATALOG `main`"],"schemas":[{"instructions":[)j"
              R"j("CREATE TABLE `shop`.`customers` (`id` int, `email` varchar(255), PRIMARY KEY(`id`))",)j"
              R"j("CREATE TABLE `shop`.`orders` (`id` int, `customer_id` int, `total` decimal(10,2), )j"
              R"j(PRIMARY KEY(`id`), FOREIGN KEY(`customer_id`) REFERENCES `shop`.`customers`(`id`))",)j"
              R"j("CREATE VIEW `shop`.`big_orders` (`id` int, `total` decimal(10,2))"],)j"
              R"j("schema_name":"shop"}]}])j");
}

TEST(ddl_test, unreadable_document_renders_nothing_without_diagnostic) {
    for (const char* text : {"", "not json", "{}", "42", "null", "[", "[]"}) expectRendered(text, "", false);
}

TEST(ddl_test, statement_shapes) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        // Tables, views, materialized views in that order; no columns, no keys.
        {R"([{"schemas":[{"schema_name":"s","mviews":[{"name":"m","fields":[]}],"views":[{"name":"v","fields":[]}],
            "tables":[{"name":"t","fields":[],"pkeys":["id"]}]}]}])",
         "CREATE TABLE `s`.`t` ()\nCREATE VIEW `s`.`v` ()\nCREATE MATERIALIZED VIEW `s`.`m` ()\n"},
        // Two primary-key columns; an empty pkeys list writes no clause. Foreign keys without ref_schema and
        // with an empty one; keys with an empty list are left out.
        {R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"a","type":"int"},{"name":"b","type":"int"}],
            "pkeys":["a","b"]},{"name":"u","fields":[{"name":"a","type":"int"}],"pkeys":[],"fkeys":[
            {"fields":["a"],"ref_table":"r","ref_fields":["x"]},{"fields":[],"ref_table":"r","ref_fields":["x"]},
            {"fields":["a","b"],"ref_schema":"","ref_table":"r","ref_fields":["x","y"]},
            {"fields":["a"],"ref_table":"r","ref_fields":[]}]}]}]}])",
         "CREATE TABLE `t` (`a` int, `b` int, PRIMARY KEY(`a`, `b`))\nCREATE TABLE `u` (`a` int, "
         "FOREIGN KEY(`a`) REFERENCES `r`(`x`), FOREIGN KEY(`a`, `b`) REFERENCES ``.`r`(`x`, `y`))\n"},
        // Names and types unchanged, backticks and UTF-8 included; unknown members ignored.
        {R"j([{"catalog_name":"c`1","schemas":[{"schema_name":"s`x","extra":1,"tables":[{"name":"t`\u00e9",
            "fields":[{"name":"a`b","type":"enum('`')"}],"pkeys":["a`b"],
            "fkeys":[{"fields":["a`b"],"ref_schema":"q`","ref_table":"`r","ref_fields":["``"]}]}]}]}])j",
         "USE CATALOG `c`1`\nCREATE TABLE `s`x`.`t`\xC3\xA9` (`a`b` enum('`'), PRIMARY KEY(`a`b`), "
         "FOREIGN KEY(`a`b`) REFERENCES `q``.``r`(````))\n"},
        // Nameless catalogs first, an empty name counting as none, each group in document order;
        // schemas without objects give no line.
        {R"([{"catalog_name":"n1","schemas":[{"tables":[{"name":"a","fields":[]}]}]},
            {"schemas":[{"tables":[{"name":"b","fields":[]}]}]},{"catalog_name":"n2","schemas":[{"schema_name":"s"}]},
            {"catalog_name":"","schemas":[{"tables":[{"name":"c","fields":[]}]},{"tables":[],"views":[],"mviews":[]}]},
            {"catalog_id":"x","schemas":[{"tables":[{"name":"e","fields":[]}]}]}])",
         "CREATE TABLE `b` ()\nUSE CATALOG ``\nCREATE TABLE `c` ()\nCREATE TABLE `e` ()\nUSE CATALOG `n1`\n"
         "CREATE TABLE `a` ()\nUSE CATALOG `n2`\n"}};
    for (const auto& [json, ddl] : cases) expectRendered(json, ddl, false);
}

TEST(ddl_test, malformed_catalog_or_schema_is_left_out_entirely) {
    const std::string head = R"([{"catalog_id":"i","catalog_name":"ok","schemas":[)";
    const std::string good = R"({"schema_id":"2","tables":[{"name":"t","fields":[]}]})";
    std::vector<std::string> documents;
    // clang-format off
    for (const char* bad : {"1", R"({"catalog_id":5,"schemas":[{"tables":[{"name":"x","fields":[]}]}]})",
                            R"({"catalog_name":null,"schemas":[]})", R"({"catalog_name":"c"})", R"({"schemas":{}})"})
        documents.push_back(head + good + "]}," + bad + "]");
    for (const char* bad : {"7", R"({"schema_id":1,"tables":[{"name":"x","fields":[]}]})", R"({"schema_name":["s"]})",
                            R"({"tables":{}})", R"({"views":"v"})", R"({"mviews":null})"})
        documents.push_back(head + bad + "," + good + "]}]");
    // clang-format on
    for (const std::string& json : documents) {
        expectRendered(json, "USE CATALOG `ok`\nCREATE TABLE `t` ()\n", true);
        EXPECT_EQ(toJson(qaiObtainDBStructure(json)),
                  R"j([{"catalog_id":"i","catalog_name":"ok","instructions":["USE CATALOG `ok`"],)j"
                  R"j("schemas":[{"instructions":["CREATE TABLE `t` ()"],"schema_id":"2"}]}])j");
    }
}

TEST(ddl_test, object_failing_a_check_becomes_an_empty_line) {
    // The object's members, a column, a primary-key entry; then foreign keys: the key itself, each
    // member missing or of the wrong kind, non-string columns, and checks before the empty-list test.
    const std::string column = R"({"name":"x","fields":[{"name":"a","type":"int"}],)";
    // clang-format off
    const std::string objects[] = {"3", R"({"fields":[]})", R"({"name":"x","fields":{}})",
        R"({"name":"x","fields":[],"pkeys":"id"})", R"({"name":"x","fields":[],"fkeys":{}})",
        R"({"name":"x","fields":[{"name":"a","type":"int"},"b"]})", R"({"name":"x","fields":[{"type":"int"}]})",
        R"({"name":"x","fields":[{"name":"a","type":5}]})", column + R"("pkeys":["a",1]})", column + R"("fkeys":["a"]})",
        column + R"("fkeys":[{"fields":"a","ref_table":"r","ref_fields":["b"]}]})",
        column + R"("fkeys":[{"fields":["a"],"ref_schema":1,"ref_table":"r","ref_fields":["b"]}]})",
        column + R"("fkeys":[{"fields":["a"],"ref_table":2,"ref_fields":["b"]}]})",
        column + R"("fkeys":[{"fields":["a"],"ref_table":"r"}]})", column + R"("fkeys":[{"fields":[],"ref_fields":[]}]})",
        column + R"("fkeys":[{"fields":[1],"ref_table":"r","ref_fields":["b"]}]})",
        column + R"("fkeys":[{"fields":["a"],"ref_table":"r","ref_fields":[null]}]})"};
    // clang-format on
    for (const std::string& object : objects) {
        expectRendered(R"([{"schemas":[{"schema_name":"s","tables":[)" + object +
                           R"(,{"name":"ok","fields":[{"name":"a","type":"int"}]}]}]}])",
                       "\nCREATE TABLE `s`.`ok` (`a` int)\n", true);
    }
    expectRendered(R"([{"schemas":[{"tables":[1]}]}])", "\n", true);  // alone it still gives a line
}

}  // namespace
