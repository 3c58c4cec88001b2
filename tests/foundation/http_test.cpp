#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "cf/CFAppFactory.h"
#include "cf/CFText.h"
#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "test_server.h"

namespace {

using qai::test::CannedReply;
using qai::test::TestServer;
using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Outcome {
    int32_t code = 0;
    std::unique_ptr<CMRestResourceResponse> response;
    std::string domain;
    std::string message;
};

/// One assistant's worth of transport: settings, a pool and a session on it.
struct Client {
    CMRestGlobalSettings settings;
    std::unique_ptr<ICSHTTPPoolCenter> pool{cfCreateHTTPPoolCenter()};
    CMRestSession session;

    explicit Client(const TestServer* server = nullptr, bool usePool = true) {
        settings.connectTimeoutSeconds = 2;
        settings.requestTimeoutSeconds = 2;
        settings.stallTimeoutSeconds = 2;
        if (server != nullptr) settings.caFile = server->caFile();
        if (usePool) session.setPoolCenter(pool.get());
    }

    Outcome get(const std::string& url, const CMRestParams& query = {}, const CMRestParams& headers = {},
                uint64_t tag = kCMRestRequestTag) {
        CMRestGetRequest request;
        request.tag = tag;
        request.setURL(url);
        request.addQueryParams(query);
        request.addHeaderParams(headers);
        return run([&](ICSRestExecutor* executor, CMRestResourceResponse** response) {
            return executor->executeGet(&request, response);
        });
    }

    Outcome post(const std::string& url, const std::optional<std::string>& json,
                 const CMRestParams& headers = {}) {
        CMRestPostRequest request;
        request.tag = kCMRestRequestTag;
        request.setURL(url);
        std::optional<COJson> body;
        if (json) body.emplace(*json);
        request.updateJson(body ? &*body : nullptr);
        request.addHeaderParams(headers);
        return run([&](ICSRestExecutor* executor, CMRestResourceResponse** response) {
            return executor->executePost(&request, response);
        });
    }

    template <class Call>
    Outcome run(Call call) {
        ICSAppFactory* factory = CF::obtainAppFactory();
        std::unique_ptr<ICSRestExecutor> executor(
            factory->obtainRestService()->createExecutor(factory, &settings, &session));
        CMRestResourceResponse* response = nullptr;
        Outcome outcome;
        outcome.code = call(executor.get(), &response);
        outcome.response.reset(response);
        if (outcome.code != 0) {
            CMErrorRecord record;
            factory->obtainErrorService()->obtainErrorDescriber()->describe(outcome.code, record);
            outcome.domain = record.domain;
            outcome.message = record.message;
        }
        return outcome;
    }
};

class HttpExchangeTest : public ::testing::TestWithParam<TestServer::Mode> {};

TEST_P(HttpExchangeTest, GetAndPostDeliverWhatWasAsked) {
    TestServer server(GetParam());
    server.reply("GET", "/v1/models", 200, R"({"data":[{"id":"m1"}]})");
    server.reply("POST", "/v1/chat/completions", 200, R"({"id":"c1"})");
    Client client(&server);
    client.session.setAuthorizationHeaderValue("Bearer sk-test-key");
    client.session.addHeaderParam("x-fixed", "fixed-value");

    Outcome got = client.get(server.url() + "/v1/models", {{"q", "a b&c=d"}, {"name", "caf\xC3\xA9/?"}},
                             {{"x-per-request", "one"}});
    ASSERT_EQ(got.code, 0) << got.message;
    ASSERT_TRUE(got.response);
    EXPECT_EQ(got.response->obtainHTTPStatus(), 200);
    EXPECT_EQ(got.response->getBufferString(), R"({"data":[{"id":"m1"}]})");
    ASSERT_NE(got.response->obtainJson(), nullptr);
    EXPECT_TRUE(got.response->obtainJson()->getIsValidJson());

    qai::test::ReceivedRequest seen = server.lastRequest();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.path, "/v1/models");
    EXPECT_EQ(seen.rawQuery, "q=a%20b%26c%3Dd&name=caf%C3%A9%2F%3F");
    EXPECT_EQ(seen.queryParam("q"), "a b&c=d");
    EXPECT_EQ(seen.header("Authorization"), "Bearer sk-test-key");
    EXPECT_EQ(seen.header("x-fixed"), "fixed-value");
    EXPECT_EQ(seen.header("x-per-request"), "one");
    EXPECT_EQ(seen.header("Accept"), "application/json");
    EXPECT_EQ(seen.header("User-Agent"), "libqai/1.0");
    EXPECT_TRUE(seen.body.empty());

    // A URL that already has a query gets the parameters appended with '&'.
    ASSERT_EQ(client.get(server.url() + "/v1/models?fixed=1", {{"key", "k"}}).code, 0);
    EXPECT_EQ(server.lastRequest().rawQuery, "fixed=1&key=k");

    Outcome posted = client.post(server.url() + "/v1/chat/completions", R"({"model":"m","n":1})");
    ASSERT_EQ(posted.code, 0) << posted.message;
    EXPECT_EQ(posted.response->getBufferString(), R"({"id":"c1"})");
    seen = server.lastRequest();
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.body, R"({"model":"m","n":1})");
    EXPECT_EQ(seen.header("Content-Type"), "application/json");
    EXPECT_EQ(seen.header("Authorization"), "Bearer sk-test-key");
    EXPECT_EQ(seen.header("x-fixed"), "fixed-value");
    EXPECT_FALSE(seen.hasHeader("x-per-request"));  // per-request headers stay with their request
    EXPECT_FALSE(seen.hasHeader("Expect"));

    // No body: nothing sent and no form content type claimed.
    ASSERT_EQ(client.post(server.url() + "/v1/chat/completions", std::nullopt).code, 0);
    seen = server.lastRequest();
    EXPECT_TRUE(seen.body.empty());
    EXPECT_FALSE(seen.hasHeader("Content-Type"));
}

TEST_P(HttpExchangeTest, OnePoolKeepsOneConnectionForConsecutiveRequests) {
    TestServer server(GetParam());
    server.reply("GET", "/ok", 200, "{}");
    server.reply("GET", "/denied", 401, R"({"error":"no"})");
    {
        Client pooled(&server);
        for (int i = 0; i < 10; ++i) {
            // An error reply does not cost the connection either.
            Outcome outcome = pooled.get(server.url() + (i == 4 ? "/denied" : "/ok"));
            ASSERT_EQ(outcome.code != 0, i == 4) << outcome.message;
        }
        EXPECT_EQ(server.requestCount(), 10u);
        EXPECT_EQ(server.connectionCount(), 1u);
    }
    server.clearRequests();
    Client unpooled(&server, /*usePool=*/false);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(unpooled.get(server.url() + "/ok").code, 0);
    EXPECT_EQ(server.connectionCount(), 3u);
}

std::string modeName(const ::testing::TestParamInfo<TestServer::Mode>& mode) {
    return mode.param == TestServer::Mode::Tls ? "Tls" : "Plain";
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, HttpExchangeTest,
                         ::testing::Values(TestServer::Mode::Plain, TestServer::Mode::Tls), modeName);

TEST(HttpTest, ErrorStatusesHandOverTheResponseWithTheirReason) {
    TestServer server;
    struct Case {
        int status;
        std::string body;
        std::string message;
    };
    const Case cases[] = {
        {401, R"({"error":{"message":"Incorrect API key"}})", "HTTP 401 Unauthorized"},
        {404, R"({"error":"model not found"})", "HTTP 404 Not Found"},
        {429, R"({"error":"slow down"})", "HTTP 429 Too Many Requests"},
        {500, "upstream broke", "HTTP 500 Internal Server Error"},
        {599, "", "HTTP 599"},
    };
    Client client(&server);
    client.session.setAuthorizationHeaderValue("Bearer sk-secret-value");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        server.reply("POST", "/chat", c.status, c.body);
        Outcome outcome = client.post(server.url() + "/chat", "{}");
        EXPECT_NE(outcome.code, 0);
        EXPECT_EQ(outcome.domain, "http");
        EXPECT_EQ(outcome.message, c.message);
        ASSERT_TRUE(outcome.response);
        EXPECT_EQ(outcome.response->obtainHTTPStatus(), c.status);
        EXPECT_EQ(outcome.response->getBufferString(), c.body);
        EXPECT_EQ(outcome.response->obtainJson() == nullptr, c.body.empty());
    }
    // An unknown route answers with the server's JSON 404.
    Outcome missing = client.get(server.url() + "/nowhere");
    EXPECT_EQ(missing.message, "HTTP 404 Not Found");
    ASSERT_TRUE(missing.response && missing.response->obtainJson());
    EXPECT_TRUE(missing.response->obtainJson()->getIsValidJson());
}

TEST(HttpTest, RedirectsAreErrorsAndNotFollowed) {
    TestServer server;
    CannedReply redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", "/elsewhere"}};
    server.reply("GET", "/start", redirect);
    server.reply("GET", "/elsewhere", 200, "{}");
    Client client(&server);
    client.session.setAuthorizationHeaderValue("Bearer sk-must-not-travel");

    Outcome outcome = client.get(server.url() + "/start");
    EXPECT_NE(outcome.code, 0);
    EXPECT_THAT(outcome.message, StartsWith("HTTP 302 Found"));
    ASSERT_TRUE(outcome.response);
    EXPECT_EQ(outcome.response->obtainHTTPStatus(), 302);
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(HttpTest, TransportFailuresAreWordedPlainly) {
    const std::string secret = "sk-very-secret-key";
    {
        const int port = qai::test::unusedLocalPort();
        Client client;
        client.session.setAuthorizationHeaderValue("Bearer " + secret);
        Outcome outcome = client.get("http://127.0.0.1:" + std::to_string(port) + "/v1/models");
        EXPECT_NE(outcome.code, 0);
        EXPECT_FALSE(outcome.response);
        EXPECT_EQ(outcome.domain, "transport");
        EXPECT_EQ(outcome.message,
                  "Could not connect to 127.0.0.1 port " + std::to_string(port) + ": connection refused");
    }
    {
        TestServer server(TestServer::Mode::Tls);
        server.reply("GET", "/", 200, "{}");
        Client client;  // trusts only the system store
        Outcome outcome = client.get(server.url() + "/", {{"key", secret}});
        EXPECT_NE(outcome.code, 0);
        EXPECT_THAT(outcome.message, StartsWith("The TLS certificate of 127.0.0.1 could not be verified: "));
        EXPECT_THAT(outcome.message, HasSubstr("certificate"));
        EXPECT_THAT(outcome.message, ::testing::Not(HasSubstr(secret)));
        EXPECT_EQ(server.requestCount(), 0u);

        client.settings.verifyTLS = false;
        EXPECT_EQ(client.get(server.url() + "/").code, 0);
    }
    {
        TestServer server;
        const std::string big(1000, 'x');
        server.reply("GET", "/big", 200, big);
        CannedReply chunked;
        chunked.body = big;
        chunked.chunked = true;
        server.reply("GET", "/chunked", chunked);
        CannedReply cut;
        cut.body = big;
        cut.dropAfterBytes = 100;
        server.reply("GET", "/cut", cut);
        Client client(&server);
        client.settings.maxResponseBytes = 999;
        for (const char* path : {"/big", "/chunked"}) {
            Outcome outcome = client.get(server.url() + path);
            EXPECT_FALSE(outcome.response) << path;
            EXPECT_EQ(outcome.message, "Response from 127.0.0.1 exceeded 999 bytes") << path;
        }
        client.settings.maxResponseBytes = 1000;
        EXPECT_EQ(client.get(server.url() + "/chunked").code, 0);

        Outcome outcome = client.get(server.url() + "/cut");
        EXPECT_FALSE(outcome.response);
        EXPECT_THAT(outcome.message, StartsWith("The reply from 127.0.0.1 ended early"));
        // The pool recovers from a broken connection.
        EXPECT_EQ(client.get(server.url() + "/big").code, 0);
    }
    {
        Client client;
        Outcome outcome = client.get("ftp://127.0.0.1/file");
        EXPECT_EQ(outcome.message, "Unsupported URL scheme for 127.0.0.1: only http and https are allowed");
        EXPECT_EQ(client.get("http://127.0.0.1/a b\r\n").message, "Invalid URL");
        EXPECT_EQ(client.get("").message, "Invalid URL");
    }
}

TEST(HttpTest, TimeLimitsEndRequestsWithTheLimitInTheText) {
    {
        TestServer server;
        CannedReply slow;
        slow.delay = std::chrono::milliseconds(2500);
        slow.body = "{}";
        server.reply("POST", "/slow", slow);
        Client client(&server);
        client.settings.requestTimeoutSeconds = 1;
        Outcome outcome = client.post(server.url() + "/slow", "{}");
        EXPECT_FALSE(outcome.response);
        EXPECT_EQ(outcome.message, "Request to 127.0.0.1 timed out after 1 second");
    }
    {
        TestServer server;
        CannedReply silent;
        silent.delay = std::chrono::milliseconds(2500);
        server.reply("GET", "/silent", silent);
        Client client(&server);
        client.settings.stallTimeoutSeconds = 1;
        client.settings.requestTimeoutSeconds = 2;
        EXPECT_EQ(client.get(server.url() + "/silent").message,
                  "Request to 127.0.0.1 stalled: nothing received for 1 second");
    }
    {
        qai::test::StalledListener stalled;
        Client client;
        client.settings.connectTimeoutSeconds = 1;
        EXPECT_EQ(
            client.get("http://127.0.0.1:" + std::to_string(stalled.port()) + "/").message,
            "Connection to 127.0.0.1 port " + std::to_string(stalled.port()) + " timed out after 1 second");
    }
}

TEST(HttpTest, ProxyComesFromTheSettingsOnly) {
    TestServer server;
    server.reply("GET", "/", 200, "{}");
    const std::string deadProxy = "http://127.0.0.1:" + std::to_string(qai::test::unusedLocalPort());
    // The environment's proxy variables are not read.
    ::setenv("http_proxy", deadProxy.c_str(), 1);
    ::setenv("ALL_PROXY", deadProxy.c_str(), 1);
    Client client(&server);
    client.settings.noProxy.clear();
    Outcome direct = client.get(server.url() + "/");
    ::unsetenv("http_proxy");
    ::unsetenv("ALL_PROXY");
    EXPECT_EQ(direct.code, 0) << direct.message;

    client.settings.proxy = deadProxy;
    EXPECT_EQ(client.get(server.url() + "/").message, "Could not connect to the proxy 127.0.0.1 port " +
                                                          deadProxy.substr(deadProxy.rfind(':') + 1) +
                                                          ": connection refused");
    for (const char* bypass : {"127.0.0.1", "example.com, 127.0.0.1", "*"}) {
        client.settings.noProxy = bypass;
        EXPECT_EQ(client.get(server.url() + "/").code, 0) << bypass;
    }
}

TEST(HttpTest, LineBreaksNeverStartANewHeader) {
    TestServer server;
    server.reply("GET", "/", 200, "{}");
    Client client(&server);
    client.session.setAuthorizationHeaderValue("Bearer k\r\nX-Evil: 1");
    client.session.addHeaderParam("x-fixed", "v\nX-Evil-Two: 2");
    client.session.addHeaderParam("x-name\r\nX-Evil-Three", "3");
    Outcome outcome =
        client.get(server.url() + "/", {{"q", "a\r\nX-Evil-Four: 4"}}, {{"x-req", "r\r\n\r\nbody"}});
    ASSERT_EQ(outcome.code, 0) << outcome.message;

    const qai::test::ReceivedRequest seen = server.lastRequest();
    for (const auto& [name, value] : seen.headers) {
        EXPECT_THAT(name, ::testing::Not(StartsWith("X-Evil"))) << name << ": " << value;
    }
    EXPECT_EQ(seen.header("Authorization"), "Bearer kX-Evil: 1");
    EXPECT_EQ(seen.header("x-fixed"), "vX-Evil-Two: 2");
    EXPECT_EQ(seen.header("x-req"), "rbody");
    EXPECT_EQ(seen.header("x-nameX-Evil-Three"), "3");
    EXPECT_EQ(seen.queryParam("q"), "a\r\nX-Evil-Four: 4");
    EXPECT_TRUE(seen.body.empty());
}

TEST(HttpTest, ProgrammingErrorsAreRefusedBeforeAnythingIsSent) {
    TestServer server;
    Client client(&server);
    Outcome untagged = client.get(server.url() + "/", {}, {}, /*tag=*/0);
    EXPECT_NE(untagged.code, 0);
    EXPECT_FALSE(untagged.response);
    EXPECT_EQ(untagged.domain, "request");
    EXPECT_THAT(untagged.message, HasSubstr("programming error"));

    Outcome noResponseSlot = client.run([&](ICSRestExecutor* executor, CMRestResourceResponse**) {
        CMRestGetRequest request;
        request.tag = kCMRestRequestTag;
        request.setURL(server.url() + "/");
        return executor->executeGet(&request, nullptr);
    });
    EXPECT_THAT(noResponseSlot.message, HasSubstr("programming error"));
    EXPECT_EQ(server.requestCount(), 0u);

    CMErrorRecord record;
    CF::obtainAppFactory()->obtainErrorService()->obtainErrorDescriber()->describe(-7, record);
    EXPECT_EQ(record.message, "Request failed (code -7)");
}

TEST(AppFactoryTest, DateTimeConverterAddsTheOffset) {
    std::unique_ptr<ICSDateTimeConverter> converter(
        CF::obtainAppFactory()->obtainDateTimeService()->createDateTimeConverter());
    std::unique_ptr<CODateTime> date(
        CODateTime::dateTimeFromString("2024-03-01T12:00:00", "%Y-%m-%dT%H:%M:%S"));
    ASSERT_TRUE(date);
    EXPECT_EQ(converter->obtainSeconds(date.get(), 0), 1709294400);
    EXPECT_EQ(converter->obtainSeconds(date.get(), -3600), 1709294400 - 3600);
    EXPECT_EQ(converter->obtainSeconds(nullptr, 5), 0);
}

}  // namespace
