#include "servers/UDPRedirector.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>
#include <utility>

#include "requests/RefusalReasons.h"
#include "runtime/FdBudget.h"
#include "servers/AddressHelpers.h"
#include "servers/DatagramBatch.h"

namespace quorvane {
namespace {

bool SameClient(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// The session key: a client's port and IPv4 address; family and padding are
// not part of it.
std::uint64_t ClientKey(const sockaddr_in& addr) {
  return std::uint64_t{addr.sin_port} << 32 | addr.sin_addr.s_addr;
}

// Asks for |bytes| of receive buffer on |fd|: beyond net.core.rmem_max when
// the process may (CAP_NET_ADMIN), else as much of it as that cap allows.
// Best effort: a smaller buffer only makes an overload drop sooner.
void GrowReceiveBuffer(int fd, int bytes) {
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0) return;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

}  // namespace

TUDPRedirector::TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                               std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                               const TRedirectorOptions& options)
    : TUDPServer(std::move(listen_host), listen_port),
      TRedirector(*options.Loop, options.Stats),
      target_host_(std::move(target_host)),
      target_port_(target_port),
      // Unchecked: a target that does not resolve makes every send fail.
      target_addr_(MakeSockAddr(ResolveHost(target_host_), target_port_)),
      timeout_(std::max<std::int64_t>(timeout_ms, 0)),
      unconfirmed_timeout_(std::min(timeout_, kUnconfirmedTimeoutMs)),
      outbound_host_(std::move(outbound_host)),
      // Resolved once, here: a lookup on the loop would hold up every other
      // client of the loop.
      outbound_addr_(Host().empty() ? INADDR_ANY : ResolveHost(outbound_host_)),
      max_sessions_(std::max<std::size_t>(options.UdpSessions, 1)),
      connections_per_address_(options.ConnectionsPerAddress),
      owner_address_(options.OwnerAddress),
      caps_(options.Caps) {
  if (Socket() < 0) return;
  GrowReceiveBuffer(Socket(), kListenReceiveBuffer);
  const auto bound = LocalAddress(Socket());
  if (!bound) return;
  cap_subject_ = RedirectorName("UDP", *bound, options.PublicAddress);
}

TUDPRedirector::~TUDPRedirector() {
  *pass_owner_ = nullptr;
  CloseAll();
}

bool TUDPRedirector::Start() {
  if (Socket() < 0 || started_) return false;
  // Level-triggered: what one pass leaves queued is reported again next turn.
  if (!Events().Watch(listen_watch_, Socket(), EPOLLIN)) return false;
  started_ = true;
  Loop().AddShedder(*this);
  // Made here, so that only the loop thread ever arms its timer.
  if (caps_) cap_log_.emplace(Events(), cap_subject_, "dropped", "datagrams");
  return true;
}

void TUDPRedirector::SessionReadable(TSession& session) {
  ready_.push_back(&session);
  PlanPass();
}

void TUDPRedirector::ListenerReadable() {
  listener_ready_ = true;
  PlanPass();
}

void TUDPRedirector::PlanPass() {
  if (pass_planned_) return;
  pass_planned_ = true;
  Events().Defer([owner = pass_owner_] {
    if (*owner != nullptr) (*owner)->RunPass();
  });
}

void TUDPRedirector::RunPass() {
  pass_planned_ = false;
  TRelayLoop& loop = Loop();
  TPassTally tally;
  // Session sockets first, while every reported session still exists: a
  // client's datagram may add or evict one, and expiry may remove one.
  loop.Batch().Clear();
  for (TSession* session : ready_) CollectAnswers(*session, tally);
  ready_.clear();
  SendAnswers(tally);
  bool listener_failed = false;
  if (listener_ready_) {
    listener_ready_ = false;
    listener_failed = !ForwardDatagrams(tally);
  }
  AddToStats(tally);
  loop.BatchUsed();
  if (listener_failed) return Fail();
  ExpireSessions(Events().NowMs());
}

void TUDPRedirector::CollectAnswers(TSession& session, TPassTally& tally) {
  TDatagramBatch& batch = Loop().Batch();
  // Up to one batch per session per pass, even when the pass's batch fills
  // and is sent on half-way: a busy target cannot starve the other sessions.
  for (unsigned taken = 0; taken < kDatagramBatch;) {
    if (batch.Free() == 0) SendAnswers(tally);
    const unsigned wanted = std::min(batch.Free(), kDatagramBatch - taken);
    const unsigned first = batch.Count();
    // A failed receive (a reported error, which it clears) skips the socket
    // until it is reported again.
    const int got = batch.ReceiveMore(session.Socket.Get(), wanted);
    if (got <= 0) return;
    const std::int64_t now = Events().NowMs();
    if (!session.Answered) {
      session.Answered = true;
      Loop().MutableCounters().AnswerWait.Observe(kWaitBoundsMs, now - session.Created);
    }
    Confirm(session);
    session.LastMoved = now;
    session.DatagramsFromTarget += static_cast<unsigned>(got);
    for (unsigned i = first; i < batch.Count(); ++i) session.BytesFromTarget += batch.Data(i).size();
    // Whoever sent them, the target or another host, they go to this
    // session's client. Answers do not keep a session alive.
    batch.Direct(first, static_cast<unsigned>(got), session.ClientAddr);
    taken += static_cast<unsigned>(got);
    if (static_cast<unsigned>(got) < wanted) return;  // nothing more queued
  }
}

void TUDPRedirector::SendAnswers(TPassTally& tally) {
  TDatagramBatch& batch = Loop().Batch();
  if (batch.Count() == 0) return;
  const TDatagramBatch::TSent sent = batch.Send(Socket(), 0, batch.Count());
  tally.DatagramsFromTarget += sent.Datagrams;
  tally.BytesFromTarget += sent.Bytes;
  batch.Clear();
}

bool TUDPRedirector::ForwardDatagrams(TPassTally& tally) {
  TDatagramBatch& batch = Loop().Batch();
  if (batch.Receive(Socket()) < 0) return false;
  const std::int64_t now = Events().NowMs();
  TRates rates;
  if (caps_) {
    constexpr auto kRelaxed = std::memory_order_relaxed;
    rates = {caps_->UdpDatagramsPerPlayer.load(kRelaxed), caps_->UdpBytesPerPlayer.load(kRelaxed),
             caps_->BytesPerRedirector.load(kRelaxed)};
  }
  const bool capped = rates.Datagrams != 0 || rates.Bytes != 0 || rates.RedirectorBytes != 0;
  // A send that fails (full buffer, unreachable target) loses the
  // datagram, as the network might have.
  const auto forward = [&](TSession& session, unsigned first, unsigned count) {
    const TDatagramBatch::TSent sent = batch.Send(session.Socket.Get(), first, count, target_addr_);
    session.DatagramsToTarget += sent.Datagrams;
    session.BytesToTarget += sent.Bytes;
    tally.DatagramsToTarget += sent.Datagrams;
    tally.BytesToTarget += sent.Bytes;
  };
  // A run ends where the client changes. Sessions change only between runs
  // (a new one, an eviction), so |session| stays valid in a run.
  for (unsigned first = 0, end = 0; first < batch.Count(); first = end) {
    const sockaddr_in& from = batch.From(first);
    for (end = first + 1; end < batch.Count() && SameClient(batch.From(end), from); ++end) {
    }
    const unsigned count = end - first;
    const TIndex::iterator found = index_.find(ClientKey(from));
    if (!capped) {
      // Refused: the whole run is dropped.
      if (TSession* session = SessionFor(found, from, now, count)) forward(*session, first, count);
      continue;
    }
    const std::uint32_t address = from.sin_addr.s_addr;
    TAddressCaps& caps = found != index_.end() ? *found->second->Caps : address_caps_[address];
    std::uint64_t bytes = 0;
    const unsigned passed = CappedRun(caps, rates, first, count, now, bytes);
    TSession* session = nullptr;
    if (passed != 0) {
      // Held meanwhile: a new session may evict or shed the address's last.
      ++caps.Sessions;
      session = SessionFor(found, from, now, passed);
      --caps.Sessions;
    }
    if (session != nullptr) {
      caps.Datagrams.Take(passed);
      caps.Bytes.Take(bytes);
      redirector_bytes_.Take(bytes);
      forward(*session, first, passed);
    }
    if (passed != count) {
      tally.Dropped += count - passed;
      caps.DroppedAt = now;
      if (cap_log_) cap_log_->Report(address, count - passed);
    }
    if (caps.Sessions == 0) address_caps_.erase(address);
  }
  batch.Clear();
  return true;
}

unsigned TUDPRedirector::CappedRun(TAddressCaps& caps, const TRates& rates, unsigned first, unsigned count,
                                   std::int64_t now, std::uint64_t& bytes) {
  const auto datagrams =
      static_cast<unsigned>(std::min<std::uint64_t>(count, caps.Datagrams.Available(rates.Datagrams, now)));
  bytes = 0;
  if (rates.Bytes == 0 && rates.RedirectorBytes == 0) return datagrams;
  const std::uint64_t own = caps.Bytes.Available(rates.Bytes, now);
  const std::uint64_t all = redirector_bytes_.Available(rates.RedirectorBytes, now);
  // A datagram larger than a second of a cap goes alone, on a full bucket,
  // and takes all of it: else a low cap would stop it for good.
  const auto fits = [&bytes](std::uint64_t available, std::uint64_t rate, std::uint64_t size) {
    return bytes + size <= available || (bytes == 0 && available >= rate);
  };
  const TDatagramBatch& batch = Loop().Batch();
  unsigned passed = 0;
  for (; passed < datagrams; ++passed) {
    const std::uint64_t size = batch.Data(first + passed).size();
    if (!fits(own, rates.Bytes, size) || !fits(all, rates.RedirectorBytes, size)) break;
    bytes += size;
  }
  return passed;
}

TUDPRedirector::TSession* TUDPRedirector::SessionFor(TIndex::iterator found, const sockaddr_in& from,
                                                     std::int64_t now, unsigned datagrams) {
  if (found != index_.end()) {
    const TSessions::iterator session = found->second;
    session->LastActivity = now;
    session->LastMoved = now;
    sessions_.splice(sessions_.end(), sessions_, session);  // now the most recently active
    Confirm(*session);
    return &*session;
  }
  const std::uint32_t address = from.sin_addr.s_addr;
  // Refusals evict nobody: a peer spraying fresh source ports fills its own
  // share, never a real player's place.
  TAddressSlot share = sessions_per_address_.TryAcquire(address, connections_per_address_);
  if (!share) {
    ReportRefusal(TRefusedWork::kUdpSession, TRefusalReason::kConnectionsPerAddress, address);
    return nullptr;
  }
  fd_budget::TFdGrant descriptors = SessionDescriptor(address);
  if (!descriptors) return nullptr;
  TUniqueFd fd = OpenSessionSocket();
  if (!fd) return nullptr;  // no session without a socket; the datagram is lost
  if (sessions_.size() >= max_sessions_) {
    // An unconfirmed one first, the oldest; else the least recently active,
    // and of equals the one whose datagram came first.
    RemoveSession(unconfirmed_.empty() ? sessions_.begin() : unconfirmed_.front());
    stats_->Evicted.fetch_add(1, std::memory_order_relaxed);
  }
  const int socket = fd.Get();
  const TSessions::iterator session = sessions_.emplace(sessions_.end(), *this, now, from, std::move(fd),
                                                        std::move(share), std::move(descriptors));
  if (!Events().Watch(*session, socket, EPOLLIN)) {
    sessions_.erase(session);  // a session never heard from is none; the datagram is lost
    PublishCount();
    return nullptr;
  }
  index_.emplace(ClientKey(from), session);
  if (caps_) {
    session->Caps = &address_caps_[address];
    ++session->Caps->Sessions;
  }
  if (datagrams > 1) {
    session->Confirmed = true;
  } else {
    session->UnconfirmedAt = unconfirmed_.insert(unconfirmed_.end(), session);
  }
  PublishCount();
  stats_->Opened.fetch_add(1, std::memory_order_relaxed);
  return &*session;
}

fd_budget::TFdGrant TUDPRedirector::SessionDescriptor(std::uint32_t address) {
  constexpr auto kKind = fd_budget::TFdKind::kRedirector;
  const long keep_free = fd_budget::Share(kKind) * kListenerHeadroomPercent / 100;
  fd_budget::TFdRefusal why{};
  fd_budget::TFdGrant descriptors = fd_budget::TryAcquire(kKind, owner_address_, 1, &why, keep_free);
  // An unconfirmed session makes room: this redirector's own when its owner
  // holds its fair part (the room is the owner's), else the loop's oldest.
  if (!descriptors) {
    const bool shed = why == fd_budget::TFdRefusal::kFairShare ? ShedUnconfirmed() : Loop().ShedUnconfirmed();
    if (shed) descriptors = fd_budget::TryAcquire(kKind, owner_address_, 1, &why, keep_free);
  }
  if (!descriptors) ReportRefusal(TRefusedWork::kUdpSession, RefusalReasonOf(why), address);
  return descriptors;
}

void TUDPRedirector::Confirm(TSession& session) {
  if (session.Confirmed) return;
  session.Confirmed = true;
  unconfirmed_.erase(session.UnconfirmedAt);
}

std::int64_t TUDPRedirector::OldestUnconfirmed() const {
  return unconfirmed_.empty() ? kNone : unconfirmed_.front()->LastActivity;
}

bool TUDPRedirector::ShedUnconfirmed() {
  if (unconfirmed_.empty()) return false;
  RemoveSession(unconfirmed_.front());
  stats_->Evicted.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void TUDPRedirector::ExpireSessions(std::int64_t now) {
  // Both lists are in order of last activity, so the expired ones are the
  // first few of each.
  std::size_t expired = 0;
  std::size_t unanswered = 0;
  while (!unconfirmed_.empty() && now >= UnconfirmedExpiryTime(unconfirmed_.front()->LastActivity)) {
    unanswered += unconfirmed_.front()->Answered ? 0 : 1;
    RemoveSession(unconfirmed_.front());
    ++expired;
  }
  while (!sessions_.empty() && now >= ExpiryTime(sessions_.front().LastActivity)) {
    unanswered += sessions_.front().Answered ? 0 : 1;
    RemoveSession(sessions_.begin());
    ++expired;
  }
  if (expired != 0) stats_->Expired.fetch_add(expired, std::memory_order_relaxed);
  if (unanswered != 0) stats_->Unanswered.fetch_add(unanswered, std::memory_order_relaxed);
  if (sessions_.empty()) {
    Events().Disarm(expiry_timer_);
    expiry_at_ = kNever;
    return;
  }
  // A timer already armed no later than the first expiry stays: the firsts
  // only ever get later (they talk and move back, or go), except for a new
  // unconfirmed session, whose shorter time-out may come first. Left where
  // it is, the timer may fire early, and the pass it plans moves it on.
  std::int64_t next = ExpiryTime(sessions_.front().LastActivity);
  if (!unconfirmed_.empty()) next = std::min(next, UnconfirmedExpiryTime(unconfirmed_.front()->LastActivity));
  if (next == kNever || (expiry_timer_.Armed() && expiry_at_ <= next)) return;
  Events().Arm(expiry_timer_, next);
  expiry_at_ = next;
}

void TUDPRedirector::RemoveSession(TSessions::iterator session) {
  index_.erase(ClientKey(session->ClientAddr));
  if (!session->Confirmed) unconfirmed_.erase(session->UnconfirmedAt);
  // Shed for another redirector of the loop, it may wait for this one's
  // pass, which must not find it.
  if (!ready_.empty()) std::erase(ready_, &*session);
  Loop().MutableCounters().UdpLifetime.Observe(kLifetimeBoundsMs, Events().NowMs() - session->Created);
  if (session->Caps != nullptr && --session->Caps->Sessions == 0)
    address_caps_.erase(session->ClientAddr.sin_addr.s_addr);
  // Stops watching, closes the socket and gives back the address share.
  sessions_.erase(session);
  PublishCount();
  Loop().ClientFreed();
}

void TUDPRedirector::Fail() {
  CloseAll();
  // Only now: whoever sees it finds every socket closed and no session.
  failed_.store(true, std::memory_order_release);
}

void TUDPRedirector::CloseAll() {
  if (started_) {
    Events().Unwatch(listen_watch_);
    Events().Disarm(expiry_timer_);
    Loop().RemoveShedder(*this);
    started_ = false;
  }
  ready_.clear();
  listener_ready_ = false;
  // The redirector's end is the end of its sessions' lives. Only a started
  // one has sessions: one never started may end on any thread, away from
  // the loop's clock.
  if (!sessions_.empty()) {
    const std::int64_t now = Events().NowMs();
    TRelayLoopCounters& counters = Loop().MutableCounters();
    for (const TSession& session : sessions_)
      counters.UdpLifetime.Observe(kLifetimeBoundsMs, now - session.Created);
  }
  unconfirmed_.clear();
  index_.clear();
  sessions_.clear();
  address_caps_.clear();
  // Logs what it still holds.
  cap_log_.reset();
  PublishCount();
  CloseSocket();
}

TUniqueFd TUDPRedirector::OpenSessionSocket() const {
  TUniqueFd fd = OpenUdpSocket();
  if (!fd) return fd;
  if (!BindTo(fd.Get(), outbound_addr_, 0)) return TUniqueFd();
  return fd;
}

std::int64_t TUDPRedirector::ExpiryTime(std::int64_t last_activity) const {
  // Expired once LastActivity + Timeout < now, i.e. from the next
  // millisecond on; saturates rather than overflows for huge time-outs.
  if (last_activity > kNever - 1 - timeout_) return kNever;
  return last_activity + timeout_ + 1;
}

std::int64_t TUDPRedirector::UnconfirmedExpiryTime(std::int64_t created) const {
  if (created > kNever - 1 - unconfirmed_timeout_) return kNever;
  return created + unconfirmed_timeout_ + 1;
}

void TUDPRedirector::AddToStats(const TPassTally& tally) {
  TRedirectorStats& stats = *stats_;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  if (tally.Dropped != 0) {
    stats.Dropped.fetch_add(tally.Dropped, kRelaxed);
    // The loop thread is the only writer.
    std::atomic<std::uint64_t>& dropped = Loop().MutableCounters().DatagramsDropped;
    dropped.store(dropped.load(kRelaxed) + tally.Dropped, kRelaxed);
  }
  if (tally.DatagramsToTarget + tally.DatagramsFromTarget == 0) return;
  if (tally.DatagramsToTarget != 0) {
    stats.DatagramsToTarget.fetch_add(tally.DatagramsToTarget, kRelaxed);
    stats.BytesToTarget.fetch_add(tally.BytesToTarget, kRelaxed);
  }
  if (tally.DatagramsFromTarget != 0) {
    stats.DatagramsFromTarget.fetch_add(tally.DatagramsFromTarget, kRelaxed);
    stats.BytesFromTarget.fetch_add(tally.BytesFromTarget, kRelaxed);
  }
  stats.LastActivityMs.store(Events().WallMs(), kRelaxed);
}

void TUDPRedirector::PublishCount() {
  session_count_.store(sessions_.size(), std::memory_order_release);
  const auto open = static_cast<std::uint32_t>(sessions_.size());
  stats_->Open.store(open, std::memory_order_relaxed);
  stats_->Players.store(open, std::memory_order_relaxed);
}

std::vector<TPlayerView> TUDPRedirector::Players() const {
  TEventLoop& events = Events();
  const std::int64_t now = events.NowMs();
  // Sessions keep loop clock times; the views show wall clock ones.
  const std::int64_t wall = events.WallMs();
  std::vector<TPlayerView> players;
  players.reserve(sessions_.size());
  for (const TSession& session : sessions_) {
    TPlayerView& player = players.emplace_back();
    player.Address = session.ClientAddr.sin_addr.s_addr;
    player.Port = ntohs(session.ClientAddr.sin_port);
    player.StartedMs = wall - (now - session.Created);
    player.LastActivityMs = wall - (now - session.LastMoved);
    player.BytesToTarget = session.BytesToTarget;
    player.BytesFromTarget = session.BytesFromTarget;
    player.DatagramsToTarget = session.DatagramsToTarget;
    player.DatagramsFromTarget = session.DatagramsFromTarget;
    player.Held = session.Caps != nullptr && now - session.Caps->DroppedAt < kHeldShownMs;
  }
  return players;
}

}  // namespace quorvane
