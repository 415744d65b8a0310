#include "bench/ControlPortLoad.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/ProcessStats.h"
#include "requests/RequestPacket.h"

namespace quorvane::bench {

namespace {

constexpr int kConnectTimeoutMs = 2000;
// A Nop answer that takes longer ends the measurement: the server is stuck.
constexpr int kReplyTimeoutMs = 2000;
constexpr int kMaxRoundTrips = 50000;
// Lets the flood reach its full rate before the window opens.
constexpr int kFloodWarmUpMs = 300;
// Time for the server to close the connections beyond the limit.
constexpr int kRefusalWaitMs = 300;
// Nops the flood has in each send: the server gets them as fast as its
// socket takes them.
constexpr std::size_t kFloodBurst = 64;
// The legitimate player sends a datagram this often, and an answer later
// than kLateMs after the last one was sent counts as lost.
constexpr int kPlayerPeriodMs = 2;
constexpr int kLateMs = 300;
constexpr std::size_t kPlayerDatagram = 64;

// Sends one Nop and waits for its answer; false when none came in time.
bool NopRoundTrip(int fd) {
  const TRequestPacket nop = Encode(TNop{0});
  TRequestPacket answer{};
  if (!SendAll(fd, nop.data(), nop.size())) return false;
  // Other packets would not come unasked on this session; any that did
  // would be skipped.
  for (;;) {
    if (!RecvExact(fd, answer.data(), answer.size())) return false;
    if (PacketType(answer) == kPacketNop && DecodeNop(answer).IsReply == 1) return true;
  }
}

// The legitimate client sends a Nop every 2 ms, as a player's client would
// talk: well within its address's share of requests (REQUESTS_PER_ADDRESS,
// 1000 a second), so that the figures measure the flood's effect rather than
// the client's own throttle, which back-to-back Nops would reach.
constexpr auto kPlayerNopInterval = std::chrono::milliseconds(2);

// Nop round trips on |fd| for |ms|; their times in µs in |samples|.
bool NopRoundTrips(int fd, int ms, std::vector<double>* samples) {
  const auto start = TClock::now();
  auto next = start;
  while (SecondsSince(start) * 1000 < ms && static_cast<int>(samples->size()) < kMaxRoundTrips) {
    std::this_thread::sleep_until(next);
    next += kPlayerNopInterval;
    const auto sent_at = TClock::now();
    if (!NopRoundTrip(fd)) return false;
    samples->push_back(std::chrono::duration<double, std::micro>(TClock::now() - sent_at).count());
  }
  return true;
}

// Control sessions from 127.0.0.2, every one sending Nops as fast as the
// server takes them and reading the answers, until terminated.
class TNopFlood final : public TThread {
 public:
  // Main thread, before Resume(): opens |sessions| + |extra| connections to
  // 127.0.0.1:|port| and keeps those the server does not close at once.
  void Connect(std::uint16_t port, int sessions, int extra) {
    std::vector<TUniqueFd> fds;
    for (int i = 0; i < sessions + extra; ++i) {
      TUniqueFd fd = ConnectLoopbackFrom(OtherLoopback(), port, kConnectTimeoutMs);
      if (fd) fds.push_back(std::move(fd));
    }
    Pause(kRefusalWaitMs);
    for (TUniqueFd& fd : fds) {
      if (!StillOpen(fd.Get())) {
        ++refused_;
      } else if (SetBlocking(fd.Get(), false)) {
        sessions_.push_back({std::move(fd), 0});
      }
    }
  }
  int Sessions() const { return static_cast<int>(sessions_.size()); }
  int Refused() const { return refused_; }
  // Any thread.
  std::uint64_t AnswerBytes() const { return answer_bytes_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override {
    std::vector<std::uint8_t> stream;
    const TRequestPacket nop = Encode(TNop{0});
    for (std::size_t i = 0; i < kFloodBurst; ++i) stream.insert(stream.end(), nop.begin(), nop.end());
    std::vector<std::uint8_t> sink(std::size_t{64} * 1024);
    TUniqueFd epoll_fd(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_fd) return;
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLOUT;
      ev.data.u64 = i;
      ::epoll_ctl(epoll_fd.Get(), EPOLL_CTL_ADD, sessions_[i].Fd.Get(), &ev);
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = sessions_.size();
    ::epoll_ctl(epoll_fd.Get(), EPOLL_CTL_ADD, WakeFd(), &wake);
    std::array<epoll_event, 256> events;
    while (!Terminated()) {
      const int n = ::epoll_wait(epoll_fd.Get(), events.data(), static_cast<int>(events.size()), -1);
      if (n < 0 && errno != EINTR) return;
      for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 >= sessions_.size()) continue;
        TSession& session = sessions_[events[i].data.u64];
        if (!session.Fd) continue;
        if ((events[i].events & EPOLLOUT) != 0) {
          // Continues the endless stream of Nops where the last send
          // stopped, so that packets stay whole.
          const std::size_t offset = session.Sent % kPacketSize;
          const ssize_t sent =
              SendSome(session.Fd.Get(), stream.data() + offset, stream.size() - offset, MSG_DONTWAIT);
          if (sent > 0) session.Sent += static_cast<std::uint64_t>(sent);
        }
        if ((events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
          const ssize_t got = RecvSome(session.Fd.Get(), sink.data(), sink.size(), MSG_DONTWAIT);
          if (got > 0) {
            answer_bytes_.fetch_add(static_cast<std::uint64_t>(got), std::memory_order_relaxed);
          } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            session.Fd.Reset();  // closing also takes it out of the epoll set
          }
        }
      }
    }
  }

 private:
  struct TSession {
    TUniqueFd Fd;
    std::uint64_t Sent;  // bytes of the Nop stream sent so far
  };
  std::vector<TSession> sessions_;
  int refused_ = 0;
  std::atomic<std::uint64_t> answer_bytes_{0};
};

// Datagrams to 127.0.0.1:|port|, each from a new socket on 127.0.0.2 (a
// fresh source port), as fast as they can be made, until terminated.
class TUdpSpray final : public TThread {
 public:
  explicit TUdpSpray(std::uint16_t port) : to_(MakeSockAddr(Loopback(), port)) {}
  std::uint64_t Sent() const { return sent_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override {
    const std::array<std::uint8_t, kPlayerDatagram> datagram{};
    while (!Terminated()) {
      TUniqueFd fd = OpenUdpSocket();
      if (!fd || !BindTo(fd.Get(), OtherLoopback(), 0)) continue;
      if (SendTo(fd.Get(), datagram.data(), datagram.size(), to_) > 0) {
        sent_.fetch_add(1, std::memory_order_relaxed);
      }
    }
  }

 private:
  const sockaddr_in to_;
  std::atomic<std::uint64_t> sent_{0};
};

// A player sending a numbered datagram every kPlayerPeriodMs for |ms| on
// |fd| (connected to the redirector) and counting the answers.
void Play(int fd, int ms, std::uint64_t* sent, std::uint64_t* lost) {
  std::vector<bool> answered;
  std::array<std::uint8_t, kPlayerDatagram> datagram{};
  std::array<std::uint8_t, 2 * kPlayerDatagram> answer{};
  const auto start = TClock::now();
  auto next_send = start;
  auto last_send = start;
  for (;;) {
    const auto now = TClock::now();
    const bool sending = SecondsSince(start) * 1000 < ms;
    if (!sending && now - last_send > std::chrono::milliseconds(kLateMs)) break;
    if (sending && now >= next_send) {
      const auto sequence = static_cast<std::uint32_t>(answered.size());
      std::memcpy(datagram.data(), &sequence, sizeof sequence);
      answered.push_back(false);
      SendSome(fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
      last_send = now;
      next_send += std::chrono::milliseconds(kPlayerPeriodMs);
      continue;
    }
    const auto until = sending ? next_send : last_send + std::chrono::milliseconds(kLateMs);
    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    if (WaitFd(fd, POLLIN, -1, static_cast<int>(std::max<std::int64_t>(wait, 0) + 1)) !=
        TWaitResult::kReady) {
      continue;
    }
    for (;;) {
      const ssize_t n = RecvSome(fd, answer.data(), answer.size(), MSG_DONTWAIT);
      if (n < 0) break;
      std::uint32_t sequence = 0;
      if (n != static_cast<ssize_t>(kPlayerDatagram)) continue;
      std::memcpy(&sequence, answer.data(), sizeof sequence);
      if (sequence < answered.size()) answered[sequence] = true;
    }
  }
  *sent += answered.size();
  *lost += static_cast<std::uint64_t>(std::count(answered.begin(), answered.end(), false));
}

}  // namespace

TControlPortLoad::TControlPortLoad(const TAbuseConfig& config) : config_(config) {}

TControlPortLoad::~TControlPortLoad() {
  server_.Stop();
  Stop(udp_echo_);
}

void TControlPortLoad::Problem(const std::string& text) { problems_.push_back(text); }

bool TControlPortLoad::Start(const std::string& server) {
  if (!udp_echo_.Valid() || !udp_echo_.Resume()) {
    Problem("control port: no UDP target");
    return false;
  }
  TControlLimits limits;
  limits.SessionsPerAddress = kFloodSessions;
  const std::string why = server_.Start(server, limits);
  if (why.empty()) return true;
  Problem("control port: " + why + ": the control-port rows are left out");
  return false;
}

TNopUnderFlood TControlPortLoad::NopUnderFlood() {
  TNopUnderFlood result;
  TUniqueFd client = ConnectLoopback(server_.Port(), kReplyTimeoutMs);
  std::vector<double> idle;
  if (!client || !NopRoundTrips(client.Get(), config_.QuietMs, &idle) || idle.empty()) {
    Problem("Nop under flood: the legitimate client got no answer");
    return result;
  }
  result.IdleP50 = Percentile(idle, 0.5);
  result.IdleP99 = Percentile(idle, 0.99);

  TNopFlood flood;
  flood.Connect(server_.Port(), kFloodSessions, kFloodExtra);
  result.FloodSessions = flood.Sessions();
  result.FloodRefused = flood.Refused();
  if (!flood.Resume()) return result;
  Pause(kFloodWarmUpMs);
  const std::vector<pid_t> pids = {server_.Pid()};
  const std::int64_t cpu_start = SampleProcesses(pids).CpuNs;
  const std::uint64_t answers_start = flood.AnswerBytes();
  const auto start = TClock::now();
  std::vector<double> flooded;
  const bool answered = NopRoundTrips(client.Get(), config_.AbuseMs, &flooded);
  const double seconds = SecondsSince(start);
  const std::int64_t cpu_end = SampleProcesses(pids).CpuNs;
  result.FloodAnswers = static_cast<double>(flood.AnswerBytes() - answers_start) / kPacketSize / seconds;
  if (cpu_start >= 0 && cpu_end >= 0) {
    result.ServerCpu = 100.0 * static_cast<double>(cpu_end - cpu_start) / (seconds * 1e9);
  }
  Stop(flood);
  if (!answered) Problem("Nop under flood: the legitimate client waited over 2 s for an answer");
  if (!flooded.empty()) {
    result.FloodP50 = Percentile(flooded, 0.5);
    result.FloodP99 = Percentile(flooded, 0.99);
  }
  return result;
}

TUdpUnderSpray TControlPortLoad::UdpUnderSpray() {
  TUdpUnderSpray result;
  // The player's control session makes the redirector and holds it.
  TUniqueFd control = ConnectLoopback(server_.Port(), kReplyTimeoutMs);
  TNatReply reply;
  std::uint16_t public_port = 0;
  if (control &&
      CreateRedirector(control.Get(), kProtoUdp, Loopback(), udp_echo_.Port(), &reply) ==
          TControlAnswer::kAnswered &&
      reply.Status == kNatOk) {
    public_port = reply.PublicPort();
  }
  TUniqueFd player = public_port != 0 ? ConnectUdpLoopback(public_port, kReplyTimeoutMs) : TUniqueFd();
  if (!player) {
    Problem("UDP under spray: no UDP redirector could be made through the control port");
    return result;
  }
  Play(player.Get(), config_.QuietMs, &result.QuietSent, &result.QuietLost);
  TUdpSpray spray(public_port);
  if (!spray.Resume()) return result;
  const std::int64_t drops_before = UdpReceiveBufferErrors();
  const auto start = TClock::now();
  Play(player.Get(), config_.AbuseMs, &result.Sent, &result.Lost);
  result.SprayRate = static_cast<double>(spray.Sent()) / SecondsSince(start);
  Stop(spray);
  const std::int64_t drops_after = UdpReceiveBufferErrors();
  if (drops_before >= 0 && drops_after >= 0) result.BufferDrops = drops_after - drops_before;
  result.Measured = true;
  return result;
}

}  // namespace quorvane::bench
