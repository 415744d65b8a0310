#include "servers/TCPRelay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cassert>
#include <cerrno>
#include <utility>

namespace quorvane {
namespace {

// Whether |fd|'s connection has completed its handshake.
bool Established(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_ESTABLISHED;
}

// Closes |fd| with a reset: a linger of zero makes close() drop what is
// unsent and send an RST instead of a FIN.
void ResetAndClose(TUniqueFd& fd) {
  const linger abort_on_close{1, 0};
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  fd.Reset();
}

// Why |fd|'s connect failed, as the socket reports it; a connect that ended
// without a reported error counts as aborted.
int PendingError(int fd) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error == 0) return ECONNABORTED;
  return error;
}

}  // namespace

void SetRelaySocketOptions(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  SetKeepAlive(fd);
}

TTCPRelay::TTCPRelay(TRelayLoop& loop, TRelayRequest request)
    : relay_loop_(loop),
      loop_(loop.Loop()),
      accepted_(std::move(request.Accepted)),
      target_addr_(request.Target),
      outbound_addr_(request.OutboundAddr),
      slot_(std::move(request.Slot)),
      descriptors_(std::move(request.Descriptors)),
      stats_(request.Stats ? std::move(request.Stats) : std::make_shared<TRedirectorStats>()),
      failure_log_(std::move(request.FailureLog)) {}

TTCPRelay::~TTCPRelay() { assert(state_ == TState::kEnded); }

void TTCPRelay::Start() {
  target_ = OpenTcpSocket();
  if (!target_) return ConnectFailed(errno);
  SetRelaySocketOptions(target_.Get());
  if (outbound_addr_) {
    // The port is left to connect(): chosen at bind time it could not reuse
    // a port in TIME_WAIT, and each relayed connection leaves one behind, so
    // busy redirectors would run out of outbound ports.
    const int on = 1;
    ::setsockopt(target_.Get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (!BindTo(target_.Get(), *outbound_addr_, 0)) return ConnectFailed(errno);
  }
  up_.emplace(accepted_.Get(), target_.Get(), relay_loop_.Pool());
  down_.emplace(target_.Get(), accepted_.Get(), relay_loop_.Pool());
  if (::connect(target_.Get(), reinterpret_cast<const sockaddr*>(&target_addr_), sizeof target_addr_) == 0) {
    Connected();
    return Advance();
  }
  if (errno != EINPROGRESS && errno != EINTR) return ConnectFailed(errno);
  // A near target has usually completed the handshake by the time connect()
  // returns (on loopback the call itself carries it through), and a game's
  // client talks first. So its first bytes go out at once, and a send that
  // goes through proves the connection up; with nothing to send yet, the
  // socket's state tells. Either spares a turn of the loop waiting for
  // writability. A send that fails says that the connect has failed.
  if (up_->Fill() > 0) {
    const std::size_t sent = up_->Flush();
    if (up_->SinkFailed()) return ConnectFailed(up_->SinkError());
    if (sent > 0) {
      Connected();
      Count(*up_, sent);
      return Advance();
    }
  } else if (Established(target_.Get())) {
    Connected();
    return Advance();
  }
  if (!loop_.Watch(target_side_, target_.Get(), EPOLLOUT)) return ConnectFailed(errno);
  loop_.Arm(*this, loop_.NowMs() + kConnectTimeoutMs);
}

void TTCPRelay::Abort() {
  if (state_ != TState::kEnded) End(TEnd::kForced);
}

void TTCPRelay::OnReady(bool accepted_side, std::uint32_t events) {
  if (state_ == TState::kConnecting) {
    // Only the target is watched while connecting. A failed connect reports
    // an error; a completed one, writability.
    if ((events & (EPOLLERR | EPOLLHUP)) != 0 || (events & EPOLLOUT) == 0) return ConnectFailed(0);
    loop_.Disarm(*this);
    Connected();
    // What the client sent before the connect completed goes out now; what
    // it sent since, the accepted socket reports once watched.
    Deliver(*up_);
    return Advance();
  }
  if (state_ != TState::kRelaying) return;  // ended earlier in this turn
  TRelayDirection& from = accepted_side ? *up_ : *down_;
  TRelayDirection& into = accepted_side ? *down_ : *up_;
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && from.WantsInput()) {
    // Sent right away rather than after an EPOLLOUT: the sink can nearly
    // always take it, and Advance() watches it when it could not.
    if (from.Fill() > 0) Deliver(from);
  }
  // A socket in error gives nothing more worth relaying, and takes nothing
  // more; left watched, it would be reported again on every turn.
  if ((events & EPOLLERR) != 0) from.SourceReportedError();
  if ((events & (EPOLLOUT | EPOLLHUP)) != 0 && into.WantsOutput()) Deliver(into);
  Advance();
}

void TTCPRelay::OnTimer() {
  // Connecting: the target did not answer in time. Relaying: the linger is
  // over.
  if (state_ == TState::kConnecting) return ConnectFailed(ETIMEDOUT);
  End(TEnd::kForced);
}

void TTCPRelay::ConnectFailed(int error) {
  if (error == 0) error = PendingError(target_.Get());
  stats_->Failed.fetch_add(1, std::memory_order_relaxed);
  stats_->LastFailure.store(PackFailure(loop_.WallMs(), error), std::memory_order_relaxed);
  auto& counter =
      relay_loop_.MutableCounters().ConnectFailures[static_cast<std::size_t>(ConnectFailureOf(error))];
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  // Counted and logged before the close, so that whoever sees the close
  // finds the failure.
  if (failure_log_) failure_log_->Report(error);
  End(TEnd::kNoTarget);
}

void TTCPRelay::Connected() {
  state_ = TState::kRelaying;
  counted_ = true;
  stats_->Open.fetch_add(1, std::memory_order_relaxed);
  stats_->Opened.fetch_add(1, std::memory_order_relaxed);
}

void TTCPRelay::Deliver(TRelayDirection& direction) { Count(direction, direction.Flush()); }

void TTCPRelay::Count(TRelayDirection& direction, std::size_t sent) {
  if (sent == 0) return;
  const bool to_target = &direction == &*up_;
  (to_target ? stats_->BytesToTarget : stats_->BytesFromTarget).fetch_add(sent, std::memory_order_relaxed);
  stats_->LastActivityMs.store(loop_.WallMs(), std::memory_order_relaxed);
  // The loop thread is the only writer of its own counters.
  auto& counter =
      to_target ? relay_loop_.MutableCounters().BytesToTarget : relay_loop_.MutableCounters().BytesFromTarget;
  counter.store(counter.load(std::memory_order_relaxed) + sent, std::memory_order_relaxed);
}

void TTCPRelay::Advance() {
  // A peer that reset its connection gave up on the exchange, and what it
  // sent last may be missing: the other peer must not take the end for a
  // complete stream, so it gets a reset too, and no FIN first. What the
  // relay holds either way belongs to a broken stream and is dropped.
  if (up_->SourceAborted() || up_->SinkAborted() || down_->SourceAborted() || down_->SinkAborted()) {
    return End(TEnd::kAborted);
  }
  // A connection that failed one way is broken both ways: the other
  // direction drops what it holds for it and only drains its own source.
  if (up_->SourceFailed() || down_->SinkFailed()) {
    up_->FailSource();
    down_->FailSink();
  }
  if (down_->SourceFailed() || up_->SinkFailed()) {
    down_->FailSource();
    up_->FailSink();
  }
  up_->PassEnd();
  down_->PassEnd();
  if (up_->Done() && down_->Done()) return End(TEnd::kClean);
  const bool closing =
      (up_->SourceEnded() && down_->SourceEnded()) || up_->SinkFailed() || down_->SinkFailed();
  if (closing && !Armed()) loop_.Arm(*this, loop_.NowMs() + kLingerMs);
  const std::uint32_t accepted_events =
      (up_->WantsInput() ? EPOLLIN : 0u) | (down_->WantsOutput() ? EPOLLOUT : 0u);
  const std::uint32_t target_events =
      (down_->WantsInput() ? EPOLLIN : 0u) | (up_->WantsOutput() ? EPOLLOUT : 0u);
  // A socket with nothing to watch leaves the epoll set: hang-ups and errors
  // are reported whatever was asked, and would wake the loop on every turn.
  if (!loop_.Watch(accepted_side_, accepted_.Get(), accepted_events) ||
      !loop_.Watch(target_side_, target_.Get(), target_events)) {
    End(TEnd::kForced);
  }
}

void TTCPRelay::End(TEnd how) {
  state_ = TState::kEnded;
  loop_.Disarm(*this);
  up_.reset();
  down_.reset();
  // Both sockets are closed below, which takes them out of the epoll set.
  loop_.UnwatchClosing(accepted_side_);
  loop_.UnwatchClosing(target_side_);
  switch (how) {
    case TEnd::kNoTarget:
      // The remote party learns at once that nobody answers; the outbound
      // socket never carried anything.
      ShutdownAndClose(accepted_);
      target_.Reset();
      break;
    case TEnd::kClean:
      // Both peers have sent their FIN and got ours: nothing is unread.
      accepted_.Reset();
      target_.Reset();
      break;
    case TEnd::kForced:
      ShutdownAndClose(accepted_);
      ShutdownAndClose(target_);
      break;
    case TEnd::kAborted:
      // The broken connection is closed on its peer's side already; its
      // own close sends nothing.
      ResetAndClose(accepted_);
      ResetAndClose(target_);
      break;
  }
  if (counted_) stats_->Open.fetch_sub(1, std::memory_order_relaxed);
  counted_ = false;
  slot_.Release();
  descriptors_.Release();
  relay_loop_.RelayEnded(*this);
}

}  // namespace quorvane
