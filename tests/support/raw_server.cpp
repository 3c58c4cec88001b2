#include "raw_server.h"

#include <cctype>
#include <cstdlib>

namespace qai::test {
namespace {

constexpr std::chrono::milliseconds kTick{20};

/// The Content-Length of a request head (names compared case-insensitively).
size_t contentLength(std::string head) {
    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = head.find("\r\ncontent-length:");
    return at == std::string::npos ? 0 : std::strtoul(head.c_str() + at + 17, nullptr, 10);
}

}  // namespace

std::string RawConnection::readRequest() {
    std::string received;
    bool closed = false;
    while (!stopping_ && !closed) {
        received += net::receiveWithin(socket_, kTick, closed);
        const size_t end = received.find("\r\n\r\n");
        if (end != std::string::npos && received.size() >= end + 4 + contentLength(received.substr(0, end)))
            return received;
    }
    return {};
}

void RawConnection::trickle(std::string_view text, std::chrono::milliseconds pauseBetween) {
    for (char c : text) {
        if (stopping_ || !send(std::string_view(&c, 1))) return;
        pause(pauseBetween);
    }
}

void RawConnection::stayQuiet() {
    bool closed = false;
    while (!stopping_ && !closed) net::receiveWithin(socket_, kTick, closed);
}

void RawConnection::pause(std::chrono::milliseconds length) {
    const auto until = std::chrono::steady_clock::now() + length;
    while (!stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kTick / 4);
}

RawServer::RawServer(Script script) : script_(std::move(script)) {
    listener_ = net::listenOnLoopback(port_);
    thread_ = std::thread([this] {
        while (!stopping_) {
            const net::Socket socket = net::acceptWithin(listener_, kTick);
            if (socket == net::kNoSocket) continue;
            ++connections_;
            RawConnection connection(socket, stopping_);
            script_(connection);
            net::closeSocket(socket);
        }
    });
}

RawServer::~RawServer() {
    stopping_ = true;
    thread_.join();
    net::closeSocket(listener_);
}

std::string rawHead(int status, std::string_view headerLines) {
    return "HTTP/1.1 " + std::to_string(status) + " Status\r\n" + std::string(headerLines) + "\r\n";
}

}  // namespace qai::test
