// The assistant as a host drives it, against the local test server: what outlives what, and
// text that is not valid UTF-8 on its way in and out.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "core/qai_memory.h"
#include "qai.h"
#include "test_server.h"

namespace {

struct FreeObject {
    void operator()(IQAIObject* object) const { QAIFreeObject(object); }
};
using AssistantPtr = std::unique_ptr<IQAIAssistant, FreeObject>;
using PropertiesPtr = std::unique_ptr<IQAIProperties, FreeObject>;

const std::string kStructure = R"([{"schemas":[{"tables":[{"name":"t","fields":[]}]}]}])";

AssistantPtr createAssistant(const std::string& host, IQAIAssistantMemory* memory = nullptr) {
    return AssistantPtr(
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "k", host, memory));
}

void setStructure(IQAIAssistant* assistant, const std::string& structure) {
    EXPECT_EQ(assistant->updateProperties([&](IQAIProperties* properties) {
        EXPECT_TRUE(properties->setProperty("db_structure", structure));
    }),
              "");
}

// A copy made by obtainProperties holds the library's own memory weakly: however that memory
// ends, the copy reads (and writes) as if no description were set, and never touches it.
TEST(assistant_test, property_copy_outliving_the_library_memory_reads_no_description) {
    const std::function<void(AssistantPtr&)> endings[] = {
        [](AssistantPtr& assistant) { assistant.reset(); },
        [](AssistantPtr& assistant) {
            static QAIDefaultAssistantMemory other;  // outlives the assistant
            assistant->setMemory(&other);
        },
        [](AssistantPtr& assistant) { QAIFreeObject(assistant->obtainMemory()); }};
    for (const auto& end : endings) {
        AssistantPtr assistant = createAssistant("h");
        setStructure(assistant.get(), kStructure);
        PropertiesPtr copy(assistant->obtainProperties());
        ASSERT_EQ(copy->obtainProperty("combined_instructions"), CMVariant("CREATE TABLE `t` ()\n\n"));
        end(assistant);
        EXPECT_EQ(copy->obtainProperty("db_structure"), CMVariant(CMVariantList{}));
        EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant(""));
        EXPECT_TRUE(copy->setProperty("db_structure", kStructure));
        EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant(""));
    }
}

// A copy keeps the memory it was made with, also when the assistant moves on to another.
TEST(assistant_test, property_copy_keeps_its_memory_after_set_memory) {
    QAIDefaultAssistantMemory first, second;
    AssistantPtr assistant = createAssistant("h", &first);
    setStructure(assistant.get(), kStructure);
    PropertiesPtr copy(assistant->obtainProperties());
    assistant->setMemory(&second);
    setStructure(assistant.get(), "[]");
    EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant("CREATE TABLE `t` ()\n\n"));
    EXPECT_EQ(second.obtainSummary(), "[]");
}

// The one exception the library raises itself, as the public header promises.
TEST(assistant_test, empty_edit_function_throws_and_changes_nothing) {
    AssistantPtr assistant = createAssistant("h");
    setStructure(assistant.get(), kStructure);
    EXPECT_THROW(assistant->updateProperties(nullptr), std::bad_function_call);
    PropertiesPtr copy(assistant->obtainProperties());
    EXPECT_EQ(copy->obtainProperty("combined_instructions"), CMVariant("CREATE TABLE `t` ()\n\n"));
    EXPECT_EQ(copy->obtainProperty("api_host"), CMVariant("https://h"));
}

// Ill-formed UTF-8 in what the host sends, in the description and in a reply is kept as it came,
// yet every request body is valid UTF-8; a lone surrogate escape in a reply reads as U+FFFD.
TEST(assistant_test, ill_formed_text_never_spoils_a_request) {
    const std::string r = "\xEF\xBF\xBD";
    qai::test::TestServer server;
    server.replyOnce(
        "POST", "/v1/chat/completions",
        {200, "{\"choices\":[{\"message\":{\"role\":\"assistant\",\"content\":\"caf\xE9 \\ud83d!\"}}]}"});
    server.reply("POST", "/v1/chat/completions", 200, R"({"choices":[{"message":{"content":"ok"}}]})");
    AssistantPtr assistant = createAssistant(server.url());
    EXPECT_EQ(assistant->updateProperties([](IQAIProperties* properties) {
        properties->setProperty("model", "m");
        properties->setProperty("db_structure",
                                "[{\"schemas\":[{\"tables\":[{\"name\":\"t\xFF\",\"fields\":[]}]}]}]");
    }),
              "");
    auto [message, error] = assistant->addMessage("q\xE2\x82");
    ASSERT_NE(message, nullptr) << error;
    EXPECT_EQ(message->obtainSections().at(0)->obtainText(), "caf\xE9 " + r + "!");
    QAIFreeObject(message);
    std::tie(message, error) = assistant->addMessage("again");
    ASSERT_NE(message, nullptr) << error;
    QAIFreeObject(message);
    EXPECT_EQ(server.lastRequest().body,
              R"({"model":"m","messages":[{"role":"developer","content":"CREATE TABLE `t)" + r +
                  R"(` ()\n\n"},{"role":"user","content":"q)" + r + R"("},)" +
                  R"({"role":"assistant","content":"caf)" + r + " " + r +
                  R"(!"},{"role":"user","content":"again"}]})");
    IQAIAssistantMemory* memory = assistant->obtainMemory();
    assistant.reset();
    const std::vector<QAIMemoryRecord> records = memory->obtainMessages(20);
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].text, "q\xE2\x82");
    EXPECT_EQ(records[1].text, "caf\xE9 " + r + "!");
    QAIFreeObject(memory);
}

}  // namespace
