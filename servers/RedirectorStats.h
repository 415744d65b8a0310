// TRedirectorStats: what one redirector has relayed, for the operator's
// views. Written by whichever thread relays (the redirector's own thread,
// relay threads) with relaxed atomics, read by anyone; shared, because
// relays may outlive their redirector.
#pragma once

#include <atomic>
#include <cstdint>

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

// A failure at |wall_ms| since the epoch with |error| (an errno value).
inline std::uint64_t PackFailure(std::int64_t wall_ms, int error) {
  return static_cast<std::uint64_t>(wall_ms) << 16 | (static_cast<std::uint64_t>(error) & 0xffff);
}
inline std::int64_t FailureWallMs(std::uint64_t packed) { return static_cast<std::int64_t>(packed >> 16); }
inline int FailureError(std::uint64_t packed) { return static_cast<int>(packed & 0xffff); }

}  // namespace quorvane
