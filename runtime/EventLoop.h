// TEventLoop: one epoll loop with its timers and a queue of work posted from
// other threads. It knows nothing of what it serves: relays, listeners,
// control sessions and UDP redirectors are all its clients, each a
// TLoopWatch per descriptor and a TLoopTimer per deadline.
//
// A turn: wait in epoll_wait (time-out: the nearest timer, so an idle loop
// sleeps), read the clock once, run the posted tasks, dispatch each ready
// descriptor to its watch, fire the timers that are due, then run the work
// deferred to the end of the turn (freeing what ended during it).
//
// Threads: Post(), Stop() and InLoopThread() may be called from any thread;
// everything else belongs to the loop's thread, the one that runs Run() or
// RunOnce() (debug builds assert it). Before the first turn and after Run()
// has returned, the owner may act for the loop thread.
//
// A watch may be removed, and its object destroyed, at any point of a turn,
// even inside its own callback: the loop forgets the readiness it still held
// for it. A timer fires once per Arm(); equal deadlines fire in arming order.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <thread>
#include <vector>

#include "runtime/Clock.h"
#include "runtime/Mutex.h"
#include "runtime/Task.h"
#include "runtime/UniqueFd.h"

namespace quorvane {

class TEventLoop;

// A descriptor watched by a loop on behalf of its owner, who keeps it alive
// while it is watched and stops watching before closing the descriptor.
class TLoopWatch {
 public:
  TLoopWatch(const TLoopWatch&) = delete;
  TLoopWatch& operator=(const TLoopWatch&) = delete;
  // What epoll reported: EPOLLIN, EPOLLOUT, and EPOLLERR or EPOLLHUP, which
  // it reports for every registered descriptor whatever was asked.
  virtual void OnReady(std::uint32_t events) = 0;
  bool Watched() const { return watched_ != 0; }

 protected:
  TLoopWatch() = default;
  ~TLoopWatch() = default;

 private:
  friend class TEventLoop;
  std::uint32_t watched_ = 0;  // events registered; 0: not registered
  int fd_ = -1;                // while registered
};

// A deadline kept by a loop; at most one per timer object.
class TLoopTimer {
 public:
  TLoopTimer(const TLoopTimer&) = delete;
  TLoopTimer& operator=(const TLoopTimer&) = delete;
  virtual void OnTimer() = 0;
  bool Armed() const { return index_ != kNotArmed; }

 protected:
  TLoopTimer() = default;
  // Must be disarmed by then.
  ~TLoopTimer() = default;

 private:
  friend class TEventLoop;
  static constexpr std::size_t kNotArmed = std::numeric_limits<std::size_t>::max();
  std::int64_t deadline_ms_ = 0;
  std::uint64_t order_ = 0;        // arming order, for equal deadlines
  std::size_t index_ = kNotArmed;  // position in the loop's heap
};

// A timer that calls a function; for owners that keep several deadlines.
class TFunctionTimer final : public TLoopTimer {
 public:
  explicit TFunctionTimer(std::function<void()> fire) : fire_(std::move(fire)) {}
  void OnTimer() override { fire_(); }

 private:
  std::function<void()> fire_;
};

class TEventLoop {
 public:
  // Sets up the epoll and wake descriptors; Valid() says whether it could.
  explicit TEventLoop(TLoopClock clock = {});
  TEventLoop(const TEventLoop&) = delete;
  TEventLoop& operator=(const TEventLoop&) = delete;
  // Refuses posts, then runs what was posted before on the calling thread.
  ~TEventLoop();

  bool Valid() const { return epoll_.Valid() && wake_.Valid(); }

  // Any thread. Queues |task| for the loop's next turn and returns at once;
  // false once the loop is closed, and |task| is then destroyed unrun.
  bool Post(TTask&& task) { return TryPost(task); }
  // Post() that takes |task| only when it succeeds: refused, |task| is left
  // to the caller, unrun.
  bool TryPost(TTask& task);
  // Any thread: Run() returns after the turn under way.
  void Stop();
  // Any thread: refuses posts from now on. Tasks posted before still run
  // (Run() runs them on its way out).
  void Close();
  // Runs |fn| on the loop and returns when it has: at once when
  // InLoopThread(), and on the calling thread when the loop is closed (it
  // then touches nothing of its clients any more).
  void RunSync(const std::function<void()>& fn);
  // True on the loop's thread, and on any thread while no thread runs the
  // loop (before its first turn, after Run() has returned), when the owner
  // acts for it.
  // Any thread but the loop's: returns once a thread runs the loop (it has
  // taken a task posted now), or at once when the loop has closed. Until
  // then InLoopThread() is true everywhere.
  void AwaitRunning();
  bool InLoopThread() const {
    const std::thread::id owner = thread_.load(std::memory_order_acquire);
    return owner == std::thread::id() || owner == std::this_thread::get_id();
  }

  // The rest: loop thread only.

  // Runs turns until Stop(), then closes the loop and runs the tasks posted
  // before the close.
  void Run();
  // One turn, waiting at most |max_wait_ms| (< 0: until something happens).
  void RunOnce(int max_wait_ms);

  // Watches |fd| for |events| (EPOLLIN, EPOLLOUT, EPOLLET) for |watch|; 0
  // stops watching. Costs a system call only when the set changes. False
  // when epoll refused (the watch is then not registered).
  bool Watch(TLoopWatch& watch, int fd, std::uint32_t events);
  void Unwatch(TLoopWatch& watch);
  // Unwatch() for a descriptor the caller closes right after, which takes
  // it out of the epoll set by itself: spares the system call. Only for a
  // descriptor no other descriptor or process shares.
  void UnwatchClosing(TLoopWatch& watch);
  // Fires |timer| once at |deadline_ms| (NowMs() time); re-arming moves it.
  void Arm(TLoopTimer& timer, std::int64_t deadline_ms);
  void ArmAfter(TLoopTimer& timer, std::int64_t delay_ms) { Arm(timer, NowMs() + delay_ms); }
  void Disarm(TLoopTimer& timer);
  // Runs |task| at the end of this turn, after every callback of the turn.
  void Defer(TTask task);
  // The clocks, read once per turn.
  std::int64_t NowMs() const { return now_ms_; }
  std::int64_t WallMs();
  std::size_t TimerCount() const { return timers_.size(); }
  // Runs the deferred work now; for an owner finishing off after Run().
  void RunDeferred();
  // Closes the loop, then runs what was posted before and what that
  // deferred: Run()'s way out, for an owner whose loop never ran.
  void Drain();

 private:
  // The slow part of the loop-thread check; debug builds only.
  void AssertInLoop() const;
  void UpdateClock();
  int TimeoutMs(int max_wait_ms) const;
  void RunPosted();
  void RunTimers();
  bool Before(const TLoopTimer* a, const TLoopTimer* b) const;
  void SiftUp(std::size_t index);
  void SiftDown(std::size_t index);
  void Place(TLoopTimer* timer, std::size_t index);

  TLoopClock clock_;
  TUniqueFd epoll_;
  TUniqueFd wake_;  // eventfd: a post or Stop() makes the wait return
  std::atomic<std::thread::id> thread_{};
  std::atomic<bool> stop_{false};

  TMutex mu_;
  bool open_ GUARDED_BY(mu_) = true;
  std::vector<TTask> posted_ GUARDED_BY(mu_);
  std::vector<TTask> running_;  // loop thread; swapped with posted_

  static constexpr int kMaxEvents = 256;
  epoll_event events_[kMaxEvents]{};
  int dispatch_next_ = 0;   // first event of the turn not yet dispatched
  int dispatch_count_ = 0;  // events of the turn

  std::vector<TLoopTimer*> timers_;  // binary min-heap on (deadline, order)
  // Timers armed during RunTimers() for a time already passed, put back
  // into the heap when it ends; their index is kParked meanwhile.
  static constexpr std::size_t kParked = std::numeric_limits<std::size_t>::max() - 1;
  std::vector<TLoopTimer*> parked_;
  std::uint64_t next_order_ = 0;
  std::vector<TTask> deferred_;
  static constexpr std::int64_t kWallUnread = std::numeric_limits<std::int64_t>::min();
  std::int64_t now_ms_ = 0;
  std::int64_t wall_ms_ = kWallUnread;
};

}  // namespace quorvane
