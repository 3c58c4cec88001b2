#pragma once
// An in-process HTTP/HTTPS server on 127.0.0.1 for provider and transport
// tests: canned replies per method and path, and a record of what arrived.
//
//   qai::test::TestServer server;                       // or TestServer(TestServer::Mode::Tls)
//   server.reply("POST", "/v1/chat/completions", 200, R"({"id":"x"})");
//   ... point the client at server.url(), trusting server.caFile() for TLS ...
//   EXPECT_EQ(server.lastRequest().get_header_value("Authorization"), "Bearer k");
//   EXPECT_EQ(server.connectionCount(), 1u);
#include <httplib.h>  // brings the standard headers used here but these two

#include <deque>
#include <optional>

namespace qai::test {

/// One request as the server received it: httplib's own record (headers
/// looked up case-insensitively, query parameters decoded).
using ReceivedRequest = httplib::Request;

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
    std::vector<std::pair<std::string, std::string>> headers;
    /// Wait this long before answering (ends early when the server stops).
    std::chrono::milliseconds delay{0};
    /// Announce the full body length but close the connection after this many bytes.
    std::optional<size_t> dropAfterBytes;
    /// Send the body as one chunk, without announcing its length.
    bool chunked = false;
    std::string contentType = "application/json";
    /// When not empty: the body instead, each piece one chunk after its delay.
    std::vector<ReplyPiece> pieces;
    /// With pieces: close the connection after the last one, without the final chunk.
    bool cutBeforeEnd = false;
};

class TestServer {
    template <typename Action>
    auto locked(Action action) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return action();
    }

public:
    /// Tls: a certificate signed by the test CA (caFile()) for 127.0.0.1;
    /// TlsForOtherName: one from the same CA for another host name.
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
    void reply(const std::string& method, const std::string& path, CannedReply canned) {
        locked([&] { routes_[{method, path}] = std::move(canned); });
    }
    /// One-shot reply, used (in order) before the standing reply of the route.
    void replyOnce(const std::string& method, const std::string& path, CannedReply canned) {
        locked([&] { onceRoutes_[{method, path}].push_back(std::move(canned)); });
    }

    /// The requests since the last clearRequests, in arrival order: the
    /// latest hundred (load runs would otherwise grow the record forever).
    std::vector<ReceivedRequest> requests() const {
        return locked([this] { return std::vector<ReceivedRequest>(received_.begin(), received_.end()); });
    }
    size_t requestCount() const {
        return locked([this] { return received_.size(); });
    }
    /// The latest request; a default value when none arrived.
    ReceivedRequest lastRequest() const {
        return locked([this] { return received_.empty() ? ReceivedRequest() : received_.back(); });
    }
    /// Forgets the recorded requests and connections.
    void clearRequests() {
        locked([this] { received_.clear(), remotePorts_.clear(); });
    }
    /// Distinct client connections that carried at least one request.
    size_t connectionCount() const {
        return locked([this] { return remotePorts_.size(); });
    }

    /// "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
    std::string url() const;
    /// The test CA's certificate, which a TLS client must trust ("" for a plain server).
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
    std::map<std::pair<std::string, std::string>, std::deque<CannedReply>> onceRoutes_;
    std::deque<ReceivedRequest> received_;
    std::set<int> remotePorts_;
};

/// Contents of a file below the fixtures directory; throws when it cannot be read.
std::string readFixture(const std::string& relativePath);

/// A local port with nothing listening on it (bound, then released).
int unusedLocalPort();

}  // namespace qai::test
