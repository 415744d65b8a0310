#include "runtime/Log.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "runtime/Mutex.h"
#include "runtime/Net.h"

namespace quorvane {
namespace {

// Every line dropped since the process started, for the operator's views.
std::atomic<std::uint64_t> g_dropped_total{0};

// The log format, as bits: read by every line, set once at the start.
constexpr unsigned kPriorityBit = 1;
constexpr unsigned kTimestampBit = 2;
std::atomic<unsigned> g_format{0};

using TClock = std::chrono::steady_clock;

// A pipe takes a write of at most PIPE_BUF bytes whole or not at all, and
// one that reports POLLOUT has room for that much. Chunks of whole lines no
// longer than this therefore neither wait nor split a line.
constexpr std::size_t kChunkBytes = PIPE_BUF;
// Queue slots kept between bursts of lines.
constexpr std::size_t kKeptQueueSlots = 1024;
// While lines keep being dropped, drop notices come at most this often.
constexpr auto kDropNoticeInterval = std::chrono::seconds(1);
// How long a stop waits beyond its flush limit for the writer to notice it.
constexpr auto kStopMargin = std::chrono::milliseconds(200);
constexpr TClock::time_point kNever = TClock::time_point::max();

enum class TStream : std::uint8_t { kOut, kErr };

// "2026-12-08T04:10:33.123Z ": the wall clock in UTC, so that lines of
// servers in different zones, or across a change of daylight saving time,
// read in one order.
void AppendTime(std::string& out) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  ::gmtime_r(&now.tv_sec, &utc);
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ ",
                                   utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                                   utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
  if (length > 0) out.append(text, std::min(static_cast<std::size_t>(length), sizeof text - 1));
}

// |line| with what the format puts before it and a line break, as it is
// logged: the time is the moment of the call, not of the write.
std::string Formatted(TStream stream, TLogPriority priority, std::string_view line) {
  const unsigned format = g_format.load(std::memory_order_relaxed);
  std::string whole;
  whole.reserve(line.size() + 30);
  if ((format & kPriorityBit) != 0 && stream == TStream::kErr) {
    whole += '<';
    whole += static_cast<char>('0' + static_cast<int>(priority));
    whole += '>';
  }
  if ((format & kTimestampBit) != 0) AppendTime(whole);
  whole.append(line);
  whole.push_back('\n');
  return whole;
}

struct TQueued {
  TStream Stream;
  std::string Text;  // with its line break
};

struct TTask {
  TLogTask Task;
  TClock::time_point When;
};

// One log stream as the writer thread writes it. How each kind of
// descriptor is written without ever waiting inside write():
// - A socket (the journal's stream socket): send() with MSG_DONTWAIT, which
//   makes that one call non-blocking and leaves the description, shared with
//   the service manager and other processes, as it is.
// - A pipe, FIFO or character device (terminal, /dev/null): a description of
//   our own, opened through /proc/self/fd with O_NONBLOCK. Setting
//   O_NONBLOCK on the inherited description instead would change it for the
//   parent shell and everyone else holding it, and outlive the process.
//   Pipes and terminals have no file offset, so a second description writes
//   exactly where the first would.
// - A regular file or block device: the inherited description, blocking. It
//   never waits for a reader, and it carries the offset the shell set up (a
//   description of our own would start at 0 and overwrite the file).
// - When the reopen fails (no /proc, a pipe of another user): the inherited
//   description, blocking. The writer polls for POLLOUT first and writes at
//   most kChunkBytes, which such a pipe takes without waiting unless another
//   process fills it in between; should the write ever wait, a stop leaves
//   the writer behind rather than waiting with it.
class TOutput {
 public:
  explicit TOutput(int fd) : fd_(fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    if (S_ISSOCK(st.st_mode)) {
      socket_ = true;
      return;
    }
    if (!S_ISFIFO(st.st_mode) && !S_ISCHR(st.st_mode)) return;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) return;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    own_.Reset(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (own_) fd_ = own_.Get();
  }

  int Fd() const { return fd_; }

  // Writes up to |size| bytes. Returns the bytes written, 0 when there is no
  // room now, or -1 when the stream failed and the bytes are lost.
  ssize_t WriteSome(const char* data, std::size_t size) const {
    for (;;) {
      const ssize_t n =
          socket_ ? ::send(fd_, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd_, data, size);
      if (n > 0) return n;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
      return -1;  // also a write of nothing, which would only repeat
    }
  }

 private:
  int fd_;
  TUniqueFd own_;
  bool socket_ = false;
};

std::string DropNotice(std::uint64_t dropped) {
  std::string line = "Dropped ";
  log_detail::Append(line, dropped);
  line += dropped == 1 ? " log line" : " log lines";
  line += " while the log output was blocked";
  return Formatted(TStream::kErr, TLogPriority::kWarning, line);
}

// Poll time-out from |now| until |until|; -1 for kNever.
int TimeoutMs(TClock::time_point now, TClock::time_point until) {
  if (until == kNever) return -1;
  if (until <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// The queue and the writer thread's state for one run of the writer. Shared
// by the log state and the thread, so that a writer left behind at stop
// keeps what it uses.
class TWriter {
 public:
  TWriter(int out_fd, int err_fd) : out_(out_fd), err_(err_fd) {}
  TWriter(const TWriter&) = delete;
  TWriter& operator=(const TWriter&) = delete;

  bool Valid() const { return wake_.Valid(); }

  // Queues |text| (a whole line with its break), or counts it as dropped
  // when the writer holds kLogQueueLines already or has ended. Any thread.
  void Push(TStream stream, std::string text) {
    bool was_empty = false;
    {
      TMutexLock lock(mu_);
      if (ended_ || held_ >= kLogQueueLines) {
        ++dropped_;
        g_dropped_total.fetch_add(1, std::memory_order_relaxed);
        return;
      }
      was_empty = queue_.empty();
      queue_.push_back({stream, std::move(text)});
      ++held_;
    }
    // Only the first line of a batch wakes the writer; it takes the rest
    // along with it.
    if (was_empty) wake_.Set();
  }

  // False when the writer has ended. Any thread.
  bool Schedule(TLogTask task, TClock::time_point when) {
    {
      TMutexLock lock(mu_);
      if (ended_) return false;
      const auto it =
          std::find_if(tasks_.begin(), tasks_.end(), [&](const TTask& t) { return t.Task == task; });
      if (it == tasks_.end()) {
        tasks_.push_back({task, when});
      } else if (when < it->When) {
        it->When = when;
      } else {
        return true;
      }
    }
    wake_.Set();
    return true;
  }

  // The stopping thread: asks the writer to run its tasks and to end once
  // everything is written or |deadline| has passed.
  void RequestStop(TClock::time_point deadline) {
    {
      TMutexLock lock(mu_);
      stop_requested_ = true;
      stop_deadline_ = deadline;
    }
    wake_.Set();
  }

  // Waits until Run() has returned or |until| passes; true if it returned.
  bool WaitEnded(TClock::time_point until) {
    TMutexLock lock(mu_);
    while (!ended_) {
      if (ended_cv_.wait_until(mu_, until) == std::cv_status::timeout) return ended_;
    }
    return true;
  }

  // Whether Run() ended with everything written. After WaitEnded().
  bool Drained() {
    TMutexLock lock(mu_);
    return drained_;
  }

  // The writer thread's body.
  void Run() {
    bool drained = false;
    for (;;) {
      TClock::time_point next_task = kNever;
      std::vector<TTask> due;
      bool stopping = false;
      TClock::time_point deadline = kNever;
      {
        TMutexLock lock(mu_);
        Sync(due, next_task);
        stopping = stop_requested_;
        if (stopping) deadline = stop_deadline_;
      }
      if (!due.empty()) {
        // Outside the lock: a task logs, and may schedule itself again.
        for (const TTask& t : due) t.Task(stopping);
        continue;
      }
      if (chunk_.empty()) FillChunk();
      const auto now = TClock::now();
      if (chunk_.empty()) {
        if (stopping) {
          drained = true;
          break;
        }
        pollfd wake{wake_.Fd(), POLLIN, 0};
        if (PollRetry(&wake, 1, TimeoutMs(now, next_task)) > 0) wake_.Reset();
        continue;
      }
      if (now >= deadline) break;
      WriteChunk(TimeoutMs(now, std::min(next_task, deadline)));
    }
    {
      TMutexLock lock(mu_);
      ended_ = true;
      drained_ = drained;
    }
    ended_cv_.notify_all();
  }

 private:
  // Under mu_, on the writer thread: settles what was written since the
  // last call, takes the tasks due (all of them, once, when a stop is
  // requested), refills the batch, and puts a drop notice next when one is
  // due.
  void Sync(std::vector<TTask>& due, TClock::time_point& next_task) REQUIRES(mu_) {
    held_ -= finished_lines_;
    finished_lines_ = 0;
    const auto now = TClock::now();
    const bool take_all = stop_requested_ && !stop_tasks_taken_;
    stop_tasks_taken_ = stop_requested_;
    for (auto it = tasks_.begin(); it != tasks_.end();) {
      if (take_all || it->When <= now) {
        due.push_back(*it);
        it = tasks_.erase(it);
      } else {
        next_task = std::min(next_task, it->When);
        ++it;
      }
    }
    if (!chunk_.empty()) return;
    if (next_ == batch_.size()) {
      batch_.clear();
      // The producers get the emptied vector back, with its capacity, unless
      // a burst grew it: a backlog's worth of slots would stay for good.
      if (batch_.capacity() > kKeptQueueSlots) std::vector<TQueued>().swap(batch_);
      next_ = 0;
      batch_.swap(queue_);
    }
    // Once the stream has caught up, or at most once an interval while it
    // keeps taking lines but too slowly.
    const bool caught_up = next_ == batch_.size();
    if (dropped_ > 0 && (caught_up || (took_lines_ && now - last_notice_ >= kDropNoticeInterval))) {
      chunk_ = DropNotice(dropped_);
      chunk_stream_ = TStream::kErr;
      dropped_ = 0;
      last_notice_ = now;
    }
    took_lines_ = false;
  }

  // Gathers the next lines of one stream into the chunk, up to kChunkBytes
  // (a longer line goes alone and is written in pieces).
  void FillChunk() {
    if (next_ == batch_.size()) return;
    chunk_stream_ = batch_[next_].Stream;
    do {
      chunk_ += batch_[next_].Text;
      ++chunk_lines_;
      ++next_;
    } while (next_ < batch_.size() && batch_[next_].Stream == chunk_stream_ &&
             chunk_.size() + batch_[next_].Text.size() <= kChunkBytes);
  }

  // Waits up to |timeout_ms| for room (or a wake), then writes what fits.
  void WriteChunk(int timeout_ms) {
    const TOutput& output = chunk_stream_ == TStream::kOut ? out_ : err_;
    pollfd fds[2] = {{output.Fd(), POLLOUT, 0}, {wake_.Fd(), POLLIN, 0}};
    const int ready = PollRetry(fds, 2, timeout_ms);
    if (ready > 0 && fds[1].revents != 0) wake_.Reset();
    // A failed poll says nothing about the stream: the write finds out.
    if (ready == 0 || (ready > 0 && fds[0].revents == 0)) return;
    const std::size_t size = std::min(chunk_.size() - chunk_done_, kChunkBytes);
    const ssize_t written = output.WriteSome(chunk_.data() + chunk_done_, size);
    if (written == 0) return;
    if (written > 0) chunk_done_ += static_cast<std::size_t>(written);
    if (written < 0 || chunk_done_ == chunk_.size()) {
      took_lines_ = took_lines_ || written > 0;
      finished_lines_ += chunk_lines_;
      chunk_.clear();
      chunk_done_ = 0;
      chunk_lines_ = 0;
    }
  }

  const TOutput out_;
  const TOutput err_;
  const TEvent wake_;  // set by producers, schedulers and the stopper

  TMutex mu_;
  std::condition_variable_any ended_cv_;
  std::vector<TQueued> queue_ GUARDED_BY(mu_);
  std::size_t held_ GUARDED_BY(mu_) = 0;       // queued, in the batch or in the chunk
  std::uint64_t dropped_ GUARDED_BY(mu_) = 0;  // since the last drop notice
  std::vector<TTask> tasks_ GUARDED_BY(mu_);
  bool stop_requested_ GUARDED_BY(mu_) = false;
  TClock::time_point stop_deadline_ GUARDED_BY(mu_) = kNever;
  bool ended_ GUARDED_BY(mu_) = false;
  bool drained_ GUARDED_BY(mu_) = false;

  // Writer thread only (Sync() runs on it, under mu_ only for the fields
  // above).
  std::vector<TQueued> batch_;  // taken from queue_ in one swap
  std::size_t next_ = 0;        // first line of batch_ not yet in a chunk
  std::string chunk_;           // whole lines of one stream, being written
  TStream chunk_stream_ = TStream::kOut;
  std::size_t chunk_done_ = 0;        // bytes of chunk_ written
  std::size_t chunk_lines_ = 0;       // queued lines in chunk_ (0 for a drop notice)
  std::size_t finished_lines_ = 0;    // written or lost since the last Sync()
  bool took_lines_ = false;           // a chunk was written whole since the last Sync()
  bool stop_tasks_taken_ = false;     // the last run of the tasks at stop
  TClock::time_point last_notice_{};  // of the last drop notice
};

struct TLogState {
  TMutex Mu;
  std::function<void(std::string_view)> Sink GUARDED_BY(Mu);
  std::shared_ptr<TWriter> Writer GUARDED_BY(Mu);
  // Serialises StartLogWriter and StopLogWriter; taken before Mu.
  TMutex ControlMu ACQUIRED_BEFORE(Mu);
  std::thread Thread GUARDED_BY(ControlMu);
};

TLogState& State() {
  // Never destroyed: a writer left behind in a write, or a thread that logs
  // while the process exits, may still reach it.
  static TLogState* const kState = new TLogState;
  return *kState;
}

void WriteAll(int fd, const std::string& whole) {
  const char* p = whole.data();
  std::size_t left = whole.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // nowhere to report a broken standard output
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void Emit(TStream stream, TLogPriority priority, std::string_view line) {
  std::string whole = Formatted(stream, priority, line);
  TLogState& state = State();
  TMutexLock lock(state.Mu);
  if (state.Sink) {
    state.Sink(std::string_view(whole).substr(0, whole.size() - 1));
  } else if (state.Writer) {
    state.Writer->Push(stream, std::move(whole));
  } else {
    // Under the lock, so that lines of different threads never mix.
    WriteAll(stream == TStream::kOut ? STDOUT_FILENO : STDERR_FILENO, whole);
  }
}

}  // namespace

std::uint64_t LogLinesDropped() { return g_dropped_total.load(std::memory_order_relaxed); }

void LogLine(std::string_view line) { Emit(TStream::kOut, TLogPriority::kInfo, line); }

void LogDiagnosticLine(TLogPriority priority, std::string_view line) { Emit(TStream::kErr, priority, line); }

void SetLogFormat(TLogFormat format) {
  g_format.store((format.Priorities ? kPriorityBit : 0) | (format.Timestamps ? kTimestampBit : 0),
                 std::memory_order_relaxed);
}

bool StandardErrorIsJournal() {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the process changes its environment
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  const std::string_view text(value);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  const auto number = [](std::string_view digits, unsigned long long& out) {
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
    return error == std::errc() && end == digits.data() + digits.size() && !digits.empty();
  };
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (!number(text.substr(0, colon), device) || !number(text.substr(colon + 1), inode)) return false;
  struct stat st {};
  if (::fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

void SetLogSink(std::function<void(std::string_view)> sink) {
  TLogState& state = State();
  TMutexLock lock(state.Mu);
  state.Sink = std::move(sink);
}

bool StartLogWriter(int out_fd, int err_fd) {
  TLogState& state = State();
  TMutexLock control(state.ControlMu);
  if (state.Thread.joinable()) return false;
  auto writer = std::make_shared<TWriter>(out_fd, err_fd);
  if (!writer->Valid()) return false;
  // Started with every signal blocked: the stop signals belong to the
  // server's signalfd, and a write to a pipe whose reader has gone leaves
  // SIGPIPE pending on this thread instead of ending the process.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    state.Thread = std::thread([writer] { writer->Run(); });
  } catch (const std::system_error&) {
    // No thread to be had: lines stay synchronous.
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!state.Thread.joinable()) return false;
  pthread_setname_np(state.Thread.native_handle(), "log-writer");
  TMutexLock lock(state.Mu);
  state.Writer = std::move(writer);
  return true;
}

bool StopLogWriter(std::chrono::milliseconds flush_limit) {
  TLogState& state = State();
  TMutexLock control(state.ControlMu);
  if (!state.Thread.joinable()) return true;
  std::shared_ptr<TWriter> writer;
  {
    TMutexLock lock(state.Mu);
    writer = state.Writer;
  }
  const auto deadline = TClock::now() + flush_limit;
  writer->RequestStop(deadline);
  const bool ended = writer->WaitEnded(deadline + kStopMargin);
  {
    // Lines logged from here on are written synchronously again.
    TMutexLock lock(state.Mu);
    state.Writer.reset();
  }
  if (ended) {
    state.Thread.join();
  } else {
    // Caught in a write that did not return: it keeps its own reference to
    // the writer and ends whenever the write does.
    state.Thread.detach();
  }
  return ended && writer->Drained();
}

bool ScheduleLogTask(TLogTask task, std::chrono::steady_clock::time_point when) {
  std::shared_ptr<TWriter> writer;
  {
    TLogState& state = State();
    TMutexLock lock(state.Mu);
    writer = state.Writer;
  }
  return writer && writer->Schedule(task, when);
}

}  // namespace quorvane
