#include "servers/Players.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

TEST(PlayersTest, TokenBucketRefillsByTheLoopClockUpToOneSecondOfItsRate) {
  struct TStep {
    const char* name;
    std::uint64_t rate;
    std::int64_t now;
    std::uint64_t available, take;
    std::int64_t wait_for_rate;  // WaitMs(rate, rate) after the take
  };
  const TStep steps[] = {
      {"a new bucket is full", 10, 0, 10, 10, 1000},
      {"nothing back in the same millisecond", 10, 0, 0, 0, 1000},
      {"half a second brings half the rate", 10, 500, 5, 2, 700},
      {"what is not taken stays", 10, 600, 4, 0, 600},
      {"a take leaves what is under a whole token", 10, 650, 4, 4, 950},
      {"a long pause fills it, no more", 10, 5000, 10, 0, 1},
      {"a lowered cap lowers what it holds", 4, 5000, 4, 4, 1000},
      {"a clock that goes back brings nothing", 4, 4000, 0, 0, 1000},
      {"no cap", 0, 5000, TTokenBucket::kUnlimited, 1, 1},
  };
  TTokenBucket bucket;
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(bucket.Available(step.rate, step.now), step.available);
    bucket.Take(step.take);
    EXPECT_EQ(bucket.WaitMs(step.rate, step.rate), step.wait_for_rate);
  }
}

TEST(PlayersTest, CapLogSaysAtOnceThenOnceAnIntervalAndWhatIsLeftAtItsEnd) {
  struct TStep {
    std::int64_t now;
    std::vector<std::pair<const char*, std::uint64_t>> reports;
    bool end;
    std::vector<std::string> lines;  // after the loop's turn at |now|
  };
  const std::string line = "UDP Redirector at 127.0.0.1:4000 dropped ";
  const std::string over = " datagrams over the player caps";
  const std::vector<TStep> steps = {
      {0, {{"127.0.0.2", 5}}, false, {line + "5" + over + "; top senders 127.0.0.2 (5)"}},
      {1000, {{"127.0.0.3", 3}, {"127.0.0.4", 7}, {"127.0.0.5", 1}, {"127.0.0.2", 2}}, false, {}},
      {9999, {}, false, {}},
      {10000,
       {},
       false,
       {line + "13" + over + " in the last 10 s; top senders 127.0.0.4 (7), 127.0.0.3 (3), 127.0.0.2 (2)"}},
      {20000, {}, false, {}},  // a quiet interval closes the window
      {25000, {{"127.0.0.3", 1}}, false, {line + "1" + over + "; top senders 127.0.0.3 (1)"}},
      {26000, {{"127.0.0.2", 4}, {"127.0.0.2", 2}}, false, {}},
      {27000, {}, true, {line + "6" + over + "; top senders 127.0.0.2 (6)"}},
  };
  std::int64_t now = 0;
  TEventLoop loop(TLoopClock{[&now] { return now; }, {}});
  ASSERT_TRUE(loop.Valid());
  std::optional<TCapLog> log(std::in_place, loop, "UDP Redirector at 127.0.0.1:4000", "dropped", "datagrams");
  LogCapture capture;
  std::size_t seen = 0;
  for (const TStep& step : steps) {
    SCOPED_TRACE(step.now);
    now = step.now;
    loop.RunOnce(0);
    for (const auto& [address, count] : step.reports) log->Report(inet_addr(address), count);
    if (step.end) log.reset();
    const std::vector<std::string> lines = capture.Lines();
    EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(seen), lines.end()),
              step.lines);
    seen = lines.size();
  }
}

TEST(PlayersTest, QuantileIsInterpolatedInsideItsBucket) {
  constexpr std::array<std::int64_t, 3> kBounds{10, 20, 40};
  struct TCase {
    std::vector<std::int64_t> observed;
    double q;
    double quantile;
  };
  const TCase cases[] = {
      {{}, 0.5, -1},
      {{10}, 0.5, 5},
      {{11, 12}, 0.5, 15},
      {{1, 15, 15, 30}, 0.5, 15},
      {{1, 15, 15, 30}, 0.75, 20},
      {{1, 100}, 0.99, 40},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.observed) + " " + std::to_string(c.q));
    TLoopHistogram<kBounds.size()> histogram;
    std::int64_t sum = 0;
    for (const std::int64_t ms : c.observed) {
      histogram.Observe(kBounds, ms);
      sum += ms;
    }
    THistogramView view;
    view.Add(kBounds, histogram);
    view.Add(kBounds, histogram);  // a sum of two loops has the same quantiles
    EXPECT_EQ(view.Total(), 2 * c.observed.size());
    EXPECT_EQ(view.SumMs, 2 * static_cast<std::uint64_t>(sum));
    EXPECT_DOUBLE_EQ(view.QuantileMs(c.q), c.quantile);
  }
}

}  // namespace
}  // namespace quorvane
