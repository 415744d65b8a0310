#include "servers/TCPRelay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
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

// A share of |rate| (bytes/s) worth waking a held relay for: a fiftieth of a
// second's worth, so that a relay at its cap reads in pieces rather than
// byte by byte, and no more than a pipe's worth.
std::uint64_t WorthwhileShare(std::uint64_t rate) {
  return std::clamp<std::uint64_t>(rate / 50, 1, std::uint64_t{64} * 1024);
}

}  // namespace

TTcpPlayers::TTcpPlayers(TEventLoop& loop, std::string subject, std::shared_ptr<const TPlayerCaps> caps)
    : caps_(std::move(caps)), log_(loop, std::move(subject), "held back", "reads") {}

TTcpPlayers::~TTcpPlayers() { assert(relays_.empty()); }

TTcpPlayers::TMember TTcpPlayers::Join(TTCPRelay& relay, std::uint32_t address) {
  TMember member{relays_.insert(relays_.end(), &relay), address, nullptr};
  if (caps_) {
    TShare& share = shares_[address];
    ++share.Relays;
    member.Bucket = &share.Bucket;
  }
  return member;
}

void TTcpPlayers::Leave(const TMember& member) {
  relays_.erase(member.Entry);
  if (member.Bucket == nullptr) return;
  const auto found = shares_.find(member.Address);
  if (--found->second.Relays == 0) shares_.erase(found);
}

std::vector<TPlayerView> TTcpPlayers::Views() const {
  std::vector<TPlayerView> views;
  views.reserve(relays_.size());
  for (const TTCPRelay* relay : relays_) views.push_back(relay->View());
  return views;
}

std::uint64_t TTcpPlayers::Allowance(const TMember& member, std::int64_t now_ms) {
  per_player_ = caps_->TcpBytesPerPlayer.load(std::memory_order_relaxed);
  per_redirector_ = caps_->BytesPerRedirector.load(std::memory_order_relaxed);
  return std::min(member.Bucket->Available(per_player_, now_ms), total_.Available(per_redirector_, now_ms));
}

void TTcpPlayers::Take(const TMember& member, std::uint64_t bytes) {
  if (bytes == 0) return;
  member.Bucket->Take(bytes);
  total_.Take(bytes);
}

std::int64_t TTcpPlayers::WaitMs(const TMember& member) const {
  std::int64_t wait = 1;
  if (per_player_ != 0) wait = member.Bucket->WaitMs(per_player_, WorthwhileShare(per_player_));
  if (per_redirector_ != 0) {
    wait = std::max(wait, total_.WaitMs(per_redirector_, WorthwhileShare(per_redirector_)));
  }
  return wait;
}

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
      failure_log_(std::move(request.FailureLog)),
      players_(std::move(request.Players)),
      peer_(request.Peer),
      created_ms_(loop_.NowMs()),
      started_wall_ms_(loop_.WallMs()),
      last_activity_ms_(started_wall_ms_) {
  stats_->Players.fetch_add(1, std::memory_order_relaxed);
  if (!players_) return;
  member_ = players_->Join(*this, peer_.sin_addr.s_addr);
  capped_ = players_->Capped();
}

TTCPRelay::~TTCPRelay() { assert(state_ == TState::kEnded); }

TPlayerView TTCPRelay::View() const {
  TPlayerView view;
  view.Address = peer_.sin_addr.s_addr;
  view.Port = ntohs(peer_.sin_port);
  view.StartedMs = started_wall_ms_;
  view.LastActivityMs = last_activity_ms_;
  view.BytesToTarget = bytes_to_target_;
  view.BytesFromTarget = bytes_from_target_;
  view.Connecting = state_ == TState::kConnecting;
  view.Held = held_;
  return view;
}

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
  if (Fill(*up_) > 0) {
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
    if (Fill(from) > 0) Deliver(from);
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

std::size_t TTCPRelay::Fill(TRelayDirection& direction) {
  // What a player sends once its target is gone reaches nobody: it is
  // drained uncapped.
  if (!capped_ || &direction != &*up_ || !direction.WantsInput() || direction.SinkFailed()) {
    return direction.Fill();
  }
  const std::uint64_t allowed = players_->Allowance(member_, loop_.NowMs());
  if (allowed == 0) {
    Hold();
    return 0;
  }
  const std::size_t filled =
      direction.Fill(static_cast<std::size_t>(std::min<std::uint64_t>(allowed, TRelayDirection::kNoLimit)));
  players_->Take(member_, filled);
  return filled;
}

void TTCPRelay::Hold() {
  // A pause is counted once, however often the buckets are still short
  // when it would end.
  if (!held_) {
    held_ = true;
    stats_->Held.fetch_add(1, std::memory_order_relaxed);
    auto& counter = relay_loop_.MutableCounters().RelaysHeld;
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    players_->ReportHeld(member_);
  }
  loop_.ArmAfter(hold_timer_, players_->WaitMs(member_));
}

void TTCPRelay::HoldOver() {
  // Still connecting: nothing reads the player yet, and once connected the
  // relay reads within its caps.
  if (state_ != TState::kRelaying) {
    held_ = false;
    return;
  }
  if (up_->WantsInput() && !up_->SinkFailed() && players_->Allowance(member_, loop_.NowMs()) == 0) {
    return Hold();
  }
  held_ = false;
  if (Fill(*up_) > 0) Deliver(*up_);
  Advance();
}

void TTCPRelay::Connected() {
  relay_loop_.MutableCounters().ConnectWait.Observe(kWaitBoundsMs, loop_.NowMs() - created_ms_);
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
  (to_target ? bytes_to_target_ : bytes_from_target_) += sent;
  last_activity_ms_ = loop_.WallMs();
  stats_->LastActivityMs.store(last_activity_ms_, std::memory_order_relaxed);
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
  // A held player is not read (its hang-ups and errors are still
  // reported); what it has sent waits in its own socket, so TCP slows it.
  const bool read_player = up_->WantsInput() && (!held_ || up_->SinkFailed());
  const std::uint32_t accepted_events = (read_player ? EPOLLIN : 0u) | (down_->WantsOutput() ? EPOLLOUT : 0u);
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
  loop_.Disarm(hold_timer_);
  held_ = false;
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
  // Lifetimes are of relays that relayed; a failed connect shows in the
  // connect failures.
  if (counted_) {
    stats_->Open.fetch_sub(1, std::memory_order_relaxed);
    relay_loop_.MutableCounters().TcpLifetime.Observe(kLifetimeBoundsMs, loop_.NowMs() - created_ms_);
  }
  counted_ = false;
  stats_->Players.fetch_sub(1, std::memory_order_relaxed);
  if (players_) players_->Leave(member_);
  slot_.Release();
  descriptors_.Release();
  relay_loop_.RelayEnded(*this);
}

}  // namespace quorvane
