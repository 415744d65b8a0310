#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include "TestSupport.h"
#include "runtime/Log.h"
#include "runtime/SilentAbort.h"
#include "runtime/Thread.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// Blocks in poll on its wake descriptor only, like every real loop.
class TBlockedThread final : public TThread {
 public:
  explicit TBlockedThread(bool throw_instead = false) : throw_(throw_instead) {}
  ~TBlockedThread() override {
    Terminate();
    WaitFor();
  }
  std::atomic<bool> ran{false};

 protected:
  void Execute() override {
    ran = true;
    if (throw_) throw std::runtime_error("escapes");
    while (!Terminated()) {
      pollfd p{WakeFd(), POLLIN, 0};
      PollRetry(&p, 1, -1);
    }
  }

 private:
  bool throw_;
};

TEST(ThreadTest, TerminateWakesABlockedThreadAndTheEndHandlerRunsOnTheWaitingThread) {
  TBlockedThread thread;
  std::thread::id handler_thread;
  thread.SetOnTerminate([&] { handler_thread = std::this_thread::get_id(); });
  EXPECT_FALSE(thread.Started());
  ASSERT_TRUE(thread.Resume());
  EXPECT_FALSE(thread.Resume());
  ASSERT_TRUE(test::WaitUntil([&] { return thread.ran.load(); }));
  thread.Terminate();
  thread.WaitFor();
  EXPECT_TRUE(thread.Finished());
  EXPECT_EQ(handler_thread, std::this_thread::get_id());
}

// Runs |body| as its thread body.
class TThrowingThread final : public TThread {
 public:
  explicit TThrowingThread(std::function<void()> body) : body_(std::move(body)) {}
  ~TThrowingThread() override {
    Terminate();
    WaitFor();
  }

 protected:
  void Execute() override { body_(); }

 private:
  std::function<void()> body_;
};

TEST(ThreadTest, ExceptionEndsItsThreadWithOneLineButTheSilentAbortStaysSilent) {
  test::LogCapture capture;
  {
    TThrowingThread by_type([] { throw std::runtime_error("escapes"); });
    TThrowingThread named([] { throw 42; });
    named.SetName("session 127.0.0.1:5000");
    TThrowingThread silent([] { throw TSilentAbort{}; });
    for (TThread* thread : {&by_type, &named, &silent}) ASSERT_TRUE(thread->Resume());
    for (TThread* thread : {&by_type, &named, &silent}) {
      thread->WaitFor();
      EXPECT_TRUE(thread->Finished());
    }
  }
  EXPECT_TRUE(capture.Contains(
      "Thread quorvane::(anonymous namespace)::TThrowingThread ended by an exception: escapes"));
  EXPECT_TRUE(capture.Contains("Thread session 127.0.0.1:5000 ended by an exception: unknown exception"));
  EXPECT_EQ(capture.Lines().size(), 2u);

  auto never = std::make_unique<TBlockedThread>();
  never.reset();  // must neither run Execute nor hang
}

TEST(ThreadTest, LogLinesOfManyThreadsNeverMix) {
  test::LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Log("thread ", t, " line ", i, " value ", std::uint8_t{7});
    });
  }
  for (auto& t : threads) t.join();
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1600u);
  for (const auto& line : lines) EXPECT_EQ(line.substr(line.size() - 8), " value 7") << line;
}

}  // namespace
}  // namespace quorvane
