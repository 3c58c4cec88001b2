#pragma once
// An in-process HTTP/HTTPS server on 127.0.0.1 for provider and transport
// tests: canned replies per method and path, and a record of what arrived.
//
//   qai::test::TestServer server;                       // or TestServer(TestServer::Mode::Tls)
//   server.reply("POST", "/v1/chat/completions", 200, R"({"id":"x"})");
//   ... point the client at server.url(), with caFile = server.caFile() for TLS ...
//   EXPECT_EQ(server.lastRequest().header("Authorization"), "Bearer k");
//   EXPECT_EQ(server.connectionCount(), 1u);
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace qai::test {

using NameValues = std::vector<std::pair<std::string, std::string>>;

/// One request as the server received it.
struct ReceivedRequest {
    std::string method;
    std::string path;        ///< decoded path without the query
    std::string target;      ///< request target as sent, query included
    std::string rawQuery;    ///< text after '?', still percent-encoded
    NameValues queryParams;  ///< decoded, ordered by name
    NameValues headers;
    std::string body;

    /// First value of a header (name compared case-insensitively); "" when absent.
    std::string header(std::string_view name) const;
    size_t headerCount(std::string_view name) const;
    bool hasHeader(std::string_view name) const { return headerCount(name) > 0; }
    /// First decoded value of a query parameter; "" when absent.
    std::string queryParam(std::string_view name) const;
};

/// One piece of a reply sent in pieces: sent after waiting delay.
struct ReplyPiece {
    std::chrono::milliseconds delay{0};
    std::string text;
};

/// What the server answers for one route.
struct CannedReply {
    CannedReply() = default;
    CannedReply(int replyStatus, std::string replyBody) : status(replyStatus), body(std::move(replyBody)) {}
    int status = 200;
    std::string body;
    NameValues headers;
    /// Wait this long before answering (ends early when the server stops).
    std::chrono::milliseconds delay{0};
    /// Announce the full body length but close the connection after this many bytes.
    std::optional<size_t> dropAfterBytes;
    /// Send the body in chunks, without announcing its length (no drop then).
    bool chunked = false;
    std::string contentType = "application/json";
    /// When not empty: the body instead, each piece one chunk after its delay.
    std::vector<ReplyPiece> pieces;
    /// With pieces: close the connection after the last one, without the final chunk.
    bool cutBeforeEnd = false;
};

class TestServer {
public:
    /// TlsForOtherName: HTTPS with a certificate that caFile() makes trusted
    /// but that is issued for another host name than 127.0.0.1.
    enum class Mode { Plain, Tls, TlsForOtherName };

    /// Starts listening on an ephemeral port and returns once it accepts connections.
    explicit TestServer(Mode mode = Mode::Plain);
    /// Stops the server, ends its open keep-alive connections and joins its thread.
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    /// Standing reply for method (GET or POST) and path (without query).
    void reply(const std::string& method, const std::string& path, int status, std::string body) {
        reply(method, path, CannedReply(status, std::move(body)));
    }
    void reply(const std::string& method, const std::string& path, CannedReply reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        routes_[{method, path}] = std::move(reply);
    }
    /// One-shot reply, used (in order) before the standing reply of the route.
    void replyOnce(const std::string& method, const std::string& path, CannedReply reply) {
        std::lock_guard<std::mutex> lock(mutex_);
        onceRoutes_[{method, path}].push_back(std::move(reply));
    }

    /// The latest request; a default value when none arrived.
    ReceivedRequest lastRequest() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.empty() ? ReceivedRequest() : received_.back();
    }
    /// Every request since the last clearRequests, in arrival order.
    std::vector<ReceivedRequest> requests() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    size_t requestCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.size();
    }
    /// Forgets the recorded requests and connections.
    void clearRequests() {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.clear();
        remotePorts_.clear();
    }
    /// Keeps only the latest count requests from now on (load runs: the
    /// record would otherwise grow with every request); connections are
    /// still all counted.
    void keepOnlyLatest(size_t count) {
        std::lock_guard<std::mutex> lock(mutex_);
        keepLatest_ = count;
    }
    /// Distinct client connections that carried at least one request.
    size_t connectionCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return remotePorts_.size();
    }

    /// "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
    std::string url() const;
    /// PEM certificate a TLS client must trust ("" for a plain server).
    std::string caFile() const;

private:
    void handle(const httplib::Request& request, httplib::Response& response);

    Mode mode_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    std::atomic<bool> stopping_{false};

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, CannedReply> routes_;
    std::map<std::pair<std::string, std::string>, std::vector<CannedReply>> onceRoutes_;
    std::vector<ReceivedRequest> received_;
    size_t keepLatest_ = SIZE_MAX;
    std::set<int> remotePorts_;
};

/// Contents of a file below the fixtures directory; throws when it cannot be read.
std::string readFixture(const std::string& relativePath);

/// A local port with nothing listening on it (bound, then released).
int unusedLocalPort();

}  // namespace qai::test
