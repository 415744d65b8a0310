// Thin socket layer: an owning descriptor handle and syscall wrappers that
// retry on EINTR, never raise SIGPIPE and report failure as a plain result.
// Everything above this file works with TUniqueFd and these helpers only.
// Sockets are non-blocking and are waited for by an event loop; the
// blocking waits below (PollRetry, WaitFd) are for the few threads of their
// own (the log writer, the admin workers, the tools).
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "runtime/Event.h"
#include "runtime/UniqueFd.h"

namespace quorvane {

// IPv4 socket address; |addr_net| in network order, |port| in host order.
sockaddr_in MakeSockAddr(std::uint32_t addr_net, std::uint16_t port);

// New sockets are close-on-exec and non-blocking.
TUniqueFd OpenTcpSocket();
TUniqueFd OpenUdpSocket();

bool BindTo(int fd, std::uint32_t addr_net, std::uint16_t port);
std::optional<sockaddr_in> LocalAddress(int fd);
std::optional<sockaddr_in> PeerAddress(int fd);
bool SetBlocking(int fd, bool blocking);
void SetNoDelay(int fd);

// TCP keepalive, so that a connection whose peer vanished (a control
// client, a relay's peer) is released within a few minutes: probes after
// kKeepAliveIdleSec of silence, every kKeepAliveIntervalSec, kKeepAliveProbes
// times.
inline constexpr int kKeepAliveIdleSec = 60;
inline constexpr int kKeepAliveIntervalSec = 10;
inline constexpr int kKeepAliveProbes = 6;
void SetKeepAlive(int fd);

// Bytes queued for reading (FIONREAD), or -1 when the query fails.
int PendingBytes(int fd);

// send() with MSG_NOSIGNAL, retried on EINTR. Returns what send() returns.
ssize_t SendSome(int fd, const void* data, std::size_t size, int flags = 0);
ssize_t RecvSome(int fd, void* data, std::size_t size, int flags = 0);
ssize_t SendTo(int fd, const void* data, std::size_t size, const sockaddr_in& to);
// recvfrom() without blocking; *from gets the sender. -1 with errno EAGAIN
// when nothing is queued.
ssize_t RecvFrom(int fd, void* data, std::size_t size, sockaddr_in* from);

// Orderly close: shutdown both directions, then close.
void ShutdownAndClose(TUniqueFd& fd);

// poll() that resumes after EINTR with the time left. |timeout_ms| < 0 waits
// without limit. Returns poll()'s result.
int PollRetry(pollfd* fds, nfds_t count, int timeout_ms);

enum class TWaitResult { kReady, kWoken, kTimedOut, kFailed };

// Waits until |fd| reports any of |events|, |wake_fd| becomes readable (the
// owner thread was terminated), or |timeout_ms| passes (< 0: no limit).
// Error and hang-up conditions on |fd| count as Ready, so that the caller's
// next call reports them.
TWaitResult WaitFd(int fd, short events, int wake_fd, int timeout_ms);

}  // namespace quorvane
