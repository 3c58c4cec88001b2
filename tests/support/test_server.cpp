#include "test_server.h"

#include <filesystem>


namespace qai::test {
namespace {

using Clock = std::chrono::steady_clock;

// The committed test CA and its leaves (tests/fixtures/tls/README.md says how they were made).
const std::string kTls = std::string(QAI_TEST_FIXTURES) + "/tls/";
constexpr size_t kKeptRequests = 100;

void waitFor(std::chrono::milliseconds delay, const std::atomic<bool>& stopping) {
    for (const auto until = Clock::now() + delay; !stopping && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void sendReply(const CannedReply& reply, const std::atomic<bool>& stopping, httplib::Response& response) {
    waitFor(reply.delay, stopping);
    response.status = reply.status;
    for (const auto& [name, value] : reply.headers) response.set_header(name, value);
    auto body = std::make_shared<std::string>(reply.body);
    if (reply.dropAfterBytes) {
        const size_t keep = std::min(*reply.dropAfterBytes, body->size());
        response.set_content_provider(body->size(), reply.contentType,
                                      [body, keep](size_t offset, size_t length, httplib::DataSink& sink) {
                                          // Returning false closes the connection.
                                          return offset < keep && sink.write(body->data() + offset,
                                                                             std::min(length, keep - offset));
                                      });
    } else if (reply.chunked || !reply.pieces.empty()) {
        auto pieces = std::make_shared<std::deque<ReplyPiece>>(reply.pieces.begin(), reply.pieces.end());
        if (pieces->empty()) pieces->push_back({{}, *body});
        const bool cut = reply.cutBeforeEnd;
        response.set_chunked_content_provider(
            reply.contentType, [pieces, cut, &stopping](size_t, httplib::DataSink& sink) {
                if (pieces->empty()) {
                    if (cut) return false;  // closes the connection without the final chunk
                    sink.done();
                    return true;
                }
                const ReplyPiece piece = pieces->front();
                pieces->pop_front();
                waitFor(piece.delay, stopping);
                return !stopping && (piece.text.empty() || sink.write(piece.text.data(), piece.text.size()));
            });
    } else {
        response.set_content(*body, reply.contentType);
    }
}

}  // namespace

TestServer::TestServer(Mode mode) : mode_(mode) {
    const std::string leaf = kTls + (mode == Mode::TlsForOtherName ? "other" : "localhost");
    if (mode == Mode::Plain) {
        server_ = std::make_unique<httplib::Server>();
    } else {
        server_ = std::make_unique<httplib::SSLServer>((leaf + ".pem").c_str(), (leaf + ".key").c_str());
    }
    if (!server_->is_valid()) throw std::runtime_error("test server could not be set up");
    // A pooled client connection carries any number of requests (load runs
    // send thousands); one idle for the keep-alive time-out (5 s) is closed,
    // which is also the longest the destructor waits for a client that
    // outlives the server. Replies go out in several writes; without
    // TCP_NODELAY, Nagle's algorithm and the client's delayed ACK add 40 ms
    // to each exchange.
    server_->set_keep_alive_max_count(1000000).set_tcp_nodelay(true);
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        handle(request, response);
    };
    server_->Get(".*", handler).Post(".*", handler);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("test server could not bind");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (const auto until = Clock::now() + std::chrono::seconds(5);
         !server_->is_running() && Clock::now() < until;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TestServer::~TestServer() {
    stopping_ = true;
    server_->stop();
    thread_.join();
}

std::string TestServer::url() const {
    return (mode_ == Mode::Plain ? "http://127.0.0.1:" : "https://127.0.0.1:") + std::to_string(port_);
}

std::string TestServer::caFile() const { return mode_ == Mode::Plain ? "" : kTls + "ca.pem"; }

void TestServer::handle(const httplib::Request& request, httplib::Response& response) {
    CannedReply canned(404, R"({"error":{"message":"No route for )" + request.path + R"("}})");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        remotePorts_.insert(request.remote_port);
        received_.push_back(request);
        if (received_.size() > kKeptRequests) received_.pop_front();
        std::deque<CannedReply>& once = onceRoutes_[{request.method, request.path}];
        if (!once.empty()) {
            canned = std::move(once.front());
            once.pop_front();
        } else if (const auto route = routes_.find({request.method, request.path}); route != routes_.end()) {
            canned = route->second;
        }
    }
    sendReply(canned, stopping_, response);
}

std::string readFixture(const std::string& relativePath) {
    std::ifstream file(std::filesystem::path(QAI_TEST_FIXTURES) / relativePath, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read fixture " + relativePath);
    return std::string(std::istreambuf_iterator<char>(file), {});
}


}  // namespace qai::test
