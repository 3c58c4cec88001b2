// The Ollama adapter against the local test server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "provider_fixture.h"

using namespace qai_test;
using qai::test::TestServer;

namespace {

constexpr auto kOllama = QAIAssistantType_OLLAMA;

void expectNoCredentials(const qai::test::ReceivedRequest& request) {
    EXPECT_FALSE(request.hasHeader("Authorization"));
    EXPECT_FALSE(request.hasHeader("x-api-key"));
    EXPECT_TRUE(request.queryParams.empty()) << request.rawQuery;
    EXPECT_EQ(request.target, request.path);
}

}  // namespace

TEST(Ollama, RequestCarriesNoCredentialsStreamOffSystemHistoryAndText) {
    TestServer server;
    server.reply("POST", "/api/chat", 200, loadFixture("ollama_chat.json"));
    HostMemory memory;
    memory.records = {{0, "q1"}, {1, "a1"}, {2, "other role"}};
    // A key given to the factory is not used at all.
    AssistantPtr assistant = createAssistant(kOllama, server, "ignored-key", &memory);
    configure(assistant.get(), {{"model", CMVariant("llama3.2")},
                                {"temperature", CMVariant(0.25)},
                                {"use_temperature", CMVariant(int32_t{1})},
                                {"user_instructions", CMVariant("Be brief.")}});
    const std::string instructions = readProperty(assistant.get(), "combined_instructions").stringValue();
    ASSERT_NE(instructions, "");

    Reply reply = send(assistant.get(), "hello");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.role, 1);
    EXPECT_EQ(reply.sectionCount, 1u);
    EXPECT_EQ(reply.text, "Hello! How are you today?");

    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/chat");
    expectNoCredentials(request);
    EXPECT_EQ(request.body,
              compactJson(R"({"model":"llama3.2","stream":false,"options":{"temperature":0.25},"messages":[)"
                          R"({"role":"system","content":)" +
                          jsonQuoted(instructions) +
                          R"(},{"role":"user","content":"q1"},{"role":"assistant","content":"a1"},)"
                          R"({"role":"user","content":"other role"},{"role":"user","content":"hello"}]})"));
    ASSERT_EQ(memory.records.size(), 5u);
    EXPECT_EQ(memory.records[3].role, 0);
    EXPECT_EQ(memory.records[3].text, "hello");
    EXPECT_EQ(memory.records[4].role, 1);
    EXPECT_EQ(memory.records[4].text, "Hello! How are you today?");
}

TEST(Ollama, OptionsOnlyUnderTheTemperatureRule) {
    TestServer server;
    server.reply("POST", "/api/chat", 200, R"({"message":{"role":"assistant","content":"ok"}})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kOllama, server, "", &memory);
    const std::string without =
        compactJson(R"({"model":"m","stream":false,"messages":[{"role":"user","content":"t"}]})");
    const std::string with = compactJson(
        R"({"model":"m","stream":false,"options":{"temperature":1.5},"messages":[{"role":"user","content":"t"}]})");
    auto sentBody = [&] {
        memory.records.clear();
        EXPECT_EQ(send(assistant.get(), "t").error, "");
        return server.lastRequest().body;
    };

    configure(assistant.get(), {{"model", CMVariant("m")}, {"use_temperature", CMVariant(int32_t{1})}});
    EXPECT_EQ(sentBody(), without);
    configure(assistant.get(), {{"temperature", CMVariant(1.5)}});
    EXPECT_EQ(sentBody(), with);
    configure(assistant.get(), {{"use_temperature", CMVariant(int32_t{0})}});
    EXPECT_EQ(sentBody(), without);
}

TEST(Ollama, ReplyMessageRulesAndFailuresWithTheirTexts) {
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kOllama, server, "", &memory);

    Reply noModel = send(assistant.get(), "q");
    EXPECT_FALSE(noModel.hasMessage);
    EXPECT_EQ(noModel.error, "Model is empty: p/api/chat");
    EXPECT_EQ(server.requestCount(), 0u);
    configure(assistant.get(), {{"model", CMVariant("m")}});

    // An empty content is a reply like any other.
    server.replyOnce("POST", "/api/chat",
                     cannedReply(200, R"({"message":{"role":"assistant","content":""}})"));
    Reply empty = send(assistant.get(), "q");
    EXPECT_EQ(empty.error, "");
    EXPECT_TRUE(empty.hasMessage);
    EXPECT_EQ(empty.sectionCount, 1u);
    EXPECT_EQ(empty.text, "");
    ASSERT_EQ(memory.records.size(), 2u);
    EXPECT_EQ(memory.records[1].role, 1);
    EXPECT_EQ(memory.records[1].text, "");
    memory.records.clear();

    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const std::string unsupported = "Unsupported data format: p/api/chat";
    const std::vector<Case> cases = {
        {"error as a string", 500, loadFixture("ollama_error.json"), loadFixture("ollama_error.json")},
        {"error object", 404, R"({"error":{"message":"model not found"}})", "model not found"},
        {"empty error body", 500, "", "HTTP 500 Internal Server Error"},
        {"not JSON", 200, "<html>", "Invalid response: p/api/chat"},
        {"no message", 200, R"({"done":true})", unsupported},
        {"message not an object", 200, R"({"message":"hi"})", unsupported},
        {"other role", 200, R"({"message":{"role":"user","content":"hi"}})", unsupported},
        {"role in other case", 200, R"({"message":{"role":"Assistant","content":"hi"}})", unsupported},
        {"no role", 200, R"({"message":{"content":"hi"}})", unsupported},
        {"content not a string", 200, R"({"message":{"role":"assistant","content":["hi"]}})", unsupported},
        {"no content", 200, R"({"message":{"role":"assistant"}})", unsupported},
    };
    for (const Case& c : cases) {
        server.replyOnce("POST", "/api/chat", cannedReply(c.status, c.body));
        Reply reply = send(assistant.get(), "q");
        EXPECT_FALSE(reply.hasMessage) << c.name;
        EXPECT_EQ(reply.error, c.error) << c.name;
    }
    EXPECT_TRUE(memory.records.empty());
}

TEST(Ollama, ModelListInServerOrderWithItsFailures) {
    TestServer server;
    AssistantPtr assistant = createAssistant(kOllama, server, "ignored-key");

    server.replyOnce("GET", "/api/tags", cannedReply(200, loadFixture("ollama_models.json")));
    auto [recorded, recordedError] = assistant->obtainAvailableModels();
    EXPECT_EQ(recordedError, "");
    EXPECT_EQ(recorded, (std::vector<std::string>{"deepseek-r1:latest", "llama3.2:latest"}));
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/api/tags");
    expectNoCredentials(request);

    server.replyOnce(
        "GET", "/api/tags",
        cannedReply(200, R"({"models":[{"name":"z"},{"model":"no-name"},{"name":3},"x",{"name":"a"}]})"));
    EXPECT_EQ(assistant->obtainAvailableModels().first, (std::vector<std::string>{"z", "a"}));

    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const std::vector<Case> cases = {
        // The body of a failed request is not examined.
        {"error object", 404, R"({"error":{"message":"not here"}})", "HTTP 404 Not Found"},
        {"not JSON", 200, "<html>", "Invalid response: g/api/tags"},
        {"no models", 200, R"({"data":[]})", "Unsupported data format: g/api/tags"},
        {"models not an array", 200, R"({"models":{"name":"a"}})", "Unsupported data format: g/api/tags"},
        {"no names", 200, R"({"models":[{"model":"a"},{}]})", ""},
    };
    for (const Case& c : cases) {
        server.replyOnce("GET", "/api/tags", cannedReply(c.status, c.body));
        auto [list, text] = assistant->obtainAvailableModels();
        EXPECT_TRUE(list.empty()) << c.name;
        EXPECT_EQ(text, c.error) << c.name;
    }

    // A server that is not there: the transport's own text.
    AssistantPtr absent =
        createAssistant(kOllama, "http://127.0.0.1:" + std::to_string(qai::test::unusedLocalPort()));
    auto [none, refused] = absent->obtainAvailableModels();
    EXPECT_TRUE(none.empty());
    EXPECT_NE(refused, "");
    EXPECT_EQ(refused.find(": g/api/tags"), std::string::npos);
}
