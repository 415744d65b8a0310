#include "runtime/Refusals.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <utility>

#include "runtime/Clock.h"
#include "runtime/Log.h"

namespace quorvane {
namespace {

constexpr std::int64_t kNoFlush = std::numeric_limits<std::int64_t>::max();

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

std::string Dotted(std::uint32_t address) {
  char dotted[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = address;
  return ::inet_ntop(AF_INET, &addr, dotted, sizeof dotted);
}

// ": 127.0.0.9:8080 and 2 other targets": the target refused most (the
// first in address order among equals), or nothing when none was named.
std::string TargetsText(const std::unordered_map<std::uint64_t, std::uint64_t>& by_target,
                        std::uint64_t untracked_targets) {
  if (by_target.empty()) return {};
  const auto most = std::min_element(by_target.begin(), by_target.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  std::string text = ": " + Dotted(htonl(static_cast<std::uint32_t>(most->first >> 16))) + ":" +
                     std::to_string(most->first & 0xffff);
  const std::size_t others = by_target.size() - 1;
  if (others > 0 || untracked_targets > 0) {
    text += untracked_targets > 0 ? " and more than " : " and ";
    text += std::to_string(others);
    text += others == 1 && untracked_targets == 0 ? " other target" : " other targets";
  }
  return text;
}

// "127.0.0.2", or with more addresses the three that were refused most,
// each with its count, and a sum of the rest.
std::string AddressesText(const std::unordered_map<std::uint32_t, std::uint64_t>& by_address,
                          std::uint64_t untracked) {
  std::vector<std::pair<std::uint64_t, std::uint32_t>> counts;  // count, address
  counts.reserve(by_address.size());
  for (const auto& [address, count] : by_address) counts.emplace_back(count, address);
  if (counts.size() == 1 && untracked == 0) return Dotted(counts.front().second);
  const std::size_t named = std::min<std::size_t>(counts.size(), kRefusalAddressesNamed);
  // Most refused first; equal counts by address, so that a line does not
  // depend on the map's order.
  std::partial_sort(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(named), counts.end(),
                    [](const auto& a, const auto& b) {
                      return a.first != b.first ? a.first > b.first : ntohl(a.second) < ntohl(b.second);
                    });
  std::string text;
  std::uint64_t other_refusals = untracked;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (i >= named) {
      other_refusals += counts[i].first;
      continue;
    }
    if (i > 0) text += ", ";
    text += Dotted(counts[i].second);
    text += " (";
    text += std::to_string(counts[i].first);
    text += ')';
  }
  if (other_refusals > 0) {
    // Untracked refusals came from at least one address beyond those in
    // the map, so the number of others is a lower bound then.
    const std::size_t others = counts.size() - named;
    text += " and ";
    text += std::to_string(other_refusals);
    text += untracked > 0 ? " from more than " : " from ";
    text += std::to_string(others);
    text += others == 1 && untracked == 0 ? " other address" : " other addresses";
  }
  return text;
}

}  // namespace

TMutex TRefusalLog::mu_;
std::vector<TRefusalLog*> TRefusalLog::logs_;
std::int64_t TRefusalLog::flush_at_ms_ = kNoFlush;

TRefusalLog::TRefusalLog(const std::vector<TRefusalText>& kinds, std::function<std::int64_t()> steady_ms)
    : kinds_(kinds), steady_ms_(std::move(steady_ms)), totals_(kinds.size()) {
  TMutexLock lock(mu_);
  tallies_.resize(kinds_.size());
  logs_.push_back(this);
}

TRefusalLog::~TRefusalLog() {
  TMutexLock lock(mu_);
  logs_.erase(std::find(logs_.begin(), logs_.end(), this));
}

std::int64_t TRefusalLog::NowMs() const { return steady_ms_ ? steady_ms_() : SteadyMs(); }

void TRefusalLog::Report(std::size_t kind, std::uint32_t address, std::optional<TRefusedTarget> target) {
  totals_[kind].fetch_add(1, std::memory_order_relaxed);
  std::vector<TLine> due;
  {
    TMutexLock lock(mu_);
    TKindLog& log = tallies_[kind];
    TTally& tally = log.Tally;
    ++tally.Pending;
    CountOne(tally.ByAddress, address, tally.Untracked);
    if (target) CountOne(tally.ByTarget, TargetKey(*target), tally.UntrackedTargets);
    const std::int64_t now = NowMs();
    if (log.LoggedOnce && now - log.LastLineMs < kRefusalLogIntervalMs) {
      // The rest follows on its own once the interval is over.
      PlanFlush(log.LastLineMs + kRefusalLogIntervalMs);
      return;
    }
    due.push_back({kinds_[kind], std::exchange(tally, TTally{})});
    log.LoggedOnce = true;
    log.LastLineMs = now;
  }
  Write(due);
}

std::uint64_t TRefusalLog::Total(std::size_t kind) const {
  return totals_[kind].load(std::memory_order_relaxed);
}

void TRefusalLog::LogDue() { LogPending(/*all=*/false); }

void TRefusalLog::LogAll() { LogPending(/*all=*/true); }

void TRefusalLog::TakeDue(bool all, std::vector<TLine>& lines) {
  const std::int64_t now = NowMs();
  std::int64_t next = kNoFlush;
  for (std::size_t i = 0; i < tallies_.size(); ++i) {
    TKindLog& log = tallies_[i];
    if (log.Tally.Pending == 0) continue;
    const std::int64_t due = log.LastLineMs + kRefusalLogIntervalMs;
    if (!all && now < due) {
      next = std::min(next, due);
      continue;
    }
    // Formatted outside the lock, which refusals on other threads wait for.
    lines.push_back({kinds_[i], std::exchange(log.Tally, TTally{})});
    log.LoggedOnce = true;
    log.LastLineMs = now;
  }
  // Nothing pending plans nothing, so that an idle writer sleeps.
  if (next != kNoFlush) PlanFlush(next);
}

void TRefusalLog::PlanFlush(std::int64_t due_ms) {
  // The writer keeps the real time; a log with a clock of its own asks for
  // its due time as far off as that clock has it.
  const std::int64_t real_now = SteadyMs();
  const std::int64_t when = real_now + std::max<std::int64_t>(due_ms - NowMs(), 0);
  // A time long past belongs to a writer that has stopped since. Without a
  // writer nothing is planned, and what is pending waits for the next
  // refusal of its kind or LogDue().
  const bool planned = flush_at_ms_ != kNoFlush && real_now < flush_at_ms_ + kRefusalLogIntervalMs;
  if (planned && flush_at_ms_ <= when) return;
  const std::chrono::steady_clock::time_point at{std::chrono::milliseconds(when)};
  if (ScheduleLogTask(&TRefusalLog::FlushEvery, at)) flush_at_ms_ = when;
}

void TRefusalLog::LogPending(bool all) {
  std::vector<TLine> lines;
  {
    TMutexLock lock(mu_);
    TakeDue(all, lines);
  }
  Write(lines);
}

// Runs on the log writer's thread.
void TRefusalLog::FlushEvery(bool stopping) {
  std::vector<TLine> lines;
  {
    TMutexLock lock(mu_);
    flush_at_ms_ = kNoFlush;
    for (TRefusalLog* log : logs_) log->TakeDue(/*all=*/stopping, lines);
  }
  Write(lines);
}

// "Refused 412 sessions from 127.0.0.2 (<reason>)".
void TRefusalLog::Write(const std::vector<TLine>& lines) {
  for (const auto& [text, tally] : lines) {
    std::string noun(text.Work);
    if (tally.Pending == 1) noun.pop_back();  // "1 session", "1 create"
    std::string line = "Refused ";
    line += std::to_string(tally.Pending);
    line += ' ';
    line += noun;
    line += " from ";
    line += AddressesText(tally.ByAddress, tally.Untracked);
    line += " (";
    line += text.Reason;
    line += TargetsText(tally.ByTarget, tally.UntrackedTargets);
    line += ')';
    LogDiagnosticLine(TLogPriority::kWarning, line);
  }
}

}  // namespace quorvane
