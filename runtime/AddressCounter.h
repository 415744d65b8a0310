// TAddressCounter: how many of something one IPv4 address holds at once
// (control sessions, redirectors, relayed connections), with a limit per
// address. A share is held as a TAddressSlot, which gives itself back when
// it is destroyed, so no path can leak a count. Slots keep the counter's
// state alive, so a slot may outlive the counter that issued it (a relay
// that outlives its redirector).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

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

struct TAddressSlot::TState {
  mutable std::mutex mu;
  std::unordered_map<std::uint32_t, std::uint32_t> counts;  // guarded by mu; no zero entries
};

}  // namespace quorvane
