#include "admin/ProcessStats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>

namespace quorvane::admin {
namespace {

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

std::uint64_t CountOpenFds() {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc/self/fd"), &::closedir);
  if (!dir) return 0;
  std::uint64_t count = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the stream is this function's own
  while (const dirent* entry = ::readdir(dir.get())) count += entry->d_name[0] != '.' ? 1 : 0;
  return count;
}

// The second field of /proc/self/statm: pages resident.
std::uint64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0;
  std::uint64_t resident = 0;
  if (!(statm >> size >> resident)) return 0;
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? resident * static_cast<std::uint64_t>(page) : 0;
}

// The boot time (btime of /proc/stat) plus the process's start after boot
// (field 22 of /proc/self/stat, in clock ticks).
double StartTimeSeconds() {
  std::ifstream stat("/proc/self/stat");
  std::string line;
  if (!std::getline(stat, line)) return 0;
  // The command name, field 2, is in parentheses and may hold blanks and
  // parentheses of its own: the fields after it follow the last ')'.
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  for (int number = 3; number < 22; ++number) fields >> field;
  std::uint64_t start_ticks = 0;
  if (!(fields >> start_ticks)) return 0;

  std::ifstream system("/proc/stat");
  std::uint64_t boot = 0;
  for (std::string name; system >> name;) {
    if (name == "btime") {
      system >> boot;
      break;
    }
    system.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  const long ticks = ::sysconf(_SC_CLK_TCK);
  if (boot == 0 || ticks <= 0) return 0;
  return static_cast<double>(boot) + static_cast<double>(start_ticks) / static_cast<double>(ticks);
}

}  // namespace

TProcessStats ReadProcessStats() {
  TProcessStats stats;
  rusage usage{};
  if (::getrusage(RUSAGE_SELF, &usage) == 0)
    stats.CpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  stats.ResidentBytes = ResidentBytes();
  stats.OpenFds = CountOpenFds();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    stats.MaxFds = limit.rlim_cur;
  // Never changes; read once.
  static const double kStartTime = StartTimeSeconds();
  stats.StartTimeSeconds = kStartTime;
  return stats;
}

}  // namespace quorvane::admin
