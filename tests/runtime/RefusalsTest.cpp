// Refusal reports: a flood of refusals gives one line at once and one with
// the rest a second later, and nothing wakes while nothing is pending.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

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

TEST(RefusalsTest, FloodGivesOneLineNowAndTheRestASecondLaterThenNothing) {
  test::LogCapture capture;
  const TUniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(StartLogWriter(null.Get(), null.Get()));
  const std::uint32_t attacker = inet_addr("127.0.0.2");

  for (int i = 0; i < 412; ++i) {
    ReportRefusal(TRefusedWork::kSession, TRefusalReason::kSessionsPerAddress, attacker);
  }
  EXPECT_EQ(RefusalTotal(TRefusedWork::kSession, TRefusalReason::kSessionsPerAddress), 412u);
  const std::vector<std::string> first = {"Refused 1 session from 127.0.0.2 (SESSIONS_PER_ADDRESS)"};
  EXPECT_EQ(capture.Lines(), first);
  // The tail comes by itself, with no further refusal to carry it.
  EXPECT_TRUE(capture.WaitFor("Refused 411 sessions from 127.0.0.2 (SESSIONS_PER_ADDRESS)"));
  EXPECT_EQ(capture.Lines().size(), 2u);

  // Nothing pending: over a quiet stretch longer than the interval, the
  // writer neither logs nor so much as wakes.
  long wake_ups = -1;
  ASSERT_TRUE(test::WaitUntil([&] { return (wake_ups = WriterWakeUps()) >= 0; }));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(WriterWakeUps(), wake_ups);
  EXPECT_EQ(capture.Lines().size(), 2u);

  // A kind still pending at stop is logged by the stop.
  ReportRefusal(TRefusedWork::kCreate, TRefusalReason::kDeny, attacker);
  ReportRefusal(TRefusedWork::kCreate, TRefusalReason::kDeny, attacker);
  EXPECT_TRUE(StopLogWriter());
  EXPECT_TRUE(capture.Contains("Refused 1 create from 127.0.0.2 (DENY)"));
  EXPECT_EQ(capture.Count("Refused 1 create from 127.0.0.2 (DENY)"), 2);
}

}  // namespace
}  // namespace quorvane
