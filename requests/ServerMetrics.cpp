#include "requests/ServerMetrics.h"

namespace quorvane {
namespace {

void Add(std::atomic<std::uint64_t>& to, const std::atomic<std::uint64_t>& from) {
  to.fetch_add(from.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace

void TServerMetrics::RetireUdp(const TRedirectorStats& stats) {
  Add(RetiredUdp.BytesToTarget, stats.BytesToTarget);
  Add(RetiredUdp.BytesFromTarget, stats.BytesFromTarget);
  Add(RetiredUdp.DatagramsToTarget, stats.DatagramsToTarget);
  Add(RetiredUdp.DatagramsFromTarget, stats.DatagramsFromTarget);
  Add(RetiredUdp.Opened, stats.Opened);
  Add(RetiredUdp.Expired, stats.Expired);
  Add(RetiredUdp.Evicted, stats.Evicted);
  Add(RetiredUdp.Unanswered, stats.Unanswered);
}

}  // namespace quorvane
