// The few socket operations the test HTTP server's connections need beyond its HTTP library: waiting
// for a request, reading and writing the raw bytes, noticing that the client went away, and ending a
// connection in order or with a reset. One declaration here; posix/ and win32/ implement it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel::test::server_socket {

// An accepted socket (a descriptor on POSIX, a SOCKET on Windows).
using Handle = std::uintptr_t;

// Bytes received, 0 once the peer has ended the connection, -1 on failure or when the socket's receive
// time-out passed. Blocks.
long receive(Handle socket, char* data, std::size_t size);
// Bytes sent, -1 on failure or when the socket's send time-out passed; never raises SIGPIPE. Blocks.
long send(Handle socket, const char* data, std::size_t size);
// Whether bytes, or the peer's end, arrive within `limit`.
bool readable(Handle socket, std::chrono::milliseconds limit);
// Whether the peer has closed or reset the connection; neither blocks nor consumes anything.
bool peerGone(Handle socket);
// The numeric address and the port of the socket's peer, or of its own end.
bool address(Handle socket, bool peer, std::string& ip, int& port);
// Ends the connection in order (the peer reads to the end, then sees it closed) and closes the socket.
void close(Handle socket);
// Ends the connection at once with a reset, whatever is left unsent, and closes the socket.
void reset(Handle socket);

}  // namespace korvel::test::server_socket
