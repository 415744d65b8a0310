#include "servers/TCPRedirector.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <utility>

#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers' own frames need far more stack than the code they watch.
constexpr std::size_t kRedirectorStackBytes = 0;
constexpr std::size_t kRelayStackBytes = 0;
#else
// Name lookups run on the redirector thread, so it keeps some room. The relay
// loop needs little, and its stack is most of an idle relay's memory.
constexpr std::size_t kRedirectorStackBytes = 256 * 1024;
constexpr std::size_t kRelayStackBytes = 64 * 1024;
#endif

constexpr unsigned kSpliceFlags = SPLICE_F_NONBLOCK | SPLICE_F_MOVE;
// Bytes taken through user space when splice() cannot move them; no more than
// an empty pipe of the smallest size holds.
constexpr std::size_t kCopyBytes = 4096;

// Relays whose redirector is gone. Joined at exit by StopOrphanRelays(), and
// the ended ones reaped whenever another redirector hands its relays over.
TThreadGroup& OrphanRelays() {
  static TThreadGroup orphans;
  return orphans;
}

// One direction of a relay: bytes are spliced from the source socket into a
// pipe and from the pipe to the sink socket, never copied through user
// space. The pipe is the direction's buffer; |pending_| counts its bytes.
class TRelayDirection {
 public:
  TRelayDirection(int source, int sink) : source_(source), sink_(sink) {}

  bool Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    pipe_read_.reset(fds[0]);
    pipe_write_.reset(fds[1]);
    // The pipe keeps its default size until bulk traffic fills it (Grow), so
    // that idle and interactive relays do not use up the per-user pipe quota.
    const int size = ::fcntl(fds[1], F_GETPIPE_SZ);
    capacity_ = std::min<std::size_t>(size > 0 ? static_cast<std::size_t>(size) : 4096, kRelayBufferBytes);
    return true;
  }

  int Sink() const { return sink_; }
  // The source is read only while the buffer has room: a full buffer leaves
  // the bytes in the kernel and TCP flow control slows the sender.
  short SourceEvents() const { return HasRoom() ? POLLIN : 0; }
  short SinkEvents() const { return pending_ > 0 ? POLLOUT : 0; }

  // Takes what the source offers, given its poll result. False when the
  // source has closed or its receive failed.
  bool Fill(short revents) {
    const bool dead = (revents & (POLLHUP | POLLERR)) != 0;
    if ((revents & POLLIN) == 0 && !dead) return true;
    // A dead connection behind a full buffer has nothing more to give.
    if (!HasRoom()) return !dead;
    const ssize_t n =
        ::splice(source_, nullptr, pipe_write_.get(), nullptr, capacity_ - pending_, kSpliceFlags);
    if (n > 0) {
      pending_ += static_cast<std::size_t>(n);
      if (pending_ >= capacity_) Grow();
      return true;
    }
    if (n == 0) return false;
    if (errno != EAGAIN && errno != EINTR) return false;
    // With bytes in the pipe, EAGAIN means the pipe ran out of slots (each
    // received segment takes one) before it ran out of bytes.
    if (pending_ > 0) {
      Grow();
      return true;
    }
    // Readable, an empty pipe, and still nothing: splice() stops at a TCP
    // urgent mark for good, while poll() keeps reporting the bytes behind
    // it. recv() steps over the mark (dropping the urgent byte, as a plain
    // receive does), so that the relay neither spins nor stalls.
    if ((revents & POLLIN) == 0) return true;
    return ReceiveCopy();
  }

  // Sends what waits, as far as the sink takes it. False on a send error.
  bool Flush() {
    if (pending_ == 0) return true;
    const ssize_t n = ::splice(pipe_read_.get(), nullptr, sink_, nullptr, pending_, kSpliceFlags);
    if (n > 0) {
      pending_ -= static_cast<std::size_t>(n);
      full_ = false;
      return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EINTR);
  }

  // Gives up what waits for a sink that can no longer take it.
  void Drop() { pending_ = 0; }

 private:
  // One receive through user space into the empty pipe, which always has
  // room for kCopyBytes. False when the source has closed or failed.
  bool ReceiveCopy() {
    char bytes[kCopyBytes];
    const ssize_t n = RecvSome(source_, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN;
    const ssize_t written = ::write(pipe_write_.get(), bytes, static_cast<std::size_t>(n));
    if (written != n) return false;
    pending_ += static_cast<std::size_t>(n);
    return true;
  }

  bool HasRoom() const { return !full_ && pending_ < capacity_; }

  // The pipe is full: enlarge it up to the bound, or stop reading until the
  // sink takes something.
  void Grow() {
    if (capacity_ < kRelayBufferBytes) {
      const int size = ::fcntl(pipe_write_.get(), F_SETPIPE_SZ, static_cast<int>(kRelayBufferBytes));
      if (size > 0 && static_cast<std::size_t>(size) > capacity_) {
        capacity_ = std::min<std::size_t>(static_cast<std::size_t>(size), kRelayBufferBytes);
        return;
      }
    }
    full_ = true;
  }

  int source_;
  int sink_;
  UniqueFd pipe_read_;
  UniqueFd pipe_write_;
  std::size_t capacity_ = 0;
  std::size_t pending_ = 0;
  bool full_ = false;  // the pipe refused more before reaching capacity_
};

// splice() into a socket cannot pass MSG_NOSIGNAL, so a peer that has gone
// would raise SIGPIPE and end the process. Blocked on the relay thread, the
// signal stays pending until the thread ends; the splice reports EPIPE.
void BlockSigPipe() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Moves bytes both ways. True when a side closed, a receive failed or a send
// failed (that direction is given up), so that what the other direction
// already received is still delivered; false on Terminate() or a poll
// failure, which end the relay at once.
bool RelayUntilClose(const TThread& self, int accepted, int target, TRelayDirection& up,
                     TRelayDirection& down) {
  while (!self.Terminated()) {
    pollfd fds[3] = {{accepted, static_cast<short>(up.SourceEvents() | down.SinkEvents()), 0},
                     {target, static_cast<short>(down.SourceEvents() | up.SinkEvents()), 0},
                     {self.WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 3, -1) < 0 || fds[2].revents != 0) return false;
    // Both sides are read in every pass, even when one has just closed.
    const bool up_open = up.Fill(fds[0].revents);
    const bool down_open = down.Fill(fds[1].revents);
    if (!up_open || !down_open) return true;
    // Sent right away rather than after a POLLOUT: the sink is nearly always
    // writable, and the next poll watches it if it was not.
    bool sinks_alive = true;
    for (TRelayDirection* direction : {&up, &down}) {
      if (!direction->Flush()) {
        direction->Drop();
        sinks_alive = false;
      }
    }
    if (!sinks_alive) return true;
  }
  return false;
}

using TClock = std::chrono::steady_clock;

// Milliseconds left until |deadline|, at least 0.
int MillisLeft(TClock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Delivers what both directions still hold, until both are empty, a sink
// fails (that direction is given up), |deadline| passes or Terminate().
void DeliverRest(const TThread& self, TRelayDirection& up, TRelayDirection& down,
                 TClock::time_point deadline) {
  TRelayDirection* const directions[2] = {&up, &down};
  for (;;) {
    pollfd fds[3];
    nfds_t count = 0;
    for (TRelayDirection* direction : directions) {
      if (!direction->Flush()) direction->Drop();
      if (direction->SinkEvents() != 0) fds[count++] = {direction->Sink(), POLLOUT, 0};
    }
    const int left = MillisLeft(deadline);
    if (count == 0 || self.Terminated() || left == 0) return;
    fds[count++] = {self.WakeFd(), POLLIN, 0};
    if (PollRetry(fds, count, left) <= 0 || fds[count - 1].revents != 0) return;
  }
}

// Closing a socket with unread input makes the kernel send a reset, which
// throws away the bytes just delivered but not yet acknowledged. So: send
// FIN on both sides, then read and discard until both peers have closed,
// |deadline| passes or Terminate().
void CloseGracefully(const TThread& self, int accepted, int target, TClock::time_point deadline) {
  ::shutdown(accepted, SHUT_WR);
  ::shutdown(target, SHUT_WR);
  bool open[2] = {true, true};
  const int sockets[2] = {accepted, target};
  while (open[0] || open[1]) {
    const int left = MillisLeft(deadline);
    if (self.Terminated() || left == 0) return;
    pollfd fds[3] = {
        {open[0] ? accepted : -1, POLLIN, 0}, {open[1] ? target : -1, POLLIN, 0}, {self.WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 3, left) <= 0 || fds[2].revents != 0) return;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char discard[kCopyBytes];
      const ssize_t n = RecvSome(sockets[i], discard, sizeof discard, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN)) open[i] = false;
    }
  }
}

}  // namespace

TTCPRedirector::TTCPRedirector(std::string listen_host, std::string target_host, std::uint16_t listen_port,
                               std::uint16_t target_port, TRedirectorOptions options)
    : TTCPServer(std::move(listen_host), listen_port, kRedirectorStackBytes),
      target_host_(std::move(target_host)),
      target_port_(target_port),
      connections_per_address_(options.ConnectionsPerAddress),
      stats_(options.Stats ? std::move(options.Stats) : std::make_shared<TRedirectorStats>()) {
  if (const auto bound = Socket() >= 0 ? LocalAddress(Socket()) : std::nullopt) {
    outbound_addr_ = bound->sin_addr.s_addr;
  }
}

TTCPRedirector::~TTCPRedirector() {
  Terminate();
  WaitFor();
  relays_.HandOver(OrphanRelays());
}

void TTCPRedirector::ProcessConnection(UniqueFd accepted) {
  // Relays whose redirector is gone are freed here too, so that their ended
  // threads do not wait for the next redirector to be destroyed. Checked
  // first: reaping costs a system call, and there are rarely orphans.
  if (OrphanRelays().Count() > 0) OrphanRelays().Reap();
  UniqueFd outbound = ConnectTarget();
  if (!outbound) {
    ShutdownAndClose(accepted);
    return;
  }
  // When no thread can be created, the group destroys the relay and with it
  // both sockets; accepting goes on.
  relays_.Start(std::make_unique<TTCPRedirectorThread>(std::move(accepted), std::move(outbound)));
}

UniqueFd TTCPRedirector::ConnectTarget() {
  UniqueFd fd = OpenTcpSocket();
  if (!fd) return {};
  // Outbound connections leave from the address the redirector listens on.
  // The port is left to connect(): chosen at bind time it could not reuse a
  // port in TIME_WAIT, and each relayed connection leaves one behind, so busy
  // redirectors would run out of outbound ports.
  // The address is the one the listening socket was bound to: looking the
  // name up again here could block this thread in a resolver that ignores
  // Terminate().
  if (!Host().empty()) {
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    if (!BindTo(fd.get(), outbound_addr_, 0)) return {};
  }
  const std::uint32_t target = ResolveHost(target_host_);
  // What an unresolvable name yields; a connect there could only fail.
  if (target == kAddrNone) return {};
  const sockaddr_in sa = MakeSockAddr(target, target_port_);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) return fd;
  // After EINTR the connect goes on in the background, as after EINPROGRESS.
  if (errno != EINPROGRESS && errno != EINTR) return {};
  // Bounded, and cut short by Terminate(), so that an owner destroying this
  // redirector never waits for the system's own connect time-out.
  if (WaitFd(fd.get(), POLLOUT, WakeFd(), kConnectTimeoutMs) != TWaitResult::Ready) return {};
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) return {};
  return fd;
}

TTCPRedirectorThread::TTCPRedirectorThread(UniqueFd accepted_socket, UniqueFd target_socket)
    : TThread(kRelayStackBytes),
      accepted_socket_(std::move(accepted_socket)),
      target_socket_(std::move(target_socket)) {}

void TTCPRedirectorThread::Execute() {
  BlockSigPipe();
  const int accepted = accepted_socket_.get();
  const int target = target_socket_.get();
  // Games send small messages; the relay must not hold them back to coalesce.
  SetNoDelay(accepted);
  SetNoDelay(target);
  TRelayDirection up(accepted, target);
  TRelayDirection down(target, accepted);
  if (up.Open() && down.Open() && RelayUntilClose(*this, accepted, target, up, down)) {
    const auto deadline = TClock::now() + std::chrono::milliseconds(kLingerMs);
    DeliverRest(*this, up, down, deadline);
    CloseGracefully(*this, accepted, target, deadline);
  }
  ::shutdown(accepted, SHUT_RDWR);
  ::shutdown(target, SHUT_RDWR);
  accepted_socket_.reset();
  target_socket_.reset();
}

void StopOrphanRelays() { OrphanRelays().StopAll(); }

}  // namespace quorvane
