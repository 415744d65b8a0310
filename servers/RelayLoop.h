// TRelayLoop: one of the server's event-loop threads. It runs a TEventLoop
// and keeps what the loop's clients share: the TCP relays it owns, the relay
// buffer pool, the UDP receive slots and the loop's counters. Everything
// that waits in the server (control sessions, redirector listeners, UDP
// redirectors, relays, their timers) is a client of one of these loops.
//
// Other threads reach a loop only through Post() and RunSync(); everything
// else is the loop thread's own. A relay belongs to the loop that accepted
// it for its whole life, and all of them end when the loop stops.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "runtime/AddressCounter.h"
#include "runtime/EventLoop.h"
#include "runtime/FdBudget.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/ConnectFailures.h"
#include "servers/DatagramBatch.h"
#include "servers/Players.h"
#include "servers/RedirectorStats.h"
#include "servers/RelayBufferPool.h"

namespace quorvane {

class TTCPRelay;
class TTcpPlayers;

// One accepted connection to relay.
struct TRelayRequest {
  // The remote player's connection: accepted, non-blocking, and carrying the
  // relay socket options (SetRelaySocketOptions on the listener: accepted
  // sockets inherit them).
  TUniqueFd Accepted;
  // Where it comes from, as accepted.
  sockaddr_in Peer{};
  // Where to connect, already resolved: no name is looked up on a loop.
  sockaddr_in Target{};
  // Local address the outbound connection leaves from (network order);
  // empty: whatever the system picks.
  std::optional<std::uint32_t> OutboundAddr;
  // The remote address's share of its redirector's limit; given back when
  // the relay ends.
  TAddressSlot Slot;
  // Its part of the relays' descriptor share; given back when it ends.
  fd_budget::TFdGrant Descriptors;
  // The redirector's counters; made when empty.
  std::shared_ptr<TRedirectorStats> Stats;
  // Where a failed connect is logged; empty: nowhere.
  std::shared_ptr<TConnectFailureLog> FailureLog;
  // The redirector's players, which the relay joins, and their caps;
  // empty: listed nowhere, never held.
  std::shared_ptr<TTcpPlayers> Players;
};

// What one loop has done; written by the loop thread, read by anyone.
struct TRelayLoopCounters {
  std::atomic<std::uint64_t> RelaysOpen{0};  // held by the loop now, connecting ones included
  std::atomic<std::uint64_t> RelaysTotal{0};
  std::atomic<std::uint64_t> BytesToTarget{0};
  std::atomic<std::uint64_t> BytesFromTarget{0};
  // Target connects that failed, by TConnectFailure.
  std::array<std::atomic<std::uint64_t>, kConnectFailureCount> ConnectFailures{};
  // Over the player caps: UDP datagrams dropped, TCP relays held back.
  std::atomic<std::uint64_t> DatagramsDropped{0};
  std::atomic<std::uint64_t> RelaysHeld{0};
  // From a TCP player's accept to the target's connect.
  TLoopHistogram<kWaitBoundsMs.size()> ConnectWait;
  // From a UDP session's first datagram to the target's first answer.
  TLoopHistogram<kWaitBoundsMs.size()> AnswerWait;
  // Of TCP relays and of UDP sessions, from start to end.
  TLoopHistogram<kLifetimeBoundsMs.size()> TcpLifetime;
  TLoopHistogram<kLifetimeBoundsMs.size()> UdpLifetime;
};

// Receive slot pages the loop's UDP redirectors may keep resident (a
// trickle of small datagrams touches one); beyond that, all of them are
// given back within kBatchTrimDelayMs, busy or idle, so that a burst leaves
// no megabytes behind and sustained bulk pays one madvise() a second.
inline constexpr std::size_t kRetainedSlotBytes = std::size_t{64} * 1024;
inline constexpr std::int64_t kBatchTrimDelayMs = 1000;

// The heap's free pages go back to the system (malloc_trim) once a loop has
// freed kHeapTrimAfterFrees of its clients (relays, control sessions, UDP
// sessions) since its last trim and then kHeapTrimDelayMs have passed with
// no further free, or kHeapTrimMaxDelayMs at most. The allocator keeps what
// a burst freed for reuse, and a flood of connections that has ended would
// otherwise leave the process at its peak for good. Counting frees, not
// time, keeps an idle server asleep; waiting for the burst to end trims
// once what it freed, and under churn the trims stay one per maximum delay.
inline constexpr std::size_t kHeapTrimAfterFrees = 256;
inline constexpr std::int64_t kHeapTrimDelayMs = 5000;
inline constexpr std::int64_t kHeapTrimMaxDelayMs = 30000;

// Unconfirmed UDP sessions another loop sheds when asked, at most, per ask.
inline constexpr std::size_t kShedBatch = 64;

// A client of the loop that holds UDP sessions no answer has confirmed yet
// (servers/UDPRedirector.h): when the redirectors' descriptor share runs
// out, those go first, oldest first, whichever redirector holds them.
class TSessionShedder {
 public:
  static constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::max();
  // Loop clock time at which its oldest unconfirmed session began, or kNone.
  virtual std::int64_t OldestUnconfirmed() const = 0;
  // Removes its oldest unconfirmed session; false when it has none.
  virtual bool ShedUnconfirmed() = 0;

 protected:
  TSessionShedder() = default;
  ~TSessionShedder() = default;
  TSessionShedder(const TSessionShedder&) = default;
  TSessionShedder& operator=(const TSessionShedder&) = default;
};

class TRelayLoop final : public TThread {
 public:
  // Sets up the loop's descriptors and receive slots; Valid() says whether
  // it could. |clock| empty: the real clocks.
  explicit TRelayLoop(TLoopClock clock = {});
  // Stopped and joined by the owner first (Terminate, WaitFor).
  ~TRelayLoop() override;

  bool Valid() const { return loop_.Valid() && batch_.Valid(); }
  // Owner: starts the thread and returns once it runs the loop, so that
  // from then on work for the loop runs on it, never on the caller's thread.
  bool Resume();
  // Owner, before Resume(): the engine's other loops, asked to shed when
  // this one has no unconfirmed session left to.
  void SetSiblings(std::vector<TRelayLoop*> siblings) { siblings_ = std::move(siblings); }

  // Any thread: queues |task| for the loop; false when the loop has closed
  // (|task| is then destroyed unrun; TryPost() leaves it to the caller).
  bool Post(TTask&& task) { return loop_.Post(std::move(task)); }
  bool TryPost(TTask& task) { return loop_.TryPost(task); }
  // Any thread but the loop's: runs |fn| on the loop and waits for it (on
  // the calling thread once the loop has closed).
  void RunSync(const std::function<void()>& fn) { loop_.RunSync(fn); }
  bool InLoopThread() const { return loop_.InLoopThread(); }
  const TRelayLoopCounters& Counters() const { return counters_; }

  // The rest: loop thread only.

  TEventLoop& Loop() { return loop_; }
  // Makes a relay of |request| and starts its connect; the loop owns it
  // until it ends.
  void StartRelay(TRelayRequest request);
  // |relay| has ended; it is freed at the end of this turn.
  void RelayEnded(TTCPRelay& relay);
  TRelayBufferPool& Pool() { return pool_; }
  TRelayLoopCounters& MutableCounters() { return counters_; }
  // Receive slots for the loop's UDP redirectors, one user at a time (a
  // callback fills and empties them before it returns). After using them,
  // call BatchUsed(), which plans their trim.
  TDatagramBatch& Batch() { return batch_; }
  void BatchUsed();
  std::size_t RelayCount() const { return relays_.size(); }
  // One of the loop's clients (a relay, a control session, a UDP session)
  // has been freed; plans the heap trim.
  void ClientFreed();
  // Shedders register while they serve and leave before they go.
  void AddShedder(TSessionShedder& shedder);
  void RemoveShedder(TSessionShedder& shedder);
  // Removes the oldest unconfirmed UDP session of this loop, giving its
  // descriptor back; true when there was one. Without one, asks every
  // other loop to shed up to kShedBatch of its own while the share stays
  // short, and returns false: what they free serves the next datagram.
  bool ShedUnconfirmed();

 protected:
  void Execute() override;
  void TerminationRequested() override { loop_.Stop(); }

 private:
  void CloseAll();
  bool ShedLocally();

  TEventLoop loop_;
  std::unordered_map<TTCPRelay*, std::unique_ptr<TTCPRelay>> relays_;
  TRelayBufferPool pool_;
  TDatagramBatch batch_;
  TFunctionTimer trim_timer_;
  std::size_t freed_since_trim_ = 0;
  std::int64_t heap_trim_latest_ = 0;  // while the heap trim is armed
  TFunctionTimer heap_trim_timer_;
  TRelayLoopCounters counters_;
  std::vector<TSessionShedder*> shedders_;
  std::vector<TRelayLoop*> siblings_;
  // A shed asked of this loop and not yet run: one at a time.
  std::atomic<bool> shed_asked_{false};
};

}  // namespace quorvane
