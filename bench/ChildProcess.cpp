#include "bench/ChildProcess.h"

#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench/BenchSupport.h"

namespace quorvane::bench {

namespace {

constexpr int kReapPollMs = 10;
// Directories nftw() keeps open at once.
constexpr int kOpenDirs = 16;

int RemoveEntry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

}  // namespace

TScratchDir::TScratchDir() {
  char pattern[] = "/tmp/quorvane-bench-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

TScratchDir::~TScratchDir() {
  // Only the main thread changes directories or walks trees.
  if (Valid())
    ::nftw(path_.c_str(), RemoveEntry, kOpenDirs, FTW_DEPTH | FTW_PHYS);  // NOLINT(concurrency-mt-unsafe)
}

bool TScratchDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream file(path_ + "/" + name);
  file << text;
  return static_cast<bool>(file.flush());
}

std::vector<std::string> TScratchDir::Lines(const std::string& name, std::string_view containing) const {
  std::ifstream file(path_ + "/" + name);
  std::vector<std::string> found;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.find(containing) != std::string::npos) found.push_back(std::move(line));
  }
  return found;
}

std::string TScratchDir::Tail(const std::string& name, int lines, std::string_view containing) const {
  const std::vector<std::string> found = Lines(name, containing);
  const auto first = found.end() - std::min<std::ptrdiff_t>(std::max(lines, 0), std::ssize(found));
  std::string joined;
  for (auto line = first; line != found.end(); ++line) joined += (joined.empty() ? "" : "; ") + *line;
  return joined;
}

bool TChildProcess::Start(const std::vector<std::string>& argv, const std::string& dir,
                          const std::string& log_path, long descriptor_limit) {
  // Everything the child needs is made before the fork: between fork and
  // exec a threaded process may only make async-signal-safe calls.
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  const pid_t parent = ::getpid();
  const rlimit limit{static_cast<rlim_t>(descriptor_limit), static_cast<rlim_t>(descriptor_limit)};
  pid_t pid = -1;
  if (null_fd >= 0 && log_fd >= 0) pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    // A group of its own: stopping it reaches the workers a program forks.
    ::setpgid(0, 0);
    // The benchmark ignores SIGPIPE; the program gets the default back.
    ::signal(SIGPIPE, SIG_DFL);
    if (::chdir(dir.c_str()) != 0 || ::dup2(null_fd, STDIN_FILENO) < 0 || ::dup2(log_fd, STDOUT_FILENO) < 0 ||
        ::dup2(log_fd, STDERR_FILENO) < 0) {
      ::_exit(127);
    }
    // Raising a hard limit takes privilege; the log then says why the
    // program never started.
    if (descriptor_limit > 0 && ::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      static constexpr char kNoLimit[] = "quorvane-bench: cannot set RLIMIT_NOFILE for this program\n";
      [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, kNoLimit, sizeof kNoLimit - 1);
      ::_exit(127);
    }
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  if (null_fd >= 0) ::close(null_fd);
  if (log_fd >= 0) ::close(log_fd);
  if (pid < 0) return false;
  // Also here, so that a Stop() right after the fork finds the group.
  ::setpgid(pid, pid);
  pid_ = pid;
  return true;
}

bool TChildProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == 0) return true;
  if (done == pid_ || (done < 0 && errno == ECHILD)) {
    // Workers the program left behind go with it.
    ::kill(-pid_, SIGKILL);
    pid_ = -1;
  }
  return pid_ >= 0;
}

bool TChildProcess::WaitBound(const std::vector<TBoundPort>& ports, int timeout_ms) {
  const auto start = TClock::now();
  while (Running() && SecondsSince(start) * 1000 < timeout_ms) {
    const bool all = std::all_of(ports.begin(), ports.end(),
                                 [](const TBoundPort& p) { return BoundOnLoopback(p.Type, p.Port); });
    if (all) return true;
    Pause(kReapPollMs);
  }
  return false;
}

void TChildProcess::Stop(int grace_ms) {
  if (pid_ < 0) return;
  ::kill(-pid_, SIGTERM);
  const auto deadline = TClock::now() + std::chrono::milliseconds(grace_ms);
  while (Running()) {
    if (TClock::now() >= deadline) {
      ::kill(-pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return;
    }
    Pause(kReapPollMs);
  }
}

bool Executable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

std::uint16_t FreeLoopbackPort(int type) {
  // No SO_REUSEADDR: a port that still has TIME_WAIT connections is not
  // handed out, because a program that binds without it could not take it.
  TUniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd || !BindTo(fd.Get(), Loopback(), 0)) return 0;
  return LocalPort(fd.Get());
}

bool BoundOnLoopback(int type, std::uint16_t port) {
  std::ifstream table(type == SOCK_STREAM ? "/proc/net/tcp" : "/proc/net/udp");
  char wanted[32];
  // The table shows 127.0.0.1 as the bytes of its network-order value.
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::string line;
  std::getline(table, line);  // the header
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state)) continue;
    // 0A: TCP_LISTEN; a bound UDP socket is 07 (TCP_CLOSE's number).
    if (local == wanted && (type != SOCK_STREAM || state == "0A")) return true;
  }
  return false;
}

}  // namespace quorvane::bench
