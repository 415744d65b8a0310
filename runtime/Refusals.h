// Refusals: work the server turned down to protect itself. The layer that
// refuses names its kinds of refusal (what was refused, and why, as the
// operator knows the limit); this log counts each kind and logs it on
// standard error at most once a second, with how many were refused since
// the last line and from where, so that a flood cannot flood the log:
//   Refused 412 sessions from 127.0.0.2 (<reason>)
// From several addresses, those refused most are named with their counts:
//   Refused 2487 UDP sessions from 127.0.0.2 (1200), 127.0.0.3 (800),
//   127.0.0.4 (480) and 7 from 3 other addresses (<reason>)
// A refusal about the target a request named says which one was refused
// most, so that the operator sees what the list or the rule kept out:
//   Refused 9 creates from 127.0.0.2 (<reason>: 127.0.0.9:8080 and 2 other targets)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/Mutex.h"

namespace quorvane {

// How a line names one kind: the work refused, in the plural ("sessions",
// "UDP sessions"; a single one drops the final letter), and the reason. Both
// texts must outlive the log (string literals).
struct TRefusalText {
  std::string_view Work;
  std::string_view Reason;
};

// What a refused request aimed at.
struct TRefusedTarget {
  std::uint32_t Address = 0;  // network order
  std::uint16_t Port = 0;     // host order
};

// Addresses a line names with their counts; the rest are summed.
inline constexpr std::size_t kRefusalAddressesNamed = 3;
// Distinct addresses counted one by one per kind between two lines; the
// refusals of further addresses are only summed, and the line then says
// "more than" that many others.
inline constexpr std::size_t kRefusalAddressesTracked = 4096;
// The shortest time between two lines of one kind.
inline constexpr std::int64_t kRefusalLogIntervalMs = 1000;

class TRefusalLog final {
 public:
  // One kind per entry of |kinds|, reported by its index. |steady_ms| is
  // where the rate limit takes the time from (runtime/Clock.h); empty: the
  // real clock.
  explicit TRefusalLog(const std::vector<TRefusalText>& kinds, std::function<std::int64_t()> steady_ms = {});
  ~TRefusalLog();
  TRefusalLog(const TRefusalLog&) = delete;
  TRefusalLog& operator=(const TRefusalLog&) = delete;

  // Counts one refusal of |kind| from |address| (network order), aimed at
  // |target| when there is one, and logs it within the rate limit: at once
  // when the kind's last line is an interval old, otherwise counted, and
  // logged by the log writer as soon as the interval is over (without a
  // running writer, at the next refusal of the kind or at LogDue()). Any
  // thread; never blocks on the log.
  void Report(std::size_t kind, std::uint32_t address, std::optional<TRefusedTarget> target = std::nullopt)
      EXCLUDES(mu_);

  // Refusals of |kind| since the log was made. Any thread.
  std::uint64_t Total(std::size_t kind) const;

  // Logs what is pending of every kind whose interval is over: what the log
  // writer runs when it is due, for a caller whose clock is its own.
  void LogDue() EXCLUDES(mu_);
  // Logs what is pending of every kind now, whatever the rate limit. For
  // tests and tools; the server's log writer does it by itself at stop.
  void LogAll() EXCLUDES(mu_);

 private:
  // One kind's refusals since its last line. A line names those who caused
  // them, not merely the latest: during a spray the latest is as likely the
  // one player caught in it. Addresses past the cap are only counted, so
  // that a spray of forged sources cannot grow the map without bound.
  struct TTally {
    std::uint64_t Pending = 0;
    std::uint64_t Untracked = 0;  // from addresses that found the map full
    std::unordered_map<std::uint32_t, std::uint64_t> ByAddress;
    // The targets named, keyed address (host order) then port; bounded the
    // same way.
    std::uint64_t UntrackedTargets = 0;
    std::unordered_map<std::uint64_t, std::uint64_t> ByTarget;
  };
  struct TKindLog {
    TTally Tally;
    bool LoggedOnce = false;
    std::int64_t LastLineMs = 0;
  };
  struct TLine {
    TRefusalText Text;
    TTally Tally;
  };

  std::int64_t NowMs() const;
  // Takes the tallies due (all of them when |all|) into |lines| and has the
  // log writer come back for those left waiting.
  void TakeDue(bool all, std::vector<TLine>& lines) REQUIRES(mu_);
  // Has the log writer run FlushEvery by |due_ms| of this log's clock,
  // unless it runs it earlier anyway.
  void PlanFlush(std::int64_t due_ms) REQUIRES(mu_);
  void LogPending(bool all) EXCLUDES(mu_);
  // The log writer's task, for every log at once.
  static void FlushEvery(bool stopping) EXCLUDES(mu_);
  static void Write(const std::vector<TLine>& lines);

  const std::vector<TRefusalText> kinds_;
  const std::function<std::int64_t()> steady_ms_;
  std::vector<std::atomic<std::uint64_t>> totals_;
  // One lock for every log: the writer's run walks them all, and refusals
  // are few next to the work that is served.
  static TMutex mu_;
  std::vector<TKindLog> tallies_ GUARDED_BY(mu_);
  static std::vector<TRefusalLog*> logs_ GUARDED_BY(mu_);
  // When the writer runs FlushEvery next, in its own clock's milliseconds,
  // or kNoFlush.
  static std::int64_t flush_at_ms_ GUARDED_BY(mu_);
};

}  // namespace quorvane
