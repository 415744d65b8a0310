// TTCPServer: one thread serving one TCP listening port. The constructor
// creates, binds and starts listening on the socket, so that connections made
// as soon as the port is known wait in the backlog; a server that cannot be
// set up still exists, with Socket() == -1, for its creator to test.
// Execute() accepts connections and hands each to ProcessConnection().
//
// A server with no children to reap sleeps in accept() itself, which costs a
// connection one system call where poll() and a last accept() that finds
// nothing cost three; Terminate() ends that wait by shutting the listening
// socket down. A server with children (ChildEndedFd()) waits in poll() over
// the listening socket, the wake descriptor and the children's event.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "runtime/Mutex.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"

namespace quorvane {

class TTCPServer : public TThread {
 public:
  // |host| empty binds every local address; |port| 0 lets the system choose.
  TTCPServer(std::string host, std::uint16_t port, std::size_t stack_size = 0);

  const std::string& Host() const { return host_; }
  std::uint16_t Port() const { return port_; }
  // The listening socket, or -1 when setup failed. Read it before Resume()
  // (for example for getsockname); Execute() closes it when it ends.
  int Socket() const { return socket_.Get(); }
  // Why the setup failed: the errno of the failed step (EADDRNOTAVAIL when
  // |host| does not resolve to an IPv4 address); 0 when Socket() is valid.
  int SetupError() const { return setup_error_; }
  // True when the server could not listen or its accept loop failed, rather
  // than being terminated. Valid after WaitFor().
  bool ListenerFailed() const { return listener_failed_; }

 protected:
  void Execute() override;
  // Shuts the listening socket down, which ends a wait in accept().
  void TerminationRequested() override;
  // Called on the server thread for every accepted connection, one at a
  // time; takes ownership of |accepted|. The default closes it.
  virtual void ProcessConnection(TUniqueFd accepted);
  // The peer of the connection ProcessConnection() was given, as accept()
  // reported it. Server thread, during ProcessConnection() only.
  const sockaddr_in& AcceptedPeer() const { return accepted_peer_; }
  // For a subclass constructor whose own setup failed: closes the socket,
  // so that the server cannot serve and Socket() is -1.
  void AbandonSetup(int error);
  // A descriptor the accept loop also waits on (-1: none); when it becomes
  // readable the loop calls ReapChildren(). Lets subclasses free finished
  // child threads promptly without a timer.
  virtual int ChildEndedFd() const { return -1; }
  virtual void ReapChildren() {}

 private:
  // Execute() closing the listening socket, and TerminationRequested()
  // shutting it down, from whatever thread: a descriptor number is reused at
  // once, so the shutdown must never reach a socket that replaced it.
  TMutex socket_mu_;

  std::string host_;
  std::uint16_t port_;
  TUniqueFd socket_;  // written under socket_mu_ once the thread may run
  int setup_error_ = 0;
  bool listener_failed_ = false;  // server thread, read after join
  sockaddr_in accepted_peer_{};   // server thread
};

// How long accepting pauses when descriptors or memory ran out for a moment.
inline constexpr int kAcceptRetryPauseMs = 100;

}  // namespace quorvane
