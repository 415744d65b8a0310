// TAddressCounter: how many of something one IPv4 address holds at once
// (control sessions, redirectors, relayed connections), with a limit per
// address. A share is held as a TAddressSlot, which gives itself back when
// it is destroyed, so no path can leak a count. Slots keep the counter's
// state alive, so a slot may outlive the counter that issued it (a relay
// that outlives its redirector).
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/AddressSlot.h"

namespace quorvane {

// Thread-safe.
class TAddressCounter {
 public:
  TAddressCounter();
  TAddressCounter(const TAddressCounter&) = delete;
  TAddressCounter& operator=(const TAddressCounter&) = delete;

  // One more unit for |address| (network order), unless it already holds
  // |limit| (0: no limit). An empty slot means refused.
  TAddressSlot TryAcquire(std::uint32_t address, std::uint32_t limit);
  // Units |address| holds now.
  std::uint32_t Count(std::uint32_t address) const;

 private:
  std::shared_ptr<TAddressSlot::TState> state_;
};

}  // namespace quorvane
