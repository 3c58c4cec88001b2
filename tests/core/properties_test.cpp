#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/qai_memory.h"
#include "diag_capture.h"
#include "properties/qai_assistant_properties.h"

namespace {

using Keys = std::set<std::string>;

TEST(properties_test, fresh_store_values_and_key_descriptions) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    const std::vector<std::pair<std::string, CMVariant>> fresh = {{"api_host", ""},
                                                                  {"model", ""},
                                                                  {"use_temperature", int32_t{0}},
                                                                  {"temperature", 1.0},
                                                                  {"user_instructions", ""},
                                                                  {"system_instructions", CMVariantMap{}},
                                                                  {"db_structure", CMVariantList{}},
                                                                  {"combined_instructions", ""},
                                                                  {"max_tokens", CMVariant()},
                                                                  {"API_HOST", CMVariant()}};
    for (const auto& [key, value] : fresh) EXPECT_EQ(store.obtainProperty(key), value) << key;
    EXPECT_TRUE(store.obtainAssignedKeys().empty());
    EXPECT_FALSE(store.sendsTemperature());
    // The structure's description carries a template of the document, built member by member.
    const auto descriptions = store.obtainPropertyDescriptions();
    ASSERT_EQ(descriptions.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(descriptions[i].first, fresh[i].first);
    EXPECT_EQ(
        descriptions[6].second,
        "CMVariant - "
        R"([{"catalog_id":"optional","catalog_name":"optional","schemas":[{"schema_id":"optional",)"
        R"("schema_name":"optional","tables":[{"name":"","fields":[{"name":"","type":""}],"pkeys":["optional"],)"
        R"("fkeys":[{"fields":[""],"ref_schema":"optional","ref_table":"","ref_fields":[""]}]}],)"
        R"("views":[null],"mviews":[null]}]}])");
}

TEST(properties_test, refused_values_leave_the_store_unchanged) {
    const std::string type = "value.getValueType() == CMVariant::ValueType::";
    const std::vector<std::tuple<std::string, CMVariant, std::string>> cases = {
        {"api_host", int32_t{1}, type + "String"},
        {"model", 1.5, type + "String"},
        {"user_instructions", CMVariantMap{{"a", "x"}}, type + "String"},
        {"use_temperature", 1.0, type + "Int"},
        {"temperature", int32_t{2}, type + "Double"},
        {"system_instructions", CMVariantList{"x"}, type + "Map"},
        {"db_structure", "[1,", "json.getIsValidJson()"},
        {"combined_instructions", "x", "false"},
        {"db_structure", "", ""},  // the ones below are refused without a report
        {"max_tokens", int32_t{5}, ""},
        {"Model", "m", ""}};
    for (const auto& [key, value, condition] : cases) {
        QAIDefaultAssistantMemory memory;
        memory.setSummary("[]");
        QAIAssistantProperties store(&memory);
        const CMVariant before = store.obtainProperty(key);
        DiagCapture diags;
        EXPECT_FALSE(store.setProperty(key, value)) << key;
        EXPECT_EQ(diags.conditions, condition.empty() ? std::vector<std::string>{} : std::vector{condition});
        EXPECT_EQ(store.obtainProperty(key), before) << key;
        EXPECT_EQ(memory.obtainSummary(), "[]") << key;
        EXPECT_TRUE(store.obtainAssignedKeys().empty()) << key;
    }
}

TEST(properties_test, assigned_keys_grow_and_gate_the_temperature) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    EXPECT_TRUE(store.setProperty("use_temperature", int32_t{1}));
    EXPECT_FALSE(store.sendsTemperature());  // temperature not assigned yet
    EXPECT_TRUE(store.setProperty("temperature", 3.5));
    EXPECT_TRUE(store.sendsTemperature());
    EXPECT_TRUE(store.setProperty("model", "  gpt x "));
    EXPECT_EQ(store.obtainProperty("model"), CMVariant("  gpt x "));
    // Any non-zero Int switches on; zero switches off.
    for (int32_t value : {5, -1, 0}) {
        EXPECT_TRUE(store.setProperty("use_temperature", value));
        EXPECT_EQ(store.obtainProperty("use_temperature"), CMVariant(int32_t{value != 0}));
        EXPECT_EQ(store.sendsTemperature(), value != 0);
    }
    EXPECT_FALSE(store.setProperty("model", int32_t{1}));  // a refusal never removes a key
    EXPECT_EQ(store.obtainAssignedKeys(), (Keys{"model", "temperature", "use_temperature"}));
    QAIAssistantProperties onlySwitch(&memory);
    onlySwitch.setProperty("use_temperature", int32_t{1});
    EXPECT_FALSE(onlySwitch.sendsTemperature());
}

TEST(properties_test, system_instructions_merge_and_remove) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    DiagCapture diags;
    EXPECT_TRUE(store.setProperty("system_instructions", CMVariantMap{{"a", "x"}, {"b", "y"}}));
    EXPECT_TRUE(store.setProperty("system_instructions", CMVariantMap{{"a", ""}, {"c", "z"}}));
    EXPECT_EQ(store.obtainProperty("system_instructions"), CMVariant(CMVariantMap{{"b", "y"}, {"c", "z"}}));
    EXPECT_TRUE(diags.conditions.empty());
    // Non-text entries are skipped with a report each; the others apply.
    EXPECT_TRUE(store.setProperty(
        "system_instructions", CMVariantMap{{"b", int32_t{3}}, {"c", "w"}, {"d", CMVariant()}, {"e", ""}}));
    EXPECT_EQ(store.obtainProperty("system_instructions"), CMVariant(CMVariantMap{{"b", "y"}, {"c", "w"}}));
    EXPECT_EQ(diags.conditions,
              std::vector<std::string>(2, "kv.second.getValueType() == CMVariant::ValueType::String"));
}

TEST(properties_test, db_structure_by_value_type) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    // A list is stored as its JSON text; valid text is kept exactly as given.
    EXPECT_TRUE(store.setProperty("db_structure", CMVariantList{CMVariantMap{{"schemas", CMVariantList{}}}}));
    EXPECT_EQ(memory.obtainSummary(), R"([{"schemas":[]}])");
    for (const char* text : {"[ {\"schemas\" : [] } ]\n", "12"}) {
        EXPECT_TRUE(store.setProperty("db_structure", text));
        EXPECT_EQ(memory.obtainSummary(), text);
    }
    EXPECT_FALSE(store.setProperty("db_structure", "[{\"schemas\":]"));
    EXPECT_EQ(diags.take(), std::vector<std::string>{"json.getIsValidJson()"});
    // Other kinds are accepted and recorded without storing anything, also without a memory.
    QAIAssistantProperties fresh(&memory), detached(nullptr);
    for (const CMVariant& other :
         {CMVariant(int32_t{1}), CMVariant(2.0), CMVariant(CMVariantMap{}), CMVariant()}) {
        EXPECT_TRUE(fresh.setProperty("db_structure", other));
        EXPECT_EQ(memory.obtainSummary(), "12");
    }
    EXPECT_EQ(fresh.obtainAssignedKeys(), (Keys{"db_structure"}));
    EXPECT_TRUE(diags.conditions.empty());
    EXPECT_TRUE(detached.setProperty("db_structure", "[]"));
    EXPECT_EQ(detached.obtainCombinedInstructions(), "");
    EXPECT_TRUE(detached.obtainDBStructure().empty());
}

TEST(properties_test, copy_keeps_values_and_shares_memory) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    store.setApiHost("h", "");
    store.setProperty("model", "m");
    store.setProperty("temperature", 0.25);
    store.setProperty("system_instructions", CMVariantMap{{"k", "v"}});
    QAIAssistantProperties copy(store);
    EXPECT_EQ(copy.obtainAssignedKeys(), store.obtainAssignedKeys());
    for (const auto& [key, description] : store.obtainPropertyDescriptions()) {
        EXPECT_EQ(copy.obtainProperty(key), store.obtainProperty(key)) << key;
    }
    // Plain values stay in the copy; the structure lives in the shared memory.
    copy.setProperty("model", "other");
    copy.setProperty("db_structure", R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])");
    EXPECT_EQ(store.obtainProperty("model"), CMVariant("m"));
    EXPECT_EQ(store.obtainDDLText(), "CREATE TABLE `t` ()\n");
    EXPECT_EQ(store.obtainAssignedKeys().count("db_structure"), 0u);
}

TEST(properties_test, api_host_normalisation) {
    const std::vector<std::vector<std::string>> cases = {
        // host, fallback, stored
        {"  api.example.com\t\r\n", "", "https://api.example.com"},
        {" \t\n", "def", "https://def"},
        {"", " def ", "https:// def "},  // the fallback is not trimmed
        {"", "http://def", "http://def"},
        {"", "", "https://"},
        {"HTTP://H", "", "HTTP://H"},
        {"HtTpS://h", "", "HtTpS://h"},
        {"http://", "", "http://"},
        {"https:/h", "", "https://https:/h"},
        {"https:", "", "https://https:"},
        {"httpss://h", "", "https://httpss://h"},
        {"ftp://h", "", "https://ftp://h"},
        {"x\nhttp://h", "", "https://x\nhttp://h"}};
    QAIDefaultAssistantMemory memory;
    for (const auto& c : cases) {
        QAIAssistantProperties store(&memory);
        store.setApiHost(c[0], c[1]);
        EXPECT_EQ(store.obtainApiHost(), c[2]) << c[0] << "|" << c[1];
    }
    // Through setProperty the fallback is empty, so a blank host never brings a default back.
    QAIAssistantProperties store(&memory);
    store.setApiHost("", "default.example.com");
    EXPECT_TRUE(store.setProperty("api_host", "  "));
    EXPECT_EQ(store.obtainProperty("api_host"), CMVariant("https://"));
    EXPECT_TRUE(store.setProperty("api_host", " http://local:8080/v1 "));
    EXPECT_EQ(store.obtainProperty("api_host"), CMVariant("http://local:8080/v1"));
}

}  // namespace
