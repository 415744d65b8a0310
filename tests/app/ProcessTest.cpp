// Runs the real executable in a temporary working directory and reads its
// standard output through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace quorvane::test {
namespace {

constexpr std::chrono::milliseconds kProcessLimit = 20000ms;

// One run of the server with KELVARD.ini pointing it at 127.0.0.1:|port|.
class ServerProcess {
 public:
  explicit ServerProcess(std::uint16_t port) {
    char dir_template[] = "/tmp/quorvane-run-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) return;
    dir_ = dir_template;
    std::ofstream(dir_ / "KELVARD.ini") << "[SERVER]\nHOST=127.0.0.1\nPORT=" << port << "\n";

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    out_.reset(pipe_fds[0]);
    UniqueFd write_end(pipe_fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    // The test runner's own signal state must not leak into the server.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    char* argv[] = {const_cast<char*>(QUORVANE_EXE), nullptr};
    if (::posix_spawn(&pid_, QUORVANE_EXE, &actions, &attr, argv, environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }

  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  bool Started() const { return pid_ > 0; }
  void Signal(int sig) const { ::kill(pid_, sig); }
  const std::vector<std::string>& Lines() const { return lines_; }

  // Reads output until |line| has been printed.
  bool WaitForLine(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::find(lines_.begin(), lines_.end(), line) == lines_.end()) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // Reads output to its end and reaps the process: its exit code, or -1
  // when it died by a signal or did not end in time.
  int WaitExit() {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (ReadSome(deadline)) {
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  // False at the end of the output, on error, or at |deadline|.
  bool ReadSome(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out_.get(), POLLIN, 0};
    if (left.count() <= 0 || PollRetry(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[512];
    const ssize_t n = ::read(out_.get(), buffer, sizeof buffer);
    if (n <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1)) {
      lines_.push_back(pending_.substr(0, end));
    }
    return true;
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  UniqueFd out_;
  std::string pending_;
  std::vector<std::string> lines_;
};

std::uint16_t FreePort() {
  std::uint16_t port = 0;
  UniqueFd probe = ListenLoopback(&port);
  return port;
}

TEST(ProcessTest, ControlPortInUseExitsWithFailure) {
  std::uint16_t port = 0;
  const UniqueFd occupant = ListenLoopback(&port);
  ASSERT_TRUE(occupant.valid());
  ServerProcess server(port);
  ASSERT_TRUE(server.Started());

  EXPECT_EQ(server.WaitExit(), 1);
  const std::vector<std::string> expected = {"Quorvane by Ostrevan v0.4",
                                             "NAT Server started at 127.0.0.1:" + std::to_string(port),
                                             "Closing server"};
  EXPECT_EQ(server.Lines(), expected);
}

TEST(ProcessTest, StopSignalClosesServerWithSuccess) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    const std::uint16_t port = FreePort();
    ServerProcess server(port);
    ASSERT_TRUE(server.Started());
    ASSERT_TRUE(server.WaitForLine("NAT Server started at 127.0.0.1:" + std::to_string(port)));
    EXPECT_EQ(server.Lines().front(), "Quorvane by Ostrevan v0.4");

    const UniqueFd client = ConnectLoopback(port);
    ASSERT_TRUE(client.valid());
    const std::uint16_t client_port = LocalPort(client.get());
    ASSERT_TRUE(server.WaitForLine("New client from: 127.0.0.1:" + std::to_string(client_port)));

    server.Signal(sig);
    EXPECT_EQ(server.WaitExit(), 0);
    const auto& lines = server.Lines();
    const auto closing = std::find(lines.begin(), lines.end(), "Closing server");
    EXPECT_NE(closing, lines.end());
    // The session was ended before the process exited, not cut off by it.
    EXPECT_NE(std::find(closing, lines.end(), "Closing thread for: 127.0.0.1:" + std::to_string(client_port)),
              lines.end());
  }
}

}  // namespace
}  // namespace quorvane::test
