// The process's clocks, in milliseconds: one helper for the whole tree.
// Steady time orders deadlines and never goes back; wall time is what the
// operator's views show (milliseconds since the epoch).
#pragma once

#include <cstdint>
#include <functional>

namespace quorvane {

std::int64_t SteadyMs();
std::int64_t WallMs();

// Where an event loop takes its time from; a test puts in one it moves by
// hand, so that time-outs of seconds fire without waiting for them. An empty
// member means the real clock.
struct TLoopClock {
  std::function<std::int64_t()> Steady;
  std::function<std::int64_t()> Wall;
};

}  // namespace quorvane
