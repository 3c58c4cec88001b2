// The raw peer and the few socket calls it needs. httplib.h brings each
// platform's socket headers and portable wrappers (and, on Windows, starts
// Winsock), so the same calls serve POSIX sockets and Winsock.
#include "raw_server.h"

#include <httplib.h>

#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "test_server.h"

#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH  // Winsock's name
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // Winsock raises no SIGPIPE
#endif

namespace qai::test {
namespace {

constexpr std::chrono::milliseconds kTick{20};

socket_t native(RawSocket socket) { return static_cast<socket_t>(socket); }

bool readableWithin(RawSocket socket, std::chrono::milliseconds timeout) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval limit{0, static_cast<decltype(limit.tv_usec)>(timeout.count() * 1000)};  // under a second
    return ::select(static_cast<int>(native(socket) + 1), &readable, nullptr, nullptr, &limit) > 0;
}

/// Up to 64 KiB that arrived within a tick: "" when nothing did; closed is
/// set when the peer closed or the connection broke.
std::string receive(RawSocket socket, bool& closed) {
    closed = false;
    if (!readableWithin(socket, kTick)) return {};
    char buffer[65536];
    const ssize_t got = httplib::detail::read_socket(native(socket), buffer, sizeof buffer, 0);
    closed = got <= 0;
    return closed ? std::string() : std::string(buffer, static_cast<size_t>(got));
}

void closeSocket(RawSocket socket) {
    ::shutdown(native(socket), SHUT_RDWR);
    httplib::detail::close_socket(native(socket));
}

/// A TCP socket bound to an ephemeral port of 127.0.0.1, which is stored in port.
RawSocket bindLoopback(int& port) {
    const socket_t sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (sock == INVALID_SOCKET || ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a loopback socket");
    port = ntohs(address.sin_port);
    return static_cast<RawSocket>(sock);
}

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
        received += receive(socket_, closed);
        const size_t end = received.find("\r\n\r\n");
        if (end != std::string::npos && received.size() >= end + 4 + contentLength(received.substr(0, end)))
            return received;
    }
    return {};
}

bool RawConnection::send(std::string_view text) {
    while (!text.empty()) {
        const ssize_t sent =
            httplib::detail::send_socket(native(socket_), text.data(), text.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        text.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

void RawConnection::trickle(std::string_view text, std::chrono::milliseconds pauseBetween) {
    for (char c : text) {
        if (stopping_ || !send(std::string_view(&c, 1))) return;
        pause(pauseBetween);
    }
}

void RawConnection::stayQuiet() {
    bool closed = false;
    while (!stopping_ && !closed) receive(socket_, closed);
}

void RawConnection::pause(std::chrono::milliseconds length) {
    const auto until = std::chrono::steady_clock::now() + length;
    while (!stopping_ && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(kTick / 4);
}

RawServer::RawServer(Script script) : script_(std::move(script)), listener_(bindLoopback(port_)) {
    if (::listen(native(listener_), 16) != 0) throw std::runtime_error("raw test server could not listen");
    thread_ = std::thread([this] {
        while (!stopping_) {
            if (!readableWithin(listener_, kTick)) continue;
            const socket_t socket = ::accept(native(listener_), nullptr, nullptr);
            if (socket == INVALID_SOCKET) continue;
            ++connections_;
            RawConnection connection(static_cast<RawSocket>(socket), stopping_);
            script_(connection);
            closeSocket(static_cast<RawSocket>(socket));
        }
    });
}

RawServer::~RawServer() {
    stopping_ = true;
    thread_.join();
    closeSocket(listener_);
}

std::string rawHead(int status, std::string_view headerLines) {
    return "HTTP/1.1 " + std::to_string(status) + " Status\r\n" + std::string(headerLines) + "\r\n";
}

int unusedLocalPort() {
    int port = 0;
    closeSocket(bindLoopback(port));
    return port;
}

}  // namespace qai::test
