// A UDP player beside a flood of the same redirector, under the player caps
// (TRedirectorHost::SetCaps): the player, 127.0.0.2, sends a numbered
// datagram kFloodPlayerRate times a second and the target echoes each, while
// 127.0.0.3 sends as fast as it can from a few sockets (sessions of one
// address, which share its caps). The flood is sent first in small
// datagrams, which meet the datagram cap, then in large ones, which meet
// the byte cap; the target counts what reaches it of each and answers none.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bench/RedirectorHost.h"

namespace quorvane::bench {

inline constexpr int kFloodPlayerRate = 60;  // datagrams a second
inline constexpr int kFloodSockets = 4;

struct TUdpFloodConfig {
  // Long enough for a flood to use up the second's worth its buckets start
  // with, so that the window sees the steady rate.
  int WarmUpMs = 0;
  int PhaseMs = 0;  // measured, per datagram size
};

struct TUdpFloodPhase {
  std::size_t Datagram = 0;  // bytes
  double SentPerS = 0;       // by the flood
  double TargetDatagramsPerS = 0;
  double TargetBytesPerS = 0;
};

struct TUdpFlood {
  bool Measured = false;
  TCapRates Caps;
  std::uint64_t PlayerSent = 0;
  std::uint64_t LostToTarget = 0;
  std::uint64_t LostFromTarget = 0;
  std::array<TUdpFloodPhase, 2> Phases;
  // Datagrams the kernel dropped on full UDP receive buffers while the
  // player played, machine-wide; -1: unknown.
  std::int64_t BufferDrops = -1;
};

// Runs the whole measurement through a new UDP redirector of |host|, with
// |caps|; |problems| gets what went wrong.
TUdpFlood MeasureUdpFlood(TRedirectorHost& host, const TCapRates& caps, const TUdpFloodConfig& config,
                          std::vector<std::string>* problems);

}  // namespace quorvane::bench
