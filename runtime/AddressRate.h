// TAddressRate: how fast one IPv4 address may make the server work, as a
// token bucket per address shared by all its sessions. A flood from one
// address then waits for its share instead of taking the CPU from everyone
// else, and its sessions stop reading, so TCP flow control slows the
// sender down. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace quorvane {

class TAddressRate final {
 public:
  using TClock = std::chrono::steady_clock;

  TAddressRate() = default;
  TAddressRate(const TAddressRate&) = delete;
  TAddressRate& operator=(const TAddressRate&) = delete;

  // Takes one unit of |address|'s share at |now|, |per_second| units a
  // second with a burst of one second's worth (0: no limit). Returns zero
  // when the unit was taken, else how long to wait before asking again.
  TClock::duration Take(std::uint32_t address, std::uint32_t per_second, TClock::time_point now);

 private:
  struct TBucket {
    double tokens = 0;
    TClock::time_point updated;
  };
  // Forgets buckets that have refilled completely: they hold nothing an
  // absent bucket would not. REQUIRES: mu_ held.
  void Sweep(std::uint32_t per_second, TClock::time_point now);

  std::mutex mu_;
  std::unordered_map<std::uint32_t, TBucket> buckets_;  // guarded by mu_
  std::size_t sweep_at_ = 1024;                         // guarded by mu_
};

}  // namespace quorvane
