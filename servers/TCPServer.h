// TTCPServer: one TCP listening port, served by an event loop. The
// constructor creates, binds and starts listening on the socket, so that
// connections made as soon as the port is known wait in the backlog; a
// server that cannot be set up still exists, with Socket() == -1, for its
// creator to test. Once started on a loop, every connection the loop finds
// waiting is accepted without blocking and handed to ProcessConnection() on
// the loop's thread.
//
// Accepting never blocks and never spins: the listener is watched for
// readability; when descriptors or memory run out for a moment, it is left
// unwatched for kAcceptRetryPauseMs (a timer of the loop), since the
// connection still waiting would otherwise be reported on every turn.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/EventLoop.h"
#include "runtime/Net.h"

namespace quorvane {

class TTCPServer : private TLoopWatch {
 public:
  // |host| empty binds every local address; |port| 0 lets the system choose.
  // Any thread.
  TTCPServer(std::string host, std::uint16_t port);
  // The loop's thread, or any thread once the loop has closed (or it never
  // started): stops serving and closes the socket.
  virtual ~TTCPServer();

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  // The listening socket, or -1 when setup failed or the server has closed.
  // The creator reads it before Start() (for example for getsockname).
  int Socket() const { return socket_.Get(); }
  // Why the setup failed: the errno of the failed step (EADDRNOTAVAIL when
  // |host| does not resolve to an IPv4 address); 0 when the setup worked.
  int SetupError() const { return setup_error_; }
  // Any thread: true once the listener failed by itself (a fatal accept
  // error); the socket is closed then.
  bool ListenerFailed() const { return listener_failed_.load(std::memory_order_acquire); }

  // |loop|'s thread: starts accepting there. False when there is no socket
  // or epoll refused it. At most once.
  bool Start(TEventLoop& loop);
  // The loop's thread: stops accepting and closes the socket; the port is
  // closed when this returns. Idempotent.
  void Close();

 protected:
  // Loop thread, for every accepted connection, one at a time; takes
  // ownership of |accepted| (non-blocking, close-on-exec). The default
  // closes it.
  virtual void ProcessConnection(TUniqueFd accepted);
  // The peer of the connection ProcessConnection() was given, as accept()
  // reported it. During ProcessConnection() only.
  const sockaddr_in& AcceptedPeer() const { return accepted_peer_; }
  // Loop thread, once, when the listener has failed by itself and closed.
  virtual void ListenerEnded() {}
  // The loop it was started on; null before Start().
  TEventLoop* ServingLoop() const { return loop_; }

 private:
  void OnReady(std::uint32_t events) override;
  void Fail();

  std::string host_;
  std::uint16_t port_;
  TUniqueFd socket_;
  int setup_error_ = 0;
  std::atomic<bool> listener_failed_{false};
  TEventLoop* loop_ = nullptr;
  TFunctionTimer retry_;  // resumes accepting after a shortage
  sockaddr_in accepted_peer_{};
};

// How long accepting pauses when descriptors or memory ran out for a moment.
inline constexpr int kAcceptRetryPauseMs = 100;

}  // namespace quorvane
