#include "app/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

#include "TestSupport.h"

extern char** environ;

namespace quorvane::test {

ChildProcess::ChildProcess(std::vector<std::string> args, const std::filesystem::path& cwd,
                           std::vector<std::string> env) {
  TUniqueFd write_ends[2];
  Stream* streams[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    streams[i]->fd.Reset(fds[0]);
    write_ends[i].Reset(fds[1]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  posix_spawn_file_actions_adddup2(&actions, write_ends[0].Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, write_ends[1].Get(), STDERR_FILENO);
  // The test runner's own signal state must not leak into the child.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGHUP}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e) envp.push_back(*e);
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (::posix_spawn(&pid_, argv[0], &actions, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void ChildProcess::Signal(int sig) const { ::kill(pid_, sig); }

bool ChildProcess::WaitUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
  while (!done())
    if (!ReadSome(deadline)) return false;
  return true;
}

bool ChildProcess::WaitForLine(const std::string& line) {
  return WaitUntil([&] { return HasLine(out_.lines, line); });
}

int ChildProcess::WaitExit() {
  const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
  while (ReadSome(deadline)) {
  }
  return std::chrono::steady_clock::now() >= deadline ? -1 : Reap();
}

int ChildProcess::WaitExitUnread(std::chrono::milliseconds limit) {
  // Through syscall(): this glibc's <sys/pidfd.h> misses the C linkage.
  const TUniqueFd exited(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  pollfd p{exited.Get(), POLLIN, 0};
  return exited && PollRetry(&p, 1, static_cast<int>(limit.count())) == 1 ? Reap() : -1;
}

int ChildProcess::Reap() {
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ChildProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2];
  Stream* polled[2];
  nfds_t count = 0;
  for (Stream* s : {&out_, &err_}) {
    if (s->fd) {
      fds[count] = {s->fd.Get(), POLLIN, 0};
      polled[count++] = s;
    }
  }
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (count == 0 || left.count() <= 0 || PollRetry(fds, count, static_cast<int>(left.count())) <= 0)
    return false;
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    Stream& s = *polled[i];
    char buffer[4096];
    const ssize_t n = ::read(s.fd.Get(), buffer, sizeof buffer);
    if (n <= 0) {
      s.fd.Reset();
      continue;
    }
    s.text.append(buffer, static_cast<std::size_t>(n));
    s.pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = s.pending.find('\n')) != std::string::npos; s.pending.erase(0, end + 1))
      s.lines.push_back(s.pending.substr(0, end));
  }
  return true;
}

TempDir::TempDir() {
  char dir_template[] = "/tmp/quorvane-run-XXXXXX";
  if (::mkdtemp(dir_template) != nullptr) path = dir_template;
}

TempDir::~TempDir() {
  if (!path.empty()) std::filesystem::remove_all(path);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& text) const {
  std::ofstream(path / name) << text;
  return path / name;
}

std::string ServerIni(std::uint16_t port, const std::string& more) {
  return "[SERVER]\nHOST=127.0.0.1\nPORT=" + std::to_string(port) + "\n" + more;
}

std::uint16_t FreePort() {
  std::uint16_t port = 0;
  TUniqueFd probe = ListenLoopback(&port);
  return port;
}

std::string StartLine(std::uint16_t port) {
  return "NAT Server started at 127.0.0.1:" + std::to_string(port);
}

// The directory base is built, and the file written, before the process
// base starts the server.
ServerProcess::ServerProcess(std::uint16_t port, const std::string& more_ini,
                             std::vector<std::string> command, std::vector<std::string> env)
    : ChildProcess(std::move(command), Write("KELVARD.ini", ServerIni(port, more_ini)).parent_path(),
                   std::move(env)),
      port_(port) {}

TCtlRun RunCtl(const std::string& args, const std::function<void()>& serve, const std::string& env) {
  std::istringstream words(args);
  std::vector<std::string> command{QUORVANE_CTL_EXE};
  command.insert(command.end(), std::istream_iterator<std::string>(words), {});
  ChildProcess ctl(command, "/", env.empty() ? std::vector<std::string>{} : std::vector<std::string>{env});
  if (serve) serve();
  // A braced list runs in order: the output is read to its end first.
  return {ctl.WaitExit(), ctl.Out(), ctl.Err()};
}

bool HasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace quorvane::test
