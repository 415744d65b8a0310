#include "servers/UDPRedirector.h"

#include <algorithm>
#include <chrono>

#include "servers/AddressHelpers.h"

namespace quorvane {

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

  std::vector<std::uint8_t> buffer(kMaxDatagramSize);
  std::vector<pollfd> fds;
  const auto deliver = [this](const sockaddr_in& from, std::span<const std::uint8_t> data) {
    ProcessDatagram(from, data);
  };
  while (!Terminated()) {
    fds.clear();
    fds.push_back({Socket(), POLLIN, 0});
    fds.push_back({WakeFd(), POLLIN, 0});
    for (const TUDPSession& session : sessions_) fds.push_back({session.Socket.get(), POLLIN, 0});

    int timeout_ms = -1;
    if (next_expiry_ != kNever) {
      timeout_ms = static_cast<int>(std::clamp<std::int64_t>(next_expiry_ - Now(), 0, 1 << 30));
    }
    if (PollRetry(fds.data(), fds.size(), timeout_ms) < 0) return;
    if (fds[kWakeSlot].revents != 0) continue;

    // Session sockets first, while the table still matches |fds|: a client's
    // datagram may add or evict a session.
    PollSessions(fds, buffer);
    if (fds[kListenSlot].revents != 0 && ReceiveBatch(Socket(), buffer, deliver).failed) return;

    const std::int64_t now = Now();
    if (now >= next_expiry_) next_expiry_ = ExpireSessions(now);
  }
}

void TUDPRedirector::ProcessDatagram(const sockaddr_in& from, std::span<const std::uint8_t> data) {
  const std::int64_t now = Now();
  int index = FindSession(from);
  if (index >= 0) {
    sessions_[static_cast<std::size_t>(index)].LastActivity = now;
  } else {
    UniqueFd fd = OpenSessionSocket();
    if (!fd) return;  // no session without a socket; the datagram is lost
    if (sessions_.size() >= max_sessions_) EvictLongestSilent();
    sessions_.push_back(TUDPSession{now, from, std::move(fd)});
    PublishCount();
    next_expiry_ = std::min(next_expiry_, ExpiryTime(now));
    index = static_cast<int>(sessions_.size()) - 1;
  }
  // A send that fails (full buffer, unreachable target) loses the datagram,
  // as the network might have.
  SendTo(sessions_[static_cast<std::size_t>(index)].Socket.get(), data.data(), data.size(), target_addr_);
}

int TUDPRedirector::FindSession(const sockaddr_in& addr) const {
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    const sockaddr_in& client = sessions_[i].ClientAddr;
    if (client.sin_port == addr.sin_port && client.sin_addr.s_addr == addr.sin_addr.s_addr) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void TUDPRedirector::PollSessions(const std::vector<pollfd>& fds, std::span<std::uint8_t> buffer) {
  for (std::size_t i = 0; i < sessions_.size(); ++i) {
    if (fds[kFirstSessionSlot + i].revents == 0) continue;
    const TUDPSession& session = sessions_[i];
    // Whoever sent it, the target or another host, it goes to this session's
    // client. A failed receive skips the socket until the next pass.
    ReceiveBatch(session.Socket.get(), buffer, [&](const sockaddr_in&, std::span<const std::uint8_t> data) {
      ReplyToClient(session, data);
    });
  }
}

void TUDPRedirector::ReplyToClient(const TUDPSession& session, std::span<const std::uint8_t> data) {
  SendTo(Socket(), data.data(), data.size(), session.ClientAddr);
}

std::int64_t TUDPRedirector::ExpireSessions(std::int64_t now) {
  std::int64_t next = kNever;
  // Removal closes the sockets; the rest keep their order.
  std::erase_if(sessions_, [&](const TUDPSession& session) {
    const std::int64_t expiry = ExpiryTime(session.LastActivity);
    if (now >= expiry) return true;
    next = std::min(next, expiry);
    return false;
  });
  PublishCount();
  return next;
}

void TUDPRedirector::EvictLongestSilent() {
  // min_element takes the first of equals: the oldest session among them.
  const auto longest_silent = std::min_element(
      sessions_.begin(), sessions_.end(),
      [](const TUDPSession& a, const TUDPSession& b) { return a.LastActivity < b.LastActivity; });
  if (longest_silent != sessions_.end()) sessions_.erase(longest_silent);
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

}  // namespace quorvane
