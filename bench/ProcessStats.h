// What the benchmark reads about the processes under test from /proc: their
// CPU time, resident memory, threads and open descriptors, summed over a set
// of processes (a relay that runs as a master and its workers counts whole).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace quorvane::bench {

// Sums over a set of processes; -1 where nothing could be read.
struct TProcessSample {
  // Run time of every thread, in nanoseconds, from
  // /proc/<pid>/task/*/schedstat; utime + stime of /proc/<pid>/stat (clock
  // ticks) where schedstat is missing.
  std::int64_t CpuNs = -1;
  // utime + stime of /proc/<pid>/stat only, in nanoseconds (tick resolution).
  std::int64_t StatCpuNs = -1;
  std::int64_t RssKib = -1;       // VmRSS of /proc/<pid>/status
  std::int64_t Threads = -1;      // entries of /proc/<pid>/task
  std::int64_t Descriptors = -1;  // entries of /proc/<pid>/fd
};

// |root| and every process descended from it, found through the parent
// field of /proc/*/stat. Empty when |root| is gone.
std::vector<pid_t> ProcessTree(pid_t root);

TProcessSample SampleProcesses(const std::vector<pid_t>& pids);

}  // namespace quorvane::bench
