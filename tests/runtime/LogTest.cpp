// The log writer against real pipes: what one reads, what a stalled one
// does to the threads that log, and the stop with a pipe nobody reads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "runtime/Log.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;
using test::TPipe;

// Reads a pipe on a thread of its own into lines, from its construction
// until Stop() and what the pipe holds then.
class TPipeReader {
 public:
  explicit TPipeReader(int fd) : fd_(fd), thread_([this] { Read(); }) {}
  ~TPipeReader() { Stop(); }

  void Stop() {
    if (!thread_.joinable()) return;
    stop_.Set();
    thread_.join();
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  // Once stopped, takes what the pipe still holds and ends.
  void Read() {
    for (bool stopping = false;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
      if (PollRetry(fds, stopping ? 1 : 2, stopping ? 0 : -1) <= 0) return;
      if (fds[0].revents == 0) {
        stopping = true;
        continue;
      }
      char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return;
      std::lock_guard lock(mu_);
      pending_.append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
        lines_.push_back(pending_.substr(0, end));
      }
    }
  }

  int fd_;
  TEvent stop_;
  std::mutex mu_;
  std::string pending_;             // guarded by mu_
  std::vector<std::string> lines_;  // guarded by mu_
  std::thread thread_;              // last: it reads the members above
};

// Stops a writer a failed assertion left running, before the pipes close.
class LogWriterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    StopLogWriter(0ms);
    SetLogFormat({});
  }
};

// Thread |t|'s line |i|: every third on standard error; lengths vary, so
// that lines straddle chunk boundaries.
std::string Padding(int t, int i) {
  return std::string(static_cast<std::size_t>(20 + (i * 37) % 300), static_cast<char>('a' + t));
}
std::string TestLine(int t, int i) {
  return (i % 3 == 0 ? "err " : "out ") + std::to_string(t) + " " + std::to_string(i) + " " + Padding(t, i);
}

// Fewer lines in all than the queue holds, so that none may be dropped.
constexpr int kThreads = 4;
constexpr int kLinesPerThread = 1000;

// The lines of each thread, in the order they arrived; fails on a line that
// is not one of TestLine's, whole.
std::vector<std::vector<int>> PerThread(const std::vector<std::string>& lines) {
  std::vector<std::vector<int>> seen(kThreads);
  for (const auto& line : lines) {
    int t = -1;
    int i = -1;
    if (line.size() < 4 || std::sscanf(line.c_str() + 4, "%d %d", &t, &i) != 2 || t < 0 || t >= kThreads ||
        i < 0 || i >= kLinesPerThread || line != TestLine(t, i)) {
      ADD_FAILURE() << "mixed or broken line: " << line;
      continue;
    }
    seen[static_cast<std::size_t>(t)].push_back(i);
  }
  return seen;
}

TEST_F(LogWriterTest, LinesOfManyThreadsArriveWholeInOneOrderOnTheirOwnStreams) {
  // Both streams into one pipe too: each thread's lines keep their order
  // across the two streams.
  for (const bool one_pipe : {false, true}) {
    SCOPED_TRACE(one_pipe ? "one pipe for both streams" : "a pipe per stream");
    TPipe out;
    TPipe err;
    TPipeReader out_reader(out.ReadEnd.Get());
    TPipeReader err_reader(err.ReadEnd.Get());
    const int err_fd = one_pipe ? out.WriteEnd.Get() : err.WriteEnd.Get();
    ASSERT_TRUE(StartLogWriter(out.WriteEnd.Get(), err_fd));
    EXPECT_FALSE(StartLogWriter(out.WriteEnd.Get(), err_fd));
    // Formatted by Log(), where the thread's 8-bit number must come out as
    // a number, not as a character.
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        const auto number = static_cast<std::uint8_t>(t);
        for (int i = 0; i < kLinesPerThread; ++i) {
          if (i % 3 == 0) {
            LogError("err ", number, " ", i, " ", Padding(t, i));
          } else {
            Log("out ", number, " ", i, " ", Padding(t, i));
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(StopLogWriter(10s));  // the readers keep up: everything is written
    out_reader.Stop();
    err_reader.Stop();
    const auto outs = PerThread(out_reader.Lines());
    const auto errs = PerThread(err_reader.Lines());
    std::vector<int> want_out;
    std::vector<int> want_err;
    for (int i = 0; i < kLinesPerThread; ++i) (i % 3 == 0 && !one_pipe ? want_err : want_out).push_back(i);
    EXPECT_EQ(outs, std::vector(kThreads, want_out));
    EXPECT_EQ(errs, std::vector(kThreads, want_err));
  }
}

// The count in a drop notice, a warning under the journal's format, or -1
// for another line.
long DroppedIn(const std::string& line) {
  std::smatch match;
  static const std::regex kNotice(R"(<4>Dropped (\d+) log line(s?) while the log output was blocked)");
  if (!std::regex_match(line, match, kNotice)) return -1;
  const long count = std::stol(match[1]);
  return (count == 1) == match[2].str().empty() ? count : -1;
}

constexpr int kLoggers = 4;
constexpr int kLinesEach = 5000;

// Logs far more than the pipe and the queue hold from several threads while
// nobody reads |out|. False if the log calls did not all return; then the
// pipe is drained, so that the test can end.
bool FloodUnreadPipe(TPipe& out) {
  std::atomic<int> finished{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < kLoggers; ++t) {
    loggers.emplace_back([&, t] {
      for (int i = 0; i < kLinesEach; ++i) Log("line ", t, " ", i, " of a flood that nobody reads");
      ++finished;
    });
  }
  const bool all_returned = test::WaitUntil([&] { return finished == kLoggers; }, 30000ms);
  std::optional<TPipeReader> drain;
  if (!all_returned) drain.emplace(out.ReadEnd.Get());
  for (auto& logger : loggers) logger.join();
  return all_returned;
}

TEST_F(LogWriterTest, StalledPipeBlocksNeitherTheThreadsThatLogNorTheStopAndWhatItDroppedIsCounted) {
  TPipe out;  // read only once the flood is over
  TPipe err;
  TPipeReader err_reader(err.ReadEnd.Get());
  SetLogFormat({.Priorities = true});
  ASSERT_TRUE(StartLogWriter(out.WriteEnd.Get(), err.WriteEnd.Get()));
  ASSERT_TRUE(FloodUnreadPipe(out)) << "log calls wait for a stalled pipe";

  // The pipe is read again: what was held arrives, then the count of what
  // was not, and together they are every line logged.
  TPipeReader out_reader(out.ReadEnd.Get());
  long dropped = 0;
  const auto accounted = [&] {
    dropped = 0;
    for (const auto& line : err_reader.Lines()) dropped += std::max(0L, DroppedIn(line));
    return static_cast<long>(out_reader.Lines().size()) + dropped == long{kLoggers} * kLinesEach;
  };
  EXPECT_TRUE(test::WaitUntil(accounted, 30000ms))
      << out_reader.Lines().size() << " lines written, " << dropped << " counted as dropped";
  EXPECT_GT(dropped, 0);
  for (const auto& line : err_reader.Lines()) EXPECT_GE(DroppedIn(line), 1) << line;
  // Standard output carries no priority.
  for (const auto& line : out_reader.Lines()) EXPECT_EQ(line.rfind("line ", 0), 0u) << line;

  // Stalled again, with a full pipe and a full queue: the stop still
  // returns, and says that not everything was written.
  out_reader.Stop();
  ASSERT_TRUE(FloodUnreadPipe(out));
  auto stop = std::async(std::launch::async, [] { return StopLogWriter(); });
  ASSERT_EQ(stop.wait_for(10s), std::future_status::ready) << "the stop waits for the pipe";
  EXPECT_FALSE(stop.get());
}

}  // namespace
}  // namespace quorvane
