#include "runtime/FdBudget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>

namespace quorvane::fd_budget {
namespace {

std::atomic<long> tracked{0};
std::atomic<long> untracked{0};
std::atomic<long> limit{0};
std::atomic<long> reserve{0};

// Entries of /proc/self/fd, without the one the listing itself holds; -1
// when it cannot be read.
long CountOpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long count = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the directory stream is this call's own.
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;
}

}  // namespace

void Init() {
  rlimit lim{};
  if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY) return;
  const long max = static_cast<long>(lim.rlim_cur);
  const long open = CountOpenDescriptors();
  if (open >= 0) untracked.store(std::max(0L, open - tracked.load()), std::memory_order_relaxed);
  reserve.store(std::max(kMinReserve, max * kReservePercent / 100), std::memory_order_relaxed);
  limit.store(max, std::memory_order_release);
}

long Open() { return untracked.load(std::memory_order_relaxed) + tracked.load(std::memory_order_relaxed); }
long Limit() { return limit.load(std::memory_order_acquire); }
long Reserve() { return reserve.load(std::memory_order_relaxed); }

bool HasRoom(long needed) {
  const long max = Limit();
  if (max == 0) return true;
  return max - Open() - needed >= Reserve();
}

void Opened() { tracked.fetch_add(1, std::memory_order_relaxed); }
void Closed() { tracked.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace quorvane::fd_budget
