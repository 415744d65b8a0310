#include "TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "runtime/FdBudget.h"
#include "runtime/Log.h"

namespace quorvane::test {

std::uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::uint16_t LocalPort(int fd) {
  const auto sa = LocalAddress(fd);
  return sa ? ntohs(sa->sin_port) : 0;
}

// A socket of |type| bound to 127.0.0.1 on a system-chosen port.
static TUniqueFd BoundLoopback(int type, std::uint16_t* port) {
  TUniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd || !BindTo(fd.Get(), Loopback(), 0)) return {};
  *port = LocalPort(fd.Get());
  return fd;
}

TUniqueFd ListenLoopback(std::uint16_t* port) {
  TUniqueFd fd = BoundLoopback(SOCK_STREAM, port);
  return fd && ::listen(fd.Get(), SOMAXCONN) == 0 ? std::move(fd) : TUniqueFd{};
}

TUniqueFd BindUdpLoopback(std::uint16_t* port) { return BoundLoopback(SOCK_DGRAM, port); }

TUniqueFd ConnectLoopback(std::uint16_t port) { return ConnectFrom(0, port); }

TUniqueFd ConnectFrom(std::uint32_t local_addr, std::uint16_t port) {
  TUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in sa = MakeSockAddr(Loopback(), port);
  if (!fd || (local_addr != 0 && !BindTo(fd.Get(), local_addr, 0)) ||
      ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return {};
  }
  return fd;
}

TUniqueFd AcceptWithin(int listener, std::chrono::milliseconds limit) {
  pollfd p{listener, POLLIN, 0};
  if (PollRetry(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
  return TUniqueFd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

bool SendAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    pollfd w{fd, POLLOUT, 0};
    if (PollRetry(&w, 1, 10000) <= 0) return false;
    const ssize_t n = SendSome(fd, p, size, MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN) return false;
    if (n < 0) continue;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool SendAll(int fd, const std::string& data) { return SendAll(fd, data.data(), data.size()); }

std::optional<std::string> RecvExact(int fd, std::size_t size, std::chrono::milliseconds limit) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (out.size() < size) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || PollRetry(&p, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char buf[65536];
    const ssize_t n = RecvSome(fd, buf, std::min(sizeof buf, size - out.size()), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN)) return std::nullopt;
    if (n > 0) out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

bool ClosedWithoutData(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return PollRetry(&p, 1, static_cast<int>(limit.count())) > 0 && RecvSome(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

bool NothingArrives(int fd, std::chrono::milliseconds quiet) {
  pollfd p{fd, POLLIN, 0};
  return PollRetry(&p, 1, static_cast<int>(quiet.count())) == 0;
}

TPipe::TPipe(int flags) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | flags) != 0) return;
  ReadEnd.Reset(fds[0]);
  WriteEnd.Reset(fds[1]);
}

std::optional<std::string> RecvDatagram(int fd, std::chrono::milliseconds limit, sockaddr_in* from) {
  pollfd p{fd, POLLIN, 0};
  if (PollRetry(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  char buf[65536];
  sockaddr_in sender{};
  const ssize_t n = RecvFrom(fd, buf, sizeof buf, &sender);
  if (n < 0) return std::nullopt;
  if (from != nullptr) *from = sender;
  return std::string(buf, static_cast<std::size_t>(n));
}

bool SendDatagram(int fd, const std::string& data, std::uint16_t port) {
  return SendTo(fd, data.data(), data.size(), MakeSockAddr(Loopback(), port)) ==
         static_cast<ssize_t>(data.size());
}

std::set<int> OpenFds() {
  std::set<int> fds;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
      if (e->d_name[0] != '.' && std::atoi(e->d_name) != own) fds.insert(std::atoi(e->d_name));
    }
    ::closedir(dir);
  }
  return fds;
}

std::string FdsOpenedSince(const std::set<int>& before) {
  std::string out;
  for (const int fd : OpenFds()) {
    if (before.count(fd) != 0) continue;
    char target[256] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
    out += (out.empty() ? "" : ", ") + std::to_string(fd) + " -> " + (n > 0 ? target : "?");
  }
  return out;
}

int FindTcpSocket(std::uint16_t local_port, std::uint16_t peer_port) {
  for (const int fd : OpenFds()) {
    const auto local = LocalAddress(fd);
    const auto peer = PeerAddress(fd);
    if (local && peer && ntohs(local->sin_port) == local_port && ntohs(peer->sin_port) == peer_port)
      return fd;
  }
  return -1;
}

TDescriptorHeadroom::TDescriptorHeadroom(long spare) {
  if (::getrlimit(RLIMIT_NOFILE, &original_) != 0) return;
  saved_ = true;
  fd_budget::Init();
  rlimit low = original_;
  low.rlim_cur = static_cast<rlim_t>(fd_budget::Open() + fd_budget::kMinReserve + spare);
  applied_ = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
  fd_budget::Init();
}

TDescriptorHeadroom::~TDescriptorHeadroom() {
  if (saved_) ::setrlimit(RLIMIT_NOFILE, &original_);
  fd_budget::Init();
}

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

int ThreadCount() {
  std::error_code error;
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task", error), {}));
}

std::string Pattern(std::size_t offset, std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<char>((static_cast<std::uint32_t>(offset + i) * 2654435761u) >> 24);
  }
  return out;
}

bool ReadsEndOfFile(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return PollRetry(&p, 1, static_cast<int>(limit.count())) > 0 && RecvSome(fd, &c, 1, MSG_DONTWAIT) == 0;
}

// Calls |visit| with each line of /proc/net/tcp; the header line scans as
// nothing.
static void ForEachTcpLine(const std::function<void(const char*)>& visit) {
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) visit(line.c_str());
}

int ConnectionsTo(std::uint16_t port, unsigned state, bool drained) {
  int count = 0;
  ForEachTcpLine([&](const char* line) {
    unsigned remote_port = 0, line_state = 0, unread = 0;
    count += std::sscanf(line, " %*d: %*x:%*x %*x:%x %x %*x:%x", &remote_port, &line_state, &unread) == 3 &&
             remote_port == port && line_state == state && (!drained || unread == 0);
  });
  return count;
}

std::optional<TTcpQueues> TcpQueues(std::uint16_t local_port, std::uint16_t remote_port) {
  std::optional<TTcpQueues> queues;
  ForEachTcpLine([&](const char* line) {
    unsigned local = 0, remote = 0;
    unsigned long tx = 0, rx = 0;
    if (std::sscanf(line, " %*d: %*x:%x %*x:%x %*x %lx:%lx", &local, &remote, &tx, &rx) == 4 &&
        local == local_port && remote == remote_port) {
      queues = TTcpQueues{static_cast<long>(tx), static_cast<long>(rx)};
    }
  });
  return queues;
}

// Assigned in the body: port_ is declared after the socket, so its own
// initializer would overwrite the port written while opening the socket.
TcpEchoServer::TcpEchoServer() {
  listener_ = ListenLoopback(&port_);
  thread_ = std::thread([this] {
    for (;;) {
      pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
      if (PollRetry(fds, 2, -1) <= 0 || fds[1].revents != 0) return;
      TUniqueFd conn(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn) continue;
      std::lock_guard lock(mu_);
      workers_.emplace_back([this, c = std::move(conn)]() mutable {
        char buf[65536];
        for (;;) {
          pollfd f[2] = {{c.Get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
          if (PollRetry(f, 2, -1) <= 0 || f[1].revents != 0) return;
          const ssize_t n = RecvSome(c.Get(), buf, sizeof buf);
          if (n <= 0 || !SendAll(c.Get(), buf, static_cast<std::size_t>(n))) return;
        }
      });
    }
  });
}

TcpEchoServer::~TcpEchoServer() {
  stop_.Set();
  thread_.join();
  std::lock_guard lock(mu_);
  for (auto& w : workers_) w.join();
}

UdpEchoServer::UdpEchoServer() {
  socket_ = BindUdpLoopback(&port_);
  thread_ = std::thread([this] {
    char buf[65536];
    for (;;) {
      pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {stop_.Fd(), POLLIN, 0}};
      if (PollRetry(fds, 2, -1) <= 0 || fds[1].revents != 0) return;
      sockaddr_in from{};
      const ssize_t n = RecvFrom(socket_.Get(), buf, sizeof buf, &from);
      if (n < 0) continue;
      {
        std::lock_guard lock(mu_);
        const std::uint16_t port = ntohs(from.sin_port);
        if (std::find(sources_.begin(), sources_.end(), port) == sources_.end()) sources_.push_back(port);
      }
      SendTo(socket_.Get(), buf, static_cast<std::size_t>(n), from);
    }
  });
}

UdpEchoServer::~UdpEchoServer() {
  stop_.Set();
  thread_.join();
}

std::vector<std::uint16_t> UdpEchoServer::Sources() {
  std::lock_guard lock(mu_);
  return sources_;
}

LogCapture::LogCapture() {
  SetLogSink([this](std::string_view line) {
    std::lock_guard lock(mu_);
    lines_.emplace_back(line);
  });
}

LogCapture::~LogCapture() { SetLogSink(nullptr); }

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard lock(mu_);
  return lines_;
}

int LogCapture::CountPrefix(const std::string& prefix) {
  std::lock_guard lock(mu_);
  return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
                                        [&](const std::string& l) { return l.rfind(prefix, 0) == 0; }));
}

int LogCapture::Count(const std::string& line) {
  std::lock_guard lock(mu_);
  return static_cast<int>(std::count(lines_.begin(), lines_.end(), line));
}

bool LogCapture::WaitFor(const std::string& line, std::chrono::milliseconds limit) {
  return WaitUntil([&] { return Contains(line); }, limit);
}

}  // namespace quorvane::test
