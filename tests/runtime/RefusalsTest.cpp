// Refusal reports: a flood of refusals gives one line at once and one with
// the rest a second later, and nothing wakes while nothing is pending.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "runtime/Log.h"
#include "runtime/Refusals.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

// Times the log writer thread has gone to sleep and been woken, from
// /proc; -1 when it cannot be found or is not asleep now.
long WriterWakeUps() {
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return -1;
  long wake_ups = -1;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string task = std::string("/proc/self/task/") + entry->d_name;
    std::string comm;
    std::getline(std::ifstream(task + "/comm"), comm);
    if (comm != "log-writer") continue;
    std::ifstream status(task + "/status");
    bool asleep = false;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("State:", 0) == 0) asleep = line.find("S (sleeping)") != std::string::npos;
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 && asleep) wake_ups = std::stol(line.substr(24));
    }
  }
  ::closedir(dir);
  return wake_ups;
}

// A log writer on /dev/null, stopped after each test.
class RefusalsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartLogWriter(null_.Get(), null_.Get())); }
  void TearDown() override { StopLogWriter(0ms); }
  // 412 refusals of one kind from one address, at once.
  static void Flood(TRefusedWork work, TRefusalReason reason) {
    for (int i = 0; i < 412; ++i) ReportRefusal(work, reason, kAttacker);
  }

  static inline const std::uint32_t kAttacker = inet_addr("127.0.0.2");
  test::LogCapture capture_;
  const TUniqueFd null_{::open("/dev/null", O_WRONLY | O_CLOEXEC)};
};

TEST_F(RefusalsTest, FloodGivesOneLineNowThenTheRestASecondLaterThenTheWriterNeitherLogsNorWakes) {
  const std::uint64_t before = RefusalTotal(TRefusedWork::kSession, TRefusalReason::kSessionsPerAddress);
  Flood(TRefusedWork::kSession, TRefusalReason::kSessionsPerAddress);
  EXPECT_EQ(RefusalTotal(TRefusedWork::kSession, TRefusalReason::kSessionsPerAddress), before + 412u);
  const std::vector<std::string> first = {"Refused 1 session from 127.0.0.2 (SESSIONS_PER_ADDRESS)"};
  EXPECT_EQ(capture_.Lines(), first);
  // The tail comes by itself, with no further refusal to carry it.
  ASSERT_TRUE(capture_.WaitFor("Refused 411 sessions from 127.0.0.2 (SESSIONS_PER_ADDRESS)"));
  EXPECT_EQ(capture_.Lines().size(), 2u);
  // Over a quiet stretch longer than the interval, the writer neither logs
  // nor so much as wakes.
  long wake_ups = -1;
  ASSERT_TRUE(test::WaitUntil([&] { return (wake_ups = WriterWakeUps()) >= 0; }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(WriterWakeUps(), wake_ups);
  EXPECT_EQ(capture_.Lines().size(), 2u);
}

// A kind the server never reports: the policy tests that follow in the
// process expect their own first refusal to be logged at once.
TEST_F(RefusalsTest, KindStillPendingAtStopIsLoggedByTheStop) {
  ReportRefusal(TRefusedWork::kSession, TRefusalReason::kDeny, kAttacker);
  ReportRefusal(TRefusedWork::kSession, TRefusalReason::kDeny, kAttacker);
  EXPECT_TRUE(StopLogWriter());
  EXPECT_TRUE(capture_.Contains("Refused 1 session from 127.0.0.2 (DENY)"));
  EXPECT_EQ(capture_.Count("Refused 1 session from 127.0.0.2 (DENY)"), 2);
}

TEST_F(RefusalsTest, LineNamesTheAddressesRefusedMostWithTheirCounts) {
  struct TCase {
    const char* name;
    // A kind of its own per case, one the server never reports, so that its
    // first refusal is logged at once whatever ran before in the process.
    TRefusedWork work;
    TRefusalReason reason;
    std::vector<std::pair<const char*, int>> refused;  // in this order, after the first
    std::uint32_t sprayed;                             // then this many further addresses, once each
    std::string line;
    std::vector<std::pair<TRefusedTarget, int>> aimed = {};  // then from the first address at these
  };
  const std::string sprayed_others = std::to_string(kRefusalAddressesTracked - 3);
  const std::vector<TCase> cases = {
      {"one address: the line as it always was",
       TRefusedWork::kConnection,
       TRefusalReason::kSessionsPerAddress,
       {{"127.0.0.2", 412}},
       0,
       "Refused 412 connections from 127.0.0.2 (SESSIONS_PER_ADDRESS)"},
      {"two addresses, each with its count",
       TRefusedWork::kConnection,
       TRefusalReason::kTargets,
       {{"127.0.0.3", 1}, {"127.0.0.2", 2}},
       0,
       "Refused 3 connections from 127.0.0.2 (2), 127.0.0.3 (1) (TARGETS)"},
      {"offenders named, not the player refused once among them, last",
       TRefusedWork::kUdpSession,
       TRefusalReason::kDeny,
       {{"127.0.0.2", 1200},
        {"127.0.0.5", 4},
        {"127.0.0.3", 800},
        {"127.0.0.4", 480},
        {"127.0.0.6", 2},
        {"127.0.0.1", 1}},
       0,
       "Refused 2487 UDP sessions from 127.0.0.2 (1200), 127.0.0.3 (800), 127.0.0.4 (480) and 7 from 3 other "
       "addresses (DENY)"},
      {"a spray past the addresses tracked",
       TRefusedWork::kUdpSession,
       TRefusalReason::kOwnerOnly,
       {{"127.0.0.2", 5}, {"127.0.0.3", 3}, {"127.0.0.4", 2}},
       kRefusalAddressesTracked,
       "Refused " + std::to_string(10 + kRefusalAddressesTracked) +
           " UDP sessions from 127.0.0.2 (5), 127.0.0.3 (3), 127.0.0.4 (2) and " +
           std::to_string(kRefusalAddressesTracked) + " from more than " + sprayed_others +
           " other addresses (OWNER_ONLY)"},
      {"the target refused most, and how many others",
       TRefusedWork::kConnection,
       TRefusalReason::kDeny,
       {{"127.0.0.2", 0}},
       0,
       "Refused 5 connections from 127.0.0.2 (DENY: 127.0.0.9:8080 and 2 other targets)",
       {{{inet_addr("127.0.0.10"), 27015}, 1},
        {{inet_addr("127.0.0.9"), 8080}, 3},
        {{inet_addr("127.0.0.9"), 80}, 1}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReportRefusal(c.work, c.reason, inet_addr(c.refused.front().first));
    for (const auto& [address, count] : c.refused) {
      for (int i = 0; i < count; ++i) ReportRefusal(c.work, c.reason, inet_addr(address));
    }
    for (std::uint32_t i = 0; i < c.sprayed; ++i) ReportRefusal(c.work, c.reason, htonl(0x7f010000 + i));
    for (const auto& [target, count] : c.aimed) {
      for (int i = 0; i < count; ++i)
        ReportRefusal(c.work, c.reason, inet_addr(c.refused.front().first), target);
    }
    FlushRefusals();
    EXPECT_EQ(capture_.Lines().back(), c.line);
  }
}

}  // namespace
}  // namespace quorvane
