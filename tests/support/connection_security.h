// The security layer the test HTTP server may put over each connection it accepts: TLS in native
// builds (posix/tls_security.h); plain TCP when there is none.
#pragma once

#include <cstddef>
#include <memory>

#include "tests/support/server_socket.h"

namespace korvel::test {

// One connection's secured byte stream. Called by the one thread that serves the connection.
class SecureChannel {
 public:
  virtual ~SecureChannel() = default;
  // Plain bytes read, 0 once the peer has ended the session, -1 on failure or time-out. Blocks.
  virtual long read(char* data, std::size_t size) = 0;
  // Plain bytes written (all of them), -1 on failure. Blocks.
  virtual long write(const char* data, std::size_t size) = 0;
  // Whether plain bytes already read off the socket wait to be taken (the socket no longer shows them).
  virtual bool buffered() const = 0;
  // Tells the peer that the session ends in order; before the socket is closed.
  virtual void closeNotify() = 0;
};

class ConnectionSecurity {
 public:
  virtual ~ConnectionSecurity() = default;
  // The handshake on an accepted socket, on the thread that will serve it: blocks up to the socket's
  // time-outs; nullptr when it fails (the caller closes the socket).
  virtual std::unique_ptr<SecureChannel> accept(server_socket::Handle socket) = 0;
};

}  // namespace korvel::test
