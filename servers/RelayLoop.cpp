#include "servers/RelayLoop.h"

#include <malloc.h>
#include <signal.h>

#include <algorithm>
#include <cassert>
#include <utility>
#include <vector>

#include "servers/TCPRelay.h"

namespace quorvane {
namespace {

// splice() into a socket cannot pass MSG_NOSIGNAL, so a peer that has gone
// would raise SIGPIPE and end the process. Blocked on the loop thread, the
// signal stays pending and the splice reports EPIPE.
void BlockSigPipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

TRelayLoop::TRelayLoop(TLoopClock clock)
    : loop_(std::move(clock)), trim_timer_([this] { batch_.Trim(); }), heap_trim_timer_([this] {
        freed_since_trim_ = 0;
        // Every arena, not only this thread's: whichever loop trims first
        // gives back what the others freed too.
        ::malloc_trim(0);
      }) {}

TRelayLoop::~TRelayLoop() {
  // A loop that never ran still runs what was posted to it, here, while
  // every member those tasks may touch is alive; one that ran did so and
  // ended its relays on its way out.
  if (!Started()) {
    loop_.Drain();
    CloseAll();
  }
  // A client freed after the loop stopped (a redirector destroyed late)
  // may have planned a trim that will not come.
  loop_.Disarm(heap_trim_timer_);
  assert(relays_.empty());
}

bool TRelayLoop::Resume() {
  if (!TThread::Resume()) return false;
  loop_.AwaitRunning();
  return true;
}

void TRelayLoop::StartRelay(TRelayRequest request) {
  auto relay = std::make_unique<TTCPRelay>(*this, std::move(request));
  TTCPRelay& started = *relay;
  relays_.emplace(&started, std::move(relay));
  counters_.RelaysOpen.store(relays_.size(), std::memory_order_relaxed);
  counters_.RelaysTotal.store(counters_.RelaysTotal.load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
  started.Start();
}

void TRelayLoop::RelayEnded(TTCPRelay& relay) {
  auto found = relays_.find(&relay);
  if (found == relays_.end()) return;
  std::unique_ptr<TTCPRelay> ended = std::move(found->second);
  relays_.erase(found);
  counters_.RelaysOpen.store(relays_.size(), std::memory_order_relaxed);
  // Not now: one of its handlers is most likely running.
  loop_.Defer([ended = std::move(ended)] {});
  ClientFreed();
}

void TRelayLoop::ClientFreed() {
  if (++freed_since_trim_ < kHeapTrimAfterFrees) return;
  // Moved back by every free, so that the trim comes once the burst is
  // over, not in the middle of it; but never later than kHeapTrimMaxDelayMs
  // after the burst's first free past the threshold.
  const std::int64_t now = loop_.NowMs();
  if (!heap_trim_timer_.Armed()) heap_trim_latest_ = now + kHeapTrimMaxDelayMs;
  loop_.Arm(heap_trim_timer_, std::min(now + kHeapTrimDelayMs, heap_trim_latest_));
}

void TRelayLoop::BatchUsed() {
  if (!trim_timer_.Armed() && batch_.ResidentBytes() > kRetainedSlotBytes) {
    loop_.ArmAfter(trim_timer_, kBatchTrimDelayMs);
  }
}

void TRelayLoop::AddShedder(TSessionShedder& shedder) { shedders_.push_back(&shedder); }

void TRelayLoop::RemoveShedder(TSessionShedder& shedder) { std::erase(shedders_, &shedder); }

bool TRelayLoop::ShedLocally() {
  TSessionShedder* oldest = nullptr;
  std::int64_t oldest_at = TSessionShedder::kNone;
  for (TSessionShedder* shedder : shedders_) {
    const std::int64_t at = shedder->OldestUnconfirmed();
    if (at < oldest_at) {
      oldest = shedder;
      oldest_at = at;
    }
  }
  if (oldest == nullptr) return false;
  oldest->ShedUnconfirmed();
  return true;
}

bool TRelayLoop::ShedUnconfirmed() {
  if (ShedLocally()) return true;
  for (TRelayLoop* sibling : siblings_) {
    if (sibling == this || sibling->shed_asked_.exchange(true, std::memory_order_acq_rel)) continue;
    sibling->Post([sibling] {
      sibling->shed_asked_.store(false, std::memory_order_release);
      for (std::size_t shed = 0;
           shed < kShedBatch && fd_budget::UnderPressure(fd_budget::TFdKind::kRedirector) &&
           sibling->ShedLocally();
           ++shed) {
      }
    });
  }
  return false;
}

void TRelayLoop::Execute() {
  BlockSigPipe();
  loop_.Run();
  CloseAll();
}

void TRelayLoop::CloseAll() {
  std::vector<TTCPRelay*> open;
  open.reserve(relays_.size());
  for (const auto& entry : relays_) open.push_back(entry.first);
  for (TTCPRelay* relay : open) relay->Abort();
  // The aborted relays' frees were deferred to a turn that will not come.
  loop_.RunDeferred();
  loop_.Disarm(trim_timer_);
  loop_.Disarm(heap_trim_timer_);
}

}  // namespace quorvane
