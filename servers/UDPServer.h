// TUDPServer: one bound UDP port, the base of the UDP redirector. It owns
// the socket and nothing that waits: whoever builds on it watches the socket
// on an event loop and reads it there. The constructor creates and binds the
// socket, so that datagrams sent as soon as the port is known wait in its
// queue until serving starts; a server that cannot be set up still exists,
// with Socket() == -1, for its creator to test.
#pragma once

#include <cstdint>
#include <string>

#include "runtime/Net.h"

namespace quorvane {

class TUDPServer {
 public:
  // |host| empty binds every local address; |port| 0 lets the system choose.
  // The socket is non-blocking and close-on-exec. Any thread.
  TUDPServer(std::string host, std::uint16_t port);
  TUDPServer(const TUDPServer&) = delete;
  TUDPServer& operator=(const TUDPServer&) = delete;
  // Closes the socket if it is still open; whoever watched it has stopped
  // watching by then.
  virtual ~TUDPServer();

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  // Why the setup failed: the errno of the failed step (EADDRNOTAVAIL when
  // |host| does not resolve to an IPv4 address); 0 when it worked.
  int SetupError() const { return setup_error_; }
  // The bound socket; -1 when setup failed or the socket has been closed.
  // The creator reads it before serving starts (for example for
  // getsockname).
  int Socket() const { return socket_.Get(); }

 protected:
  // For derived constructors whose own setup failed: closes the socket, so
  // that Socket() is -1 and SetupError() says |error|.
  void FailSetup(int error) {
    socket_.Reset();
    setup_error_ = error;
  }
  // Closes the socket; the caller has stopped watching it.
  void CloseSocket() { ShutdownAndClose(socket_); }

 private:
  std::string host_;
  std::uint16_t port_;
  TUniqueFd socket_;
  int setup_error_ = 0;
};

}  // namespace quorvane
