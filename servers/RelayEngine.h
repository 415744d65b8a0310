// TRelayEngine: the server's event-loop threads. A small fixed set of
// TRelayLoop threads (one per CPU by default), started with the server and
// stopped with it, on which everything that waits runs: the control
// listener and its sessions, every redirector's listener and UDP sessions,
// and every TCP relay. NextLoop() spreads new work over them.
//
// The engine's threads and descriptors (three per loop: epoll, wake event,
// thread stop event) exist from construction to destruction, so a running
// server's thread count does not move with sessions, redirectors or relays.
// Idle loops sleep in epoll_wait.
//
// Relays belong to their loop, not to the redirector that accepted them:
// they outlive a deleted redirector, and Stop() ends every one of them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "servers/RelayLoop.h"

namespace quorvane {

class TRelayEngine {
 public:
  // |loops| 0: one per CPU this process may run on.
  explicit TRelayEngine(std::size_t loops = 0, const TLoopClock& clock = {});
  TRelayEngine(const TRelayEngine&) = delete;
  TRelayEngine& operator=(const TRelayEngine&) = delete;
  // Stops the engine if it still runs.
  ~TRelayEngine();

  // Owner, once: starts every loop. False when a loop could not be set up
  // or started; the engine is then stopped and its loops refuse all work.
  bool Start();
  // Owner: ends every loop and joins it; every relay is closed, and work
  // posted but not yet run still runs on the loop's way out. Idempotent.
  void Stop();

  // Any thread: the loop that takes the next piece of work (round robin).
  TRelayLoop& NextLoop();
  TRelayLoop& Loop(std::size_t index) { return *loops_[index]; }

  std::size_t LoopCount() const { return loops_.size(); }
  // Any thread: |visit| with each loop's counters, for sums over them.
  template <class TVisit>
  void VisitCounters(TVisit visit) const {
    for (const auto& loop : loops_) visit(loop->Counters());
  }
  // Any thread: |counter| of every loop, summed.
  std::uint64_t Sum(const std::atomic<std::uint64_t> TRelayLoopCounters::*counter) const;

 private:
  std::vector<std::unique_ptr<TRelayLoop>> loops_;
  std::atomic<std::size_t> next_{0};
  bool started_ = false;  // owner thread only
};

// CPUs this process may run on, at least 1.
std::size_t AvailableCpus();

}  // namespace quorvane
