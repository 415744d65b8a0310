// TClientEntry: the client registry's record of one connected client.
// Plain data; the registry (TNatRegistry) owns it, and every field is read
// and written under its lock.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "runtime/FdBudget.h"

namespace quorvane {

struct TRedirectorEntry;

struct TClientEntry {
  std::uint8_t Profile = 0;   // index into ProfileTable, set by Register
  std::uint32_t Address = 0;  // peer address at accept, network order
  std::uint8_t Registered = 0;

  // For the operator's views.
  std::uint16_t PeerPort = 0;      // host order
  std::string Name;                // as the last accepted Register gave it
  std::uint16_t Version = 0;       // of the last accepted Register
  std::int64_t ConnectedAtMs = 0;  // wall clock, ms since the epoch

  // The redirectors this client's session created that are still live,
  // oldest first: its session's end destroys them, newest first. A list, so
  // that each entry leaves it by its own place (TRedirectorEntry::OwnedAt).
  std::list<TRedirectorEntry*> Owned;

  // The session socket's part of the sessions' descriptor share; given
  // back with the entry, after the socket has closed.
  fd_budget::TFdGrant Descriptors;
};

}  // namespace quorvane
