#pragma once
// A loopback HTTP peer that misbehaves on purpose, for the faults a real
// server library will not produce: a reply cut inside its headers or inside a
// chunk, a connection accepted and never answered, a body trickled out.
//
//   qai::test::RawServer server([](qai::test::RawConnection& peer) {
//       peer.readRequest();
//       peer.send("HTTP/1.1 200 OK\r\nContent-Le");   // then the connection closes
//   });
//   ... point the client at server.url() ...
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace qai::test {

/// A socket handle (a POSIX descriptor or a Winsock SOCKET); -1 for none.
using RawSocket = std::intptr_t;

/// One accepted connection, as the script sees it.
class RawConnection {
public:
    RawConnection(RawSocket socket, const std::atomic<bool>& stopping)
        : socket_(socket), stopping_(stopping) {}

    /// Reads one request: headers and a Content-Length body. "" when the peer
    /// closed or the server stops first.
    std::string readRequest();
    /// Sends text; false when the connection broke.
    bool send(std::string_view text);
    /// Sends text a byte at a time, pause between bytes.
    void trickle(std::string_view text, std::chrono::milliseconds pause);
    /// Holds the connection open, saying nothing, until the peer closes it or
    /// the server stops.
    void stayQuiet();
    /// Waits for pause or until the server stops.
    void pause(std::chrono::milliseconds pause);

private:
    RawSocket socket_;
    const std::atomic<bool>& stopping_;
};

class RawServer {
public:
    /// Runs script for each connection, one at a time, on the server's thread;
    /// the connection closes when the script returns.
    using Script = std::function<void(RawConnection&)>;

    explicit RawServer(Script script);
    /// Ends a script waiting in stayQuiet or pause and joins the thread.
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    /// "http://127.0.0.1:PORT".
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }
    /// Connections accepted so far.
    size_t connectionCount() const { return connections_; }

private:
    Script script_;
    int port_ = 0;  // before listener_, which is bound to it
    RawSocket listener_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> connections_{0};
    std::thread thread_;
};

/// A reply head: status line, the given header lines and the blank line.
std::string rawHead(int status, std::string_view headerLines);

}  // namespace qai::test
