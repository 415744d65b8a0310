// What a redirector is told beyond its addresses: the loop that serves it,
// the limits that protect it, and where it counts what it relays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "servers/Players.h"
#include "servers/RedirectorStats.h"

namespace quorvane {

class TRelayLoop;

// Each UDP session holds a descriptor: without a cap, a peer spraying source
// ports would exhaust the process's descriptors.
inline constexpr std::size_t kMaxUdpSessions = 1024;

struct TRedirectorOptions {
  // The loop that serves the redirector, its relays and its UDP sessions.
  // Required; not owned: it outlives the redirector.
  TRelayLoop* Loop = nullptr;
  // Relayed TCP connections or UDP sessions open at once from one remote
  // address; 0: no limit. Over it a TCP connection is closed at once and a
  // datagram that would open a UDP session is dropped.
  std::uint32_t ConnectionsPerAddress = 0;
  // UDP sessions of one redirector; at the cap the longest silent one is
  // evicted. At least 1.
  std::size_t UdpSessions = kMaxUdpSessions;
  // Whose redirector it is (network order): its UDP session sockets are
  // charged to this address's part of the redirectors' descriptor share,
  // not to their clients', whose source addresses may be forged.
  std::uint32_t OwnerAddress = 0;
  // The address players reach a redirector at that listens on every local
  // address (network order), as its log lines name it.
  std::uint32_t PublicAddress = 0;
  // What its players may send (servers/Players.h); empty: no caps.
  std::shared_ptr<const TPlayerCaps> Caps{};
  // Where the redirector counts what it relays; made when empty.
  std::shared_ptr<TRedirectorStats> Stats{};
};

}  // namespace quorvane
