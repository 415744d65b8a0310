// TServerMetrics: what the requests server has done since it started, for
// the operator's views. Relaxed atomics, written on the request path,
// summed when read; every counter only grows.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "servers/RedirectorStats.h"

namespace quorvane {

struct TServerMetrics {
  // Control connections that became sessions.
  std::atomic<std::uint64_t> SessionsAccepted{0};
  // Packets handled, by PacketType (6 and above counted together at index 6).
  static constexpr std::size_t kTypeSlots = 7;
  std::array<std::atomic<std::uint64_t>, kTypeSlots> Requests{};
  // NAT requests by Action (3 and above counted together at index 3).
  static constexpr std::size_t kActionSlots = 4;
  std::array<std::atomic<std::uint64_t>, kActionSlots> NatRequests{};
  // Creates by outcome; refusals are counted by reason in requests/RefusalReasons.
  std::atomic<std::uint64_t> CreatesCreated{0};
  std::atomic<std::uint64_t> CreatesReused{0};
  std::atomic<std::uint64_t> CreatesFailed{0};  // the redirector could not be set up
  // Requests that waited for their address's share (REQUESTS_PER_ADDRESS).
  std::atomic<std::uint64_t> RequestsThrottled{0};
  // Sessions closed because their client left more replies unread than a
  // session may hold.
  std::atomic<std::uint64_t> SessionsClosedUnread{0};
  // What UDP redirectors that are gone had counted, so that totals never
  // shrink when one is destroyed. (TCP relays are counted by the engine,
  // which lives as long as the process.)
  TRedirectorStats RetiredUdp;

  // Adds |stats|'s totals (TRedirectorShown::kTotal) to RetiredUdp. REQUIRES: nothing writes
  // |stats| any more (its redirector's thread has ended).
  void RetireUdp(const TRedirectorStats& stats);
};

}  // namespace quorvane
