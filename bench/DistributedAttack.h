// The real server under an attack from many addresses at once, each of them
// within its per-address limits, and what the people it serves notice.
//
// The server (TControlServer) runs under RLIMIT_NOFILE
// kAttackDescriptorLimit, soft and hard, with the default [LIMITS] (the
// descriptor shares among them) and its admin endpoint on. Before the
// attack, a game host from 127.0.1.1 makes a UDP redirector to this
// benchmark's echo target, and a player from 127.0.1.2 plays through it 60
// datagrams a second, numbered, from one socket, until the end: its
// session is confirmed long before the attack, and the echo target notes
// every source port it sees, so that a session dropped and made again
// shows. The server's resident memory is read then (the baseline).
//
// The attack: kAttackAddresses addresses (127.0.0.2 on) each open
// kAttackSessionsPerAddress control sessions and keep those the server
// keeps, make kAttackRedirectorsPerAddress UDP redirectors towards a closed
// port of their own, and spray them for at most a fixed time, as fast as this
// process can, one datagram per new source port, at most
// CONNECTIONS_PER_ADDRESS ports per redirector and address. Meanwhile:
// - a host from 127.0.1.3 comes every 100 ms: connects, registers, makes a
//   UDP redirector and leaves. Each attempt must be served, and quickly;
// - kSlowAdminConnections admin connections from 127.0.2.x each send part
//   of a request head and stall, and are opened again when the endpoint
//   closes them; a GET /api/status from an address of its own every
//   kGetPeriodMs must still be answered quickly.
// When the spray ends, the attackers close everything; the server's
// resident memory is read again some seconds later.
//
// The spray threads run at the lowest priority: on a real network the
// attackers' sending would cost the server's machine nothing, so here it
// takes only the CPU that the server and the measuring threads leave.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bench/BenchTargets.h"
#include "bench/ControlServer.h"

namespace quorvane::bench {

inline constexpr long kAttackDescriptorLimit = 8192;
inline constexpr int kAttackAddresses = 200;
inline constexpr int kAttackSessionsPerAddress = 40;
inline constexpr int kAttackRedirectorsPerAddress = 8;
inline constexpr int kSlowAdminConnections = 100;
// The admin endpoint bounds connections per address; the slow ones are
// spread this many to an address.
inline constexpr int kSlowAdminPerAddress = 4;
// A slow admin connection the endpoint closed is opened again this much
// later, so that a refusal at once does not become a busy loop.
inline constexpr int kSlowAdminReopenMs = 50;
inline constexpr int kLegitPeriodMs = 100;
inline constexpr int kGetPeriodMs = 250;
inline constexpr int kPlayerRate = 60;  // datagrams a second each way

struct TAttackConfig {
  int SprayMs = 10000;
  // From the attackers' leaving to the last reading of the server's memory.
  int SettleMs = 10000;
  int SprayThreads = 2;
};

struct TAttack {
  static constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

  bool Measured = false;
  double SettleSeconds = 0;  // TAttackConfig::SettleMs
  // The host that comes and goes: attempts made and served (Register ok,
  // a redirector made), and Register sent to create answered (ms).
  int LegitMade = 0;
  int LegitServed = 0;
  std::string LegitFailure;  // the first, if any
  double LegitP50Ms = kNone;
  double LegitP99Ms = kNone;
  double LegitMaxMs = kNone;
  // The confirmed player, all along: datagrams sent and never echoed,
  // round trips (ms), and the source ports the echo target saw.
  std::uint64_t PlayerSent = 0;
  std::uint64_t PlayerLost = 0;
  double PlayerP99Ms = kNone;
  double PlayerMaxMs = kNone;
  int PlayerPorts = 0;
  // GET /api/status during the spray: made, answered 200, and connect to
  // the last byte (ms) over those answered.
  int GetsMade = 0;
  int GetsAnswered = 0;
  std::string GetFailure;  // the first, if any
  double GetP99Ms = kNone;
  double GetMaxMs = kNone;
  // Slow admin connections: opened in all, closed by the endpoint, and the
  // fewest stalled at once while the GETs ran.
  int SlowOpened = 0;
  int SlowClosed = 0;
  int SlowStalledLeast = 0;
  // The attackers.
  int SessionsHeld = 0;
  int SessionsRefused = 0;
  int AddressesHolding = 0;  // attackers left with a session at least
  int RedirectorsMade = 0;
  int CreatesRefused = 0;
  std::uint64_t Datagrams = 0;
  double SpraySeconds = 0;  // until the time ran out or every port was used
  int SprayThreads = 0;
  // The server: at the baseline, the most seen during the attack, and
  // SettleMs after it; -1: unknown. CPU in % of one core during the spray.
  std::int64_t RssBaselineKiB = -1;
  std::int64_t RssPeakKiB = -1;
  std::int64_t RssAfterKiB = -1;
  std::int64_t DescriptorsBaseline = -1;
  std::int64_t DescriptorsPeak = -1;
  std::int64_t DescriptorsAfter = -1;
  double ServerCpu = kNone;
  // Its refusal lines on standard error, summed by what was refused and
  // why.
  struct TRefusals {
    std::string What;  // "UDP sessions (FAIR_SHARE)"
    std::uint64_t Refused = 0;
    int Lines = 0;
  };
  std::vector<TRefusals> Refusals;
};

class TDistributedAttack {
 public:
  explicit TDistributedAttack(const TAttackConfig& config);
  TDistributedAttack(const TDistributedAttack&) = delete;
  TDistributedAttack& operator=(const TDistributedAttack&) = delete;
  // Stops the server and the target.
  ~TDistributedAttack();

  // Starts the echo target and |server| (the quorvane executable). False
  // with Problems() set when either could not be started. Main thread, once.
  bool Start(const std::string& server);
  // Runs the attack, measures, and stops the server. Main thread, once,
  // after Start().
  TAttack Measure();

  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  const TAttackConfig config_;
  TControlServer server_;
  TUdpEchoTarget echo_{/*record_sources=*/true};
  std::vector<std::string> problems_;
};

}  // namespace quorvane::bench
