#include "servers/Players.h"

#include <algorithm>
#include <utility>

#include "runtime/Log.h"
#include "servers/AddressHelpers.h"

namespace quorvane {

std::uint64_t TTokenBucket::Available(std::uint64_t rate, std::int64_t now_ms) {
  if (rate == 0) return kUnlimited;
  rate = std::min(rate, kMaxCapRate);
  const std::uint64_t full = rate * 1000;
  if (!started_) {
    started_ = true;
    milli_ = full;
  } else if (now_ms > last_ms_) {
    const auto elapsed = static_cast<std::uint64_t>(now_ms - last_ms_);
    // Past a second the bucket is full whatever it held; this also keeps
    // the product below from overflowing after a long idle time.
    milli_ = elapsed >= 1000 ? full : std::min(full, milli_ + rate * elapsed);
  }
  // A lowered rate lowers what the bucket may hold at once.
  milli_ = std::min(milli_, full);
  last_ms_ = std::max(last_ms_, now_ms);
  return milli_ / 1000;
}

void TTokenBucket::Take(std::uint64_t tokens) {
  // More than there is (a datagram larger than the bucket) takes it all;
  // otherwise what is under a whole token stays.
  const std::uint64_t milli = tokens > milli_ / 1000 ? milli_ : tokens * 1000;
  milli_ -= milli;
}

std::int64_t TTokenBucket::WaitMs(std::uint64_t rate, std::uint64_t tokens) const {
  if (rate == 0) return 1;
  rate = std::min(rate, kMaxCapRate);
  const std::uint64_t want = std::min(tokens, rate) * 1000;
  if (want <= milli_) return 1;
  const std::uint64_t ms = (want - milli_ + rate - 1) / rate;
  return static_cast<std::int64_t>(std::max<std::uint64_t>(ms, 1));
}

TCapLog::TCapLog(TEventLoop& loop, std::string subject, std::string verb, std::string noun)
    : loop_(loop), subject_(std::move(subject)), verb_(std::move(verb)), noun_(std::move(noun)) {}

TCapLog::~TCapLog() {
  // A redirector built and dropped before it served (a port taken, a
  // request refused) goes on whatever thread built it; its log never
  // armed anything, and the loop is not to be touched from there.
  if (timer_.Armed()) loop_.Disarm(timer_);
  Flush(true);
}

void TCapLog::Report(std::uint32_t address, std::uint64_t count) {
  if (count == 0) return;
  total_ += count;
  if (const auto found = senders_.find(address); found != senders_.end()) {
    found->second += count;
  } else if (senders_.size() < kCapLogSenders) {
    senders_.emplace(address, count);
  }
  if (window_open_) return;
  // A quiet redirector's first report is logged at once; the interval
  // starts with that line.
  Flush(false);
}

void TCapLog::Flush(bool final) {
  if (total_ == 0) {
    // A whole interval without a report: the next one is logged at once.
    window_open_ = false;
    return;
  }
  LogWarning(Line(final));
  total_ = 0;
  senders_.clear();
  if (final) return;
  window_open_ = true;
  loop_.ArmAfter(timer_, kCapLogIntervalMs);
}

std::string TCapLog::Line(bool final) const {
  std::vector<std::pair<std::uint32_t, std::uint64_t>> top(senders_.begin(), senders_.end());
  const std::size_t shown = std::min(top.size(), kCapLogTopSenders);
  std::partial_sort(top.begin(), top.begin() + static_cast<std::ptrdiff_t>(shown), top.end(),
                    [](const auto& a, const auto& b) {
                      return a.second > b.second || (a.second == b.second && a.first < b.first);
                    });
  std::string line =
      subject_ + " " + verb_ + " " + std::to_string(total_) + " " + noun_ + " over the player caps";
  if (window_open_ && !final) line += " in the last " + std::to_string(kCapLogIntervalMs / 1000) + " s";
  for (std::size_t i = 0; i < shown; ++i) {
    line += i == 0 ? "; top senders " : ", ";
    line += AddrToStr(top[i].first) + " (" + std::to_string(top[i].second) + ")";
  }
  return line;
}

std::uint64_t THistogramView::Total() const {
  std::uint64_t total = 0;
  for (const std::uint64_t count : Counts) total += count;
  return total;
}

double THistogramView::QuantileMs(double q) const {
  const std::uint64_t total = Total();
  if (total == 0 || BoundsMs.empty()) return -1;
  const double rank = q * static_cast<double>(total);
  double below = 0;
  for (std::size_t i = 0; i < Counts.size(); ++i) {
    const auto count = static_cast<double>(Counts[i]);
    if (count > 0 && below + count >= rank) {
      if (i == BoundsMs.size()) return static_cast<double>(BoundsMs.back());
      const double lower = i == 0 ? 0.0 : static_cast<double>(BoundsMs[i - 1]);
      const auto upper = static_cast<double>(BoundsMs[i]);
      return lower + (upper - lower) * (rank - below) / count;
    }
    below += count;
  }
  return static_cast<double>(BoundsMs.back());
}

}  // namespace quorvane
