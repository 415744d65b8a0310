#include "runtime/Refusals.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/Log.h"
#include "runtime/Mutex.h"

namespace quorvane {
namespace {

using TClock = std::chrono::steady_clock;
constexpr auto kLogInterval = std::chrono::seconds(1);
constexpr TClock::time_point kNoFlush = TClock::time_point::max();

struct TKindLog {
  std::uint64_t pending = 0;  // refused since the last line
  std::uint32_t address = 0;  // the latest refused address
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

std::string Line(std::size_t index, const TKindLog& kind) {
  const auto work = static_cast<TRefusedWork>(index / kRefusalReasonCount);
  const auto reason = static_cast<TRefusalReason>(index % kRefusalReasonCount);
  std::string noun(RefusedWorkName(work));
  if (kind.pending == 1) noun.pop_back();  // "1 session", "1 create"
  std::string line = "Refused ";
  line += std::to_string(kind.pending);
  line += ' ';
  line += noun;
  line += " from ";
  char dotted[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = kind.address;
  line += ::inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
  line += " (";
  line += RefusalReasonName(reason);
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
  std::vector<std::string> lines;
  {
    TMutexLock lock(book.mu);
    book.flush_at = kNoFlush;
    const auto now = TClock::now();
    TClock::time_point next = kNoFlush;
    for (std::size_t i = 0; i < book.kinds.size(); ++i) {
      TKindLog& kind = book.kinds[i];
      if (kind.pending == 0) continue;
      const auto due = kind.last_line + kLogInterval;
      if (!all && now < due) {
        next = std::min(next, due);
        continue;
      }
      lines.push_back(Line(i, kind));
      kind.pending = 0;
      kind.logged_once = true;
      kind.last_line = now;
    }
    if (next != kNoFlush) ScheduleFlush(book, next);
  }
  for (const std::string& line : lines) LogErrorLine(line);
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
    case TRefusalReason::kThreads:
      return "THREADS";
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

void ReportRefusal(TRefusedWork work, TRefusalReason reason, std::uint32_t address) {
  TRefusalBook& book = Book();
  const std::size_t index = Index(work, reason);
  book.totals[index].fetch_add(1, std::memory_order_relaxed);
  std::string line;
  {
    TMutexLock lock(book.mu);
    TKindLog& kind = book.kinds[index];
    ++kind.pending;
    kind.address = address;
    const auto now = TClock::now();
    if (kind.logged_once && now - kind.last_line < kLogInterval) {
      // The rest follows on its own once the interval is over.
      ScheduleFlush(book, kind.last_line + kLogInterval);
      return;
    }
    line = Line(index, kind);
    kind.pending = 0;
    kind.logged_once = true;
    kind.last_line = now;
  }
  LogErrorLine(line);
}

std::uint64_t RefusalTotal(TRefusedWork work, TRefusalReason reason) {
  return Book().totals[Index(work, reason)].load(std::memory_order_relaxed);
}

void FlushRefusals() { LogPending(/*all=*/true); }

}  // namespace quorvane
