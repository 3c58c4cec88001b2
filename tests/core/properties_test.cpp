#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/qai_memory.h"
#include "diag_capture.h"
#include "properties/qai_assistant_properties.h"

namespace {

using Keys = std::set<std::string>;

TEST(properties_test, fresh_store_values) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    // clang-format off
    const std::pair<const char*, CMVariant> fresh[] = {{"api_host", ""}, {"model", ""}, {"use_temperature", int32_t{0}},
        {"temperature", 1.0}, {"user_instructions", ""}, {"system_instructions", CMVariantMap{}},
        {"db_structure", CMVariantList{}}, {"combined_instructions", ""}, {"max_tokens", CMVariant()}, {"API_HOST", CMVariant()}};
    // clang-format on
    for (const auto& [key, value] : fresh) EXPECT_EQ(store.obtainProperty(key), value) << key;
}

TEST(properties_test, refused_values_leave_the_store_unchanged) {
    const std::string type = "value.getValueType() == CMVariant::ValueType::";
    // key, value, reported condition (none for the last three)
    // clang-format off
    const std::tuple<std::string, CMVariant, std::string> cases[] = {
        {"api_host", int32_t{1}, type + "String"}, {"model", 1.5, type + "String"},
        {"user_instructions", CMVariantMap{{"a", "x"}}, type + "String"}, {"use_temperature", 1.0, type + "Int"},
        {"temperature", int32_t{2}, type + "Double"}, {"system_instructions", CMVariantList{"x"}, type + "Map"},
        {"db_structure", "[1,", "json.getIsValidJson()"}, {"combined_instructions", "x", "false"},
        {"db_structure", "", ""}, {"max_tokens", int32_t{5}, ""}, {"Model", "m", ""}};
    // clang-format on
    for (const auto& [key, value, condition] : cases) {
        QAIDefaultAssistantMemory memory;
        QAIAssistantProperties store(&memory);
        DiagCapture diags;
        EXPECT_FALSE(store.setProperty(key, value)) << key;
        EXPECT_EQ(diags.conditions, condition.empty() ? std::vector<std::string>{} : std::vector{condition});
        EXPECT_EQ(store.obtainProperty(key), QAIAssistantProperties(&memory).obtainProperty(key)) << key;
        EXPECT_EQ(memory.obtainSummary(), "") << key;
        EXPECT_TRUE(store.obtainAssignedKeys().empty()) << key;
    }
}

TEST(properties_test, use_temperature_from_int_and_assigned_keys_grow) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    EXPECT_TRUE(store.setProperty("use_temperature", int32_t{1}));
    EXPECT_FALSE(store.sendsTemperature());  // until the temperature is assigned as well
    EXPECT_TRUE(store.setProperty("temperature", 3.5));
    for (int32_t value : {5, -1, 0}) {
        EXPECT_TRUE(store.setProperty("use_temperature", value));
        EXPECT_EQ(store.obtainProperty("use_temperature"), CMVariant(int32_t{value != 0}));
        EXPECT_EQ(store.sendsTemperature(), value != 0);
    }
    EXPECT_FALSE(store.setProperty("temperature", "1"));  // a refusal never removes a key
    EXPECT_EQ(store.obtainAssignedKeys(), (Keys{"temperature", "use_temperature"}));
}

TEST(properties_test, system_instructions_merge_and_remove) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    DiagCapture diags;
    EXPECT_TRUE(store.setProperty("system_instructions", CMVariantMap{{"a", "x"}, {"b", "y"}, {"c", "z"}}));
    // Empty texts remove, others replace; non-text entries are skipped with a report each.
    const CMVariantMap change = {{"a", ""}, {"b", int32_t{3}}, {"c", "w"}, {"d", CMVariant()}, {"e", ""}};
    EXPECT_TRUE(store.setProperty("system_instructions", change));
    EXPECT_EQ(store.obtainProperty("system_instructions"), CMVariant(CMVariantMap{{"b", "y"}, {"c", "w"}}));
    EXPECT_EQ(diags.conditions,
              std::vector<std::string>(2, "kv.second.getValueType() == CMVariant::ValueType::String"));
}

TEST(properties_test, db_structure_by_value_type) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory), detached(nullptr);
    // A list is stored as its JSON text, valid text exactly as given.
    EXPECT_TRUE(store.setProperty("db_structure", CMVariantList{CMVariantMap{{"schemas", CMVariantList{}}}}));
    EXPECT_EQ(memory.obtainSummary(), R"([{"schemas":[]}])");
    const std::string text = "[ {\"schemas\" : [] } ]\n";
    EXPECT_TRUE(store.setProperty("db_structure", text));
    EXPECT_EQ(memory.obtainSummary(), text);
    // Other kinds are accepted and recorded without storing anything; no memory is no harm either.
    for (const CMVariant& other : {CMVariant(3), CMVariant(2.0), CMVariant(CMVariantMap{}), CMVariant()}) {
        QAIAssistantProperties fresh(&memory);
        EXPECT_TRUE(fresh.setProperty("db_structure", other));
        EXPECT_EQ(fresh.obtainAssignedKeys(), Keys{"db_structure"});
        EXPECT_EQ(memory.obtainSummary(), text);
    }
    EXPECT_TRUE(detached.setProperty("db_structure", text));
    EXPECT_EQ(detached.obtainCombinedInstructions(), "");
}

TEST(properties_test, db_structure_list_nested_deeper_than_the_stack_is_stored) {
    constexpr int kDepth = 100000;
    CMVariant deep("x");
    for (int level = 0; level < kDepth; ++level) {
        CMVariantList list;
        list.push_back(std::move(deep));
        deep = CMVariant(std::move(list));
    }
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    DiagCapture diags;
    EXPECT_TRUE(store.setProperty("db_structure", deep));
    EXPECT_EQ(memory.obtainSummary(), std::string(kDepth, '[') + "\"x\"" + std::string(kDepth, ']'));
    // Its one catalog is no object: nothing to render.
    EXPECT_EQ(store.obtainProperty("combined_instructions"), CMVariant(""));
    EXPECT_EQ(diags.conditions, std::vector<std::string>{"false"});
}

TEST(properties_test, copy_keeps_values_and_shares_memory) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    store.setProperty("model", "m");
    QAIAssistantProperties copy(store);
    // Plain values stay in the copy; the structure lives in the shared memory.
    copy.setProperty("model", "other");
    copy.setProperty("db_structure", R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])");
    EXPECT_EQ(store.obtainProperty("model"), CMVariant("m"));
    EXPECT_EQ(store.obtainDDLText(), "CREATE TABLE `t` ()\n");
    EXPECT_EQ(store.obtainAssignedKeys().count("db_structure"), 0u);
}

TEST(properties_test, api_host_normalisation) {
    // host, fallback, stored
    // clang-format off
    const char* const cases[][3] = {{"  api.example.com\t\r\n", "", "https://api.example.com"}, {" \t\n", "d", "https://d"},
        {"", " d ", "https:// d "}, {"", "http://d", "http://d"}, {"", "", "https://"}, {"HTTP://H", "", "HTTP://H"},
        {"HtTpS://h", "", "HtTpS://h"}, {"http://", "", "http://"}, {"https:/h", "", "https://https:/h"},
        {"httpss://h", "", "https://httpss://h"}, {"ftp://h", "", "https://ftp://h"}, {"x\nhttp://h", "", "https://x\nhttp://h"}};
    // clang-format on
    for (const auto& c : cases) {
        QAIAssistantProperties store(nullptr);
        store.setApiHost(c[0], c[1]);
        EXPECT_EQ(store.obtainApiHost(), c[2]) << c[0] << "|" << c[1];
    }
    // Through setProperty the fallback is empty, so a blank host never brings a default back.
    QAIAssistantProperties store(nullptr);
    EXPECT_TRUE(store.setProperty("api_host", " \t"));
    EXPECT_EQ(store.obtainApiHost(), "https://");
}

}  // namespace
