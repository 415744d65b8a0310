#include "runtime/AddressSlot.h"

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
    TMutexLock lock(state_->Mu);
    const auto it = state_->Counts.find(address_);
    if (it != state_->Counts.end() && --it->second == 0) state_->Counts.erase(it);
  }
  state_.reset();
}

}  // namespace quorvane
