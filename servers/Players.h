// Players: the remote parties a redirector relays for, one per TCP relay or
// UDP session; the caps that keep any one of them, or all of them together,
// from flooding the game host behind the redirector; and how long players
// wait to be connected.
//
// A redirector, its relays and its UDP sessions all run on one loop, so
// what is kept here per player and per redirector (token buckets, the drop
// log) is the loop thread's alone and needs no lock: a relay never waits on
// whoever reads its players, who asks the loop for a copy (RunSync).
//
// Caps are token buckets refilled by the loop's clock, each holding at most
// one second's worth: a player may burst to a second of its rate, then gets
// its rate. They count only what players send towards the target; what the
// target sends back is the host's own doing. Over a cap a UDP datagram is
// dropped (and counted, and logged by TCapLog), while a TCP relay stops
// reading its player until the bucket has refilled, so TCP flow control
// slows the sender and nothing is lost.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/EventLoop.h"

namespace quorvane {

// One player as the operator's views show it.
struct TPlayerView {
  std::uint32_t Address = 0;  // network order
  std::uint16_t Port = 0;     // host order
  // Wall clock, ms since the epoch: when the player's relay or session
  // began, and when anything last moved either way (StartedMs until then).
  std::int64_t StartedMs = 0;
  std::int64_t LastActivityMs = 0;
  std::uint64_t BytesToTarget = 0;
  std::uint64_t BytesFromTarget = 0;
  std::uint64_t DatagramsToTarget = 0;  // UDP only
  std::uint64_t DatagramsFromTarget = 0;
  // TCP: the target's connect is still under way.
  bool Connecting = false;
  // Over a cap right now: a TCP relay that is not read, a UDP player whose
  // datagrams are being dropped.
  bool Held = false;
};

// What the caps hold players to, per second; 0: no cap. One set per
// server, shared by its redirectors, which read it at every refill, so a
// reload applies to the players already connected.
inline constexpr std::uint64_t kDefaultUdpDatagramsPerPlayer = 2000;
inline constexpr std::uint64_t kDefaultUdpBytesPerPlayer = std::uint64_t{4} << 20;
inline constexpr std::uint64_t kDefaultTcpBytesPerPlayer = std::uint64_t{4} << 20;
inline constexpr std::uint64_t kDefaultBytesPerRedirector = std::uint64_t{64} << 20;
// Above this a rate is no cap in practice, and the bucket's arithmetic
// (tokens in thousandths) stays far from overflow.
inline constexpr std::uint64_t kMaxCapRate = std::uint64_t{1} << 40;

struct TPlayerCaps {
  // What one remote address may send through one redirector: UDP
  // datagrams, UDP bytes, TCP bytes.
  std::atomic<std::uint64_t> UdpDatagramsPerPlayer{kDefaultUdpDatagramsPerPlayer};
  std::atomic<std::uint64_t> UdpBytesPerPlayer{kDefaultUdpBytesPerPlayer};
  std::atomic<std::uint64_t> TcpBytesPerPlayer{kDefaultTcpBytesPerPlayer};
  // What all its players together may send through one redirector, bytes.
  std::atomic<std::uint64_t> BytesPerRedirector{kDefaultBytesPerRedirector};
};

// A token bucket driven by the loop's clock. Loop thread only. The rate is
// passed in on every call, so that a changed cap applies at once.
class TTokenBucket {
 public:
  static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();

  // Tokens that may be taken at |now_ms| at |rate| a second (0: kUnlimited).
  // A new bucket starts full; a bucket holds at most |rate| tokens.
  std::uint64_t Available(std::uint64_t rate, std::int64_t now_ms);
  // Takes |tokens| of what Available() just reported (no more than that).
  void Take(std::uint64_t tokens);
  // Milliseconds, at least 1, until |tokens| (at most |rate|) are
  // available, counted from the last Available().
  std::int64_t WaitMs(std::uint64_t rate, std::uint64_t tokens) const;

 private:
  std::uint64_t milli_ = 0;  // tokens, in thousandths
  std::int64_t last_ms_ = 0;
  bool started_ = false;
};

inline constexpr std::int64_t kCapLogIntervalMs = 10'000;
// Senders a TCapLog keeps apart per interval; the rest count only in the
// total, so that a spray of forged sources cannot grow it.
inline constexpr std::size_t kCapLogSenders = 256;
// Senders a line names.
inline constexpr std::size_t kCapLogTopSenders = 3;

// The stderr line of one redirector whose players went over their caps, one
// per kCapLogIntervalMs at most, naming the top senders:
//   UDP Redirector at 192.0.2.1:40123 dropped 5400 datagrams over the
//   player caps in the last 10 s; top senders 198.51.100.7 (5000),
//   203.0.113.9 (400)
// The first report of a quiet redirector is logged at once; what follows
// within the interval is summed into one line when it is over, by a timer
// of the loop (no timer is armed while nothing is reported). What is still
// pending when the log is destroyed is logged then. Loop thread only; it
// is destroyed there, or on any thread once the loop has closed.
class TCapLog final {
 public:
  // The line's words: |subject| "UDP Redirector at 192.0.2.1:40123",
  // |verb| "dropped", |noun| "datagrams".
  TCapLog(TEventLoop& loop, std::string subject, std::string verb, std::string noun);
  TCapLog(const TCapLog&) = delete;
  TCapLog& operator=(const TCapLog&) = delete;
  ~TCapLog();

  // |count| more from |address| (network order).
  void Report(std::uint32_t address, std::uint64_t count);

 private:
  void Flush(bool final);
  std::string Line(bool final) const;

  TEventLoop& loop_;
  const std::string subject_;
  const std::string verb_;
  const std::string noun_;
  std::unordered_map<std::uint32_t, std::uint64_t> senders_;
  std::uint64_t total_ = 0;
  bool window_open_ = false;  // a line was logged less than an interval ago
  TFunctionTimer timer_{[this] { Flush(false); }};
};

// Fixed histogram buckets, upper bounds in milliseconds, the last bucket
// open-ended: no label per player or address, so that the metrics stay a
// few series whatever the traffic.
inline constexpr std::array<std::int64_t, 13> kWaitBoundsMs{1,   2,   5,    10,   25,   50,   100,
                                                            250, 500, 1000, 2500, 5000, 10000};
inline constexpr std::array<std::int64_t, 10> kLifetimeBoundsMs{
    1'000, 10'000, 60'000, 300'000, 900'000, 1'800'000, 3'600'000, 7'200'000, 14'400'000, 28'800'000};

// Written by one loop thread, read by anyone.
template <std::size_t N>
struct TLoopHistogram {
  static constexpr std::size_t kBuckets = N + 1;
  std::array<std::atomic<std::uint64_t>, kBuckets> Counts{};  // not cumulative
  std::atomic<std::uint64_t> SumMs{0};

  void Observe(const std::array<std::int64_t, N>& bounds, std::int64_t ms) {
    if (ms < 0) ms = 0;
    std::size_t bucket = 0;
    while (bucket < N && ms > bounds[bucket]) ++bucket;
    // The loop thread is the only writer.
    Counts[bucket].store(Counts[bucket].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    SumMs.store(SumMs.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(ms),
                std::memory_order_relaxed);
  }
};

// A histogram read out, or a sum of several.
struct THistogramView {
  std::vector<std::int64_t> BoundsMs;  // the open-ended last bucket has none
  std::vector<std::uint64_t> Counts;   // BoundsMs.size() + 1, not cumulative
  std::uint64_t SumMs = 0;

  std::uint64_t Total() const;
  // The |q| quantile (0 < q < 1), in ms, as the upper bound of the bucket
  // it falls in, interpolated linearly inside it; the last finite bound
  // when it falls in the open-ended bucket; -1 when nothing was observed.
  double QuantileMs(double q) const;
  // Adds |histogram|'s counts (same bounds).
  template <std::size_t N>
  void Add(const std::array<std::int64_t, N>& bounds, const TLoopHistogram<N>& histogram) {
    if (BoundsMs.empty()) {
      BoundsMs.assign(bounds.begin(), bounds.end());
      Counts.assign(N + 1, 0);
    }
    for (std::size_t i = 0; i <= N; ++i) Counts[i] += histogram.Counts[i].load(std::memory_order_relaxed);
    SumMs += histogram.SumMs.load(std::memory_order_relaxed);
  }
};

}  // namespace quorvane
