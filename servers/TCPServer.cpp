#include "servers/TCPServer.h"

#include <sys/socket.h>

#include <cerrno>

#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

// A larger backlog than the classic 5: bursts of clients connecting at once
// would otherwise lose SYNs and wait a second for the retransmission.
constexpr int kListenBacklog = SOMAXCONN;

enum class TAcceptError { NoneWaiting, OneConnection, OutOfResources, Fatal };

TAcceptError ClassifyAcceptError(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return TAcceptError::NoneWaiting;
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
    case EPERM:
      return TAcceptError::OneConnection;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return TAcceptError::OutOfResources;
    default:
      return TAcceptError::Fatal;
  }
}

}  // namespace

TTCPServer::TTCPServer(std::string host, std::uint16_t port, std::size_t stack_size)
    : TThread(stack_size), host_(std::move(host)), port_(port) {
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

void TTCPServer::Execute() {
  if (!socket_) {
    listener_failed_ = true;
    return;
  }
  struct CloseOnExit {
    TTCPServer& server;
    ~CloseOnExit() {
      TMutexLock lock(server.socket_mu_);
      ShutdownAndClose(server.socket_);
    }
  } close_on_exit{*this};

  const int child_ended = ChildEndedFd();
  // With no children to watch, the thread sleeps in accept() itself.
  // Accepted sockets are non-blocking whatever the listener is (accept4's
  // flag); a listener that stays non-blocking is waited for in poll().
  if (child_ended < 0) SetBlocking(socket_.Get(), true);
  while (!Terminated()) {
    socklen_t peer_length = sizeof accepted_peer_;
    const int fd = ::accept4(socket_.Get(), reinterpret_cast<sockaddr*>(&accepted_peer_), &peer_length,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      ProcessConnection(TUniqueFd(fd));
      continue;  // more may be pending: accept back to back
    }
    // The listening socket shut down by TerminationRequested() fails
    // accept(); that is the stop, not a fault.
    if (Terminated()) break;
    switch (ClassifyAcceptError(errno)) {
      case TAcceptError::OneConnection:
        continue;
      case TAcceptError::OutOfResources: {
        // Children that end meanwhile give descriptors back: reap them.
        pollfd fds[2] = {{WakeFd(), POLLIN, 0}, {child_ended, POLLIN, 0}};
        PollRetry(fds, 2, kAcceptRetryPauseMs);
        if (fds[1].revents != 0) ReapChildren();
        continue;
      }
      case TAcceptError::Fatal:
        listener_failed_ = true;
        return;
      case TAcceptError::NoneWaiting:
        break;
    }
    pollfd fds[3] = {{socket_.Get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}, {child_ended, POLLIN, 0}};
    if (PollRetry(fds, 3, -1) < 0) {
      listener_failed_ = true;
      return;
    }
    if (fds[2].revents != 0) ReapChildren();
  }
}

void TTCPServer::TerminationRequested() {
  TMutexLock lock(socket_mu_);
  if (socket_) ::shutdown(socket_.Get(), SHUT_RDWR);
}

void TTCPServer::ProcessConnection(TUniqueFd accepted) { ShutdownAndClose(accepted); }

void TTCPServer::AbandonSetup(int error) {
  TMutexLock lock(socket_mu_);
  socket_.Reset();
  setup_error_ = error;
}

}  // namespace quorvane
