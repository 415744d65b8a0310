// TRedirectorStats: what one redirector has relayed, for the operator's
// views. Written by whichever thread relays (the redirector's own thread,
// relay threads) with relaxed atomics, read by anyone; shared, because
// relays may outlive their redirector.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace quorvane {

struct TRedirectorStats {
  // Bytes (TCP) or datagram bytes (UDP) from remote players towards the
  // target, and from the target back to them.
  std::atomic<std::uint64_t> BytesToTarget{0};
  std::atomic<std::uint64_t> BytesFromTarget{0};
  // Datagrams each way (UDP only).
  std::atomic<std::uint64_t> DatagramsToTarget{0};
  std::atomic<std::uint64_t> DatagramsFromTarget{0};
  // Relayed TCP connections or UDP sessions open now, and ever opened.
  std::atomic<std::uint32_t> Open{0};
  std::atomic<std::uint64_t> Opened{0};
  // UDP sessions that ended by time-out, and by eviction at the cap.
  std::atomic<std::uint64_t> Expired{0};
  std::atomic<std::uint64_t> Evicted{0};
  // UDP sessions that expired without a single datagram back: a target
  // that is down or filtered, as players see it.
  std::atomic<std::uint64_t> Unanswered{0};
  // TCP connects to the target that failed, and the last failure
  // (PackFailure): one word, so that its time and error are never read
  // from two different failures. 0 while none failed.
  std::atomic<std::uint64_t> Failed{0};
  std::atomic<std::uint64_t> LastFailure{0};
  // Players now: TCP relays held (connecting ones included) or UDP
  // sessions.
  std::atomic<std::uint32_t> Players{0};
  // Over the player caps: UDP datagrams dropped, and the times a TCP relay
  // stopped reading its player until its share returned.
  std::atomic<std::uint64_t> Dropped{0};
  std::atomic<std::uint64_t> Held{0};
  // Wall-clock milliseconds since the epoch of the last relayed byte or
  // datagram; 0 while nothing was relayed.
  std::atomic<std::int64_t> LastActivityMs{0};
};

// How the views show a counter of TRedirectorStats.
enum class TRedirectorShown : std::uint8_t {
  kCount,    // as it is now
  kTotal,    // only grows: summed over the UDP redirectors for the totals,
             // those that are gone included (TServerMetrics::RetireUdp)
  kWallMs,   // a time, none while 0
  kFailure,  // a PackFailure(), none while 0
};

// One counter of TRedirectorStats as the views read it, and as a gone
// redirector's totals keep it.
struct TRedirectorCounter {
  std::string_view Name;  // also its key in /api/redirectors, where Listed
  bool Listed;
  TRedirectorShown Shown;
  std::uint64_t (*Read)(const TRedirectorStats& stats);
  void (*AddTo)(TRedirectorStats& sum, const TRedirectorStats& stats);
};

template <auto kMember>
constexpr TRedirectorCounter RedirectorCounter(std::string_view name, bool listed, TRedirectorShown shown) {
  constexpr auto kRelaxed = std::memory_order_relaxed;
  return {name, listed, shown,
          [](const TRedirectorStats& stats) {
            return static_cast<std::uint64_t>((stats.*kMember).load(kRelaxed));
          },
          [](TRedirectorStats& sum, const TRedirectorStats& stats) {
            (sum.*kMember).fetch_add((stats.*kMember).load(kRelaxed), kRelaxed);
          }};
}

// Every counter the views show of a redirector, in the order
// /api/redirectors lists them; a new one needs its line here and nothing
// else for that list, the UDP totals it takes part in and their retirement.
inline constexpr TRedirectorCounter kRedirectorCounters[] = {
    RedirectorCounter<&TRedirectorStats::Open>("open", true, TRedirectorShown::kCount),
    RedirectorCounter<&TRedirectorStats::Opened>("opened", true, TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::Failed>("failed", true, TRedirectorShown::kCount),
    RedirectorCounter<&TRedirectorStats::LastFailure>("last_failure", true, TRedirectorShown::kFailure),
    RedirectorCounter<&TRedirectorStats::Unanswered>("unanswered", true, TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::BytesToTarget>("bytes_to_target", true, TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::BytesFromTarget>("bytes_from_target", true,
                                                          TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::DatagramsToTarget>("datagrams_to_target", true,
                                                            TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::DatagramsFromTarget>("datagrams_from_target", true,
                                                              TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::LastActivityMs>("last_activity", true, TRedirectorShown::kWallMs),
    RedirectorCounter<&TRedirectorStats::Players>("players", true, TRedirectorShown::kCount),
    RedirectorCounter<&TRedirectorStats::Dropped>("dropped", true, TRedirectorShown::kCount),
    RedirectorCounter<&TRedirectorStats::Held>("held", true, TRedirectorShown::kCount),
    RedirectorCounter<&TRedirectorStats::Expired>("expired", false, TRedirectorShown::kTotal),
    RedirectorCounter<&TRedirectorStats::Evicted>("evicted", false, TRedirectorShown::kTotal),
};
inline constexpr std::size_t kRedirectorCounterCount = std::size(kRedirectorCounters);

// Where the counter |name| is in kRedirectorCounters; a name that is not
// there does not build.
consteval std::size_t RedirectorCounterIndex(std::string_view name) {
  std::size_t index = 0;
  while (kRedirectorCounters[index].Name != name) ++index;
  return index;
}

// A failure at |wall_ms| since the epoch with |error| (an errno value).
inline std::uint64_t PackFailure(std::int64_t wall_ms, int error) {
  return static_cast<std::uint64_t>(wall_ms) << 16 | (static_cast<std::uint64_t>(error) & 0xffff);
}
inline std::int64_t FailureWallMs(std::uint64_t packed) { return static_cast<std::int64_t>(packed >> 16); }
inline int FailureError(std::uint64_t packed) { return static_cast<int>(packed & 0xffff); }

}  // namespace quorvane
