// How many game hosts the real server holds under a fixed descriptor limit,
// and what each one costs it. A game host is what a player who hosts a game
// keeps on the server: one control session that has registered and made one
// TCP and one UDP redirector, held open for the whole game.
//
// The server (TControlServer) runs under RLIMIT_NOFILE
// kCapacityDescriptorLimit, soft and hard. Hosts are made until the server
// refuses or fails one (a create answered 255, a session closed, no answer
// within 5 s), a time budget runs out, or a cap is reached. They come from
// 127.0.0.2, 127.0.0.3, ... with kHostsPerAddress each, inside the server's
// per-address limits, so that only the server's own capacity stops them;
// several client threads make them at once, each from its own addresses.
//
// A redirector is known by its target: a create that names an existing
// target gets the existing redirector back. So every host aims its pair at
// 127.0.0.1 on a port of its own, where nothing listens and no traffic ever
// goes, except the first host, whose pair aims at this benchmark's TCP and
// UDP echo targets and carries the relay check after the last host.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bench/BenchTargets.h"
#include "bench/ControlServer.h"

namespace quorvane::bench {

inline constexpr long kCapacityDescriptorLimit = 20000;
inline constexpr int kMaxGameHosts = 8000;
inline constexpr int kQuickGameHosts = 200;
// Within SESSIONS_PER_ADDRESS (128), REDIRECTORS_PER_ADDRESS (256, two per
// host) and REQUESTS_PER_ADDRESS (1000 a second, with a second's burst:
// three requests per host).
inline constexpr int kHostsPerAddress = 100;

struct TCapacityConfig {
  int MaxHosts = kMaxGameHosts;
  int ClientThreads = 4;
  // For making the hosts; the row stays within a few minutes even against
  // a slow server.
  int BudgetMs = 120000;
};

struct TCapacity {
  bool Measured = false;
  int Cap = 0;      // the hosts tried for at most
  int Created = 0;  // fully created
  int Held = 0;     // of those, still open after the last one
  // Why making hosts stopped before the cap; empty when the cap was reached.
  std::string StopReason;
  bool ServerStopped = false;  // the server refused or failed a host
  double Seconds = 0;          // to make them
  int ClientThreads = 0;       // that made them
  // The server's process at 0 hosts and after the last one; -1: unknown.
  std::int64_t ThreadsBefore = -1;
  std::int64_t ThreadsAfter = -1;
  std::int64_t DescriptorsBefore = -1;
  std::int64_t DescriptorsAfter = -1;
  std::int64_t RssBeforeKiB = -1;
  std::int64_t RssAfterKiB = -1;
  double DescriptorsPerHost = std::numeric_limits<double>::quiet_NaN();
  double KiBPerHost = std::numeric_limits<double>::quiet_NaN();
  // Request sent to reply received, over the creates of the last tenth of
  // the hosts (µs).
  double CreateP50 = std::numeric_limits<double>::quiet_NaN();
  double CreateP99 = std::numeric_limits<double>::quiet_NaN();
  int CreatesAtLoad = 0;
  // Bytes sent through the first host's redirectors came back, after the
  // last host; not tried when the first host was not made.
  bool RelayTried = false;
  bool TcpRelay = false;
  bool UdpRelay = false;
};

class TGameHostCapacity {
 public:
  explicit TGameHostCapacity(const TCapacityConfig& config);
  TGameHostCapacity(const TGameHostCapacity&) = delete;
  TGameHostCapacity& operator=(const TGameHostCapacity&) = delete;
  // Stops the server and the targets.
  ~TGameHostCapacity();

  // Starts the targets and |server| (the quorvane executable). False with
  // Problems() set when either could not be started. Main thread, once.
  bool Start(const std::string& server);
  // Makes and holds the hosts, measures, and stops the server. Main
  // thread, once, after Start().
  TCapacity Measure();

  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  // The hosts this process can hold: the cap, less when its own descriptor
  // limit is lower.
  int HostCap();

  const TCapacityConfig config_;
  TControlServer server_;
  TTcpTarget tcp_echo_{TTcpTarget::TMode::kEcho};
  TUdpEchoTarget udp_echo_;
  std::vector<std::string> problems_;
};

}  // namespace quorvane::bench
