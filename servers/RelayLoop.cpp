#include "servers/RelayLoop.h"

#include <signal.h>

#include <cassert>
#include <cerrno>
#include <chrono>
#include <utility>

#include "servers/TCPRelay.h"

namespace quorvane {
namespace {

// Events taken from the kernel per turn; more wait for the next turn.
constexpr int kMaxEvents = 256;

std::int64_t MillisOf(std::chrono::nanoseconds since_epoch) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch).count();
}

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

TRelayLoop::TRelayLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

TRelayLoop::~TRelayLoop() {
  // A loop that never ran may still hold queued requests; destroying them
  // closes their sockets.
  assert(relays_.empty());
}

void TRelayLoop::Open() {
  TMutexLock lock(mu_);
  accepting_ = true;
}

bool TRelayLoop::Post(TRelayRequest request) {
  bool wake = false;
  {
    TMutexLock lock(mu_);
    if (!accepting_) return false;
    // Only the first request of a batch wakes the loop; the rest ride along.
    wake = pending_.empty();
    pending_.push_back(std::move(request));
  }
  if (wake) queue_.Set();
  return true;
}

bool TRelayLoop::Watch(TLoopWatch& watch, int fd, std::uint32_t events) {
  if (events == watch.watched_) return true;
  const int op = watch.watched_ == 0 ? EPOLL_CTL_ADD : events == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
  epoll_event event{};
  event.events = events;
  event.data.ptr = &watch;
  const bool done = ::epoll_ctl(epoll_.Get(), op, fd, &event) == 0;
  // A failed removal leaves nothing registered that could be reported.
  if (done || op == EPOLL_CTL_DEL) watch.watched_ = events;
  return done;
}

void TRelayLoop::Arm(TLoopTimer& timer, std::int64_t deadline_ms) {
  timer.deadline_ms_ = deadline_ms;
  if (!timer.Armed()) {
    timers_.push_back(&timer);
    timer.index_ = timers_.size() - 1;
  }
  SiftUp(timer.index_);
  SiftDown(timer.index_);
}

void TRelayLoop::Disarm(TLoopTimer& timer) {
  if (!timer.Armed()) return;
  const std::size_t index = timer.index_;
  TLoopTimer* last = timers_.back();
  timers_.pop_back();
  timer.index_ = TLoopTimer::kNotArmed;
  if (last == &timer) return;
  Place(last, index);
  SiftUp(index);
  SiftDown(last->index_);
}

void TRelayLoop::Place(TLoopTimer* timer, std::size_t index) {
  timers_[index] = timer;
  timer->index_ = index;
}

void TRelayLoop::SiftUp(std::size_t index) {
  TLoopTimer* timer = timers_[index];
  while (index > 0) {
    const std::size_t parent = (index - 1) / 2;
    if (timers_[parent]->deadline_ms_ <= timer->deadline_ms_) break;
    Place(timers_[parent], index);
    index = parent;
  }
  Place(timer, index);
}

void TRelayLoop::SiftDown(std::size_t index) {
  TLoopTimer* timer = timers_[index];
  for (;;) {
    std::size_t child = 2 * index + 1;
    if (child >= timers_.size()) break;
    if (child + 1 < timers_.size() && timers_[child + 1]->deadline_ms_ < timers_[child]->deadline_ms_)
      ++child;
    if (timer->deadline_ms_ <= timers_[child]->deadline_ms_) break;
    Place(timers_[child], index);
    index = child;
  }
  Place(timer, index);
}

void TRelayLoop::Retire(TTCPRelay& relay) { retired_.push_back(&relay); }

void TRelayLoop::UpdateClock() {
  now_ms_ = MillisOf(std::chrono::steady_clock::now().time_since_epoch());
  wall_ms_ = kWallUnread;
}

std::int64_t TRelayLoop::WallMs() {
  if (wall_ms_ == kWallUnread) wall_ms_ = MillisOf(std::chrono::system_clock::now().time_since_epoch());
  return wall_ms_;
}

int TRelayLoop::NextTimeoutMs() const {
  if (timers_.empty()) return -1;
  const std::int64_t left = timers_.front()->deadline_ms_ - now_ms_;
  return left <= 0 ? 0 : static_cast<int>(left);
}

void TRelayLoop::Execute() {
  BlockSigPipe();
  // The queue's event is edge-triggered: every Set() reports it once, so
  // it never needs reading back (the counter cannot fill up in practice: it
  // would take 2^64 batches).
  if (!Watch(wake_watch_, WakeFd(), EPOLLIN) || !Watch(queue_watch_, queue_.Fd(), EPOLLIN | EPOLLET)) {
    CloseAll();
    return;
  }
  epoll_event events[kMaxEvents];
  UpdateClock();
  while (!Terminated()) {
    // The clock of the turn that just ended: at worst a timer fires that
    // turn's length late, never early.
    const int count = ::epoll_wait(epoll_.Get(), events, kMaxEvents, NextTimeoutMs());
    if (count < 0 && errno != EINTR) break;
    UpdateClock();
    // New connections first: their players wait for the first answer, while
    // the rest of the turn is mostly bytes that have waited already, or ends.
    for (int i = 0; i < count; ++i) {
      if (events[i].data.ptr == &queue_watch_) DrainQueue();
    }
    for (int i = 0; i < count; ++i) static_cast<TLoopWatch*>(events[i].data.ptr)->OnReady(events[i].events);
    RunTimers();
    FreeRetired();
  }
  CloseAll();
}

void TRelayLoop::RunTimers() {
  while (!timers_.empty() && timers_.front()->deadline_ms_ <= now_ms_) {
    TLoopTimer* timer = timers_.front();
    Disarm(*timer);
    timer->OnTimer();
  }
}

void TRelayLoop::DrainQueue() {
  // A request posted after the swap finds the queue empty and sets the
  // event again; one posted before it is in the batch.
  {
    TMutexLock lock(mu_);
    draining_.swap(pending_);
  }
  for (TRelayRequest& request : draining_) {
    auto relay = std::make_unique<TTCPRelay>(*this, std::move(request));
    TTCPRelay& started = *relay;
    relay->index_ = relays_.size();
    relays_.push_back(std::move(relay));
    counters_.RelaysOpen.store(relays_.size(), std::memory_order_relaxed);
    counters_.RelaysTotal.store(counters_.RelaysTotal.load(std::memory_order_relaxed) + 1,
                                std::memory_order_relaxed);
    started.Start();
  }
  draining_.clear();
}

void TRelayLoop::FreeRetired() {
  if (retired_.empty()) return;
  for (TTCPRelay* relay : retired_) {
    const std::size_t index = relay->index_;
    if (index + 1 != relays_.size()) {
      relays_[index] = std::move(relays_.back());
      relays_[index]->index_ = index;
    }
    // Closes nothing more: the relay closed its sockets when it ended.
    relays_.pop_back();
  }
  retired_.clear();
  counters_.RelaysOpen.store(relays_.size(), std::memory_order_relaxed);
}

void TRelayLoop::Shut() {
  std::vector<TRelayRequest> unstarted;
  {
    TMutexLock lock(mu_);
    accepting_ = false;
    unstarted.swap(pending_);
  }
  // Destroyed outside the lock: closing sockets takes time.
}

void TRelayLoop::CloseAll() {
  Shut();
  for (auto& relay : relays_) relay->Abort();
  FreeRetired();
}

}  // namespace quorvane
