#include "runtime/EventLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

// A steady clock the test moves by hand. It starts far from zero, so that a
// deadline taken for a delay (or the reverse) shows.
class TManualClock {
 public:
  TLoopClock Clock() {
    return {[this] { return now_.load(); }, [this] { return 1'700'000'000'000 + now_.load(); }};
  }
  std::int64_t Now() const { return now_.load(); }
  void Set(std::int64_t now) { now_.store(now); }

 private:
  std::atomic<std::int64_t> now_{1'000'000};
};

// Timers that note their number, and the loop's clock, when they fire.
class TTimers {
 public:
  TTimers(TEventLoop& loop, std::size_t count) : loop_(loop) {
    for (std::size_t i = 0; i < count; ++i) {
      timers_.push_back(std::make_unique<TFunctionTimer>([this, i] {
        fired.push_back(static_cast<int>(i));
        fired_at.push_back(loop_.NowMs());
      }));
    }
  }
  ~TTimers() {
    for (auto& timer : timers_) loop_.Disarm(*timer);
  }
  TFunctionTimer& operator[](std::size_t i) { return *timers_[i]; }

  std::vector<int> fired;
  std::vector<std::int64_t> fired_at;

 private:
  TEventLoop& loop_;
  std::vector<std::unique_ptr<TFunctionTimer>> timers_;
};

// A watch that counts its calls and then runs |on_ready|.
class TRecordingWatch final : public TLoopWatch {
 public:
  explicit TRecordingWatch(std::function<void()> on_ready = {}) : on_ready_(std::move(on_ready)) {}
  void OnReady(std::uint32_t /*events*/) override {
    ++calls;
    if (on_ready_) on_ready_();
  }
  int calls = 0;

 private:
  std::function<void()> on_ready_;
};

// A pipe with a byte waiting: its read end stays readable.
struct TReadyPipe {
  TReadyPipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
    read_end.Reset(fds[0]);
    write_end.Reset(fds[1]);
    EXPECT_EQ(::write(write_end.Get(), "x", 1), 1);
  }
  TUniqueFd read_end;
  TUniqueFd write_end;
};

TEST(EventLoopTest, TimersFireSortedByDeadlineThenArmingOrderAsArmedMovedAndDisarmed) {
  // Few distinct deadlines, so that many are equal, some already past and
  // half given as a delay from now; a third re-armed and a tenth disarmed
  // (twice), so that the heap is reshaped from inside. The clock moves 1 ms
  // a turn (each fires at its deadline, none before, a past one on the
  // first turn) or past all of them at once.
  for (const unsigned seed : {1u, 2u, 3u}) {
    for (const std::int64_t step : {1, 1000}) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", clock step " + std::to_string(step));
      std::mt19937 random(seed);
      TManualClock clock;
      TEventLoop loop(clock.Clock());
      constexpr std::size_t kTimers = 300;
      TTimers timers(loop, kTimers);
      const std::int64_t t0 = clock.Now();
      std::vector<std::size_t> order(kTimers);
      for (std::size_t i = 0; i < kTimers; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), random);
      // (deadline, arming sequence, timer) of what is armed.
      std::vector<std::tuple<std::int64_t, int, int>> armed(kTimers, {-1, -1, -1});
      int sequence = 0;
      const auto arm = [&](std::size_t i) {
        const std::int64_t deadline = t0 - 5 + static_cast<std::int64_t>(random() % 45);
        if (random() % 2 == 0) {
          loop.Arm(timers[i], deadline);
        } else {
          loop.ArmAfter(timers[i], deadline - t0);
        }
        armed[i] = {deadline, sequence++, static_cast<int>(i)};
      };
      for (const std::size_t i : order) arm(i);
      for (std::size_t n = 0; n < kTimers / 3; ++n) arm(random() % kTimers);
      for (std::size_t n = 0; n < kTimers / 10; ++n) {
        const std::size_t i = random() % kTimers;
        loop.Disarm(timers[i]);
        loop.Disarm(timers[i]);
        armed[i] = {-1, -1, -1};
      }
      std::erase_if(armed, [](const auto& entry) { return std::get<2>(entry) < 0; });
      std::sort(armed.begin(), armed.end());
      for (std::int64_t now = t0; now < t0 + 40 + step; now += step) {
        clock.Set(now);
        loop.RunOnce(0);
      }
      ASSERT_EQ(timers.fired.size(), armed.size());
      for (std::size_t k = 0; k < armed.size(); ++k) {
        ASSERT_EQ(timers.fired[k], std::get<2>(armed[k])) << "firing " << k;
        if (step == 1) {
          ASSERT_EQ(timers.fired_at[k], std::max(std::get<0>(armed[k]), t0)) << "firing " << k;
        }
      }
      EXPECT_EQ(loop.TimerCount(), 0u);
    }
  }
}

TEST(EventLoopTest, TimerReArmedForAPastTimeFromItsOwnCallbackFiresOnceATurnAndHoldsUpNoOther) {
  TManualClock clock;
  TEventLoop loop(clock.Clock());
  int again_calls = 0;
  std::vector<std::string> fired;
  // Bounded, so that a loop that keeps firing it within one turn shows as a
  // count rather than a hang.
  TFunctionTimer again([&] {
    fired.push_back("again");
    if (++again_calls < 100) loop.Arm(again, loop.NowMs() - 1);
  });
  TFunctionTimer other([&] { fired.push_back("other"); });
  const std::int64_t t0 = clock.Now();
  loop.Arm(again, t0 - 10);
  loop.Arm(other, t0);
  loop.RunOnce(0);
  EXPECT_EQ(again_calls, 1);
  // Due since before the turn: it fires in it, whatever the other re-arms.
  EXPECT_EQ(fired, (std::vector<std::string>{"again", "other"}));
  loop.RunOnce(0);
  EXPECT_EQ(again_calls, 2);
  loop.Disarm(again);
  loop.Disarm(other);
}

TEST(EventLoopTest, PostedTasksRunInPostingOrderFromEveryThread) {
  TManualClock clock;
  TEventLoop loop(clock.Clock());
  // Four other threads at once, and the loop's own, whose posts wait for
  // the next turn.
  constexpr int kThreads = 4;
  constexpr int kPosts = 2000;
  std::vector<std::vector<int>> ran(kThreads + 1);  // loop thread only
  std::atomic<int> count{0};
  const auto post = [&](int t, int i) {
    return loop.Post([&, t, i] {
      ran[static_cast<std::size_t>(t)].push_back(i);
      count.fetch_add(1);
    });
  };
  for (int i = 0; i < kPosts; ++i) ASSERT_TRUE(post(kThreads, i));
  EXPECT_EQ(count.load(), 0);
  std::vector<std::thread> posters;
  for (int t = 0; t < kThreads; ++t) {
    posters.emplace_back([&, t] {
      for (int i = 0; i < kPosts; ++i) post(t, i);
    });
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (count.load() < (kThreads + 1) * kPosts && std::chrono::steady_clock::now() < deadline)
    loop.RunOnce(50);
  for (auto& poster : posters) poster.join();
  loop.RunOnce(0);
  for (const auto& got : ran) {
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kPosts));
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  }
}

// The kernel's scheduling state of thread |tid| of this process ('S' while
// it sleeps in a system call such as epoll_wait).
char ThreadState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const std::size_t end_of_name = line.rfind(')');
  return end_of_name == std::string::npos || end_of_name + 2 >= line.size() ? '?' : line[end_of_name + 2];
}

TEST(EventLoopTest, PostWakesALoopBlockedInEpollWaitAndRunSyncReturnsOnceItsTaskRan) {
  TManualClock clock;
  TEventLoop loop(clock.Clock());
  {
    SCOPED_TRACE("a post wakes a loop that waits without a time-out");
    std::atomic<pid_t> loop_tid{0};
    std::atomic<bool> returned{false};
    std::atomic<bool> ran{false};
    std::thread runner([&] {
      loop_tid = static_cast<pid_t>(::syscall(SYS_gettid));
      loop.RunOnce(-1);
      returned = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return loop_tid.load() != 0 && ThreadState(loop_tid.load()) == 'S'; }));
    ASSERT_TRUE(loop.Post([&] { ran = true; }));
    const bool woken = WaitUntil([&] { return returned.load(); }, 10s);
    if (!woken) loop.Stop();  // the test has failed; let the runner end
    runner.join();
    EXPECT_TRUE(woken);
    EXPECT_TRUE(ran);
  }
  {
    SCOPED_TRACE("RunSync from another thread returns after its task ran on the loop");
    std::thread runner([&] { loop.Run(); });
    int value = 0;  // written on the loop, read here: RunSync orders the two
    bool on_loop = false;
    loop.RunSync([&] {
      value = 42;
      on_loop = loop.InLoopThread();
    });
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(on_loop);
    loop.Stop();
    runner.join();
    // Closed: it runs on the calling thread (and a loop that took the task
    // anyway is drained here, so that the caller does not wait for good).
    std::atomic<bool> returned{false};
    std::thread::id ran_on;
    std::thread::id caller;
    std::thread late([&] {
      caller = std::this_thread::get_id();
      loop.RunSync([&] { ran_on = std::this_thread::get_id(); });
      returned = true;
    });
    const bool ran_at_once = WaitUntil([&] { return returned.load(); });
    if (!ran_at_once) loop.Drain();
    late.join();
    EXPECT_TRUE(ran_at_once);
    EXPECT_EQ(ran_on, caller);
  }
}

TEST(EventLoopTest, TasksPostedBeforeTheLoopClosesRunAndLaterOnesAreRefusedAndDestroyed) {
  struct TCase {
    const char* name;
    // Posts tasks, ends the loop the case's way; returns when it has closed.
    std::function<void(std::unique_ptr<TEventLoop>&, std::vector<std::string>&)> end;
    std::vector<std::string> ran;
  };
  const std::vector<TCase> cases = {
      {"stopped by a task, which posts one more",
       [](std::unique_ptr<TEventLoop>& loop, std::vector<std::string>& ran) {
         TEventLoop& l = *loop;
         l.Post([&] {
           ran.push_back("stopper");
           l.Stop();
           EXPECT_TRUE(l.Post([&] { ran.push_back("posted by the stopper"); }));
         });
         l.Run();
       },
       {"stopper", "posted by the stopper"}},
      {"stopped from another thread while tasks wait",
       [](std::unique_ptr<TEventLoop>& loop, std::vector<std::string>& ran) {
         loop->Post([&] { ran.push_back("before the stop"); });
         std::thread([&] { loop->Stop(); }).join();
         loop->Post([&] { ran.push_back("after the stop, before the close"); });
         loop->Run();
       },
       {"before the stop", "after the stop, before the close"}},
      {"closed, never run",
       [](std::unique_ptr<TEventLoop>& loop, std::vector<std::string>& ran) {
         loop->Post([&] { ran.push_back("before the close"); });
         loop->Close();
         loop->RunOnce(0);  // a closed loop still runs what it holds
       },
       {"before the close"}},
      {"destroyed, never run",
       [](std::unique_ptr<TEventLoop>& loop, std::vector<std::string>& ran) {
         loop->Post([&] { ran.push_back("before the destruction"); });
         loop.reset();
       },
       {"before the destruction"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TManualClock clock;
    auto loop = std::make_unique<TEventLoop>(clock.Clock());
    std::vector<std::string> ran;
    c.end(loop, ran);
    EXPECT_EQ(ran, c.ran);
    if (!loop) continue;
    // Refused, and what the task owns is released at once.
    auto owned = std::make_shared<int>(0);
    EXPECT_FALSE(loop->Post([&ran, owned] { ran.push_back("refused"); }));
    EXPECT_EQ(owned.use_count(), 1);
    loop->RunOnce(0);
    loop.reset();
    EXPECT_EQ(ran, c.ran);
  }
}

TEST(EventLoopTest, WatchRemovedEarlierInTheTurnGetsNoFurtherEvents) {
  // Two descriptors ready in the same turn. Whichever callback runs first
  // removes (and maybe destroys) the other watch, or a posted task, which
  // runs before the turn's callbacks, removes one.
  enum class TRemover { kItself, kOtherWatch, kOtherWatchDestroying, kPostedTask };
  const std::vector<std::pair<const char*, TRemover>> cases = {
      {"removed by its own callback", TRemover::kItself},
      {"removed by another watch's callback", TRemover::kOtherWatch},
      {"removed and destroyed by another watch's callback", TRemover::kOtherWatchDestroying},
      {"removed by a task posted for the turn", TRemover::kPostedTask},
  };
  for (const auto& each : cases) {
    // Named copies: lambdas cannot capture a structured binding in C++20.
    const auto& name = each.first;
    const TRemover remover = each.second;
    SCOPED_TRACE(name);
    TManualClock clock;
    TEventLoop loop(clock.Clock());
    TReadyPipe pipes[2];
    std::unique_ptr<TRecordingWatch> watches[2];
    int removed_calls = 0;  // calls a watch got after its removal
    bool removed[2] = {false, false};
    const auto remove = [&](int i) {
      if (!watches[i] || removed[i]) return;
      loop.Unwatch(*watches[i]);
      removed[i] = true;
      if (remover == TRemover::kOtherWatchDestroying) watches[i].reset();
    };
    for (int i = 0; i < 2; ++i) {
      watches[i] = std::make_unique<TRecordingWatch>([&, i] {
        if (removed[i]) ++removed_calls;
        if (remover == TRemover::kItself) remove(i);
        if (remover == TRemover::kOtherWatch || remover == TRemover::kOtherWatchDestroying) remove(1 - i);
      });
      ASSERT_TRUE(loop.Watch(*watches[i], pipes[i].read_end.Get(), EPOLLIN));
    }
    if (remover == TRemover::kPostedTask) loop.Post([&] { remove(0); });
    // The pipes stay readable: a watch still registered is called every turn.
    for (int turn = 0; turn < 3; ++turn) loop.RunOnce(0);
    EXPECT_EQ(removed_calls, 0);
    if (remover == TRemover::kItself) {
      EXPECT_EQ(watches[0]->calls, 1);
      EXPECT_EQ(watches[1]->calls, 1);
    } else {
      EXPECT_EQ(removed[0] + removed[1], 1);
      const int survivor = removed[0] ? 1 : 0;
      EXPECT_EQ(watches[survivor]->calls, 3);
      if (watches[1 - survivor]) {
        EXPECT_EQ(watches[1 - survivor]->calls, 0);
      }
      loop.Unwatch(*watches[survivor]);
    }
  }
}

TEST(EventLoopTest, DeferredWorkRunsAfterEveryCallbackOfTheTurn) {
  TManualClock clock;
  TEventLoop loop(clock.Clock());
  std::vector<std::string> log;
  TReadyPipe pipe;
  TRecordingWatch* self = nullptr;
  TRecordingWatch watch([&] {
    log.push_back("watch");
    loop.Unwatch(*self);
    loop.Defer([&] { log.push_back("deferred by the watch"); });
  });
  self = &watch;
  ASSERT_TRUE(loop.Watch(watch, pipe.read_end.Get(), EPOLLIN));
  TFunctionTimer timer([&] {
    log.push_back("timer");
    loop.Defer([&] {
      log.push_back("deferred by the timer");
      loop.Defer([&] { log.push_back("deferred by deferred work"); });
    });
  });
  loop.Arm(timer, clock.Now());
  loop.Post([&] {
    log.push_back("task");
    loop.Defer([&] { log.push_back("deferred by the task"); });
  });
  loop.RunOnce(0);
  const std::vector<std::string> expected = {"task",
                                             "watch",
                                             "timer",
                                             "deferred by the task",
                                             "deferred by the watch",
                                             "deferred by the timer",
                                             "deferred by deferred work"};
  EXPECT_EQ(log, expected);
  loop.RunOnce(0);
  EXPECT_EQ(log, expected);
}

}  // namespace
}  // namespace quorvane
