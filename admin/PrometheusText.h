// TPrometheusText: writes the Prometheus text exposition format (0.0.4):
// each family opens with its # HELP and # TYPE lines, and every sample
// that follows belongs to the family opened last. Not thread-safe; one
// rendering at a time.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "servers/Players.h"

namespace quorvane::admin {

class TPrometheusText {
 public:
  using TLabels = std::initializer_list<std::pair<std::string_view, std::string_view>>;

  // Opens the family |name| (counters end in _total) of |type| ("counter",
  // "gauge" or "histogram").
  void Family(std::string_view name, std::string_view type, std::string_view help);
  // One sample of the family opened last; label values are escaped.
  void Sample(TLabels labels, std::uint64_t value);
  void Sample(std::uint64_t value) { Sample({}, value); }
  // One histogram of the histogram family opened last: its buckets, in
  // seconds and cumulative, up to le="+Inf", then _sum (seconds) and _count.
  void Histogram(TLabels labels, const THistogramView& histogram);
  // A family with a single unlabelled sample.
  void Single(std::string_view name, std::string_view type, std::string_view help, std::uint64_t value);
  // The same with a value that has a fraction (seconds).
  void SingleReal(std::string_view name, std::string_view type, std::string_view help, double value);

  const std::string& Text() const { return text_; }

 private:
  // "family<suffix>{labels,le="<le>"} "; no le when it is empty.
  void Series(TLabels labels, std::string_view suffix = {}, std::string_view le = {});

  std::string text_;
  std::string family_;
};

}  // namespace quorvane::admin
