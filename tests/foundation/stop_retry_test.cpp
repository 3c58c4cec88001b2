// Stop and retries at the transport: a Stop before a request sends nothing
// and arming forgets it (the moments of a running request are tested through
// the assistants); retries follow the policy and wait as the server asks.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "raw_server.h"
#include "rest_client.h"
#include "test_server.h"

namespace {

using qai::test::CannedReply;
using qai::test::RawConnection;
using qai::test::TestServer;
using qai_test::Client;
using qai_test::Outcome;
using Clock = std::chrono::steady_clock;

constexpr const char* kCancelled = "cancelled: Request cancelled";

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/// A reply with one header.
CannedReply replyWith(int status, const std::string& name, const std::string& value) {
    CannedReply reply(status, "{}");
    reply.headers = {{name, value}};
    return reply;
}

/// Retry-After as an HTTP date this many seconds from now.
std::string httpDate(int fromNow) {
    const std::time_t when = std::time(nullptr) + fromNow;
    std::tm parts{};
#if defined(_WIN32)
    gmtime_s(&parts, &when);
#else
    gmtime_r(&when, &parts);
#endif
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
    return text;
}

struct RetryCase {
    const char* name;
    std::vector<CannedReply> replies;  // one-shot replies in order; then a standing 200
    int maxRetries;
    size_t requests;  // how many reached the server
    std::string error;
    double atLeast = 0;   // seconds the call took at least
    double atMost = 5.0;  // and at most
    long capSeconds = 60;
};

// Which replies are retried, how often and after how long: the statuses that may pass, never
// another 4xx, the server's wait within the cap, the backoff otherwise, and the default of one.
TEST(RetryTest, RetriesFollowThePolicy) {
    TestServer server;
    server.reply("GET", "/r", 200, R"({"ok":1})");
    const std::vector<RetryCase> cases = {
        {"default: one request", {CannedReply(503, "")}, 0, 1, "http: HTTP 503 Service Unavailable"},
        {"503, 503, 200", {CannedReply(503, ""), CannedReply(503, "")}, 2, 3, "", 0.375 + 0.75},
        {"408, 409, 500 are retried",
         {CannedReply(408, ""), CannedReply(409, ""), CannedReply(500, "")},
         3,
         4,
         "",
         0.375 + 0.75 + 1.5},
        {"400 never", {CannedReply(400, "")}, 2, 1, "http: HTTP 400 Bad Request"},
        {"404 never", {CannedReply(404, "")}, 2, 1, "http: HTTP 404 Not Found"},
        {"retries run out: the last reply",
         {CannedReply(502, "a"), CannedReply(503, "b")},
         1,
         2,
         "http: HTTP 503 Service Unavailable"},
        {"429, Retry-After: 1", {replyWith(429, "Retry-After", "1")}, 2, 2, "", 1.0},
        {"retry-after-ms wins", {replyWith(503, "retry-after-ms", "1200")}, 1, 2, "", 1.2},
        {"Retry-After as a date", {replyWith(503, "Retry-After", "date in 2 s")}, 1, 2, "", 1.0},
        {"beyond the cap: backoff", {replyWith(429, "Retry-After", "30")}, 1, 2, "", 0.3, 2.5, 1},
        {"unreadable: backoff", {replyWith(429, "Retry-After", "soon")}, 1, 2, "", 0.3, 2.5},
    };
    for (const RetryCase& row : cases) {
        SCOPED_TRACE(row.name);
        server.clearRequests();
        for (CannedReply reply : row.replies) {
            // A date is written as the case starts: written earlier, it would have passed.
            for (auto& header : reply.headers)
                if (header.second == "date in 2 s") header.second = httpDate(2);
            server.replyOnce("GET", "/r", reply);
        }
        Client client;
        client.settings.maxRetries = row.maxRetries;
        client.settings.maxRetryAfterSeconds = row.capSeconds;
        const auto start = Clock::now();
        const Outcome outcome = client.get(server.url() + "/r");
        const double elapsed = secondsSince(start);
        EXPECT_EQ(outcome.error, row.error);
        EXPECT_EQ(server.requestCount(), row.requests);
        if (row.error.empty()) {
            EXPECT_EQ(outcome.response->getBufferString(), R"({"ok":1})");
        } else {
            // Only the last attempt's reply is handed back.
            EXPECT_EQ(outcome.response->getBufferString(), row.replies.back().body);
        }
        EXPECT_GE(elapsed, row.atLeast);
        EXPECT_LT(elapsed, row.atLeast + row.atMost);
        // Leftover one-shot replies must not leak into the next case.
        Client drain;
        for (int i = 0; i < 4 && drain.get(server.url() + "/r").error != ""; ++i) {
        }
    }
}

// A connection that fails before any byte of a reply is retried; one that fails after the
// reply began, a time-out and a stall are not.
TEST(RetryTest, ConnectionFailuresOnlyBeforeTheReply) {
    struct Row {
        const char* name;
        qai::test::RawServer::Script script;
        size_t connections;
        std::string error;
    };
    const Row rows[] = {
        {"closes without a byte", [](RawConnection& peer) { peer.readRequest(); }, 3,
         "transport: 127.0.0.1 closed the connection without replying"},
        {"closes inside the headers",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.send("HTTP/1.1 503 Service Unavailable\r\nContent-Ty");
         },
         1, "transport: The reply from 127.0.0.1 ended early: "},
        {"stalls",
         [](RawConnection& peer) {
             peer.readRequest();
             peer.stayQuiet();
         },
         1, "transport: Request to 127.0.0.1 stalled: nothing received for 1 second"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qai::test::RawServer server(row.script);
        Client client;
        client.settings.maxRetries = 2;
        client.settings.stallTimeoutSeconds = 1;
        const Outcome outcome = client.get(server.url() + "/");
        EXPECT_EQ(outcome.error.substr(0, row.error.size()), row.error);
        EXPECT_EQ(server.connectionCount(), row.connections);
    }
    // The whole-request limit is a time-out too.
    TestServer slow;
    CannedReply late(200, "{}");
    late.delay = std::chrono::milliseconds(2500);
    slow.reply("GET", "/slow", late);
    Client client;
    client.settings.maxRetries = 2;
    client.settings.requestTimeoutSeconds = 1;
    EXPECT_EQ(client.get(slow.url() + "/slow").error,
              "transport: Request to 127.0.0.1 timed out after 1 second");
    EXPECT_EQ(slow.requestCount(), 1u);
}

// A Stop before the request starts sends nothing; arming forgets it; Stop on an idle pool and
// on a pool that is not the library's own are harmless.
TEST(StopTest, BeforeTheRequestAndBetweenCalls) {
    TestServer server;
    server.reply("GET", "/ok", 200, "{}");
    Client client;
    client.pool->cancelRequests();
    client.pool->cancelRequests();  // twice: still one state
    EXPECT_EQ(client.get(server.url() + "/ok").error, kCancelled);
    EXPECT_EQ(server.requestCount(), 0u);
    cfArmHTTPPoolCenter(client.pool.get());
    EXPECT_EQ(client.get(server.url() + "/ok").error, "");
    // Several wakeups left over from Stops without a request only shorten waits: the next
    // request still waits for its reply.
    CannedReply late(200, "{}");
    late.delay = std::chrono::milliseconds(300);
    server.reply("GET", "/late", late);
    client.pool->cancelRequests();
    cfArmHTTPPoolCenter(client.pool.get());
    EXPECT_EQ(client.get(server.url() + "/late").error, "");
    cfArmHTTPPoolCenter(nullptr);

    // A session without a pool runs on temporary handles, which no Stop reaches.
    Client unpooled;
    unpooled.session.setPoolCenter(nullptr);
    unpooled.pool->cancelRequests();
    EXPECT_EQ(unpooled.get(server.url() + "/ok").error, "");
}

}  // namespace
