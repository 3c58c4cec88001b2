// A host built against qai.h and the shared library alone (no internal
// symbols) holds a conversation over TLS with the test server posing as OpenAI.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "qai.h"
#include "test_server.h"

TEST(HostConversation, OverTheExportedSurfaceAndTLS) {
    qai::test::TestServer server(qai::test::TestServer::Mode::Tls);
    server.reply(
        "GET", "/v1/models", 200,
        R"({"data":[{"id":"old","object":"model","created":1},{"id":"new","object":"model","created":2}]})");
    server.reply("POST", "/v1/chat/completions", 200,
                 R"({"choices":[{"message":{"role":"assistant","content":"SELECT 1"}}]})");
    CMRestGlobalSettings settings;
    settings.caFile = server.caFile();
    QAISetHTTPSettings(settings);

    IQAIAssistant* assistant =
        QAICreateAssistant(QAIAssistantType_OPENAI, cfCreateHTTPPoolCenter(), "sk-1", server.url(), nullptr);
    ASSERT_NE(assistant, nullptr);
    auto [models, modelsError] = assistant->obtainAvailableModels();
    EXPECT_EQ(modelsError, "");
    EXPECT_EQ(models, (std::vector<std::string>{"new", "old"}));

    EXPECT_EQ(assistant->updateProperties([](IQAIProperties* properties) {
        properties->setProperty("model", "new");
        properties->setProperty(
            "db_structure",
            R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"id","type":"int"}]}]}]}])");
    }),
              "");
    for (const char* question : {"first", "second"}) {
        auto [message, error] = assistant->addMessage(question);
        ASSERT_NE(message, nullptr) << error;
        ASSERT_EQ(message->obtainSections().size(), 1u);
        EXPECT_EQ(message->obtainSections()[0]->obtainText(), "SELECT 1");
        QAIFreeObject(message);
    }
    EXPECT_EQ(server.lastRequest().get_header_value("Authorization"), "Bearer sk-1");
    EXPECT_EQ(
        server.lastRequest().body,
        R"({"model":"new","messages":[{"role":"developer","content":"CREATE TABLE `t` (`id` int)\n\n"},)"
        R"({"role":"user","content":"first"},{"role":"assistant","content":"SELECT 1"},)"
        R"({"role":"user","content":"second"}]})");
    EXPECT_EQ(server.connectionCount(), 1u);

    // A streamed reply over the same connection, through the methods appended in 1.2.
    qai::test::CannedReply streamed(200, "");
    streamed.contentType = "text/event-stream";
    streamed.pieces = {
        {std::chrono::milliseconds(0), "data: {\"choices\":[{\"delta\":{\"content\":\"SEL\"}}]}\n\n"},
        {std::chrono::milliseconds(5),
         "data: {\"choices\":[{\"delta\":{\"content\":\"ECT 2\"},"
         "\"finish_reason\":\"stop\"}],\"usage\":{\"prompt_tokens\":9,"
         "\"completion_tokens\":2}}\n\ndata: [DONE]\n\n"}};
    server.replyOnce("POST", "/v1/chat/completions", streamed);
    std::string shown;
    auto [message, error] = assistant->addMessageStreaming("third", [&shown](std::string_view piece) {
        shown.append(piece);
        return true;
    });
    ASSERT_NE(message, nullptr) << error;
    EXPECT_EQ(shown, "SELECT 2");
    EXPECT_EQ(message->obtainSections()[0]->obtainText(), "SELECT 2");
    EXPECT_EQ(message->obtainInputTokens(), 9);
    EXPECT_EQ(message->obtainOutputTokens(), 2);
    EXPECT_EQ(message->obtainStopReason(), QAIStopReason_EndOfTurn);
    EXPECT_EQ(message->obtainStopReasonText(), "stop");
    QAIFreeObject(message);
    EXPECT_EQ(server.connectionCount(), 1u);

    IQAIAssistantMemory* memory = assistant->obtainMemory();
    QAIFreeObject(assistant);
    EXPECT_EQ(memory->obtainMessages(20).size(), 6u);
    QAIFreeObject(memory);
    QAISetHTTPSettings(CMRestGlobalSettings{});
}
