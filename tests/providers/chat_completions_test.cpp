// The chat-completions providers against the local test server, driven as a
// host drives them: what the server received and what the host got back.
#include <gtest/gtest.h>

#include "chat_providers.h"
#include "provider_fixture.h"

using namespace qai_test;
using qai::test::TestServer;

namespace {

class ChatCompletions : public testing::TestWithParam<ChatProvider> {};

std::string choice(const std::string& role, const std::string& content) {
    return R"({"message":{"role":)" + jsonQuoted(role) + R"(,"content":)" + content + "}}";
}

}  // namespace

TEST_P(ChatCompletions, RequestCarriesBearerModelInstructionsHistoryAndText) {
    const ChatProvider& p = GetParam();
    TestServer server;
    server.reply("POST", p.chatPath, 200, loadFixture("openai_chat.json"));

    HostMemory memory;
    memory.records = {{0, "q1"}, {1, "a1"}, {2, "other role"}};
    AssistantPtr assistant = createAssistant(p.type, server, "sk-1", &memory);
    configure(assistant.get(), {{"model", CMVariant("m-1")}, {"user_instructions", CMVariant("Be brief.")}});
    const std::string instructions = readProperty(assistant.get(), "combined_instructions").stringValue();
    ASSERT_NE(instructions, "");

    Reply reply = send(assistant.get(), "hello");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.role, 1);
    EXPECT_EQ(reply.sectionCount, 1u);
    EXPECT_EQ(reply.text, "Hello! How can I assist you today?");

    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, p.chatPath);
    EXPECT_EQ(request.header("Authorization"), "Bearer sk-1");
    EXPECT_EQ(request.body,
              compactJson(R"({"model":"m-1","messages":[{"role":")" + std::string(p.instructionsRole) +
                          R"(","content":)" + jsonQuoted(instructions) +
                          R"(},{"role":"user","content":"q1"},{"role":"assistant","content":"a1"},)"
                          R"({"role":"user","content":"other role"},{"role":"user","content":"hello"}]})"));
    ASSERT_EQ(memory.records.size(), 5u);
    EXPECT_EQ(memory.records[3].role, 0);
    EXPECT_EQ(memory.records[3].text, "hello");
    EXPECT_EQ(memory.records[4].role, 1);
    EXPECT_EQ(memory.records[4].text, reply.text);

    // An empty key still authorizes as "Bearer "; no instructions, no item.
    AssistantPtr keyless = createAssistant(p.type, server, "");
    configure(keyless.get(), {{"model", CMVariant("m-2")}});
    EXPECT_EQ(send(keyless.get(), "hi").error, "");
    const auto second = server.lastRequest();
    // Sent as "Bearer "; the blank ending a header line is not part of the
    // value a receiver reads.
    EXPECT_EQ(second.headerCount("Authorization"), 1u);
    EXPECT_EQ(second.header("Authorization"), "Bearer");
    EXPECT_EQ(second.body, compactJson(R"({"model":"m-2","messages":[{"role":"user","content":"hi"}]})"));
}

TEST_P(ChatCompletions, TemperatureOnlyWhenBothKeysAssignedAndSwitchOn) {
    const ChatProvider& p = GetParam();
    TestServer server;
    server.reply("POST", p.chatPath, 200, R"({"choices":[]})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(p.type, server, "k", &memory);
    const std::string without = compactJson(R"({"model":"m","messages":[{"role":"user","content":"t"}]})");
    const std::string with =
        compactJson(R"({"model":"m","temperature":0.7,"messages":[{"role":"user","content":"t"}]})");
    auto sentBody = [&] {
        memory.records.clear();
        EXPECT_EQ(send(assistant.get(), "t").error, "");
        return server.lastRequest().body;
    };

    configure(assistant.get(), {{"model", CMVariant("m")}, {"temperature", CMVariant(0.7)}});
    EXPECT_EQ(sentBody(), without);
    configure(assistant.get(), {{"use_temperature", CMVariant(int32_t{1})}});
    EXPECT_EQ(sentBody(), with);
    configure(assistant.get(), {{"use_temperature", CMVariant(int32_t{0})}});
    EXPECT_EQ(sentBody(), without);

    // The switch alone, temperature never assigned: nothing sent either.
    AssistantPtr switchOnly = createAssistant(p.type, server, "k", &memory);
    configure(switchOnly.get(), {{"model", CMVariant("m")}, {"use_temperature", CMVariant(int32_t{1})}});
    memory.records.clear();
    send(switchOnly.get(), "t");
    EXPECT_EQ(server.lastRequest().body, without);
}

TEST_P(ChatCompletions, ReplyJoinsQualifyingChoicesAndRecordsEvenAnEmptyOne) {
    const ChatProvider& p = GetParam();
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(p.type, server, "k", &memory);
    configure(assistant.get(), {{"model", CMVariant("m")}});

    server.replyOnce(
        "POST", p.chatPath,
        cannedReply(200, R"({"choices":[)" + choice("assistant", R"("First ")") + "," +
                             choice("Assistant", R"("case")") + "," + choice("assistant", "null") + "," +
                             choice("user", R"("role")") + R"(,{"message":"text"},{},)" +
                             choice("assistant", R"("second")") + "]}"));
    Reply joined = send(assistant.get(), "one");
    EXPECT_EQ(joined.error, "");
    EXPECT_EQ(joined.sectionCount, 1u);
    EXPECT_EQ(joined.text, "First second");

    server.replyOnce("POST", p.chatPath,
                     cannedReply(200, R"({"choices":[)" + choice("user", R"("no")") + "]}"));
    Reply empty = send(assistant.get(), "two");
    EXPECT_EQ(empty.error, "");
    EXPECT_TRUE(empty.hasMessage);
    EXPECT_EQ(empty.sectionCount, 1u);
    EXPECT_EQ(empty.text, "");
    ASSERT_EQ(memory.records.size(), 4u);
    EXPECT_EQ(memory.records[2].text, "two");
    EXPECT_EQ(memory.records[3].role, 1);
    EXPECT_EQ(memory.records[3].text, "");
}

TEST_P(ChatCompletions, EveryFailureLeavesMemoryAloneWithItsText) {
    const ChatProvider& p = GetParam();
    const std::string quota = R"({"error":{"message":"quota"}})";
    const std::string xShape = R"({"code":"A","error":"B"})";
    struct Row {
        int status;
        std::string body;
        std::string key;       // own text: localized key + suffix
        std::string standard;  // otherwise the provider's or transport's text
        std::string x;
    };
    const std::vector<Row> rows = {
        {500, quota, "", "quota", quota},
        {500, xShape, "", xShape, "A\nB"},
        {500, "", "", "HTTP 500 Internal Server Error", "HTTP 500 Internal Server Error"},
        {200, "not json", "Invalid response", "", ""},
        {200, "", "Invalid response", "", ""},
        {200, quota, "Unsupported data format", "", ""},
        {200, R"({"choices":{}})", "Unsupported data format", "", ""},
    };
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(p.type, server, "k", &memory);

    for (bool translated : {false, true}) {
        static const std::map<std::string, std::string> german = {
            {"Model is empty", "Kein Modell"},
            {"Invalid response", "Ungültige Antwort"},
            {"Unsupported data format", "Unbekanntes Format"}};
        std::optional<ScopedTranslations> translations;
        if (translated) translations.emplace(german);
        auto own = [&](const std::string& key) { return (translated ? german.at(key) : key) + p.chatSuffix; };

        server.clearRequests();
        configure(assistant.get(), {{"model", CMVariant("")}});
        Reply noModel = send(assistant.get(), "x");
        EXPECT_FALSE(noModel.hasMessage);
        EXPECT_EQ(noModel.error, own("Model is empty"));
        EXPECT_EQ(server.requestCount(), 0u);

        configure(assistant.get(), {{"model", CMVariant("m")}});
        for (const Row& row : rows) {
            server.reply("POST", p.chatPath, cannedReply(row.status, row.body));
            Reply reply = send(assistant.get(), "x");
            EXPECT_FALSE(reply.hasMessage) << row.body;
            const std::string expected = !row.key.empty() ? own(row.key)
                                         : p.xErrorShape  ? row.x
                                                          : row.standard;
            EXPECT_EQ(reply.error, expected) << row.status << " " << row.body;
        }
    }

    // Nothing listening: the transport's own text, never a suffix.
    AssistantPtr unreachable = createAssistant(
        p.type, "http://127.0.0.1:" + std::to_string(qai::test::unusedLocalPort()), "k", &memory);
    configure(unreachable.get(), {{"model", CMVariant("m")}});
    Reply refused = send(unreachable.get(), "x");
    EXPECT_FALSE(refused.hasMessage);
    EXPECT_NE(refused.error, "");
    EXPECT_EQ(refused.error.find(p.chatSuffix), std::string::npos);
    EXPECT_TRUE(memory.records.empty());
}

TEST_P(ChatCompletions, ModelListOrderAndFailuresFollowTheProvidersForm) {
    const ChatProvider& p = GetParam();
    TestServer server;
    AssistantPtr assistant = createAssistant(p.type, server);
    if (p.modelForm == ModelForm::None) {
        EXPECT_EQ(assistant->obtainAvailableModels(), (std::pair<std::vector<std::string>, std::string>{}));
        EXPECT_EQ(server.requestCount(), 0u);
        return;
    }

    server.reply("GET", p.modelsPath, 200,
                 R"({"object":"list","data":[
        {"id":"a300","object":"model","created":300}, {"id":"b100","object":"model","created":100},
        {"id":"c300","object":"model","created":300}, {"id":"case","object":"Model","created":400},
        {"id":"text","object":"model","created":"500"}, {"id":"none","object":"model"},
        {"id":5,"object":"model","created":600}, {"object":"model","created":700},
        {"id":"kindless","created":800}, {"id":"d200","object":"model","created":200}]})");
    auto [models, error] = assistant->obtainAvailableModels();
    EXPECT_EQ(error, "");
    if (p.modelForm == ModelForm::Plain)
        EXPECT_EQ(models, (std::vector<std::string>{"a300", "b100", "c300", "text", "none", "d200"}));
    else
        EXPECT_EQ(models, (std::vector<std::string>{"a300", "c300", "d200", "b100"}));
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, p.modelsPath);
    EXPECT_EQ(request.header("Authorization"), "Bearer test-key");

    // Expected (models, error) per form; "@" stands for the model-list suffix,
    // "=" for the raw body.
    struct Expect {
        std::vector<std::string> models;
        std::string error;
    };
    struct Row {
        int status;
        std::string body;
        Expect openAI, errorFirst, errorFirstX, plain;
    };
    const std::string transport500 = "HTTP 500 Internal Server Error";
    const std::vector<Row> rows = {
        {200,
         R"({"error":{"message":"denied"},"data":[]})",
         {{}, "denied"},
         {{}, "denied"},
         {{}, "="},
         {{}, ""}},
        {200,
         R"({"error":"text","data":[{"id":"m","object":"model","created":1}]})",
         {{"m"}, ""},
         {{}, "="},
         {{}, "="},
         {{"m"}, ""}},
        {200,
         R"({"code":"A","error":"B"})",
         {{}, "Unsupported data format@"},
         {{}, "="},
         {{}, "A\nB"},
         {{}, "Unsupported data format@"}},
        {200, "not json", {{}, ""}, {{}, ""}, {{}, ""}, {{}, "Invalid response@"}},
        {500, "", {{}, transport500}, {{}, transport500}, {{}, transport500}, {{}, transport500}},
        {500,
         R"({"error":{"message":"bad key"}})",
         {{}, "bad key"},
         {{}, "bad key"},
         {{}, "="},
         {{}, "bad key"}},
        {401, R"({"error":{"type":"t"}})", {{}, "HTTP 401 Unauthorized"}, {{}, "="}, {{}, "="}, {{}, "="}},
        {200, R"({"error":{"type":"t"}})", {{}, ""}, {{}, "="}, {{}, "="}, {{}, "Unsupported data format@"}},
        {200,
         R"({"data":{}})",
         {{}, "Unsupported data format@"},
         {{}, "Unsupported data format@"},
         {{}, "Unsupported data format@"},
         {{}, "Unsupported data format@"}},
    };
    for (const Row& row : rows) {
        server.reply("GET", p.modelsPath, cannedReply(row.status, row.body));
        const Expect& e = p.modelForm == ModelForm::SortedByCreated ? row.openAI
                          : p.modelForm == ModelForm::Plain         ? row.plain
                          : p.xErrorShape                           ? row.errorFirstX
                                                                    : row.errorFirst;
        std::string expected = e.error == "=" ? row.body : e.error;
        if (!expected.empty() && expected.back() == '@')
            expected.replace(expected.size() - 1, 1, p.modelsSuffix);
        auto [list, text] = assistant->obtainAvailableModels();
        EXPECT_EQ(list, e.models) << row.status << " " << row.body;
        EXPECT_EQ(text, expected) << row.status << " " << row.body;
    }
}

INSTANTIATE_TEST_SUITE_P(Providers, ChatCompletions, testing::ValuesIn(chatProviders()), providerName);

TEST(ChatCompletionsTransport, OneAssistantReusesOneConnection) {
    TestServer server;
    server.reply("POST", "/v1/chat/completions", 200, loadFixture("openai_chat.json"));
    server.reply("GET", "/v1/models", 200, loadFixture("openai_models.json"));
    AssistantPtr assistant = createAssistant(QAIAssistantType_OPENAI, server);
    configure(assistant.get(), {{"model", CMVariant("gpt")}});
    EXPECT_EQ(assistant->obtainAvailableModels().first,
              (std::vector<std::string>{"model-id-0", "model-id-1", "model-id-2"}));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(send(assistant.get(), "msg " + std::to_string(i)).error, "");
    EXPECT_EQ(server.requestCount(), 11u);
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST(ChatCompletionsTransport, DeepSeekRecordedModelList) {
    TestServer server;
    server.reply("GET", "/models", 200, loadFixture("deepseek_models.json"));
    AssistantPtr assistant = createAssistant(QAIAssistantType_DEEPSEEK, server);
    auto [models, error] = assistant->obtainAvailableModels();
    EXPECT_EQ(error, "");
    EXPECT_EQ(models, (std::vector<std::string>{"deepseek-chat", "deepseek-reasoner"}));
}
