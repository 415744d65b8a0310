// TAddressRate: how fast one IPv4 address may make the server work, shared
// by all its sessions: |per_second| requests a second, with bursts of one
// second's worth. A request over the share is not refused but given a later
// turn, spaced 1/|per_second| after the one before it, so that waiting
// sessions wake once each, exactly at their turn, instead of asking again
// and again. A flood from one address then waits for its share instead of
// taking the CPU from everyone else, and its sessions stop reading, so TCP
// flow control slows the sender down. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>

#include "runtime/Mutex.h"

namespace quorvane {

class TAddressRate final {
 public:
  using TClock = std::chrono::steady_clock;

  TAddressRate() = default;
  TAddressRate(const TAddressRate&) = delete;
  TAddressRate& operator=(const TAddressRate&) = delete;

  // Books the next turn of |address| at |now| (|per_second| 0: no limit)
  // and returns how long the caller waits for it; zero when it may go ahead
  // at once. Every call books a turn, so a caller waits once and proceeds.
  TClock::duration Take(std::uint32_t address, std::uint32_t per_second, TClock::time_point now)
      EXCLUDES(mu_);

 private:
  // Forgets addresses whose bookings all lie in the past: they are as
  // good as absent.
  void Sweep(TClock::time_point now) REQUIRES(mu_);

  TMutex mu_;
  // The time at which each address's share is used up to now: its next
  // turn, less the one-second burst.
  std::unordered_map<std::uint32_t, TClock::time_point> booked_until_ GUARDED_BY(mu_);
  std::size_t sweep_at_ GUARDED_BY(mu_) = 1024;
};

}  // namespace quorvane
