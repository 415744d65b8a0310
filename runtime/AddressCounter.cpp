#include "runtime/AddressCounter.h"

#include <utility>

namespace quorvane {

TAddressSlot& TAddressSlot::operator=(TAddressSlot&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
    address_ = other.address_;
  }
  return *this;
}

void TAddressSlot::Release() {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mu);
    const auto it = state_->counts.find(address_);
    if (it != state_->counts.end() && --it->second == 0) state_->counts.erase(it);
  }
  state_.reset();
}

TAddressCounter::TAddressCounter() : state_(std::make_shared<TAddressSlot::TState>()) {}

TAddressSlot TAddressCounter::TryAcquire(std::uint32_t address, std::uint32_t limit) {
  std::lock_guard lock(state_->mu);
  // A refused address already holds units, so this never leaves a zero entry.
  std::uint32_t& count = state_->counts[address];
  if (limit != 0 && count >= limit) return {};
  ++count;
  return TAddressSlot(state_, address);
}

std::uint32_t TAddressCounter::Count(std::uint32_t address) const {
  std::lock_guard lock(state_->mu);
  const auto it = state_->counts.find(address);
  return it == state_->counts.end() ? 0 : it->second;
}

}  // namespace quorvane
