#include "requests/ServerMetrics.h"

namespace quorvane {

void TServerMetrics::RetireUdp(const TRedirectorStats& stats) {
  for (const TRedirectorCounter& counter : kRedirectorCounters)
    if (counter.Shown == TRedirectorShown::kTotal) counter.AddTo(RetiredUdp, stats);
}

}  // namespace quorvane
