#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "cf/CFText.h"
#include "core/qai_memory.h"
#include "diag_capture.h"
#include "properties/qai_assistant_properties.h"

namespace {

using Keys = std::set<std::string>;

TEST(properties_test, fresh_store_values) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    EXPECT_EQ(store.obtainProperty("api_host"), CMVariant(""));
    EXPECT_EQ(store.obtainProperty("model"), CMVariant(""));
    EXPECT_EQ(store.obtainProperty("use_temperature"), CMVariant(int32_t{0}));
    EXPECT_EQ(store.obtainProperty("temperature"), CMVariant(1.0));
    EXPECT_EQ(store.obtainProperty("user_instructions"), CMVariant(""));
    EXPECT_EQ(store.obtainProperty("system_instructions"), CMVariant(CMVariantMap{}));
    EXPECT_EQ(store.obtainProperty("db_structure"), CMVariant(CMVariantList{}));
    EXPECT_EQ(store.obtainProperty("combined_instructions"), CMVariant(""));
    EXPECT_TRUE(store.obtainProperty("max_tokens").isNull());
    EXPECT_TRUE(store.obtainProperty("API_HOST").isNull());
    EXPECT_TRUE(store.obtainAssignedKeys().empty());
    EXPECT_FALSE(store.sendsTemperature());
}

TEST(properties_test, descriptions_in_order_with_structure_template) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"api_host", "string"},
        {"model", "string"},
        {"use_temperature", "boolean"},
        {"temperature", "double"},
        {"user_instructions", "string"},
        {"system_instructions", "CMVariantMap(string, string)"},
        {"db_structure",
         "CMVariant - "
         R"([{"catalog_id":"optional","catalog_name":"optional","schemas":[{"schema_id":"optional",)"
         R"("schema_name":"optional","tables":[{"name":"","fields":[{"name":"","type":""}],"pkeys":["optional"],)"
         R"("fkeys":[{"fields":[""],"ref_schema":"optional","ref_table":"","ref_fields":[""]}]}],)"
         R"("views":[null],"mviews":[null]}]}])"},
        {"combined_instructions", "string - read only"},
    };
    EXPECT_EQ(store.obtainPropertyDescriptions(), expected);
}

TEST(properties_test, wrong_value_types_are_refused_with_diagnostic) {
    struct Case {
        const char* key;
        CMVariant value;
        const char* condition;
    };
    const CMVariant map(CMVariantMap{{"a", CMVariant("x")}});
    const CMVariant list(CMVariantList{CMVariant("x")});
    const std::vector<Case> cases = {
        {"api_host", CMVariant(int32_t{1}), "value.getValueType() == CMVariant::ValueType::String"},
        {"api_host", CMVariant(), "value.getValueType() == CMVariant::ValueType::String"},
        {"model", CMVariant(1.5), "value.getValueType() == CMVariant::ValueType::String"},
        {"model", list, "value.getValueType() == CMVariant::ValueType::String"},
        {"user_instructions", map, "value.getValueType() == CMVariant::ValueType::String"},
        {"use_temperature", CMVariant("1"), "value.getValueType() == CMVariant::ValueType::Int"},
        {"use_temperature", CMVariant(1.0), "value.getValueType() == CMVariant::ValueType::Int"},
        {"temperature", CMVariant(int32_t{2}), "value.getValueType() == CMVariant::ValueType::Double"},
        {"temperature", CMVariant("0.5"), "value.getValueType() == CMVariant::ValueType::Double"},
        {"system_instructions", CMVariant("x"), "value.getValueType() == CMVariant::ValueType::Map"},
        {"system_instructions", list, "value.getValueType() == CMVariant::ValueType::Map"},
        {"db_structure", CMVariant("[1,"), "json.getIsValidJson()"},
        {"combined_instructions", CMVariant("x"), "false"},
    };
    for (const Case& c : cases) {
        QAIDefaultAssistantMemory memory;
        memory.setSummary("[]");
        QAIAssistantProperties store(&memory);
        const CMVariant before = store.obtainProperty(c.key);
        DiagCapture diags;
        EXPECT_FALSE(store.setProperty(c.key, c.value)) << c.key;
        EXPECT_EQ(diags.conditions, std::vector<std::string>{c.condition}) << c.key;
        ASSERT_EQ(diags.files.size(), 1u);
        EXPECT_NE(diags.files[0].find("qai_assistant_properties"), std::string::npos);
        EXPECT_EQ(store.obtainProperty(c.key), before) << c.key;
        EXPECT_EQ(memory.obtainSummary(), "[]") << c.key;
        EXPECT_TRUE(store.obtainAssignedKeys().empty()) << c.key;
    }
}

TEST(properties_test, refused_without_diagnostic) {
    QAIDefaultAssistantMemory memory;
    memory.setSummary("[]");
    QAIAssistantProperties store(&memory);
    DiagCapture diags;
    EXPECT_FALSE(store.setProperty("db_structure", CMVariant("")));
    EXPECT_FALSE(store.setProperty("max_tokens", CMVariant(int32_t{5})));
    EXPECT_FALSE(store.setProperty("Model", CMVariant("m")));
    EXPECT_FALSE(store.setProperty("", CMVariant("m")));
    EXPECT_TRUE(diags.conditions.empty());
    EXPECT_EQ(memory.obtainSummary(), "[]");
    EXPECT_TRUE(store.obtainAssignedKeys().empty());
}

TEST(properties_test, accepted_values_and_assigned_keys_grow) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    DiagCapture diags;
    EXPECT_TRUE(store.setProperty("model", CMVariant("  gpt x ")));
    EXPECT_EQ(store.obtainProperty("model"), CMVariant("  gpt x "));
    EXPECT_EQ(store.obtainAssignedKeys(), (Keys{"model"}));

    EXPECT_TRUE(store.setProperty("temperature", CMVariant(3.5)));
    EXPECT_EQ(store.obtainProperty("temperature"), CMVariant(3.5));
    EXPECT_FALSE(store.sendsTemperature());

    for (int32_t value : {5, -1, 1}) {
        EXPECT_TRUE(store.setProperty("use_temperature", CMVariant(value)));
        EXPECT_EQ(store.obtainProperty("use_temperature"), CMVariant(int32_t{1})) << value;
        EXPECT_TRUE(store.obtainUseTemperature());
    }
    EXPECT_TRUE(store.sendsTemperature());
    EXPECT_TRUE(store.setProperty("use_temperature", CMVariant(int32_t{0})));
    EXPECT_EQ(store.obtainProperty("use_temperature"), CMVariant(int32_t{0}));
    EXPECT_FALSE(store.sendsTemperature());

    EXPECT_TRUE(store.setProperty("user_instructions", CMVariant(" Be brief.\n")));
    EXPECT_EQ(store.obtainProperty("user_instructions"), CMVariant(" Be brief.\n"));
    EXPECT_EQ(store.obtainAssignedKeys(),
              (Keys{"model", "temperature", "use_temperature", "user_instructions"}));
    // A later refusal never removes a key.
    EXPECT_FALSE(store.setProperty("model", CMVariant(int32_t{1})));
    EXPECT_EQ(store.obtainAssignedKeys().count("model"), 1u);
    EXPECT_EQ(diags.conditions.size(), 1u);
}

TEST(properties_test, temperature_is_sent_only_with_both_keys_assigned_and_switch_on) {
    struct Case {
        bool setTemperature, setSwitch;
        int32_t switchValue;
        bool sends;
    };
    const Case cases[] = {
        {false, false, 0, false}, {true, false, 0, false}, {false, true, 1, false},
        {true, true, 0, false},   {true, true, 1, true},
    };
    for (const Case& c : cases) {
        QAIDefaultAssistantMemory memory;
        QAIAssistantProperties store(&memory);
        if (c.setTemperature) store.setProperty("temperature", CMVariant(0.3));
        if (c.setSwitch) store.setProperty("use_temperature", CMVariant(c.switchValue));
        EXPECT_EQ(store.sendsTemperature(), c.sends) << c.setTemperature << c.setSwitch << c.switchValue;
    }
}

TEST(properties_test, system_instructions_merge_and_remove) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    DiagCapture diags;
    EXPECT_TRUE(store.setProperty("system_instructions",
                                  CMVariant(CMVariantMap{{"a", CMVariant("x")}, {"b", CMVariant("y")}})));
    EXPECT_TRUE(store.setProperty("system_instructions",
                                  CMVariant(CMVariantMap{{"a", CMVariant("")}, {"c", CMVariant("z")}})));
    EXPECT_EQ(store.obtainProperty("system_instructions"),
              CMVariant(CMVariantMap{{"b", CMVariant("y")}, {"c", CMVariant("z")}}));
    EXPECT_TRUE(diags.conditions.empty());

    // Non-text entries are skipped with a report each; the others apply.
    EXPECT_TRUE(store.setProperty(
        "system_instructions",
        CMVariant(CMVariantMap{
            {"b", CMVariant(int32_t{3})}, {"c", CMVariant("w")}, {"d", CMVariant()}, {"e", CMVariant("")}})));
    EXPECT_EQ(store.obtainProperty("system_instructions"),
              CMVariant(CMVariantMap{{"b", CMVariant("y")}, {"c", CMVariant("w")}}));
    EXPECT_EQ(diags.conditions,
              std::vector<std::string>(2, "kv.second.getValueType() == CMVariant::ValueType::String"));

    // An empty map changes nothing but still counts as an assignment.
    EXPECT_TRUE(store.setProperty("system_instructions", CMVariant(CMVariantMap{})));
    EXPECT_EQ(store.obtainSystemInstructions().size(), 2u);
    EXPECT_EQ(store.obtainAssignedKeys(), (Keys{"system_instructions"}));
}

TEST(properties_test, db_structure_assignment_by_value_type) {
    DiagCapture diags;
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);

    // A list is stored as its JSON text.
    const CMVariant list(CMVariantList{CMVariant(CMVariantMap{
        {"catalog_name", CMVariant("c")},
        {"schemas",
         CMVariant(CMVariantList{CMVariant(CMVariantMap{
             {"tables", CMVariant(CMVariantList{CMVariant(CMVariantMap{
                            {"name", CMVariant("t")},
                            {"fields", CMVariant(CMVariantList{CMVariant(CMVariantMap{
                                           {"name", CMVariant("id")}, {"type", CMVariant("int")}})})},
                        })})},
         })})},
    })});
    EXPECT_TRUE(store.setProperty("db_structure", list));
    EXPECT_EQ(
        memory.obtainSummary(),
        R"([{"catalog_name":"c","schemas":[{"tables":[{"fields":[{"name":"id","type":"int"}],"name":"t"}]}]}])");
    EXPECT_EQ(store.obtainDDLText(), "USE CATALOG `c`\nCREATE TABLE `t` (`id` int)\n");

    // Valid text is kept exactly as given, whatever its top level.
    const std::string text = "[ {\"schemas\" : [] } ]\n";
    EXPECT_TRUE(store.setProperty("db_structure", CMVariant(text)));
    EXPECT_EQ(memory.obtainSummary(), text);
    EXPECT_TRUE(store.setProperty("db_structure", CMVariant("{}")));
    EXPECT_EQ(memory.obtainSummary(), "{}");
    EXPECT_EQ(store.obtainProperty("db_structure"), CMVariant(CMVariantList{}));
    EXPECT_TRUE(store.setProperty("db_structure", CMVariant("12")));
    EXPECT_EQ(memory.obtainSummary(), "12");
    EXPECT_TRUE(diags.conditions.empty());

    // Invalid or empty text leaves the stored text alone.
    EXPECT_FALSE(store.setProperty("db_structure", CMVariant("[{\"schemas\":]")));
    EXPECT_FALSE(store.setProperty("db_structure", CMVariant("")));
    EXPECT_EQ(memory.obtainSummary(), "12");
    EXPECT_EQ(diags.take(), std::vector<std::string>{"json.getIsValidJson()"});

    // Other kinds are accepted and recorded without storing anything.
    QAIAssistantProperties fresh(&memory);
    for (const CMVariant& other :
         {CMVariant(int32_t{1}), CMVariant(2.0), CMVariant(CMVariantMap{}), CMVariant()}) {
        EXPECT_TRUE(fresh.setProperty("db_structure", other));
        EXPECT_EQ(memory.obtainSummary(), "12");
    }
    EXPECT_EQ(fresh.obtainAssignedKeys(), (Keys{"db_structure"}));
    EXPECT_TRUE(diags.conditions.empty());
}

TEST(properties_test, copy_keeps_values_and_shares_memory) {
    QAIDefaultAssistantMemory memory;
    QAIAssistantProperties store(&memory);
    store.setApiHost("h", "");
    store.setProperty("model", CMVariant("m"));
    store.setProperty("temperature", CMVariant(0.25));
    store.setProperty("system_instructions", CMVariant(CMVariantMap{{"k", CMVariant("v")}}));

    QAIAssistantProperties copy(store);
    EXPECT_EQ(copy.obtainAssignedKeys(), store.obtainAssignedKeys());
    EXPECT_EQ(copy.obtainMemory(), &memory);
    for (const auto& [key, description] : store.obtainPropertyDescriptions()) {
        EXPECT_EQ(copy.obtainProperty(key), store.obtainProperty(key)) << key;
    }

    // Plain values stay in the copy; the structure lives in the shared memory.
    copy.setProperty("model", CMVariant("other"));
    copy.setProperty("system_instructions", CMVariant(CMVariantMap{{"k", CMVariant("")}}));
    copy.setProperty("db_structure", CMVariant(R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])"));
    EXPECT_EQ(store.obtainProperty("model"), CMVariant("m"));
    EXPECT_EQ(store.obtainSystemInstructions().size(), 1u);
    EXPECT_EQ(store.obtainDDLText(), "CREATE TABLE `t` ()\n");
    EXPECT_EQ(store.obtainAssignedKeys().count("db_structure"), 0u);
    EXPECT_EQ(copy.obtainAssignedKeys().count("db_structure"), 1u);
}

TEST(properties_test, store_without_memory_is_harmless) {
    QAIAssistantProperties store(nullptr);
    EXPECT_TRUE(store.setProperty("db_structure", CMVariant("[]")));
    EXPECT_EQ(store.obtainDDLText(), "");
    EXPECT_EQ(store.obtainCombinedInstructions(), "");
    EXPECT_TRUE(store.obtainDBStructure().empty());
}

/// The scheme test as written with a regular expression; the store's own check must agree.
std::string normaliseWithRegex(const std::string& host, const std::string& fallback) {
    std::string candidate = cfTrimAsString(host);
    if (candidate.empty()) candidate = fallback;
    const std::regex scheme("^https?://", std::regex::ECMAScript | std::regex::icase);
    if (!std::regex_search(candidate, scheme)) candidate = "https://" + candidate;
    return candidate;
}

TEST(properties_test, api_host_normalisation) {
    struct Case {
        const char* host;
        const char* fallback;
        const char* stored;
    };
    const Case cases[] = {
        {"api.example.com", "", "https://api.example.com"},
        {"  api.example.com\t\r\n", "", "https://api.example.com"},
        {"", "def.example.com", "https://def.example.com"},
        {" \t\n", "def.example.com", "https://def.example.com"},
        {"", " def.example.com ", "https:// def.example.com "},  // the fallback is not trimmed
        {"", "http://def", "http://def"},
        {"", "", "https://"},
        {"   ", "", "https://"},
        {"http://h", "", "http://h"},
        {"https://h", "", "https://h"},
        {"HTTP://H", "", "HTTP://H"},
        {"HtTpS://h", "", "HtTpS://h"},
        {"https:/h", "", "https://https:/h"},
        {"http:h", "", "https://http:h"},
        {"httpss://h", "", "https://httpss://h"},
        {"ftp://h", "", "https://ftp://h"},
        {"http://", "", "http://"},
        {"https:", "", "https://https:"},
        {"h:8080/v1/x?y=1#z/", "", "https://h:8080/v1/x?y=1#z/"},
        {"localhost:11434", "", "https://localhost:11434"},
        {"x\nhttp://h", "", "https://x\nhttp://h"},
    };
    QAIDefaultAssistantMemory memory;
    for (const Case& c : cases) {
        QAIAssistantProperties store(&memory);
        store.setApiHost(c.host, c.fallback);
        EXPECT_EQ(store.obtainApiHost(), c.stored) << c.host << "|" << c.fallback;
        EXPECT_EQ(store.obtainApiHost(), normaliseWithRegex(c.host, c.fallback)) << c.host;
        EXPECT_TRUE(store.obtainAssignedKeys().empty());
    }

    // Through setProperty the fallback is empty, so a blank host never brings a default back.
    QAIAssistantProperties store(&memory);
    store.setApiHost("", "default.example.com");
    EXPECT_TRUE(store.setProperty("api_host", CMVariant("  ")));
    EXPECT_EQ(store.obtainProperty("api_host"), CMVariant("https://"));
    EXPECT_TRUE(store.setProperty("api_host", CMVariant(" http://local:8080/v1 ")));
    EXPECT_EQ(store.obtainProperty("api_host"), CMVariant("http://local:8080/v1"));
    EXPECT_EQ(store.obtainAssignedKeys(), (Keys{"api_host"}));
}

}  // namespace
