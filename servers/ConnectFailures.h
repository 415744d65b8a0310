// Players a TCP redirector could not connect to its target: the reason
// each failed connect counts under, and the line on standard error that
// tells the operator, one per redirector and reason at most every
// kConnectFailureLogInterval, however many players fail:
//   TCP Redirector at 192.0.2.1:40123 cannot reach 127.0.0.1:8080:
//   Connection refused (3 players in the last 10 s)
// The first failure of a quiet redirector is logged at once; the ones that
// follow within the interval are counted, and the log writer logs their sum
// when it is over (as the refusal lines do, runtime/Refusals.h). A game
// host whose game is down fails every player who tries, so the line says
// how many did, not each of them.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Mutex.h"

namespace quorvane {

enum class TConnectFailure : std::uint8_t { kRefused, kTimedOut, kUnreachable, kOther };
inline constexpr std::size_t kConnectFailureCount = 4;

// ECONNREFUSED, ETIMEDOUT, EHOSTUNREACH or ENETUNREACH; anything else.
TConnectFailure ConnectFailureOf(int error);
// "refused", "timed_out", "unreachable", "other".
std::string_view ConnectFailureName(TConnectFailure reason);

inline constexpr std::chrono::seconds kConnectFailureLogInterval{10};

// One redirector's lines; shared by its relays, which may outlive it, and
// kept by a pending tail until that is logged.
class TConnectFailureLog final : public std::enable_shared_from_this<TConnectFailureLog> {
 public:
  // |redirector| and |target| as the line names them ("TCP Redirector at
  // 192.0.2.1:40123", RedirectorName(); "127.0.0.1:8080"). Make it with
  // std::make_shared.
  TConnectFailureLog(const std::string& redirector, const std::string& target);
  TConnectFailureLog(const TConnectFailureLog&) = delete;
  TConnectFailureLog& operator=(const TConnectFailureLog&) = delete;

  // A connect failed with |error|: logged now, or counted into the next
  // line of its reason. Any thread; never blocks on the log.
  void Report(int error) EXCLUDES(mu_);

  // Logs every pending tail now. For tests and tools; the server's log
  // writer does it by itself at stop.
  static void FlushAll() EXCLUDES(mu_);

 private:
  using TClock = std::chrono::steady_clock;
  struct TSlot {
    std::uint64_t Pending = 0;
    int Error = 0;  // the latest one's
    bool LoggedOnce = false;
    TClock::time_point LastLine{};
  };

  std::string Line(const TSlot& slot) const;
  // Lists the log for the writer and has it run Flush by |when|.
  void Defer(TClock::time_point when) REQUIRES(mu_);
  // Logs the tails whose interval is over (all of them when |all|) and
  // plans the next run for the rest.
  static void Flush(bool all) EXCLUDES(mu_);

  const std::string subject_;
  // One lock for every redirector's lines: the writer's run walks them all,
  // and failures are few next to the relays' traffic.
  static TMutex mu_;
  std::array<TSlot, kConnectFailureCount> slots_ GUARDED_BY(mu_);
  bool listed_ GUARDED_BY(mu_) = false;
  // Logs with a pending tail, and when the writer runs Flush next.
  static std::vector<std::shared_ptr<TConnectFailureLog>> waiting_ GUARDED_BY(mu_);
  static TClock::time_point flush_at_ GUARDED_BY(mu_);
};

}  // namespace quorvane
