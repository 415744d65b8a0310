#include "runtime/EventLoop.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace quorvane {

TEventLoop::TEventLoop(TLoopClock clock)
    : clock_(std::move(clock)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!clock_.Steady) clock_.Steady = SteadyMs;
  if (!clock_.Wall) clock_.Wall = quorvane::WallMs;
  if (!Valid()) return;
  // Edge-triggered: every write reports once, so the counter never needs
  // reading back (it would take 2^64 posts to fill it).
  epoll_event event{};
  event.events = EPOLLIN | EPOLLET;
  event.data.ptr = nullptr;
  if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, wake_.Get(), &event) != 0) epoll_.Reset();
  UpdateClock();
}

TEventLoop::~TEventLoop() {
  // Whatever was posted still runs once, here: a task may own a socket or
  // signal a waiter.
  Drain();
}

void TEventLoop::Drain() {
  Close();
  RunPosted();
  RunDeferred();
}

bool TEventLoop::TryPost(TTask& task) {
  bool wake = false;
  {
    TMutexLock lock(mu_);
    if (!open_) return false;
    // Only the first task of a batch wakes the loop; the rest ride along.
    wake = posted_.empty();
    posted_.push_back(std::move(task));
  }
  if (wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
  }
  return true;
}

void TEventLoop::Stop() {
  stop_.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wake_.Get(), &one, sizeof one);
}

void TEventLoop::Close() {
  TMutexLock lock(mu_);
  open_ = false;
}

namespace {

// Posts |fn| to |loop| and waits until it has run; false when the loop
// refused it.
bool PostAndWait(TEventLoop& loop, const std::function<void()>& fn) {
  struct TState {
    std::mutex Mu;
    std::condition_variable DoneCv;
    bool Done = false;
  };
  auto state = std::make_shared<TState>();
  const bool posted = loop.Post([state, &fn] {
    fn();
    {
      std::lock_guard<std::mutex> lock(state->Mu);
      state->Done = true;
    }
    state->DoneCv.notify_all();
  });
  if (!posted) return false;
  std::unique_lock<std::mutex> lock(state->Mu);
  state->DoneCv.wait(lock, [&] { return state->Done; });
  return true;
}

}  // namespace

void TEventLoop::RunSync(const std::function<void()>& fn) {
  if (InLoopThread() || !PostAndWait(*this, fn)) fn();
}

void TEventLoop::AwaitRunning() {
  PostAndWait(*this, [] {});
}

void TEventLoop::AssertInLoop() const { assert(InLoopThread() && "loop thread only"); }

void TEventLoop::Run() {
  thread_.store(std::this_thread::get_id(), std::memory_order_release);
  while (!stop_.load(std::memory_order_acquire)) RunOnce(-1);
  Drain();
  thread_.store(std::thread::id(), std::memory_order_release);
}

void TEventLoop::RunOnce(int max_wait_ms) {
  AssertInLoop();
  UpdateClock();
  const int count = ::epoll_wait(epoll_.Get(), events_, kMaxEvents, TimeoutMs(max_wait_ms));
  UpdateClock();
  // Known before the posted work runs: a task may remove a watch whose
  // readiness this turn holds.
  dispatch_next_ = 0;
  dispatch_count_ = count > 0 ? count : 0;
  // Posted work first: it is mostly new connections, whose players wait for
  // a first answer, while the rest of the turn has waited already.
  RunPosted();
  while (dispatch_next_ < dispatch_count_) {
    const epoll_event& event = events_[dispatch_next_++];
    // Null: the wake descriptor, or a watch removed earlier in this turn.
    if (event.data.ptr != nullptr) static_cast<TLoopWatch*>(event.data.ptr)->OnReady(event.events);
  }
  dispatch_count_ = 0;
  dispatch_next_ = 0;
  RunTimers();
  RunDeferred();
}

bool TEventLoop::Watch(TLoopWatch& watch, int fd, std::uint32_t events) {
  AssertInLoop();
  if (events == 0) {
    Unwatch(watch);
    return true;
  }
  if (events == watch.watched_ && fd == watch.fd_) return true;
  assert((watch.watched_ == 0 || fd == watch.fd_) && "a watch follows one descriptor at a time");
  const int op = watch.watched_ == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  epoll_event event{};
  event.events = events;
  event.data.ptr = &watch;
  if (::epoll_ctl(epoll_.Get(), op, fd, &event) != 0) return false;
  watch.watched_ = events;
  watch.fd_ = fd;
  return true;
}

void TEventLoop::Unwatch(TLoopWatch& watch) {
  AssertInLoop();
  if (watch.watched_ == 0) return;
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, watch.fd_, nullptr);
  UnwatchClosing(watch);
}

void TEventLoop::UnwatchClosing(TLoopWatch& watch) {
  AssertInLoop();
  if (watch.watched_ == 0) return;
  watch.watched_ = 0;
  watch.fd_ = -1;
  // What this turn still holds for it must not reach it: its owner may free
  // it as soon as this returns.
  for (int i = dispatch_next_; i < dispatch_count_; ++i) {
    if (events_[i].data.ptr == &watch) events_[i].data.ptr = nullptr;
  }
}

void TEventLoop::Arm(TLoopTimer& timer, std::int64_t deadline_ms) {
  AssertInLoop();
  if (timer.index_ == kParked) {
    std::erase(parked_, &timer);
    timer.index_ = TLoopTimer::kNotArmed;
  }
  timer.deadline_ms_ = deadline_ms;
  timer.order_ = next_order_++;
  if (!timer.Armed()) {
    timers_.push_back(&timer);
    timer.index_ = timers_.size() - 1;
  }
  SiftUp(timer.index_);
  SiftDown(timer.index_);
}

void TEventLoop::Disarm(TLoopTimer& timer) {
  AssertInLoop();
  if (timer.index_ == kParked) {
    std::erase(parked_, &timer);
    timer.index_ = TLoopTimer::kNotArmed;
    return;
  }
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

void TEventLoop::Defer(TTask task) {
  AssertInLoop();
  deferred_.push_back(std::move(task));
}

std::int64_t TEventLoop::WallMs() {
  if (wall_ms_ == kWallUnread) wall_ms_ = clock_.Wall();
  return wall_ms_;
}

void TEventLoop::UpdateClock() {
  now_ms_ = clock_.Steady();
  wall_ms_ = kWallUnread;
}

int TEventLoop::TimeoutMs(int max_wait_ms) const {
  if (stop_.load(std::memory_order_acquire)) return 0;
  if (timers_.empty()) return max_wait_ms;
  const std::int64_t left = timers_.front()->deadline_ms_ - now_ms_;
  const int until_timer = left <= 0 ? 0 : left > (1 << 30) ? (1 << 30) : static_cast<int>(left);
  return max_wait_ms < 0 || until_timer < max_wait_ms ? until_timer : max_wait_ms;
}

void TEventLoop::RunPosted() {
  // A task posted after the swap finds the queue empty and wakes the loop
  // again; one posted before it is in this batch.
  {
    TMutexLock lock(mu_);
    if (posted_.empty()) return;
    running_.swap(posted_);
  }
  for (TTask& task : running_) task();
  running_.clear();
}

void TEventLoop::RunTimers() {
  // A timer armed again from a callback for a time already passed is set
  // aside and fires in the next turn (which then does not wait): no turn
  // runs forever, and it holds up no other timer that is due.
  const std::uint64_t armed_before = next_order_;
  while (!timers_.empty() && timers_.front()->deadline_ms_ <= now_ms_) {
    TLoopTimer* timer = timers_.front();
    Disarm(*timer);
    if (timer->order_ >= armed_before) {
      parked_.push_back(timer);
      timer->index_ = kParked;
      continue;
    }
    timer->OnTimer();
  }
  for (TLoopTimer* timer : parked_) {
    timers_.push_back(timer);
    Place(timer, timers_.size() - 1);
    SiftUp(timer->index_);
  }
  parked_.clear();
}

void TEventLoop::RunDeferred() {
  // Deferred work may defer more; it runs in this turn too.
  while (!deferred_.empty()) {
    std::vector<TTask> batch;
    batch.swap(deferred_);
    for (TTask& task : batch) task();
  }
}

bool TEventLoop::Before(const TLoopTimer* a, const TLoopTimer* b) const {
  return a->deadline_ms_ < b->deadline_ms_ || (a->deadline_ms_ == b->deadline_ms_ && a->order_ < b->order_);
}

void TEventLoop::Place(TLoopTimer* timer, std::size_t index) {
  timers_[index] = timer;
  timer->index_ = index;
}

void TEventLoop::SiftUp(std::size_t index) {
  TLoopTimer* timer = timers_[index];
  while (index > 0) {
    const std::size_t parent = (index - 1) / 2;
    if (!Before(timer, timers_[parent])) break;
    Place(timers_[parent], index);
    index = parent;
  }
  Place(timer, index);
}

void TEventLoop::SiftDown(std::size_t index) {
  TLoopTimer* timer = timers_[index];
  for (;;) {
    std::size_t child = 2 * index + 1;
    if (child >= timers_.size()) break;
    if (child + 1 < timers_.size() && Before(timers_[child + 1], timers_[child])) ++child;
    if (!Before(timers_[child], timer)) break;
    Place(timers_[child], index);
    index = child;
  }
  Place(timer, index);
}

}  // namespace quorvane
