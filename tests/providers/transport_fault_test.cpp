// Faults of the connection or the server, one table, for one provider of each
// protocol family and both operations: each ends in a clear text, in time,
// with the conversation memory as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "provider_fixture.h"
#include "raw_server.h"

using namespace qai_test;
using qai::test::RawConnection;
using qai::test::rawHead;
using qai::test::TestServer;

namespace {

constexpr long kStallSeconds = 1;
constexpr int64_t kMaxBytes = 1000;
const std::string kBig(2000, 'x');

struct Fault {
    const char* name;
    /// What the raw peer does; null for the TLS rows, which use tls instead.
    std::function<void(RawConnection&)> script;
    std::optional<TestServer::Mode> tls;
    /// Start of the error text.
    std::string expected;
    long stallSeconds = kStallSeconds;
    long requestSeconds = 20;
    long connectSeconds = 5;
    /// Speak https to the raw peer (which never answers the handshake).
    bool httpsToRaw = false;

    /// The shortest limit: every fault ends within it plus a loose margin.
    long shortestLimit() const {
        long shortest = connectSeconds;
        for (const long limit : {stallSeconds, requestSeconds})
            if (limit > 0) shortest = std::min(shortest, limit);
        return shortest;
    }
};

void quiet(RawConnection& peer) {
    peer.readRequest();
    peer.stayQuiet();
}

std::vector<Fault> faults(int otherPort) {
    const std::string other = "http://127.0.0.1:" + std::to_string(otherPort) + "/v1/models";
    return {
        {"accepts and never answers",
         quiet,
         {},
         "Request to 127.0.0.1 stalled: nothing received for 1 second"},
        {"accepts and never answers, no stall limit",
         quiet,
         {},
         "Request to 127.0.0.1 timed out after 1 second",
         0,
         1},
        {"accepts and never starts TLS",
         quiet,
         {},
         "Connection to 127.0.0.1 port ",
         kStallSeconds,
         20,
         1,
         true},
        {"closes inside the headers",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.send("HTTP/1.1 200 OK\r\nContent-Type: appl");
         },
         {},
         "The reply from 127.0.0.1 ended early: the connection closed inside the headers"},
        {"closes inside the body",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.send(rawHead(200, "Content-Length: 100\r\n") + R"({"data":[)");
         },
         {},
         "The reply from 127.0.0.1 ended early: "},
        {"closes inside a chunk",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.send(rawHead(200, "Transfer-Encoding: chunked\r\n") + "40\r\n{\"data\":[");
         },
         {},
         "The reply from 127.0.0.1 ended early: "},
        {"too large, length announced",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.send(rawHead(200, "Content-Length: 2000\r\n") + kBig);
         },
         {},
         "Response from 127.0.0.1 exceeded 1000 bytes"},
        {"too large, no length",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.send(rawHead(200, "Connection: close\r\n") + kBig);
         },
         {},
         "Response from 127.0.0.1 exceeded 1000 bytes"},
        {"redirect to another port",
         [other](RawConnection& peer) {
             peer.readRequest();
             peer.send(rawHead(302, "Location: " + other + "\r\nContent-Length: 0\r\n"));
         },
         {},
         "HTTP 302 Found (redirects are not followed)"},
        {"untrusted certificate", nullptr, TestServer::Mode::Tls,
         "The TLS certificate of 127.0.0.1 could not be verified: "},
        {"certificate for another name", nullptr, TestServer::Mode::TlsForOtherName,
         "The TLS certificate of 127.0.0.1 could not be verified: "},
    };
}

struct Provider {
    const char* name;
    QAIAssistantType type;
};
const Provider kProviders[] = {{"OpenAI", QAIAssistantType_OPENAI},
                               {"Anthropic", QAIAssistantType_ANTHROPIC},
                               {"Google", QAIAssistantType_GOOGLE},
                               {"Ollama", QAIAssistantType_OLLAMA}};

struct SettingsScope {
    explicit SettingsScope(const CMRestGlobalSettings& settings) { QAISetHTTPSettings(settings); }
    ~SettingsScope() { QAISetHTTPSettings(CMRestGlobalSettings{}); }
};

class TransportFaults : public ::testing::TestWithParam<Provider> {};

TEST_P(TransportFaults, EndInAClearTextInTimeWithTheMemoryUnchanged) {
    qai::test::RawServer elsewhere([](RawConnection&) {});  // a redirect's target: never reached
    for (const Fault& fault : faults(elsewhere.port())) {
        std::optional<qai::test::RawServer> raw;
        std::optional<TestServer> tls;
        std::string host;
        CMRestGlobalSettings settings;
        settings.connectTimeoutSeconds = fault.connectSeconds;
        settings.requestTimeoutSeconds = fault.requestSeconds;
        settings.stallTimeoutSeconds = fault.stallSeconds;
        settings.maxResponseBytes = kMaxBytes;
        if (fault.tls) {
            tls.emplace(*fault.tls);
            host = tls->url();
            if (*fault.tls == TestServer::Mode::TlsForOtherName) settings.caFile = tls->caFile();
        } else {
            raw.emplace(fault.script);
            host = fault.httpsToRaw ? "https" + raw->url().substr(4) : raw->url();
        }
        SettingsScope scope(settings);
        HostMemory memory;
        memory.records = {{0, "earlier"}, {1, "answer"}};
        AssistantPtr assistant = createAssistant(GetParam().type, host, "sk-fault-key", &memory);
        configure(assistant.get(), {{"model", CMVariant("m")}});

        for (const bool message : {false, true}) {
            SCOPED_TRACE(std::string(fault.name) + (message ? ", addMessage" : ", obtainAvailableModels"));
            const auto start = std::chrono::steady_clock::now();
            std::string error;
            if (message) {
                const Reply reply = send(assistant.get(), "hi");
                EXPECT_FALSE(reply.hasMessage);
                error = reply.error;
            } else {
                auto [models, text] = assistant->obtainAvailableModels();
                EXPECT_TRUE(models.empty());
                error = text;
            }
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_EQ(error.substr(0, fault.expected.size()), fault.expected) << error;
            EXPECT_LT(elapsed, static_cast<double>(fault.shortestLimit()) + 3.0);
            EXPECT_EQ(memory.history(), "0:earlier|1:answer|");
        }
        assistant.reset();
    }
    EXPECT_EQ(elsewhere.connectionCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Families, TransportFaults, ::testing::ValuesIn(kProviders),
                         [](const testing::TestParamInfo<Provider>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
