// TRelayLoop: one thread of the relay engine, running one epoll loop that
// owns every TTCPRelay handed to it for the relay's whole life.
//
// A turn of the loop: wait in epoll_wait (time-out: the nearest timer, or
// none, so an idle loop sleeps), start the relays other threads have queued,
// dispatch each ready descriptor to its watch, fire the timers that are due,
// and only then free the relays that ended during the turn, so that no relay
// is destroyed while one of its handlers runs.
//
// Other threads reach a loop only through Post(): a locked vector swapped
// out in one step, and an eventfd that wakes the loop when the vector turns
// non-empty. Everything else is the loop thread's own.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "runtime/AddressCounter.h"
#include "runtime/Mutex.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/RedirectorStats.h"
#include "servers/RelayDirection.h"

namespace quorvane {

class TTCPRelay;

// One accepted connection to relay, as a redirector hands it over.
struct TRelayRequest {
  // The remote player's connection: accepted, non-blocking, and carrying the
  // relay socket options (SetRelaySocketOptions on the listener: accepted
  // sockets inherit them).
  TUniqueFd Accepted;
  // Where to connect, already resolved: no name is looked up on a loop.
  sockaddr_in Target{};
  // Local address the outbound connection leaves from (network order);
  // empty: whatever the system picks.
  std::optional<std::uint32_t> OutboundAddr;
  // The remote address's share of its redirector's limit; given back when
  // the relay ends.
  TAddressSlot Slot;
  // The redirector's counters; made when empty.
  std::shared_ptr<TRedirectorStats> Stats;
};

// A descriptor watched by a loop on behalf of its owner, who keeps it alive
// while it is watched. Loop thread only.
class TLoopWatch {
 public:
  TLoopWatch(const TLoopWatch&) = delete;
  TLoopWatch& operator=(const TLoopWatch&) = delete;
  // What epoll reported: EPOLLIN, EPOLLOUT, and EPOLLERR or EPOLLHUP, which
  // it reports for every registered descriptor whatever was asked.
  virtual void OnReady(std::uint32_t events) = 0;

 protected:
  TLoopWatch() = default;
  ~TLoopWatch() = default;

 private:
  friend class TRelayLoop;
  std::uint32_t watched_ = 0;  // events registered; 0: not registered
};

// A deadline kept by a loop; at most one per timer object. Loop thread only.
class TLoopTimer {
 public:
  TLoopTimer(const TLoopTimer&) = delete;
  TLoopTimer& operator=(const TLoopTimer&) = delete;
  virtual void OnTimer() = 0;
  bool Armed() const { return index_ != kNotArmed; }

 protected:
  TLoopTimer() = default;
  // Must not be armed any more.
  ~TLoopTimer() = default;

 private:
  friend class TRelayLoop;
  static constexpr std::size_t kNotArmed = std::numeric_limits<std::size_t>::max();
  std::int64_t deadline_ms_ = 0;
  std::size_t index_ = kNotArmed;  // position in the loop's heap
};

// What one loop has done; written by the loop thread, read by anyone.
struct TRelayLoopCounters {
  std::atomic<std::uint64_t> RelaysOpen{0};  // held by the loop now, connecting ones included
  std::atomic<std::uint64_t> RelaysTotal{0};
  std::atomic<std::uint64_t> BytesToTarget{0};
  std::atomic<std::uint64_t> BytesFromTarget{0};
};

class TRelayLoop final : public TThread {
 public:
  // Sets up the epoll and queue descriptors; Valid() says whether it could.
  TRelayLoop();
  // Stopped and joined by the owner first (Terminate, WaitFor).
  ~TRelayLoop() override;

  bool Valid() const { return epoll_.Valid() && queue_.Valid(); }
  // Lets Post() queue work; the owner calls it before Resume().
  void Open();
  // Refuses work from now on and closes the sockets of what was queued.
  // The loop thread at its end; the owner for a loop that never ran.
  void Shut();
  // Any thread. Queues |request| for the loop and returns at once; false
  // when the loop does not run (any more), and |request| is then destroyed,
  // which closes its socket.
  bool Post(TRelayRequest request);
  const TRelayLoopCounters& Counters() const { return counters_; }

  // The rest: loop thread only, for the relays.

  // Watches |fd| for |events| (EPOLLIN, EPOLLOUT) for |watch|; 0 stops
  // watching. Costs a system call only when the set changes. False when
  // epoll refused. Stop watching before closing |fd|.
  bool Watch(TLoopWatch& watch, int fd, std::uint32_t events);
  // Fires |timer| once at |deadline_ms| (NowMs() time); re-arming moves it.
  void Arm(TLoopTimer& timer, std::int64_t deadline_ms);
  void Disarm(TLoopTimer& timer);
  // Clocks read once per turn: monotonic, and wall clock since the epoch
  // (read on the turn's first use only: most turns never need it).
  std::int64_t NowMs() const { return now_ms_; }
  std::int64_t WallMs();
  TRelayBufferPool& Pool() { return pool_; }
  TRelayLoopCounters& MutableCounters() { return counters_; }
  // |relay| has ended; it is freed at the end of this turn.
  void Retire(TTCPRelay& relay);

 protected:
  void Execute() override;

 private:
  // A descriptor the loop only waits on: the queue's event, which the turn
  // looks for itself before anything else, and the thread's wake descriptor
  // (Terminate() makes it readable; the turn then ends and the loop sees
  // Terminated()).
  class TSignalWatch final : public TLoopWatch {
   public:
    void OnReady(std::uint32_t) override {}
  };

  void UpdateClock();
  int NextTimeoutMs() const;
  void RunTimers();
  void DrainQueue();
  void FreeRetired();
  void CloseAll();
  void SiftUp(std::size_t index);
  void SiftDown(std::size_t index);
  void Place(TLoopTimer* timer, std::size_t index);

  TUniqueFd epoll_;
  TEvent queue_;
  TMutex mu_;
  bool accepting_ GUARDED_BY(mu_) = false;
  std::vector<TRelayRequest> pending_ GUARDED_BY(mu_);
  std::vector<TRelayRequest> draining_;  // loop thread; swapped with pending_
  TSignalWatch queue_watch_;
  TSignalWatch wake_watch_;
  std::vector<std::unique_ptr<TTCPRelay>> relays_;  // each knows its index
  std::vector<TTCPRelay*> retired_;
  std::vector<TLoopTimer*> timers_;  // binary min-heap on deadline_ms_
  static constexpr std::int64_t kWallUnread = -1;
  std::int64_t now_ms_ = 0;
  std::int64_t wall_ms_ = kWallUnread;
  TRelayBufferPool pool_;
  TRelayLoopCounters counters_;
};

}  // namespace quorvane
