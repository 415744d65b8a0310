// What the kernel says about this process, for the process_* families of
// /metrics: read from getrusage(), getrlimit() and /proc when asked, so
// that nothing is kept up to date while nobody looks.
#pragma once

#include <cstdint>

namespace quorvane::admin {

struct TProcessStats {
  double CpuSeconds = 0;  // user and system
  std::uint64_t ResidentBytes = 0;
  std::uint64_t OpenFds = 0;    // the descriptor that counts them included
  std::uint64_t MaxFds = 0;     // RLIMIT_NOFILE, soft
  double StartTimeSeconds = 0;  // since the epoch; 0 when /proc does not tell
};

// Any thread. A value that cannot be read stays 0.
TProcessStats ReadProcessStats();

}  // namespace quorvane::admin
