// Runs the real executable in a temporary working directory and reads its
// standard output through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "requests/RequestPacket.h"

extern char** environ;

namespace quorvane::test {
namespace {

constexpr std::chrono::milliseconds kProcessLimit = 20000ms;

// A child process of one of the real executables, its standard output read
// through a pipe.
class ChildProcess {
 public:
  ChildProcess(std::vector<std::string> args, const std::filesystem::path& cwd) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
    out_.reset(pipe_fds[0]);
    UniqueFd write_end(pipe_fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    // The test runner's own signal state must not leak into the child.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGPIPE}) sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }

  ~ChildProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  bool Started() const { return pid_ > 0; }
  void Signal(int sig) const { ::kill(pid_, sig); }
  const std::vector<std::string>& Lines() const { return lines_; }

  // Reads output until |done| holds for the lines read so far.
  bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (!done()) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // Reads output until |line| has been printed.
  bool WaitForLine(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (std::find(lines_.begin(), lines_.end(), line) == lines_.end()) {
      if (!ReadSome(deadline)) return false;
    }
    return true;
  }

  // Reaps the process without reading any more of its output: its exit
  // code, or -1 when it died by a signal or did not end within |limit|.
  int WaitExitUnread(std::chrono::milliseconds limit) {
    // Through syscall(): this glibc's <sys/pidfd.h> misses the C linkage.
    const UniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    pollfd p{exited.get(), POLLIN, 0};
    if (!exited || PollRetry(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

  pid_t pid_ = -1;
  UniqueFd out_;
  std::string pending_;
  std::vector<std::string> lines_;
};

// A temporary working directory holding a KELVARD.ini; removed with it.
struct ConfigDir {
  ConfigDir(std::uint16_t port, const std::string& more_ini) {
    char dir_template[] = "/tmp/quorvane-run-XXXXXX";
    if (::mkdtemp(dir_template) == nullptr) return;
    path = dir_template;
    std::ofstream(path / "KELVARD.ini") << "[SERVER]\nHOST=127.0.0.1\nPORT=" << port << "\n" << more_ini;
  }
  ~ConfigDir() {
    if (!path.empty()) std::filesystem::remove_all(path);
  }
  std::filesystem::path path;
};

// One run of the server pointed at 127.0.0.1:|port|, with |more_ini| added
// to its configuration. The directory outlives the process.
class ServerProcess : private ConfigDir, public ChildProcess {
 public:
  explicit ServerProcess(std::uint16_t port, const std::string& more_ini = "")
      : ConfigDir(port, more_ini), ChildProcess({QUORVANE_EXE}, ConfigDir::path) {}
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

TEST(ProcessTest, StalledStandardOutputNeitherStopsAnswersNorTheStopSignal) {
  const std::uint16_t port = FreePort();
  ServerProcess server(port);
  ASSERT_TRUE(server.WaitForLine("NAT Server started at 127.0.0.1:" + std::to_string(port)));
  // From here on nobody reads the server's standard output.

  const TRequestPacket nop_packet = Encode(TNop{0});
  const std::string nop(nop_packet.begin(), nop_packet.end());
  constexpr int kBatch = 1000;
  std::string batch;
  for (int i = 0; i < kBatch; ++i) batch += nop;
  // 20,000 "Nop request" lines: far more than the pipe (64 KiB) and the log
  // queue together hold. Each answer follows its line, so the last answer
  // means every line has been logged.
  const UniqueFd flooder = ConnectLoopback(port);
  ASSERT_TRUE(flooder.valid());
  for (int sent = 0; sent < 20 * kBatch; sent += kBatch) {
    ASSERT_TRUE(SendAll(flooder.get(), batch));
    ASSERT_TRUE(RecvExact(flooder.get(), batch.size(), 10000ms)) << "no answers after " << sent << " Nops";
  }

  const UniqueFd player = ConnectLoopback(port);
  ASSERT_TRUE(player.valid());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(SendAll(player.get(), nop));
    const auto answer = RecvExact(player.get(), kPacketSize, 10000ms);
    ASSERT_TRUE(answer);
    EXPECT_EQ(static_cast<std::uint8_t>((*answer)[packet_offset::kType]), kPacketNop);
  }

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExitUnread(10000ms), 0);
}

// The public port printed by quorvane-ctl for a successful create.
std::uint16_t PublicPortOf(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& line : lines) {
    const auto at = line.rfind("public 127.0.0.1:");
    if (line.rfind(prefix, 0) == 0 && at != std::string::npos) {
      return static_cast<std::uint16_t>(std::stoi(line.substr(at + 17)));
    }
  }
  return 0;
}

TEST(ProcessTest, StopBySignalClosesEveryRedirectorAClientHolds) {
  const std::uint16_t port = FreePort();
  ServerProcess server(port, "[UNKNOWN]\nHOST=127.0.0.1\n");
  ASSERT_TRUE(server.WaitForLine("NAT Server started at 127.0.0.1:" + std::to_string(port)));
  TcpEchoServer tcp_echo;
  UdpEchoServer udp_echo;
  const std::string tcp_target = std::to_string(tcp_echo.Port());
  const std::string udp_target = std::to_string(udp_echo.Port());
  ChildProcess ctl({QUORVANE_CTL_EXE, "--server", "127.0.0.1:" + std::to_string(port), "create", "tcp",
                    "127.0.0.1", tcp_target, "create", "udp", "127.0.0.1", udp_target, "--hold"},
                   "/");
  ASSERT_TRUE(ctl.Started());
  ASSERT_TRUE(ctl.WaitUntil([&] {
    return PublicPortOf(ctl.Lines(), "create udp") != 0 && PublicPortOf(ctl.Lines(), "create tcp") != 0;
  }));
  const std::uint16_t tcp_public = PublicPortOf(ctl.Lines(), "create tcp");
  const std::uint16_t udp_public = PublicPortOf(ctl.Lines(), "create udp");

  UniqueFd relayed = ConnectLoopback(tcp_public);
  ASSERT_TRUE(SendAll(relayed.get(), "hello"));
  EXPECT_EQ(RecvExact(relayed.get(), 5), "hello");
  std::uint16_t peer_port = 0;
  UniqueFd peer = BindUdpLoopback(&peer_port);
  ASSERT_TRUE(SendDatagram(peer.get(), "hi", udp_public));
  EXPECT_EQ(RecvDatagram(peer.get()), "hi");

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);
  // The holding client sees its session closed by the server.
  EXPECT_EQ(ctl.WaitExit(), 5);
  EXPECT_FALSE(ConnectLoopback(tcp_public).valid());
  UniqueFd rebind(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  EXPECT_TRUE(BindTo(rebind.get(), Loopback(), udp_public));
  EXPECT_TRUE(ClosedWithoutData(relayed.get()));
}

}  // namespace
}  // namespace quorvane::test
