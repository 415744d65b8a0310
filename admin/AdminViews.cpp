#include "admin/AdminViews.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

#include "admin/PrometheusText.h"
#include "admin/StatusPage.h"
#include "requests/RequestsServer.h"
#include "runtime/Clock.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "servers/RelayEngine.h"

namespace quorvane::admin {
namespace {

using TJson = nlohmann::ordered_json;

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

// A redirector's counter as /api/redirectors shows it.
TJson Shown(TRedirectorShown shown, std::uint64_t value) {
  switch (shown) {
    case TRedirectorShown::kWallMs:
      return Time(static_cast<std::int64_t>(value));
    case TRedirectorShown::kFailure:
      return Failure(value);
    case TRedirectorShown::kCount:
    case TRedirectorShown::kTotal:
      break;
  }
  return value;
}

// Client names are whatever bytes a Register carried: invalid UTF-8 is
// replaced rather than refused.
std::string Dump(const TJson& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
    for (std::size_t i = 0; i < kRedirectorCounterCount; ++i)
      view.Counters[i] = kRedirectorCounters[i].Read(*entry.Stats);
  }
  return view;
}

// p50 and p99 in ms (null while nothing was observed) and the count.
TJson Waits(const THistogramView& histogram) {
  const auto quantile = [&](double q) {
    const double ms = histogram.QuantileMs(q);
    return ms < 0 ? TJson(nullptr) : TJson(std::round(ms * 10) / 10);
  };
  return {{"p50_ms", quantile(0.5)}, {"p99_ms", quantile(0.99)}, {"count", histogram.Total()}};
}

// Where /api/status shows |sample| of |family|: its Status path, each
// {label} replaced by the sample's value of that label.
TJson& StatusSlot(TJson& status, const TMetricFamily& family, const TMetricSample& sample) {
  std::string path(family.Status);
  for (std::size_t i = 0; i < kMaxMetricLabels && !family.Labels[i].empty(); ++i) {
    const std::string label = "{" + std::string(family.Labels[i]) + "}";
    if (const std::size_t at = path.find(label); at != std::string::npos)
      path.replace(at, label.size(), sample.Labels[i]);
  }
  TJson* slot = &status;
  for (std::size_t begin = 0; begin <= path.size();) {
    const std::size_t end = std::min(path.find('.', begin), path.size());
    slot = &(*slot)[path.substr(begin, end - begin)];
    begin = end + 1;
  }
  return *slot;
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
      [&](const TRedirectorStats& retired) {
        for (std::size_t i = 0; i < kRedirectorCounterCount; ++i) {
          if (kRedirectorCounters[i].Shown == TRedirectorShown::kTotal)
            snapshot.RetiredUdp[i] += kRedirectorCounters[i].Read(retired);
        }
      });
  snapshot.Process = ReadProcessStats();
  const TMetricSources sources{snapshot, server.Metrics(), engine};
  std::vector<std::vector<TMetricSample>> families(kMetricFamilies.size());
  for (std::size_t i = 0; i < families.size(); ++i) kMetricFamilies[i].Read(sources, families[i]);
  snapshot.Families = std::move(families);
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

std::string PublicName(const TRedirectorView& redirector) {
  return Name(redirector.PublicAddr, redirector.PublicPort);
}

std::string RedirectorsJson(const TAdminSnapshot& snapshot) {
  TJson list = TJson::array();
  for (const TRedirectorView& r : snapshot.Redirectors) {
    TJson& entry = list.emplace_back(TJson{{"proto", r.Proto},
                                           {"kind", Kind(r.Proto)},
                                           {"target", Endpoint(r.TargetAddr, r.TargetPort)},
                                           {"public", Endpoint(r.PublicAddr, r.PublicPort)},
                                           {"owner", Endpoint(r.OwnerAddr, r.OwnerPort)},
                                           {"created_at", Rfc3339(r.CreatedAtMs)}});
    for (std::size_t i = 0; i < kRedirectorCounterCount; ++i) {
      const TRedirectorCounter& counter = kRedirectorCounters[i];
      if (counter.Listed) entry[std::string(counter.Name)] = Shown(counter.Shown, r.Counters[i]);
    }
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
  const std::int64_t uptime_ms = std::max<std::int64_t>(0, snapshot.NowMs - snapshot.StartedAtMs);
  TJson status = {{"version", BuildVersion()},
                  {"commit", BuildCommit()},
                  {"started_at", Rfc3339(snapshot.StartedAtMs)},
                  {"uptime_seconds", uptime_ms / 1000}};
  for (const std::string_view group : kStatusGroups) status[std::string(group)] = nullptr;
  std::uint64_t players = 0;
  for (const TRedirectorView& r : snapshot.Redirectors)
    players += r.Counters[RedirectorCounterIndex("players")];
  status["players"] = players;
  // Every reason, in the order of TRefusalReason, whatever work it refused.
  for (std::size_t reason = 0; reason < kRefusalReasonCount; ++reason)
    status["refusals"][std::string(RefusalReasonName(static_cast<TRefusalReason>(reason)))] = 0;
  for (std::size_t i = 0; i < kMetricFamilies.size(); ++i) {
    const TMetricFamily& family = kMetricFamilies[i];
    if (family.Status.empty()) continue;
    for (const TMetricSample& sample : snapshot.Families[i]) {
      TJson& shown = StatusSlot(status, family, sample);
      if (const auto* histogram = std::get_if<THistogramView>(&sample.Value)) {
        shown = Waits(*histogram);
      } else {
        shown = (shown.is_null() ? 0 : shown.get<std::uint64_t>()) + std::get<std::uint64_t>(sample.Value);
      }
    }
  }
  return Dump(status);
}

std::string MetricsText(const TAdminSnapshot& snapshot) {
  TPrometheusText out;
  for (std::size_t i = 0; i < kMetricFamilies.size(); ++i) {
    const TMetricFamily& family = kMetricFamilies[i];
    out.Family(family.Name, MetricTypeName(family.Type), family.Help);
    for (const TMetricSample& sample : snapshot.Families[i]) {
      std::array<std::pair<std::string_view, std::string_view>, kMaxMetricLabels> labels;
      std::size_t count = 0;
      for (; count < kMaxMetricLabels && !family.Labels[count].empty(); ++count)
        labels[count] = {family.Labels[count], sample.Labels[count]};
      out.Sample({labels.data(), count}, sample.Value);
    }
  }
  return out.Text();
}

const std::string& StatusPageText() {
  static const std::string kPage = [] {
    TJson cards = TJson::array();
    for (const TStatusCard& card : kStatusCards) cards.push_back({card.Value, card.Caption});
    std::string text(kStatusPage, kStatusPageSize);
    constexpr std::string_view kCardsSlot = "/*cards*/[]";
    if (const std::size_t at = text.find(kCardsSlot); at != std::string::npos)
      text.replace(at, kCardsSlot.size(), Dump(cards));
    return text;
  }();
  return kPage;
}

}  // namespace quorvane::admin
