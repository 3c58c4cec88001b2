#pragma once
// The few socket calls the raw test server needs, behind one seam so that no
// other test file sees a platform header.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace qai::test::net {

/// A socket handle; kNoSocket when there is none.
using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

/// A listening socket on 127.0.0.1 with an ephemeral port, which is stored
/// in port. Throws std::runtime_error when that fails.
Socket listenOnLoopback(int& port);
/// The next connection, or kNoSocket when none came within timeout.
Socket acceptWithin(Socket listener, std::chrono::milliseconds timeout);
/// Up to 64 KiB that arrived within timeout: "" when nothing did; closed is
/// set when the peer closed or the connection broke.
std::string receiveWithin(Socket socket, std::chrono::milliseconds timeout, bool& closed);
/// Sends all of data; false when the connection broke.
bool sendAll(Socket socket, std::string_view data);
/// Ends both directions, so that the peer sees the connection close, and closes the socket.
void closeSocket(Socket socket);

/// A local port with nothing listening on it (bound, then released).
int unusedLocalPort();

}  // namespace qai::test::net
