// Thin socket layer: an owning descriptor handle and syscall wrappers that
// retry on EINTR, never raise SIGPIPE and report failure as a plain result.
// Everything above this file works with TUniqueFd and these helpers only.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

namespace quorvane {

// Move-only owner of one file descriptor; closes it on destruction. Every
// owned descriptor counts against the process's descriptor budget
// (runtime/FdBudget.h).
class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) { Reset(fd); }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  TUniqueFd(TUniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept;
  ~TUniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  // Gives up ownership without closing; the caller closes it.
  int Release();
  // Closes the held descriptor (if any) and takes ownership of |fd|.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Manual-reset event on an eventfd: Set() makes Fd() readable until Reset().
// Thread-safe; Set/Reset never block.
class TEvent {
 public:
  TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;
  bool Valid() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  void Set() const;
  void Reset() const;
  bool IsSet() const;

 private:
  TUniqueFd fd_;
};

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
