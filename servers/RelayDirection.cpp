#include "servers/RelayDirection.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "runtime/FdBudget.h"

namespace quorvane {
namespace {

constexpr unsigned kSpliceFlags = SPLICE_F_NONBLOCK | SPLICE_F_MOVE;
// What a pipe holds when its size cannot be read back: one page.
constexpr std::size_t kMinPipeBytes = 4096;

// Spliced bytes pass through the relay by reference: every page a sender
// wrote stays in use until the receiver behind the relay has read it.
// Towards a receiver on this machine the kernel's autotuned send buffer (up
// to 4 MiB) lets megabytes queue between the relay and that receiver, which
// then reads memory long gone from the cache; held to the relay's own bound,
// a loopback stream ran about half as fast again. A distant receiver needs
// a send buffer that covers its round trip, so its buffer stays autotuned.
// Below this round trip (256 KiB per round trip is still 1 Gbit/s) the
// receiver counts as near.
constexpr std::uint32_t kNearRoundTripUs = 2000;

// Holds |sink|'s send buffer to kRelayBufferBytes when its peer is near and
// the buffer is larger now (a smaller one set on purpose stays).
void BoundSendBufferTowardsNearPeer(int sink) {
  tcp_info info{};
  socklen_t length = sizeof info;
  // Not TCP, or no round trip measured yet: nothing to go by.
  if (::getsockopt(sink, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 || info.tcpi_rtt == 0 ||
      info.tcpi_rtt > kNearRoundTripUs) {
    return;
  }
  int current = 0;
  length = sizeof current;
  if (::getsockopt(sink, SOL_SOCKET, SO_SNDBUF, &current, &length) != 0 ||
      static_cast<std::size_t>(current) <= kRelayBufferBytes) {
    return;
  }
  // The kernel doubles what it is given, for its own bookkeeping, and
  // reports the doubled size.
  const int half = static_cast<int>(kRelayBufferBytes / 2);
  ::setsockopt(sink, SOL_SOCKET, SO_SNDBUF, &half, sizeof half);
}

}  // namespace

TRelayDirection::TRelayDirection(int source, int sink, TRelayBufferPool& pool)
    : source_(source), sink_(sink), pool_(pool) {}

TRelayDirection::~TRelayDirection() { ReturnBuffer(); }

bool TRelayDirection::WantsInput() const { return !source_ended_ && (sink_failed_ || Room() > 0); }

std::size_t TRelayDirection::Room() const {
  if (stalled_) return 0;
  const std::size_t room = kRelayBufferBytes - Pending();
  if (Spliced()) return room;
  return std::min(room, kSmallBufferBytes - (buffer_end_ - buffer_begin_));
}

std::size_t TRelayDirection::Fill(std::size_t limit) {
  if (source_ended_) return 0;
  if (sink_failed_) return Discard();
  const std::size_t room = std::min(Room(), limit);
  if (room == 0) return 0;
  return Spliced() ? FillPipe(room) : FillBuffer(room);
}

std::size_t TRelayDirection::FillPipe(std::size_t room) {
  const std::size_t want = std::min(room, pipe_capacity_ - piped_);
  if (want == 0) {
    Grow();
    return 0;
  }
  const ssize_t n = ::splice(source_, nullptr, pipe_write_.Get(), nullptr, want, kSpliceFlags);
  if (n > 0) {
    piped_ += static_cast<std::size_t>(n);
    if (piped_ >= pipe_capacity_) Grow();
    return static_cast<std::size_t>(n);
  }
  if (n == 0) {
    source_ended_ = true;
    return 0;
  }
  if (errno == EINTR) return 0;
  if (errno != EAGAIN) {
    ReceiveFailed();
    return 0;
  }
  // With bytes in the pipe, EAGAIN means the pipe ran out of slots (each
  // received segment takes one) before it ran out of bytes.
  if (piped_ > 0) {
    Grow();
    return 0;
  }
  // Nothing waits and still nothing: splice() stops at a TCP urgent mark for
  // good while the socket stays readable. recv() steps over the mark
  // (dropping the urgent byte, as a plain receive does), so that the relay
  // neither spins nor stalls.
  const std::size_t buffer_room = std::min(room, kSmallBufferBytes - (buffer_end_ - buffer_begin_));
  if (buffer_room == 0) {
    stalled_ = true;
    return 0;
  }
  return FillBuffer(buffer_room);
}

std::size_t TRelayDirection::FillBuffer(std::size_t room) {
  if (!buffer_) {
    buffer_ = pool_.Take();
    buffer_begin_ = buffer_end_ = 0;
  }
  if (buffer_begin_ > 0 && buffer_end_ + room > kSmallBufferBytes) {
    std::memmove(buffer_.get(), buffer_.get() + buffer_begin_, buffer_end_ - buffer_begin_);
    buffer_end_ -= buffer_begin_;
    buffer_begin_ = 0;
  }
  const ssize_t n = RecvSome(source_, buffer_.get() + buffer_end_, room, MSG_DONTWAIT);
  if (n > 0) {
    buffer_end_ += static_cast<std::size_t>(n);
    if (buffer_end_ == kSmallBufferBytes && !Spliced()) OpenPipe();
    return static_cast<std::size_t>(n);
  }
  if (n == 0) {
    source_ended_ = true;
  } else if (errno != EAGAIN) {
    ReceiveFailed();
  }
  if (buffer_begin_ == buffer_end_) ReturnBuffer();
  return 0;
}

std::size_t TRelayDirection::Discard() {
  // MSG_TRUNC makes TCP drop the bytes without copying them anywhere.
  const ssize_t n = RecvSome(source_, nullptr, kRelayBufferBytes, MSG_DONTWAIT | MSG_TRUNC);
  if (n > 0) return static_cast<std::size_t>(n);
  if (n == 0) {
    source_ended_ = true;
  } else if (errno != EAGAIN) {
    ReceiveFailed();
  }
  return 0;
}

std::size_t TRelayDirection::Flush() {
  if (sink_failed_) return 0;
  std::size_t sent = 0;
  if (buffer_end_ > buffer_begin_) {
    const ssize_t n =
        SendSome(sink_, buffer_.get() + buffer_begin_, buffer_end_ - buffer_begin_, MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN) SendFailed(errno);
      return 0;
    }
    buffer_begin_ += static_cast<std::size_t>(n);
    sent = static_cast<std::size_t>(n);
    stalled_ = false;
    if (buffer_begin_ < buffer_end_) return sent;  // the sink is full
    ReturnBuffer();
  }
  if (piped_ > 0) {
    // splice() cannot pass MSG_NOSIGNAL: a vanished peer raises SIGPIPE,
    // which the loop threads keep blocked, and the call fails with EPIPE.
    const ssize_t n = ::splice(pipe_read_.Get(), nullptr, sink_, nullptr, piped_, kSpliceFlags);
    if (n > 0) {
      piped_ -= static_cast<std::size_t>(n);
      sent += static_cast<std::size_t>(n);
      stalled_ = false;
    } else if (n == 0) {
      FailSink();
    } else if (errno != EAGAIN && errno != EINTR) {
      SendFailed(errno);
    }
  }
  return sent;
}

void TRelayDirection::PassEnd() {
  if (!source_ended_ || sink_failed_ || end_passed_ || Pending() > 0) return;
  // A sink that is gone already (ENOTCONN) has nothing left to be told.
  ::shutdown(sink_, SHUT_WR);
  end_passed_ = true;
}

void TRelayDirection::OpenPipe() {
  // A relay carries on without a pipe, only slower: the last descriptors
  // are kept for refusing new work cleanly.
  if (!fd_budget::HasRoom(2)) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  pipe_read_.Reset(fds[0]);
  pipe_write_.Reset(fds[1]);
  // The pipe keeps its default size until bulk traffic fills it (Grow), so
  // that short bursts do not use up the per-user pipe quota.
  const int size = ::fcntl(fds[1], F_GETPIPE_SZ);
  pipe_capacity_ = std::min(size > 0 ? static_cast<std::size_t>(size) : kMinPipeBytes, kRelayBufferBytes);
  BoundSendBufferTowardsNearPeer(sink_);
}

void TRelayDirection::Grow() {
  if (pipe_capacity_ < kRelayBufferBytes) {
    const int size = ::fcntl(pipe_write_.Get(), F_SETPIPE_SZ, static_cast<int>(kRelayBufferBytes));
    if (size > 0 && static_cast<std::size_t>(size) > pipe_capacity_) {
      pipe_capacity_ = std::min(static_cast<std::size_t>(size), kRelayBufferBytes);
      return;
    }
  }
  stalled_ = true;
}

void TRelayDirection::ReturnBuffer() {
  pool_.Give(std::move(buffer_));
  buffer_begin_ = buffer_end_ = 0;
}

void TRelayDirection::ReceiveFailed() {
  // Any receive error comes before an end of stream: once the kernel has
  // the peer's FIN, a receive reports the end, whatever came after it.
  source_aborted_ = true;
  FailSource();
}

void TRelayDirection::SendFailed(int error) {
  // A reset that follows the peer's FIN (the peer closed and then got
  // bytes it no longer reads) is EPIPE: its stream was complete, and the
  // relay lingers as for any sink that cannot take more. EPIPE is also what
  // a send reports once the error was taken by an earlier call, which
  // counted it then.
  if (error != EPIPE) sink_aborted_ = true;
  sink_error_ = error;
  FailSink();
}

void TRelayDirection::SourceReportedError() {
  int error = 0;
  socklen_t length = sizeof error;
  // Reading the error clears it; a receive that took it first already
  // counted it.
  if (!source_ended_ && ::getsockopt(source_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0 &&
      error != EPIPE) {
    source_aborted_ = true;
  }
  FailSource();
}

void TRelayDirection::FailSink() {
  sink_failed_ = true;
  stalled_ = false;
  ReturnBuffer();
  pipe_read_.Reset();
  pipe_write_.Reset();
  piped_ = 0;
}

}  // namespace quorvane
