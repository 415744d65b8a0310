#include "servers/RelayEngine.h"

#include <sched.h>

#include <utility>
#include <vector>

#include "servers/TCPRelay.h"

namespace quorvane {

std::size_t AvailableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<std::size_t>(count) : 1;
}

TRelayEngine::TRelayEngine(std::size_t loops, const TLoopClock& clock) {
  const std::size_t count = loops != 0 ? loops : AvailableCpus();
  loops_.reserve(count);
  for (std::size_t i = 0; i < count; ++i) loops_.push_back(std::make_unique<TRelayLoop>(clock));
  std::vector<TRelayLoop*> all;
  for (auto& loop : loops_) all.push_back(loop.get());
  for (auto& loop : loops_) loop->SetSiblings(all);
}

TRelayEngine::~TRelayEngine() { Stop(); }

bool TRelayEngine::Start() {
  if (started_) return false;
  started_ = true;
  for (auto& loop : loops_) {
    if (!loop->Valid()) {
      Stop();
      return false;
    }
    if (!loop->Resume()) {
      Stop();
      return false;
    }
  }
  return true;
}

void TRelayEngine::Stop() {
  for (auto& loop : loops_) loop->Terminate();
  for (auto& loop : loops_) {
    if (loop->Started()) {
      loop->WaitFor();
    } else {
      // Never ran: refuse from now on, and run (so close) what was queued.
      loop->Loop().Close();
    }
  }
}

TRelayLoop& TRelayEngine::NextLoop() {
  const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed) % loops_.size();
  return *loops_[index];
}

std::uint64_t TRelayEngine::Sum(const std::atomic<std::uint64_t> TRelayLoopCounters::*counter) const {
  std::uint64_t sum = 0;
  VisitCounters([&](const TRelayLoopCounters& counters) {
    sum += (counters.*counter).load(std::memory_order_relaxed);
  });
  return sum;
}

}  // namespace quorvane
