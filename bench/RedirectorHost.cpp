#include "bench/RedirectorHost.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "bench/BenchSupport.h"
#include "servers/RelayEngine.h"
#include "servers/TCPRedirector.h"
#include "servers/UDPRedirector.h"

namespace quorvane::bench {

namespace {

// A request may wait for a turn of a busy loop (tcp, udp, drop) or for the
// loops to be joined (quit).
constexpr int kAnswerTimeoutMs = 15000;
constexpr int kExitTimeoutMs = 5000;

// Reads one line from |fd| within |timeout_ms|; empty on close or time-out.
std::string ReadLine(int fd, int timeout_ms) {
  std::string line;
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
    if (timeout_ms >= 0 && left.count() <= 0) return {};
    pollfd p{fd, POLLIN, 0};
    if (PollRetry(&p, 1, timeout_ms < 0 ? -1 : static_cast<int>(left.count())) <= 0) return {};
    char c;
    ssize_t n;
    do {
      n = ::read(fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    if (c == '\n') return line;
    line += c;
  }
}

void WriteLine(int fd, const std::string& line) {
  const std::string text = line + "\n";
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// A redirector is started, and destroyed, on the thread of the loop that
// serves it (destroyed on this thread once that loop has closed).
template <class Redirector>
void DestroyOnItsLoop(std::unique_ptr<Redirector>& redirector) {
  if (redirector) redirector->Loop().RunSync([&] { redirector.reset(); });
}

// Starts |redirector| on its loop and answers its public port; 0 (and the
// redirector destroyed) when it cannot serve.
template <class Redirector>
std::uint16_t Publish(std::unique_ptr<Redirector>& redirector) {
  const std::uint16_t port = redirector->Socket() < 0 ? 0 : LocalPort(redirector->Socket());
  bool started = false;
  if (port != 0) redirector->Loop().RunSync([&] { started = redirector->Start(); });
  if (started) return port;
  DestroyOnItsLoop(redirector);
  return 0;
}

template <class Redirectors>
void Drop(Redirectors& redirectors, std::uint16_t public_port) {
  const auto found = redirectors.find(public_port);
  if (found == redirectors.end()) return;
  DestroyOnItsLoop(found->second);
  redirectors.erase(found);
}

template <class Redirectors>
void DropAll(Redirectors& redirectors) {
  for (auto& entry : redirectors) DestroyOnItsLoop(entry.second);
  redirectors.clear();
}

// The child's whole life: serve requests until "quit" or the parent is gone.
[[noreturn]] void ServeRequests(int in, int out) {
  // The loops that serve every redirector and its relays, as in the server:
  // one per CPU, new redirectors spread over them.
  TRelayEngine engine;
  const bool engine_running = engine.Start();
  std::map<std::uint16_t, std::unique_ptr<TTCPRedirector>> tcp;
  std::map<std::uint16_t, std::unique_ptr<TUDPRedirector>> udp;
  // Shared by every redirector, as the server shares its [LIMITS]; the
  // loops read it at each refill, so a change needs no new redirector.
  const auto caps = std::make_shared<TPlayerCaps>();
  const auto set_caps = [&caps](const TCapRates& rates) {
    caps->UdpDatagramsPerPlayer.store(rates.UdpDatagramsPerPlayer);
    caps->UdpBytesPerPlayer.store(rates.UdpBytesPerPlayer);
    caps->TcpBytesPerPlayer.store(rates.TcpBytesPerPlayer);
    caps->BytesPerRedirector.store(rates.BytesPerRedirector);
  };
  set_caps(kNoCaps);
  const std::string loopback = "127.0.0.1";
  for (;;) {
    std::istringstream request(ReadLine(in, -1));
    std::string verb;
    unsigned port = 0;
    request >> verb >> port;
    const auto target = static_cast<std::uint16_t>(port);
    if ((verb == "tcp" || verb == "udp") && !engine_running) {
      WriteLine(out, "0");
    } else if (verb == "tcp") {
      auto redirector = std::make_unique<TTCPRedirector>(
          loopback, loopback, 0, target, TRedirectorOptions{.Loop = &engine.NextLoop(), .Caps = caps});
      const std::uint16_t public_port = Publish(redirector);
      if (public_port != 0) tcp[public_port] = std::move(redirector);
      WriteLine(out, std::to_string(public_port));
    } else if (verb == "udp") {
      auto redirector =
          std::make_unique<TUDPRedirector>(loopback, loopback, loopback, 0, target, kUdpSessionTimeoutMs,
                                           TRedirectorOptions{.Loop = &engine.NextLoop(), .Caps = caps});
      const std::uint16_t public_port = Publish(redirector);
      if (public_port != 0) udp[public_port] = std::move(redirector);
      WriteLine(out, std::to_string(public_port));
    } else if (verb == "caps") {
      TCapRates rates;
      rates.UdpDatagramsPerPlayer = port;
      request >> rates.UdpBytesPerPlayer >> rates.TcpBytesPerPlayer >> rates.BytesPerRedirector;
      set_caps(rates);
      WriteLine(out, "ok");
    } else if (verb == "drop") {
      Drop(tcp, target);
      Drop(udp, target);
      WriteLine(out, "ok");
    } else {  // "quit", or the parent closed its end
      DropAll(tcp);
      DropAll(udp);
      engine.Stop();
      WriteLine(out, "ok");
      // _exit: the stdio buffers are copies of the parent's and must not be
      // flushed a second time.
      ::_exit(0);
    }
  }
}

}  // namespace

TRedirectorHost::~TRedirectorHost() { Quit(); }

bool TRedirectorHost::Start() {
  int down[2];
  int up[2];
  if (::pipe2(down, O_CLOEXEC) != 0) return false;
  if (::pipe2(up, O_CLOEXEC) != 0) {
    ::close(down[0]);
    ::close(down[1]);
    return false;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    for (int fd : {down[0], down[1], up[0], up[1]}) ::close(fd);
    return false;
  }
  if (pid == 0) {
    // The child dies with the parent, so that a crashed run leaves nothing.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1) ::_exit(1);
    ::close(down[1]);
    ::close(up[0]);
    // Log lines of the redirectors go to standard error, away from the table.
    ::dup2(STDERR_FILENO, STDOUT_FILENO);
    ServeRequests(down[0], up[1]);
  }
  ::close(down[0]);
  ::close(up[1]);
  pid_ = pid;
  to_child_.Reset(down[1]);
  from_child_.Reset(up[0]);
  return true;
}

std::string TRedirectorHost::Ask(const std::string& request) {
  if (pid_ < 0) return {};
  WriteLine(to_child_.Get(), request);
  return ReadLine(from_child_.Get(), kAnswerTimeoutMs);
}

std::uint16_t TRedirectorHost::AddTcp(std::uint16_t target_port) {
  return static_cast<std::uint16_t>(std::atoi(Ask("tcp " + std::to_string(target_port)).c_str()));
}

std::uint16_t TRedirectorHost::AddUdp(std::uint16_t target_port) {
  return static_cast<std::uint16_t>(std::atoi(Ask("udp " + std::to_string(target_port)).c_str()));
}

void TRedirectorHost::Drop(std::uint16_t public_port) {
  if (public_port != 0) Ask("drop " + std::to_string(public_port));
}

void TRedirectorHost::SetCaps(const TCapRates& caps) {
  Ask("caps " + std::to_string(caps.UdpDatagramsPerPlayer) + " " + std::to_string(caps.UdpBytesPerPlayer) +
      " " + std::to_string(caps.TcpBytesPerPlayer) + " " + std::to_string(caps.BytesPerRedirector));
}

void TRedirectorHost::Quit() {
  if (pid_ < 0) return;
  Ask("quit");
  to_child_.Reset();
  from_child_.Reset();
  const auto deadline = TClock::now() + std::chrono::milliseconds(kExitTimeoutMs);
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (TClock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
    Pause(20);
  }
  pid_ = -1;
}

}  // namespace quorvane::bench
