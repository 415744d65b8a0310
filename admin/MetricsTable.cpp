#include "admin/MetricsTable.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "admin/AdminViews.h"
#include "requests/RequestPacket.h"
#include "requests/ServerMetrics.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "runtime/Refusals.h"
#include "servers/ConnectFailures.h"
#include "servers/RelayEngine.h"

namespace quorvane::admin {
namespace {

using TSamples = std::vector<TMetricSample>;
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kCounter = TMetricType::kCounter;
constexpr auto kGauge = TMetricType::kGauge;
constexpr auto kHistogram = TMetricType::kHistogram;

void Add(TSamples& samples, TMetricValue value, std::string first = {}, std::string second = {}) {
  samples.push_back({{std::move(first), std::move(second)}, std::move(value)});
}

// A counter of the requests server's own.
template <auto kMember>
void Server(const TMetricSources& from, TSamples& samples) {
  Add(samples, (from.Server.*kMember).load(kRelaxed));
}

// Several of them, one sample each, labelled with |kNames|: the slots of
// one array, or separate counters.
template <auto kMember, const auto& kNames>
void ServerSlots(const TMetricSources& from, TSamples& samples) {
  const auto& slots = from.Server.*kMember;
  static_assert(std::size(kNames) == std::tuple_size_v<std::remove_cvref_t<decltype(slots)>>);
  for (std::size_t i = 0; i < slots.size(); ++i) Add(samples, slots[i].load(kRelaxed), kNames[i]);
}
template <const auto& kNames, auto... kMembers>
void ServerEach(const TMetricSources& from, TSamples& samples) {
  static_assert(std::size(kNames) == sizeof...(kMembers));
  std::size_t i = 0;
  (Add(samples, (from.Server.*kMembers).load(kRelaxed), kNames[i++]), ...);
}

// A counter of the relay loops, summed over them.
std::uint64_t LoopSum(const TMetricSources& from,
                      const std::atomic<std::uint64_t> TRelayLoopCounters::*member) {
  return from.Engine != nullptr ? from.Engine->Sum(member) : 0;
}
template <auto kMember>
void Loops(const TMetricSources& from, TSamples& samples) {
  Add(samples, LoopSum(from, kMember));
}

// A histogram of the relay loops, merged; with its bounds and zero counts
// when there is no engine, so that every bucket is still exported.
template <auto kMember, std::size_t N>
THistogramView LoopHistogramOf(const TMetricSources& from, const std::array<std::int64_t, N>& bounds) {
  THistogramView merged{{bounds.begin(), bounds.end()}, std::vector<std::uint64_t>(N + 1, 0), 0};
  if (from.Engine != nullptr)
    from.Engine->VisitCounters(
        [&](const TRelayLoopCounters& counters) { merged.Add(bounds, counters.*kMember); });
  return merged;
}

bool IsTcp(const TRedirectorView& redirector) { return redirector.Proto == kProtoTcp; }

// A counter of TRedirectorStats summed over the UDP redirectors, the gone
// ones included.
std::uint64_t UdpTotal(const TAdminSnapshot& snapshot, std::size_t counter) {
  std::uint64_t sum = snapshot.RetiredUdp[counter];
  for (const TRedirectorView& r : snapshot.Redirectors)
    if (!IsTcp(r)) sum += r.Counters[counter];
  return sum;
}
template <auto kMember, const auto& kBounds>
void LoopHistogram(const TMetricSources& from, TSamples& out) {
  Add(out, LoopHistogramOf<kMember>(from, kBounds));
}

template <std::size_t kIndex>
void Udp(const TMetricSources& from, TSamples& samples) {
  Add(samples, UdpTotal(from.Snapshot, kIndex));
}

// A counter of each live redirector of one protocol that has counted any.
template <std::size_t kIndex, bool kTcp>
void PerRedirector(const TMetricSources& from, TSamples& samples) {
  for (const TRedirectorView& r : from.Snapshot.Redirectors)
    if (IsTcp(r) == kTcp && r.Counters[kIndex] > 0) Add(samples, r.Counters[kIndex], PublicName(r));
}

template <auto kMember>
void Process(const TMetricSources& from, TSamples& samples) {
  Add(samples, from.Snapshot.Process.*kMember);
}

std::uint64_t NotNegative(long value) { return static_cast<std::uint64_t>(std::max(0L, value)); }

// "UDP sessions" -> "udp_sessions": label values in the usual style.
std::string LabelValue(std::string_view name) {
  std::string value;
  for (const char c : name)
    value += c == ' ' ? '_' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return value;
}

void RedirectorsOpen(const TMetricSources& from, TSamples& out) {
  const auto& all = from.Snapshot.Redirectors;
  const auto tcp = static_cast<std::uint64_t>(std::count_if(all.begin(), all.end(), IsTcp));
  Add(out, tcp, "tcp");
  Add(out, all.size() - tcp, "udp");
}

void ConnectFailures(const TMetricSources& from, TSamples& out) {
  for (std::size_t reason = 0; reason < kConnectFailureCount; ++reason) {
    std::uint64_t failed = 0;
    if (from.Engine != nullptr) {
      from.Engine->VisitCounters([&](const TRelayLoopCounters& counters) {
        failed += counters.ConnectFailures[reason].load(kRelaxed);
      });
    }
    Add(out, failed, "tcp", std::string(ConnectFailureName(static_cast<TConnectFailure>(reason))));
  }
}

void Lifetimes(const TMetricSources& from, TSamples& out) {
  Add(out, LoopHistogramOf<&TRelayLoopCounters::TcpLifetime>(from, kLifetimeBoundsMs), "tcp");
  Add(out, LoopHistogramOf<&TRelayLoopCounters::UdpLifetime>(from, kLifetimeBoundsMs), "udp");
}

void RelayedBytes(const TMetricSources& from, TSamples& out) {
  Add(out, LoopSum(from, &TRelayLoopCounters::BytesToTarget), "tcp", "to_target");
  Add(out, LoopSum(from, &TRelayLoopCounters::BytesFromTarget), "tcp", "from_target");
  Add(out, UdpTotal(from.Snapshot, RedirectorCounterIndex("bytes_to_target")), "udp", "to_target");
  Add(out, UdpTotal(from.Snapshot, RedirectorCounterIndex("bytes_from_target")), "udp", "from_target");
}

void RelayedDatagrams(const TMetricSources& from, TSamples& out) {
  Add(out, UdpTotal(from.Snapshot, RedirectorCounterIndex("datagrams_to_target")), "to_target");
  Add(out, UdpTotal(from.Snapshot, RedirectorCounterIndex("datagrams_from_target")), "from_target");
}

void Refusals(const TMetricSources&, TSamples& out) {
  for (const TRefusalKind& kind : kRefusalKinds) {
    Add(out, RefusalTotal(kind.Work, kind.Reason), LabelValue(RefusedWorkName(kind.Work)),
        std::string(RefusalReasonName(kind.Reason)));
  }
}

constexpr const char* kPacketTypes[] = {"nop",         "register_request", "register_reply", "address_entry",
                                        "nat_request", "nat_reply",        "other"};
constexpr const char* kActions[] = {"query", "create", "delete", "other"};
constexpr const char* kOutcomes[] = {"created", "reused", "failed"};

// Adding a family: its line here, in the order /metrics lists them.
// clang-format off
constexpr TMetricFamily kFamilies[] = {
    {"quorvane_build_info", kGauge, "The running build: version and commit, always 1.", {"version", "commit"},
     [](const TMetricSources&, TSamples& out) { Add(out, std::uint64_t{1}, BuildVersion(), BuildCommit()); }},
    {"quorvane_start_time_seconds", kGauge, "When the server started, in seconds since the epoch.", {},
     [](const TMetricSources& from, TSamples& out) { Add(out, static_cast<std::uint64_t>(from.Snapshot.StartedAtMs / 1000)); }},
    {"quorvane_sessions_open", kGauge, "Control sessions open now.", {},
     [](const TMetricSources& from, TSamples& out) { Add(out, from.Snapshot.Sessions.size()); }, "sessions.open"},
    {"quorvane_sessions_accepted_total", kCounter, "Control connections that became sessions.", {},
     Server<&TServerMetrics::SessionsAccepted>, "sessions.accepted"},
    {"quorvane_requests_total", kCounter, "Control packets handled, by packet type.", {"type"},
     ServerSlots<&TServerMetrics::Requests, kPacketTypes>},
    {"quorvane_requests_throttled_total", kCounter,
     "Requests that waited for their address's share (REQUESTS_PER_ADDRESS).", {},
     Server<&TServerMetrics::RequestsThrottled>},
    {"quorvane_nat_requests_total", kCounter, "NAT requests, by action.", {"action"},
     ServerSlots<&TServerMetrics::NatRequests, kActions>},
    {"quorvane_creates_total", kCounter,
     "NAT creates by outcome; a refused one is counted in quorvane_refusals_total{work=\"creates\"}.", {"outcome"},
     ServerEach<kOutcomes, &TServerMetrics::CreatesCreated, &TServerMetrics::CreatesReused,
                &TServerMetrics::CreatesFailed>},
    {"quorvane_redirectors_open", kGauge, "Redirectors open now, by protocol.", {"proto"}, RedirectorsOpen,
     "redirectors.{proto}"},
    {"quorvane_tcp_relays_open", kGauge, "Relayed TCP connections open now, connecting ones included.", {},
     Loops<&TRelayLoopCounters::RelaysOpen>, "tcp_relays.open"},
    {"quorvane_tcp_relays_total", kCounter, "Relayed TCP connections ever started.", {},
     Loops<&TRelayLoopCounters::RelaysTotal>, "tcp_relays.total"},
    {"quorvane_relay_connect_failures_total", kCounter,
     "Relayed connections whose connect to the target failed, by protocol and reason.", {"proto", "reason"},
     ConnectFailures},
    {"quorvane_tcp_relays_held_total", kCounter,
     "Times a TCP relay stopped reading its player until its share under the caps returned.", {},
     Loops<&TRelayLoopCounters::RelaysHeld>},
    {"quorvane_redirector_relays_held_total", kCounter,
     "Times a TCP relay of a live redirector waited for its share under the caps, by redirector (only those "
     "that ever held one).", {"redirector"}, PerRedirector<RedirectorCounterIndex("held"), true>},
    {"quorvane_tcp_connect_wait_seconds", kHistogram,
     "Time from a TCP player's accept until the target's connect completed.", {},
     LoopHistogram<&TRelayLoopCounters::ConnectWait, kWaitBoundsMs>, "waits.connect"},
    {"quorvane_udp_sessions_open", kGauge, "UDP sessions open now.", {}, Udp<RedirectorCounterIndex("open")>,
     "udp_sessions.open"},
    {"quorvane_udp_sessions_total", kCounter, "UDP sessions ever opened.", {}, Udp<RedirectorCounterIndex("opened")>},
    {"quorvane_udp_sessions_expired_total", kCounter, "UDP sessions ended by their idle time-out.", {},
     Udp<RedirectorCounterIndex("expired")>, "udp_sessions.expired"},
    {"quorvane_udp_sessions_evicted_total", kCounter, "UDP sessions evicted to make room for a new one.", {},
     Udp<RedirectorCounterIndex("evicted")>, "udp_sessions.evicted"},
    {"quorvane_udp_sessions_unanswered_total", kCounter,
     "UDP sessions that expired without a single datagram back from the target.", {},
     Udp<RedirectorCounterIndex("unanswered")>},
    {"quorvane_udp_datagrams_capped_total", kCounter, "UDP datagrams from players dropped over the player caps.", {},
     Loops<&TRelayLoopCounters::DatagramsDropped>},
    {"quorvane_redirector_datagrams_capped_total", kCounter,
     "UDP datagrams dropped over the player caps, by live redirector (only those that dropped any).",
     {"redirector"}, PerRedirector<RedirectorCounterIndex("dropped"), false>},
    {"quorvane_udp_answer_wait_seconds", kHistogram,
     "Time from a UDP session's first datagram until the target's first answer.", {},
     LoopHistogram<&TRelayLoopCounters::AnswerWait, kWaitBoundsMs>, "waits.answer"},
    {"quorvane_relay_lifetime_seconds", kHistogram, "How long TCP relays and UDP sessions lasted, by protocol.",
     {"proto"}, Lifetimes, "waits.{proto}_lifetime"},
    {"quorvane_relayed_bytes_total", kCounter,
     "Bytes relayed, by protocol and direction (to the target, or from it back to the remote).",
     {"proto", "direction"}, RelayedBytes, "bytes.{direction}"},
    {"quorvane_relayed_datagrams_total", kCounter, "UDP datagrams relayed, by direction.", {"direction"},
     RelayedDatagrams, "datagrams.{direction}"},
    {"quorvane_refusals_total", kCounter,
     "Work refused to protect the server, by what was refused and the limit, reserve or policy why.",
     {"work", "reason"}, Refusals, "refusals.{reason}"},
    {"quorvane_sessions_closed_unread_total", kCounter,
     "Control sessions closed because their client did not read its replies.", {},
     Server<&TServerMetrics::SessionsClosedUnread>},
    {"quorvane_log_lines_dropped_total", kCounter, "Log lines dropped because the log output was blocked.", {},
     [](const TMetricSources&, TSamples& out) { Add(out, LogLinesDropped()); }, "log_lines_dropped"},
    // The budget's own count, which admission goes by; process_open_fds is
    // the kernel's, and counts what the budget does not see as well.
    {"quorvane_descriptors_open", kGauge, "File descriptors open now, as the descriptor budget counts them.", {},
     [](const TMetricSources&, TSamples& out) { Add(out, NotNegative(fd_budget::Open())); }, "descriptors.open"},
    {"quorvane_descriptors_limit", kGauge, "The process's limit of open file descriptors.", {},
     [](const TMetricSources&, TSamples& out) { Add(out, NotNegative(fd_budget::Limit())); }, "descriptors.limit"},
    // The names, types and help texts that monitoring expects of any process.
    {"process_cpu_seconds_total", kCounter, "Total user and system CPU time spent in seconds.", {},
     Process<&TProcessStats::CpuSeconds>},
    {"process_open_fds", kGauge, "Number of open file descriptors.", {}, Process<&TProcessStats::OpenFds>},
    {"process_max_fds", kGauge, "Maximum number of open file descriptors.", {}, Process<&TProcessStats::MaxFds>},
    {"process_resident_memory_bytes", kGauge, "Resident memory size in bytes.", {},
     Process<&TProcessStats::ResidentBytes>},
    {"process_start_time_seconds", kGauge, "Start time of the process since unix epoch in seconds.", {},
     Process<&TProcessStats::StartTimeSeconds>},
};
// clang-format on

constexpr std::string_view kGroups[] = {"sessions", "redirectors",       "tcp_relays", "udp_sessions",
                                        "bytes",    "datagrams",         "players",    "waits",
                                        "refusals", "log_lines_dropped", "descriptors"};

constexpr TStatusCard kCards[] = {
    {"{sessions.open}", "sessions open · {sessions.accepted} accepted"},
    {"{redirectors.tcp} / {redirectors.udp}", "redirectors tcp / udp"},
    {"{tcp_relays.open}", "tcp relays open · {tcp_relays.total} in all"},
    {"{udp_sessions.open}",
     "udp sessions open · {udp_sessions.expired} expired · {udp_sessions.evicted} evicted"},
    {"{bytes.to_target|size}", "to targets · {datagrams.to_target} datagrams"},
    {"{bytes.from_target|size}", "from targets · {datagrams.from_target} datagrams"},
    {"{players}", "players"},
    {"{waits.connect|waits}", "tcp connect wait p50 / p99 · {waits.connect.count}"},
    {"{waits.answer|waits}", "udp answer wait p50 / p99 · {waits.answer.count}"},
    {"{waits.tcp_lifetime|waits}", "tcp relay lifetime p50 / p99 · {waits.tcp_lifetime.count}"},
    {"{waits.udp_lifetime|waits}", "udp session lifetime p50 / p99 · {waits.udp_lifetime.count}"},
    {"{descriptors.open}", "descriptors of {descriptors.limit}"},
    {"{log_lines_dropped}", "log lines dropped"},
};

}  // namespace

std::string_view MetricTypeName(TMetricType type) {
  switch (type) {
    case TMetricType::kCounter:
      return "counter";
    case TMetricType::kGauge:
      return "gauge";
    case TMetricType::kHistogram:
      break;
  }
  return "histogram";
}

const std::span<const TMetricFamily> kMetricFamilies = kFamilies;
const std::span<const std::string_view> kStatusGroups = kGroups;
const std::span<const TStatusCard> kStatusCards = kCards;

}  // namespace quorvane::admin
