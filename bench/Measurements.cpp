#include "bench/Measurements.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "bench/BenchSupport.h"

namespace quorvane::bench {

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr std::size_t kMessageSize = 64;
// Lets connections reach their steady state before a window is measured.
constexpr int kWarmUpMs = 200;
constexpr int kWarmUpRoundTrips = 200;
constexpr int kConnectTimeoutMs = 2000;
// A UDP round trip or echo window with no answer for this long counts as lost.
constexpr int kUdpAnswerTimeoutMs = 100;
// Gives a redirector's threads time to settle before memory is read.
constexpr int kSettleMs = 300;
constexpr int kRssSampleMs = 50;
constexpr std::size_t kSlowReadChunk = 16 * 1024;
constexpr int kSlowReadPeriodMs = 20;
constexpr int kMaxSetups = 200000;
constexpr int kMaxFailures = 10;

double MicrosecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) {
    if (v != v) return kNoValue;  // one failed round spoils the mean
    sum += v;
  }
  return values.empty() ? kNoValue : sum / static_cast<double>(values.size());
}

// A redirector made for one measurement and dropped at its end.
class TScopedRedirector {
 public:
  TScopedRedirector(TRedirectorHost& host, bool tcp, std::uint16_t target)
      : host_(host), port_(tcp ? host.AddTcp(target) : host.AddUdp(target)) {}
  TScopedRedirector(const TScopedRedirector&) = delete;
  TScopedRedirector& operator=(const TScopedRedirector&) = delete;
  ~TScopedRedirector() { host_.Drop(port_); }
  std::uint16_t Port() const { return port_; }

 private:
  TRedirectorHost& host_;
  const std::uint16_t port_;
};

// Stops a started thread when the scope ends.
class TStopAtExit {
 public:
  explicit TStopAtExit(TThread& thread) : thread_(thread) {}
  TStopAtExit(const TStopAtExit&) = delete;
  TStopAtExit& operator=(const TStopAtExit&) = delete;
  ~TStopAtExit() { Stop(thread_); }

 private:
  TThread& thread_;
};

// The redirector process's CPU use from construction on.
class TCpuWindow {
 public:
  explicit TCpuWindow(const TRedirectorHost& host)
      : host_(host), cpu_start_(host.CpuNanoseconds()), start_(Clock::now()) {}
  double Seconds() const { return SecondsSince(start_); }
  // In % of one core; NaN when the process could not be read.
  double Percent() const {
    const std::int64_t cpu_end = host_.CpuNanoseconds();
    if (cpu_start_ < 0 || cpu_end < 0) return kNoValue;
    return 100.0 * static_cast<double>(cpu_end - cpu_start_) / (Seconds() * 1e9);
  }

 private:
  const TRedirectorHost& host_;
  const std::int64_t cpu_start_;
  const Clock::time_point start_;
};

}  // namespace

TMeasurements::TMeasurements(TRedirectorHost& host, const TBenchConfig& config)
    : host_(host), config_(config) {
  ready_ = echo_.valid() && sink_.valid() && udp_echo_.valid() && echo_.Resume() && sink_.Resume() &&
           udp_echo_.Resume();
}

TMeasurements::~TMeasurements() {
  Stop(echo_);
  Stop(sink_);
  Stop(udp_echo_);
}

void TMeasurements::Problem(const std::string& text) {
  if (std::find(problems_.begin(), problems_.end(), text) == problems_.end()) problems_.push_back(text);
}

TPair TMeasurements::BulkThroughput(int connections) {
  TScopedRedirector redirector(host_, true, sink_.Port());
  if (redirector.Port() == 0) Problem("no TCP redirector could be created");
  std::vector<double> direct;
  std::vector<double> redirected;
  std::vector<double> cpu;
  const int ms = config_.bulk_ms / config_.rounds;
  for (int round = 0; round < config_.rounds; ++round) {
    direct.push_back(BulkRun(sink_.Port(), connections, ms, nullptr));
    cpu.push_back(kNoValue);
    redirected.push_back(redirector.Port() != 0 ? BulkRun(redirector.Port(), connections, ms, &cpu.back())
                                                : kNoValue);
  }
  return {Mean(direct), Mean(redirected), Mean(cpu)};
}

double TMeasurements::BulkRun(std::uint16_t port, int connections, int ms, double* server_cpu) {
  std::vector<UniqueFd> fds;
  for (int i = 0; i < connections; ++i) {
    UniqueFd fd = ConnectLoopback(port, kConnectTimeoutMs);
    if (!fd || !SetBlocking(fd.get(), false)) {
      Problem("bulk: a connection failed");
      return kNoValue;
    }
    fds.push_back(std::move(fd));
  }
  TBulkSender sender(std::move(fds));
  if (!sender.Resume()) return kNoValue;
  Pause(kWarmUpMs);
  const std::uint64_t before = sink_.BytesReceived();
  const TCpuWindow window(host_);
  Pause(ms);
  const std::uint64_t after = sink_.BytesReceived();
  const double seconds = window.Seconds();
  if (server_cpu != nullptr) *server_cpu = window.Percent();
  const bool failed = sender.Failed();
  Stop(sender);
  if (failed) {
    Problem("bulk: a connection broke while sending");
    return kNoValue;
  }
  return static_cast<double>(after - before) / seconds / kMiB;
}

void TMeasurements::RoundTrips(int fd, bool datagram, int count, int limit_ms, std::vector<double>* samples,
                               std::uint64_t* lost) {
  std::array<std::uint8_t, kMessageSize> message{};
  std::array<std::uint8_t, kMessageSize> answer{};
  const auto start = Clock::now();
  for (std::uint32_t sequence = 0; sequence < static_cast<std::uint32_t>(count); ++sequence) {
    if (SecondsSince(start) * 1000 >= limit_ms) break;
    std::memcpy(message.data(), &sequence, sizeof sequence);
    const auto sent_at = Clock::now();
    if (!datagram) {
      if (!SendAll(fd, message.data(), message.size()) || !RecvExact(fd, answer.data(), answer.size())) {
        Problem("TCP round trip: the connection failed");
        return;
      }
    } else {
      if (SendSome(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
        ++*lost;
        continue;
      }
      // Answers to earlier, timed-out datagrams may still arrive: match the
      // sequence number.
      bool answered = false;
      while (!answered) {
        const ssize_t n = RecvSome(fd, answer.data(), answer.size());
        if (n < 0) break;  // the receive time-out
        answered = n == static_cast<ssize_t>(kMessageSize) &&
                   std::memcmp(answer.data(), &sequence, sizeof sequence) == 0;
      }
      if (!answered) {
        ++*lost;
        continue;
      }
    }
    if (samples != nullptr) samples->push_back(MicrosecondsSince(sent_at));
  }
}

TLatencies TMeasurements::TcpRoundTrip() { return RoundTripTest(false); }
TLatencies TMeasurements::UdpRoundTrip() { return RoundTripTest(true); }

TLatencies TMeasurements::RoundTripTest(bool datagram) {
  TLatencies result;
  // Left to the scheduler, a client and its target now share a CPU (a round
  // trip of about 15 µs on a 2-CPU virtual machine) and now do not (about
  // 50 µs: waking an idle virtual CPU is slow), and the direct figure jumps
  // between runs. So this test has a target of its own, started while this
  // thread is pinned to the second CPU, and runs its client on the first.
  const std::vector<int> cpus = AllowedCpus();
  const TAffinityScope restore_affinity;
  if (config_.pin_round_trips && cpus.size() >= 2 && PinThisThread(cpus[1])) {
    result.cpus = {cpus[0], cpus[1]};
  }
  std::unique_ptr<TTcpTarget> tcp_target;
  std::unique_ptr<TUdpEchoTarget> udp_target;
  TThread* target_thread;
  std::uint16_t target;
  if (datagram) {
    udp_target = std::make_unique<TUdpEchoTarget>();
    target_thread = udp_target.get();
    target = udp_target->valid() ? udp_target->Port() : 0;
  } else {
    tcp_target = std::make_unique<TTcpTarget>(TTcpTarget::TMode::Echo);
    target_thread = tcp_target.get();
    target = tcp_target->valid() ? tcp_target->Port() : 0;
  }
  if (target == 0 || !target_thread->Resume()) return result;
  const TStopAtExit stop_target(*target_thread);
  if (!result.cpus.empty()) PinThisThread(result.cpus[0]);

  TScopedRedirector redirector(host_, !datagram, target);
  const auto connect = [datagram](std::uint16_t port) {
    if (port == 0) return UniqueFd();
    return datagram ? ConnectUdpLoopback(port, kUdpAnswerTimeoutMs)
                    : ConnectLoopback(port, kConnectTimeoutMs);
  };
  UniqueFd direct = connect(target);
  UniqueFd redirected = connect(redirector.Port());
  if (!direct || !redirected)
    Problem(datagram ? "UDP round trip: no socket" : "TCP round trip: no connection");
  std::vector<double> direct_us;
  std::vector<double> redirected_us;
  const int count = config_.round_trips / config_.round_trip_rounds;
  const int limit = config_.round_trip_limit_ms / config_.round_trip_rounds;
  std::uint64_t warm_up_lost = 0;
  // Small rounds in turn, so that both paths meet the same machine.
  for (int round = -1; round < config_.round_trip_rounds; ++round) {
    const bool warm_up = round < 0;
    for (const auto& [fd, samples] :
         {std::pair{direct.get(), &direct_us}, {redirected.get(), &redirected_us}}) {
      if (fd < 0) continue;
      RoundTrips(fd, datagram, warm_up ? kWarmUpRoundTrips : count, limit, warm_up ? nullptr : samples,
                 warm_up ? &warm_up_lost : &result.lost);
    }
  }
  if (!direct_us.empty()) {
    result.p50.direct = Percentile(direct_us, 0.5);
    result.p99.direct = Percentile(direct_us, 0.99);
  }
  if (!redirected_us.empty()) {
    result.p50.redirected = Percentile(redirected_us, 0.5);
    result.p99.redirected = Percentile(redirected_us, 0.99);
  }
  return result;
}

TEchoRate TMeasurements::UdpEchoRate(int peers) {
  TScopedRedirector redirector(host_, false, udp_echo_.Port());
  TEchoRate result;
  // The same peers in every round: new ones would leave the redirector one
  // stale session per old peer to poll.
  TPeers direct_peers = MakePeers(udp_echo_.Port(), peers);
  TPeers redirected_peers = MakePeers(redirector.Port(), peers);
  if (!direct_peers.epoll_fd || !redirected_peers.epoll_fd) {
    Problem("UDP echo rate: the peer sockets could not be made");
    return result;
  }
  std::vector<double> direct;
  std::vector<double> redirected;
  std::vector<double> cpu;
  const int ms = config_.echo_rate_ms / config_.rounds;
  for (int round = 0; round < config_.rounds; ++round) {
    direct.push_back(EchoRateRun(direct_peers, ms, &result.lost_direct, nullptr));
    cpu.push_back(kNoValue);
    redirected.push_back(EchoRateRun(redirected_peers, ms, &result.lost_redirected, &cpu.back()));
  }
  result.rate = {Mean(direct), Mean(redirected), Mean(cpu)};
  return result;
}

TMeasurements::TPeers TMeasurements::MakePeers(std::uint16_t port, int count) {
  TPeers peers;
  if (port == 0) return peers;
  UniqueFd epoll_fd(::epoll_create1(EPOLL_CLOEXEC));
  for (int i = 0; i < count && epoll_fd; ++i) {
    UniqueFd fd = ConnectUdpLoopback(port, kUdpAnswerTimeoutMs);
    if (!fd || !SetBlocking(fd.get(), false)) return peers;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<std::uint32_t>(i);
    if (::epoll_ctl(epoll_fd.get(), EPOLL_CTL_ADD, fd.get(), &ev) != 0) return peers;
    peers.sockets.push_back(std::move(fd));
  }
  peers.epoll_fd = std::move(epoll_fd);
  return peers;
}

double TMeasurements::EchoRateRun(TPeers& peers, int ms, std::uint64_t* lost, double* server_cpu) {
  const std::vector<UniqueFd>& sockets = peers.sockets;
  if (!peers.epoll_fd || sockets.empty()) return kNoValue;
  const std::array<std::uint8_t, kMessageSize> message{};
  std::array<std::uint8_t, 2048> answer{};
  std::size_t next_peer = 0;
  int outstanding = 0;
  // New datagrams go out from the peers in turn, so that with many peers
  // every one of them stays active while the window stays the same.
  const auto fill_window = [&] {
    for (int tries = 0; outstanding < config_.window && tries < config_.window; ++tries) {
      const int fd = sockets[next_peer++ % sockets.size()].get();
      if (SendSome(fd, message.data(), message.size(), MSG_DONTWAIT) > 0) ++outstanding;
    }
  };
  fill_window();
  std::uint64_t answered = 0;
  std::uint64_t answered_at_start = 0;
  const auto begin = Clock::now();
  std::optional<TCpuWindow> window;
  std::array<epoll_event, 64> events;
  while (SecondsSince(begin) * 1000 < kWarmUpMs + ms) {
    if (!window && SecondsSince(begin) * 1000 >= kWarmUpMs) {
      answered_at_start = answered;
      window.emplace(host_);
    }
    int n;
    do {
      n = ::epoll_wait(peers.epoll_fd.get(), events.data(), static_cast<int>(events.size()),
                       kUdpAnswerTimeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) break;
    if (n == 0) {
      *lost += static_cast<std::uint64_t>(outstanding);
      outstanding = 0;
      fill_window();
      continue;
    }
    for (int i = 0; i < n; ++i) {
      const int fd = sockets[events[i].data.u32].get();
      while (RecvSome(fd, answer.data(), answer.size(), MSG_DONTWAIT) >= 0) {
        ++answered;
        if (outstanding > 0) --outstanding;
      }
    }
    fill_window();
  }
  if (!window) return kNoValue;
  if (server_cpu != nullptr) *server_cpu = window->Percent();
  return static_cast<double>(answered - answered_at_start) / window->Seconds();
}

TIdleCost TMeasurements::IdleCost() {
  TIdleCost result;
  TScopedRedirector tcp(host_, true, echo_.Port());
  TScopedRedirector udp(host_, false, udp_echo_.Port());
  if (tcp.Port() == 0 || udp.Port() == 0) {
    Problem("idle: a redirector could not be created");
    return result;
  }
  Pause(kSettleMs);
  const std::int64_t rss_start = host_.RssKiB();
  std::vector<UniqueFd> relays;
  for (int i = 0; i < config_.idle_count; ++i) {
    // One byte each way proves the relay is established on both sides.
    std::uint8_t byte = 1;
    UniqueFd fd = ConnectLoopback(tcp.Port(), kConnectTimeoutMs);
    if (!fd || !SendAll(fd.get(), &byte, 1) || !RecvExact(fd.get(), &byte, 1)) {
      Problem("idle: only " + std::to_string(relays.size()) + " TCP relays could be established");
      break;
    }
    relays.push_back(std::move(fd));
  }
  Pause(kSettleMs);
  const std::int64_t rss_tcp = host_.RssKiB();
  std::vector<UniqueFd> sessions;
  for (int i = 0; i < config_.idle_count; ++i) {
    std::uint8_t byte = 1;
    UniqueFd fd = ConnectUdpLoopback(udp.Port(), kUdpAnswerTimeoutMs * 5);
    if (!fd || SendSome(fd.get(), &byte, 1) != 1 || RecvSome(fd.get(), &byte, 1) != 1) {
      Problem("idle: only " + std::to_string(sessions.size()) + " UDP sessions got an answer");
      break;
    }
    sessions.push_back(std::move(fd));
  }
  Pause(kSettleMs);
  const std::int64_t rss_udp = host_.RssKiB();

  const std::int64_t cpu_start = host_.CpuNanoseconds();
  const std::int64_t stat_start = host_.StatCpuNanoseconds();
  const auto start = Clock::now();
  Pause(config_.idle_hold_ms);
  const std::int64_t cpu_end = host_.CpuNanoseconds();
  const std::int64_t stat_end = host_.StatCpuNanoseconds();
  result.hold_seconds = SecondsSince(start);
  // Idle must not mean dead: every relay and session still answers.
  int silent = 0;
  for (const UniqueFd& fd : relays) {
    std::uint8_t byte = 2;
    if (!SendAll(fd.get(), &byte, 1) || !RecvExact(fd.get(), &byte, 1)) ++silent;
  }
  for (const UniqueFd& fd : sessions) {
    std::uint8_t byte = 2;
    if (SendSome(fd.get(), &byte, 1) != 1 || RecvSome(fd.get(), &byte, 1) != 1) ++silent;
  }
  if (silent > 0) Problem("idle: " + std::to_string(silent) + " relays or sessions no longer answered");

  const double core_ns = result.hold_seconds * 1e9;
  if (cpu_start >= 0 && cpu_end >= 0) {
    result.cpu_percent = 100.0 * static_cast<double>(cpu_end - cpu_start) / core_ns;
  }
  if (stat_start >= 0 && stat_end >= 0) {
    result.stat_cpu_percent = 100.0 * static_cast<double>(stat_end - stat_start) / core_ns;
  }
  if (!relays.empty() && rss_start >= 0 && rss_tcp >= 0) {
    result.kib_per_tcp_relay = static_cast<double>(rss_tcp - rss_start) / static_cast<double>(relays.size());
  }
  if (!sessions.empty() && rss_tcp >= 0 && rss_udp >= 0) {
    result.kib_per_udp_session =
        static_cast<double>(rss_udp - rss_tcp) / static_cast<double>(sessions.size());
  }
  return result;
}

TSlowReceiver TMeasurements::SlowReceiver() {
  TSlowReceiver result;
  TSlowReader reader(kSlowReadChunk, kSlowReadPeriodMs);
  if (!reader.valid() || !reader.Resume()) return result;
  {
    TScopedRedirector redirector(host_, true, reader.Port());
    std::uint8_t byte = 1;
    UniqueFd fd = redirector.Port() != 0 ? ConnectLoopback(redirector.Port(), kConnectTimeoutMs) : UniqueFd();
    if (!fd || !SendAll(fd.get(), &byte, 1) ||
        WaitFd(reader.FirstByteFd(), POLLIN, -1, kConnectTimeoutMs) != TWaitResult::Ready ||
        !SetBlocking(fd.get(), false)) {
      Problem("slow receiver: no relay to the slow reader");
      Stop(reader);
      return result;
    }
    // The baseline holds the relay's thread and sockets; what grows beyond
    // it is what the relay keeps for the slow side.
    Pause(kSettleMs);
    const std::int64_t rss_start = host_.RssKiB();
    std::int64_t rss_peak = rss_start;
    const std::vector<std::uint8_t> chunk(64 * 1024, 0x33);
    std::uint64_t sent = 0;
    const auto start = Clock::now();
    auto next_sample = start;
    while (SecondsSince(start) * 1000 < config_.slow_ms) {
      if (WaitFd(fd.get(), POLLOUT, -1, kRssSampleMs) == TWaitResult::Ready) {
        for (int i = 0; i < 64; ++i) {
          const ssize_t n = SendSome(fd.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
          if (n <= 0) break;
          sent += static_cast<std::uint64_t>(n);
        }
      }
      if (Clock::now() >= next_sample) {
        rss_peak = std::max(rss_peak, host_.RssKiB());
        next_sample += std::chrono::milliseconds(kRssSampleMs);
      }
    }
    rss_peak = std::max(rss_peak, host_.RssKiB());
    result.growth_kib = static_cast<double>(rss_peak - rss_start);
    result.sent_mib = static_cast<double>(sent) / kMiB;
    result.read_mib = static_cast<double>(reader.BytesReceived()) / kMiB;
  }
  // The reader closes its side last, so that the relay's delivery of what it
  // still holds fails at once instead of lingering.
  Stop(reader);
  return result;
}

TPair TMeasurements::SetupRate() {
  TScopedRedirector redirector(host_, true, echo_.Port());
  std::vector<double> direct;
  std::vector<double> redirected;
  std::vector<double> cpu;
  const int ms = config_.setup_ms / config_.rounds;
  for (int round = 0; round < config_.rounds; ++round) {
    direct.push_back(SetupRun(echo_.Port(), ms, nullptr));
    cpu.push_back(kNoValue);
    redirected.push_back(redirector.Port() != 0 ? SetupRun(redirector.Port(), ms, &cpu.back()) : kNoValue);
  }
  return {Mean(direct), Mean(redirected), Mean(cpu)};
}

double TMeasurements::SetupRun(std::uint16_t port, int ms, double* server_cpu) {
  int done = 0;
  int failures = 0;
  const TCpuWindow window(host_);
  while (done < kMaxSetups && window.Seconds() * 1000 < ms) {
    std::uint8_t byte = 1;
    UniqueFd fd = ConnectLoopback(port, kConnectTimeoutMs);
    if (!fd || !SendAll(fd.get(), &byte, 1) || !RecvExact(fd.get(), &byte, 1)) {
      if (++failures > kMaxFailures) {
        Problem(LocalPortsLeft() ? "connection setup: connections keep failing"
                                 : "connection setup: connections keep failing; TIME_WAIT sockets hold every "
                                   "local port, and an outbound socket bound to 127.0.0.1 port 0 before "
                                   "connect cannot reuse them; run again in a minute");
        return kNoValue;
      }
      continue;
    }
    // An abortive close leaves no TIME_WAIT behind on the client's port.
    // Real clients are remote and keep theirs at home; here, 10,000s of them
    // would use up the local ports and fail the redirector's own outbound
    // connects, which bind before connecting.
    const linger abort_on_close{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    fd.reset();
    ++done;
  }
  if (failures > 0) Problem("connection setup: some connections failed");
  if (server_cpu != nullptr) *server_cpu = window.Percent();
  return static_cast<double>(done) / window.Seconds();
}

}  // namespace quorvane::bench
