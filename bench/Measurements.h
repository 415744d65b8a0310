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
  int rounds = 4;              // alternating rounds over the systems
  int round_trip_rounds = 10;  // the same for the round-trip tests
  int bulk_ms = 3000;          // per system, over all rounds
  int round_trips = 20000;     // per system, over all rounds
  int round_trip_limit_ms = 3000;
  int echo_rate_ms = 2000;  // per system and peer count
  int window = 32;          // datagrams outstanding in the echo-rate test
  int idle_count = 500;     // idle TCP relays, and idle UDP sessions
  int thread_probe = 100;   // relays at which the threads are counted
  int idle_hold_ms = 5000;  // per system
  int slow_ms = 5000;
  int setup_ms = 2000;     // per system, for each of the two setup loads
  int setup_parallel = 4;  // clients of the parallel setup load
  // Under a cap: a new redirector's buckets start with a second's worth,
  // which the warm-up uses up before the window opens.
  int cap_warm_up_ms = 1500;
  int cap_ms = 2000;
};

// One figure per system, in the order the systems were given; NaN where it
// was not measured (a system that does not carry the load, a failure).
using TValues = std::vector<double>;

// A rate under load, and the CPU the system's processes used meanwhile (%
// of one core; NaN for "direct").
struct TLoad {
  TValues value;
  TValues cpu;
};

struct TSetupRates {
  TLoad one_at_a_time;  // connections per second
  TLoad parallel;
  // From connect() to the echo of a first byte, one at a time (µs).
  TValues first_echo_p50;
  TValues first_echo_p99;
};

struct TLatencies {
  TValues p50;  // microseconds
  TValues p99;
  std::uint64_t lost = 0;  // UDP round trips that got no answer in time
};

struct TEchoRate {
  TLoad rate;  // answered datagrams per second
  std::uint64_t lost = 0;
};

struct TIdleCost {
  TValues cpu_percent;       // of one core, over the hold
  TValues stat_cpu_percent;  // the same from /proc/<pid>/stat ticks
  TValues kib_per_tcp_relay;
  TValues kib_per_udp_session;
  TValues fds_per_tcp_relay;
  TValues threads_none;   // forwards open, nothing relayed
  TValues threads_probe;  // with TBenchConfig::thread_probe idle relays
  TValues threads_all;    // with every idle relay
};

struct TSlowReceiver {
  double growth_kib = kNoValue;  // peak RSS over the baseline
  double sent_mib = 0;
  double read_mib = 0;
};

// The caps the bookkeeping rows compare: all keys 0; every key at the
// largest value [LIMITS] takes, so that every bucket is kept but none
// binds; the defaults.
enum TCapSetting : std::size_t { kCapsOff, kCapsHigh, kCapsDefault, kCapSettings };
inline constexpr std::uint64_t kHighestCap = 2147483647;
inline constexpr TCapRates kHighCaps{kHighestCap, kHighestCap, kHighestCap, kHighestCap};

struct TCapsCost {
  // Quorvane's, indexed by TCapSetting.
  std::array<TLoad, kCapSettings> bulk;  // 1 connection, MiB/s
  std::array<TLoad, kCapSettings> echo;  // 1 peer, datagrams/s
  std::array<std::uint64_t, kCapSettings> echo_lost{};
};

// TCP bulk through one relay under TCP_BYTES_PER_PLAYER.
struct TCappedBulk {
  TCapRates caps;
  double rate_mib = kNoValue;  // MiB/s
  double cpu = kNoValue;
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
    TUniqueFd epoll_fd;
    std::vector<TUniqueFd> sockets;
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
