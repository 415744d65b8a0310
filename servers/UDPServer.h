// TUDPServer: one thread serving one UDP port. The constructor creates and
// binds the socket; a server that cannot be set up still exists, with
// Socket() == -1, for its creator to test. Execute() hands every datagram to
// ProcessDatagram() and waits in poll() while nothing is queued.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/DatagramBatch.h"

namespace quorvane {

class TUDPServer : public TThread {
 public:
  // |host| empty binds every local address; |port| 0 lets the system choose.
  // The thread is built suspended: the creator calls Resume().
  TUDPServer(std::string host, std::uint16_t port, std::size_t stack_size = 0);
  // Stopping is the owner's: Terminate() and WaitFor() before destruction
  // begins (derived members are gone by the time this runs). A socket that
  // Execute() never got to close is closed here.
  ~TUDPServer() override;

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  // Why the setup failed: the errno of the failed step (EADDRNOTAVAIL when
  // |host| does not resolve to an IPv4 address, ENOMEM when the receive
  // slots cannot be had); 0 when Socket() is valid.
  int SetupError() const { return setup_error_; }
  // The bound socket, or -1 when setup failed. Read it before Resume() (for
  // example for getsockname); Execute() closes it when it ends.
  int Socket() const { return socket_.Get(); }

 protected:
  // Receives until Terminate(), a receive failure or a poll() failure, then
  // closes the socket.
  void Execute() override;
  // Called on the server thread for every datagram, in arrival order, with
  // its sender and exactly its bytes (possibly none). |data| is valid only
  // during the call. The default does nothing.
  virtual void ProcessDatagram(const sockaddr_in& from, std::span<const std::uint8_t> data);
  // Called on the server thread after a pass that found nothing queued,
  // just before the thread blocks. The default does nothing.
  virtual void Idle();

  // For derived constructors whose own setup failed: closes the socket, so
  // that Socket() is -1 and SetupError() says |error|.
  void FailSetup(int error) {
    socket_.Reset();
    setup_error_ = error;
  }
  // For Execute() overrides, on the server thread.
  void CloseSocket() { ShutdownAndClose(socket_); }
  // The server's receive slots; valid whenever Socket() is. Server thread
  // only.
  TDatagramBatch& Batch() { return batch_; }

 private:
  std::string host_;
  std::uint16_t port_;
  TUniqueFd socket_;
  int setup_error_ = 0;
  TDatagramBatch batch_;
};

}  // namespace quorvane
