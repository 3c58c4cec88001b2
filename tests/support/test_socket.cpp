// POSIX side of the socket seam.
#include "test_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qai::test::net {
namespace {

bool readableWithin(Socket socket, std::chrono::milliseconds timeout) {
    pollfd entry{static_cast<int>(socket), POLLIN, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

}  // namespace

Socket listenOnLoopback(int& port) {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    const bool listening =
        sock >= 0 && ::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::listen(sock, 16) == 0 && ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (!listening) {
        if (sock >= 0) ::close(sock);
        throw std::runtime_error("raw test server could not listen");
    }
    port = ntohs(address.sin_port);
    return sock;
}

Socket acceptWithin(Socket listener, std::chrono::milliseconds timeout) {
    if (!readableWithin(listener, timeout)) return kNoSocket;
    const int sock = ::accept(static_cast<int>(listener), nullptr, nullptr);
    return sock >= 0 ? sock : kNoSocket;
}

std::string receiveWithin(Socket socket, std::chrono::milliseconds timeout, bool& closed) {
    closed = false;
    if (!readableWithin(socket, timeout)) return {};
    char buffer[65536];
    const ssize_t got = ::recv(static_cast<int>(socket), buffer, sizeof buffer, 0);
    if (got <= 0) {
        closed = true;
        return {};
    }
    return std::string(buffer, static_cast<size_t>(got));
}

bool sendAll(Socket socket, std::string_view data) {
    while (!data.empty()) {
        const ssize_t sent = ::send(static_cast<int>(socket), data.data(), data.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

void shutdownBoth(Socket socket) { ::shutdown(static_cast<int>(socket), SHUT_RDWR); }

void closeSocket(Socket socket) { ::close(static_cast<int>(socket)); }

}  // namespace qai::test::net
