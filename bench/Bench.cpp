// quorvane-bench: measures the TCP and UDP redirectors against direct
// connections to the same targets, on 127.0.0.1 only, and prints a Markdown
// table with the targets each figure is held to.
//
// DESIGN: the redirectors run in a child process (TRedirectorHost), forked
// before this process starts any thread, so that the CPU time and resident
// memory read from /proc are theirs alone. The targets and load generators
// run here, each target one thread for all its sockets; only the round trips
// pin client and target to two CPUs (see TMeasurements::RoundTripTest).
// Every wait is bounded and the run ends by itself.
#include <algorithm>
#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/Measurements.h"
#include "bench/RedirectorHost.h"

namespace quorvane::bench {
namespace {

constexpr double kBulkTarget = 0.5;        // of direct, 1 connection
constexpr double kRoundTripTarget = 1.2;   // times direct, p50
constexpr double kEchoRateTarget = 0.5;    // of direct
constexpr double kIdleCpuTarget = 0.5;     // % of one core
constexpr double kRssPerRelayTarget = 32;  // KiB
constexpr double kSetupRateTarget = 4500;  // connections per second

bool Missing(double v) { return v != v; }

std::string Number(double value, int decimals) {
  if (Missing(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Whole numbers with thousands separators, for rates and throughputs.
std::string Whole(double value) {
  if (Missing(value)) return "n/a";
  const std::string digits = Number(value, 0);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0 && digits[i - 1] != '-') grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

std::string Ratio(const TPair& pair) {
  if (Missing(pair.direct) || Missing(pair.redirected) || pair.direct == 0) return "n/a";
  return Number(pair.redirected / pair.direct, 2) + "x";
}

std::string Difference(const TPair& pair) {
  if (Missing(pair.direct) || Missing(pair.redirected) || pair.direct == 0) return "n/a";
  const double diff = pair.redirected - pair.direct;
  return (diff >= 0 ? "+" : "") + Number(diff, 1) + " µs (" + Ratio(pair) + ")";
}

class TTable {
 public:
  void Row(std::string metric, std::string direct, std::string redirected, std::string compare,
           std::string target = "-", int met = -1) {
    rows_.push_back({std::move(metric), std::move(direct), std::move(redirected), std::move(compare),
                     std::move(target),
                     met < 0   ? "-"
                     : met > 0 ? "yes"
                               : "**no**"});
    if (met >= 0) ++targets_;
    if (met > 0) ++met_;
  }
  // 1 when the figure was measured and holds; a figure missing misses.
  static int Met(bool measured, bool holds) { return measured && holds ? 1 : 0; }

  void Print() const {
    std::printf("| Metric | Direct | Through redirector | Ratio / difference | Target | Met? |\n");
    std::printf("|---|---:|---:|---:|---|---|\n");
    for (const auto& r : rows_) {
      std::printf("| %s | %s | %s | %s | %s | %s |\n", r[0].c_str(), r[1].c_str(), r[2].c_str(), r[3].c_str(),
                  r[4].c_str(), r[5].c_str());
    }
    std::printf("\nTargets met: %d of %d.\n", met_, targets_);
  }

 private:
  std::vector<std::array<std::string, 6>> rows_;
  int targets_ = 0;
  int met_ = 0;
};

void Progress(const char* what) {
  std::fprintf(stderr, "quorvane-bench: %s\n", what);
  std::fflush(stderr);
}

TBenchConfig QuickConfig() {
  TBenchConfig c;
  c.rounds = 1;
  c.round_trip_rounds = 2;
  c.bulk_ms = 800;
  c.round_trips = 3000;
  c.round_trip_limit_ms = 1000;
  c.echo_rate_ms = 500;
  c.idle_count = 100;
  c.idle_hold_ms = 1000;
  c.slow_ms = 1000;
  c.setup_ms = 500;
  return c;
}

// The measurements --only can name.
constexpr const char* kMeasurementNames[] = {"bulk", "rtt", "udp-rate", "idle", "slow", "setup"};

int Run(bool quick, bool pin, const std::set<std::string>& only) {
  const auto selected = [&only](const char* name) { return only.empty() || only.count(name) > 0; };
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
  TBenchConfig config = quick ? QuickConfig() : TBenchConfig();
  config.pin_round_trips = pin;
  TMeasurements bench(host, config);
  if (!bench.Ready()) {
    std::fprintf(stderr, "quorvane-bench: cannot start the targets on 127.0.0.1\n");
    return 1;
  }
  if (descriptors < 4 * config.idle_count + 256) {
    std::fprintf(stderr, "quorvane-bench: only %ld descriptors allowed; the idle test may fall short\n",
                 descriptors);
  }

  const std::string load_before = LoadAverages();
  TPair bulk1, bulk8, setup;
  TLatencies tcp_rtt, udp_rtt;
  TEchoRate rate1, rate64;
  TIdleCost idle;
  TSlowReceiver slow;
  if (selected("bulk")) {
    Progress("TCP bulk, 1 connection");
    bulk1 = bench.BulkThroughput(1);
    Progress("TCP bulk, 8 connections");
    bulk8 = bench.BulkThroughput(8);
  }
  if (selected("rtt")) {
    Progress("TCP round trip");
    tcp_rtt = bench.TcpRoundTrip();
    Progress("UDP round trip");
    udp_rtt = bench.UdpRoundTrip();
  }
  if (selected("udp-rate")) {
    Progress("UDP echo rate, 1 peer");
    rate1 = bench.UdpEchoRate(1);
    Progress("UDP echo rate, 64 peers");
    rate64 = bench.UdpEchoRate(64);
  }
  if (selected("idle")) {
    Progress("idle relays and sessions");
    idle = bench.IdleCost();
  }
  if (selected("slow")) {
    Progress("slow receiver");
    slow = bench.SlowReceiver();
  }
  if (selected("setup")) {
    Progress("connection setup rate");
    setup = bench.SetupRate();
  }
  host.Quit();
  const std::string load_after = LoadAverages();

  TTable table;
  // A measurement left out by --only is judged neither way.
  const auto judged = [&selected](const char* name, int met) { return selected(name) ? met : -1; };
  const auto ratio_at_least = [](const TPair& p, double target) {
    return TTable::Met(!Missing(p.direct) && !Missing(p.redirected), p.redirected >= target * p.direct);
  };
  const auto at_most_times = [](const TPair& p, double target) {
    return TTable::Met(!Missing(p.direct) && !Missing(p.redirected), p.redirected <= target * p.direct);
  };
  table.Row("TCP bulk, 1 connection (MiB/s)", Whole(bulk1.direct), Whole(bulk1.redirected), Ratio(bulk1),
            ">= 0.5x direct", judged("bulk", ratio_at_least(bulk1, kBulkTarget)));
  table.Row("TCP bulk, 8 connections (MiB/s)", Whole(bulk8.direct), Whole(bulk8.redirected), Ratio(bulk8));
  table.Row("TCP round trip, 64 B, p50 (µs)", Number(tcp_rtt.p50.direct, 1),
            Number(tcp_rtt.p50.redirected, 1), Difference(tcp_rtt.p50), "<= 1.2x direct",
            judged("rtt", at_most_times(tcp_rtt.p50, kRoundTripTarget)));
  table.Row("TCP round trip, 64 B, p99 (µs)", Number(tcp_rtt.p99.direct, 1),
            Number(tcp_rtt.p99.redirected, 1), Difference(tcp_rtt.p99));
  table.Row("UDP round trip, 64 B, p50 (µs)", Number(udp_rtt.p50.direct, 1),
            Number(udp_rtt.p50.redirected, 1), Difference(udp_rtt.p50), "<= 1.2x direct",
            judged("rtt", at_most_times(udp_rtt.p50, kRoundTripTarget)));
  table.Row("UDP round trip, 64 B, p99 (µs)", Number(udp_rtt.p99.direct, 1),
            Number(udp_rtt.p99.redirected, 1), Difference(udp_rtt.p99));
  const std::string window = std::to_string(config.window);
  table.Row("UDP echo rate, 1 peer, window " + window + " (datagrams/s)", Whole(rate1.rate.direct),
            Whole(rate1.rate.redirected), Ratio(rate1.rate), ">= 0.5x direct",
            judged("udp-rate", ratio_at_least(rate1.rate, kEchoRateTarget)));
  table.Row("UDP echo rate, 64 peers, window " + window + " (datagrams/s)", Whole(rate64.rate.direct),
            Whole(rate64.rate.redirected), Ratio(rate64.rate), ">= 0.5x direct",
            judged("udp-rate", ratio_at_least(rate64.rate, kEchoRateTarget)));
  const std::string idle_what = std::to_string(config.idle_count) + " idle TCP relays + " +
                                std::to_string(config.idle_count) + " idle UDP sessions, " +
                                Number(config.idle_hold_ms / 1000.0, 0) + " s: server CPU (% of one core)";
  table.Row(idle_what, "-", Number(idle.cpu_percent, 3), "-", "< 0.5%",
            judged("idle", TTable::Met(!Missing(idle.cpu_percent), idle.cpu_percent < kIdleCpuTarget)));
  table.Row("Server RSS per idle TCP relay (KiB)", "-", Number(idle.kib_per_tcp_relay, 1), "-", "<= 32 KiB",
            judged("idle", TTable::Met(!Missing(idle.kib_per_tcp_relay),
                                       idle.kib_per_tcp_relay <= kRssPerRelayTarget)));
  table.Row("Server RSS per idle UDP session (KiB)", "-", Number(idle.kib_per_udp_session, 1), "-");
  table.Row("Slow receiver behind a fast sender, " + Number(config.slow_ms / 1000.0, 0) +
                " s: server RSS growth (KiB)",
            "-", Number(slow.growth_kib, 0),
            "bound " + std::to_string(kRelayBufferBoundKiB) + " KiB per relay", "<= 256 KiB",
            judged("slow", TTable::Met(!Missing(slow.growth_kib), slow.growth_kib <= kRelayBufferBoundKiB)));
  table.Row("Connection setup, one at a time (connections/s)", Whole(setup.direct), Whole(setup.redirected),
            Ratio(setup), ">= 4,500/s",
            judged("setup", TTable::Met(!Missing(setup.redirected), setup.redirected >= kSetupRateTarget)));

  std::printf("Quorvane redirector benchmark, 127.0.0.1%s\n", quick ? " (quick run)" : "");
  std::printf("Machine: %s\n\n", MachineLine().c_str());
  table.Print();
  std::printf("\nNotes:\n");
  if (!tcp_rtt.cpus.empty()) {
    std::printf(
        "- Round trips ran with the client on CPU %d and its target on CPU %d, the redirector free; "
        "everything else ran unpinned, direct and redirected in %d alternating rounds.\n",
        tcp_rtt.cpus[0], tcp_rtt.cpus[1], config.rounds);
  }
  std::printf(
      "- Redirector process CPU under load (%% of one core): TCP bulk %s (1 connection), %s (8); "
      "UDP echo %s (1 peer), %s (64 peers); connection setup %s.\n",
      Number(bulk1.server_cpu, 0).c_str(), Number(bulk8.server_cpu, 0).c_str(),
      Number(rate1.rate.server_cpu, 0).c_str(), Number(rate64.rate.server_cpu, 0).c_str(),
      Number(setup.server_cpu, 0).c_str());
  std::printf(
      "- Idle CPU is the redirector process's run time summed over its threads "
      "(/proc/<pid>/task/*/schedstat, ns); utime+stime of /proc/<pid>/stat (10 ms ticks) gave %s%%.\n",
      Number(idle.stat_cpu_percent, 2).c_str());
  std::printf("- Slow receiver: the sender pushed %s MiB, the reader took %s MiB.\n",
              Number(slow.sent_mib, 1).c_str(), Number(slow.read_mib, 1).c_str());
  std::printf(
      "- UDP datagrams with no answer within 100 ms: round trips %llu; echo rate %llu direct, "
      "%llu redirected.\n",
      static_cast<unsigned long long>(udp_rtt.lost),
      static_cast<unsigned long long>(rate1.lost_direct + rate64.lost_direct),
      static_cast<unsigned long long>(rate1.lost_redirected + rate64.lost_redirected));
  std::printf("- Load averages before / after: %s / %s.\n", load_before.c_str(), load_after.c_str());
  for (const std::string& problem : bench.Problems()) std::printf("- Problem: %s.\n", problem.c_str());
  return 0;
}

}  // namespace
}  // namespace quorvane::bench

int main(int argc, char** argv) {
  bool quick = false;
  bool pin = true;
  std::set<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else if (std::strcmp(argv[i], "--no-pin") == 0) {
      pin = false;
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
               std::find(std::begin(quorvane::bench::kMeasurementNames),
                         std::end(quorvane::bench::kMeasurementNames),
                         std::string_view(argv[i + 1])) != std::end(quorvane::bench::kMeasurementNames)) {
      only.insert(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--no-pin] [--only bulk|rtt|udp-rate|idle|slow|setup]...\n"
                   "Measures the TCP and UDP redirectors against direct connections on 127.0.0.1\n"
                   "and prints a Markdown table. --quick: a short smoke run. --only: run just\n"
                   "the named measurements (repeatable), for profiling. --no-pin: round trips\n"
                   "with client and target where the scheduler puts them.\n",
                   argv[0]);
      return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
    }
  }
  return quorvane::bench::Run(quick, pin, only);
}
