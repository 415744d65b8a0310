#include "runtime/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include "TestSupport.h"
#include "runtime/SilentAbort.h"

namespace quorvane {
namespace {

// Runs |body|, or without one blocks in poll on its wake descriptor only,
// like every real loop.
class TTestThread final : public TThread {
 public:
  explicit TTestThread(std::function<void()> body = {}) : body_(std::move(body)) {}
  ~TTestThread() override {
    Terminate();
    WaitFor();
  }
  std::atomic<bool> ran{false};

 protected:
  void Execute() override {
    ran = true;
    if (body_) return body_();
    while (!Terminated()) {
      pollfd p{WakeFd(), POLLIN, 0};
      PollRetry(&p, 1, -1);
    }
  }

 private:
  std::function<void()> body_;
};

TEST(ThreadTest, TerminateWakesABlockedThreadItsEndRunsOnTheWaiterAndAnExceptionLeavesOneLine) {
  TTestThread thread;
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

  // An exception ends its thread with one line, but the silent abort stays silent.
  test::LogCapture capture;
  {
    TTestThread by_type([] { throw std::runtime_error("escapes"); });
    TTestThread named([] { throw 42; });
    named.SetName("session 127.0.0.1:5000");
    TTestThread silent([] { throw TSilentAbort{}; });
    for (TThread* each : {&by_type, &named, &silent}) ASSERT_TRUE(each->Resume());
    for (TThread* each : {&by_type, &named, &silent}) {
      each->WaitFor();
      EXPECT_TRUE(each->Finished());
    }
  }
  EXPECT_TRUE(
      capture.Contains("Thread quorvane::(anonymous namespace)::TTestThread ended by an exception: escapes"));
  EXPECT_TRUE(capture.Contains("Thread session 127.0.0.1:5000 ended by an exception: unknown exception"));
  EXPECT_EQ(capture.Lines().size(), 2u);

  auto never = std::make_unique<TTestThread>();
  never.reset();  // must neither run Execute nor hang
}

}  // namespace
}  // namespace quorvane
