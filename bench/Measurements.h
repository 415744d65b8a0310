// The measurements: each opens the forwards it needs on every system under
// comparison (direct, Quorvane, the peers) and runs the same load through
// each, in alternating rounds so that noise from the rest of the machine
// falls on all of them alike. All calls are made from the main thread, one
// at a time; the forwards of a measurement are closed at its end.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bench/BenchTargets.h"
#include "bench/RedirectorHost.h"
#include "bench/RelaySystems.h"
#include "servers/TCPRelay.h"

namespace quorvane::bench {

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// What one relay may hold for one direction, the slow receiver's yardstick.
inline constexpr std::int64_t kRelayBufferBoundKiB = kRelayBufferBytes / 1024;

struct TBenchConfig {
  int Rounds = 4;            // alternating rounds over the systems
  int RoundTripRounds = 10;  // the same for the round-trip tests
  int BulkMs = 3000;         // per system, over all rounds
  int RoundTrips = 20000;    // per system, over all rounds
  int RoundTripLimitMs = 3000;
  int EchoRateMs = 2000;  // per system and peer count
  int Window = 32;        // datagrams outstanding in the echo-rate test
  int IdleCount = 500;    // idle TCP relays, and idle UDP sessions
  int ThreadProbe = 100;  // relays at which the threads are counted
  int IdleHoldMs = 5000;  // per system
  int SlowMs = 5000;
  int SetupMs = 2000;     // per system, for each of the two setup loads
  int SetupParallel = 4;  // clients of the parallel setup load
  // Under a cap: a new redirector's buckets start with a second's worth,
  // which the warm-up uses up before the window opens.
  int CapWarmUpMs = 1500;
  int CapMs = 2000;
};

// One figure per system, in the order the systems were given; NaN where it
// was not measured (a system that does not carry the load, a failure).
using TValues = std::vector<double>;

// A rate under load, and the CPU the system's processes used meanwhile (%
// of one core; NaN for "direct").
struct TLoad {
  TValues Value;
  TValues Cpu;
};

struct TSetupRates {
  TLoad OneAtATime;  // connections per second
  TLoad Parallel;
  // From connect() to the echo of a first byte, one at a time (µs).
  TValues FirstEchoP50;
  TValues FirstEchoP99;
};

struct TLatencies {
  TValues P50;  // microseconds
  TValues P99;
  std::uint64_t Lost = 0;  // UDP round trips that got no answer in time
};

struct TEchoRate {
  TLoad Rate;  // answered datagrams per second
  std::uint64_t Lost = 0;
};

struct TIdleCost {
  TValues CpuPercent;      // of one core, over the hold
  TValues StatCpuPercent;  // the same from /proc/<pid>/stat ticks
  TValues KibPerTcpRelay;
  TValues KibPerUdpSession;
  TValues FdsPerTcpRelay;
  TValues ThreadsNone;   // forwards open, nothing relayed
  TValues ThreadsProbe;  // with TBenchConfig::ThreadProbe idle relays
  TValues ThreadsAll;    // with every idle relay
};

struct TSlowReceiver {
  double GrowthKib = kNoValue;  // peak RSS over the baseline
  double SentMib = 0;
  double ReadMib = 0;
};

// The caps the bookkeeping rows compare: all keys 0; every key at the
// largest value [LIMITS] takes, so that every bucket is kept but none
// binds; the defaults.
enum TCapSetting : std::size_t { kCapsOff, kCapsHigh, kCapsDefault, kCapSettings };
inline constexpr std::uint64_t kHighestCap = 2147483647;
inline constexpr TCapRates kHighCaps{kHighestCap, kHighestCap, kHighestCap, kHighestCap};

struct TCapsCost {
  // Quorvane's, indexed by TCapSetting.
  std::array<TLoad, kCapSettings> Bulk;  // 1 connection, MiB/s
  std::array<TLoad, kCapSettings> Echo;  // 1 peer, datagrams/s
  std::array<std::uint64_t, kCapSettings> EchoLost{};
};

// TCP bulk through one relay under TCP_BYTES_PER_PLAYER.
struct TCappedBulk {
  TCapRates Caps;
  double RateMib = kNoValue;  // MiB/s
  double Cpu = kNoValue;
};

class TMeasurements {
 public:
  // Starts the targets. |systems| and |host| must outlive this object;
  // |host| runs Quorvane's redirectors, for the measurements that only
  // Quorvane takes.
  TMeasurements(std::vector<TRelaySystem*> systems, TRedirectorHost& host, const TBenchConfig& config);
  TMeasurements(const TMeasurements&) = delete;
  TMeasurements& operator=(const TMeasurements&) = delete;
  // Stops the targets.
  ~TMeasurements();

  bool Ready() const { return ready_; }

  TLoad BulkThroughput(int connections);  // MiB/s
  TLatencies TcpRoundTrip();
  TLatencies UdpRoundTrip();
  TEchoRate UdpEchoRate(int peers);
  TIdleCost IdleCost();
  TSlowReceiver SlowReceiver();  // Quorvane only
  TSetupRates SetupRates();
  // Quorvane only.
  TCapsCost CapsCost();
  TCappedBulk CappedBulk(std::uint64_t tcp_bytes_per_player);

  // Problems met while measuring (failed connects, short runs), for the
  // notes under the table.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  friend class TOpenForwards;

  TValues Missing() const { return TValues(systems_.size(), kNoValue); }
  // Each run returns its figure; |cpu|, when given, gets the CPU use of
  // |pids| over the measured window.
  double BulkRun(std::uint16_t port, int connections, int warm_up_ms, int ms, const std::vector<pid_t>& pids,
                 double* cpu);
  TLatencies RoundTripTest(bool datagram);
  void RoundTrips(int fd, bool datagram, int count, int limit_ms, std::vector<double>* samples,
                  std::uint64_t* lost);
  // UDP sockets connected to one port, all in one epoll set; the set is
  // invalid when any of them could not be made.
  struct TPeers {
    TUniqueFd EpollFd;
    std::vector<TUniqueFd> Sockets;
  };
  static TPeers MakePeers(std::uint16_t port, int count);
  double EchoRateRun(TPeers& peers, int warm_up_ms, int ms, const std::vector<pid_t>& pids,
                     std::uint64_t* lost, double* cpu);
  // One run of each through a new redirector of |host_| under |caps|.
  TLoad QuorvaneBulk(const TCapRates& caps, int warm_up_ms, int ms);
  TLoad QuorvaneEcho(const TCapRates& caps, int warm_up_ms, int ms, std::uint64_t* lost);
  void IdleCostOf(std::size_t system, TIdleCost* result);
  // Connections per second over |ms| with |clients| clients at once;
  // |first_echo_us| (one client only) gets each connection's set-up time.
  double SetupRun(std::uint16_t port, int clients, int ms, const std::vector<pid_t>& pids,
                  std::vector<double>* first_echo_us, double* cpu);
  void Problem(const std::string& text);

  const std::vector<TRelaySystem*> systems_;
  TRedirectorHost& host_;
  const TBenchConfig config_;
  TTcpTarget echo_{TTcpTarget::TMode::kEcho};
  TTcpTarget sink_{TTcpTarget::TMode::kDiscard};
  TUdpEchoTarget udp_echo_;
  bool ready_ = false;
  std::vector<std::string> problems_;
};

}  // namespace quorvane::bench
