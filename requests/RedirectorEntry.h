// TRedirectorEntry: the redirector registry's record of one live
// redirector, which it owns. Key: (Proto, ClientAddr, ClientPort). Every
// field is read and written under TRequestsServer::RedirectorList's lock.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/AddressCounter.h"
#include "runtime/Thread.h"
#include "servers/RedirectorStats.h"

namespace quorvane {

class TRequestsServerThread;

struct TRedirectorEntry {
  std::uint32_t Proto = 0;
  std::uint32_t ClientAddr = 0;  // network order
  std::uint32_t PublicAddr = 0;  // network order
  std::uint16_t ClientPort = 0;  // as the request carries it
  std::uint16_t PublicPort = 0;  // network order
  std::unique_ptr<TThread> Redirector;
  TRequestsServerThread* Owner = nullptr;  // not owned

  // The owning session's share of its address's redirectors; given back
  // when the entry goes.
  TAddressSlot OwnerSlot;
  // For the operator's views.
  std::uint32_t OwnerAddr = 0;   // the owning session's peer, network order
  std::uint16_t OwnerPort = 0;   // host order
  std::int64_t CreatedAtMs = 0;  // wall clock, ms since the epoch
  std::shared_ptr<TRedirectorStats> Stats;
};

struct TServerMetrics;

// Terminates the entry's redirector, waits for its thread and frees it; the
// redirector's port is closed when this returns. What a UDP redirector
// counted passes to |metrics|. REQUIRES: RedirectorList locked.
void DestroyRedirector(TRedirectorEntry& entry, TServerMetrics& metrics);

}  // namespace quorvane
