#include "runtime/Net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quorvane {

sockaddr_in MakeSockAddr(std::uint32_t addr_net, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addr_net;
  return sa;
}

TUniqueFd OpenTcpSocket() {
  return TUniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP));
}

TUniqueFd OpenUdpSocket() {
  return TUniqueFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP));
}

bool BindTo(int fd, std::uint32_t addr_net, std::uint16_t port) {
  const sockaddr_in sa = MakeSockAddr(addr_net, port);
  return ::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

std::optional<sockaddr_in> LocalAddress(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
    return std::nullopt;
  }
  return sa;
}

std::optional<sockaddr_in> PeerAddress(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) {
    return std::nullopt;
  }
  return sa;
}

bool SetBlocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

void SetKeepAlive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSec, sizeof kKeepAliveIdleSec);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSec, sizeof kKeepAliveIntervalSec);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

void SetNoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int PendingBytes(int fd) {
  int count = 0;
  if (::ioctl(fd, FIONREAD, &count) != 0) return -1;
  return count;
}

ssize_t SendSome(int fd, const void* data, std::size_t size, int flags) {
  ssize_t n;
  do {
    n = ::send(fd, data, size, flags | MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RecvSome(int fd, void* data, std::size_t size, int flags) {
  ssize_t n;
  do {
    n = ::recv(fd, data, size, flags);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t SendTo(int fd, const void* data, std::size_t size, const sockaddr_in& to) {
  ssize_t n;
  do {
    n = ::sendto(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t RecvFrom(int fd, void* data, std::size_t size, sockaddr_in* from) {
  ssize_t n;
  do {
    socklen_t len = sizeof *from;
    n = ::recvfrom(fd, data, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from), &len);
  } while (n < 0 && errno == EINTR);
  return n;
}

void ShutdownAndClose(TUniqueFd& fd) {
  if (!fd) return;
  ::shutdown(fd.Get(), SHUT_RDWR);
  fd.Reset();
}

int PollRetry(pollfd* fds, nfds_t count, int timeout_ms) {
  using TClock = std::chrono::steady_clock;
  const auto deadline = TClock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    const int n = ::poll(fds, count, timeout_ms);
    if (n >= 0 || errno != EINTR) return n;
    if (timeout_ms > 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
      timeout_ms = left > 0 ? static_cast<int>(left) : 0;
    }
  }
}

TWaitResult WaitFd(int fd, short events, int wake_fd, int timeout_ms) {
  pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  const int n = PollRetry(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
  if (n < 0) return TWaitResult::kFailed;
  if (n == 0) return TWaitResult::kTimedOut;
  if (fds[1].revents != 0) return TWaitResult::kWoken;
  if ((fds[0].revents & POLLNVAL) != 0) return TWaitResult::kFailed;
  return TWaitResult::kReady;
}

}  // namespace quorvane
