// TPrometheusText: writes the Prometheus text exposition format (0.0.4):
// each family opens with its # HELP and # TYPE lines, and every sample
// that follows belongs to the family opened last. Not thread-safe; one
// rendering at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "servers/Players.h"

namespace quorvane::admin {

// What a sample shows: a count, a value with a fraction (seconds), or a
// histogram.
using TMetricValue = std::variant<std::uint64_t, double, THistogramView>;

class TPrometheusText {
 public:
  using TLabels = std::span<const std::pair<std::string_view, std::string_view>>;

  // Opens the family |name| (counters end in _total) of |type| ("counter",
  // "gauge" or "histogram").
  void Family(std::string_view name, std::string_view type, std::string_view help);
  // One sample of the family opened last; label values are escaped. A
  // histogram is its buckets, in seconds and cumulative, up to le="+Inf",
  // then _sum (seconds) and _count.
  void Sample(TLabels labels, const TMetricValue& value);
  void Sample(std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              std::uint64_t value) {
    Sample(TLabels(labels.begin(), labels.size()), value);
  }

  const std::string& Text() const { return text_; }

 private:
  // "family<suffix>{labels,le="<le>"} "; no le when it is empty.
  void Series(TLabels labels, std::string_view suffix = {}, std::string_view le = {});
  void Histogram(TLabels labels, const THistogramView& histogram);

  std::string text_;
  std::string family_;
};

}  // namespace quorvane::admin
