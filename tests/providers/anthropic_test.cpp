// The Anthropic messages adapter against the local test server, plus the
// temperature ranges and default hosts of the three non-chat-completions
// providers.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "../core/diag_capture.h"
#include "provider_fixture.h"

using namespace qai_test;
using qai::test::TestServer;

namespace {

constexpr auto kAnthropic = QAIAssistantType_ANTHROPIC;

std::string modelItem(const std::string& id, const std::string& createdAt,
                      const std::string& type = "model") {
    return R"({"type":)" + jsonQuoted(type) + R"(,"id":)" + jsonQuoted(id) + R"(,"created_at":)" +
           jsonQuoted(createdAt) + "}";
}

}  // namespace

TEST(Anthropic, RequestCarriesHeadersMaxTokensSystemHistoryAndText) {
    TestServer server;
    server.reply("POST", "/v1/messages", 200, loadFixture("anthropic_chat.json"));
    HostMemory memory;
    memory.records = {{0, "q1"}, {1, "a1"}, {2, "other role"}};
    AssistantPtr assistant = createAssistant(kAnthropic, server, "sk-ant", &memory);
    configure(assistant.get(), {{"model", CMVariant("claude-x")},
                                {"temperature", CMVariant(0.25)},
                                {"use_temperature", CMVariant(int32_t{1})},
                                {"user_instructions", CMVariant("Be brief.")}});
    const std::string instructions = readProperty(assistant.get(), "combined_instructions").stringValue();
    ASSERT_NE(instructions, "");

    Reply reply = send(assistant.get(), "hello");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.role, 1);
    EXPECT_EQ(reply.sectionCount, 1u);
    EXPECT_EQ(reply.text, "Hello!");

    ASSERT_EQ(server.requestCount(), 1u);
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/v1/messages");
    EXPECT_EQ(request.header("x-api-key"), "sk-ant");
    EXPECT_EQ(request.header("anthropic-version"), "2023-06-01");
    EXPECT_FALSE(request.hasHeader("Authorization"));
    EXPECT_EQ(
        request.body,
        compactJson(R"({"model":"claude-x","temperature":0.25,"max_tokens":1024,"system":)" +
                    jsonQuoted(instructions) +
                    R"(,"messages":[{"role":"user","content":"q1"},{"role":"assistant","content":"a1"},)"
                    R"({"role":"user","content":"other role"},{"role":"user","content":"hello"}]})"));
    ASSERT_EQ(memory.records.size(), 5u);
    EXPECT_EQ(memory.records[3].role, 0);
    EXPECT_EQ(memory.records[3].text, "hello");
    EXPECT_EQ(memory.records[4].role, 1);
    EXPECT_EQ(memory.records[4].text, "Hello!");
}

TEST(Anthropic, OptionalMembersFollowTheirRules) {
    TestServer server;
    server.reply("POST", "/v1/messages", 200, R"({"content":[]})");
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kAnthropic, server, "k", &memory);
    auto sentBody = [&] {
        memory.records.clear();
        EXPECT_EQ(send(assistant.get(), "t").error, "");
        return server.lastRequest().body;
    };
    auto body = [](const std::string& middle) {
        return compactJson(R"({"model":"m",)" + middle + R"("messages":[{"role":"user","content":"t"}]})");
    };

    // Temperature without its switch, empty instructions: neither is sent.
    configure(assistant.get(), {{"model", CMVariant("m")}, {"temperature", CMVariant(0.7)}});
    EXPECT_EQ(sentBody(), body(R"("max_tokens":1024,)"));
    configure(assistant.get(),
              {{"use_temperature", CMVariant(int32_t{1})}, {"max_tokens", CMVariant(int32_t{4096})}});
    EXPECT_EQ(sentBody(), body(R"("temperature":0.7,"max_tokens":4096,)"));
    configure(assistant.get(), {{"use_temperature", CMVariant(int32_t{0})}});
    EXPECT_EQ(sentBody(), body(R"("max_tokens":4096,)"));

    // A Double for max_tokens is reported but still taken as its integer.
    DiagCapture diagnostics;
    configure(assistant.get(), {{"max_tokens", CMVariant(2048.9)}});
    EXPECT_EQ(diagnostics.take(),
              std::vector<std::string>{"value.getValueType() == CMVariant::ValueType::Int"});
    EXPECT_EQ(sentBody(), body(R"("max_tokens":2048,)"));

    // The switch alone, temperature never assigned: nothing sent.
    AssistantPtr switchOnly = createAssistant(kAnthropic, server, "k", &memory);
    configure(switchOnly.get(), {{"model", CMVariant("m")}, {"use_temperature", CMVariant(int32_t{1})}});
    memory.records.clear();
    send(switchOnly.get(), "t");
    EXPECT_EQ(server.lastRequest().body, body(R"("max_tokens":1024,)"));
}

TEST(Anthropic, StoreAddsMaxTokensThatCopiesLeaveOut) {
    AssistantPtr assistant = createAssistant(kAnthropic, "  http://anthropic.test ");
    configure(assistant.get(), {{"model", CMVariant("m")}});
    std::vector<std::pair<std::string, std::string>> descriptions;
    CMVariant initial;
    assistant->updateProperties([&](IQAIProperties* properties) {
        descriptions = properties->obtainPropertyDescriptions();
        initial = properties->obtainProperty("max_tokens");
    });
    ASSERT_EQ(descriptions.size(), 9u);
    EXPECT_EQ(descriptions[0].first, "api_host");
    EXPECT_EQ(descriptions[8], (std::pair<std::string, std::string>("max_tokens", "integer")));
    EXPECT_EQ(initial.getValueType(), CMVariant::ValueType::Int);
    EXPECT_EQ(initial.intValue(), 1024);

    configure(assistant.get(), {{"max_tokens", CMVariant(int32_t{4096})}});
    std::unique_ptr<IQAIProperties, FreeObject> copy(assistant->obtainProperties());
    EXPECT_TRUE(copy->obtainProperty("max_tokens").isNull());
    EXPECT_EQ(copy->obtainPropertyDescriptions().size(), 8u);
    EXPECT_FALSE(copy->setProperty("max_tokens", CMVariant(int32_t{1})));
    // The host given at creation survived the store's replacement.
    EXPECT_EQ(copy->obtainProperty("api_host").stringValue(), "http://anthropic.test");
    EXPECT_EQ(copy->obtainProperty("model").stringValue(), "m");
}

TEST(Anthropic, ReplyJoinsTextBlocksAndRecordsEvenAnEmptyOne) {
    struct Case {
        const char* content;
        const char* text;
    };
    const Case cases[] = {
        {R"([{"type":"text","text":"First "},{"type":"tool_use","text":"skip"},{"type":"text","text":"second"}])",
         "First second"},
        {R"([{"type":"Text","text":"case"},{"type":"text","text":7},{"text":"no type"},"x",{"type":"text"}])",
         ""},
        {"[]", ""},
    };
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kAnthropic, server, "k", &memory);
    configure(assistant.get(), {{"model", CMVariant("m")}});
    for (const Case& c : cases) {
        memory.records.clear();
        server.replyOnce("POST", "/v1/messages",
                         cannedReply(200, std::string(R"({"content":)") + c.content + "}"));
        Reply reply = send(assistant.get(), "q");
        EXPECT_EQ(reply.error, "") << c.content;
        EXPECT_EQ(reply.sectionCount, 1u) << c.content;
        EXPECT_EQ(reply.text, c.text) << c.content;
        ASSERT_EQ(memory.records.size(), 2u) << c.content;
        EXPECT_EQ(memory.records[1].role, 1);
        EXPECT_EQ(memory.records[1].text, c.text);
    }
}

TEST(Anthropic, EveryMessageFailureLeavesMemoryAloneWithItsText) {
    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"provider error object", 404, loadFixture("anthropic_error.json"),
         "The requested resource could not be found."},
        {"error body without message", 500, R"({"error":"overloaded"})", R"({"error":"overloaded"})"},
        {"empty error body", 503, "", "HTTP 503 Service Unavailable"},
        {"not JSON", 200, "<html>", "Invalid response: p/v1/messages"},
        {"no content", 200, R"({"type":"message"})", "Unsupported data format: p/v1/messages"},
        {"content not an array", 200, R"({"content":"Hello"})", "Unsupported data format: p/v1/messages"},
    };
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(kAnthropic, server, "k", &memory);

    // No model: nothing is sent.
    Reply noModel = send(assistant.get(), "q");
    EXPECT_FALSE(noModel.hasMessage);
    EXPECT_EQ(noModel.error, "Model is empty: p/v1/messages");
    EXPECT_EQ(server.requestCount(), 0u);

    configure(assistant.get(), {{"model", CMVariant("m")}});
    for (const Case& c : cases) {
        server.replyOnce("POST", "/v1/messages", cannedReply(c.status, c.body));
        Reply reply = send(assistant.get(), "q");
        EXPECT_FALSE(reply.hasMessage) << c.name;
        EXPECT_EQ(reply.error, c.error) << c.name;
    }
    EXPECT_TRUE(memory.records.empty());

    // Own texts are localized before the suffix is appended.
    ScopedTranslations translations({{"Invalid response", "Antwort ungültig"}});
    server.replyOnce("POST", "/v1/messages", cannedReply(200, "<html>"));
    EXPECT_EQ(send(assistant.get(), "q").error, "Antwort ungültig: p/v1/messages");
}

TEST(Anthropic, ModelListNewestFirstWithItsFailures) {
    TestServer server;
    AssistantPtr assistant = createAssistant(kAnthropic, server, "sk-ant");

    server.replyOnce(
        "GET", "/v1/models",
        cannedReply(
            200,
            R"({"data":[)" + modelItem("old", "2024-03-01T00:00:00Z") + "," +
                modelItem("tie-a", "2025-01-01T10:00:00Z") + "," +
                modelItem("other", "2026-01-01T00:00:00Z", "file") + "," +
                modelItem("newest", "2025-06-01T00:00:00Z") + "," +
                modelItem("tie-b", "2025-01-01T10:00:00Z") + "," + modelItem("bad-date", "June 2025") + "," +
                R"({"type":"model","id":"no-date"},{"type":"model","id":5,"created_at":"2025-01-01T00:00:00Z"},)"
                R"({"type":"Model","id":"case","created_at":"2025-01-01T00:00:00Z"}]})"));
    auto [models, error] = assistant->obtainAvailableModels();
    EXPECT_EQ(error, "");
    EXPECT_EQ(models, (std::vector<std::string>{"newest", "tie-a", "tie-b", "old"}));
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/v1/models");
    EXPECT_EQ(request.header("x-api-key"), "sk-ant");
    EXPECT_EQ(request.header("anthropic-version"), "2023-06-01");
    EXPECT_FALSE(request.hasHeader("Authorization"));

    server.replyOnce("GET", "/v1/models", cannedReply(200, loadFixture("anthropic_models.json")));
    EXPECT_EQ(assistant->obtainAvailableModels().first, std::vector<std::string>{"claude-sonnet-4-20250514"});

    struct Case {
        const char* name;
        int status;
        std::string body;
        std::string error;
    };
    const std::vector<Case> cases = {
        // A valid body is read before the transport's verdict.
        {"error with data", 200, R"({"error":{"message":"denied"},"data":[]})", "denied"},
        {"error fixture", 404, loadFixture("anthropic_error.json"),
         "The requested resource could not be found."},
        {"error not an object", 400, R"({"error":"bad"})", R"({"error":"bad"})"},
        {"no data", 200, R"({"models":[]})", "Unsupported data format: g/v1/models"},
        {"data not an array", 200, R"({"data":{}})", "Unsupported data format: g/v1/models"},
        {"not JSON, no transport error", 200, "<html>", ""},
        {"not JSON, transport error", 502, "<html>", "HTTP 502 Bad Gateway"},
        {"empty array", 200, R"({"data":[]})", ""},
    };
    for (const Case& c : cases) {
        server.replyOnce("GET", "/v1/models", cannedReply(c.status, c.body));
        auto [list, text] = assistant->obtainAvailableModels();
        EXPECT_TRUE(list.empty()) << c.name;
        EXPECT_EQ(text, c.error) << c.name;
    }
}

// The shared 0..2 clamp of the base, narrowed to 0..1 for Anthropic; and each
// provider's default host, which gets a scheme like any bare host.
TEST(NonChatProviders, TemperatureRangeAndDefaultHost) {
    struct Row {
        QAIAssistantType type;
        const char* defaultHost;
        std::vector<double> expected;  // for the inputs below
    };
    const double inputs[] = {2.5, 2.0, 1.5, 1.0, 0.3, -0.5};
    const Row rows[] = {
        {QAIAssistantType_ANTHROPIC, "api.anthropic.com", {1.0, 1.0, 1.0, 1.0, 0.3, 0.0}},
        {QAIAssistantType_GOOGLE, "generativelanguage.googleapis.com", {2.0, 2.0, 1.5, 1.0, 0.3, 0.0}},
        {QAIAssistantType_OLLAMA, "localhost:11434", {2.0, 2.0, 1.5, 1.0, 0.3, 0.0}},
    };
    for (const Row& row : rows) {
        AssistantPtr assistant = createAssistant(row.type, "");
        ASSERT_TRUE(assistant);
        EXPECT_EQ(assistant->obtainDefaultHost(), row.defaultHost);
        EXPECT_EQ(readProperty(assistant.get(), "api_host").stringValue(),
                  std::string("https://") + row.defaultHost);
        for (size_t i = 0; i < row.expected.size(); ++i) {
            configure(assistant.get(), {{"temperature", CMVariant(inputs[i])}});
            EXPECT_DOUBLE_EQ(readProperty(assistant.get(), "temperature").doubleValue(), row.expected[i])
                << row.defaultHost << " " << inputs[i];
        }
    }
}
