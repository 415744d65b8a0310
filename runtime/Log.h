// One log line per event on standard output (operator diagnostics on
// standard error). Each line is assembled first and then handed over whole,
// so lines of different threads never mix.
//
// DESIGN. While the log writer runs (the server starts it first thing and
// stops it last), a log call only appends the line to a bounded queue and
// returns: one writer thread drains the queue to both streams in the one
// order in which the lines were logged. A stalled stream (a pipe nobody
// reads, a stopped terminal) therefore never stalls a request. When the
// queue is full, new lines are dropped and counted, never waited for; once
// the stream takes lines again, a line on standard error says how many were
// lost. The writer never waits inside write(): it waits in poll() for
// room together with its wake descriptor, and writes chunks of whole lines
// no longer than PIPE_BUF through a description of its own that cannot
// block (see Log.cpp for how each kind of stream is treated), so a stop can
// always reach it and ends within a bounded time.
//
// Without a running writer (unit tests, the command-line tool, before the
// server starts it) every line is written synchronously on the caller's
// thread, as a plain program would.
#pragma once

#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace quorvane {

// How much a line on standard error matters, as syslog ranks it. Under the
// journal it leads the line as "<N>", so that `journalctl -p warning` shows
// what needs the operator and hides routine events.
enum class TLogPriority : std::uint8_t {
  kError = 3,    // the server, a listener or a reload failed
  kWarning = 4,  // it runs, but something was refused, lost or looks wrong
  kNotice = 5,   // worth knowing, nothing wrong: a reload applied, a setting changed
  kInfo = 6,     // routine events of the protocol's sessions
};

// Writes |line| and a line break to standard output.
void LogLine(std::string_view line);
// The same on standard error: diagnostics and events beyond the log lines
// of the protocol's own description.
void LogDiagnosticLine(TLogPriority priority, std::string_view line);
inline void LogErrorLine(std::string_view line) { LogDiagnosticLine(TLogPriority::kError, line); }

// What is put before each line as it is logged. Both off unless set.
struct TLogFormat {
  bool Priorities = false;  // "<N>" before each standard error line
  bool Timestamps = false;  // "2026-12-08T04:10:33.123Z " before each line
};
// Any thread; lines logged from then on take the new format. The server
// sets it once, before its first line.
void SetLogFormat(TLogFormat format);
// Whether standard error is the journal's stream: JOURNAL_STREAM holds the
// "device:inode" of descriptor 2, as the service manager sets it. A
// variable inherited by a process whose standard error was redirected since
// names another file and does not count.
bool StandardErrorIsJournal();

// Redirects log lines of both streams (in their format, without the line
// break) to |sink|, or back to the streams when |sink| is empty. While a
// sink is set, every line goes to it synchronously on the logging thread,
// in order, whether or not the writer runs. For tests.
void SetLogSink(std::function<void(std::string_view)> sink);

// Lines the writer holds at most (queued and being written); beyond that,
// new lines are dropped.
inline constexpr std::size_t kLogQueueLines = 4096;
// Lines dropped because the queue was full, since the process started.
// Any thread.
std::uint64_t LogLinesDropped();
// What a stop gives the writer to flush what it holds.
inline constexpr std::chrono::milliseconds kLogStopFlush{1000};

// Starts the writer thread, which from now on writes every line to |out_fd|
// and |err_fd| (not owned: they must stay open until StopLogWriter returns;
// tests pass pipes of their own). The thread blocks every signal. Returns
// false, and lines stay synchronous, when a writer already runs or none can
// be started. Any thread; not concurrently with StopLogWriter.
bool StartLogWriter(int out_fd = STDOUT_FILENO, int err_fd = STDERR_FILENO);
// Runs the scheduled log tasks one last time, gives the writer at most
// |flush_limit| to write what it holds, and stops it (if it is caught in a
// write that does not return, it is left behind rather than waited for).
// Lines still held then are lost; lines logged afterwards are written
// synchronously again. Returns true when everything was written, or no
// writer ran. Any thread.
bool StopLogWriter(std::chrono::milliseconds flush_limit = kLogStopFlush);

// Holds the log writer for a scope: starts it on construction, stops it with
// the bounded flush on destruction. RunServer holds one for its whole run.
class TLogWriterScope {
 public:
  TLogWriterScope() : started_(StartLogWriter()) {}
  ~TLogWriterScope() {
    if (started_) StopLogWriter();
  }
  TLogWriterScope(const TLogWriterScope&) = delete;
  TLogWriterScope& operator=(const TLogWriterScope&) = delete;

 private:
  bool started_;
};

// Work that produces log lines later (the tail of a rate-limited report).
// Runs on the writer thread without any log lock held, and may log and
// schedule itself again. |stopping| is true for the last run at stop, when
// whatever the task holds should be logged at once.
using TLogTask = void (*)(bool stopping);
// Runs |task| on the writer thread at |when| or soon after; a task already
// scheduled keeps the earlier time. Returns false, and schedules nothing,
// when no writer runs. Any thread. An idle writer with nothing scheduled
// sleeps without a time-out.
bool ScheduleLogTask(TLogTask task, std::chrono::steady_clock::time_point when);

namespace log_detail {
inline void Append(std::string& out, std::string_view text) { out += text; }
inline void Append(std::string& out, const char* text) { out += text; }
inline void Append(std::string& out, const std::string& text) { out += text; }
template <class N>
requires std::is_integral_v<N> &&
    (!std::is_same_v<N, char>)&&(!std::is_same_v<N, bool>)void Append(std::string& out, N number) {
  // Widened first, so that 8-bit values print as numbers, not characters.
  using TWide = std::conditional_t<std::is_signed_v<N>, long long, unsigned long long>;
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, static_cast<TWide>(number));
  out.append(digits, result.ptr);
}
}  // namespace log_detail

// Log("New client from: ", address, ":", port): texts and numbers in decimal.
template <class... Parts>
void Log(const Parts&... parts) {
  std::string line;
  (log_detail::Append(line, parts), ...);
  LogLine(line);
}

template <class... Parts>
void LogDiagnostic(TLogPriority priority, const Parts&... parts) {
  std::string line;
  (log_detail::Append(line, parts), ...);
  LogDiagnosticLine(priority, line);
}

// LogError("cannot listen on ", where): like Log, on standard error, with
// the priority of its name.
template <class... Parts>
void LogError(const Parts&... parts) {
  LogDiagnostic(TLogPriority::kError, parts...);
}
template <class... Parts>
void LogWarning(const Parts&... parts) {
  LogDiagnostic(TLogPriority::kWarning, parts...);
}
template <class... Parts>
void LogNotice(const Parts&... parts) {
  LogDiagnostic(TLogPriority::kNotice, parts...);
}
template <class... Parts>
void LogInfo(const Parts&... parts) {
  LogDiagnostic(TLogPriority::kInfo, parts...);
}

}  // namespace quorvane
