// The socket seam: the same few calls over POSIX sockets and over Winsock.
#include "test_socket.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>

namespace {
using NativeSocket = SOCKET;
using ByteCount = int;
constexpr int kShutdownBoth = SD_BOTH;
constexpr int kSendFlags = 0;
int pollSockets(WSAPOLLFD* entries, ULONG count, int timeout) { return ::WSAPoll(entries, count, timeout); }
using PollEntry = WSAPOLLFD;
void closeNative(NativeSocket sock) { ::closesocket(sock); }

// Winsock must be started before the first call; it counts its users.
const bool kWinsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();

/// Windows has no list of a process's sockets, but their handles are small
/// multiples of four: probing them is cheap, and a handle that is not a
/// socket just fails getsockname.
template <typename Visit>
void forEachOpenSocket(Visit visit) {
    for (uintptr_t handle = 4; handle < (1u << 16); handle += 4) visit(static_cast<NativeSocket>(handle));
}
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using NativeSocket = int;
using ByteCount = size_t;
constexpr int kShutdownBoth = SHUT_RDWR;
constexpr int kSendFlags = MSG_NOSIGNAL;
using PollEntry = pollfd;
int pollSockets(pollfd* entries, nfds_t count, int timeout) { return ::poll(entries, count, timeout); }
void closeNative(NativeSocket sock) { ::close(sock); }

template <typename Visit>
void forEachOpenSocket(Visit visit) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error))
        visit(std::atoi(entry.path().filename().string().c_str()));
}
}  // namespace
#endif

namespace qai::test::net {
namespace {

NativeSocket native(Socket socket) { return static_cast<NativeSocket>(socket); }

bool readableWithin(Socket socket, std::chrono::milliseconds timeout) {
    PollEntry entry{};
    entry.fd = native(socket);
    entry.events = POLLIN;
    return pollSockets(&entry, 1, static_cast<int>(timeout.count())) > 0;
}

/// A TCP socket bound to an ephemeral port of 127.0.0.1, or kNoSocket.
Socket bindLoopback(int& port) {
    const NativeSocket sock = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sock == static_cast<NativeSocket>(-1)) return kNoSocket;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closeNative(sock);
        return kNoSocket;
    }
    port = ntohs(address.sin_port);
    return static_cast<Socket>(sock);
}

}  // namespace

Socket listenOnLoopback(int& port) {
    const Socket sock = bindLoopback(port);
    if (sock == kNoSocket || ::listen(native(sock), 16) != 0) {
        if (sock != kNoSocket) closeSocket(sock);
        throw std::runtime_error("raw test server could not listen");
    }
    return sock;
}

Socket acceptWithin(Socket listener, std::chrono::milliseconds timeout) {
    if (!readableWithin(listener, timeout)) return kNoSocket;
    const NativeSocket sock = ::accept(native(listener), nullptr, nullptr);
    return sock == static_cast<NativeSocket>(-1) ? kNoSocket : static_cast<Socket>(sock);
}

std::string receiveWithin(Socket socket, std::chrono::milliseconds timeout, bool& closed) {
    closed = false;
    if (!readableWithin(socket, timeout)) return {};
    char buffer[65536];
    const auto got = ::recv(native(socket), buffer, sizeof buffer, 0);
    if (got <= 0) {
        closed = true;
        return {};
    }
    return std::string(buffer, static_cast<size_t>(got));
}

bool sendAll(Socket socket, std::string_view data) {
    while (!data.empty()) {
        const auto sent = ::send(native(socket), data.data(), static_cast<ByteCount>(data.size()), kSendFlags);
        if (sent <= 0) return false;
        data.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

void shutdownBoth(Socket socket) { ::shutdown(native(socket), kShutdownBoth); }

void closeSocket(Socket socket) { closeNative(native(socket)); }

void shutDownConnectionsOnLocalPort(int port) {
    forEachOpenSocket([port](NativeSocket sock) {
        sockaddr_in local{}, peer{};
        socklen_t localLength = sizeof(local), peerLength = sizeof(peer);
        if (::getsockname(sock, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
            local.sin_family == AF_INET && ntohs(local.sin_port) == port &&
            ::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0) {
            ::shutdown(sock, kShutdownBoth);
        }
    });
}

int unusedLocalPort() {
    int port = 0;
    const Socket sock = bindLoopback(port);
    if (sock == kNoSocket) throw std::runtime_error("could not find a free port");
    closeSocket(sock);
    return port;
}

}  // namespace qai::test::net
