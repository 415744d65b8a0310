// The refusal log: a flood of refusals gives one line at once and one with
// the rest once the interval is over, the log writer logs that tail by
// itself and then sleeps for good, and a line names who was refused most.
#include "runtime/Refusals.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "runtime/Log.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// Whether the log writer thread sleeps in poll without a time-out, from
// /proc: nothing is planned that would wake it.
bool WriterSleepsForGood() {
  bool for_good = false;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
    std::string comm;
    std::getline(std::ifstream(task.path() / "comm"), comm);
    if (comm != "log-writer") continue;
    // "number arg1 arg2 arg3 ...": poll's third argument is its time-out,
    // an int, whose register's upper half is left as it was.
    std::ifstream syscall_file(task.path() / "syscall");
    const std::vector<std::string> fields{std::istream_iterator<std::string>(syscall_file), {}};
    for_good = fields.size() > 3 && fields[0] == std::to_string(SYS_poll) &&
               static_cast<std::uint32_t>(std::stoull(fields[3], nullptr, 16)) == 0xffffffffu;
  }
  return for_good;
}

constexpr std::size_t kSessions = 0;
constexpr std::size_t kUdpSessions = 1;
const std::vector<TRefusalText> kKinds = {{"sessions", "LIMIT"}, {"UDP sessions", "LIST"}};

// A log of its own on a clock the test moves, without a log writer: what is
// pending waits for LogDue().
class RefusalsTest : public ::testing::Test {
 protected:
  void Report(std::size_t kind, const char* address, int times = 1) {
    for (int i = 0; i < times; ++i) log_.Report(kind, inet_addr(address));
  }
  // Moves the clock on and logs what is due by then.
  void Advance(std::int64_t ms) {
    now_ms_ += ms;
    log_.LogDue();
  }

  test::LogCapture capture_;
  std::atomic<std::int64_t> now_ms_{1'000'000};
  TRefusalLog log_{kKinds, [this] { return now_ms_.load(); }};
};

TEST_F(RefusalsTest, FloodGivesOneLineNowAndTheRestOnceTheIntervalIsOver) {
  Report(kSessions, "127.0.0.2", 412);
  EXPECT_EQ(log_.Total(kSessions), 412u);
  // Another kind keeps its own interval.
  Report(kUdpSessions, "127.0.0.3");
  std::vector<std::string> lines = {"Refused 1 session from 127.0.0.2 (LIMIT)",
                                    "Refused 1 UDP session from 127.0.0.3 (LIST)"};
  EXPECT_EQ(capture_.Lines(), lines);
  Advance(kRefusalLogIntervalMs - 1);
  EXPECT_EQ(capture_.Lines(), lines);
  Advance(1);
  lines.push_back("Refused 411 sessions from 127.0.0.2 (LIMIT)");
  EXPECT_EQ(capture_.Lines(), lines);
  // Nothing pending logs nothing; after a quiet interval the next refusal
  // is logged at once.
  Advance(5 * kRefusalLogIntervalMs);
  EXPECT_EQ(capture_.Lines(), lines);
  Report(kSessions, "127.0.0.2");
  lines.push_back("Refused 1 session from 127.0.0.2 (LIMIT)");
  EXPECT_EQ(capture_.Lines(), lines);
}

// With a log writer on /dev/null.
class RefusalsWriterTest : public RefusalsTest {
 protected:
  void SetUp() override { ASSERT_TRUE(StartLogWriter(null_.Get(), null_.Get())); }
  void TearDown() override { StopLogWriter(0ms); }

  const TUniqueFd null_{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
};

TEST_F(RefusalsWriterTest, WriterLogsTheTailWhenDueAndAtStopThenSleepsForGood) {
  Report(kSessions, "127.0.0.2", 412);
  // Due by the log's clock; the writer comes when the interval is over,
  // with no further refusal to carry the tail.
  now_ms_ += kRefusalLogIntervalMs;
  ASSERT_TRUE(capture_.WaitFor("Refused 411 sessions from 127.0.0.2 (LIMIT)"));
  EXPECT_EQ(capture_.Lines().size(), 2u);
  // Nothing is pending, so nothing wakes the writer again.
  EXPECT_TRUE(test::WaitUntil(WriterSleepsForGood));
  // A tail still pending at stop is logged by the stop.
  Report(kUdpSessions, "127.0.0.2", 2);
  EXPECT_TRUE(StopLogWriter());
  EXPECT_EQ(capture_.Count("Refused 1 UDP session from 127.0.0.2 (LIST)"), 2);
}

TEST_F(RefusalsTest, LineNamesTheAddressesRefusedMostWithTheirCounts) {
  struct TCase {
    const char* name;
    std::vector<std::pair<const char*, int>> refused;  // in this order, after the first
    std::uint32_t sprayed;                             // then this many further addresses, once each
    std::string line;
    std::vector<std::pair<TRefusedTarget, int>> aimed = {};  // then from the first address at these
  };
  const std::string sprayed_others = std::to_string(kRefusalAddressesTracked - 3);
  const std::vector<TCase> cases = {
      {"two addresses, each with its count",
       {{"127.0.0.3", 1}, {"127.0.0.2", 2}},
       0,
       "Refused 3 UDP sessions from 127.0.0.2 (2), 127.0.0.3 (1) (LIST)"},
      {"offenders named, not the player refused once among them, last",
       {{"127.0.0.2", 1200},
        {"127.0.0.5", 4},
        {"127.0.0.3", 800},
        {"127.0.0.4", 480},
        {"127.0.0.6", 2},
        {"127.0.0.1", 1}},
       0,
       "Refused 2487 UDP sessions from 127.0.0.2 (1200), 127.0.0.3 (800), 127.0.0.4 (480) and 7 from 3 other "
       "addresses (LIST)"},
      {"a spray past the addresses tracked",
       {{"127.0.0.2", 5}, {"127.0.0.3", 3}, {"127.0.0.4", 2}},
       kRefusalAddressesTracked,
       "Refused " + std::to_string(10 + kRefusalAddressesTracked) +
           " UDP sessions from 127.0.0.2 (5), 127.0.0.3 (3), 127.0.0.4 (2) and " +
           std::to_string(kRefusalAddressesTracked) + " from more than " + sprayed_others +
           " other addresses (LIST)"},
      {"the target refused most, and how many others",
       {{"127.0.0.2", 0}},
       0,
       "Refused 5 UDP sessions from 127.0.0.2 (LIST: 127.0.0.9:8080 and 2 other targets)",
       {{{inet_addr("127.0.0.10"), 27015}, 1},
        {{inet_addr("127.0.0.9"), 8080}, 3},
        {{inet_addr("127.0.0.9"), 80}, 1}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    // A log per case, whose first refusal is logged at once.
    TRefusalLog log(kKinds, [this] { return now_ms_.load(); });
    const std::uint32_t first = inet_addr(c.refused.front().first);
    log.Report(kUdpSessions, first);
    for (const auto& [address, count] : c.refused) {
      for (int i = 0; i < count; ++i) log.Report(kUdpSessions, inet_addr(address));
    }
    for (std::uint32_t i = 0; i < c.sprayed; ++i) log.Report(kUdpSessions, htonl(0x7f010000 + i));
    for (const auto& [target, count] : c.aimed) {
      for (int i = 0; i < count; ++i) log.Report(kUdpSessions, first, target);
    }
    log.LogAll();
    EXPECT_EQ(capture_.Lines().back(), c.line);
  }
}

}  // namespace
}  // namespace quorvane
