#include "servers/TCPServer.h"

#include <sys/socket.h>

#include <cerrno>

#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

// A larger backlog than the classic 5: bursts of clients connecting at once
// would otherwise lose SYNs and wait a second for the retransmission.
constexpr int kListenBacklog = SOMAXCONN;
// Connections one turn accepts from one listener: a burst on one port
// cannot hold up the loop's other clients for long; the rest wait a turn.
constexpr int kAcceptsPerTurn = 64;

enum class TAcceptError { kNoneWaiting, kOneConnection, kOutOfResources, kFatal };

TAcceptError ClassifyAcceptError(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return TAcceptError::kNoneWaiting;
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
    case EPERM:
      return TAcceptError::kOneConnection;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return TAcceptError::kOutOfResources;
    default:
      return TAcceptError::kFatal;
  }
}

}  // namespace

TTCPServer::TTCPServer(std::string host, std::uint16_t port)
    : host_(std::move(host)), port_(port), retry_([this] {
        if (socket_ && loop_ != nullptr && !loop_->Watch(*this, socket_.Get(), EPOLLIN)) Fail();
      }) {
  // Linux would bind 255.255.255.255, what an unresolvable name yields, and
  // listen where nobody can reach.
  const std::uint32_t addr = host_.empty() ? INADDR_ANY : ResolveHost(host_);
  if (addr == kAddrNone) {
    setup_error_ = EADDRNOTAVAIL;
    return;
  }
  TUniqueFd fd = OpenTcpSocket();
  if (!fd) {
    setup_error_ = errno;
    return;
  }
  const int on = 1;
  // Lets a restarted server bind while old connections sit in TIME_WAIT;
  // a second live listener on the port is still refused.
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!BindTo(fd.Get(), addr, port_) || ::listen(fd.Get(), kListenBacklog) != 0) {
    setup_error_ = errno;
    return;
  }
  socket_ = std::move(fd);
}

TTCPServer::~TTCPServer() { Close(); }

bool TTCPServer::Start(TEventLoop& loop) {
  if (!socket_ || loop_ != nullptr) return false;
  loop_ = &loop;
  if (!loop.Watch(*this, socket_.Get(), EPOLLIN)) {
    loop_ = nullptr;
    return false;
  }
  return true;
}

void TTCPServer::Close() {
  // Once closed, the loop is never touched again: a server closed on its
  // loop may be destroyed on any thread.
  if (loop_ != nullptr) {
    loop_->Disarm(retry_);
    loop_->Unwatch(*this);
    loop_ = nullptr;
  }
  ShutdownAndClose(socket_);
}

void TTCPServer::Fail() {
  listener_failed_.store(true, std::memory_order_release);
  Close();
  ListenerEnded();
}

void TTCPServer::OnReady(std::uint32_t /*events*/) {
  for (int accepted = 0; accepted < kAcceptsPerTurn && socket_; ++accepted) {
    socklen_t peer_length = sizeof accepted_peer_;
    const int fd = ::accept4(socket_.Get(), reinterpret_cast<sockaddr*>(&accepted_peer_), &peer_length,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      ProcessConnection(TUniqueFd(fd));
      continue;
    }
    switch (ClassifyAcceptError(errno)) {
      case TAcceptError::kNoneWaiting:
        return;
      case TAcceptError::kOneConnection:
        continue;
      case TAcceptError::kOutOfResources:
        // Descriptors come back as work ends; until then the waiting
        // connection would be reported on every turn.
        loop_->Unwatch(*this);
        loop_->ArmAfter(retry_, kAcceptRetryPauseMs);
        return;
      case TAcceptError::kFatal:
        return Fail();
    }
  }
}

void TTCPServer::ProcessConnection(TUniqueFd accepted) { ShutdownAndClose(accepted); }

}  // namespace quorvane
