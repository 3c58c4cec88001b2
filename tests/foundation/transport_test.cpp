// The transport: what a request sends, how every failure is worded, which ends are retried and
// after how long, and a Stop at every moment of a request. The failures, retries and Stops are
// rows of the tables in tests/fixtures/transport, run against a raw peer (or the test server
// where TLS is needed).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "raw_server.h"
#include "test_server.h"

namespace {

/// One assistant's worth of transport: settings, a pool and a session on it.
struct Client {
    CMRestGlobalSettings settings;
    std::unique_ptr<ICSHTTPPoolCenter> pool{cfCreateHTTPPoolCenter()};
    CMRestSession session;

    explicit Client(const std::string& caFile = "") {
        settings.caFile = caFile;
        session.setPoolCenter(pool.get());
    }
    /// A GET, or a POST of json when given (nullptr posts no body): the response, and the error
    /// as "domain: text" ("" on success).
    std::pair<std::unique_ptr<CMRestResourceResponse>, std::string> run(const std::string& url,
                                                                        std::optional<const char*> json = {},
                                                                        const CMRestParams& query = {},
                                                                        const CMRestParams& headers = {}) {
        CMRestGetRequest get;
        CMRestPostRequest post;
        CMRestRequest& request = json ? static_cast<CMRestRequest&>(post) : get;
        request.tag = kCMRestRequestTag;
        request.setURL(url);
        request.addQueryParams(query);
        request.addHeaderParams(headers);
        const std::unique_ptr<COJson> body(json && *json ? new COJson(*json) : nullptr);
        post.updateJson(body.get());
        ICSAppFactory* factory = CF::obtainAppFactory();
        const std::unique_ptr<ICSRestExecutor> executor(
            factory->obtainRestService()->createExecutor(factory, &settings, &session));
        CMRestResourceResponse* response = nullptr;
        const int32_t code =
            json ? executor->executePost(&post, &response) : executor->executeGet(&get, &response);
        CMErrorRecord record;
        if (code != 0) factory->obtainErrorService()->obtainErrorDescriber()->describe(code, record);
        return {std::unique_ptr<CMRestResourceResponse>(response),
                code ? record.domain + ": " + record.message : ""};
    }
};

/// A raw peer answering its n-th connection with attempts[n], later ones with {"ok":1}. What
/// follows "<trickle>" goes a byte every 200 ms; "<hold>" then holds the connection in silence.
qai::test::RawServer::Script peer(std::vector<std::string> attempts) {
    return [attempts, n = size_t{0}](qai::test::RawConnection& connection) mutable {
        connection.readRequest();
        const std::string text =
            n < attempts.size() ? attempts[n] : "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n{\"ok\":1}";
        ++n;
        const size_t hold = text.rfind("<hold>"), trickle = text.find("<trickle>");
        connection.send(text.substr(0, std::min(hold, trickle)));
        if (trickle != std::string::npos)
            connection.trickle(text.substr(trickle + 9, hold - trickle - 9), std::chrono::milliseconds(200));
        if (hold != std::string::npos) connection.stayQuiet();
    };
}

/// Runs the rows of tests/fixtures/transport/NAME.json; the README there says what a row holds.
void runTransportTable(const std::string& name) {
    using Mode = qai::test::TestServer::Mode;
    const std::map<std::string, Mode> modes = {
        {"plain", Mode::Plain}, {"tls", Mode::Tls}, {"tls for another name", Mode::TlsForOtherName}};
    COJson table(qai::test::readFixture("transport/" + name + ".json"));
    for (int32_t i = 0; i < table.obtainRoot().obtainArraySize(); ++i) {
        const COJsonValue row = table.obtainRoot().obtainArrayItem(i);
        std::string port;
        const auto text = [&row, &port](const char* key, std::string out = "") {  // PORT and DATE expanded
            const std::time_t inTwoSeconds = std::time(nullptr) + 2;
            char date[64];
            std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&inTwoSeconds));
            if (key) out = row.obtainMember(key).obtainString();
            for (size_t at; (at = out.find("PORT")) != std::string::npos;) out.replace(at, 4, port);
            for (size_t at; (at = out.find("DATE")) != std::string::npos;) out.replace(at, 4, date);
            return out;
        };
        const auto number = [&row](const char* key, double otherwise) {
            return row.obtainMember(key) ? row.obtainMember(key).obtainDouble() : otherwise;
        };
        const auto seconds = [&row](const char* key, int64_t otherwise) {  // whole, clamped to a long
            const int64_t value = row.obtainMember(key) ? row.obtainMember(key).obtainInt64() : otherwise;
            return static_cast<long>(std::clamp<int64_t>(value, LONG_MIN, LONG_MAX));
        };
        SCOPED_TRACE(text("name"));
        std::vector<std::string> attempts;
        for (int32_t k = 0; k < row.obtainMember("peer").obtainArraySize(); ++k)
            attempts.push_back(text(nullptr, row.obtainMember("peer").obtainArrayItem(k).obtainString()));
        std::optional<qai::test::RawServer> raw;
        std::optional<qai::test::TestServer> server;
        if (row.obtainMember("peer")) raw.emplace(peer(attempts));
        if (row.obtainMember("server")) server.emplace(modes.at(text("server")));
        port = raw      ? std::to_string(raw->port())
               : server ? server->url().substr(server->url().rfind(':') + 1)
                        : std::to_string(qai::test::unusedLocalPort());
        Client client(text("server") == "tls for another name" ? server->caFile() : "");
        client.session.setAuthorizationHeaderValue("Bearer sk-secret-1");
        client.settings.connectTimeoutSeconds = seconds("connect", 2);
        client.settings.requestTimeoutSeconds = seconds("request", 5);
        client.settings.stallTimeoutSeconds = seconds("stall", 1);
        client.settings.maxResponseBytes = seconds("maxBytes", 1000);
        client.settings.verifyTLS = number("verifyTLS", 1) != 0;
        client.settings.maxRetries = static_cast<int>(seconds("retries", 0));
        client.settings.maxRetryAfterSeconds = seconds("cap", 60);
        std::string url = text("url");
        if (url.empty()) url = (server ? server->url() : "http://127.0.0.1:" + port) + "/v1?key=sk-secret-1";
        if (row.obtainMember("stopBefore")) client.pool->cancelRequests();
        const auto start = std::chrono::steady_clock::now();
        // On this thread unless a Stop must come from another: the texts of one thread's errors
        // must not mix.
        auto running = std::async(row.obtainMember("stopAfter") ? std::launch::async : std::launch::deferred,
                                  [&client, &url] { return client.run(url); });
        if (row.obtainMember("stopAfter")) {
            std::this_thread::sleep_for(std::chrono::duration<double>(number("stopAfter", 0)));
            client.pool->cancelRequests();
        }
        const auto [response, error] = running.get();
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const std::string expected = text("error");
        const bool prefix = !expected.empty() && expected.back() == ' ';  // the rest is libcurl's
        EXPECT_EQ(error.substr(0, prefix ? expected.size() : std::string::npos), expected);
        EXPECT_EQ(error.find("sk-secret"), std::string::npos);
        EXPECT_EQ(response ? response->obtainHTTPStatus() : 0, number("status", expected.empty() ? 200 : 0));
        const std::string body = response && row.obtainMember("body") ? response->getBufferString() : "";
        EXPECT_EQ(body, text("body"));
        EXPECT_EQ(raw ? raw->connectionCount() : 1u, static_cast<size_t>(number("connections", 1)));
        EXPECT_GE(elapsed, number("atLeast", 0));
        EXPECT_LT(elapsed, number("atMost", number("atLeast", 0) + 3));
        if (!row.obtainMember("stopBefore")) continue;
        cfArmHTTPPoolCenter(client.pool.get());  // forgets the Stop
        EXPECT_EQ(client.run(url).second, "");
    }
}

// The factory hands out an installed stand-in service (as tests and fuzzing do) until null
// brings the built-in one back; each installation hands back the service it replaced.
TEST(TransportTest, InstalledServiceStandsInUntilTheBuiltInOneIsRestored) {
    struct StandIn final : ICSRestService {
        ICSRestExecutor* createExecutor(ICSAppFactory*, const CMRestGlobalSettings*,
                                        CMRestSession*) override {
            return nullptr;
        }
    } standIn;
    ICSRestService* const builtIn = CF::obtainAppFactory()->obtainRestService();
    EXPECT_EQ(CF::installRestService(&standIn), nullptr);
    EXPECT_EQ(CF::obtainAppFactory()->obtainRestService(), &standIn);
    EXPECT_EQ(CF::installRestService(nullptr), &standIn);
    EXPECT_EQ(CF::obtainAppFactory()->obtainRestService(), builtIn);
}

using qai::test::TestServer;

class HttpExchangeTest : public ::testing::TestWithParam<TestServer::Mode> {};

// GET and POST over plain HTTP and TLS deliver what was asked, and line breaks in any header part
// never start a new header; ten requests on one pool, an error reply among them, share one
// kept-alive connection.
TEST_P(HttpExchangeTest, GetAndPostDeliverWhatWasAskedOnOneConnection) {
    TestServer server(GetParam());
    server.reply("GET", "/m", 200, R"({"data":[]})");
    server.reply("POST", "/v1/chat", 200, R"({"id":"c1"})");
    Client client(server.caFile());
    client.session.setAuthorizationHeaderValue("Bearer k\r\nX-Evil: 1");
    client.session.addHeaderParam("x-fixed\r\nX-Evil", "v\nX-Evil: 2");

    const auto [response, error] =
        client.run(server.url() + "/m?fixed=1", {}, {{"q", "a b&c=d\r\n"}, {"name", "caf\xC3\xA9/?"}},
                   {{"x-per-request", "r\r\n\r\nbody"}});
    ASSERT_EQ(error, "");
    EXPECT_EQ(response->getBufferString(), R"({"data":[]})");
    qai::test::ReceivedRequest seen = server.lastRequest();
    EXPECT_EQ(seen.method + " " + seen.target, "GET /m?fixed=1&q=a%20b%26c%3Dd%0D%0A&name=caf%C3%A9%2F%3F");
    EXPECT_EQ(seen.header("Authorization") + "|" + seen.header("x-fixedX-Evil") + "|" +
                  seen.header("x-per-request") + "|" + seen.header("Accept") + "|" +
                  seen.header("User-Agent") + "|" + seen.body,
              "Bearer kX-Evil: 1|vX-Evil: 2|rbody|application/json|libqai/1.0|");
    EXPECT_FALSE(seen.hasHeader("X-Evil"));

    ASSERT_EQ(client.run(server.url() + "/v1/chat", R"({"model":"m","n":1})").second, "");
    seen = server.lastRequest();
    EXPECT_EQ(seen.method + " " + seen.body + " " + seen.header("Content-Type"),
              R"(POST {"model":"m","n":1} application/json)");
    EXPECT_FALSE(seen.hasHeader("x-per-request") || seen.hasHeader("Expect"));
    ASSERT_EQ(client.run(server.url() + "/v1/chat", nullptr).second, "");
    EXPECT_FALSE(server.lastRequest().hasHeader("Content-Type"));  // no body, no form type claimed

    for (int i = 0; i < 7; ++i) client.run(server.url() + (i == 3 ? "/nowhere" : "/m"));
    EXPECT_EQ(server.requestCount(), 10u);
    EXPECT_EQ(server.connectionCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, HttpExchangeTest,
                         ::testing::Values(TestServer::Mode::Plain, TestServer::Mode::Tls));

// Every way a request fails has its own plain text, naming the host and never the key, and ends
// within its time limit; an error status hands back the response with its body.
TEST(TransportTest, FailuresAreWordedPlainly) { runTransportTable("failures"); }

// Statuses that may pass and a connection that failed before any reply are retried; another
// 4xx, a reply cut short, a stall or a time-out never are. The server's wait is kept within the
// cap, the backoff otherwise; no more than ten retries, and by default none.
TEST(TransportTest, RetriesFollowThePolicy) { runTransportTable("retries"); }

// A Stop ends a request at once: before it starts (nothing is sent, and arming the pool forgets
// the Stop), during the TLS handshake, waiting for the reply, reading it and waiting to retry.
TEST(TransportTest, StopEndsTheRequestAtEveryMoment) { runTransportTable("stops"); }

}  // namespace
