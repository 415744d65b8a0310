// The servers tests' fixture: the unit under test is a client of one loop
// thread, as in the server, and the loop's clock moves only when the test
// moves it, so that time-outs and caps are tested without waiting for them.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <set>

#include "TestSupport.h"
#include "servers/RelayLoop.h"

namespace quorvane::test {

class TLoopFixture : public ::testing::Test {
 protected:
  explicit TLoopFixture(std::int64_t start_ms = 0) : now_ms_(start_ms) {}
  // The loop's descriptors and thread are in the baselines.
  void SetUp() override {
    ASSERT_TRUE(loop_.Valid());
    ASSERT_TRUE(loop_.Resume());
    baseline_fds_ = OpenFds();
  }
  // Nothing is left open once the loop has ended what it served.
  void TearDown() override {
    loop_.Terminate();
    loop_.WaitFor();
    EXPECT_EQ(FdsOpenedSince(baseline_fds_), "");
  }
  // Returns once a whole turn (timers and end-of-turn work included) has run
  // after everything ready at the call: of three tasks posted one after the
  // other, the second starts a later turn, and the third runs after its end.
  void Settle() {
    for (int i = 0; i < 3; ++i) loop_.RunSync([] {});
  }
  void SetClock(std::int64_t now_ms) {
    now_ms_.store(now_ms);
    Settle();
  }
  void Advance(std::int64_t ms) { SetClock(now_ms_.load() + ms); }
  // What |f| returns when run on the loop's thread, where the unit lives.
  template <typename F>
  auto OnLoop(F f) {
    decltype(f()) result{};
    loop_.RunSync([&] { result = f(); });
    return result;
  }

  std::atomic<std::int64_t> now_ms_;
  TRelayLoop loop_{TLoopClock{[this] { return now_ms_.load(); }, {}}};
  std::set<int> baseline_fds_;
};

}  // namespace quorvane::test
