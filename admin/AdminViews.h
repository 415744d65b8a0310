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

#include "admin/ProcessStats.h"
#include "requests/RedirectorEntry.h"
#include "requests/RefusalReasons.h"
#include "servers/ConnectFailures.h"
#include "servers/Players.h"

namespace quorvane {

class TRequestsServer;
class TRelayEngine;

namespace admin {

// The counters of one redirector, or a sum of several.
struct TTrafficView {
  std::uint64_t Open = 0;  // relayed TCP connections or UDP sessions open
  std::uint64_t Opened = 0;
  std::uint64_t Expired = 0;
  std::uint64_t Evicted = 0;
  std::uint64_t Unanswered = 0;  // UDP sessions that expired with no answer
  std::uint64_t Failed = 0;      // TCP connects to the target that failed
  std::uint64_t BytesToTarget = 0;
  std::uint64_t BytesFromTarget = 0;
  std::uint64_t DatagramsToTarget = 0;
  std::uint64_t DatagramsFromTarget = 0;
};

struct TRedirectorView {
  std::uint32_t Proto = 0;
  std::uint32_t TargetAddr = 0;  // network order
  std::uint16_t TargetPort = 0;  // as the create request carried it
  std::uint32_t PublicAddr = 0;  // network order
  std::uint16_t PublicPort = 0;  // host order
  std::uint32_t OwnerAddr = 0;   // network order
  std::uint16_t OwnerPort = 0;   // host order
  std::int64_t CreatedAtMs = 0;
  std::int64_t LastActivityMs = 0;  // 0: nothing relayed yet
  std::uint64_t LastFailure = 0;    // PackFailure(); 0: none
  TTrafficView Traffic;
  std::uint64_t Players = 0;
  std::uint64_t Dropped = 0;  // UDP datagrams over the player caps
  std::uint64_t Held = 0;     // times a TCP relay waited for its share
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
  // The requests server's own counters.
  std::uint64_t SessionsAccepted = 0;
  std::array<std::uint64_t, 7> Requests{};     // by packet type, 6 = 6 and above
  std::array<std::uint64_t, 4> NatRequests{};  // by action, 3 = 3 and above
  std::uint64_t CreatesCreated = 0;
  std::uint64_t CreatesReused = 0;
  std::uint64_t CreatesFailed = 0;
  std::uint64_t RequestsThrottled = 0;
  std::uint64_t SessionsClosedUnread = 0;
  // UDP redirectors that are gone, summed.
  TTrafficView RetiredUdp;
  // The relay engine's totals (zero without an engine).
  std::uint64_t TcpRelaysOpen = 0;
  std::uint64_t TcpRelaysTotal = 0;
  std::uint64_t TcpBytesToTarget = 0;
  std::uint64_t TcpBytesFromTarget = 0;
  std::array<std::uint64_t, kConnectFailureCount> TcpConnectFailures{};  // by TConnectFailure
  std::uint64_t DatagramsDropped = 0;                                    // over the player caps
  std::uint64_t RelaysHeld = 0;
  // Waits and lifetimes; with their bounds and zero counts without an
  // engine.
  THistogramView ConnectWait;
  THistogramView AnswerWait;
  THistogramView TcpLifetime;
  THistogramView UdpLifetime;
  std::array<std::uint64_t, kRefusedWorkCount * kRefusalReasonCount> Refusals{};  // work-major
  std::uint64_t LogLinesDropped = 0;
  long DescriptorsOpen = 0;  // as the descriptor budget counts them
  long DescriptorsLimit = 0;
  TProcessStats Process;
};

// Copies what every view shows. |engine| may be null. Any thread; takes
// the registry's lock twice, once for the clients and once for the
// redirectors.
TAdminSnapshot TakeSnapshot(TRequestsServer& server, const TRelayEngine* engine, std::int64_t started_at_ms);

// The players of the redirector with |key| (as a delete request names
// it), or nullopt when there is none. Any thread but a loop's: it waits for
// the redirector's loop, holding the registry's lock only there.
std::optional<TPlayersView> TakePlayers(TRequestsServer& server, const TRedirectorKey& key);

// Sums over the live UDP redirectors plus the retired ones.
TTrafficView UdpTotals(const TAdminSnapshot& snapshot);

// The documents of GET /api/redirectors, /api/sessions and /api/status.
std::string RedirectorsJson(const TAdminSnapshot& snapshot);
std::string SessionsJson(const TAdminSnapshot& snapshot);
std::string StatusJson(const TAdminSnapshot& snapshot);
// GET /api/redirectors/<proto>/<address>/<port>/players.
std::string PlayersJson(const TPlayersView& players);
// GET /metrics: Prometheus text exposition format 0.0.4.
std::string MetricsText(const TAdminSnapshot& snapshot);

// 2026-12-06T23:40:00Z for |ms| since the epoch.
std::string Rfc3339(std::int64_t ms);

// The build this binary was made from (set by the build, see BuildInfo.cpp).
const char* BuildVersion();
const char* BuildCommit();

}  // namespace admin
}  // namespace quorvane
