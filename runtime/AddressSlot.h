#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>

#include "runtime/Mutex.h"

namespace quorvane {

class TAddressCounter;

// One unit of an address's share; move-only. An empty slot holds nothing.
class TAddressSlot {
 public:
  TAddressSlot() = default;
  TAddressSlot(const TAddressSlot&) = delete;
  TAddressSlot& operator=(const TAddressSlot&) = delete;
  TAddressSlot(TAddressSlot&& other) noexcept = default;
  TAddressSlot& operator=(TAddressSlot&& other) noexcept;
  ~TAddressSlot() { Release(); }

  explicit operator bool() const { return state_ != nullptr; }
  std::uint32_t Address() const { return address_; }
  // Gives the unit back now; the slot is empty afterwards.
  void Release();

 private:
  friend class TAddressCounter;
  struct TState;
  TAddressSlot(std::shared_ptr<TState> state, std::uint32_t address)
      : state_(std::move(state)), address_(address) {}

  std::shared_ptr<TState> state_;
  std::uint32_t address_ = 0;
};

struct TAddressSlot::TState {
  mutable TMutex Mu;
  std::unordered_map<std::uint32_t, std::uint32_t> Counts GUARDED_BY(Mu);  // no zero entries
};

}  // namespace quorvane
