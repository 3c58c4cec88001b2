// A host built against qai.h and the shared library alone (no internal
// symbols) holds a conversation over TLS, trusting the test CA, with the test
// server posing as OpenAI: the model list, a message, a streamed message and
// the memory the host takes over.
#include <gtest/gtest.h>

#include "providers.h"

using namespace qai::test;

TEST(HostConversation, OverTheExportedSurfaceAndTLS) {
    TestServer server(TestServer::Mode::Tls);
    server.reply(
        "GET", "/v1/models", 200,
        R"({"data":[{"id":"old","object":"model","created":1},{"id":"new","object":"model","created":2}]})");
    server.reply("POST", "/v1/chat/completions", 200, wirePart(Wire::ChatCompletions, "whole", "SELECT 1"));
    CMRestGlobalSettings settings;
    settings.caFile = server.caFile();
    SettingsScope scope(settings);
    AssistantPtr assistant = createAssistant(QAIAssistantType_OPENAI, server.url(), "sk-1");
    const Outcome models = run(assistant.get(), Call::Models);
    EXPECT_EQ(models.text + models.error, "new,old,");

    configure(
        assistant.get(),
        {{"model", CMVariant("new")},
         {"db_structure",
          CMVariant(R"([{"schemas":[{"tables":[{"name":"t","fields":[{"name":"id","type":"int"}]}]}]}])")}});
    EXPECT_EQ(run(assistant.get(), Call::Message).text, "SELECT 1");
    EXPECT_EQ(server.lastRequest().get_header_value("Authorization"), "Bearer sk-1");
    EXPECT_EQ(
        server.lastRequest().body,
        R"({"model":"new","messages":[{"role":"developer","content":"CREATE TABLE `t` (`id` int)\n\n"},)"
        R"({"role":"user","content":"hi"}]})");
    server.replyOnce(
        "POST", "/v1/chat/completions",
        streamReply(Wire::ChatCompletions, {{{}, streamBody(Wire::ChatCompletions, {"SEL", "ECT 2"})}}));
    const Outcome streamed = run(assistant.get(), Call::Stream);
    EXPECT_EQ(streamed.pieces, (std::vector<std::string>{"SEL", "ECT 2"}));
    EXPECT_EQ(streamed.facts, "role 1, 1 section(s), 11 in, 7 out, 6 cached, 2 written, stop 2 (length)");
    EXPECT_EQ(server.connectionCount(), 1u);

    IQAIAssistantMemory* memory = assistant->obtainMemory();
    assistant.reset();
    EXPECT_EQ(memory->obtainMessages(20).size(), 4u);
    QAIFreeObject(memory);
}
