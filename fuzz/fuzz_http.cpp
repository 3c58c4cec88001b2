// The HTTP layer against a loopback server that answers with the input.
// The first byte chooses GET or POST and whether the rest is sent raw (any
// bytes as the server's whole answer) or framed: then the harness wraps the
// rest in a well-formed reply of a chosen status, with a Content-Length or in
// chunks, and the client must hand back exactly that status and body.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cf/CFAppFactory.h"
#include "cf/CMRest.h"
#include "cf/COJson.h"
#include "fuzz_check.h"

namespace {

constexpr int64_t kMaxResponseBytes = 16 * 1024;

/// Accepts one connection per request on 127.0.0.1, reads the request, writes
/// the current answer and closes: no reply can keep the client waiting.
class LoopbackServer {
public:
    LoopbackServer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        FUZZ_CHECK(listener_ >= 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        FUZZ_CHECK(listen(listener_, 16) == 0);
        socklen_t length = sizeof address;
        FUZZ_CHECK(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0);
        port_ = ntohs(address.sin_port);
        std::thread([this] { serve(); }).detach();  // lives as long as the process
    }

    int port() const { return port_; }
    void setAnswer(std::string answer) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_ = std::move(answer);
    }

private:
    void serve() {
        for (;;) {
            const int connection = accept(listener_, nullptr, nullptr);
            if (connection < 0) continue;
            readRequest(connection);
            std::string answer;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answer = answer_;
            }
            size_t sent = 0;
            while (sent < answer.size()) {
                const ssize_t n = send(connection, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<size_t>(n);
            }
            shutdown(connection, SHUT_WR);
            close(connection);
        }
    }

    /// Reads the head and a Content-Length body; gives up after a second of silence.
    static void readRequest(int connection) {
        std::string request;
        char buffer[4096];
        size_t needed = std::string::npos;
        while (request.size() < needed) {
            pollfd poller{connection, POLLIN, 0};
            if (poll(&poller, 1, 1000) <= 0) return;
            const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            request.append(buffer, static_cast<size_t>(n));
            const size_t headEnd = request.find("\r\n\r\n");
            if (headEnd == std::string::npos) continue;
            size_t bodyLength = 0;
            const size_t field = request.find("Content-Length: ");
            if (field != std::string::npos && field < headEnd)
                bodyLength = std::stoul(request.substr(field + 16, request.find("\r\n", field) - field - 16));
            needed = headEnd + 4 + bodyLength;
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::string answer_;
};

/// A well-formed reply carrying body with status, announced or chunked.
std::string frame(long status, std::string_view body, bool chunked, size_t chunkSize) {
    std::string reply =
        "HTTP/1.1 " + std::to_string(status) + " Whatever\r\nContent-Type: application/json\r\n";
    if (!chunked) {
        reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        reply += body;
        return reply;
    }
    reply += "Transfer-Encoding: chunked\r\n\r\n";
    char size[32];
    for (size_t at = 0; at < body.size(); at += chunkSize) {
        const std::string_view piece = body.substr(at, chunkSize);
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        reply += size;
        reply += piece;
        reply += "\r\n";
    }
    reply += "0\r\n\r\n";
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static LoopbackServer* const server = new LoopbackServer();
    static const std::string url = "http://127.0.0.1:" + std::to_string(server->port()) + "/v1/x";

    qai_fuzz::InputReader input(data, size);
    const uint8_t mode = input.byte();
    const bool post = (mode & 1) != 0;
    const bool framed = (mode & 2) != 0;
    const bool chunked = (mode & 4) != 0;
    const size_t chunkSize = 1 + (mode >> 3);
    long status = 0;
    std::string body;
    if (framed) {
        status = 200 + input.word() % 400;
        // Statuses that carry a body: 200..599 less those that never do.
        if (status == 204 || status == 205 || status == 304) status = 200;
        body = std::string(input.rest());
        server->setAnswer(frame(status, body, chunked, chunkSize));
    } else {
        server->setAnswer(std::string(input.rest()));
    }

    CMRestGlobalSettings settings;
    settings.connectTimeoutSeconds = settings.requestTimeoutSeconds = 10;
    settings.stallTimeoutSeconds = 5;
    settings.maxResponseBytes = kMaxResponseBytes;
    CMRestSession session;  // no pool: one connection per request
    session.setAuthorizationHeaderValue("Bearer secret-key-1234");

    ICSAppFactory* factory = CF::obtainAppFactory();
    const std::unique_ptr<ICSRestExecutor> executor(
        factory->obtainRestService()->createExecutor(factory, &settings, &session));
    CMRestResourceResponse* raw = nullptr;
    int32_t code = 0;
    if (post) {
        CMRestPostRequest request;
        request.tag = kCMRestRequestTag;
        request.setURL(url);
        COJson json;
        json.addKeyValue("model").setString("m");
        request.updateJson(&json);
        code = executor->executePost(&request, &raw);
    } else {
        CMRestGetRequest request;
        request.tag = kCMRestRequestTag;
        request.setURL(url);
        code = executor->executeGet(&request, &raw);
    }
    const std::unique_ptr<CMRestResourceResponse> response(raw);

    if (code == 0) {
        FUZZ_CHECK(response != nullptr);
        FUZZ_CHECK(response->obtainHTTPStatus() > 0 && response->obtainHTTPStatus() < 400);
    } else {
        CMErrorRecord record;
        factory->obtainErrorService()->obtainErrorDescriber()->describe(code, record);
        FUZZ_CHECK(!record.message.empty());
        FUZZ_CHECK(record.message.find("secret-key-1234") == std::string::npos);
        if (response) FUZZ_CHECK(response->obtainHTTPStatus() >= 300);
    }
    if (response) {
        FUZZ_CHECK(static_cast<int64_t>(response->getBufferString().size()) <= kMaxResponseBytes);
        FUZZ_CHECK(response->obtainJson() != nullptr || response->getBufferString().empty());
    }
    if (framed && static_cast<int64_t>(body.size()) <= kMaxResponseBytes) {
        FUZZ_CHECK(response != nullptr);
        FUZZ_CHECK(response->obtainHTTPStatus() == status);
        FUZZ_CHECK(response->getBufferString() == body);
        FUZZ_CHECK((code == 0) == (status < 300));
    }
    return 0;
}
