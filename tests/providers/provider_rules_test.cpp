// The rules every provider shares, one table row per provider, driven as a
// host drives them: what the local test server received and what came back.
#include <gtest/gtest.h>

#include <iterator>

#include "provider_fixture.h"

using namespace qai_test;
using NameValues = std::vector<std::pair<std::string, std::string>>;
using qai::test::TestServer;

namespace {

const std::string kKey = "k&+ 1";
const char* const kCredentialHeaders[] = {"Authorization", "x-api-key", "anthropic-version",
                                          "x-goog-api-key"};
const double kTemperatures[] = {2.5, 2.0, 1.995, 1.5, 1.0, -0.5};
const std::string kInvalid = "Invalid response@", kUnsupported = "Unsupported data format@";
const std::string k502 = "HTTP 502 Bad Gateway";

// Failure replies sent to every provider; the expected texts of the first two
// differ per provider, the rest are the same for all. In expected texts "="
// stands for the raw body and a trailing "@" for the operation's suffix.
struct Probe {
    int status;
    std::string body, shared;  // shared: the expected text when the same for all
};
const Probe kChatProbes[] = {
    {500, R"({"error":{"message":"quota"}})", ""},
    {500, R"({"code":"A","error":"B"})", ""},
    {503, "", "HTTP 503 Service Unavailable"},
    {200, "not json", kInvalid},
    {200, R"({"x":1})", kUnsupported},
    {200, R"({"choices":{},"content":{},"candidates":{},"message":{"role":"user","content":"hi"}})",
     kUnsupported},
};
const std::pair<int, std::string> kModelProbes[] = {
    {200, R"({"error":{"message":"denied"},"data":[],"models":[]})"},
    {500, R"({"error":{"message":"bad key"}})"},
    {200, "not json"},
    {200, R"({"list":[]})"},
    {502, ""},
    {200, R"({"code":"A","error":"B"})"},
};
const std::map<std::string, std::string> kGerman = {{"Model is empty", "Kein Modell"},
                                                    {"Invalid response", "Ungültige Antwort"},
                                                    {"Unsupported data format", "Unbekanntes Format"}};

void translateToGerman(const char* key, void* data) {
    auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
    const auto it = kGerman.find(info->text);
    if (std::string_view(key) == "QAILocalizeString" && it != kGerman.end())
        it->second.copy(info->localized, sizeof info->localized - 1);
}

struct Provider {
    const char* name;
    QAIAssistantType type;
    const char* defaultHost;
    std::string chatTarget;                 // for model "m" and kKey
    NameValues credentials;                 // of kCredentialHeaders; the others must be absent
    std::string body;                       // "<T>" and "<S>" mark temperature and instructions
    std::string temperature, instructions;  // their members; "<I>" marks the text
    std::string reply, replyText, emptyReply;
    std::vector<std::string> chatErrors;  // for the first two kChatProbes
    std::string modelsTarget;             // "" when no models are listed
    std::string modelsReply;
    std::vector<std::string> models, modelErrors;  // modelErrors per kModelProbes
    std::vector<double> temperatures;              // after kTemperatures
};
// Test names and failure messages show the provider, not its bytes.
void PrintTo(const Provider& provider, std::ostream* out) { *out << provider.name; }

const std::string kHistory = R"({"role":"user","content":"q1"},{"role":"assistant","content":"a1"},)"
                             R"({"role":"user","content":"r2"},{"role":"user","content":"hi"}]})";
const std::string kChatReply =
    R"({"choices":[{"message":{"role":"assistant","content":"A"}},{"message":"x"},{},)"
    R"({"message":{"role":"user","content":"x"}},{"message":{"role":"Assistant","content":"x"}},)"
    R"({"message":{"role":"assistant","content":null}},{"message":{"role":"assistant","content":"B"}}]})";
const std::string kDataModels =
    R"({"data":[{"id":"a3","object":"model","created":300},{"id":"b1","object":"model","created":100},)"
    R"({"id":"c3","object":"model","created":300},{"id":"x","object":"Model","created":400},)"
    R"({"id":5,"object":"model","created":600},{"id":"y","object":"model","created":"500"},)"
    R"({"id":"d2","object":"model","created":200}]})";
const std::string kAnthropicReply =
    R"({"content":[{"type":"text","text":"A"},{"type":"tool_use","text":"x"},{"type":"Text","text":"x"},)"
    R"({"type":"text","text":7},{"text":"x"},"x",{"type":"text","text":"B"}]})";
const std::string kAnthropicModels =
    R"({"data":[{"type":"model","id":"old","created_at":"2024-03-01T00:00:00Z"},)"
    R"({"type":"model","id":"tie-a","created_at":"2025-01-01T10:00:00Z"},)"
    R"({"type":"file","id":"file","created_at":"2026-01-01T00:00:00Z"},)"
    R"({"type":"model","id":"new","created_at":"2025-06-01T00:00:00Z"},)"
    R"({"type":"model","id":"tie-b","created_at":"2025-01-01T10:00:00Z"},)"
    R"({"type":"model","id":"bad-date","created_at":"June 2025"},{"type":"model","id":"no-date"}]})";
const std::string kGoogleBody =
    R"({<T><S>"contents":[{"role":"user","parts":[{"text":"q1"}]},{"role":"model","parts":[{"text":"a1"}]},)"
    R"({"role":"user","parts":[{"text":"r2"}]},{"role":"user","parts":[{"text":"hi"}]}]})";
const std::string kGoogleReply =
    R"({"candidates":[{"content":{"role":"model","parts":[{"text":"A"},{"inlineData":{}},{"text":1}]}},)"
    R"({"content":{"role":"user","parts":[{"text":"x"}]}},{"content":{"role":"model","parts":{"text":"x"}}},)"
    R"({"content":"x"},{"content":{"parts":[{"text":"x"}]}},{"finishReason":"SAFETY"},)"
    R"({"content":{"role":"model","parts":[{"text":"B"},{"text":"C"}]}}]})";
const std::string kGoogleModels =
    R"({"models":[{"name":"models/b","supportedGenerationMethods":["x","generateContent"]},)"
    R"({"name":"plain","supportedGenerationMethods":["generateContent"]},)"
    R"({"name":"models/e","supportedGenerationMethods":[]},{"name":"models/n"},)"
    R"({"name":"models/c","supportedGenerationMethods":["GenerateContent"]},)"
    R"({"name":"models/s","supportedGenerationMethods":"generateContent"},)"
    R"({"name":"Models/a","supportedGenerationMethods":["generateContent"]}]})";
const std::vector<std::string> kSorted = {"a3", "c3", "d2", "b1"};
const std::vector<double> kUpTo2 = {2.0, 2.0, 1.995, 1.5, 1.0, 0.0}, kUpTo1 = {1, 1, 1, 1, 1, 0};

Provider chatCompletions(const char* name, QAIAssistantType type, const char* host, const std::string& prefix,
                         const char* instructionsRole, std::vector<std::string> models,
                         std::vector<std::string> modelErrors, std::vector<std::string> chatErrors,
                         std::vector<double> temperatures) {
    const std::string instructions = R"({"role":")" + std::string(instructionsRole) + R"(","content":<I>},)";
    return Provider(name, type, host, prefix + "/chat/completions", {{"Authorization", "Bearer " + kKey}},
                    R"({"model":"m",<T>"messages":[<S>)" + kHistory, R"("temperature":0.5,)", instructions,
                    kChatReply, "AB", R"({"choices":[]})", std::move(chatErrors), prefix + "/models",
                    kDataModels, std::move(models), std::move(modelErrors), std::move(temperatures));
}

const std::vector<Provider>& providers() {
    static const std::vector<Provider> rows = [] {
        std::vector<Provider> list = {
            chatCompletions("OpenAI", QAIAssistantType_OPENAI, "api.openai.com", "/v1", "developer", kSorted,
                            {"denied", "bad key", "", kUnsupported, k502, kUnsupported}, {"quota", "="},
                            kUpTo2),
            chatCompletions("DeepSeek", QAIAssistantType_DEEPSEEK, "api.deepseek.com", "", "system",
                            {"a3", "b1", "c3", "y", "d2"},
                            {"", "bad key", kInvalid, kUnsupported, k502, kUnsupported}, {"quota", "="},
                            kUpTo2),
            chatCompletions("X", QAIAssistantType_X, "api.x.ai", "/v1", "system", kSorted,
                            {"=", "=", "", kUnsupported, k502, "A\nB"}, {"=", "A\nB"}, kUpTo1),
            chatCompletions("Alibaba", QAIAssistantType_ALIBABA, "dashscope.aliyuncs.com",
                            "/compatible-mode/v1", "system", kSorted,
                            {"denied", "bad key", "", kUnsupported, k502, "="}, {"quota", "="},
                            {1.99, 1.99, 1.995, 1.5, 1.0, 0.0}),
            chatCompletions("ByteDance", QAIAssistantType_BYTEDANCE, "ark.cn-beijing.volces.com", "/api/v3",
                            "system", {}, {}, {"quota", "="}, kUpTo2),
            Provider("Anthropic", QAIAssistantType_ANTHROPIC, "api.anthropic.com", "/v1/messages",
                     {{"x-api-key", kKey}, {"anthropic-version", "2023-06-01"}},
                     R"({"model":"m",<T>"max_tokens":1024,<S>"messages":[)" + kHistory,
                     R"("temperature":0.5,)", R"("system":<I>,)", kAnthropicReply, "AB", R"({"content":[]})",
                     {"quota", "="}, "/v1/models", kAnthropicModels, {"new", "tie-a", "tie-b", "old"},
                     {"denied", "bad key", "", kUnsupported, k502, "="}, kUpTo1),
            Provider("Google", QAIAssistantType_GOOGLE, "generativelanguage.googleapis.com",
                     "/v1beta/models/m:generateContent?key=k%26%2B%201", {}, kGoogleBody,
                     R"("generationConfig":{"temperature":0.5},)",
                     R"("system_instruction":{"parts":{"text":<I>}},)", kGoogleReply, "ABC",
                     R"({"candidates":[]})", {"quota", "HTTP 500 Internal Server Error"},
                     "/v1beta/models?key=k%26%2B%201", kGoogleModels, {"b", "plain", "Models/a"},
                     {"", "bad key", kInvalid, kUnsupported, k502, kUnsupported}, kUpTo2),
            Provider(
                "Ollama", QAIAssistantType_OLLAMA, "localhost:11434", "/api/chat", {},
                R"({"model":"m","stream":false,<T>"messages":[<S>)" + kHistory,
                R"("options":{"temperature":0.5},)", R"({"role":"system","content":<I>},)",
                R"({"message":{"role":"assistant","content":"AB"}})", "AB",
                R"({"message":{"role":"assistant","content":""}})", {"quota", "="}, "/api/tags",
                R"({"models":[{"name":"z"},{"model":"no-name"},{"name":3},"x",{"name":"a"}]})", {"z", "a"},
                {"", "HTTP 500 Internal Server Error", kInvalid, kUnsupported, k502, kUnsupported}, kUpTo2),
        };
        list[4].modelsTarget.clear();  // ByteDance lists no models
        return list;
    }();
    return rows;
}

std::string replaced(std::string text, const std::string& mark, const std::string& value) {
    for (size_t at = text.find(mark); at != std::string::npos; at = text.find(mark, at + value.size()))
        text.replace(at, mark.size(), value);
    return text;
}

std::string pathOf(const std::string& target) { return target.substr(0, target.find('?')); }

/// An expected text with its markers resolved (see kChatProbes).
std::string expected(const std::string& text, const std::string& body, const std::string& suffix,
                     bool translated = false) {
    if (text == "=") return body;
    if (text.empty() || text.back() != '@') return text;
    const std::string key = text.substr(0, text.size() - 1);
    return (translated ? kGerman.at(key) : key) + suffix;
}

void expectCredentials(const Provider& p, const qai::test::ReceivedRequest& request) {
    for (const char* name : kCredentialHeaders) {
        std::string value;
        for (const auto& [header, text] : p.credentials)
            if (header == name) value = text;
        EXPECT_EQ(request.get_header_value_count(name), value.empty() ? 0u : 1u) << name;
        EXPECT_EQ(request.get_header_value(name), value) << name;
    }
}

class Providers : public testing::TestWithParam<Provider> {};

}  // namespace

TEST_P(Providers, RequestCarriesCredentialModelOptionsHistoryAndTextThenRecordsTheReply) {
    const Provider& p = GetParam();
    TestServer server;
    server.reply("POST", pathOf(p.chatTarget), 200, p.reply);
    const std::vector<QAIMemoryRecord> history = {{0, "q1"}, {1, "a1"}, {2, "r2"}};
    HostMemory memory;
    memory.records = history;
    AssistantPtr assistant = createAssistant(p.type, server.url(), kKey, &memory);

    // Temperature without its switch and no instructions: neither is sent.
    configure(assistant.get(), {{"model", CMVariant("m")}, {"temperature", CMVariant(0.5)}});
    Reply reply = send(assistant.get(), "hi");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.role, 1);
    EXPECT_EQ(reply.sectionCount, 1u);
    EXPECT_EQ(reply.text, p.replyText);
    EXPECT_EQ(memory.history(), "0:q1|1:a1|2:r2|0:hi|1:" + p.replyText + "|");
    auto request = server.lastRequest();
    EXPECT_EQ(request.method + " " + request.target, "POST " + p.chatTarget);
    expectCredentials(p, request);
    EXPECT_EQ(request.body, compactJson(replaced(replaced(p.body, "<T>", ""), "<S>", "")));

    memory.records = history;
    configure(assistant.get(),
              {{"use_temperature", CMVariant(int32_t{1})}, {"user_instructions", CMVariant("Hi")}});
    const std::string instructions = readProperty(assistant.get(), "combined_instructions").stringValue();
    ASSERT_NE(instructions, "");
    EXPECT_EQ(send(assistant.get(), "hi").error, "");
    const std::string members = replaced(p.instructions, "<I>", jsonQuoted(instructions));
    EXPECT_EQ(server.lastRequest().body,
              compactJson(replaced(replaced(p.body, "<T>", p.temperature), "<S>", members)));

    // A reply with no qualifying text is still a reply, and recorded.
    memory.records.clear();
    server.reply("POST", pathOf(p.chatTarget), 200, p.emptyReply);
    reply = send(assistant.get(), "e");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.sectionCount, 1u);
    EXPECT_EQ(reply.text, "");
    EXPECT_EQ(memory.history(), "0:e|1:|");

    // One assistant keeps one connection open for its messages.
    for (int i = 0; i < 7; ++i) EXPECT_EQ(send(assistant.get(), "again").error, "");
    EXPECT_EQ(server.requestCount(), 10u);
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST_P(Providers, EveryMessageFailureLeavesMemoryAloneWithItsText) {
    const Provider& p = GetParam();
    TestServer server;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(p.type, server.url(), kKey, &memory);
    const std::string suffix = ": p" + pathOf(p.chatTarget);
    // Without a model there is no model in the path either.
    const std::string noModelSuffix =
        p.type == QAIAssistantType_GOOGLE ? ": p/v1beta/models/generateContent" : suffix;

    for (bool translated : {false, true}) {
        QAIRegisterCallback(translated ? translateToGerman : nullptr);
        configure(assistant.get(), {{"model", CMVariant("")}});
        Reply noModel = send(assistant.get(), "x");
        EXPECT_FALSE(noModel.hasMessage);
        EXPECT_EQ(noModel.error, expected("Model is empty@", "", noModelSuffix, translated));

        configure(assistant.get(), {{"model", CMVariant("m")}});
        for (size_t i = 0; i < std::size(kChatProbes); ++i) {
            const Probe& probe = kChatProbes[i];
            server.reply("POST", pathOf(p.chatTarget), probe.status, probe.body);
            Reply reply = send(assistant.get(), "x");
            EXPECT_FALSE(reply.hasMessage) << probe.body;
            EXPECT_EQ(reply.error,
                      expected(i < 2 ? p.chatErrors[i] : probe.shared, probe.body, suffix, translated))
                << probe.status << " " << probe.body;
        }
    }
    QAIRegisterCallback(nullptr);
    EXPECT_EQ(server.requestCount(), 2 * std::size(kChatProbes));

    // Nothing listening: the transport's own text, without a suffix.
    configure(assistant.get(),
              {{"api_host", CMVariant("http://127.0.0.1:" + std::to_string(qai::test::unusedLocalPort()))}});
    Reply refused = send(assistant.get(), "x");
    EXPECT_NE(refused.error, "");
    EXPECT_EQ(refused.error.find(": p"), std::string::npos) << refused.error;
    EXPECT_TRUE(memory.records.empty());
}

TEST_P(Providers, ModelListInTheProvidersOrderAndFormWithItsFailures) {
    const Provider& p = GetParam();
    TestServer server;
    AssistantPtr assistant = createAssistant(p.type, server.url(), kKey);
    if (p.modelsTarget.empty()) {
        EXPECT_EQ(assistant->obtainAvailableModels(), (std::pair<std::vector<std::string>, std::string>{}));
        EXPECT_EQ(server.requestCount(), 0u);
        return;
    }
    server.reply("GET", pathOf(p.modelsTarget), 200, p.modelsReply);
    EXPECT_EQ(assistant->obtainAvailableModels(), std::make_pair(p.models, std::string()));
    const auto request = server.lastRequest();
    EXPECT_EQ(request.method + " " + request.target, "GET " + p.modelsTarget);
    expectCredentials(p, request);

    for (size_t i = 0; i < std::size(kModelProbes); ++i) {
        const auto& [status, body] = kModelProbes[i];
        server.reply("GET", pathOf(p.modelsTarget), status, body);
        auto [models, error] = assistant->obtainAvailableModels();
        EXPECT_TRUE(models.empty()) << body;
        EXPECT_EQ(error, expected(p.modelErrors[i], body, ": g" + pathOf(p.modelsTarget)))
            << status << " " << body;
    }
}

TEST_P(Providers, DefaultHostAndTemperatureRangeAfterUpdate) {
    const Provider& p = GetParam();
    AssistantPtr assistant = createAssistant(p.type, "");
    EXPECT_EQ(assistant->obtainDefaultHost(), p.defaultHost);
    EXPECT_EQ(readProperty(assistant.get(), "api_host").stringValue(),
              std::string("https://") + p.defaultHost);
    for (size_t i = 0; i < std::size(kTemperatures); ++i) {
        configure(assistant.get(), {{"temperature", CMVariant(kTemperatures[i])}});
        EXPECT_DOUBLE_EQ(readProperty(assistant.get(), "temperature").doubleValue(), p.temperatures[i])
            << kTemperatures[i];
    }
}

INSTANTIATE_TEST_SUITE_P(All, Providers, testing::ValuesIn(providers()),
                         [](const testing::TestParamInfo<Provider>& row) { return row.param.name; });
