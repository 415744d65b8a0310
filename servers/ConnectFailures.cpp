#include "servers/ConnectFailures.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "runtime/Log.h"

namespace quorvane {

TMutex TConnectFailureLog::mu_;
std::vector<std::shared_ptr<TConnectFailureLog>> TConnectFailureLog::waiting_;
TConnectFailureLog::TClock::time_point TConnectFailureLog::flush_at_ = TClock::time_point::max();

TConnectFailure ConnectFailureOf(int error) {
  switch (error) {
    case ECONNREFUSED:
      return TConnectFailure::kRefused;
    case ETIMEDOUT:
      return TConnectFailure::kTimedOut;
    case EHOSTUNREACH:
    case ENETUNREACH:
      return TConnectFailure::kUnreachable;
    default:
      return TConnectFailure::kOther;
  }
}

std::string_view ConnectFailureName(TConnectFailure reason) {
  switch (reason) {
    case TConnectFailure::kRefused:
      return "refused";
    case TConnectFailure::kTimedOut:
      return "timed_out";
    case TConnectFailure::kUnreachable:
      return "unreachable";
    case TConnectFailure::kOther:
      break;
  }
  return "other";
}

TConnectFailureLog::TConnectFailureLog(const std::string& redirector, const std::string& target)
    : subject_(redirector + " cannot reach " + target + ": ") {}

void TConnectFailureLog::Report(int error) {
  TSlot due;
  {
    TMutexLock lock(mu_);
    TSlot& slot = slots_[static_cast<std::size_t>(ConnectFailureOf(error))];
    ++slot.Pending;
    slot.Error = error;
    const auto now = TClock::now();
    if (slot.LoggedOnce && now - slot.LastLine < kConnectFailureLogInterval) {
      Defer(slot.LastLine + kConnectFailureLogInterval);
      return;
    }
    due = slot;
    slot.Pending = 0;
    slot.LoggedOnce = true;
    slot.LastLine = now;
  }
  LogDiagnosticLine(TLogPriority::kWarning, Line(due));
}

std::string TConnectFailureLog::Line(const TSlot& slot) const {
  std::string line = subject_;
  line += std::error_code(slot.Error, std::system_category()).message();
  line += " (";
  line += std::to_string(slot.Pending);
  line += slot.Pending == 1 ? " player in the last " : " players in the last ";
  line += std::to_string(kConnectFailureLogInterval.count());
  line += " s)";
  return line;
}

void TConnectFailureLog::Defer(TClock::time_point when) {
  if (!listed_) {
    waiting_.push_back(shared_from_this());
    listed_ = true;
  }
  // A time long past belongs to a writer that has stopped since. Without a
  // writer nothing is planned, and the tail waits for the next failure of
  // its kind or FlushAll().
  const bool planned =
      flush_at_ != TClock::time_point::max() && TClock::now() < flush_at_ + kConnectFailureLogInterval;
  if (planned && flush_at_ <= when) return;
  if (ScheduleLogTask(&TConnectFailureLog::Flush, when)) flush_at_ = when;
}

void TConnectFailureLog::FlushAll() { Flush(/*all=*/true); }

void TConnectFailureLog::Flush(bool all) {
  std::vector<std::pair<std::shared_ptr<TConnectFailureLog>, TSlot>> lines;
  {
    TMutexLock lock(mu_);
    flush_at_ = TClock::time_point::max();
    const auto now = TClock::now();
    auto next = TClock::time_point::max();
    std::vector<std::shared_ptr<TConnectFailureLog>> still_waiting;
    for (auto& log : waiting_) {
      bool pending = false;
      for (TSlot& slot : log->slots_) {
        if (slot.Pending == 0) continue;
        const auto due = slot.LastLine + kConnectFailureLogInterval;
        if (!all && now < due) {
          next = std::min(next, due);
          pending = true;
          continue;
        }
        // Formatted outside the lock, which failing relays wait for.
        lines.emplace_back(log, slot);
        slot.Pending = 0;
        slot.LoggedOnce = true;
        slot.LastLine = now;
      }
      log->listed_ = pending;
      if (pending) still_waiting.push_back(std::move(log));
    }
    waiting_ = std::move(still_waiting);
    if (next != TClock::time_point::max() && ScheduleLogTask(&TConnectFailureLog::Flush, next)) {
      flush_at_ = next;
    }
  }
  for (const auto& [log, slot] : lines) LogDiagnosticLine(TLogPriority::kWarning, log->Line(slot));
}

}  // namespace quorvane
