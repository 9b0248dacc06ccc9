// The test server's socket operations on POSIX.
#include "tests/support/server_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace korvel::test::server_socket {

namespace {

int descriptor(Handle socket) { return static_cast<int>(socket); }

}  // namespace

long receive(Handle socket, char* data, std::size_t size) {
  for (;;) {
    const ssize_t got = ::recv(descriptor(socket), data, size, 0);
    if (got >= 0) return static_cast<long>(got);
    if (errno != EINTR) return -1;
  }
}

long send(Handle socket, const char* data, std::size_t size) {
  for (;;) {
    const ssize_t sent = ::send(descriptor(socket), data, size, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno != EINTR) return -1;
  }
}

bool readable(Handle socket, std::chrono::milliseconds limit) {
  pollfd entry{descriptor(socket), POLLIN, 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(limit.count()));
  return ready > 0;
}

bool peerGone(Handle socket) {
  pollfd entry{descriptor(socket), POLLIN, 0};
  if (::poll(&entry, 1, 0) <= 0) return false;
  if (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) return true;
  char probe = 0;
  const ssize_t got = ::recv(descriptor(socket), &probe, 1, MSG_PEEK | MSG_DONTWAIT);
  return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

bool address(Handle socket, bool peer, std::string& ip, int& port) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  auto* raw = reinterpret_cast<sockaddr*>(&storage);
  if ((peer ? ::getpeername(descriptor(socket), raw, &length) : ::getsockname(descriptor(socket), raw, &length)) != 0)
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
  ::shutdown(descriptor(socket), SHUT_RDWR);
  ::close(descriptor(socket));
}

void reset(Handle socket) {
  // A zero linger time makes close() abort the connection: the peer gets a reset, not an end.
  linger abort{1, 0};
  ::setsockopt(descriptor(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(descriptor(socket));
}

}  // namespace korvel::test::server_socket
