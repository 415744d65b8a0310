#include "runtime/Refusals.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "runtime/Log.h"
#include "runtime/Mutex.h"

namespace quorvane {
namespace {

using TClock = std::chrono::steady_clock;
constexpr auto kLogInterval = std::chrono::seconds(1);
constexpr TClock::time_point kNoFlush = TClock::time_point::max();

// One kind's refusals since its last line. A line names those who caused
// them, not merely the latest: during a spray the latest is as likely the
// one player caught in it. Addresses past the cap are only counted, so that
// a spray of forged sources cannot grow the map without bound.
struct TTally {
  std::uint64_t pending = 0;
  std::uint64_t untracked = 0;  // from addresses that found the map full
  std::unordered_map<std::uint32_t, std::uint64_t> by_address;
  // The targets named, under TargetKey(); bounded the same way.
  std::uint64_t untracked_targets = 0;
  std::unordered_map<std::uint64_t, std::uint64_t> by_target;
};

// Address in host order, then port: keys sort as the operator reads them.
std::uint64_t TargetKey(const TRefusedTarget& target) {
  return (std::uint64_t{ntohl(target.Address)} << 16) | target.Port;
}

// Adds one to |key|'s count, or to |untracked| once |counts| holds the cap.
template <class Key>
void CountOne(std::unordered_map<Key, std::uint64_t>& counts, Key key, std::uint64_t& untracked) {
  if (auto found = counts.find(key); found != counts.end()) {
    ++found->second;
  } else if (counts.size() < kRefusalAddressesTracked) {
    counts.emplace(key, 1);
  } else {
    ++untracked;
  }
}

struct TKindLog {
  TTally tally;
  bool logged_once = false;
  TClock::time_point last_line{};
};

struct TRefusalBook {
  std::array<std::atomic<std::uint64_t>, kRefusedWorkCount * kRefusalReasonCount> totals{};
  TMutex mu;
  std::array<TKindLog, kRefusedWorkCount * kRefusalReasonCount> kinds GUARDED_BY(mu);
  // When the log writer will next run FlushDue, or kNoFlush.
  TClock::time_point flush_at GUARDED_BY(mu) = kNoFlush;
};

TRefusalBook& Book() {
  static TRefusalBook book;
  return book;
}

std::size_t Index(TRefusedWork work, TRefusalReason reason) {
  return static_cast<std::size_t>(work) * kRefusalReasonCount + static_cast<std::size_t>(reason);
}

std::string Dotted(std::uint32_t address) {
  char dotted[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = address;
  return ::inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
}

// ": 127.0.0.9:8080 and 2 other targets": the target refused most (the
// first in address order among equals), or nothing when none was named.
std::string TargetsText(const TTally& tally) {
  if (tally.by_target.empty()) return {};
  const auto most =
      std::min_element(tally.by_target.begin(), tally.by_target.end(), [](const auto& a, const auto& b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
      });
  std::string text = ": " + Dotted(htonl(static_cast<std::uint32_t>(most->first >> 16))) + ":" +
                     std::to_string(most->first & 0xffff);
  const std::size_t others = tally.by_target.size() - 1;
  if (others > 0 || tally.untracked_targets > 0) {
    text += tally.untracked_targets > 0 ? " and more than " : " and ";
    text += std::to_string(others);
    text += others == 1 && tally.untracked_targets == 0 ? " other target" : " other targets";
  }
  return text;
}

// "Refused 412 sessions from 127.0.0.2 (SESSIONS_PER_ADDRESS)", and with
// more addresses the three that were refused most, each with its count, and
// a sum of the rest.
std::string Line(std::size_t index, const TTally& tally) {
  const auto work = static_cast<TRefusedWork>(index / kRefusalReasonCount);
  const auto reason = static_cast<TRefusalReason>(index % kRefusalReasonCount);
  std::string noun(RefusedWorkName(work));
  if (tally.pending == 1) noun.pop_back();  // "1 session", "1 create"
  std::string line = "Refused ";
  line += std::to_string(tally.pending);
  line += ' ';
  line += noun;
  line += " from ";
  std::vector<std::pair<std::uint64_t, std::uint32_t>> counts;  // count, address
  counts.reserve(tally.by_address.size());
  for (const auto& [address, count] : tally.by_address) counts.emplace_back(count, address);
  const std::size_t named = std::min<std::size_t>(counts.size(), kRefusalAddressesNamed);
  // Most refused first; equal counts by address, so that a line does not
  // depend on the map's order.
  std::partial_sort(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(named), counts.end(),
                    [](const auto& a, const auto& b) {
                      return a.first != b.first ? a.first > b.first : ntohl(a.second) < ntohl(b.second);
                    });
  if (counts.size() == 1 && tally.untracked == 0) {
    line += Dotted(counts.front().second);
  } else {
    std::uint64_t other_refusals = tally.untracked;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      if (i >= named) {
        other_refusals += counts[i].first;
        continue;
      }
      if (i > 0) line += ", ";
      line += Dotted(counts[i].second);
      line += " (";
      line += std::to_string(counts[i].first);
      line += ')';
    }
    if (other_refusals > 0) {
      // Untracked refusals came from at least one address beyond those in
      // the map, so the number of others is a lower bound then.
      const std::size_t others = counts.size() - named;
      line += " and ";
      line += std::to_string(other_refusals);
      line += tally.untracked > 0 ? " from more than " : " from ";
      line += std::to_string(others);
      line += others == 1 && tally.untracked == 0 ? " other address" : " other addresses";
    }
  }
  line += " (";
  line += RefusalReasonName(reason);
  line += TargetsText(tally);
  line += ')';
  return line;
}

void FlushDue(bool stopping);

// Has the log writer run FlushDue at |when|, unless it runs it earlier
// anyway. Without a writer nothing is scheduled, and what is pending waits
// for the next refusal of its kind or FlushRefusals().
void ScheduleFlush(TRefusalBook& book, TClock::time_point when) REQUIRES(book.mu) {
  // A time long past belongs to a writer that has stopped since.
  const bool scheduled = book.flush_at != kNoFlush && TClock::now() < book.flush_at + kLogInterval;
  if (scheduled && book.flush_at <= when) return;
  if (ScheduleLogTask(&FlushDue, when)) book.flush_at = when;
}

// Logs what is pending of every kind whose interval is over (of every kind
// when |all|), and schedules the next flush for the kinds left waiting, so
// that nothing wakes while nothing is pending.
void LogPending(bool all) {
  TRefusalBook& book = Book();
  std::vector<std::pair<std::size_t, TTally>> lines;
  {
    TMutexLock lock(book.mu);
    book.flush_at = kNoFlush;
    const auto now = TClock::now();
    TClock::time_point next = kNoFlush;
    for (std::size_t i = 0; i < book.kinds.size(); ++i) {
      TKindLog& kind = book.kinds[i];
      if (kind.tally.pending == 0) continue;
      const auto due = kind.last_line + kLogInterval;
      if (!all && now < due) {
        next = std::min(next, due);
        continue;
      }
      // Formatted outside the lock, which refusals on other threads wait for.
      lines.emplace_back(i, std::exchange(kind.tally, TTally{}));
      kind.logged_once = true;
      kind.last_line = now;
    }
    if (next != kNoFlush) ScheduleFlush(book, next);
  }
  for (const auto& [index, tally] : lines) LogDiagnosticLine(TLogPriority::kWarning, Line(index, tally));
}

// Runs on the log writer's thread.
void FlushDue(bool stopping) { LogPending(/*all=*/stopping); }

}  // namespace

std::string_view RefusedWorkName(TRefusedWork work) {
  switch (work) {
    case TRefusedWork::kSession:
      return "sessions";
    case TRefusedWork::kCreate:
      return "creates";
    case TRefusedWork::kConnection:
      return "connections";
    case TRefusedWork::kUdpSession:
      return "UDP sessions";
  }
  return "requests";
}

std::string_view RefusalReasonName(TRefusalReason reason) {
  switch (reason) {
    case TRefusalReason::kSessionsPerAddress:
      return "SESSIONS_PER_ADDRESS";
    case TRefusalReason::kRedirectorsPerAddress:
      return "REDIRECTORS_PER_ADDRESS";
    case TRefusalReason::kConnectionsPerAddress:
      return "CONNECTIONS_PER_ADDRESS";
    case TRefusalReason::kDescriptorReserve:
      return "DESCRIPTOR_RESERVE";
    case TRefusalReason::kTargets:
      return "TARGETS";
    case TRefusalReason::kDeny:
      return "DENY";
    case TRefusalReason::kOwnerOnly:
      return "OWNER_ONLY";
    case TRefusalReason::kDescriptorShare:
      return "DESCRIPTOR_SHARE";
    case TRefusalReason::kFairShare:
      return "FAIR_SHARE";
  }
  return "UNKNOWN";
}

TRefusalReason RefusalReasonOf(fd_budget::TFdRefusal refusal) {
  switch (refusal) {
    case fd_budget::TFdRefusal::kShare:
      return TRefusalReason::kDescriptorShare;
    case fd_budget::TFdRefusal::kFairShare:
      return TRefusalReason::kFairShare;
    case fd_budget::TFdRefusal::kNone:
    case fd_budget::TFdRefusal::kReserve:
      break;
  }
  return TRefusalReason::kDescriptorReserve;
}

void ReportRefusal(TRefusedWork work, TRefusalReason reason, std::uint32_t address,
                   std::optional<TRefusedTarget> target) {
  TRefusalBook& book = Book();
  const std::size_t index = Index(work, reason);
  book.totals[index].fetch_add(1, std::memory_order_relaxed);
  TTally due;
  {
    TMutexLock lock(book.mu);
    TKindLog& kind = book.kinds[index];
    TTally& tally = kind.tally;
    ++tally.pending;
    CountOne(tally.by_address, address, tally.untracked);
    if (target) CountOne(tally.by_target, TargetKey(*target), tally.untracked_targets);
    const auto now = TClock::now();
    if (kind.logged_once && now - kind.last_line < kLogInterval) {
      // The rest follows on its own once the interval is over.
      ScheduleFlush(book, kind.last_line + kLogInterval);
      return;
    }
    due = std::exchange(tally, TTally{});
    kind.logged_once = true;
    kind.last_line = now;
  }
  LogDiagnosticLine(TLogPriority::kWarning, Line(index, due));
}

std::uint64_t RefusalTotal(TRefusedWork work, TRefusalReason reason) {
  return Book().totals[Index(work, reason)].load(std::memory_order_relaxed);
}

void FlushRefusals() { LogPending(/*all=*/true); }

}  // namespace quorvane
