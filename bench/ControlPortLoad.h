// The server under abuse from one other address, measured through its real
// control port (TControlServer). The legitimate client speaks from
// 127.0.0.1; the abuser's sockets are bound to 127.0.0.2.
//
// - Nop under flood: the legitimate client's Nop round trip, first alone,
//   then while the abuser holds as many control sessions as its address may
//   (kFloodSessions, the SESSIONS_PER_ADDRESS we configure) and every one of
//   them sends Nops as fast as the server takes them.
// - UDP under spray: a legitimate player's datagrams through a UDP
//   redirector made by a control request, first alone, then while the
//   abuser sprays the same redirector from a fresh source port per datagram.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "bench/BenchTargets.h"
#include "bench/ControlServer.h"

namespace quorvane::bench {

// SESSIONS_PER_ADDRESS in the server's configuration, and the flood's size.
inline constexpr int kFloodSessions = 128;
// Connections the flood tries beyond the limit, which must be refused.
inline constexpr int kFloodExtra = 8;

struct TAbuseConfig {
  int QuietMs = 1500;  // the legitimate client alone
  int AbuseMs = 3000;  // under flood or spray
};

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct TNopUnderFlood {
  // Microseconds; NaN when not measured.
  double IdleP50;
  double IdleP99;
  double FloodP50;
  double FloodP99;
  int FloodSessions = 0;    // flood sessions the server kept
  int FloodRefused = 0;     // connections beyond them that it closed
  double FloodAnswers = 0;  // Nop answers per second the flood got
  double ServerCpu;         // % of one core, during the flood
};

struct TUdpUnderSpray {
  std::uint64_t QuietSent = 0;
  std::uint64_t QuietLost = 0;
  std::uint64_t Sent = 0;  // by the legitimate player under the spray
  std::uint64_t Lost = 0;
  double SprayRate = kNaN;  // datagrams per second from fresh ports
  // Datagrams the kernel dropped on full UDP receive buffers during the
  // spray, machine-wide (RcvbufErrors of /proc/net/snmp); -1: unknown.
  std::int64_t BufferDrops = -1;
  bool Measured = false;
};

class TControlPortLoad {
 public:
  explicit TControlPortLoad(const TAbuseConfig& config);
  TControlPortLoad(const TControlPortLoad&) = delete;
  TControlPortLoad& operator=(const TControlPortLoad&) = delete;
  // Stops the server and the target.
  ~TControlPortLoad();

  // Starts |server| (the quorvane executable). False with Problems() set
  // when it could not be started. Main thread, once.
  bool Start(const std::string& server);

  TNopUnderFlood NopUnderFlood();
  TUdpUnderSpray UdpUnderSpray();

  const std::vector<std::string>& Problems() const { return problems_; }

 private:
  void Problem(const std::string& text);

  const TAbuseConfig config_;
  TControlServer server_;
  TUdpEchoTarget udp_echo_;
  std::vector<std::string> problems_;
};

}  // namespace quorvane::bench
