#include "runtime/AddressRate.h"

#include <algorithm>

namespace quorvane {
namespace {

double Refilled(double tokens, std::chrono::steady_clock::duration elapsed, double rate, double capacity) {
  return std::min(capacity, tokens + std::chrono::duration<double>(elapsed).count() * rate);
}

}  // namespace

TAddressRate::TClock::duration TAddressRate::Take(std::uint32_t address, std::uint32_t per_second,
                                                  TClock::time_point now) {
  if (per_second == 0) return TClock::duration::zero();
  const double rate = per_second;
  std::lock_guard lock(mu_);
  const auto [it, inserted] = buckets_.try_emplace(address, TBucket{rate, now});
  TBucket& bucket = it->second;
  if (!inserted) {
    bucket.tokens = Refilled(bucket.tokens, now - bucket.updated, rate, rate);
    bucket.updated = now;
  }
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    if (buckets_.size() >= sweep_at_) Sweep(per_second, now);
    return TClock::duration::zero();
  }
  const auto wait = std::chrono::duration<double>((1 - bucket.tokens) / rate);
  return std::max<TClock::duration>(std::chrono::duration_cast<TClock::duration>(wait),
                                    std::chrono::microseconds(100));
}

void TAddressRate::Sweep(std::uint32_t per_second, TClock::time_point now) {
  const double rate = per_second;
  std::erase_if(buckets_, [&](const auto& item) {
    return Refilled(item.second.tokens, now - item.second.updated, rate, rate) >= rate;
  });
  // Amortised: the next sweep waits until the table has doubled again.
  sweep_at_ = std::max<std::size_t>(1024, 2 * buckets_.size());
}

}  // namespace quorvane
