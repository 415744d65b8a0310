#include "runtime/AddressRate.h"

#include <algorithm>

namespace quorvane {

TAddressRate::TClock::duration TAddressRate::Take(std::uint32_t address, std::uint32_t per_second,
                                                  TClock::time_point now) {
  if (per_second == 0) return TClock::duration::zero();
  // A generic cell rate: each request moves the address's booking one
  // interval on; up to a second of booking ahead of now is the burst.
  const auto interval = std::chrono::duration_cast<TClock::duration>(std::chrono::seconds(1)) / per_second;
  const auto burst = std::chrono::duration_cast<TClock::duration>(std::chrono::seconds(1));
  TMutexLock lock(mu_);
  if (booked_until_.size() >= sweep_at_) Sweep(now);
  TClock::time_point& booked = booked_until_.try_emplace(address, now).first->second;
  booked = std::max(booked, now) + interval;
  const auto turn = booked - burst;
  return turn > now ? turn - now : TClock::duration::zero();
}

void TAddressRate::Sweep(TClock::time_point now) {
  std::erase_if(booked_until_, [now](const auto& item) { return item.second <= now; });
  // Amortised: the next sweep waits until the table has doubled again.
  sweep_at_ = std::max<std::size_t>(1024, 2 * booked_until_.size());
}

}  // namespace quorvane
