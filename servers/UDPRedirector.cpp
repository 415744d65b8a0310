#include "servers/UDPRedirector.h"

#include <algorithm>
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

}  // namespace

std::int64_t SteadyMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TUDPRedirector::TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                               std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                               TRedirectorOptions options)
    : TUDPServer(std::move(listen_host), listen_port, kUdpRedirectorStackSize),
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
      stats_(options.Stats ? std::move(options.Stats) : std::make_shared<TRedirectorStats>()) {}

TUDPRedirector::~TUDPRedirector() {
  Terminate();
  WaitFor();
}

void TUDPRedirector::Execute() {
  if (Socket() < 0) return;
  struct CloseOnExit {
    TUDPRedirector& self;
    ~CloseOnExit() {
      self.sessions_.clear();
      self.PublishCount();
      self.CloseSocket();
    }
  } close_on_exit{*this};

  TDatagramBatch& batch = Batch();
  std::vector<pollfd> fds;
  while (!Terminated()) {
    fds.clear();
    fds.push_back({Socket(), POLLIN, 0});
    fds.push_back({WakeFd(), POLLIN, 0});
    for (const TUDPSession& session : sessions_) fds.push_back({session.Socket.get(), POLLIN, 0});

    if (PollRetry(fds.data(), fds.size(), PollTimeout()) < 0) return;
    if (fds[kWakeSlot].revents != 0) continue;

    // Session sockets first, while the table still matches |fds|: a client's
    // datagram may add or evict a session.
    TPassTally tally;
    PollSessions(fds, tally);
    if (fds[kListenSlot].revents != 0) {
      if (batch.Receive(Socket()) < 0) return;
      ProcessDatagrams(tally);
    }
    AddToStats(tally);

    const std::int64_t now = Now();
    if (now >= next_expiry_) next_expiry_ = ExpireSessions(now);
    TrimBatch();
  }
}

void TUDPRedirector::PollSessions(const std::vector<pollfd>& fds, TPassTally& tally) {
  TDatagramBatch& batch = Batch();
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    if (fds[kFirstSessionSlot + i].revents == 0) continue;
    // A failed receive skips the socket until the next pass.
    if (batch.Receive(sessions_[i].Socket.get()) <= 0) continue;
    // Whoever sent them, the target or another host, they go to this
    // session's client, through the listening socket. Answers do not keep a
    // session alive.
    const TDatagramBatch::TSent sent = batch.Send(Socket(), 0, batch.Count(), sessions_[i].ClientAddr);
    tally.datagrams_from_target += sent.datagrams;
    tally.bytes_from_target += sent.bytes;
  }
}

void TUDPRedirector::ProcessDatagrams(TPassTally& tally) {
  TDatagramBatch& batch = Batch();
  const std::int64_t now = Now();
  // A run ends where the client changes. The table changes only between
  // runs (a new session, an eviction), so |session| stays valid in a run.
  for (unsigned first = 0, end = 0; first < batch.Count(); first = end) {
    const sockaddr_in& from = batch.From(first);
    for (end = first + 1; end < batch.Count() && SameClient(batch.From(end), from); ++end) {
    }
    const int session = SessionFor(from, now);
    if (session < 0) continue;  // refused: the whole run is dropped
    // A send that fails (full buffer, unreachable target) loses the
    // datagram, as the network might have.
    const TDatagramBatch::TSent sent = batch.Send(sessions_[static_cast<std::size_t>(session)].Socket.get(),
                                                  first, end - first, target_addr_);
    tally.datagrams_to_target += sent.datagrams;
    tally.bytes_to_target += sent.bytes;
  }
}

int TUDPRedirector::SessionFor(const sockaddr_in& from, std::int64_t now) {
  if (const int index = FindSession(from); index >= 0) {
    sessions_[static_cast<std::size_t>(index)].LastActivity = now;
    return index;
  }
  const std::uint32_t address = from.sin_addr.s_addr;
  // Refusals evict nobody: a peer spraying fresh source ports fills its own
  // share, never a real player's place.
  TAddressSlot share = sessions_per_address_.TryAcquire(address, connections_per_address_);
  if (!share) {
    ReportRefusal(TRefusedWork::kUdpSession, TRefusalReason::kConnectionsPerAddress, address);
    return -1;
  }
  if (!fd_budget::HasRoom()) {
    ReportRefusal(TRefusedWork::kUdpSession, TRefusalReason::kDescriptorReserve, address);
    return -1;
  }
  UniqueFd fd = OpenSessionSocket();
  if (!fd) return -1;  // no session without a socket; the datagram is lost
  if (sessions_.size() >= max_sessions_) EvictLongestSilent();
  sessions_.push_back(TUDPSession{now, from, std::move(fd), std::move(share)});
  PublishCount();
  stats_->Opened.fetch_add(1, std::memory_order_relaxed);
  next_expiry_ = std::min(next_expiry_, ExpiryTime(now));
  return static_cast<int>(sessions_.size()) - 1;
}

int TUDPRedirector::FindSession(const sockaddr_in& addr) const {
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    if (SameClient(sessions_[i].ClientAddr, addr)) return static_cast<int>(i);
  }
  return -1;
}

std::int64_t TUDPRedirector::ExpireSessions(std::int64_t now) {
  std::int64_t next = kNever;
  // Removal closes the sockets and gives back the address shares; the rest
  // keep their order.
  const std::size_t expired = std::erase_if(sessions_, [&](const TUDPSession& session) {
    const std::int64_t expiry = ExpiryTime(session.LastActivity);
    if (now >= expiry) return true;
    next = std::min(next, expiry);
    return false;
  });
  if (expired != 0) {
    stats_->Expired.fetch_add(expired, std::memory_order_relaxed);
    PublishCount();
  }
  return next;
}

void TUDPRedirector::EvictLongestSilent() {
  // min_element takes the first of equals: the oldest session among them.
  const auto longest_silent = std::min_element(
      sessions_.begin(), sessions_.end(),
      [](const TUDPSession& a, const TUDPSession& b) { return a.LastActivity < b.LastActivity; });
  if (longest_silent == sessions_.end()) return;
  sessions_.erase(longest_silent);
  stats_->Evicted.fetch_add(1, std::memory_order_relaxed);
  PublishCount();
}

UniqueFd TUDPRedirector::OpenSessionSocket() const {
  UniqueFd fd = OpenUdpSocket();
  if (!fd) return fd;
  if (!BindTo(fd.get(), outbound_addr_, 0)) return UniqueFd();
  return fd;
}

std::int64_t TUDPRedirector::ExpiryTime(std::int64_t last_activity) const {
  // Expired once LastActivity + Timeout < now, i.e. from the next
  // millisecond on; saturates rather than overflows for huge time-outs.
  if (last_activity > kNever - 1 - timeout_) return kNever;
  return last_activity + timeout_ + 1;
}

int TUDPRedirector::PollTimeout() const {
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
