// Stop and retries as a host sees them, for one provider of each protocol family and both
// operations: a Stop ends the call with the localized "Request cancelled", the memory as it
// was, and is forgotten by the next call; retries hand the adapter only the last reply.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "provider_fixture.h"
#include "raw_server.h"

using namespace qai_test;
using qai::test::CannedReply;
using qai::test::TestServer;

namespace {

using Clock = std::chrono::steady_clock;

struct Family {
    const char* name;
    QAIAssistantType type;
    const char* chatPath;
    const char* chatReply;
    const char* modelsPath;
    const char* modelsReply;
};

const Family kFamilies[] = {
    {"OpenAI", QAIAssistantType_OPENAI, "/v1/chat/completions",
     R"({"choices":[{"message":{"role":"assistant","content":"ok"}}]})", "/v1/models",
     R"({"data":[{"id":"m1","object":"model","created":1}]})"},
    {"Anthropic", QAIAssistantType_ANTHROPIC, "/v1/messages", R"({"content":[{"type":"text","text":"ok"}]})",
     "/v1/models", R"({"data":[{"id":"m1","type":"model","created_at":"2024-01-01T00:00:00Z"}]})"},
    {"Google", QAIAssistantType_GOOGLE, "/v1beta/models/m:generateContent",
     R"({"candidates":[{"content":{"role":"model","parts":[{"text":"ok"}]}}]})", "/v1beta/models",
     R"({"models":[{"name":"models/m1","supportedGenerationMethods":["generateContent"]}]})"},
    {"Ollama", QAIAssistantType_OLLAMA, "/api/chat", R"({"message":{"role":"assistant","content":"ok"}})",
     "/api/tags", R"({"models":[{"name":"m1"}]})"},
};

struct SettingsScope {
    explicit SettingsScope(const CMRestGlobalSettings& settings) { QAISetHTTPSettings(settings); }
    ~SettingsScope() { QAISetHTTPSettings(CMRestGlobalSettings{}); }
};

/// One call of either operation: its error text ("" on success).
std::string call(IQAIAssistant* assistant, bool message) {
    if (message) return send(assistant, "hi").error;
    return assistant->obtainAvailableModels().second;
}

class StopAndRetry : public ::testing::TestWithParam<Family> {};

TEST_P(StopAndRetry, StopEndsTheCallAndIsForgottenByTheNext) {
    const Family& family = GetParam();
    TestServer server;
    server.reply("POST", family.chatPath, 200, family.chatReply);
    server.reply("GET", family.modelsPath, 200, family.modelsReply);
    CMRestGlobalSettings settings;
    settings.maxRetries = 1;  // a Stop also ends the wait before a retry
    SettingsScope scope(settings);
    HostMemory memory;
    memory.records = {{0, "earlier"}, {1, "answer"}};
    ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
    AssistantPtr assistant(QAICreateAssistant(family.type, pool, "sk-stop-key", server.url(), &memory));
    configure(assistant.get(), {{"model", CMVariant("m")}});

    for (const bool message : {false, true}) {
        for (const bool inRetryWait : {false, true}) {
            SCOPED_TRACE(std::string(message ? "addMessage" : "obtainAvailableModels") +
                         (inRetryWait ? ", in a retry's wait" : ", waiting for the reply"));
            const std::string before = memory.history();
            // A Stop between calls is forgotten.
            pool->cancelRequests();
            EXPECT_EQ(call(assistant.get(), message), "");

            CannedReply held = inRetryWait ? CannedReply(503, "") : CannedReply(200, "{}");
            if (inRetryWait) {
                held.headers = {{"Retry-After", "30"}};
            } else {
                held.delay = std::chrono::seconds(5);
            }
            server.replyOnce(message ? "POST" : "GET", message ? family.chatPath : family.modelsPath, held);
            const std::string afterFirst = memory.history();
            auto running = std::async(std::launch::async, [&] { return call(assistant.get(), message); });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto stop = Clock::now();
            pool->cancelRequests();
            EXPECT_EQ(running.get(), "Request cancelled");  // no operation suffix
            EXPECT_LT(std::chrono::duration<double>(Clock::now() - stop).count(), 2.0);
            EXPECT_EQ(memory.history(), afterFirst);

            // The next call runs as usual.
            EXPECT_EQ(call(assistant.get(), message), "");
            if (!message) {
                EXPECT_EQ(memory.history(), before);
            }
        }
    }
    EXPECT_EQ(memory.history().substr(0, 19), "0:earlier|1:answer|");
    assistant.reset();
}

// A Stop while the TLS handshake hangs, while the reply is awaited and while it trickles in
// ends either operation within moments, with the memory as it was.
TEST_P(StopAndRetry, StopEndsTheCallAtEveryMomentOfTheTransfer) {
    using qai::test::RawConnection;
    const std::string body(2000, ' ');
    struct Moment {
        const char* name;
        qai::test::RawServer::Script script;
        bool https;
    };
    const Moment moments[] = {
        {"a TLS handshake that never completes", [](RawConnection& peer) { peer.stayQuiet(); }, true},
        {"waiting for the reply",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.stayQuiet();
         },
         false},
        {"receiving",
         [&body](RawConnection& peer) {
             peer.readRequest();
             peer.send(qai::test::rawHead(200, "Content-Length: 2000\r\n"));
             peer.trickle(body, std::chrono::milliseconds(10));
         },
         false},
    };
    for (const Moment& moment : moments) {
        qai::test::RawServer raw(moment.script);
        const std::string host = moment.https ? "https" + raw.url().substr(4) : raw.url();
        HostMemory memory;
        memory.records = {{0, "earlier"}, {1, "answer"}};
        ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
        AssistantPtr assistant(QAICreateAssistant(GetParam().type, pool, "sk-stop-key", host, &memory));
        configure(assistant.get(), {{"model", CMVariant("m")}});
        for (const bool message : {false, true}) {
            SCOPED_TRACE(std::string(moment.name) + (message ? ", addMessage" : ", obtainAvailableModels"));
            auto running = std::async(std::launch::async, [&] { return call(assistant.get(), message); });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto stop = Clock::now();
            pool->cancelRequests();
            EXPECT_EQ(running.get(), "Request cancelled");
            EXPECT_LT(std::chrono::duration<double>(Clock::now() - stop).count(), 2.0);
            EXPECT_EQ(memory.history(), "0:earlier|1:answer|");
        }
        assistant.reset();
    }
}

// Only the last attempt's reply reaches the adapter: two 503s with error bodies, then the
// answer; the memory records one exchange. Without the setting a 503 is one request.
TEST_P(StopAndRetry, RetriesHandTheAdapterTheLastReply) {
    const Family& family = GetParam();
    TestServer server;
    server.reply("POST", family.chatPath, 200, family.chatReply);
    const std::string busy = R"({"error":{"message":"overloaded"}})";
    CMRestGlobalSettings settings;
    HostMemory memory;
    AssistantPtr assistant = createAssistant(family.type, server.url(), "k", &memory);
    configure(assistant.get(), {{"model", CMVariant("m")}});

    server.replyOnce("POST", family.chatPath, CannedReply(503, busy));
    EXPECT_NE(send(assistant.get(), "one").error, "");
    EXPECT_EQ(server.requestCount(), 1u);

    settings.maxRetries = 2;
    SettingsScope scope(settings);
    server.clearRequests();
    server.replyOnce("POST", family.chatPath, CannedReply(503, busy));
    server.replyOnce("POST", family.chatPath, CannedReply(503, busy));
    const Reply reply = send(assistant.get(), "two");
    EXPECT_EQ(reply.error, "");
    EXPECT_EQ(reply.text, "ok");
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(memory.history(), "0:two|1:ok|");
}

INSTANTIATE_TEST_SUITE_P(Families, StopAndRetry, ::testing::ValuesIn(kFamilies),
                         [](const testing::TestParamInfo<Family>& row) {
                             return std::string(row.param.name);
                         });

// "Request cancelled" goes through the host's localization like the library's other texts.
TEST(StopText, IsLocalized) {
    QAIRegisterCallback([](const char*, void* data) {
        auto* info = static_cast<QAICallbackLocalizationInfo*>(data);
        if (std::strcmp(info->text, "Request cancelled") == 0)
            std::strncpy(info->localized, "Anfrage abgebrochen", sizeof info->localized - 1);
    });
    TestServer server;
    ICSHTTPPoolCenter* pool = cfCreateHTTPPoolCenter();
    AssistantPtr assistant(QAICreateAssistant(QAIAssistantType_OLLAMA, pool, "", server.url(), nullptr));
    configure(assistant.get(), {{"model", CMVariant("m")}});
    CannedReply held(200, "{}");
    held.delay = std::chrono::seconds(5);
    server.replyOnce("POST", "/api/chat", held);
    auto running = std::async(std::launch::async, [&] { return send(assistant.get(), "hi").error; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pool->cancelRequests();
    EXPECT_EQ(running.get(), "Anfrage abgebrochen");
    QAIRegisterCallback(nullptr);
}

}  // namespace
