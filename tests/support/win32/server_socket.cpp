// The test server's socket operations on Windows (Winsock).
#include "tests/support/server_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace korvel::test::server_socket {

namespace {

SOCKET native(Handle socket) { return static_cast<SOCKET>(socket); }

int chunk(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

bool readableWithin(SOCKET socket, long microseconds) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  timeval wait{microseconds / 1000000, microseconds % 1000000};
  return ::select(0, &set, nullptr, nullptr, &wait) > 0;
}

}  // namespace

long receive(Handle socket, char* data, std::size_t size) {
  const int got = ::recv(native(socket), data, chunk(size), 0);
  return got == SOCKET_ERROR ? -1 : got;
}

long send(Handle socket, const char* data, std::size_t size) {
  const int sent = ::send(native(socket), data, chunk(size), 0);
  return sent == SOCKET_ERROR ? -1 : sent;
}

bool readable(Handle socket, std::chrono::milliseconds limit) {
  return readableWithin(native(socket), static_cast<long>(limit.count()) * 1000);
}

bool peerGone(Handle socket) {
  if (!readableWithin(native(socket), 0)) return false;
  // Readable: a peek returns at once, 0 for an orderly end, an error for a reset.
  char probe = 0;
  const int got = ::recv(native(socket), &probe, 1, MSG_PEEK);
  return got == 0 || (got == SOCKET_ERROR && ::WSAGetLastError() != WSAEWOULDBLOCK);
}

bool address(Handle socket, bool peer, std::string& ip, int& port) {
  sockaddr_storage storage{};
  int length = sizeof storage;
  auto* raw = reinterpret_cast<sockaddr*>(&storage);
  if ((peer ? ::getpeername(native(socket), raw, &length) : ::getsockname(native(socket), raw, &length)) != 0)
    return false;
  char host[NI_MAXHOST];
  char service[NI_MAXSERV];
  if (::getnameinfo(raw, length, host, sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return false;
  ip = host;
  port = std::atoi(service);
  return true;
}

void close(Handle socket) {
  ::shutdown(native(socket), SD_BOTH);
  ::closesocket(native(socket));
}

void reset(Handle socket) {
  // A zero linger time makes closesocket() abort the connection: the peer gets a reset, not an end.
  linger abort{1, 0};
  ::setsockopt(native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
  ::closesocket(native(socket));
}

}  // namespace korvel::test::server_socket
