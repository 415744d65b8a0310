#include "runtime/Log.h"

#include <unistd.h>

#include <cerrno>
#include <mutex>

namespace quorvane {
namespace {

std::mutex& LogMutex() {
  static std::mutex mu;
  return mu;
}

std::function<void(std::string_view)>& Sink() {
  static std::function<void(std::string_view)> sink;  // guarded by LogMutex()
  return sink;
}

void WriteLine(int fd, std::string_view line) {
  std::string whole;
  whole.reserve(line.size() + 1);
  whole.append(line);
  whole.push_back('\n');
  std::lock_guard lock(LogMutex());
  if (Sink()) {
    Sink()(line);
    return;
  }
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

}  // namespace

void LogLine(std::string_view line) { WriteLine(STDOUT_FILENO, line); }

void LogErrorLine(std::string_view line) { WriteLine(STDERR_FILENO, line); }

void SetLogSink(std::function<void(std::string_view)> sink) {
  std::lock_guard lock(LogMutex());
  Sink() = std::move(sink);
}

}  // namespace quorvane
