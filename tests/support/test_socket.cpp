// The socket seam. httplib.h brings each platform's socket headers and
// portable wrappers (and, on Windows, starts Winsock), so the same calls
// serve POSIX sockets and Winsock.
#include "test_socket.h"

#include <httplib.h>

#include <stdexcept>

#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH  // Winsock's name
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // Winsock raises no SIGPIPE
#endif

namespace qai::test::net {
namespace {

socket_t native(Socket socket) { return static_cast<socket_t>(socket); }

bool readableWithin(Socket socket, std::chrono::milliseconds timeout) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(socket), &readable);
    timeval limit{};
    limit.tv_sec = static_cast<decltype(limit.tv_sec)>(timeout.count() / 1000);
    limit.tv_usec = static_cast<decltype(limit.tv_usec)>(timeout.count() % 1000 * 1000);
    return ::select(static_cast<int>(native(socket) + 1), &readable, nullptr, nullptr, &limit) > 0;
}

/// A TCP socket bound to an ephemeral port of 127.0.0.1, which is stored in port.
Socket bindLoopback(int& port) {
    const socket_t sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (sock == INVALID_SOCKET || ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a loopback socket");
    port = ntohs(address.sin_port);
    return static_cast<Socket>(sock);
}

}  // namespace

Socket listenOnLoopback(int& port) {
    const Socket sock = bindLoopback(port);
    if (::listen(native(sock), 16) != 0) throw std::runtime_error("raw test server could not listen");
    return sock;
}

Socket acceptWithin(Socket listener, std::chrono::milliseconds timeout) {
    const socket_t sock =
        readableWithin(listener, timeout) ? ::accept(native(listener), nullptr, nullptr) : INVALID_SOCKET;
    return sock == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(sock);
}

std::string receiveWithin(Socket socket, std::chrono::milliseconds timeout, bool& closed) {
    closed = false;
    if (!readableWithin(socket, timeout)) return {};
    char buffer[65536];
    const ssize_t got = httplib::detail::read_socket(native(socket), buffer, sizeof buffer, 0);
    closed = got <= 0;
    return closed ? std::string() : std::string(buffer, static_cast<size_t>(got));
}

bool sendAll(Socket socket, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent =
            httplib::detail::send_socket(native(socket), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

void closeSocket(Socket socket) {
    ::shutdown(native(socket), SHUT_RDWR);
    httplib::detail::close_socket(native(socket));
}

int unusedLocalPort() {
    int port = 0;
    closeSocket(bindLoopback(port));
    return port;
}

}  // namespace qai::test::net
