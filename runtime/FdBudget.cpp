#include "runtime/FdBudget.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <unordered_map>

#include "runtime/Mutex.h"

namespace quorvane::fd_budget {
namespace {

std::atomic<long> tracked{0};
std::atomic<long> untracked{0};
std::atomic<long> limit{0};
std::atomic<long> reserve{0};

// Each kind's share in percent; TFdShares's defaults until SetShares().
constexpr TFdShares kDefaultShares;
std::array<std::atomic<long>, kFdKindCount> percents = {kDefaultShares.Percent[0], kDefaultShares.Percent[1],
                                                        kDefaultShares.Percent[2]};

struct TKindBook {
  TMutex Mu;
  long Held GUARDED_BY(Mu) = 0;
  std::unordered_map<std::uint32_t, long> ByAddress GUARDED_BY(Mu);  // no zero entries
};

std::array<TKindBook, kFdKindCount> kinds;

std::size_t IndexOf(TFdKind kind) { return static_cast<std::size_t>(kind); }
TKindBook& BookOf(TFdKind kind) { return kinds[IndexOf(kind)]; }

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

// The kind's share in descriptors: a part of what lies above the reserve
// and the descriptors open before the server began.
long ShareOf(TFdKind kind) {
  const long max = Limit();
  if (max == 0) return 0;
  const long pool = std::max(0L, max - Reserve() - untracked.load(std::memory_order_relaxed));
  return pool * percents[IndexOf(kind)].load(std::memory_order_relaxed) / 100;
}

long PressureMark(long share) { return share * kPressurePercent / 100; }

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

void SetShares(const TFdShares& shares) {
  for (std::size_t i = 0; i < kFdKindCount; ++i) {
    percents[i].store(std::clamp(shares.Percent[i], 0L, 100L), std::memory_order_relaxed);
  }
}

long Open() { return untracked.load(std::memory_order_relaxed) + tracked.load(std::memory_order_relaxed); }
long Limit() { return limit.load(std::memory_order_acquire); }
long Reserve() { return reserve.load(std::memory_order_relaxed); }

bool HasRoom(long needed) {
  const long max = Limit();
  if (max == 0) return true;
  return max - Open() - needed >= Reserve();
}

long Held(TFdKind kind) {
  TKindBook& book = BookOf(kind);
  TMutexLock lock(book.Mu);
  return book.Held;
}

long HeldBy(TFdKind kind, std::uint32_t address) {
  TKindBook& book = BookOf(kind);
  TMutexLock lock(book.Mu);
  const auto it = book.ByAddress.find(address);
  return it == book.ByAddress.end() ? 0 : it->second;
}

long Share(TFdKind kind) { return ShareOf(kind); }

bool UnderPressure(TFdKind kind) {
  const long share = ShareOf(kind);
  if (share == 0) return false;
  TKindBook& book = BookOf(kind);
  TMutexLock lock(book.Mu);
  return book.Held > PressureMark(share);
}

TFdGrant TryAcquire(TFdKind kind, std::uint32_t address, long count, TFdRefusal* why, long keep_free) {
  const auto refuse = [why](TFdRefusal reason) {
    if (why != nullptr) *why = reason;
    return TFdGrant();
  };
  if (count <= 0) return refuse(TFdRefusal::kNone);
  if (!HasRoom(count)) return refuse(TFdRefusal::kReserve);
  const long share = ShareOf(kind);
  TKindBook& book = BookOf(kind);
  TMutexLock lock(book.Mu);
  if (share != 0) {
    if (book.Held + count > share - keep_free) return refuse(TFdRefusal::kShare);
    const long mark = PressureMark(share);
    const auto holding = book.ByAddress.find(address);
    if (book.Held + count > mark && holding != book.ByAddress.end()) {
      // The mark shared among those holding some, this address among them;
      // and the top half of what lies above the mark is kept for addresses
      // that hold nothing, whatever the others' parts.
      const long fair = mark / static_cast<long>(book.ByAddress.size());
      if (holding->second + count > fair || book.Held + count > mark + (share - mark) / 2) {
        return refuse(TFdRefusal::kFairShare);
      }
    }
  }
  book.ByAddress[address] += count;
  book.Held += count;
  if (why != nullptr) *why = TFdRefusal::kNone;
  return TFdGrant(kind, address, count);
}

TFdGrant& TFdGrant::operator=(TFdGrant&& other) noexcept {
  if (this != &other) {
    Release();
    kind_ = other.kind_;
    address_ = other.address_;
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

void TFdGrant::Release() {
  if (count_ == 0) return;
  TKindBook& book = BookOf(kind_);
  TMutexLock lock(book.Mu);
  book.Held -= count_;
  const auto it = book.ByAddress.find(address_);
  if (it != book.ByAddress.end() && (it->second -= count_) <= 0) book.ByAddress.erase(it);
  count_ = 0;
}

void Opened() { tracked.fetch_add(1, std::memory_order_relaxed); }
void Closed() { tracked.fetch_sub(1, std::memory_order_relaxed); }

}  // namespace quorvane::fd_budget
