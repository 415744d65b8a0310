#include "tools/CtlConnection.h"

#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "runtime/Clock.h"
#include "servers/AddressHelpers.h"

namespace quorvane::ctl {
namespace {

// strerror's text, without its shared buffer.
std::string ErrnoText(int error) { return std::generic_category().message(error); }

}  // namespace

TCtlConnection::TCtlConnection(int timeout_ms, int wake_fd) : timeout_ms_(timeout_ms), wake_fd_(wake_fd) {}

bool TCtlConnection::Fail(TCtlFailure kind, std::string message) {
  error_ = TCtlError{kind, std::move(message)};
  return false;
}

TWaitResult TCtlConnection::WaitSocket(short events, std::int64_t deadline_ms) {
  const int left =
      deadline_ms < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, deadline_ms - SteadyMs()));
  const TWaitResult result = WaitFd(socket_.Get(), events, wake_fd_, left);
  if (result == TWaitResult::kWoken) Fail(TCtlFailure::kInterrupted, "interrupted");
  if (result == TWaitResult::kFailed) Fail(TCtlFailure::kClosed, "waiting failed: " + ErrnoText(errno));
  return result;
}

bool TCtlConnection::Connect(const std::string& host, std::uint16_t port) {
  assert(!socket_.Valid());
  const std::string where = host + ":" + std::to_string(port);
  const std::uint32_t addr = ResolveHost(host);
  if (addr == kAddrNone) return Fail(TCtlFailure::kConnect, "cannot resolve host '" + host + "'");
  socket_ = OpenTcpSocket();
  if (!socket_) return Fail(TCtlFailure::kConnect, "cannot create a socket: " + ErrnoText(errno));
  const sockaddr_in sa = MakeSockAddr(addr, port);
  if (::connect(socket_.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    // The socket is non-blocking: the handshake goes on in the background
    // (also after EINTR) and writability tells when it is over.
    if (errno != EINPROGRESS && errno != EINTR) {
      return Fail(TCtlFailure::kConnect, "cannot connect to " + where + ": " + ErrnoText(errno));
    }
    switch (WaitSocket(POLLOUT, SteadyMs() + timeout_ms_)) {
      case TWaitResult::kReady:
        break;
      case TWaitResult::kTimedOut:
        return Fail(TCtlFailure::kTimeout, "cannot connect to " + where + ": no answer within " +
                                               std::to_string(timeout_ms_) + " ms");
      default:
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0)
      return Fail(TCtlFailure::kConnect, "cannot connect to " + where + ": " + ErrnoText(error));
  }
  SetNoDelay(socket_.Get());
  return true;
}

bool TCtlConnection::SendAll(const void* data, std::size_t size) {
  const std::int64_t deadline = SteadyMs() + timeout_ms_;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t sent = 0;
  while (sent < size) {
    const ssize_t n = SendSome(socket_.Get(), bytes + sent, size - sent);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return Fail(TCtlFailure::kClosed, "connection lost: " + ErrnoText(errno));
    }
    const TWaitResult waited = WaitSocket(POLLOUT, deadline);
    if (waited == TWaitResult::kTimedOut) {
      return Fail(TCtlFailure::kTimeout,
                  "the server took no data for " + std::to_string(timeout_ms_) + " ms");
    }
    if (waited != TWaitResult::kReady) return false;
  }
  return true;
}

std::optional<std::size_t> TCtlConnection::ReceiveSome(void* data, std::size_t size,
                                                       std::int64_t deadline_ms) {
  for (;;) {
    const TWaitResult waited = WaitSocket(POLLIN, deadline_ms);
    if (waited == TWaitResult::kTimedOut) {
      Fail(TCtlFailure::kTimeout, "no reply within " + std::to_string(timeout_ms_) + " ms");
      return std::nullopt;
    }
    if (waited != TWaitResult::kReady) return std::nullopt;
    const ssize_t n = RecvSome(socket_.Get(), data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail(TCtlFailure::kClosed, "connection lost: " + ErrnoText(errno));
      return std::nullopt;
    }
  }
}

}  // namespace quorvane::ctl
