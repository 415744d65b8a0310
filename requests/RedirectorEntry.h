// TRedirectorEntry: the redirector registry's record of one live
// redirector, which it owns. Key: (Proto, ClientAddr, ClientPort). Every
// field is read and written under the registry's lock (TNatRegistry).
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>

#include "runtime/AddressCounter.h"
#include "runtime/FdBudget.h"
#include "servers/Redirector.h"
#include "servers/RedirectorStats.h"

namespace quorvane {

struct TClientEntry;

// A redirector's key: what a request names it by.
struct TRedirectorKey {
  std::uint32_t Proto = 0;
  std::uint32_t Address = 0;  // network order
  std::uint16_t Port = 0;     // as the request carries it
  bool operator==(const TRedirectorKey&) const = default;
};

struct TRedirectorKeyHash {
  std::size_t operator()(const TRedirectorKey& key) const {
    const std::uint64_t mixed = (std::uint64_t{key.Address} << 16 | key.Port) * 0x9E3779B97F4A7C15ULL;
    return static_cast<std::size_t>(mixed ^ (mixed >> 29) ^ key.Proto);
  }
};

struct TRedirectorEntry {
  std::uint32_t Proto = 0;
  std::uint32_t ClientAddr = 0;  // network order
  std::uint32_t PublicAddr = 0;  // network order
  std::uint16_t ClientPort = 0;  // as the request carries it
  std::uint16_t PublicPort = 0;  // network order
  // Its profile: which ANNOUNCE its replies carry, as the configuration in
  // force at the reply says (AnnouncedAddr), in place of PublicAddr.
  std::uint8_t Profile = 0;
  // Served by its own loop; destroyed there (TNatRegistry::Destroy).
  std::unique_ptr<TRedirector> Redirector;
  // The client entry of the session that created it, which owns it; not
  // owned. Its place in that entry's Owned list is OwnedAt.
  TClientEntry* OwnerEntry = nullptr;
  std::list<TRedirectorEntry*>::iterator OwnedAt;

  // The owning session's share of its address's redirectors; given back
  // when the entry goes.
  TAddressSlot OwnerSlot;
  // Its part of the redirectors' descriptor share, charged to the owner's
  // address.
  fd_budget::TFdGrant Descriptors;
  // For the operator's views.
  std::uint32_t OwnerAddr = 0;   // the owning session's peer, network order
  std::uint16_t OwnerPort = 0;   // host order
  std::int64_t CreatedAtMs = 0;  // wall clock, ms since the epoch
  std::shared_ptr<TRedirectorStats> Stats;

  TRedirectorKey Key() const { return {Proto, ClientAddr, ClientPort}; }
};

}  // namespace quorvane
