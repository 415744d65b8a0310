// The measurements: each runs the same load once straight to a target and
// once through a redirector to that target, in alternating rounds so that
// noise from the rest of the machine falls on both alike. All calls are made
// from the main thread, one at a time; a redirector made for a measurement is
// dropped at its end.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bench/BenchTargets.h"
#include "bench/RedirectorHost.h"
#include "servers/TCPRedirector.h"

namespace quorvane::bench {

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// What one relay may hold for one direction, the slow receiver's yardstick.
inline constexpr std::int64_t kRelayBufferBoundKiB = kRelayBufferBytes / 1024;

struct TBenchConfig {
  int rounds = 4;              // alternating direct / redirected rounds
  int round_trip_rounds = 10;  // the same for the round-trip tests
  int bulk_ms = 3000;          // per side, over all rounds
  int round_trips = 20000;     // per side, over all rounds
  int round_trip_limit_ms = 3000;
  // Round trips with the client on one CPU and the target on another (the
  // redirector left free); see RoundTripTest.
  bool pin_round_trips = true;
  int echo_rate_ms = 2000;  // per side and peer count
  int window = 32;          // datagrams outstanding in the echo-rate test
  int idle_count = 500;     // idle TCP relays, and idle UDP sessions
  int idle_hold_ms = 5000;
  int slow_ms = 5000;
  int setup_ms = 2000;  // per side
};

// A value measured straight to the target and through a redirector; NaN
// when it could not be measured.
struct TPair {
  double direct = kNoValue;
  double redirected = kNoValue;
  // CPU time of the redirector process while the redirected load ran, in %
  // of one core; NaN where not measured.
  double server_cpu = kNoValue;
};

struct TLatencies {
  TPair p50;  // microseconds
  TPair p99;
  std::uint64_t lost = 0;  // UDP round trips that got no answer in time
  // The client ran on cpus[0] and the target on cpus[1]; empty: unpinned.
  std::vector<int> cpus;
};

struct TEchoRate {
  TPair rate;  // answered datagrams per second
  std::uint64_t lost_direct = 0;
  std::uint64_t lost_redirected = 0;
};

struct TIdleCost {
  double cpu_percent = kNoValue;       // of one core, over the hold
  double stat_cpu_percent = kNoValue;  // the same from /proc/<pid>/stat ticks
  double hold_seconds = 0;
  double kib_per_tcp_relay = kNoValue;
  double kib_per_udp_session = kNoValue;
};

struct TSlowReceiver {
  double growth_kib = kNoValue;  // peak RSS over the baseline
  double sent_mib = 0;
  double read_mib = 0;
};

class TMeasurements {
 public:
  // Starts the targets. |host| must outlive this object.
  TMeasurements(TRedirectorHost& host, const TBenchConfig& config);
  TMeasurements(const TMeasurements&) = delete;
  TMeasurements& operator=(const TMeasurements&) = delete;
  // Stops the targets.
  ~TMeasurements();

  bool Ready() const { return ready_; }

  TPair BulkThroughput(int connections);  // MiB/s
  TLatencies TcpRoundTrip();
  TLatencies UdpRoundTrip();
  TEchoRate UdpEchoRate(int peers);
  TIdleCost IdleCost();
  TSlowReceiver SlowReceiver();
  TPair SetupRate();  // connections per second

  // Problems met while measuring (failed connects, short runs), for the
  // notes under the table.
  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  // Each run returns its figure; |server_cpu|, when given, gets the
  // redirector process's CPU use over the measured window.
  double BulkRun(std::uint16_t port, int connections, int ms, double* server_cpu);
  TLatencies RoundTripTest(bool datagram);
  void RoundTrips(int fd, bool datagram, int count, int limit_ms, std::vector<double>* samples,
                  std::uint64_t* lost);
  // UDP sockets connected to one port, all in one epoll set; the set is
  // invalid when any of them could not be made.
  struct TPeers {
    UniqueFd epoll_fd;
    std::vector<UniqueFd> sockets;
  };
  static TPeers MakePeers(std::uint16_t port, int count);
  double EchoRateRun(TPeers& peers, int ms, std::uint64_t* lost, double* server_cpu);
  double SetupRun(std::uint16_t port, int ms, double* server_cpu);
  void Problem(const std::string& text);

  TRedirectorHost& host_;
  const TBenchConfig config_;
  TTcpTarget echo_{TTcpTarget::TMode::Echo};
  TTcpTarget sink_{TTcpTarget::TMode::Discard};
  TUdpEchoTarget udp_echo_;
  bool ready_ = false;
  std::vector<std::string> problems_;
};

}  // namespace quorvane::bench
