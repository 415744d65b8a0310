#include "bench/Measurements.h"

#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "bench/BenchSupport.h"
#include "bench/ProcessStats.h"

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
// A forward's first datagram may wait for a peer's worker to start.
constexpr int kProbeTimeoutMs = 300;
constexpr int kProbeAttempts = 3;
// Gives a relay's threads time to settle before memory is read.
constexpr int kSettleMs = 300;
constexpr int kRssSampleMs = 50;
constexpr std::size_t kSlowReadChunk = std::size_t{16} * 1024;
constexpr int kSlowReadPeriodMs = 20;

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double v : values) {
    if (v != v) return kNoValue;  // one failed round spoils the mean
    sum += v;
  }
  return values.empty() ? kNoValue : sum / static_cast<double>(values.size());
}

// The CPU use of a set of processes from construction on.
class TCpuWindow {
 public:
  explicit TCpuWindow(const std::vector<pid_t>& pids)
      : pids_(pids), cpu_start_(SampleProcesses(pids).CpuNs), start_(TClock::now()) {}
  double Seconds() const { return SecondsSince(start_); }
  // In % of one core; NaN when the processes could not be read.
  double Percent() const {
    const std::int64_t cpu_end = SampleProcesses(pids_).CpuNs;
    if (pids_.empty() || cpu_start_ < 0 || cpu_end < 0) return kNoValue;
    return 100.0 * static_cast<double>(cpu_end - cpu_start_) / (Seconds() * 1e9);
  }

 private:
  const std::vector<pid_t> pids_;
  const std::int64_t cpu_start_;
  const TClock::time_point start_;
};

// Per system, the figures of every round, reduced to their mean.
class TRounds {
 public:
  explicit TRounds(std::size_t systems) : values_(systems), cpu_(systems) {}
  void Add(std::size_t system, double value, double cpu) {
    values_[system].push_back(value);
    cpu_[system].push_back(cpu);
  }
  TLoad Means() const {
    TLoad load;
    for (std::size_t s = 0; s < values_.size(); ++s) {
      load.Value.push_back(Mean(values_[s]));
      load.Cpu.push_back(Mean(cpu_[s]));
    }
    return load;
  }

 private:
  std::vector<std::vector<double>> values_;
  std::vector<std::vector<double>> cpu_;
};

// Sends a datagram through |port| to a UDP echo target and checks that the
// same bytes come back; the reason when they do not.
std::optional<std::string> ProbeUdp(std::uint16_t port) {
  std::array<std::uint8_t, kMessageSize> probe;
  for (std::size_t i = 0; i < probe.size(); ++i) probe[i] = static_cast<std::uint8_t>(i * 7 + 1);
  std::string failure = "came back not at all";
  for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
    TUniqueFd fd = ConnectUdpLoopback(port, kProbeTimeoutMs);
    std::array<std::uint8_t, 2 * kMessageSize> answer{};
    if (!fd || SendSome(fd.Get(), probe.data(), probe.size()) != static_cast<ssize_t>(probe.size())) continue;
    const ssize_t n = RecvSome(fd.Get(), answer.data(), answer.size());
    if (n == static_cast<ssize_t>(probe.size()) &&
        std::memcmp(answer.data(), probe.data(), probe.size()) == 0) {
      return std::nullopt;
    }
    if (n == 0) failure = "came back empty";
    if (n > 0) failure = "came back changed";
  }
  return "a " + std::to_string(kMessageSize) +
         "-byte datagram sent through its UDP forward to an echo target " + failure;
}

}  // namespace

// The forwards of one measurement, open on every system from construction
// to destruction. A system that does not carry a forward's protocol gets
// port 0 for it; a system that carries none of the forwards is not opened.
class TOpenForwards {
 public:
  TOpenForwards(TMeasurements& bench, const std::vector<TRelaySystem*>& systems,
                const std::vector<TForward>& forwards) {
    for (TRelaySystem* system : systems) {
      std::vector<std::uint16_t> ports(forwards.size(), 0);
      std::vector<TForward> carried;
      for (const TForward& f : forwards) {
        if (f.Proto == TProto::kTcp || system->CarriesUdp()) carried.push_back(f);
      }
      if (!carried.empty()) {
        const std::vector<std::uint16_t> opened = system->Open(carried);
        if (!system->Failure().empty()) bench.Problem(system->Name() + " " + system->Failure());
        for (std::size_t i = 0, c = 0; i < forwards.size(); ++i) {
          if (forwards[i].Proto == TProto::kTcp || system->CarriesUdp()) ports[i] = opened[c++];
        }
        for (std::size_t i = 0; i < forwards.size(); ++i) {
          if (forwards[i].Proto != TProto::kUdp || ports[i] == 0) continue;
          if (const auto failure = ProbeUdp(ports[i])) {
            system->DropUdp(*failure);
            ports[i] = 0;
          }
        }
        opened_.push_back(system);
      }
      ports_.push_back(std::move(ports));
      pids_.push_back(system->Processes());
    }
  }
  TOpenForwards(const TOpenForwards&) = delete;
  TOpenForwards& operator=(const TOpenForwards&) = delete;
  ~TOpenForwards() {
    for (TRelaySystem* system : opened_) system->Close();
  }

  std::size_t Systems() const { return ports_.size(); }
  // The public port of |forward| on |system|; 0 when it is not open.
  std::uint16_t Port(std::size_t system, std::size_t forward) const { return ports_[system][forward]; }
  const std::vector<pid_t>& Pids(std::size_t system) const { return pids_[system]; }

 private:
  std::vector<std::vector<std::uint16_t>> ports_;
  std::vector<std::vector<pid_t>> pids_;
  std::vector<TRelaySystem*> opened_;
};

TMeasurements::TMeasurements(std::vector<TRelaySystem*> systems, TRedirectorHost& host,
                             const TBenchConfig& config)
    : systems_(std::move(systems)), host_(host), config_(config) {
  ready_ = echo_.Valid() && sink_.Valid() && udp_echo_.Valid() && echo_.Resume() && sink_.Resume() &&
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

TLoad TMeasurements::BulkThroughput(int connections) {
  const TOpenForwards open(*this, systems_, {{TProto::kTcp, sink_.Port()}});
  TRounds rounds(open.Systems());
  const int ms = config_.BulkMs / config_.Rounds;
  for (int round = 0; round < config_.Rounds; ++round) {
    for (std::size_t s = 0; s < open.Systems(); ++s) {
      if (open.Port(s, 0) == 0) continue;
      double cpu = kNoValue;
      const double rate = BulkRun(open.Port(s, 0), connections, kWarmUpMs, ms, open.Pids(s), &cpu);
      rounds.Add(s, rate, cpu);
    }
  }
  return rounds.Means();
}

double TMeasurements::BulkRun(std::uint16_t port, int connections, int warm_up_ms, int ms,
                              const std::vector<pid_t>& pids, double* cpu) {
  std::vector<TUniqueFd> fds;
  for (int i = 0; i < connections; ++i) {
    TUniqueFd fd = ConnectLoopback(port, kConnectTimeoutMs);
    if (!fd || !SetBlocking(fd.Get(), false)) {
      Problem("bulk: a connection failed");
      return kNoValue;
    }
    fds.push_back(std::move(fd));
  }
  TBulkSender sender(std::move(fds));
  if (!sender.Resume()) return kNoValue;
  Pause(warm_up_ms);
  const std::uint64_t before = sink_.BytesReceived();
  const TCpuWindow window(pids);
  Pause(ms);
  const std::uint64_t after = sink_.BytesReceived();
  const double seconds = window.Seconds();
  *cpu = window.Percent();
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
  const auto start = TClock::now();
  for (std::uint32_t sequence = 0; sequence < static_cast<std::uint32_t>(count); ++sequence) {
    if (SecondsSince(start) * 1000 >= limit_ms) break;
    std::memcpy(message.data(), &sequence, sizeof sequence);
    const auto sent_at = TClock::now();
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
    if (samples != nullptr) {
      samples->push_back(std::chrono::duration<double, std::micro>(TClock::now() - sent_at).count());
    }
  }
}

TLatencies TMeasurements::TcpRoundTrip() { return RoundTripTest(false); }
TLatencies TMeasurements::UdpRoundTrip() { return RoundTripTest(true); }

TLatencies TMeasurements::RoundTripTest(bool datagram) {
  TLatencies result{Missing(), Missing(), 0};
  const TOpenForwards open(
      *this, systems_,
      {datagram ? TForward{TProto::kUdp, udp_echo_.Port()} : TForward{TProto::kTcp, echo_.Port()}});
  std::vector<TUniqueFd> sockets;
  for (std::size_t s = 0; s < open.Systems(); ++s) {
    const std::uint16_t port = open.Port(s, 0);
    if (port == 0) {
      sockets.emplace_back();
      continue;
    }
    sockets.push_back(datagram ? ConnectUdpLoopback(port, kUdpAnswerTimeoutMs)
                               : ConnectLoopback(port, kConnectTimeoutMs));
    if (!sockets.back()) Problem(datagram ? "UDP round trip: no socket" : "TCP round trip: no connection");
  }
  std::vector<std::vector<double>> samples(open.Systems());
  const int count = config_.RoundTrips / config_.RoundTripRounds;
  const int limit = config_.RoundTripLimitMs / config_.RoundTripRounds;
  std::uint64_t warm_up_lost = 0;
  // Small rounds in turn, so that every path meets the same machine.
  for (int round = -1; round < config_.RoundTripRounds; ++round) {
    const bool warm_up = round < 0;
    for (std::size_t s = 0; s < open.Systems(); ++s) {
      if (!sockets[s]) continue;
      RoundTrips(sockets[s].Get(), datagram, warm_up ? kWarmUpRoundTrips : count, limit,
                 warm_up ? nullptr : &samples[s], warm_up ? &warm_up_lost : &result.Lost);
    }
  }
  for (std::size_t s = 0; s < open.Systems(); ++s) {
    if (samples[s].empty()) continue;
    result.P50[s] = Percentile(samples[s], 0.5);
    result.P99[s] = Percentile(samples[s], 0.99);
  }
  return result;
}

TEchoRate TMeasurements::UdpEchoRate(int peers) {
  const TOpenForwards open(*this, systems_, {{TProto::kUdp, udp_echo_.Port()}});
  TEchoRate result;
  // The same peers in every round: new ones would leave the relay one stale
  // session per old peer to poll.
  std::vector<TPeers> sets;
  for (std::size_t s = 0; s < open.Systems(); ++s) {
    sets.push_back(MakePeers(open.Port(s, 0), peers));
    if (open.Port(s, 0) != 0 && !sets.back().EpollFd) {
      Problem("UDP echo rate: the peer sockets could not be made");
    }
  }
  TRounds rounds(open.Systems());
  const int ms = config_.EchoRateMs / config_.Rounds;
  for (int round = 0; round < config_.Rounds; ++round) {
    for (std::size_t s = 0; s < open.Systems(); ++s) {
      if (!sets[s].EpollFd) continue;
      double cpu = kNoValue;
      const double rate = EchoRateRun(sets[s], kWarmUpMs, ms, open.Pids(s), &result.Lost, &cpu);
      rounds.Add(s, rate, cpu);
    }
  }
  result.Rate = rounds.Means();
  return result;
}

TMeasurements::TPeers TMeasurements::MakePeers(std::uint16_t port, int count) {
  TPeers peers;
  if (port == 0) return peers;
  TUniqueFd epoll_fd(::epoll_create1(EPOLL_CLOEXEC));
  for (int i = 0; i < count && epoll_fd; ++i) {
    TUniqueFd fd = ConnectUdpLoopback(port, kUdpAnswerTimeoutMs);
    if (!fd || !SetBlocking(fd.Get(), false)) return peers;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<std::uint32_t>(i);
    if (::epoll_ctl(epoll_fd.Get(), EPOLL_CTL_ADD, fd.Get(), &ev) != 0) return peers;
    peers.Sockets.push_back(std::move(fd));
  }
  peers.EpollFd = std::move(epoll_fd);
  return peers;
}

double TMeasurements::EchoRateRun(TPeers& peers, int warm_up_ms, int ms, const std::vector<pid_t>& pids,
                                  std::uint64_t* lost, double* cpu) {
  const std::vector<TUniqueFd>& sockets = peers.Sockets;
  if (!peers.EpollFd || sockets.empty()) return kNoValue;
  const std::array<std::uint8_t, kMessageSize> message{};
  std::array<std::uint8_t, 2048> answer{};
  std::size_t next_peer = 0;
  int outstanding = 0;
  // New datagrams go out from the peers in turn, so that with many peers
  // every one of them stays active while the window stays the same.
  const auto fill_window = [&] {
    for (int tries = 0; outstanding < config_.Window && tries < config_.Window; ++tries) {
      const int fd = sockets[next_peer++ % sockets.size()].Get();
      if (SendSome(fd, message.data(), message.size(), MSG_DONTWAIT) > 0) ++outstanding;
    }
  };
  fill_window();
  std::uint64_t answered = 0;
  std::uint64_t answered_at_start = 0;
  const auto begin = TClock::now();
  std::optional<TCpuWindow> window;
  std::array<epoll_event, 64> events;
  while (SecondsSince(begin) * 1000 < warm_up_ms + ms) {
    if (!window && SecondsSince(begin) * 1000 >= warm_up_ms) {
      answered_at_start = answered;
      window.emplace(pids);
    }
    int n;
    do {
      n = ::epoll_wait(peers.EpollFd.Get(), events.data(), static_cast<int>(events.size()),
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
      const int fd = sockets[events[i].data.u32].Get();
      while (RecvSome(fd, answer.data(), answer.size(), MSG_DONTWAIT) >= 0) {
        ++answered;
        if (outstanding > 0) --outstanding;
      }
    }
    fill_window();
  }
  if (!window) return kNoValue;
  *cpu = window->Percent();
  return static_cast<double>(answered - answered_at_start) / window->Seconds();
}

TIdleCost TMeasurements::IdleCost() {
  TIdleCost result{Missing(), Missing(), Missing(), Missing(), Missing(), Missing(), Missing(), Missing()};
  // One system at a time: what is measured is each one's own cost at rest.
  for (std::size_t s = 0; s < systems_.size(); ++s) {
    if (systems_[s]->Relays()) IdleCostOf(s, &result);
  }
  return result;
}

namespace {

// How many of the TCP relays and UDP sessions no longer echo a byte.
int CountSilent(const std::vector<TUniqueFd>& relays, const std::vector<TUniqueFd>& sessions) {
  int silent = 0;
  for (const TUniqueFd& fd : relays) {
    std::uint8_t byte = 2;
    if (!SendAll(fd.Get(), &byte, 1) || !RecvExact(fd.Get(), &byte, 1)) ++silent;
  }
  for (const TUniqueFd& fd : sessions) {
    std::uint8_t byte = 2;
    if (SendSome(fd.Get(), &byte, 1) != 1 || RecvSome(fd.Get(), &byte, 1) != 1) ++silent;
  }
  return silent;
}

}  // namespace

void TMeasurements::IdleCostOf(std::size_t system, TIdleCost* result) {
  const std::string name = systems_[system]->Name();
  const TOpenForwards open(*this, {systems_[system]},
                           {{TProto::kTcp, echo_.Port()}, {TProto::kUdp, udp_echo_.Port()}});
  const std::uint16_t tcp_port = open.Port(0, 0);
  const std::uint16_t udp_port = open.Port(0, 1);
  const std::vector<pid_t>& pids = open.Pids(0);
  if (tcp_port == 0 || pids.empty()) {
    Problem("idle: no " + name + " forward could be opened");
    return;
  }
  Pause(kSettleMs);
  const TProcessSample base = SampleProcesses(pids);
  std::vector<TUniqueFd> relays;
  std::int64_t threads_probe = -1;
  for (int i = 0; i < config_.IdleCount; ++i) {
    // One byte each way proves the relay is established on both sides.
    std::uint8_t byte = 1;
    TUniqueFd fd = ConnectLoopback(tcp_port, kConnectTimeoutMs);
    if (!fd || !SendAll(fd.Get(), &byte, 1) || !RecvExact(fd.Get(), &byte, 1)) {
      Problem("idle: only " + std::to_string(relays.size()) + " TCP relays through " + name +
              " could be established");
      break;
    }
    relays.push_back(std::move(fd));
    if (static_cast<int>(relays.size()) == config_.ThreadProbe) threads_probe = SampleProcesses(pids).Threads;
  }
  Pause(kSettleMs);
  const TProcessSample tcp = SampleProcesses(pids);
  std::vector<TUniqueFd> sessions;
  for (int i = 0; i < config_.IdleCount && udp_port != 0; ++i) {
    std::uint8_t byte = 1;
    TUniqueFd fd = ConnectUdpLoopback(udp_port, kUdpAnswerTimeoutMs * 5);
    if (!fd || SendSome(fd.Get(), &byte, 1) != 1 || RecvSome(fd.Get(), &byte, 1) != 1) {
      Problem("idle: only " + std::to_string(sessions.size()) + " UDP sessions through " + name +
              " got an answer");
      break;
    }
    sessions.push_back(std::move(fd));
  }
  Pause(kSettleMs);
  const TProcessSample udp = SampleProcesses(pids);

  const auto start = TClock::now();
  Pause(config_.IdleHoldMs);
  const TProcessSample held = SampleProcesses(pids);
  const double hold_ns = SecondsSince(start) * 1e9;
  // Idle must not mean dead: every relay and session still answers.
  const int silent = CountSilent(relays, sessions);
  if (silent > 0) {
    Problem("idle: " + std::to_string(silent) + " relays or sessions through " + name +
            " no longer answered");
  }

  if (udp.CpuNs >= 0 && held.CpuNs >= 0) {
    result->CpuPercent[system] = 100.0 * static_cast<double>(held.CpuNs - udp.CpuNs) / hold_ns;
  }
  if (udp.StatCpuNs >= 0 && held.StatCpuNs >= 0) {
    result->StatCpuPercent[system] = 100.0 * static_cast<double>(held.StatCpuNs - udp.StatCpuNs) / hold_ns;
  }
  const auto per = [](std::int64_t before, std::int64_t after, std::size_t count) {
    if (count == 0 || before < 0 || after < 0) return kNoValue;
    return static_cast<double>(after - before) / static_cast<double>(count);
  };
  result->KibPerTcpRelay[system] = per(base.RssKib, tcp.RssKib, relays.size());
  result->FdsPerTcpRelay[system] = per(base.Descriptors, tcp.Descriptors, relays.size());
  result->KibPerUdpSession[system] = per(tcp.RssKib, udp.RssKib, sessions.size());
  const auto count = [](std::int64_t value) { return value < 0 ? kNoValue : static_cast<double>(value); };
  result->ThreadsNone[system] = count(base.Threads);
  result->ThreadsProbe[system] = count(threads_probe);
  result->ThreadsAll[system] = count(tcp.Threads);
}

TSlowReceiver TMeasurements::SlowReceiver() {
  TSlowReceiver result;
  TSlowReader reader(kSlowReadChunk, kSlowReadPeriodMs);
  if (!reader.Valid() || !reader.Resume()) return result;
  const std::vector<pid_t> pids = {host_.Pid()};
  {
    const std::uint16_t port = host_.AddTcp(reader.Port());
    std::uint8_t byte = 1;
    TUniqueFd fd = port != 0 ? ConnectLoopback(port, kConnectTimeoutMs) : TUniqueFd();
    if (!fd || !SendAll(fd.Get(), &byte, 1) ||
        WaitFd(reader.FirstByteFd(), POLLIN, -1, kConnectTimeoutMs) != TWaitResult::kReady ||
        !SetBlocking(fd.Get(), false)) {
      Problem("slow receiver: no relay to the slow reader");
      host_.Drop(port);
      Stop(reader);
      return result;
    }
    // The baseline holds the relay and its sockets; what grows beyond it is
    // what the relay keeps for the slow side.
    Pause(kSettleMs);
    const std::int64_t rss_start = SampleProcesses(pids).RssKib;
    std::int64_t rss_peak = rss_start;
    const std::vector<std::uint8_t> chunk(std::size_t{64} * 1024, 0x33);
    std::uint64_t sent = 0;
    const auto start = TClock::now();
    auto next_sample = start;
    while (SecondsSince(start) * 1000 < config_.SlowMs) {
      if (WaitFd(fd.Get(), POLLOUT, -1, kRssSampleMs) == TWaitResult::kReady) {
        for (int i = 0; i < 64; ++i) {
          const ssize_t n = SendSome(fd.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
          if (n <= 0) break;
          sent += static_cast<std::uint64_t>(n);
        }
      }
      if (TClock::now() >= next_sample) {
        rss_peak = std::max(rss_peak, SampleProcesses(pids).RssKib);
        next_sample += std::chrono::milliseconds(kRssSampleMs);
      }
    }
    rss_peak = std::max(rss_peak, SampleProcesses(pids).RssKib);
    result.GrowthKib = static_cast<double>(rss_peak - rss_start);
    result.SentMib = static_cast<double>(sent) / kMiB;
    result.ReadMib = static_cast<double>(reader.BytesReceived()) / kMiB;
    host_.Drop(port);
  }
  // The reader closes its side last, so that the relay's delivery of what it
  // still holds fails at once instead of lingering.
  Stop(reader);
  return result;
}

TSetupRates TMeasurements::SetupRates() {
  const TOpenForwards open(*this, systems_, {{TProto::kTcp, echo_.Port()}});
  TSetupRates result{{}, {}, Missing(), Missing()};
  TRounds one(open.Systems());
  TRounds parallel(open.Systems());
  std::vector<std::vector<double>> first_echo(open.Systems());
  const int ms = config_.SetupMs / config_.Rounds;
  for (int round = 0; round < config_.Rounds; ++round) {
    for (std::size_t s = 0; s < open.Systems(); ++s) {
      if (open.Port(s, 0) == 0) continue;
      double cpu = kNoValue;
      double rate = SetupRun(open.Port(s, 0), 1, ms, open.Pids(s), &first_echo[s], &cpu);
      one.Add(s, rate, cpu);
      rate = SetupRun(open.Port(s, 0), config_.SetupParallel, ms, open.Pids(s), nullptr, &cpu);
      parallel.Add(s, rate, cpu);
    }
  }
  result.OneAtATime = one.Means();
  result.Parallel = parallel.Means();
  for (std::size_t s = 0; s < open.Systems(); ++s) {
    if (first_echo[s].empty()) continue;
    result.FirstEchoP50[s] = Percentile(first_echo[s], 0.5);
    result.FirstEchoP99[s] = Percentile(first_echo[s], 0.99);
  }
  return result;
}

double TMeasurements::SetupRun(std::uint16_t port, int clients, int ms, const std::vector<pid_t>& pids,
                               std::vector<double>* first_echo_us, double* cpu) {
  const TCpuWindow window(pids);
  const auto deadline = TClock::now() + std::chrono::milliseconds(ms);
  std::vector<std::unique_ptr<TSetupClient>> threads;
  for (int i = 0; i < clients; ++i) {
    threads.push_back(std::make_unique<TSetupClient>(port, deadline, first_echo_us != nullptr));
    if (!threads.back()->Resume()) {
      threads.pop_back();
      break;
    }
  }
  int done = 0;
  int failures = 0;
  for (const auto& thread : threads) {
    thread->WaitFor();
    done += thread->Done();
    failures += thread->Failures();
    if (first_echo_us != nullptr) {
      first_echo_us->insert(first_echo_us->end(), thread->Samples().begin(), thread->Samples().end());
    }
  }
  const double seconds = window.Seconds();
  *cpu = window.Percent();
  if (failures > 0) {
    Problem(LocalPortsLeft()
                ? "connection setup: some connections failed"
                : "connection setup: connections failed; TIME_WAIT sockets hold every local port; "
                  "run again in a minute");
  }
  if (threads.size() != static_cast<std::size_t>(clients) || done == 0) return kNoValue;
  return static_cast<double>(done) / seconds;
}

TLoad TMeasurements::QuorvaneBulk(const TCapRates& caps, int warm_up_ms, int ms) {
  TLoad load{{kNoValue}, {kNoValue}};
  host_.SetCaps(caps);
  const std::uint16_t port = host_.AddTcp(sink_.Port());
  if (port != 0) load.Value[0] = BulkRun(port, 1, warm_up_ms, ms, {host_.Pid()}, &load.Cpu[0]);
  host_.Drop(port);
  return load;
}

TLoad TMeasurements::QuorvaneEcho(const TCapRates& caps, int warm_up_ms, int ms, std::uint64_t* lost) {
  TLoad load{{kNoValue}, {kNoValue}};
  host_.SetCaps(caps);
  const std::uint16_t port = host_.AddUdp(udp_echo_.Port());
  TPeers peers = MakePeers(port, 1);
  if (peers.EpollFd) load.Value[0] = EchoRateRun(peers, warm_up_ms, ms, {host_.Pid()}, lost, &load.Cpu[0]);
  host_.Drop(port);
  return load;
}

TCapsCost TMeasurements::CapsCost() {
  TCapsCost result;
  // Off and high take turns, as the systems do in the other rows, so that
  // noise falls on both alike; a new redirector each time, so that neither
  // inherits the other's buckets.
  const std::array<TCapRates, 2> turns = {kNoCaps, kHighCaps};
  std::array<TRounds, 2> bulk = {TRounds(1), TRounds(1)};
  std::array<TRounds, 2> echo = {TRounds(1), TRounds(1)};
  for (int round = 0; round < config_.Rounds; ++round) {
    for (std::size_t t = 0; t < turns.size(); ++t) {
      const TLoad b = QuorvaneBulk(turns[t], kWarmUpMs, config_.BulkMs / config_.Rounds);
      bulk[t].Add(0, b.Value[0], b.Cpu[0]);
      const TLoad e =
          QuorvaneEcho(turns[t], kWarmUpMs, config_.EchoRateMs / config_.Rounds, &result.EchoLost[t]);
      echo[t].Add(0, e.Value[0], e.Cpu[0]);
    }
  }
  for (std::size_t t = 0; t < turns.size(); ++t) {
    result.Bulk[t] = bulk[t].Means();
    result.Echo[t] = echo[t].Means();
  }
  // At the default caps the rate is the cap's; one long window is enough.
  result.Bulk[kCapsDefault] = QuorvaneBulk(kDefaultCaps, config_.CapWarmUpMs, config_.CapMs);
  result.Echo[kCapsDefault] =
      QuorvaneEcho(kDefaultCaps, config_.CapWarmUpMs, config_.CapMs, &result.EchoLost[kCapsDefault]);
  host_.SetCaps(kNoCaps);
  if (std::isnan(result.Bulk[kCapsOff].Value[0]) || std::isnan(result.Echo[kCapsOff].Value[0])) {
    Problem("caps: a bulk or echo run through Quorvane failed");
  }
  return result;
}

TCappedBulk TMeasurements::CappedBulk(std::uint64_t tcp_bytes_per_player) {
  TCappedBulk result;
  result.Caps = kDefaultCaps;
  result.Caps.TcpBytesPerPlayer = tcp_bytes_per_player;
  const TLoad load = QuorvaneBulk(result.Caps, config_.CapWarmUpMs, config_.CapMs);
  host_.SetCaps(kNoCaps);
  result.RateMib = load.Value[0];
  result.Cpu = load.Cpu[0];
  return result;
}

}  // namespace quorvane::bench
