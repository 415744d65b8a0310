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
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/AddressCounter.h"
#include "runtime/EventLoop.h"
#include "runtime/Net.h"
#include "servers/ConnectFailures.h"
#include "servers/Players.h"
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

class TTCPRelay;

// One TCP redirector's players: the relays it started that have not ended,
// and what caps them. Shared by the redirector and its relays, which may
// outlive it; loop thread only (it is destroyed there, or once the loop has
// closed).
//
// Only what players send is capped: bytes per second per remote address,
// one bucket shared by that address's relays and kept while it has one,
// and bytes per second for all of them together.
class TTcpPlayers final {
 public:
  // A relay's place among the players.
  struct TMember {
    std::list<TTCPRelay*>::iterator Entry;
    std::uint32_t Address = 0;       // network order
    TTokenBucket* Bucket = nullptr;  // its address's; none without caps
  };

  // |subject| names the redirector in the cap log line ("TCP Redirector at
  // 192.0.2.1:40123"); |caps| empty: no caps.
  TTcpPlayers(TEventLoop& loop, std::string subject, std::shared_ptr<const TPlayerCaps> caps);
  TTcpPlayers(const TTcpPlayers&) = delete;
  TTcpPlayers& operator=(const TTcpPlayers&) = delete;
  ~TTcpPlayers();

  bool Capped() const { return caps_ != nullptr; }
  TMember Join(TTCPRelay& relay, std::uint32_t address);
  void Leave(const TMember& member);
  std::vector<TPlayerView> Views() const;

  // Bytes |member| may read now: what both its address's bucket and the
  // redirector's hold, the caps read afresh.
  std::uint64_t Allowance(const TMember& member, std::int64_t now_ms);
  // Takes |bytes| of what Allowance() just granted from both buckets.
  void Take(const TMember& member, std::uint64_t bytes);
  // Milliseconds until both buckets hold a share worth waking up for,
  // counted from the last Allowance().
  std::int64_t WaitMs(const TMember& member) const;
  // |member| was held back once more.
  void ReportHeld(const TMember& member) { log_.Report(member.Address, 1); }

 private:
  struct TShare {
    TTokenBucket Bucket;
    std::size_t Relays = 0;
  };

  const std::shared_ptr<const TPlayerCaps> caps_;
  std::list<TTCPRelay*> relays_;
  std::unordered_map<std::uint32_t, TShare> shares_;  // by address, with caps only
  TTokenBucket total_;
  // The rates of the last Allowance().
  std::uint64_t per_player_ = 0;
  std::uint64_t per_redirector_ = 0;
  TCapLog log_;
};

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
  // Loop thread: the relay as its redirector's players list shows it.
  TPlayerView View() const;

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
  // One read into |direction|; the player's side within its caps: with
  // nothing granted, the relay is held instead.
  std::size_t Fill(TRelayDirection& direction);
  // Stops reading the player until the caps grant a worthwhile share.
  void Hold();
  void HoldOver();
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
  bool held_ = false;     // the player is not read until hold_timer_ fires
  TUniqueFd accepted_;
  TUniqueFd target_;
  sockaddr_in target_addr_;
  std::optional<std::uint32_t> outbound_addr_;
  TAddressSlot slot_;
  fd_budget::TFdGrant descriptors_;
  std::shared_ptr<TRedirectorStats> stats_;
  std::shared_ptr<TConnectFailureLog> failure_log_;
  std::shared_ptr<TTcpPlayers> players_;
  TTcpPlayers::TMember member_;
  bool capped_ = false;
  const sockaddr_in peer_;
  const std::int64_t created_ms_;  // loop clock, at the accept's turn
  const std::int64_t started_wall_ms_;
  std::int64_t last_activity_ms_;  // wall clock
  std::uint64_t bytes_to_target_ = 0;
  std::uint64_t bytes_from_target_ = 0;
  TFunctionTimer hold_timer_{[this] { HoldOver(); }};
  TSide accepted_side_{*this, true};
  TSide target_side_{*this, false};
  std::optional<TRelayDirection> up_;    // accepted -> target, from the connect on
  std::optional<TRelayDirection> down_;  // target -> accepted
};

}  // namespace quorvane
