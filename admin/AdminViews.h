// What the admin endpoint shows, copied out of the running server, and its
// renderings: the JSON documents of /api/* and the Prometheus text of
// /metrics.
//
// TakeSnapshot() holds the registry's lock only for as long as it copies
// plain values out (one list at a time); every rendering works
// on the copy afterwards, with no lock held. Counters are relaxed atomics
// read one by one, so a snapshot is not one instant, but no counter it shows
// ever goes backwards between snapshots: the totals of UDP redirectors that
// are gone are read under the same lock under which they were handed over.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "admin/MetricsTable.h"
#include "admin/ProcessStats.h"
#include "requests/RedirectorEntry.h"
#include "requests/RefusalReasons.h"
#include "servers/Players.h"
#include "servers/RedirectorStats.h"

namespace quorvane {

class TRequestsServer;
class TRelayEngine;

namespace admin {

// The counters of kRedirectorCounters, in its order.
using TRedirectorCounts = std::array<std::uint64_t, kRedirectorCounterCount>;

struct TRedirectorView {
  std::uint32_t Proto = 0;
  std::uint32_t TargetAddr = 0;  // network order
  std::uint16_t TargetPort = 0;  // as the create request carried it
  std::uint32_t PublicAddr = 0;  // network order
  std::uint16_t PublicPort = 0;  // host order
  std::uint32_t OwnerAddr = 0;   // network order
  std::uint16_t OwnerPort = 0;   // host order
  std::int64_t CreatedAtMs = 0;
  TRedirectorCounts Counters{};
};

// One redirector's players, read on its loop.
struct TPlayersView {
  TRedirectorView Redirector;
  std::vector<TPlayerView> Players;
};

struct TSessionView {
  std::uint32_t PeerAddr = 0;  // network order
  std::uint16_t PeerPort = 0;  // host order
  bool Registered = false;
  std::string Name;
  std::uint16_t Version = 0;
  std::uint8_t Profile = 0;
  std::int64_t ConnectedAtMs = 0;
};

struct TAdminSnapshot {
  std::int64_t NowMs = 0;
  std::int64_t StartedAtMs = 0;
  std::vector<TSessionView> Sessions;
  std::vector<TRedirectorView> Redirectors;
  // The totals of the UDP redirectors that are gone.
  TRedirectorCounts RetiredUdp{};
  TProcessStats Process;
  // The samples of each of kMetricFamilies, in its order.
  std::vector<std::vector<TMetricSample>> Families;
};

// Copies what every view shows. |engine| may be null. Any thread; takes
// the registry's lock twice, once for the clients and once for the
// redirectors.
TAdminSnapshot TakeSnapshot(TRequestsServer& server, const TRelayEngine* engine, std::int64_t started_at_ms);

// The players of the redirector with |key| (as a delete request names
// it), or nullopt when there is none. Any thread but a loop's: it waits for
// the redirector's loop, holding the registry's lock only there.
std::optional<TPlayersView> TakePlayers(TRequestsServer& server, const TRedirectorKey& key);

// "A:P", the address and port players are told.
std::string PublicName(const TRedirectorView& redirector);

// The documents of GET /api/redirectors, /api/sessions and /api/status.
std::string RedirectorsJson(const TAdminSnapshot& snapshot);
std::string SessionsJson(const TAdminSnapshot& snapshot);
std::string StatusJson(const TAdminSnapshot& snapshot);
// GET /api/redirectors/<proto>/<address>/<port>/players.
std::string PlayersJson(const TPlayersView& players);
// GET /metrics: Prometheus text exposition format 0.0.4.
std::string MetricsText(const TAdminSnapshot& snapshot);
// GET /: the status page, with its cards (kStatusCards) filled in.
const std::string& StatusPageText();

// 2026-12-06T23:40:00Z for |ms| since the epoch.
std::string Rfc3339(std::int64_t ms);

// The build this binary was made from (set by the build, see BuildInfo.cpp).
const char* BuildVersion();
const char* BuildCommit();

}  // namespace admin
}  // namespace quorvane
