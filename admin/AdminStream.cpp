#include "admin/AdminStream.h"

#include <arpa/inet.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <system_error>

#include "admin/AdminHttp.h"
#include "admin/AdminServer.h"
#include "runtime/Clock.h"
#include "runtime/Net.h"
#include "servers/AddressHelpers.h"

namespace quorvane::admin {

namespace {

constexpr std::string_view kBlanks = " \t";

bool IsContentLength(std::string_view name) {
  constexpr std::string_view kName = "content-length";
  return name.size() == kName.size() && ::strncasecmp(name.data(), kName.data(), kName.size()) == 0;
}

}  // namespace

std::size_t RequestSize(std::string_view data, std::size_t searched) {
  constexpr std::string_view kHeadEnd = "\r\n\r\n";
  const std::size_t head_end = data.find(kHeadEnd, searched - std::min(searched, kHeadEnd.size() - 1));
  if (head_end == std::string_view::npos) return 0;
  const std::size_t head_size = head_end + kHeadEnd.size();
  std::size_t body = 0;
  // Every header line after the request line, each ending in CRLF.
  for (std::size_t begin = data.find("\r\n") + 2; begin < head_size - 2;) {
    const std::size_t end = data.find("\r\n", begin);
    const std::string_view line = data.substr(begin, end - begin);
    begin = end + 2;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsContentLength(line.substr(0, colon))) continue;
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.size(), value.find_first_not_of(kBlanks)));
    value.remove_suffix(value.size() - (value.find_last_not_of(kBlanks) + 1));
    const auto [last, error] = std::from_chars(value.data(), value.data() + value.size(), body);
    if (error != std::errc() || last != value.data() + value.size()) return head_size;
  }
  return body > kAdminMaxRequestBytes - std::min(head_size, kAdminMaxRequestBytes) ? head_size
                                                                                   : head_size + body;
}

TAdminStream::TAdminStream(int fd, const sockaddr_in& peer, std::string_view request,
                           std::int64_t deadline_ms, int wake_fd)
    : fd_(fd), peer_(peer), unread_(request), deadline_ms_(deadline_ms), wake_fd_(wake_fd) {}

bool TAdminStream::Wait(short events) const {
  const std::int64_t left = deadline_ms_ - SteadyMs();
  if (left <= 0) return false;
  return WaitFd(fd_, events, wake_fd_, static_cast<int>(std::min<std::int64_t>(left, INT_MAX))) ==
         TWaitResult::kReady;
}

bool TAdminStream::is_readable() const { return !unread_.empty(); }

bool TAdminStream::is_writable() const { return Wait(POLLOUT); }

ssize_t TAdminStream::read(char* ptr, size_t size) {
  // Nothing follows what the loop read, whether the request was whole or
  // cut off at the bound: the parser sees an error wherever it wanted more
  // and answers 400 (or 413 for a body).
  if (unread_.empty()) return -1;
  const std::size_t n = std::min(size, unread_.size());
  std::memcpy(ptr, unread_.data(), n);
  unread_.remove_prefix(n);
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
