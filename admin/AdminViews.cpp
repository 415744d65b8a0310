#include "admin/AdminViews.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>
#include <tuple>

#include "admin/PrometheusText.h"
#include "requests/RequestsServer.h"
#include "runtime/Clock.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "servers/RelayEngine.h"

namespace quorvane::admin {
namespace {

using TJson = nlohmann::ordered_json;
constexpr auto kRelaxed = std::memory_order_relaxed;

TTrafficView Load(const TRedirectorStats& stats) {
  TTrafficView view;
  view.Open = stats.Open.load(kRelaxed);
  view.Opened = stats.Opened.load(kRelaxed);
  view.Expired = stats.Expired.load(kRelaxed);
  view.Evicted = stats.Evicted.load(kRelaxed);
  view.Unanswered = stats.Unanswered.load(kRelaxed);
  view.Failed = stats.Failed.load(kRelaxed);
  view.BytesToTarget = stats.BytesToTarget.load(kRelaxed);
  view.BytesFromTarget = stats.BytesFromTarget.load(kRelaxed);
  view.DatagramsToTarget = stats.DatagramsToTarget.load(kRelaxed);
  view.DatagramsFromTarget = stats.DatagramsFromTarget.load(kRelaxed);
  return view;
}

void Add(TTrafficView& sum, const TTrafficView& part) {
  sum.Open += part.Open;
  sum.Opened += part.Opened;
  sum.Expired += part.Expired;
  sum.Evicted += part.Evicted;
  sum.Unanswered += part.Unanswered;
  sum.Failed += part.Failed;
  sum.BytesToTarget += part.BytesToTarget;
  sum.BytesFromTarget += part.BytesFromTarget;
  sum.DatagramsToTarget += part.DatagramsToTarget;
  sum.DatagramsFromTarget += part.DatagramsFromTarget;
}

bool IsTcp(std::uint32_t proto) { return proto == kProtoTcp; }
const char* Kind(std::uint32_t proto) { return IsTcp(proto) ? "tcp" : "udp"; }

TJson Endpoint(std::uint32_t addr, std::uint16_t port) {
  return {{"address", AddrToStr(addr)}, {"port", port}};
}

std::string Name(std::uint32_t addr, std::uint16_t port) {
  return AddrToStr(addr) + ":" + std::to_string(port);
}

TJson Time(std::int64_t ms) { return ms == 0 ? TJson(nullptr) : TJson(Rfc3339(ms)); }

TJson Failure(std::uint64_t packed) {
  if (packed == 0) return nullptr;
  const int error = FailureError(packed);
  return {{"reason", ConnectFailureName(ConnectFailureOf(error))},
          {"error", std::error_code(error, std::system_category()).message()},
          {"at", Rfc3339(FailureWallMs(packed))}};
}

// Client names are whatever bytes a Register carried: invalid UTF-8 is
// replaced rather than refused.
std::string Dump(const TJson& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::uint64_t RefusalsFor(const TAdminSnapshot& snapshot, TRefusedWork work, TRefusalReason reason) {
  return snapshot
      .Refusals[static_cast<std::size_t>(work) * kRefusalReasonCount + static_cast<std::size_t>(reason)];
}

std::uint64_t RefusalsFor(const TAdminSnapshot& snapshot, TRefusalReason reason) {
  std::uint64_t sum = 0;
  for (std::size_t work = 0; work < kRefusedWorkCount; ++work)
    sum += RefusalsFor(snapshot, static_cast<TRefusedWork>(work), reason);
  return sum;
}

// "UDP sessions" -> "udp_sessions": label values in the usual style.
std::string LabelValue(std::string_view name) {
  std::string value;
  for (const char c : name)
    value += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return value;
}

// Public as players are told it: ANNOUNCE in force, else where it listens.
TRedirectorView ViewOf(const TRedirectorEntry& entry, const TServerConfig& config) {
  TRedirectorView view;
  view.Proto = entry.Proto;
  view.TargetAddr = entry.ClientAddr;
  view.TargetPort = entry.ClientPort;
  view.PublicAddr = AnnouncedAddr(config, entry.Profile, entry.PublicAddr);
  view.PublicPort = ntohs(entry.PublicPort);
  view.OwnerAddr = entry.OwnerAddr;
  view.OwnerPort = entry.OwnerPort;
  view.CreatedAtMs = entry.CreatedAtMs;
  if (entry.Stats) {
    const TRedirectorStats& stats = *entry.Stats;
    view.Traffic = Load(stats);
    view.LastActivityMs = stats.LastActivityMs.load(kRelaxed);
    view.LastFailure = stats.LastFailure.load(kRelaxed);
    view.Players = stats.Players.load(kRelaxed);
    view.Dropped = stats.Dropped.load(kRelaxed);
    view.Held = stats.Held.load(kRelaxed);
  }
  return view;
}

// What an engine that observed nothing (or none at all) shows: the bounds
// are there, so that every bucket is still exported.
template <std::size_t N>
THistogramView Histogram(const std::array<std::int64_t, N>& bounds, const THistogramView& observed) {
  if (!observed.BoundsMs.empty()) return observed;
  return {{bounds.begin(), bounds.end()}, std::vector<std::uint64_t>(N + 1, 0), 0};
}

// p50 and p99 in ms (null while nothing was observed) and the count.
TJson Waits(const THistogramView& histogram) {
  const auto quantile = [&](double q) {
    const double ms = histogram.QuantileMs(q);
    return ms < 0 ? TJson(nullptr) : TJson(std::round(ms * 10) / 10);
  };
  return {{"p50_ms", quantile(0.5)}, {"p99_ms", quantile(0.99)}, {"count", histogram.Total()}};
}

}  // namespace

std::string Rfc3339(std::int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return std::string(text, length);
}

TAdminSnapshot TakeSnapshot(TRequestsServer& server, const TRelayEngine* engine, std::int64_t started_at_ms) {
  TAdminSnapshot snapshot;
  snapshot.NowMs = WallMs();
  snapshot.StartedAtMs = started_at_ms;
  server.Registry().VisitClients([&](const TClientEntry& entry) {
    snapshot.Sessions.push_back({entry.Address, entry.PeerPort, entry.Registered != 0, entry.Name,
                                 entry.Version, entry.Profile, entry.ConnectedAtMs});
  });
  const TConfigSnapshot config = CurrentConfig();
  // The retired counts are read under the same lock as the live ones, so
  // that a redirector is counted either live or retired here, never both
  // and never neither.
  server.Registry().VisitRedirectors(
      [&](const TRedirectorEntry& entry) { snapshot.Redirectors.push_back(ViewOf(entry, *config)); },
      [&](const TRedirectorStats& retired) { Add(snapshot.RetiredUdp, Load(retired)); });
  const TServerMetrics& metrics = server.Metrics();
  snapshot.SessionsAccepted = metrics.SessionsAccepted.load(kRelaxed);
  for (std::size_t i = 0; i < snapshot.Requests.size(); ++i)
    snapshot.Requests[i] = metrics.Requests[i].load(kRelaxed);
  for (std::size_t i = 0; i < snapshot.NatRequests.size(); ++i)
    snapshot.NatRequests[i] = metrics.NatRequests[i].load(kRelaxed);
  snapshot.CreatesCreated = metrics.CreatesCreated.load(kRelaxed);
  snapshot.CreatesReused = metrics.CreatesReused.load(kRelaxed);
  snapshot.CreatesFailed = metrics.CreatesFailed.load(kRelaxed);
  snapshot.RequestsThrottled = metrics.RequestsThrottled.load(kRelaxed);
  snapshot.SessionsClosedUnread = metrics.SessionsClosedUnread.load(kRelaxed);
  const TRelayEngineCounters counters = engine != nullptr ? engine->Counters() : TRelayEngineCounters{};
  snapshot.TcpRelaysOpen = counters.RelaysOpen;
  snapshot.TcpRelaysTotal = counters.RelaysTotal;
  snapshot.TcpBytesToTarget = counters.BytesToTarget;
  snapshot.TcpBytesFromTarget = counters.BytesFromTarget;
  snapshot.TcpConnectFailures = counters.ConnectFailures;
  snapshot.DatagramsDropped = counters.DatagramsDropped;
  snapshot.RelaysHeld = counters.RelaysHeld;
  snapshot.ConnectWait = Histogram(kWaitBoundsMs, counters.ConnectWait);
  snapshot.AnswerWait = Histogram(kWaitBoundsMs, counters.AnswerWait);
  snapshot.TcpLifetime = Histogram(kLifetimeBoundsMs, counters.TcpLifetime);
  snapshot.UdpLifetime = Histogram(kLifetimeBoundsMs, counters.UdpLifetime);
  for (std::size_t work = 0; work < kRefusedWorkCount; ++work) {
    for (std::size_t reason = 0; reason < kRefusalReasonCount; ++reason) {
      snapshot.Refusals[work * kRefusalReasonCount + reason] =
          RefusalTotal(static_cast<TRefusedWork>(work), static_cast<TRefusalReason>(reason));
    }
  }
  snapshot.LogLinesDropped = LogLinesDropped();
  snapshot.DescriptorsOpen = fd_budget::Open();
  snapshot.DescriptorsLimit = fd_budget::Limit();
  snapshot.Process = ReadProcessStats();
  return snapshot;
}

std::optional<TPlayersView> TakePlayers(TRequestsServer& server, const TRedirectorKey& key) {
  TPlayersView players;
  const TConfigSnapshot config = CurrentConfig();
  const bool found = server.Registry().VisitOnLoop(key, [&](const TRedirectorEntry& entry) {
    players.Redirector = ViewOf(entry, *config);
    players.Players = entry.Redirector->Players();
  });
  if (!found) return std::nullopt;
  return players;
}

TTrafficView UdpTotals(const TAdminSnapshot& snapshot) {
  TTrafficView sum = snapshot.RetiredUdp;
  sum.Open = 0;  // nothing retired is open
  for (const TRedirectorView& r : snapshot.Redirectors)
    if (!IsTcp(r.Proto)) Add(sum, r.Traffic);
  return sum;
}

std::string RedirectorsJson(const TAdminSnapshot& snapshot) {
  TJson list = TJson::array();
  for (const TRedirectorView& r : snapshot.Redirectors) {
    list.push_back({{"proto", r.Proto},
                    {"kind", Kind(r.Proto)},
                    {"target", Endpoint(r.TargetAddr, r.TargetPort)},
                    {"public", Endpoint(r.PublicAddr, r.PublicPort)},
                    {"owner", Endpoint(r.OwnerAddr, r.OwnerPort)},
                    {"created_at", Rfc3339(r.CreatedAtMs)},
                    {"open", r.Traffic.Open},
                    {"opened", r.Traffic.Opened},
                    {"failed", r.Traffic.Failed},
                    {"last_failure", Failure(r.LastFailure)},
                    {"unanswered", r.Traffic.Unanswered},
                    {"bytes_to_target", r.Traffic.BytesToTarget},
                    {"bytes_from_target", r.Traffic.BytesFromTarget},
                    {"datagrams_to_target", r.Traffic.DatagramsToTarget},
                    {"datagrams_from_target", r.Traffic.DatagramsFromTarget},
                    {"last_activity", Time(r.LastActivityMs)},
                    {"players", r.Players},
                    {"dropped", r.Dropped},
                    {"held", r.Held}});
  }
  return Dump({{"redirectors", std::move(list)}});
}

std::string SessionsJson(const TAdminSnapshot& snapshot) {
  TJson list = TJson::array();
  for (const TSessionView& s : snapshot.Sessions) {
    // A session's redirectors are those whose owner is its peer: address
    // and port name one live control connection.
    TJson owned = TJson::array();
    for (const TRedirectorView& r : snapshot.Redirectors) {
      if (r.OwnerAddr != s.PeerAddr || r.OwnerPort != s.PeerPort) continue;
      owned.push_back({{"proto", r.Proto},
                       {"kind", Kind(r.Proto)},
                       {"target", Endpoint(r.TargetAddr, r.TargetPort)},
                       {"public", Endpoint(r.PublicAddr, r.PublicPort)}});
    }
    list.push_back({{"peer", Endpoint(s.PeerAddr, s.PeerPort)},
                    {"registered", s.Registered},
                    {"name", s.Name},
                    {"version", s.Version},
                    {"profile", s.Profile},
                    {"connected_at", Rfc3339(s.ConnectedAtMs)},
                    {"redirectors", std::move(owned)}});
  }
  return Dump({{"sessions", std::move(list)}});
}

std::string PlayersJson(const TPlayersView& players) {
  const TRedirectorView& r = players.Redirector;
  TJson list = TJson::array();
  for (const TPlayerView& p : players.Players) {
    list.push_back({{"remote", Name(p.Address, p.Port)},
                    {"started_at", Rfc3339(p.StartedMs)},
                    {"last_activity", Rfc3339(p.LastActivityMs)},
                    {"bytes_to_target", p.BytesToTarget},
                    {"bytes_from_target", p.BytesFromTarget},
                    {"datagrams_to_target", p.DatagramsToTarget},
                    {"datagrams_from_target", p.DatagramsFromTarget},
                    {"connecting", p.Connecting},
                    {"held", p.Held}});
  }
  return Dump({{"redirector",
                {{"proto", r.Proto},
                 {"kind", Kind(r.Proto)},
                 {"target", Name(r.TargetAddr, r.TargetPort)},
                 {"public", Name(r.PublicAddr, r.PublicPort)}}},
               {"players", std::move(list)}});
}

std::string StatusJson(const TAdminSnapshot& snapshot) {
  std::uint64_t tcp = 0;
  std::uint64_t players = 0;
  for (const TRedirectorView& r : snapshot.Redirectors) {
    tcp += IsTcp(r.Proto) ? 1 : 0;
    players += r.Players;
  }
  const TTrafficView udp = UdpTotals(snapshot);
  TJson refusals = TJson::object();
  for (std::size_t reason = 0; reason < kRefusalReasonCount; ++reason) {
    const auto why = static_cast<TRefusalReason>(reason);
    refusals[std::string(RefusalReasonName(why))] = RefusalsFor(snapshot, why);
  }
  const std::int64_t uptime_ms = std::max<std::int64_t>(0, snapshot.NowMs - snapshot.StartedAtMs);
  const TJson status = {
      {"version", BuildVersion()},
      {"commit", BuildCommit()},
      {"started_at", Rfc3339(snapshot.StartedAtMs)},
      {"uptime_seconds", uptime_ms / 1000},
      {"sessions", {{"open", snapshot.Sessions.size()}, {"accepted", snapshot.SessionsAccepted}}},
      {"redirectors", {{"tcp", tcp}, {"udp", snapshot.Redirectors.size() - tcp}}},
      {"tcp_relays", {{"open", snapshot.TcpRelaysOpen}, {"total", snapshot.TcpRelaysTotal}}},
      {"udp_sessions", {{"open", udp.Open}, {"expired", udp.Expired}, {"evicted", udp.Evicted}}},
      {"bytes",
       {{"to_target", snapshot.TcpBytesToTarget + udp.BytesToTarget},
        {"from_target", snapshot.TcpBytesFromTarget + udp.BytesFromTarget}}},
      {"datagrams", {{"to_target", udp.DatagramsToTarget}, {"from_target", udp.DatagramsFromTarget}}},
      {"players", players},
      {"waits",
       {{"connect", Waits(snapshot.ConnectWait)},
        {"answer", Waits(snapshot.AnswerWait)},
        {"tcp_lifetime", Waits(snapshot.TcpLifetime)},
        {"udp_lifetime", Waits(snapshot.UdpLifetime)}}},
      {"refusals", std::move(refusals)},
      {"log_lines_dropped", snapshot.LogLinesDropped},
      {"descriptors", {{"open", snapshot.DescriptorsOpen}, {"limit", snapshot.DescriptorsLimit}}}};
  return Dump(status);
}

std::string MetricsText(const TAdminSnapshot& snapshot) {
  TPrometheusText out;
  out.Family("quorvane_build_info", "gauge", "The running build: version and commit, always 1.");
  out.Sample({{"version", BuildVersion()}, {"commit", BuildCommit()}}, 1);
  out.Single("quorvane_start_time_seconds", "gauge", "When the server started, in seconds since the epoch.",
             static_cast<std::uint64_t>(snapshot.StartedAtMs / 1000));

  out.Single("quorvane_sessions_open", "gauge", "Control sessions open now.", snapshot.Sessions.size());
  out.Single("quorvane_sessions_accepted_total", "counter", "Control connections that became sessions.",
             snapshot.SessionsAccepted);

  static constexpr const char* kTypes[] = {
      "nop", "register_request", "register_reply", "address_entry", "nat_request", "nat_reply", "other"};
  static_assert(std::size(kTypes) == std::tuple_size_v<decltype(snapshot.Requests)>);
  out.Family("quorvane_requests_total", "counter", "Control packets handled, by packet type.");
  for (std::size_t i = 0; i < std::size(kTypes); ++i) out.Sample({{"type", kTypes[i]}}, snapshot.Requests[i]);
  out.Single("quorvane_requests_throttled_total", "counter",
             "Requests that waited for their address's share (REQUESTS_PER_ADDRESS).",
             snapshot.RequestsThrottled);
  static constexpr const char* kActions[] = {"query", "create", "delete", "other"};
  static_assert(std::size(kActions) == std::tuple_size_v<decltype(snapshot.NatRequests)>);
  out.Family("quorvane_nat_requests_total", "counter", "NAT requests, by action.");
  for (std::size_t i = 0; i < std::size(kActions); ++i)
    out.Sample({{"action", kActions[i]}}, snapshot.NatRequests[i]);

  out.Family(
      "quorvane_creates_total", "counter",
      "NAT creates by outcome; a refused one is counted in quorvane_refusals_total{work=\"creates\"}.");
  out.Sample({{"outcome", "created"}}, snapshot.CreatesCreated);
  out.Sample({{"outcome", "reused"}}, snapshot.CreatesReused);
  out.Sample({{"outcome", "failed"}}, snapshot.CreatesFailed);

  std::uint64_t tcp = 0;
  for (const TRedirectorView& r : snapshot.Redirectors) tcp += IsTcp(r.Proto) ? 1 : 0;
  out.Family("quorvane_redirectors_open", "gauge", "Redirectors open now, by protocol.");
  out.Sample({{"proto", "tcp"}}, tcp);
  out.Sample({{"proto", "udp"}}, snapshot.Redirectors.size() - tcp);

  out.Single("quorvane_tcp_relays_open", "gauge",
             "Relayed TCP connections open now, connecting ones included.", snapshot.TcpRelaysOpen);
  out.Single("quorvane_tcp_relays_total", "counter", "Relayed TCP connections ever started.",
             snapshot.TcpRelaysTotal);
  out.Family("quorvane_relay_connect_failures_total", "counter",
             "Relayed connections whose connect to the target failed, by protocol and reason.");
  for (std::size_t reason = 0; reason < kConnectFailureCount; ++reason) {
    out.Sample({{"proto", "tcp"}, {"reason", ConnectFailureName(static_cast<TConnectFailure>(reason))}},
               snapshot.TcpConnectFailures[reason]);
  }

  out.Single("quorvane_tcp_relays_held_total", "counter",
             "Times a TCP relay stopped reading its player until its share under the caps returned.",
             snapshot.RelaysHeld);
  out.Family("quorvane_redirector_relays_held_total", "counter",
             "Times a TCP relay of a live redirector waited for its share under the caps, by redirector "
             "(only those that ever held one).");
  for (const TRedirectorView& r : snapshot.Redirectors)
    if (IsTcp(r.Proto) && r.Held > 0) out.Sample({{"redirector", Name(r.PublicAddr, r.PublicPort)}}, r.Held);
  out.Family("quorvane_tcp_connect_wait_seconds", "histogram",
             "Time from a TCP player's accept until the target's connect completed.");
  out.Histogram({}, snapshot.ConnectWait);

  const TTrafficView udp = UdpTotals(snapshot);
  out.Single("quorvane_udp_sessions_open", "gauge", "UDP sessions open now.", udp.Open);
  out.Single("quorvane_udp_sessions_total", "counter", "UDP sessions ever opened.", udp.Opened);
  out.Single("quorvane_udp_sessions_expired_total", "counter", "UDP sessions ended by their idle time-out.",
             udp.Expired);
  out.Single("quorvane_udp_sessions_evicted_total", "counter",
             "UDP sessions evicted to make room for a new one.", udp.Evicted);
  out.Single("quorvane_udp_sessions_unanswered_total", "counter",
             "UDP sessions that expired without a single datagram back from the target.", udp.Unanswered);

  out.Single("quorvane_udp_datagrams_capped_total", "counter",
             "UDP datagrams from players dropped over the player caps.", snapshot.DatagramsDropped);
  out.Family("quorvane_redirector_datagrams_capped_total", "counter",
             "UDP datagrams dropped over the player caps, by live redirector (only those that dropped any).");
  for (const TRedirectorView& r : snapshot.Redirectors)
    if (!IsTcp(r.Proto) && r.Dropped > 0)
      out.Sample({{"redirector", Name(r.PublicAddr, r.PublicPort)}}, r.Dropped);
  out.Family("quorvane_udp_answer_wait_seconds", "histogram",
             "Time from a UDP session's first datagram until the target's first answer.");
  out.Histogram({}, snapshot.AnswerWait);
  out.Family("quorvane_relay_lifetime_seconds", "histogram",
             "How long TCP relays and UDP sessions lasted, by protocol.");
  out.Histogram({{"proto", "tcp"}}, snapshot.TcpLifetime);
  out.Histogram({{"proto", "udp"}}, snapshot.UdpLifetime);

  out.Family("quorvane_relayed_bytes_total", "counter",
             "Bytes relayed, by protocol and direction (to the target, or from it back to the remote).");
  out.Sample({{"proto", "tcp"}, {"direction", "to_target"}}, snapshot.TcpBytesToTarget);
  out.Sample({{"proto", "tcp"}, {"direction", "from_target"}}, snapshot.TcpBytesFromTarget);
  out.Sample({{"proto", "udp"}, {"direction", "to_target"}}, udp.BytesToTarget);
  out.Sample({{"proto", "udp"}, {"direction", "from_target"}}, udp.BytesFromTarget);
  out.Family("quorvane_relayed_datagrams_total", "counter", "UDP datagrams relayed, by direction.");
  out.Sample({{"direction", "to_target"}}, udp.DatagramsToTarget);
  out.Sample({{"direction", "from_target"}}, udp.DatagramsFromTarget);

  out.Family("quorvane_refusals_total", "counter",
             "Work refused to protect the server, by what was refused and the limit, reserve or policy why.");
  for (const TRefusalKind& kind : kRefusalKinds) {
    out.Sample({{"work", LabelValue(RefusedWorkName(kind.Work))}, {"reason", RefusalReasonName(kind.Reason)}},
               RefusalsFor(snapshot, kind.Work, kind.Reason));
  }

  out.Single("quorvane_sessions_closed_unread_total", "counter",
             "Control sessions closed because their client did not read its replies.",
             snapshot.SessionsClosedUnread);
  out.Single("quorvane_log_lines_dropped_total", "counter",
             "Log lines dropped because the log output was blocked.", snapshot.LogLinesDropped);
  // The budget's own count, which admission goes by; process_open_fds is
  // the kernel's, and counts what the budget does not see as well.
  out.Single("quorvane_descriptors_open", "gauge",
             "File descriptors open now, as the descriptor budget counts them.",
             static_cast<std::uint64_t>(std::max(0L, snapshot.DescriptorsOpen)));
  out.Single("quorvane_descriptors_limit", "gauge", "The process's limit of open file descriptors.",
             static_cast<std::uint64_t>(std::max(0L, snapshot.DescriptorsLimit)));

  // The names, types and help texts that monitoring expects of any process.
  const TProcessStats& process = snapshot.Process;
  out.SingleReal("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
                 process.CpuSeconds);
  out.Single("process_open_fds", "gauge", "Number of open file descriptors.", process.OpenFds);
  out.Single("process_max_fds", "gauge", "Maximum number of open file descriptors.", process.MaxFds);
  out.Single("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
             process.ResidentBytes);
  out.SingleReal("process_start_time_seconds", "gauge",
                 "Start time of the process since unix epoch in seconds.", process.StartTimeSeconds);
  return out.Text();
}

}  // namespace quorvane::admin
