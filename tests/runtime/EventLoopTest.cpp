#include "runtime/EventLoop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <fstream>
#include <memory>
#include <numeric>
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
struct TReadyPipe : TPipe {
  TReadyPipe() : TPipe(O_NONBLOCK) { EXPECT_EQ(::write(WriteEnd.Get(), "x", 1), 1); }
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
      std::vector<int> fired;  // timer numbers, and the loop's clock, as they fire
      std::vector<std::int64_t> fired_at;
      std::deque<TFunctionTimer> timers;  // all fire or are disarmed before the loop goes
      for (std::size_t i = 0; i < kTimers; ++i) {
        timers.emplace_back([&, i] {
          fired.push_back(static_cast<int>(i));
          fired_at.push_back(loop.NowMs());
        });
      }
      const std::int64_t t0 = clock.Now();
      std::vector<std::size_t> order(kTimers);
      std::iota(order.begin(), order.end(), 0);
      std::shuffle(order.begin(), order.end(), random);
      // (deadline, arming sequence, timer) of what is armed.
      std::vector<std::tuple<std::int64_t, int, int>> armed(kTimers, {-1, -1, -1});
      int sequence = 0;
      const auto arm = [&](std::size_t i) {
        const std::int64_t deadline = t0 - 5 + static_cast<std::int64_t>(random() % 45);
        random() % 2 == 0 ? loop.Arm(timers[i], deadline) : loop.ArmAfter(timers[i], deadline - t0);
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
      ASSERT_EQ(fired.size(), armed.size());
      for (std::size_t k = 0; k < armed.size(); ++k) {
        ASSERT_EQ(fired[k], std::get<2>(armed[k])) << "firing " << k;
        if (step == 1) {
          ASSERT_EQ(fired_at[k], std::max(std::get<0>(armed[k]), t0)) << "firing " << k;
        }
      }
      EXPECT_EQ(loop.TimerCount(), 0u);
    }
  }
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
  std::vector<int> in_order(kPosts);
  std::iota(in_order.begin(), in_order.end(), 0);
  EXPECT_EQ(ran, std::vector(kThreads + 1, in_order));
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
    bool on_loop = false;  // written on the loop, read here: RunSync orders the two
    loop.RunSync([&] { on_loop = loop.InLoopThread(); });
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
       [](auto& loop, auto& ran) {
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
       [](auto& loop, auto& ran) {
         loop->Post([&] { ran.push_back("before the stop"); });
         std::thread([&] { loop->Stop(); }).join();
         loop->Post([&] { ran.push_back("after the stop, before the close"); });
         loop->Run();
       },
       {"before the stop", "after the stop, before the close"}},
      {"closed, never run",
       [](auto& loop, auto& ran) {
         loop->Post([&] { ran.push_back("before the close"); });
         loop->Close();
         loop->RunOnce(0);  // a closed loop still runs what it holds
       },
       {"before the close"}},
      {"destroyed, never run",
       [](auto& loop, auto& ran) {
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
  // Two descriptors ready in the same turn. A watch is removed by its own
  // callback, by the other's that runs first (and maybe destroyed), or by a
  // task posted for the turn, which runs before the turn's callbacks. The
  // trace names the case by its place here.
  enum class TRemover { kItself, kOtherWatch, kOtherWatchDestroying, kPostedTask };
  for (const TRemover remover :
       {TRemover::kItself, TRemover::kOtherWatch, TRemover::kOtherWatchDestroying, TRemover::kPostedTask}) {
    SCOPED_TRACE(static_cast<int>(remover));
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
      ASSERT_TRUE(loop.Watch(*watches[i], pipes[i].ReadEnd.Get(), EPOLLIN));
    }
    if (remover == TRemover::kPostedTask) loop.Post([&] { remove(0); });
    // The pipes stay readable: a watch still registered is called every turn.
    for (int turn = 0; turn < 3; ++turn) loop.RunOnce(0);
    // Each removed itself after one call; otherwise one was removed before
    // its call and the other was called every turn.
    EXPECT_EQ(removed_calls, 0);
    const bool itself = remover == TRemover::kItself;
    EXPECT_EQ(removed[0] + removed[1], itself ? 2 : 1);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(watches[i] ? watches[i]->calls : 0, itself ? 1 : removed[i] ? 0 : 3) << i;
      if (!removed[i]) loop.Unwatch(*watches[i]);
    }
  }
}

// A timer that re-arms itself for a past time is due again, but only in the
// next turn, and holds up no other timer due in this one; work deferred by
// anything runs after every callback of the turn.
TEST(EventLoopTest, TurnRunsEachDueTimerOnceEvenReArmedForThePastAndDeferredWorkLast) {
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
  ASSERT_TRUE(loop.Watch(watch, pipe.ReadEnd.Get(), EPOLLIN));
  int timer_calls = 0;
  TFunctionTimer timer([&] {
    log.push_back("timer");
    // Bounded, so that a loop that keeps firing it within one turn shows as
    // a count rather than a hang.
    if (++timer_calls < 100) loop.Arm(timer, loop.NowMs() - 1);
    loop.Defer([&] {
      log.push_back("deferred by the timer");
      loop.Defer([&] { log.push_back("deferred by deferred work"); });
    });
  });
  TFunctionTimer later([&] { log.push_back("later timer"); });
  loop.Arm(timer, clock.Now() - 10);
  loop.Arm(later, clock.Now());
  loop.Post([&] {
    log.push_back("task");
    loop.Defer([&] { log.push_back("deferred by the task"); });
  });
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"task", "watch", "timer", "later timer", "deferred by the task",
                                           "deferred by the watch", "deferred by the timer",
                                           "deferred by deferred work"}));
  log.clear();
  loop.RunOnce(0);
  EXPECT_EQ(log, (std::vector<std::string>{"timer", "deferred by the timer", "deferred by deferred work"}));
  loop.Disarm(timer);
}

}  // namespace
}  // namespace quorvane
