#include "admin/AdminStream.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "admin/AdminHttp.h"
#include "admin/AdminServer.h"
#include "runtime/Clock.h"
#include "runtime/Net.h"
#include "servers/AddressHelpers.h"

namespace quorvane::admin {

TAdminStream::TAdminStream(int fd, const sockaddr_in& peer, std::int64_t deadline_ms, int wake_fd)
    : fd_(fd), peer_(peer), deadline_ms_(deadline_ms), wake_fd_(wake_fd) {}

bool TAdminStream::Wait(short events) const {
  const std::int64_t left = deadline_ms_ - SteadyMs();
  if (left <= 0) return false;
  return WaitFd(fd_, events, wake_fd_, static_cast<int>(std::min<std::int64_t>(left, INT_MAX))) ==
         TWaitResult::kReady;
}

bool TAdminStream::is_readable() const { return begin_ < end_ || Wait(POLLIN); }

bool TAdminStream::is_writable() const { return Wait(POLLOUT); }

ssize_t TAdminStream::read(char* ptr, size_t size) {
  if (begin_ == end_) {
    // Past the bound the request is cut off: the parser sees an error and
    // answers 400 (or 413 for a body), whatever else the client sends.
    const std::size_t allowed = std::min(sizeof buffer_, kAdminMaxRequestBytes - received_);
    if (allowed == 0) return -1;
    for (;;) {
      if (!Wait(POLLIN)) return -1;
      const ssize_t n = RecvSome(fd_, buffer_, allowed);
      if (n > 0) {
        begin_ = 0;
        end_ = static_cast<std::size_t>(n);
        received_ += end_;
        break;
      }
      if (n == 0) return 0;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
  }
  const std::size_t n = std::min(size, end_ - begin_);
  std::memcpy(ptr, buffer_ + begin_, n);
  begin_ += n;
  return static_cast<ssize_t>(n);
}

ssize_t TAdminStream::write(const char* ptr, size_t size) {
  for (;;) {
    if (!Wait(POLLOUT)) return -1;
    const ssize_t n = SendSome(fd_, ptr, size);
    if (n >= 0) return n;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

void TAdminStream::get_remote_ip_and_port(std::string& ip, int& port) const {
  ip = AddrToStr(peer_.sin_addr.s_addr);
  port = ntohs(peer_.sin_port);
}

void TAdminStream::get_local_ip_and_port(std::string& ip, int& port) const {
  const auto local = LocalAddress(fd_);
  ip = local ? AddrToStr(local->sin_addr.s_addr) : std::string();
  port = local ? ntohs(local->sin_port) : 0;
}

}  // namespace quorvane::admin
