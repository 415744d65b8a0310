#include "bench/BenchTargets.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "bench/BenchSupport.h"

namespace quorvane::bench {

namespace {

// One read takes at most this much; large enough that a bulk stream costs
// the sink few system calls.
constexpr std::size_t kReadSize = std::size_t{256} * 1024;
// Reads per readiness event, so that one busy connection cannot starve the
// others of the same target.
constexpr int kReadsPerEvent = 8;
constexpr std::size_t kUdpBatch = 64;
constexpr std::size_t kMaxDatagram = 65536;
constexpr int kSetupTimeoutMs = 2000;
constexpr int kMaxSetupFailures = 10;

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }

void Watch(int epoll_fd, int op, int fd, std::uint32_t events) {
  epoll_event ev{};
  ev.events = events;
  ev.data.fd = fd;
  ::epoll_ctl(epoll_fd, op, fd, &ev);
}

int EpollWait(int epoll_fd, epoll_event* events, int count, int timeout_ms) {
  int n;
  do {
    n = ::epoll_wait(epoll_fd, events, count, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

void Stop(TThread& thread) {
  thread.Terminate();
  thread.WaitFor();
}

TTcpTarget::TTcpTarget(TMode mode) : mode_(mode), listener_(ListenLoopback(&port_)), buffer_(kReadSize) {}

TTcpTarget::~TTcpTarget() = default;

void TTcpTarget::Execute() {
  TUniqueFd epoll_fd(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll_fd || !listener_) return;
  Watch(epoll_fd.Get(), EPOLL_CTL_ADD, listener_.Get(), EPOLLIN);
  Watch(epoll_fd.Get(), EPOLL_CTL_ADD, WakeFd(), EPOLLIN);
  std::array<epoll_event, 256> events;
  while (!Terminated()) {
    const int n = EpollWait(epoll_fd.Get(), events.data(), static_cast<int>(events.size()), -1);
    if (n < 0) break;
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == WakeFd()) continue;
      if (fd == listener_.Get()) {
        AcceptAll(epoll_fd.Get());
        continue;
      }
      const auto it = connections_.find(fd);
      if (it != connections_.end() && !Serve(it->second, epoll_fd.Get(), events[i].events)) {
        connections_.erase(it);  // closing removes it from the epoll set
      }
    }
  }
  connections_.clear();
}

void TTcpTarget::AcceptAll(int epoll_fd) {
  for (;;) {
    TUniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;  // EAGAIN, or out of descriptors for a moment
    SetNoDelay(fd.Get());
    Watch(epoll_fd, EPOLL_CTL_ADD, fd.Get(), EPOLLIN);
    const int key = fd.Get();
    connections_[key] = TConnection{std::move(fd), {}};
  }
}

bool TTcpTarget::Serve(TConnection& connection, int epoll_fd, std::uint32_t events) {
  const int fd = connection.Fd.Get();
  if (!connection.Unsent.empty()) {
    // Reading waits while echo bytes are stuck: the peer's own flow control.
    const ssize_t n = SendSome(fd, connection.Unsent.data(), connection.Unsent.size(), MSG_DONTWAIT);
    if (n < 0) return WouldBlock();
    connection.Unsent.erase(connection.Unsent.begin(), connection.Unsent.begin() + n);
    if (!connection.Unsent.empty()) return true;
    Watch(epoll_fd, EPOLL_CTL_MOD, fd, EPOLLIN);
  }
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) == 0) return true;
  for (int reads = 0; reads < kReadsPerEvent; ++reads) {
    const ssize_t got = RecvSome(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
    if (got == 0) return false;
    if (got < 0) return WouldBlock();
    received_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
    if (mode_ == TMode::kDiscard) continue;
    const auto size = static_cast<std::size_t>(got);
    const ssize_t sent = SendSome(fd, buffer_.data(), size, MSG_DONTWAIT);
    if (sent < 0 && !WouldBlock()) return false;
    const std::size_t done = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    if (done < size) {
      connection.Unsent.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(done),
                               buffer_.begin() + static_cast<std::ptrdiff_t>(size));
      Watch(epoll_fd, EPOLL_CTL_MOD, fd, EPOLLOUT);
      return true;
    }
  }
  return true;
}

TUdpEchoTarget::TUdpEchoTarget(bool record_sources)
    : record_sources_(record_sources), socket_(BindUdpLoopback(&port_)) {}

void TUdpEchoTarget::Execute() {
  if (!socket_) return;
  std::vector<std::uint8_t> storage(kUdpBatch * kMaxDatagram);
  std::array<iovec, kUdpBatch> iov;
  std::array<sockaddr_in, kUdpBatch> peers;
  std::array<mmsghdr, kUdpBatch> messages;
  while (!Terminated()) {
    if (WaitFd(socket_.Get(), POLLIN, WakeFd(), -1) != TWaitResult::kReady) break;
    // Drains the socket in batches, but returns to poll() now and then so
    // that a stop is seen under any load.
    for (int batch = 0; batch < 16; ++batch) {
      for (std::size_t i = 0; i < kUdpBatch; ++i) {
        iov[i] = {storage.data() + i * kMaxDatagram, kMaxDatagram};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &peers[i];
        messages[i].msg_hdr.msg_namelen = sizeof peers[i];
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int got = ::recvmmsg(socket_.Get(), messages.data(), kUdpBatch, MSG_DONTWAIT, nullptr);
      if (got <= 0) break;
      unsigned answers = 0;
      std::uint64_t flood = 0;
      std::uint64_t flood_bytes = 0;
      for (int i = 0; i < got; ++i) {
        if (record_sources_) sources_.insert(ntohs(peers[i].sin_port));
        if (messages[i].msg_len > 0 && *static_cast<std::uint8_t*>(iov[i].iov_base) == kFloodMarker) {
          ++flood;
          flood_bytes += messages[i].msg_len;
          continue;
        }
        iov[i].iov_len = messages[i].msg_len;
        iov[answers] = iov[i];
        peers[answers] = peers[i];
        messages[answers].msg_hdr.msg_iov = &iov[answers];
        messages[answers].msg_hdr.msg_name = &peers[answers];
        messages[answers].msg_hdr.msg_namelen = messages[i].msg_hdr.msg_namelen;
        ++answers;
      }
      if (flood > 0) {
        flood_datagrams_.fetch_add(flood, std::memory_order_relaxed);
        flood_bytes_.fetch_add(flood_bytes, std::memory_order_relaxed);
      }
      // A datagram the send buffer cannot take is lost, as UDP allows; the
      // load generators notice and resend.
      if (answers > 0) {
        ::sendmmsg(socket_.Get(), messages.data(), answers, MSG_DONTWAIT);
        received_.fetch_add(answers, std::memory_order_relaxed);
      }
      if (static_cast<std::size_t>(got) < kUdpBatch) break;
    }
  }
}

TSlowReader::TSlowReader(std::size_t chunk, int period_ms)
    : chunk_(chunk), period_ms_(period_ms), listener_(ListenLoopback(&port_)) {}

void TSlowReader::Execute() {
  if (!listener_) return;
  std::vector<TUniqueFd> connections;
  std::vector<std::uint8_t> buffer(chunk_);
  auto next_read = TClock::now();
  while (!Terminated()) {
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_read - TClock::now());
    pollfd fds[2] = {{listener_.Get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 2, std::max<int>(0, static_cast<int>(wait.count()))) < 0) break;
    if (fds[1].revents != 0) break;
    if (fds[0].revents != 0) {
      TUniqueFd fd(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (fd) connections.push_back(std::move(fd));
    }
    if (TClock::now() < next_read) continue;
    next_read += std::chrono::milliseconds(period_ms_);
    for (const TUniqueFd& fd : connections) {
      const ssize_t got = RecvSome(fd.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
      if (got <= 0) continue;
      received_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
      first_byte_.Set();
    }
  }
}

TBulkSender::TBulkSender(std::vector<TUniqueFd> connections) : connections_(std::move(connections)) {}

void TBulkSender::Execute() {
  constexpr std::size_t kChunk = std::size_t{128} * 1024;
  const std::vector<std::uint8_t> chunk(kChunk, 0x5a);
  std::vector<pollfd> fds;
  for (const TUniqueFd& fd : connections_) fds.push_back({fd.Get(), POLLOUT, 0});
  fds.push_back({WakeFd(), POLLIN, 0});
  while (!Terminated()) {
    if (PollRetry(fds.data(), fds.size(), -1) < 0 || fds.back().revents != 0) break;
    for (std::size_t i = 0; i + 1 < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = SendSome(fds[i].fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (n > 0) {
        sent_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
      } else if (n < 0 && !WouldBlock()) {
        failed_.store(true, std::memory_order_relaxed);
        return;
      }
    }
  }
}

TSetupClient::TSetupClient(std::uint16_t port, std::chrono::steady_clock::time_point deadline,
                           bool keep_samples)
    : port_(port), deadline_(deadline), keep_samples_(keep_samples) {}

void TSetupClient::Execute() {
  while (!Terminated() && TClock::now() < deadline_ && failures_ <= kMaxSetupFailures) {
    const auto start = TClock::now();
    std::uint8_t byte = 1;
    TUniqueFd fd = ConnectLoopback(port_, kSetupTimeoutMs);
    if (!fd || !SendAll(fd.Get(), &byte, 1) || !RecvExact(fd.Get(), &byte, 1)) {
      ++failures_;
      continue;
    }
    if (keep_samples_) {
      samples_.push_back(std::chrono::duration<double, std::micro>(TClock::now() - start).count());
    }
    // An abortive close leaves no TIME_WAIT behind on the client's port.
    // Real clients are remote and keep theirs at home; here, 10,000s of them
    // would use up the local ports that the relays' own outbound connects
    // need.
    const linger abort_on_close{1, 0};
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    fd.Reset();
    ++done_;
  }
}

}  // namespace quorvane::bench
