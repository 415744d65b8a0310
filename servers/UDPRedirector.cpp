#include "servers/UDPRedirector.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "runtime/FdBudget.h"
#include "runtime/Refusals.h"
#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

std::int64_t WallMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int MillisUntil(std::int64_t deadline, std::int64_t now) {
  return static_cast<int>(std::clamp<std::int64_t>(deadline - now, 0, 1 << 30));
}

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

bool Watch(int epoll_fd, int fd, std::uint64_t tag) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = tag;
  return ::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

std::int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TUDPRedirector::TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                               std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                               const TRedirectorOptions& options)
    : TUDPServer(std::move(listen_host), listen_port, kUdpRedirectorStackSize),
      TRedirector(*options.Loop, options.Stats),
      target_host_(std::move(target_host)),
      target_port_(target_port),
      // Unchecked: a target that does not resolve makes every send fail.
      target_addr_(MakeSockAddr(ResolveHost(target_host_), target_port_)),
      timeout_(std::max<std::int64_t>(timeout_ms, 0)),
      outbound_host_(std::move(outbound_host)),
      // Resolved once, here: a lookup on the redirector's thread could block
      // it in a resolver that ignores Terminate().
      outbound_addr_(Host().empty() ? INADDR_ANY : ResolveHost(outbound_host_)),
      max_sessions_(std::max<std::size_t>(options.UdpSessions, 1)),
      connections_per_address_(options.ConnectionsPerAddress),
      epoll_(Socket() >= 0 ? TUniqueFd(::epoll_create1(EPOLL_CLOEXEC)) : TUniqueFd()) {
  if (Socket() < 0) return;
  if (!epoll_ || !Watch(epoll_.Get(), Socket(), kListenTag) || !Watch(epoll_.Get(), WakeFd(), kWakeTag)) {
    FailSetup(errno);
    epoll_.Reset();
    return;
  }
  GrowReceiveBuffer(Socket(), kListenReceiveBuffer);
}

TUDPRedirector::~TUDPRedirector() {
  Terminate();
  WaitFor();
}

void TUDPRedirector::Execute() {
  if (Socket() < 0) return;
  struct CloseOnExit {
    TUDPRedirector& self;
    ~CloseOnExit() {
      self.index_.clear();
      self.sessions_.clear();
      self.PublishCount();
      self.CloseSocket();
    }
  } close_on_exit{*this};

  TDatagramBatch& batch = Batch();
  std::vector<epoll_event> events;
  while (!Terminated()) {
    // Room for every watched socket, so that one wait reports all that are
    // ready and each is served once per pass.
    events.resize(sessions_.size() + 2);
    const int ready =
        ::epoll_wait(epoll_.Get(), events.data(), static_cast<int>(events.size()), WaitTimeout());
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (Terminated()) return;

    // Session sockets first, while every reported session still exists: a
    // client's datagram may add or evict one.
    TPassTally tally;
    bool listener_ready = false;
    batch.Clear();
    for (int i = 0; i < ready; ++i) {
      const std::uint64_t tag = events[static_cast<std::size_t>(i)].data.u64;
      if (tag == kListenTag) {
        listener_ready = true;
      } else if (tag != kWakeTag) {
        // The tag is the session's address, stored by this loop when it was
        // watched.
        // NOLINTNEXTLINE(performance-no-int-to-ptr)
        CollectAnswers(*reinterpret_cast<const TUDPSession*>(tag), tally);
      }
    }
    SendAnswers(tally);
    if (listener_ready) {
      if (batch.Receive(Socket()) < 0) return;
      ProcessDatagrams(tally);
    }
    AddToStats(tally);

    const std::int64_t now = Now();
    if (now >= next_expiry_) next_expiry_ = ExpireSessions(now);
    TrimBatch();
  }
}

void TUDPRedirector::CollectAnswers(const TUDPSession& session, TPassTally& tally) {
  TDatagramBatch& batch = Batch();
  // Up to one batch per session per pass, even when the pass's batch fills
  // and is sent on half-way: a busy target cannot starve the other sessions.
  for (unsigned taken = 0; taken < kDatagramBatch;) {
    if (batch.Free() == 0) SendAnswers(tally);
    const unsigned wanted = std::min(batch.Free(), kDatagramBatch - taken);
    const unsigned first = batch.Count();
    // A failed receive skips the socket until the next pass.
    const int got = batch.ReceiveMore(session.Socket.Get(), wanted);
    if (got <= 0) return;
    // Whoever sent them, the target or another host, they go to this
    // session's client. Answers do not keep a session alive.
    batch.Direct(first, static_cast<unsigned>(got), session.ClientAddr);
    taken += static_cast<unsigned>(got);
    if (static_cast<unsigned>(got) < wanted) return;  // nothing more queued
  }
}

void TUDPRedirector::SendAnswers(TPassTally& tally) {
  TDatagramBatch& batch = Batch();
  if (batch.Count() == 0) return;
  const TDatagramBatch::TSent sent = batch.Send(Socket(), 0, batch.Count());
  tally.datagrams_from_target += sent.datagrams;
  tally.bytes_from_target += sent.bytes;
  batch.Clear();
}

void TUDPRedirector::ProcessDatagrams(TPassTally& tally) {
  TDatagramBatch& batch = Batch();
  const std::int64_t now = Now();
  // A run ends where the client changes. Sessions change only between runs
  // (a new one, an eviction), so |session| stays valid in a run.
  for (unsigned first = 0, end = 0; first < batch.Count(); first = end) {
    const sockaddr_in& from = batch.From(first);
    for (end = first + 1; end < batch.Count() && SameClient(batch.From(end), from); ++end) {
    }
    const TUDPSession* session = SessionFor(from, now);
    if (session == nullptr) continue;  // refused: the whole run is dropped
    // A send that fails (full buffer, unreachable target) loses the
    // datagram, as the network might have.
    const TDatagramBatch::TSent sent = batch.Send(session->Socket.Get(), first, end - first, target_addr_);
    tally.datagrams_to_target += sent.datagrams;
    tally.bytes_to_target += sent.bytes;
  }
}

TUDPSession* TUDPRedirector::SessionFor(const sockaddr_in& from, std::int64_t now) {
  const std::uint64_t key = ClientKey(from);
  if (const auto found = index_.find(key); found != index_.end()) {
    const TSessions::iterator session = found->second;
    session->LastActivity = now;
    sessions_.splice(sessions_.end(), sessions_, session);  // now the most recently active
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
  if (!fd_budget::HasRoom()) {
    ReportRefusal(TRefusedWork::kUdpSession, TRefusalReason::kDescriptorReserve, address);
    return nullptr;
  }
  TUniqueFd fd = OpenSessionSocket();
  if (!fd) return nullptr;  // no session without a socket; the datagram is lost
  if (sessions_.size() >= max_sessions_) {
    // The least recently active; of equals, the one whose datagram came first.
    RemoveSession(sessions_.begin());
    stats_->Evicted.fetch_add(1, std::memory_order_relaxed);
  }
  const int socket = fd.Get();
  const TSessions::iterator session =
      sessions_.insert(sessions_.end(), TUDPSession{now, from, std::move(fd), std::move(share)});
  if (!Watch(epoll_.Get(), socket, reinterpret_cast<std::uintptr_t>(&*session))) {
    sessions_.erase(session);  // a session never heard from is none; the datagram is lost
    PublishCount();
    return nullptr;
  }
  index_.emplace(key, session);
  PublishCount();
  stats_->Opened.fetch_add(1, std::memory_order_relaxed);
  next_expiry_ = std::min(next_expiry_, ExpiryTime(now));
  return &*session;
}

std::int64_t TUDPRedirector::ExpireSessions(std::int64_t now) {
  // In order of last activity, so the expired ones are the first few.
  std::size_t expired = 0;
  while (!sessions_.empty() && now >= ExpiryTime(sessions_.front().LastActivity)) {
    RemoveSession(sessions_.begin());
    ++expired;
  }
  if (expired != 0) stats_->Expired.fetch_add(expired, std::memory_order_relaxed);
  return sessions_.empty() ? kNever : ExpiryTime(sessions_.front().LastActivity);
}

void TUDPRedirector::RemoveSession(TSessions::iterator session) {
  ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, session->Socket.Get(), nullptr);
  index_.erase(ClientKey(session->ClientAddr));
  // Closes the socket and gives back the address share.
  sessions_.erase(session);
  PublishCount();
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

int TUDPRedirector::WaitTimeout() const {
  int timeout_ms = -1;
  if (next_expiry_ != kNever) timeout_ms = MillisUntil(next_expiry_, Now());
  if (trim_at_ != kNever) {
    const int trim_ms = MillisUntil(trim_at_, SteadyMillis());
    timeout_ms = timeout_ms < 0 ? trim_ms : std::min(timeout_ms, trim_ms);
  }
  return timeout_ms;
}

void TUDPRedirector::AddToStats(const TPassTally& tally) {
  if (tally.datagrams_to_target + tally.datagrams_from_target == 0) return;
  TRedirectorStats& stats = *stats_;
  constexpr auto kRelaxed = std::memory_order_relaxed;
  if (tally.datagrams_to_target != 0) {
    stats.DatagramsToTarget.fetch_add(tally.datagrams_to_target, kRelaxed);
    stats.BytesToTarget.fetch_add(tally.bytes_to_target, kRelaxed);
  }
  if (tally.datagrams_from_target != 0) {
    stats.DatagramsFromTarget.fetch_add(tally.datagrams_from_target, kRelaxed);
    stats.BytesFromTarget.fetch_add(tally.bytes_from_target, kRelaxed);
  }
  stats.LastActivityMs.store(WallMillis(), kRelaxed);
}

void TUDPRedirector::TrimBatch() {
  if (trim_at_ == kNever) {
    if (Batch().ResidentBytes() > kRetainedSlotBytes) trim_at_ = SteadyMillis() + kBatchTrimDelayMs;
  } else if (SteadyMillis() >= trim_at_) {
    Batch().Trim();
    trim_at_ = kNever;
  }
}

void TUDPRedirector::PublishCount() {
  session_count_.store(sessions_.size(), std::memory_order_release);
  stats_->Open.store(static_cast<std::uint32_t>(sessions_.size()), std::memory_order_relaxed);
}

}  // namespace quorvane
