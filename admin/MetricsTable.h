// The metric families, declared once: kMetricFamilies says for each its
// name, type, help, labels, where its values come from and where
// /api/status shows it. The snapshot (AdminViews.h) reads every family
// through it, and /metrics and /api/status are written from it in its
// order; the status page's cards (kStatusCards) show what /api/status
// holds. The counters themselves stay where they are counted, named
// fields of TServerMetrics, TRelayLoopCounters and TRedirectorStats (whose
// own views, kRedirectorCounters, are declared beside it), which the
// families read.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "admin/PrometheusText.h"

namespace quorvane {

class TRelayEngine;
struct TServerMetrics;

namespace admin {

struct TAdminSnapshot;

enum class TMetricType : std::uint8_t { kCounter, kGauge, kHistogram };
std::string_view MetricTypeName(TMetricType type);

inline constexpr std::size_t kMaxMetricLabels = 2;

struct TMetricSample {
  std::array<std::string, kMaxMetricLabels> Labels;  // values, as the family names them
  TMetricValue Value;
};

// What the families read from: the lists and times the snapshot already
// holds, and the counters.
struct TMetricSources {
  const TAdminSnapshot& Snapshot;
  const TServerMetrics& Server;
  const TRelayEngine* Engine;  // may be null: every engine count is 0
};

struct TMetricFamily {
  std::string_view Name;
  TMetricType Type;
  std::string_view Help;
  std::array<std::string_view, kMaxMetricLabels> Labels;  // names; the unused ones empty
  // Appends the family's samples, each with a value for every label.
  void (*Read)(const TMetricSources& from, std::vector<TMetricSample>& samples);
  // Where /api/status shows a sample: a dotted path, in which {label}
  // stands for the sample's value of that label; the samples that come to
  // one key are summed, a histogram is shown as its p50, p99 and count.
  // Empty: not shown there.
  std::string_view Status = {};
};

extern const std::span<const TMetricFamily> kMetricFamilies;

// The order of /api/status's groups: what it shows beside the families
// (version, commit, started_at, uptime_seconds) comes first, then these,
// each filled by the families that name it (players from the redirectors).
extern const std::span<const std::string_view> kStatusGroups;

// A card of the status page: its value and its caption, in which
// {path} is a value of /api/status, {path|size} one in bytes and
// {path|waits} a histogram's p50 / p99.
struct TStatusCard {
  std::string_view Value;
  std::string_view Caption;
};
extern const std::span<const TStatusCard> kStatusCards;

}  // namespace admin
}  // namespace quorvane
