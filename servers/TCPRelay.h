// TTCPRelay: one relayed TCP connection, a small state machine run by one
// TRelayLoop: it connects to the target without blocking, then moves bytes
// both ways, each way a TRelayDirection, until both ways have ended.
//
// Ends, passed on as they come: a FIN from one peer becomes a FIN to the
// other (shutdown(SHUT_WR)) once everything before it is delivered, and the
// other way stays open until it ends too. When both ways have ended the
// relay closes at once; nothing is unread then, so the close sends no reset.
// Once both peers have sent their FIN, or a send to one of them has failed,
// the relay is closing: what it still holds is delivered, and input from a
// peer it can no longer deliver to is read and thrown away until that peer's
// FIN (closing over unread input would reset the connection and destroy the
// bytes just delivered), all within kLingerMs; then both are closed anyway.
// A reset is passed on as a reset: when one peer's connection is reset (or
// otherwise broken) before its FIN, the other is closed at once with an RST,
// so that an aborted transfer never looks complete.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "runtime/AddressCounter.h"
#include "runtime/EventLoop.h"
#include "runtime/Net.h"
#include "servers/ConnectFailures.h"
#include "servers/RedirectorStats.h"
#include "servers/RelayDirection.h"
#include "servers/RelayLoop.h"

namespace quorvane {

// How long a target connect may take before the connection is given up; it
// then counts as timed out.
inline constexpr int kConnectTimeoutMs = 10000;
// Once a relay is closing, how long it keeps delivering what it received and
// waiting for the peers' FINs before it closes both connections.
inline constexpr int kLingerMs = 5000;
// Descriptors one relay may need beyond its accepted socket: the outbound
// socket and a pipe (two descriptors) per direction.
inline constexpr long kRelayDescriptors = 5;

// TCP_NODELAY (games send small messages the relay must not hold back) and
// keepalive. Set on a redirector's listening socket, whose accepted sockets
// inherit them, and on every outbound socket.
void SetRelaySocketOptions(int fd);

class TTCPRelay final : private TLoopTimer {
 public:
  // Loop thread. Takes over everything |request| holds.
  TTCPRelay(TRelayLoop& loop, TRelayRequest request);
  TTCPRelay(const TTCPRelay&) = delete;
  TTCPRelay& operator=(const TTCPRelay&) = delete;
  // Ended first (by itself, or by Abort()).
  ~TTCPRelay();

  // Loop thread, once, after the loop holds the relay: starts the connect.
  // On failure the accepted connection is closed and the relay ends.
  void Start();
  // Loop thread: ends the relay now, closing both connections (engine stop).
  void Abort();
  bool Ended() const { return state_ == TState::kEnded; }

 private:
  enum class TState : std::uint8_t { kConnecting, kRelaying, kEnded };
  // Connect failed or timed out; ended cleanly; given up (linger over, stop,
  // epoll failure); one peer's connection was reset.
  enum class TEnd : std::uint8_t { kNoTarget, kClean, kForced, kAborted };

  // One of the two sockets, as the loop watches it.
  class TSide final : public TLoopWatch {
   public:
    TSide(TTCPRelay& relay, bool accepted) : relay_(relay), accepted_(accepted) {}
    void OnReady(std::uint32_t events) override { relay_.OnReady(accepted_, events); }

   private:
    TTCPRelay& relay_;
    bool accepted_;
  };

  void OnReady(bool accepted_side, std::uint32_t events);
  void OnTimer() override;
  // The target's connection is up: relaying starts (the caller then calls
  // Advance()).
  void Connected();
  // The target's connection could not be had, for |error| (an errno value;
  // 0: the socket's pending error): counted, logged, and the relay ends.
  void ConnectFailed(int error);
  // Sends what |direction| holds and counts it.
  void Deliver(TRelayDirection& direction);
  // Counts |sent| bytes delivered by |direction|.
  void Count(TRelayDirection& direction, std::size_t sent);
  // Passes ends on, closes when both ways are done, arms the linger and
  // updates what the loop watches.
  void Advance();
  void End(TEnd how);

  TRelayLoop& relay_loop_;
  TEventLoop& loop_;
  TState state_ = TState::kConnecting;
  bool counted_ = false;  // included in the redirector's Open count
  TUniqueFd accepted_;
  TUniqueFd target_;
  sockaddr_in target_addr_;
  std::optional<std::uint32_t> outbound_addr_;
  TAddressSlot slot_;
  fd_budget::TFdGrant descriptors_;
  std::shared_ptr<TRedirectorStats> stats_;
  std::shared_ptr<TConnectFailureLog> failure_log_;
  TSide accepted_side_{*this, true};
  TSide target_side_{*this, false};
  std::optional<TRelayDirection> up_;    // accepted -> target, from the connect on
  std::optional<TRelayDirection> down_;  // target -> accepted
};

}  // namespace quorvane
