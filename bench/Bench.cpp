// quorvane-bench: measures Quorvane's TCP and UDP redirectors against direct
// connections to the same targets and against the relays operators would
// pick instead (rinetd, haproxy, nginx's stream module, each when
// installed), on 127.0.0.0/8 only, and prints a Markdown table with the
// targets each figure is held to.
//
// DESIGN: Quorvane's redirectors run in a child process (TRedirectorHost),
// forked before this process starts any thread, so that the CPU time and
// resident memory read from /proc are theirs alone. Each peer is a program
// started per measurement with a minimal configuration in a scratch
// directory and stopped at its end; its figures are those of its process
// tree. The control-port rows run the real quorvane executable. The targets
// and load generators run here, each target one thread for all its sockets.
// With --pin, this process binds itself to one CPU before anything else
// starts, so every thread and child process (relays, peers, targets, load
// generators) shares that CPU. Every wait is bounded and the run ends by
// itself.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/ControlPortLoad.h"
#include "bench/DistributedAttack.h"
#include "bench/GameHostCapacity.h"
#include "bench/Measurements.h"
#include "bench/RedirectorHost.h"
#include "bench/RelaySystems.h"
#include "bench/UdpFlood.h"

namespace quorvane::bench {
namespace {

// Against the best peer on the same row.
constexpr double kSetupRateTarget = 1.1;    // at least, times
constexpr double kFirstEchoTarget = 0.95;   // at most, times
constexpr double kBulkTarget = 1.5;         // at least, times
constexpr double kRoundTripTarget = 1.05;   // at most, times
constexpr double kEchoRateTarget1 = 1.4;    // at least, times, 1 peer
constexpr double kEchoRateTarget64 = 1.2;   // at least, times, 64 peers
constexpr double kRssPerRelayTarget = 1.0;  // at most, times
// Quorvane alone.
constexpr double kIdleCpuTarget = 0.01;  // % of one core: nothing measurable
constexpr double kFloodTarget = 3.0;     // at most, times idle
// Game hosts, under kCapacityDescriptorLimit.
constexpr int kHostsTarget = 6000;               // at least
constexpr double kDescriptorsPerHostTarget = 3;  // at most
constexpr double kKiBPerHostTarget = 4;          // at most
constexpr double kCreateP99Target = 1000;        // µs, at most
// The distributed attack.
constexpr double kLegitP99TargetMs = 50;           // at most
constexpr double kAdminGetTargetMs = 100;          // at most
constexpr double kRssAfterAttackTargetKiB = 2048;  // at most, over the baseline
// Under the player caps.
constexpr double kCapOvershoot = 1.05;          // at most, times the cap
constexpr double kCapDeviation = 0.05;          // at most, either way
constexpr std::uint64_t kBulkCap = 8ULL << 20;  // TCP_BYTES_PER_PLAYER of the capped bulk row

constexpr std::size_t kDirect = 0;
constexpr std::size_t kQuorvane = 1;
constexpr std::size_t kFirstPeer = 2;

bool Missing(double v) { return v != v; }

// The figure of system |s|; missing when the row was not measured.
double At(const TValues& values, std::size_t s) { return s < values.size() ? values[s] : kNoValue; }

std::string Number(double value, int decimals) {
  if (Missing(value)) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Whole numbers with thousands separators, for rates and throughputs.
std::string Whole(double value) {
  if (Missing(value)) return "-";
  const std::string digits = Number(value, 0);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string Times(double ratio) { return Missing(ratio) ? "-" : Number(ratio, 2) + "x"; }

using TFormat = std::string (*)(double);
std::string Whole0(double v) { return Whole(v); }
std::string Decimal1(double v) { return Number(v, 1); }
std::string Decimal3(double v) { return Number(v, 3); }

enum class TBetter { kHigher, kLower };

class TTable {
 public:
  explicit TTable(std::vector<std::string> systems) : systems_(std::move(systems)) {}

  // A row held to a ratio against the best peer on it; judged neither way
  // when no peer has a figure.
  void PeerRow(const std::string& metric, const TValues& values, TFormat format, TBetter better,
               double target) {
    std::size_t best = values.size();
    for (std::size_t s = kFirstPeer; s < values.size(); ++s) {
      if (Missing(At(values, s))) continue;
      if (best == values.size() || (better == TBetter::kHigher ? At(values, s) > At(values, best)
                                                               : At(values, s) < At(values, best))) {
        best = s;
      }
    }
    const std::string target_text = std::string(better == TBetter::kHigher ? ">= " : "<= ") +
                                    (target == 1.0 ? "" : Number(target, 2) + "x ") + "best peer";
    std::string compare = "no peer";
    int met = -1;
    if (best < values.size() && !Missing(At(values, kQuorvane)) && At(values, best) != 0) {
      const double ratio = At(values, kQuorvane) / At(values, best);
      compare = Times(ratio) + " " + systems_[best];
      met = better == TBetter::kHigher ? ratio >= target : ratio <= target;
    } else if (best < values.size()) {
      met = 0;  // Quorvane's figure is missing: the target is missed
    }
    Row(metric, Cells(values, format), compare, target_text, met);
  }
  // A row with figures only.
  void Plain(const std::string& metric, const TValues& values, TFormat format, std::string compare = "-") {
    Row(metric, Cells(values, format), std::move(compare), "-", -1);
  }
  // A row with one cell, Quorvane's.
  void Quorvane(const std::string& metric, std::string cell, std::string compare, std::string target,
                int met) {
    std::vector<std::string> cells(systems_.size(), "-");
    cells[kQuorvane] = std::move(cell);
    Row(metric, std::move(cells), std::move(compare), std::move(target), met);
  }
  void Row(std::string metric, std::vector<std::string> cells, std::string compare, std::string target,
           int met) {
    cells.insert(cells.begin(), std::move(metric));
    cells.push_back(std::move(compare));
    cells.push_back(std::move(target));
    cells.push_back(met < 0 ? "-" : met > 0 ? "yes" : "**no**");
    if (met >= 0) ++targets_;
    if (met > 0) ++met_;
    rows_.push_back(std::move(cells));
  }

  void Print() const {
    std::printf("| Metric |");
    for (const std::string& s : systems_) std::printf(" %s |", s.c_str());
    std::printf(" Quorvane vs best peer | Target | Met? |\n|---|");
    for (std::size_t i = 0; i < systems_.size(); ++i) std::printf("---:|");
    std::printf("---:|---|---|\n");
    for (const auto& row : rows_) {
      std::printf("|");
      for (const std::string& cell : row) std::printf(" %s |", cell.c_str());
      std::printf("\n");
    }
    std::printf("\nTargets met: %d of %d.\n", met_, targets_);
  }

 private:
  std::vector<std::string> Cells(const TValues& values, TFormat format) const {
    std::vector<std::string> cells;
    for (std::size_t s = 0; s < systems_.size(); ++s)
      cells.push_back(s < values.size() ? format(At(values, s)) : "-");
    return cells;
  }

  const std::vector<std::string> systems_;
  std::vector<std::vector<std::string>> rows_;
  int targets_ = 0;
  int met_ = 0;
};

void Progress(const std::string& what) {
  std::fprintf(stderr, "quorvane-bench: %s\n", what.c_str());
  std::fflush(stderr);
}

TBenchConfig QuickConfig() {
  TBenchConfig c;
  c.Rounds = 1;
  c.RoundTripRounds = 2;
  c.BulkMs = 500;
  c.RoundTrips = 2000;
  c.RoundTripLimitMs = 500;
  c.EchoRateMs = 400;
  c.IdleCount = 100;
  c.ThreadProbe = 100;
  c.IdleHoldMs = 1000;
  c.SlowMs = 1000;
  c.SetupMs = 400;
  c.CapWarmUpMs = 1100;
  c.CapMs = 500;
  return c;
}

// The measurements --only can name.
constexpr std::array<const char*, 11> kMeasurementNames = {
    "setup", "bulk", "rtt", "udp-rate", "idle", "slow", "caps", "flood", "spray", "capacity", "attack"};
constexpr std::array<const char*, 3> kPeerNames = {"rinetd", "haproxy", "nginx"};

struct TOptions {
  bool Quick = false;
  int PinCpu = -1;  // -1: unpinned
  std::set<std::string> Only;
  std::set<std::string> Peers{kPeerNames.begin(), kPeerNames.end()};
  std::string Server;  // the quorvane executable
  int Hosts = 0;       // the capacity row's cap; 0: its default
};

// "what 0.45x" (or "what +12.0 µs (1.9x)" for times) of Quorvane against
// direct, for the notes; empty when either is missing.
std::string AgainstDirect(const std::string& what, const TValues& values, bool time) {
  const double direct = At(values, kDirect);
  const double quorvane = At(values, kQuorvane);
  if (Missing(direct) || Missing(quorvane) || direct == 0) return {};
  const std::string ratio = Times(quorvane / direct);
  if (!time) return what + " " + ratio;
  const double diff = quorvane - direct;
  return what + " " + (diff >= 0 ? "+" : "") + Number(diff, 1) + " µs (" + ratio + ")";
}

// The non-empty |parts| joined with |separator|.
std::string Join(const std::vector<std::string>& parts, const char* separator) {
  std::string text;
  for (const std::string& part : parts) {
    if (!part.empty()) text += (text.empty() ? "" : separator) + part;
  }
  return text;
}

// "what: Quorvane 37, rinetd 50, ..." for a row's CPU under load; empty
// when nothing was measured.
std::string CpuList(const std::string& what, const std::vector<std::string>& names, const TValues& cpu) {
  std::string text;
  for (std::size_t s = kQuorvane; s < names.size(); ++s) {
    if (Missing(At(cpu, s))) continue;
    text += (text.empty() ? "" : ", ") + names[s] + " " + Number(At(cpu, s), 0);
  }
  return text.empty() ? text : what + ": " + text;
}

// Everything one run measured; a figure not measured is missing.
struct TResults {
  TSetupRates Setup;
  TLoad Bulk1, Bulk8;
  TLatencies TcpRtt, UdpRtt;
  TEchoRate Rate1, Rate64;
  TIdleCost Idle;
  TSlowReceiver Slow;
  TCapsCost CapsCost;
  TCappedBulk CappedBulk;
  TUdpFlood UdpFlood;
  TNopUnderFlood Flood;
  TUdpUnderSpray Spray;
  TCapacity Capacity;
  TAttack Attack;
};

using TSelected = std::function<bool(const char*)>;

// Cells for every system from |values|.
std::vector<std::string> CellsOf(std::size_t systems, const TValues& values, TFormat format) {
  std::vector<std::string> cells;
  for (std::size_t s = 0; s < systems; ++s) cells.push_back(format(At(values, s)));
  return cells;
}

// A count read from /proc; "-" when it could not be read.
std::string Count(std::int64_t value) { return value < 0 ? "-" : Whole(static_cast<double>(value)); }

std::string YesNo(bool yes) { return yes ? "yes" : "no"; }

void CapacityRows(TTable& table, const TCapacity& c) {
  const bool measured = c.Measured;
  // A cap below the target, reached with nothing refused, leaves the target
  // untested rather than missed.
  int hosts_met = measured && c.Held >= kHostsTarget ? 1 : 0;
  if (measured && hosts_met == 0 && c.StopReason.empty() && c.Cap < kHostsTarget) hosts_met = -1;
  std::string stopped = "-";
  if (measured) {
    stopped = c.StopReason.empty() ? "cap of " + Whole(c.Cap) + " reached"
              : c.ServerStopped    ? "the server failed a host"
                                   : "time budget ran out";
  }
  table.Quorvane(
      "Game hosts held under a " + Whole(static_cast<double>(kCapacityDescriptorLimit)) + "-descriptor limit",
      measured ? Whole(c.Held) : "-", stopped, ">= " + Whole(kHostsTarget), hosts_met);
  table.Quorvane("Descriptors per game host", Number(c.DescriptorsPerHost, 2),
                 measured ? Count(c.DescriptorsBefore) + " → " + Count(c.DescriptorsAfter) : "-",
                 "<= " + Number(kDescriptorsPerHostTarget, 0),
                 !Missing(c.DescriptorsPerHost) && c.DescriptorsPerHost <= kDescriptorsPerHostTarget ? 1 : 0);
  table.Quorvane("Resident memory per game host (KiB)", Number(c.KiBPerHost, 1),
                 measured ? "VmRSS " + Count(c.RssBeforeKiB) + " → " + Count(c.RssAfterKiB) + " KiB" : "-",
                 "<= " + Number(kKiBPerHostTarget, 0),
                 !Missing(c.KiBPerHost) && c.KiBPerHost <= kKiBPerHostTarget ? 1 : 0);
  table.Quorvane("Threads with 0 / with " + (measured ? Whole(c.Held) : "N") + " game hosts",
                 measured ? Count(c.ThreadsBefore) + " / " + Count(c.ThreadsAfter) : "-", "-", "the same",
                 measured && c.ThreadsBefore >= 0 && c.ThreadsBefore == c.ThreadsAfter ? 1 : 0);
  table.Quorvane("Create p99 at load (µs)", Decimal1(c.CreateP99),
                 measured ? "p50 " + Decimal1(c.CreateP50) + ", " + Whole(c.CreatesAtLoad) + " creates" : "-",
                 "<= " + Whole(kCreateP99Target),
                 !Missing(c.CreateP99) && c.CreateP99 <= kCreateP99Target ? 1 : 0);
  table.Quorvane("Relay through each kind after the last host",
                 c.RelayTried ? "TCP " + YesNo(c.TcpRelay) + ", UDP " + YesNo(c.UdpRelay) : "-",
                 c.RelayTried ? "first host's pair" : "not tried", "yes", c.TcpRelay && c.UdpRelay ? 1 : 0);
}

void AttackRows(TTable& table, const TAttack& a) {
  const bool measured = a.Measured;
  const std::string flood = "a " + std::to_string(kAttackAddresses) + "-address flood";
  table.Quorvane("Legit host Register + create answered during " + flood,
                 measured ? Whole(a.LegitServed) + " of " + Whole(a.LegitMade) : "-",
                 measured ? "one every " + std::to_string(kLegitPeriodMs) + " ms from 127.0.1.3" : "-", "all",
                 measured && a.LegitMade > 0 && a.LegitServed == a.LegitMade ? 1 : 0);
  table.Quorvane("Legit host Register + create during " + flood + ", p99 (ms)", Decimal1(a.LegitP99Ms),
                 measured ? "p50 " + Decimal1(a.LegitP50Ms) + ", max " + Decimal1(a.LegitMaxMs) : "-",
                 "<= " + Number(kLegitP99TargetMs, 0),
                 !Missing(a.LegitP99Ms) && a.LegitP99Ms <= kLegitP99TargetMs ? 1 : 0);
  const bool port_kept = a.PlayerPorts == 1;
  table.Quorvane(
      "Confirmed player's datagrams lost / session port kept",
      measured ? Whole(static_cast<double>(a.PlayerLost)) + " of " +
                     Whole(static_cast<double>(a.PlayerSent)) + " / " + YesNo(port_kept)
               : "-",
      measured ? "round trip p99 " + Decimal1(a.PlayerP99Ms) + " ms, max " + Decimal1(a.PlayerMaxMs) : "-",
      "0, yes", measured && a.PlayerSent > 0 && a.PlayerLost == 0 && port_kept ? 1 : 0);
  const std::string answered = Whole(a.GetsAnswered) + " of " + Whole(a.GetsMade) + " answered";
  table.Quorvane(
      "Admin GET with " + std::to_string(kSlowAdminConnections) + " slow connections open, max (ms)",
      !measured            ? "-"
      : a.GetsAnswered > 0 ? Decimal1(a.GetMaxMs)
                           : "none answered",
      !measured            ? "-"
      : a.GetsAnswered > 0 ? "p99 " + Decimal1(a.GetP99Ms) + ", " + answered
                           : answered,
      "<= " + Number(kAdminGetTargetMs, 0),
      a.GetsMade > 0 && a.GetsAnswered == a.GetsMade && a.GetMaxMs <= kAdminGetTargetMs ? 1 : 0);
  const double growth = a.RssAfterKiB >= 0 && a.RssBaselineKiB >= 0
                            ? static_cast<double>(a.RssAfterKiB - a.RssBaselineKiB)
                            : kNoValue;
  table.Quorvane("Resident memory " + Number(a.SettleSeconds, 0) + " s after the flood vs baseline (KiB)",
                 Missing(growth) ? "-" : (growth > 0 ? "+" : "") + Whole(growth),
                 measured ? "VmRSS " + Count(a.RssBaselineKiB) + " → peak " + Count(a.RssPeakKiB) + " → " +
                                Count(a.RssAfterKiB) + " KiB"
                          : "-",
                 "<= " + Whole(kRssAfterAttackTargetKiB),
                 !Missing(growth) && growth <= kRssAfterAttackTargetKiB ? 1 : 0);
}

// "+1.2%" of |value| against |reference|; "-" when either is missing.
std::string Deviation(double value, double reference) {
  if (Missing(value) || reference == 0) return "-";
  const double percent = 100.0 * (value / reference - 1.0);
  return (percent >= 0 ? "+" : "") + Number(percent, 1) + "%";
}

double MiB(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

void CapRows(TTable& table, const TResults& r, const TBenchConfig& config) {
  const TUdpFlood& f = r.UdpFlood;
  table.Quorvane("UDP player's datagrams lost to / from the target while 127.0.0.3 floods its redirector",
                 f.Measured ? Whole(static_cast<double>(f.LostToTarget)) + " / " +
                                  Whole(static_cast<double>(f.LostFromTarget)) + " of " +
                                  Whole(static_cast<double>(f.PlayerSent))
                            : "-",
                 std::to_string(kFloodPlayerRate) + "/s from 127.0.0.2, default caps", "0 / 0",
                 f.Measured && f.PlayerSent > 0 && f.LostToTarget == 0 && f.LostFromTarget == 0 ? 1 : 0);
  for (const TUdpFloodPhase& phase : f.Phases) {
    if (phase.Datagram == 0) continue;
    // The cap that binds at this size, in datagrams a second.
    const double by_count = static_cast<double>(f.Caps.UdpDatagramsPerPlayer);
    const double by_bytes =
        static_cast<double>(f.Caps.UdpBytesPerPlayer) / static_cast<double>(phase.Datagram);
    const bool count_binds = f.Caps.UdpBytesPerPlayer == 0 || (by_count > 0 && by_count <= by_bytes);
    const double cap = count_binds ? by_count : by_bytes;
    const std::string which =
        count_binds ? "UDP_DATAGRAMS_PER_PLAYER " + Whole(by_count)
                    : "UDP_BYTES_PER_PLAYER " + Whole(static_cast<double>(f.Caps.UdpBytesPerPlayer));
    table.Quorvane(
        "Flood datagrams of " + std::to_string(phase.Datagram) + " B that reached the target (datagrams/s)",
        Whole(phase.TargetDatagramsPerS),
        Whole(phase.TargetBytesPerS / 1024.0) + " KiB/s, " + Deviation(phase.TargetDatagramsPerS, cap) +
            " of " + which + "; flood sent " + Whole(phase.SentPerS) + "/s",
        "<= cap + 5%", phase.TargetDatagramsPerS <= cap * kCapOvershoot ? 1 : 0);
  }
  const TCappedBulk& b = r.CappedBulk;
  const double cap_mib = MiB(b.Caps.TcpBytesPerPlayer);
  table.Quorvane(
      "TCP bulk, 1 connection, TCP_BYTES_PER_PLAYER " + Number(cap_mib, 0) + " MiB/s (MiB/s)",
      Number(b.RateMib, 2),
      Deviation(b.RateMib, cap_mib) + " of the cap, over " + Number(config.CapMs / 1000.0, 1) + " s",
      "within 5% of the cap",
      !Missing(b.RateMib) && std::abs(b.RateMib / cap_mib - 1.0) <= kCapDeviation ? 1 : 0);
  const TCapsCost& c = r.CapsCost;
  const auto cost_rows = [&table](const std::string& what, const std::string& unit,
                                  const std::array<TLoad, kCapSettings>& loads, TFormat format,
                                  const std::string& default_cap) {
    const double off = At(loads[kCapsOff].Value, 0);
    const double high = At(loads[kCapsHigh].Value, 0);
    table.Quorvane(what + ", caps 0 " + unit, format(off),
                   "every cap " + Whole(static_cast<double>(kHighestCap)) + ": " + format(high) + " (" +
                       Times(Missing(off) || off == 0 ? kNoValue : high / off) + ")",
                   "-", -1);
    table.Quorvane(what + ", default caps " + unit, format(At(loads[kCapsDefault].Value, 0)), default_cap,
                   "-", -1);
  };
  cost_rows("TCP bulk, 1 connection", "(MiB/s)", c.Bulk, Decimal1,
            "TCP_BYTES_PER_PLAYER " + Number(MiB(kDefaultCaps.TcpBytesPerPlayer), 0) + " MiB/s");
  cost_rows("UDP echo rate, 1 peer, window " + std::to_string(config.Window), "(datagrams/s)", c.Echo, Whole0,
            "UDP_DATAGRAMS_PER_PLAYER " + Whole(static_cast<double>(kDefaultCaps.UdpDatagramsPerPlayer)) +
                "/s, " + Whole(static_cast<double>(c.EchoLost[kCapsDefault])) + " lost");
}

// The idle rows: what an idle relay or session costs in memory, descriptors,
// threads and CPU.
void IdleRows(TTable& table, const TIdleCost& idle, const TBenchConfig& config, std::size_t systems) {
  table.PeerRow("Resident memory per idle relayed TCP connection (KiB)", idle.KibPerTcpRelay, Decimal1,
                TBetter::kLower, kRssPerRelayTarget);
  table.Plain("Resident memory per idle UDP session (KiB)", idle.KibPerUdpSession, Decimal1);
  table.Plain("Descriptors per idle relayed TCP connection", idle.FdsPerTcpRelay, Decimal1);
  const double none = At(idle.ThreadsNone, kQuorvane);
  const double probe = At(idle.ThreadsProbe, kQuorvane);
  const double all = At(idle.ThreadsAll, kQuorvane);
  const bool measured = !Missing(none) && !Missing(probe) && !Missing(all);
  table.Row("Threads with " + std::to_string(config.ThreadProbe) + " idle relayed TCP connections",
            CellsOf(systems, idle.ThreadsProbe, Whole0),
            measured ? "Quorvane: " + Whole(none) + " with none, " + Whole(all) + " with " +
                           std::to_string(config.IdleCount)
                     : "-",
            "independent of relays", measured && probe == none && all == none ? 1 : 0);
  const double cpu = At(idle.CpuPercent, kQuorvane);
  table.Row(std::to_string(config.IdleCount) + " idle TCP relays + " + std::to_string(config.IdleCount) +
                " idle UDP sessions, " + Number(config.IdleHoldMs / 1000.0, 0) + " s: CPU (% of one core)",
            CellsOf(systems, idle.CpuPercent, Decimal3), "-", "0 (< 0.01%)",
            !Missing(cpu) && cpu < kIdleCpuTarget ? 1 : 0);
}

void AddRows(TTable& table, const TResults& r, const TBenchConfig& config, std::size_t systems,
             const TSelected& selected) {
  if (selected("setup")) {
    table.PeerRow("Connections per second, one at a time", r.Setup.OneAtATime.Value, Whole0, TBetter::kHigher,
                  kSetupRateTarget);
    table.PeerRow("Connections per second, " + std::to_string(config.SetupParallel) + " in parallel",
                  r.Setup.Parallel.Value, Whole0, TBetter::kHigher, kSetupRateTarget);
    table.PeerRow("Connect + first echo, p50 (µs)", r.Setup.FirstEchoP50, Decimal1, TBetter::kLower,
                  kFirstEchoTarget);
    table.Plain("Connect + first echo, p99 (µs)", r.Setup.FirstEchoP99, Decimal1);
  }
  if (selected("bulk")) {
    table.PeerRow("TCP bulk, 1 connection (MiB/s)", r.Bulk1.Value, Whole0, TBetter::kHigher, kBulkTarget);
    table.Plain("TCP bulk, 8 connections (MiB/s)", r.Bulk8.Value, Whole0);
  }
  if (selected("rtt")) {
    table.PeerRow("TCP round trip, 64 B, p50 (µs)", r.TcpRtt.P50, Decimal1, TBetter::kLower,
                  kRoundTripTarget);
    table.Plain("TCP round trip, 64 B, p99 (µs)", r.TcpRtt.P99, Decimal1);
    table.PeerRow("UDP round trip, 64 B, p50 (µs)", r.UdpRtt.P50, Decimal1, TBetter::kLower,
                  kRoundTripTarget);
    table.Plain("UDP round trip, 64 B, p99 (µs)", r.UdpRtt.P99, Decimal1);
  }
  if (selected("udp-rate")) {
    const std::string window = std::to_string(config.Window);
    table.PeerRow("UDP echo rate, 1 peer, window " + window + " (datagrams/s)", r.Rate1.Rate.Value, Whole0,
                  TBetter::kHigher, kEchoRateTarget1);
    table.PeerRow("UDP echo rate, 64 peers, window " + window + " (datagrams/s)", r.Rate64.Rate.Value, Whole0,
                  TBetter::kHigher, kEchoRateTarget64);
  }
  if (selected("idle")) IdleRows(table, r.Idle, config, systems);
  if (selected("slow")) {
    table.Quorvane(
        "Slow receiver behind a fast sender, " + Number(config.SlowMs / 1000.0, 0) + " s: RSS growth (KiB)",
        Number(r.Slow.GrowthKib, 0), "bound " + std::to_string(kRelayBufferBoundKiB) + " KiB per relay",
        "<= " + std::to_string(kRelayBufferBoundKiB) + " KiB",
        !Missing(r.Slow.GrowthKib) && r.Slow.GrowthKib <= kRelayBufferBoundKiB ? 1 : 0);
  }
  if (selected("caps")) CapRows(table, r, config);
  if (selected("flood")) {
    const auto flood_row = [&table](const char* which, double idle_us, double flood_us) {
      const double ratio =
          Missing(idle_us) || Missing(flood_us) || idle_us == 0 ? kNoValue : flood_us / idle_us;
      table.Quorvane(std::string("Control Nop round trip ") + which + " while 127.0.0.2 floods (µs)",
                     Decimal1(flood_us) + " (idle " + Decimal1(idle_us) + ")", Times(ratio) + " idle",
                     "<= 3x idle", !Missing(ratio) && ratio <= kFloodTarget ? 1 : 0);
    };
    flood_row("p50", r.Flood.IdleP50, r.Flood.FloodP50);
    flood_row("p99", r.Flood.IdleP99, r.Flood.FloodP99);
  }
  if (selected("spray")) {
    const TUdpUnderSpray& spray = r.Spray;
    table.Quorvane("UDP player's datagrams lost while 127.0.0.2 sprays its redirector",
                   spray.Measured ? Whole(static_cast<double>(spray.Lost)) + " of " +
                                        Whole(static_cast<double>(spray.Sent))
                                  : "-",
                   spray.Measured ? "spray " + Whole(spray.SprayRate) + "/s" : "-", "0",
                   spray.Measured && spray.Lost == 0 ? 1 : 0);
  }
  if (selected("capacity")) CapacityRows(table, r.Capacity);
  if (selected("attack")) AttackRows(table, r.Attack);
}

// "; first failure: <why>" when there was one.
std::string FirstFailure(const std::string& why) { return why.empty() ? "" : "; first failure: " + why; }

void AttackNotes(const TAttack& a) {
  const TControlLimits limits;
  std::vector<std::string> refused;
  for (const TAttack::TRefusals& sum : a.Refusals) {
    refused.push_back(Whole(static_cast<double>(sum.Refused)) + " " + sum.What + " in " + Whole(sum.Lines) +
                      (sum.Lines == 1 ? " line" : " lines"));
  }
  const std::string refusals = Join(refused, "; ");
  std::printf(
      "- Distributed attack (the real server under RLIMIT_NOFILE %s, soft and hard, default [LIMITS]: "
      "SESSIONS_PER_ADDRESS %d, REDIRECTORS_PER_ADDRESS %d, CONNECTIONS_PER_ADDRESS %d, descriptor shares "
      "%d/%d/%d; admin endpoint on 127.0.0.1): %d attacker addresses, 127.0.0.2 to 127.0.0.%d, each opened "
      "%d control sessions: %s held (by %d addresses), %s refused. Each made %d UDP redirectors towards a "
      "closed port of its own address (%s made, %s refused) and sprayed them with one datagram per new "
      "source port bound on its address, at most %d per redirector, from %d thread(s) at the lowest "
      "priority: %s datagrams in %s s (%s/s). The server's refusal lines on standard error: %s. Server "
      "descriptors %s → peak %s → %s after, CPU %s%% of one core during the spray.\n",
      Whole(static_cast<double>(kAttackDescriptorLimit)).c_str(), limits.SessionsPerAddress,
      limits.RedirectorsPerAddress, limits.ConnectionsPerAddress, limits.SessionDescriptors,
      limits.RedirectorDescriptors, limits.RelayDescriptors, kAttackAddresses, kAttackAddresses + 1,
      kAttackSessionsPerAddress, Whole(a.SessionsHeld).c_str(), a.AddressesHolding,
      Whole(a.SessionsRefused).c_str(), kAttackRedirectorsPerAddress, Whole(a.RedirectorsMade).c_str(),
      Whole(a.CreatesRefused).c_str(), limits.ConnectionsPerAddress, a.SprayThreads,
      Whole(static_cast<double>(a.Datagrams)).c_str(), Number(a.SpraySeconds, 1).c_str(),
      Whole(a.SpraySeconds > 0 ? static_cast<double>(a.Datagrams) / a.SpraySeconds : kNoValue).c_str(),
      refusals.empty() ? "none" : refusals.c_str(), Count(a.DescriptorsBaseline).c_str(),
      Count(a.DescriptorsPeak).c_str(), Count(a.DescriptorsAfter).c_str(), Number(a.ServerCpu, 0).c_str());
  std::printf(
      "- Around it: a game host from 127.0.1.1 made a UDP redirector to an echo target of the benchmark "
      "before the attack, and its player, 127.0.1.2, sent %d numbered datagrams a second through it from one "
      "socket until %s s after the attack (%s sent; the echo target saw %d source port(s)). A host from "
      "127.0.1.3 connected every %d ms during the attack, registered, made a UDP redirector and left "
      "(latency: Register sent to create answered%s). %d admin connections from 127.0.2.1 on, %d an address, "
      "each sent part of a request head and stalled, and were opened again %d ms after the endpoint closed "
      "them (%s opened, %s closed by it, at least %d stalled at each GET); a GET /api/status went every %d "
      "ms of the spray from an address of its own on 127.0.3.x, timed from connect to the endpoint's "
      "close%s.\n",
      kPlayerRate, Number(a.SettleSeconds, 0).c_str(), Whole(static_cast<double>(a.PlayerSent)).c_str(),
      a.PlayerPorts, kLegitPeriodMs, FirstFailure(a.LegitFailure).c_str(), kSlowAdminConnections,
      kSlowAdminPerAddress, kSlowAdminReopenMs, Whole(a.SlowOpened).c_str(), Whole(a.SlowClosed).c_str(),
      a.SlowStalledLeast, kGetPeriodMs, FirstFailure(a.GetFailure).c_str());
}

// How the caps rows were measured and what the relays paid for them.
void CapsNotes(const TResults& r, const TBenchConfig& config) {
  const TCapsCost& c = r.CapsCost;
  const auto cpu = [](const std::array<TLoad, kCapSettings>& loads) {
    return Number(At(loads[kCapsOff].Cpu, 0), 0) + " / " + Number(At(loads[kCapsHigh].Cpu, 0), 0) + " / " +
           Number(At(loads[kCapsDefault].Cpu, 0), 0);
  };
  std::printf(
      "- Player caps (Quorvane alone, through a new redirector per run; the rows that compare systems run "
      "with all four [LIMITS] caps 0): caps 0 and every cap at %s took turns in %d rounds, like the "
      "systems above. Relay CPU, caps 0 / highest / default (%% of one core): bulk %s; UDP echo %s, the "
      "echo losing %llu / %llu / %llu datagrams. The default-caps rows, the capped bulk (CPU %s%%, "
      "BYTES_PER_REDIRECTOR %s MiB/s) and each flood size are one window of %s s opened %s s after the "
      "load began, once the second's worth a new bucket holds was used up. The flood came from %d sockets "
      "of 127.0.0.3 (sessions of one address, which share its caps); the target answered the player's "
      "datagrams and none of the flood's; the kernel dropped %s datagrams on full UDP receive buffers "
      "meanwhile (RcvbufErrors, machine-wide).\n",
      Whole(static_cast<double>(kHighestCap)).c_str(), config.Rounds, cpu(c.Bulk).c_str(),
      cpu(c.Echo).c_str(), static_cast<unsigned long long>(c.EchoLost[kCapsOff]),
      static_cast<unsigned long long>(c.EchoLost[kCapsHigh]),
      static_cast<unsigned long long>(c.EchoLost[kCapsDefault]), Number(r.CappedBulk.Cpu, 0).c_str(),
      Number(MiB(r.CappedBulk.Caps.BytesPerRedirector), 0).c_str(), Number(config.CapMs / 1000.0, 1).c_str(),
      Number(config.CapWarmUpMs / 1000.0, 1).c_str(), kFloodSockets,
      r.UdpFlood.BufferDrops < 0 ? "-" : Whole(static_cast<double>(r.UdpFlood.BufferDrops)).c_str());
}

// How the game-host capacity row was measured, and the server before and after.
void CapacityNotes(const TCapacity& c) {
  std::printf(
      "- Game hosts (the real server under RLIMIT_NOFILE %s, soft and hard, with the descriptor shares off "
      "([LIMITS] SESSION_DESCRIPTORS, REDIRECTOR_DESCRIPTORS and RELAY_DESCRIPTORS 0), so that the row "
      "measures what a host costs rather than the sessions' share; each host a control session from "
      "127.0.0.2 on, %d per address, that registered and made one TCP and one UDP redirector, all held): "
      "%s held of %s made, cap %s, in %s s by %d client thread(s); %s. Server threads %s → %s, descriptors "
      "%s → %s, VmRSS %s → %s KiB. Create latency at load: the %s creates of the last tenth of the hosts, "
      "request sent to reply received. A create that names an existing target gets that redirector back, "
      "so every host's pair aims at 127.0.0.1 on a port of its own where nothing listens; the first host's "
      "pair aims at the benchmark's echo targets and carried the relay check.\n",
      Whole(static_cast<double>(kCapacityDescriptorLimit)).c_str(), kHostsPerAddress, Whole(c.Held).c_str(),
      Whole(c.Created).c_str(), Whole(c.Cap).c_str(), Number(c.Seconds, 1).c_str(), c.ClientThreads,
      c.StopReason.empty() ? "the cap was reached" : ("stopped at " + c.StopReason).c_str(),
      Count(c.ThreadsBefore).c_str(), Count(c.ThreadsAfter).c_str(), Count(c.DescriptorsBefore).c_str(),
      Count(c.DescriptorsAfter).c_str(), Count(c.RssBeforeKiB).c_str(), Count(c.RssAfterKiB).c_str(),
      Whole(c.CreatesAtLoad).c_str());
}

void PrintNotes(const TResults& r, const TBenchConfig& config, const std::vector<std::string>& names,
                const TSelected& selected) {
  if (selected("setup") || selected("bulk") || selected("rtt") || selected("udp-rate")) {
    const std::string against =
        Join({AgainstDirect("connections one at a time", r.Setup.OneAtATime.Value, false),
              AgainstDirect("first echo p50", r.Setup.FirstEchoP50, true),
              AgainstDirect("bulk 1 connection", r.Bulk1.Value, false),
              AgainstDirect("bulk 8 connections", r.Bulk8.Value, false),
              AgainstDirect("TCP round trip p50", r.TcpRtt.P50, true),
              AgainstDirect("UDP round trip p50", r.UdpRtt.P50, true),
              AgainstDirect("UDP echo rate 1 peer", r.Rate1.Rate.Value, false),
              AgainstDirect("64 peers", r.Rate64.Rate.Value, false)},
             "; ");
    std::printf("- Quorvane against direct: %s.\n", against.c_str());
    const std::string cpu = Join(
        {CpuList("connections one at a time", names, r.Setup.OneAtATime.Cpu),
         CpuList(std::to_string(config.SetupParallel) + " in parallel", names, r.Setup.Parallel.Cpu),
         CpuList("bulk 1 connection", names, r.Bulk1.Cpu), CpuList("8 connections", names, r.Bulk8.Cpu),
         CpuList("UDP echo 1 peer", names, r.Rate1.Rate.Cpu), CpuList("64 peers", names, r.Rate64.Rate.Cpu)},
        "; ");
    if (!cpu.empty()) {
      std::printf("- Relay CPU under load (%% of one core, summed over the relay's processes): %s.\n",
                  cpu.c_str());
    }
  }
  if (selected("rtt") || selected("udp-rate")) {
    std::printf("- UDP datagrams with no answer within 100 ms: round trips %llu; echo rate %llu.\n",
                static_cast<unsigned long long>(r.UdpRtt.Lost),
                static_cast<unsigned long long>(r.Rate1.Lost) + r.Rate64.Lost);
  }
  if (selected("idle")) {
    std::string threads;
    for (std::size_t s = kQuorvane; s < names.size(); ++s) {
      threads += (threads.empty() ? "" : ", ") + names[s] + " " + Whole(At(r.Idle.ThreadsNone, s));
    }
    std::printf(
        "- Idle CPU is the run time summed over the relay's threads (/proc/<pid>/task/*/schedstat, ns); "
        "utime+stime of /proc/<pid>/stat (10 ms ticks) gave Quorvane %s%%. Threads with no relay: %s.\n",
        Number(At(r.Idle.StatCpuPercent, kQuorvane), 2).c_str(), threads.c_str());
  }
  if (selected("slow")) {
    std::printf("- Slow receiver (Quorvane): the sender pushed %s MiB, the reader took %s MiB.\n",
                Number(r.Slow.SentMib, 1).c_str(), Number(r.Slow.ReadMib, 1).c_str());
  }
  if (selected("caps")) CapsNotes(r, config);
  if (selected("flood")) {
    std::printf(
        "- Control-port flood (the real server, SESSIONS_PER_ADDRESS=%d): 127.0.0.2 held %d sessions and %d "
        "more were refused; the flood got %s Nop answers/s; server CPU %s%% of one core.\n",
        kFloodSessions, r.Flood.FloodSessions, r.Flood.FloodRefused, Whole(r.Flood.FloodAnswers).c_str(),
        Number(r.Flood.ServerCpu, 0).c_str());
  }
  if (selected("spray")) {
    std::printf(
        "- UDP spray: before it, the player lost %llu of %llu datagrams (one every 2 ms); during it, "
        "127.0.0.2 sent %s datagrams/s, each from a new source port (CONNECTIONS_PER_ADDRESS=256), and the "
        "kernel dropped %s datagrams on full UDP receive buffers (RcvbufErrors, machine-wide).\n",
        static_cast<unsigned long long>(r.Spray.QuietLost),
        static_cast<unsigned long long>(r.Spray.QuietSent), Whole(r.Spray.SprayRate).c_str(),
        r.Spray.BufferDrops < 0 ? "-" : Whole(static_cast<double>(r.Spray.BufferDrops)).c_str());
  }
  if (selected("capacity") && r.Capacity.Measured) CapacityNotes(r.Capacity);
  if (selected("attack") && r.Attack.Measured) AttackNotes(r.Attack);
}

// The rows that compare the relays, each system in turn, then the caps.
void MeasureRelays(TMeasurements& bench, TRedirectorHost& host, const TBenchConfig& config,
                   const TSelected& selected, TResults* r, std::vector<std::string>* cap_problems) {
  if (selected("setup")) {
    Progress("connection setup, one at a time and " + std::to_string(config.SetupParallel) + " in parallel");
    r->Setup = bench.SetupRates();
  }
  if (selected("bulk")) {
    Progress("TCP bulk, 1 connection");
    r->Bulk1 = bench.BulkThroughput(1);
    Progress("TCP bulk, 8 connections");
    r->Bulk8 = bench.BulkThroughput(8);
  }
  if (selected("rtt")) {
    Progress("TCP round trip");
    r->TcpRtt = bench.TcpRoundTrip();
    Progress("UDP round trip");
    r->UdpRtt = bench.UdpRoundTrip();
  }
  if (selected("udp-rate")) {
    Progress("UDP echo rate, 1 peer");
    r->Rate1 = bench.UdpEchoRate(1);
    Progress("UDP echo rate, 64 peers");
    r->Rate64 = bench.UdpEchoRate(64);
  }
  if (selected("idle")) {
    Progress("idle relays and sessions");
    r->Idle = bench.IdleCost();
  }
  if (selected("slow")) {
    Progress("slow receiver");
    r->Slow = bench.SlowReceiver();
  }
  if (selected("caps")) {
    Progress("caps 0, every cap at its highest, default caps");
    r->CapsCost = bench.CapsCost();
    Progress("TCP bulk under a cap");
    r->CappedBulk = bench.CappedBulk(kBulkCap);
    Progress("UDP player beside a flood of its redirector, default caps");
    r->UdpFlood = MeasureUdpFlood(host, kDefaultCaps, {config.CapWarmUpMs, config.CapMs}, cap_problems);
  }
}

TAbuseConfig AbuseConfigFor(const TOptions& options) {
  TAbuseConfig abuse_config;
  if (options.Quick) abuse_config = {500, 1000};
  return abuse_config;
}

TCapacityConfig CapacityConfigFor(const TOptions& options) {
  TCapacityConfig capacity_config;
  capacity_config.MaxHosts = options.Hosts > 0 ? options.Hosts
                             : options.Quick   ? kQuickGameHosts
                                               : kMaxGameHosts;
  return capacity_config;
}

TAttackConfig AttackConfigFor(const TOptions& options) {
  TAttackConfig attack_config;
  if (options.Quick) {
    attack_config.SprayMs = 3000;
    attack_config.SettleMs = 3000;
  }
  return attack_config;
}

// The rows of the control-port flood and the source-port spray.
void MeasureAbuse(const TOptions& options, const TSelected& selected, TControlPortLoad& abuse, TResults* r) {
  if ((selected("flood") || selected("spray")) && abuse.Start(options.Server)) {
    if (selected("flood")) {
      Progress("Nop round trip under a control-port flood");
      r->Flood = abuse.NopUnderFlood();
    }
    if (selected("spray")) {
      Progress("UDP player under a source-port spray");
      r->Spray = abuse.UdpUnderSpray();
    }
  }
}

void MeasureCapacity(const TOptions& options, const TSelected& selected,
                     const TCapacityConfig& capacity_config, TGameHostCapacity& capacity, TResults* r) {
  if (selected("capacity") && capacity.Start(options.Server)) {
    Progress("game hosts under a " + Whole(static_cast<double>(kCapacityDescriptorLimit)) +
             "-descriptor limit, up to " + Whole(capacity_config.MaxHosts));
    r->Capacity = capacity.Measure();
  }
}

void MeasureAttack(const TOptions& options, const TSelected& selected, TDistributedAttack& attack,
                   TResults* r) {
  if (selected("attack") && attack.Start(options.Server)) {
    Progress("legitimate clients under a " + std::to_string(kAttackAddresses) + "-address attack");
    r->Attack = attack.Measure();
  }
}

// How the systems were run: pinning, relay threads, and what each could not run.
void PrintSetupNotes(const TOptions& options, int workers, const TBenchConfig& config,
                     const std::vector<TRelaySystem*>& systems, const std::vector<std::string>& notes) {
  if (options.PinCpu >= 0) {
    std::printf(
        "- Pinned: every process (load generators, targets, Quorvane's redirector process, the peers, the "
        "server) ran on CPU %d alone.\n",
        options.PinCpu);
  } else {
    std::printf("- Unpinned: every process ran where the scheduler put it, on %d CPUs.\n", workers);
  }
  std::printf(
      "- Relay threads, one per CPU the run may use: Quorvane's relay engine %d loop(s), haproxy nbthread "
      "%d, "
      "nginx worker_processes %d; rinetd has one thread. Systems took turns in %d round(s) per figure.\n",
      workers, workers, workers, config.Rounds);
  for (const TRelaySystem* s : systems) {
    if (!s->CarriesUdp()) {
      std::printf("- %s runs the TCP rows only: %s.\n", s->Name().c_str(), s->NoUdpReason().c_str());
    }
  }
  for (const std::string& note : notes) std::printf("- %s.\n", note.c_str());
}

int Run(const TOptions& options) {
  const TSelected selected = [&options](const char* name) {
    return options.Only.empty() || options.Only.count(name) > 0;
  };
  // First of all, so that every thread and child inherits it.
  if (options.PinCpu >= 0 && !PinProcess(options.PinCpu)) {
    std::fprintf(stderr, "quorvane-bench: cannot pin to CPU %d\n", options.PinCpu);
    return 1;
  }
  const int workers = static_cast<int>(AllowedCpus().size());
  const long descriptors = RaiseDescriptorLimit();
  // Sends use MSG_NOSIGNAL; the redirector process ignores SIGPIPE as the
  // server does. Set before the fork, so both have it.
  std::signal(SIGPIPE, SIG_IGN);
  // Before any thread exists: the child must not inherit a half-held lock.
  TRedirectorHost host;
  if (!host.Start()) {
    std::fprintf(stderr, "quorvane-bench: cannot start the redirector process\n");
    return 1;
  }
  const TBenchConfig config = options.Quick ? QuickConfig() : TBenchConfig();

  std::vector<std::string> notes;
  TDirectSystem direct;
  TQuorvaneSystem quorvane(host);
  std::vector<std::unique_ptr<TRelaySystem>> peers;
  for (auto& peer : InstalledPeers(workers, &notes)) {
    if (options.Peers.count(peer->Name()) > 0) peers.push_back(std::move(peer));
  }
  std::vector<TRelaySystem*> systems = {&direct, &quorvane};
  for (const auto& peer : peers) systems.push_back(peer.get());
  std::vector<std::string> names;
  names.reserve(systems.size());
  for (const TRelaySystem* s : systems) names.push_back(s->Name());

  TMeasurements bench(systems, host, config);
  if (!bench.Ready()) {
    std::fprintf(stderr, "quorvane-bench: cannot start the targets on 127.0.0.1\n");
    return 1;
  }
  if (descriptors < 8 * config.IdleCount + 256) {
    std::fprintf(stderr, "quorvane-bench: only %ld descriptors allowed; the idle test may fall short\n",
                 descriptors);
  }

  const std::string load_before = LoadAverages();
  TResults r;
  std::vector<std::string> cap_problems;
  MeasureRelays(bench, host, config, selected, &r, &cap_problems);
  host.Quit();
  // Each of the server's rows sets up its targets only once the one before
  // is measured.
  TControlPortLoad abuse(AbuseConfigFor(options));
  MeasureAbuse(options, selected, abuse, &r);
  const TCapacityConfig capacity_config = CapacityConfigFor(options);
  TGameHostCapacity capacity(capacity_config);
  MeasureCapacity(options, selected, capacity_config, capacity, &r);
  TDistributedAttack attack(AttackConfigFor(options));
  MeasureAttack(options, selected, attack, &r);
  const std::string load_after = LoadAverages();

  TTable table(names);
  AddRows(table, r, config, names.size(), selected);
  std::printf("Quorvane redirector benchmark, 127.0.0.0/8%s\n", options.Quick ? " (quick run)" : "");
  std::printf("Machine: %s\n\n", MachineLine().c_str());
  table.Print();
  std::printf("\nNotes:\n");
  PrintSetupNotes(options, workers, config, systems, notes);
  PrintNotes(r, config, names, selected);
  std::printf("- Load averages before / after: %s / %s.\n", load_before.c_str(), load_after.c_str());
  for (const std::string& problem : bench.Problems()) std::printf("- Problem: %s.\n", problem.c_str());
  for (const std::string& problem : cap_problems) std::printf("- Problem: %s.\n", problem.c_str());
  for (const std::string& problem : abuse.Problems()) std::printf("- Problem: %s.\n", problem.c_str());
  for (const std::string& problem : capacity.Problems()) std::printf("- Problem: %s.\n", problem.c_str());
  for (const std::string& problem : attack.Problems()) std::printf("- Problem: %s.\n", problem.c_str());
  return 0;
}

// The quorvane executable beside this one.
std::string ServerBesideUs() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "quorvane";
  std::string self(path, static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/') + 1) + "quorvane";
}

bool Known(const auto& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Fills |options| from the command line; false on a mistake.
bool ParseOptions(int argc, char** argv, TOptions* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--quick") {
      options->Quick = true;
    } else if (arg == "--pin") {
      options->PinCpu = AllowedCpus().empty() ? 0 : AllowedCpus().back();
      if (has_value && std::strspn(argv[i + 1], "0123456789") == std::strlen(argv[i + 1]) && argv[i + 1][0]) {
        options->PinCpu = std::atoi(argv[++i]);
      }
    } else if (arg == "--only" && has_value && Known(kMeasurementNames, argv[i + 1])) {
      options->Only.insert(argv[++i]);
    } else if (arg == "--peers" && has_value) {
      options->Peers.clear();
      std::string list = argv[++i];
      for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::string name = list.substr(start, comma - start);
        if (!Known(kPeerNames, name) && name != "none") return false;
        if (name != "none") options->Peers.insert(name);
        start = comma + 1;
      }
    } else if (arg == "--hosts" && has_value) {
      char* end = nullptr;
      const long hosts = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || hosts < 1 || hosts > kMaxGameHosts) return false;
      options->Hosts = static_cast<int>(hosts);
    } else if (arg == "--server" && has_value) {
      options->Server = argv[++i];
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace quorvane::bench

int main(int argc, char** argv) {
  quorvane::bench::TOptions options;
  options.Server = quorvane::bench::ServerBesideUs();
  if (!quorvane::bench::ParseOptions(argc, argv, &options)) {
    const bool help = argc > 1 && std::strcmp(argv[argc - 1], "--help") == 0;
    if (!help) {
      std::fprintf(
          stderr,
          "usage: %s [--quick] [--pin [CPU]] [--only NAME]... [--peers LIST] [--hosts N] [--server PATH] "
          "(--help)\n",
          argv[0]);
      return 2;
    }
    std::printf(
        "usage: %s [--quick] [--pin [CPU]] [--only NAME]... [--peers LIST] [--hosts N] [--server PATH]\n"
        "Measures Quorvane's TCP and UDP redirectors against direct connections and against the\n"
        "peers installed (rinetd, haproxy, nginx with its stream module) on 127.0.0.0/8, and prints\n"
        "a Markdown table.\n"
        "  --quick        a short smoke run\n"
        "  --pin [CPU]    run every process on one CPU (default: the last one allowed), which makes\n"
        "                 runs repeat on a shared machine\n"
        "  --only NAME    run just the named measurements (repeatable): setup, bulk, rtt, udp-rate,\n"
        "                 idle, slow, caps, flood, spray, capacity, attack\n"
        "  --peers LIST   comma-separated peers to compare with (rinetd,haproxy,nginx), or none\n"
        "  --hosts N      the most game hosts the capacity row makes, 1 to %d (default %d, %d with\n"
        "                 --quick)\n"
        "  --server PATH  the quorvane executable for the flood, spray, capacity and attack rows\n"
        "                 (default: beside this program)\n",
        argv[0], quorvane::bench::kMaxGameHosts, quorvane::bench::kMaxGameHosts,
        quorvane::bench::kQuickGameHosts);
    return 0;
  }
  return quorvane::bench::Run(options);
}
