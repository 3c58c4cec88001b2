// The property store: what each key takes, refuses and reads back, the DDL it
// renders from a database description (the cases and their exact text live in
// tests/fixtures/ddl_cases.txt, whose format is explained there), and the
// assistant as a host drives it: property copies and the memory they may
// outlive, and text that is not valid UTF-8 on its way in and out.
#include <gtest/gtest.h>

#include <ctime>
#include <set>
#include <sstream>

#include "cf/COJson.h"
#include "core/qai_diagnostics.h"
#include "core/qai_memory.h"
#include "properties/qai_assistant_properties.h"
#include "properties/qai_ddl_renderer.h"
#include "providers.h"
#include "qai.h"

using namespace qai::test;

namespace {

using Keys = std::set<std::string>;

/// Collects the conditions reported while it lives; every one names the store's source file
/// (a malformed description is the store's input).
struct DiagCapture {
    DiagCapture() { qai::diag::setListener(&listen, this); }
    ~DiagCapture() { qai::diag::setListener(nullptr, nullptr); }
    static void listen(const char* condition, const char* file, void* self) {
        EXPECT_TRUE(std::string_view(file).ends_with("/qai_assistant_properties.cpp")) << file;
        static_cast<DiagCapture*>(self)->conditions.emplace_back(condition);
    }
    std::vector<std::string> conditions;
};

struct Case {
    std::string json, ddl, structure;
    bool reported = false;
};

std::vector<Case> readCases() {
    std::istringstream in(qai::test::readFixture("ddl_cases.txt"));
    std::vector<Case> cases;
    char previous = 0;
    for (std::string line; std::getline(in, line); previous = line.empty() ? 0 : line[0]) {
        if (line.empty() || line[0] == '#') continue;
        const std::string text = line.size() > 2 ? line.substr(2) : "";
        if (line[0] == '<' && previous != '<') cases.emplace_back();
        Case& c = cases.back();
        if (line[0] == '<') c.json += (previous == '<' ? "\n" : "") + text;
        if (line[0] == '>') c.ddl += text + "\n";
        if (line[0] == '=') c.structure = text;
        c.reported = c.reported || line[0] == '!';
    }
    return cases;
}

// Every case renders alike straight from the library's memory, from a copy of a host's memory and
// through the normalised catalog list; the combined text adds a line feed.
TEST(properties_test, each_description_renders_its_ddl_on_every_path) {
    const std::vector<Case> cases = readCases();
    ASSERT_GT(cases.size(), 40u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        DiagCapture diags;
        QAIDefaultAssistantMemory own;
        HostMemory host;
        own.setSummary(c.json);
        host.setSummary(c.json);
        EXPECT_EQ(QAIAssistantProperties(&own).obtainDDLText(), c.ddl);
        EXPECT_EQ(QAIAssistantProperties(&host).obtainCombinedInstructions(),
                  c.ddl.empty() ? "" : c.ddl + "\n");
        EXPECT_EQ(host.summary, c.json);
        const CMVariantList structure = qaiObtainDBStructure(c.json);
        EXPECT_EQ(qaiObtainDDLTextFromStructure(structure), c.ddl);
        const std::string json = cfCreateCOJsonFromCMVariant(structure)->obtainJsonString();
        EXPECT_EQ(c.structure.empty() ? c.structure : json, c.structure);  // where given
        EXPECT_EQ(diags.conditions.size(), c.reported ? 3u : 0u);
    }
}

// One fresh store a row: a refused value leaves the key's default and reports the condition named;
// an accepted one reads back as given or normalised, and db_structure's text goes to the memory.
TEST(properties_test, each_key_takes_refuses_and_reads_back) {
    const std::string is = "value.getValueType() == CMVariant::ValueType::";
    const CMVariantList none,
        one = {CMVariantMap{{"instructions", CMVariantList{}}, {"schemas", CMVariantList{}}}};
    const struct {
        std::string key;
        CMVariant value;
        bool accepted;
        CMVariant readBack;
        std::string condition = {}, summary = {};
    } rows[] = {
        // clang-format off
        {"api_host", int32_t{1}, false, "", is + "String"}, {"model", 1.5, false, "", is + "String"},
        {"user_instructions", CMVariantMap{{"a", "x"}}, false, "", is + "String"}, {"Model", "m", false, {}},
        {"use_temperature", 1.0, false, int32_t{0}, is + "Int"}, {"max_tokens", int32_t{5}, false, {}},
        {"temperature", int32_t{2}, false, 1.0, is + "Double"}, {"db_structure", "", false, none},
        {"system_instructions", CMVariantList{"x"}, false, CMVariantMap{}, is + "Map"},
        {"db_structure", "[1,", false, none, "json.getIsValidJson()"},
        {"combined_instructions", "x", false, "", "false"}, {"temperature", 3.5, true, 3.5},
        {"use_temperature", int32_t{-1}, true, int32_t{1}}, {"use_temperature", int32_t{0}, true, int32_t{0}},
        {"model", "m", true, "m"}, {"user_instructions", "u", true, "u"},
        // A list is stored as its JSON text, a text as given; other kinds are accepted, and nothing stored.
        {"db_structure", one, true, one, "", R"([{"instructions":[],"schemas":[]}])"},
        {"db_structure", " [ ] ", true, none, "", " [ ] "}, {"db_structure", int32_t{3}, true, none},
        {"db_structure", CMVariant(), true, none},
        // The host is trimmed and gets https:// in front unless it starts with http:// or https://,
        // in any case; a blank one never brings a default back.
        {"api_host", " h\t\r\n", true, "https://h"}, {"api_host", " \t", true, "https://"},
        {"api_host", "HTTP://H", true, "HTTP://H"}, {"api_host", "HtTpS://h", true, "HtTpS://h"},
        {"api_host", "http://", true, "http://"}, {"api_host", "https:/h", true, "https://https:/h"},
        {"api_host", "httpss://", true, "https://httpss://"}, {"api_host", "ftp://", true, "https://ftp://"},
        {"api_host", "x\nhttp://h", true, "https://x\nhttp://h"},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.key + " " + row.summary);
        QAIDefaultAssistantMemory memory;
        QAIAssistantProperties store(&memory);
        DiagCapture diags;
        EXPECT_EQ(store.setProperty(row.key, row.value), row.accepted);
        EXPECT_EQ(store.obtainProperty(row.key), row.readBack);
        EXPECT_EQ(diags.conditions,
                  row.condition.empty() ? std::vector<std::string>{} : std::vector{row.condition});
        EXPECT_EQ(store.obtainAssignedKeys(), row.accepted ? Keys{row.key} : Keys{});
        EXPECT_EQ(memory.obtainSummary(), row.summary);
    }
}

// The instructions are rendered once and reused while the description text (compared as text:
// a host's memory may change it behind the library's back), the user and the system
// instructions stay the same; each change, and another memory, gives new ones.
TEST(properties_test, instructions_follow_every_change_of_what_they_are_made_of) {
    QAIDefaultAssistantMemory own, other;
    HostMemory host;
    QAIAssistantProperties store(&own);
    own.setSummary(R"([{"schemas":[{"tables":[{"name":"a","fields":[]}]}]}])");
    other.setSummary(R"([{"schemas":[{"tables":[{"name":"o","fields":[]}]}]}])");
    host.summary = R"([{"schemas":[{"tables":[{"name":"h","fields":[]}]}]}])";
    const std::vector<std::pair<std::function<void()>, std::string>> steps = {
        {[] {}, "CREATE TABLE `a` ()\n\n"},
        {[&] { own.setSummary(R"([{"schemas":[{"tables":[{"name":"b","fields":[]}]}]}])"); },
         "CREATE TABLE `b` ()\n\n"},
        {[&] { store.setProperty("user_instructions", CMVariant("U")); }, "U\n\nCREATE TABLE `b` ()\n\n"},
        {[&] {
             store.setProperty("system_instructions", CMVariant(CMVariantMap{{"k", CMVariant("S")}}));
         },
         "U\n\nS\nCREATE TABLE `b` ()\n\n"},
        {[&] { store.setMemory(&other); }, "U\n\nS\nCREATE TABLE `o` ()\n\n"},
        {[&] { store.setMemory(&host); }, "U\n\nS\nCREATE TABLE `h` ()\n\n"},
        {[&] { host.summary = R"([{"schemas":[{"tables":[{"name":"i","fields":[]}]}]}])"; },
         "U\n\nS\nCREATE TABLE `i` ()\n\n"},
    };
    for (const auto& [change, expected] : steps) {
        change();
        EXPECT_EQ(store.obtainCombinedInstructions(), expected);
        EXPECT_EQ(store.obtainCombinedInstructions(), expected);  // the kept rendering
    }
}

TEST(properties_test, temperature_goes_out_only_once_assigned_with_its_switch_on) {
    QAIAssistantProperties store(nullptr);
    EXPECT_TRUE(store.setProperty("use_temperature", int32_t{1}));
    EXPECT_FALSE(store.setProperty("temperature", "1"));  // refused: still never assigned
    EXPECT_FALSE(store.sendsTemperature());
    EXPECT_TRUE(store.setProperty("temperature", 0.5));
    EXPECT_TRUE(store.sendsTemperature());
}

TEST(properties_test, system_instructions_merge_and_remove) {
    QAIAssistantProperties store(nullptr);
    DiagCapture diags;
    EXPECT_TRUE(store.setProperty("system_instructions", CMVariantMap{{"a", "x"}, {"b", "y"}, {"c", "z"}}));
    // Empty texts remove, others replace; non-text entries are skipped with a report each.
    EXPECT_TRUE(store.setProperty(
        "system_instructions",
        CMVariantMap{{"a", ""}, {"b", int32_t{3}}, {"c", "w"}, {"d", CMVariant()}, {"e", ""}}));
    EXPECT_EQ(store.obtainProperty("system_instructions"), CMVariant(CMVariantMap{{"b", "y"}, {"c", "w"}}));
    EXPECT_EQ(diags.conditions,
              std::vector<std::string>(2, "kv.second.getValueType() == CMVariant::ValueType::String"));
}

using PropertiesPtr = std::unique_ptr<IQAIProperties, FreeObject>;

const std::string kStructure = R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])";
const CMVariant kRendered("CREATE TABLE `t` ()\n\n");

AssistantPtr describedAssistant(const std::string& host, IQAIAssistantMemory* memory,
                                const std::string& structure = kStructure) {
    AssistantPtr assistant(
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", host, memory));
    assistant->updateProperties([&](IQAIProperties* properties) {
        properties->setProperty("model", "m");
        properties->setProperty("db_structure", structure);
    });
    return assistant;
}

// A copy reads and writes the memory in use when it was made. It holds the library's own memory
// weakly: however that one ends (with the assistant, replaced, handed out and freed), the copy then
// reads and writes as if no description were set. A host's memory stays the copy's when the
// assistant moves on to another.
TEST(assistant_test, property_copy_keeps_its_memory_while_that_lives) {
    QAIDefaultAssistantMemory first, second;  // the host's
    for (int ending = 0; ending < 4; ++ending) {
        AssistantPtr assistant = describedAssistant("h", ending == 3 ? &first : nullptr);
        EXPECT_THROW(assistant->updateProperties(nullptr), std::bad_function_call);  // changing nothing
        PropertiesPtr copy(assistant->obtainProperties());
        ASSERT_EQ(copy->obtainProperty("combined_instructions"), kRendered);
        if (ending == 0) assistant.reset();
        if (ending == 2) QAIFreeObject(assistant->obtainMemory());
        if (ending == 1 || ending == 3) {
            assistant->setMemory(&second);
            assistant->updateProperties(
                [](IQAIProperties* store) { store->setProperty("db_structure", "[]"); });
            EXPECT_EQ(second.obtainSummary(), "[]");
        }
        const CMVariant after = ending == 3 ? kRendered : CMVariant("");
        EXPECT_EQ(copy->obtainProperty("combined_instructions"), after) << ending;
        EXPECT_TRUE(copy->setProperty("db_structure", kStructure));
        EXPECT_EQ(copy->obtainProperty("combined_instructions"), after) << ending;
    }
}

// Ill-formed UTF-8 in what the host sends, in the description and in a reply is kept as it came,
// yet the request body is valid UTF-8; a lone surrogate escape in a reply reads as U+FFFD.
TEST(assistant_test, ill_formed_text_is_kept_yet_never_spoils_a_request) {
    const std::string r = "\xEF\xBF\xBD";
    qai::test::TestServer server;
    server.reply("POST", "/v1/chat/completions", 200,
                 "{\"choices\":[{\"message\":{\"role\":\"assistant\",\"content\":\"caf\xE9 \\ud83d!\"}}]}");
    QAIDefaultAssistantMemory memory;
    AssistantPtr assistant = describedAssistant(
        server.url(), &memory, "[{\"schemas\":[{\"tables\":[{\"name\":\"t\xFF\",\"fields\":[]}]}]}]");
    const int64_t before = std::time(nullptr);
    auto [message, error] = assistant->addMessage("q\xE2\x82");
    ASSERT_NE(message, nullptr) << error;
    EXPECT_GE(message->obtainCreatedTime(), before);
    EXPECT_EQ(message->obtainSections().at(0)->obtainText(), "caf\xE9 " + r + "!");
    QAIFreeObject(message);
    EXPECT_EQ(server.lastRequest().body,
              R"({"model":"m","messages":[{"role":"developer","content":"CREATE TABLE `t)" + r +
                  R"(` ()\n\n"},{"role":"user","content":"q)" + r + R"("}]})");
    EXPECT_EQ(memory.obtainMessages(20).at(0).text, "q\xE2\x82");
}

}  // namespace
