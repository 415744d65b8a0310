#include "runtime/AddressCounter.h"

namespace quorvane {

TAddressCounter::TAddressCounter() : state_(std::make_shared<TAddressSlot::TState>()) {}

TAddressSlot TAddressCounter::TryAcquire(std::uint32_t address, std::uint32_t limit) {
  TMutexLock lock(state_->Mu);
  // A refused address already holds units, so this never leaves a zero entry.
  std::uint32_t& count = state_->Counts[address];
  if (limit != 0 && count >= limit) return {};
  ++count;
  return TAddressSlot(state_, address);
}

std::uint32_t TAddressCounter::Count(std::uint32_t address) const {
  TMutexLock lock(state_->Mu);
  const auto it = state_->Counts.find(address);
  return it == state_->Counts.end() ? 0 : it->second;
}

}  // namespace quorvane
