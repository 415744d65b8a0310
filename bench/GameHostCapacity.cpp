#include "bench/GameHostCapacity.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>

#include "bench/BenchSupport.h"
#include "bench/ProcessStats.h"
#include "servers/AddressHelpers.h"

namespace quorvane::bench {

namespace {

// A connect or an answer that takes longer stops the run: the server is stuck.
constexpr int kAnswerTimeoutMs = 5000;
// Hosts other than the first aim at 127.0.0.1 on this port plus their
// number: below the ephemeral range, so not the echo targets' ports (which
// are skipped all the same).
constexpr int kFirstTargetPort = 1024;
// Descriptors this process keeps beside one per host: the relay check, the
// reads of /proc, whatever the other rows left open.
constexpr long kOwnDescriptors = 64;
// The latencies at load are those of the creates of this last share of
// the hosts.
constexpr int kLoadShareDivisor = 10;
constexpr std::size_t kRelayBytes = 64;
// UDP may drop a datagram even on loopback; the check tries again, within
// the same 5 s an answer may take.
constexpr int kUdpTries = 5;
constexpr int kUdpTryMs = kAnswerTimeoutMs / kUdpTries;
constexpr std::string_view kHostName = "gamehost";

// One host to make: where it connects from and what its pair aims at.
struct THostPlan {
  int Index = 0;
  std::uint32_t Source = 0;  // network order
  std::uint16_t TcpTarget = 0;
  std::uint16_t UdpTarget = 0;
};

struct THost {
  TUniqueFd Control;
  int Index = 0;
  int Order = 0;                     // 0 for the first host made, whichever thread made it
  std::array<double, 2> CreateUs{};  // TCP, UDP: request sent to reply received
  std::uint16_t PublicTcp = 0;
  std::uint16_t PublicUdp = 0;
};

// What every client thread shares.
struct TMakers {
  std::uint16_t ControlPort = 0;
  TClock::time_point Deadline;
  int BudgetMs = 0;
  std::atomic<bool> Stop{false};
  std::atomic<int> Created{0};
};

std::string Describe(const std::string& what, TControlAnswer answer) {
  return answer == TControlAnswer::kClosed ? "its session was closed at its " + what
                                           : "its " + what + " got no answer within 5 s";
}

// Makes one host into |*host|; an empty string, or why it failed.
std::string MakeHost(const THostPlan& plan, std::uint16_t control_port, THost* host) {
  host->Index = plan.Index;
  host->Control = ConnectLoopbackFrom(plan.Source, control_port, kAnswerTimeoutMs);
  if (!host->Control) {
    return "its connection failed (" + std::error_code(errno, std::system_category()).message() + ")";
  }
  const int fd = host->Control.Get();
  TRegisterReply registered;
  TControlAnswer answer = RegisterSession(fd, kHostName, &registered);
  if (answer != TControlAnswer::kAnswered) return Describe("Register", answer);
  if (registered.Status != kRegisterOk) return "its Register answered " + std::to_string(registered.Status);
  const std::array<std::uint8_t, 2> protos = {kProtoTcp, kProtoUdp};
  for (std::size_t i = 0; i < protos.size(); ++i) {
    const std::string kind = protos[i] == kProtoTcp ? "TCP create" : "UDP create";
    TNatReply reply;
    const auto sent_at = TClock::now();
    answer = CreateRedirector(fd, protos[i], Loopback(),
                              protos[i] == kProtoTcp ? plan.TcpTarget : plan.UdpTarget, &reply);
    host->CreateUs[i] = std::chrono::duration<double, std::micro>(TClock::now() - sent_at).count();
    if (answer != TControlAnswer::kAnswered) return Describe(kind, answer);
    if (reply.Status != kNatOk) return "its " + kind + " answered " + std::to_string(reply.Status);
    (protos[i] == kProtoTcp ? host->PublicTcp : host->PublicUdp) = reply.PublicPort();
  }
  return {};
}

// Makes its planned hosts in turn until one fails, the budget runs out or
// another thread stops them all.
class THostMaker final : public TThread {
 public:
  THostMaker(TMakers& makers, std::vector<THostPlan> plans) : makers_(makers), plans_(std::move(plans)) {}
  // After WaitFor():
  std::vector<THost>& Hosts() { return hosts_; }
  const std::string& Failure() const { return failure_; }
  TClock::time_point FailedAt() const { return failed_at_; }
  bool ServerFailed() const { return server_failed_; }

 protected:
  void Execute() override {
    for (const THostPlan& plan : plans_) {
      if (makers_.Stop.load(std::memory_order_relaxed) || Terminated()) return;
      if (TClock::now() >= makers_.Deadline) {
        Fail("the " + std::to_string(makers_.BudgetMs / 1000) + " s budget for making hosts ran out", false);
        return;
      }
      THost host;
      const std::string why = MakeHost(plan, makers_.ControlPort, &host);
      if (!why.empty()) {
        Fail("a host from " + AddrToStr(plan.Source) + " after " +
                 std::to_string(makers_.Created.load(std::memory_order_relaxed)) + " hosts: " + why,
             true);
        return;
      }
      host.Order = makers_.Created.fetch_add(1, std::memory_order_relaxed);
      hosts_.push_back(std::move(host));
    }
  }

 private:
  void Fail(std::string why, bool server) {
    failure_ = std::move(why);
    failed_at_ = TClock::now();
    server_failed_ = server;
    makers_.Stop.store(true, std::memory_order_relaxed);
  }

  TMakers& makers_;
  const std::vector<THostPlan> plans_;
  std::vector<THost> hosts_;
  std::string failure_;
  TClock::time_point failed_at_;
  bool server_failed_ = false;
};

// The port host |index| aims at for |proto|: the echo targets' for the
// first host, else one of its own that is neither of theirs.
std::uint16_t TargetPort(int index, std::uint16_t echo_port, std::uint16_t tcp_echo, std::uint16_t udp_echo) {
  if (index == 0) return echo_port;
  int port = kFirstTargetPort + index;
  for (const int skipped : {std::min(tcp_echo, udp_echo), std::max(tcp_echo, udp_echo)}) {
    if (port >= skipped) ++port;
  }
  return static_cast<std::uint16_t>(port);
}

std::array<std::uint8_t, kRelayBytes> RelayPattern() {
  std::array<std::uint8_t, kRelayBytes> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return bytes;
}

bool TcpEchoes(std::uint16_t public_port) {
  const auto sent = RelayPattern();
  std::array<std::uint8_t, kRelayBytes> got{};
  const TUniqueFd fd = ConnectLoopback(public_port, kAnswerTimeoutMs);
  return fd && SendAll(fd.Get(), sent.data(), sent.size()) && RecvExact(fd.Get(), got.data(), got.size()) &&
         got == sent;
}

bool UdpEchoes(std::uint16_t public_port) {
  const auto sent = RelayPattern();
  std::array<std::uint8_t, 2 * kRelayBytes> got{};
  const TUniqueFd fd = ConnectUdpLoopback(public_port, kUdpTryMs);
  for (int attempt = 0; fd && attempt < kUdpTries; ++attempt) {
    if (SendSome(fd.Get(), sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) return false;
    const ssize_t n = RecvSome(fd.Get(), got.data(), got.size());
    if (n == static_cast<ssize_t>(sent.size()) && std::equal(sent.begin(), sent.end(), got.begin())) {
      return true;
    }
  }
  return false;
}

double PerHost(std::int64_t before, std::int64_t after, int hosts) {
  if (before < 0 || after < 0 || hosts == 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(after - before) / hosts;
}

// The hosts to make, dealt to the threads by source address.
std::vector<std::vector<THostPlan>> PlanHosts(int cap, int threads, std::uint16_t tcp_echo,
                                              std::uint16_t udp_echo) {
  std::vector<std::vector<THostPlan>> plans(static_cast<std::size_t>(threads));
  for (int index = 0; index < cap; ++index) {
    const int address = index / kHostsPerAddress;
    THostPlan plan;
    plan.Index = index;
    plan.Source = htonl(INADDR_LOOPBACK + 1 + static_cast<std::uint32_t>(address));
    plan.TcpTarget = TargetPort(index, tcp_echo, tcp_echo, udp_echo);
    plan.UdpTarget = TargetPort(index, udp_echo, tcp_echo, udp_echo);
    plans[static_cast<std::size_t>(address % threads)].push_back(plan);
  }
  return plans;
}

// The create latency at load: the creates of the last tenth of the hosts.
void CreatesAtLoad(const std::vector<THost>& hosts, TCapacity* result) {
  const int at_load = result->Created - std::max(1, result->Created / kLoadShareDivisor);
  std::vector<double> creates;
  for (const THost& host : hosts) {
    if (host.Order >= at_load) creates.insert(creates.end(), host.CreateUs.begin(), host.CreateUs.end());
  }
  result->CreatesAtLoad = static_cast<int>(creates.size());
  if (!creates.empty()) {
    result->CreateP50 = Percentile(creates, 0.5);
    result->CreateP99 = Percentile(creates, 0.99);
  }
}

// The server before the hosts and with them, and what each held host cost.
void ServerFigures(const TProcessSample& before, const TProcessSample& after, TCapacity* result) {
  result->ThreadsBefore = before.Threads;
  result->ThreadsAfter = after.Threads;
  result->DescriptorsBefore = before.Descriptors;
  result->DescriptorsAfter = after.Descriptors;
  result->RssBeforeKiB = before.RssKib;
  result->RssAfterKiB = after.RssKib;
  result->DescriptorsPerHost = PerHost(before.Descriptors, after.Descriptors, result->Held);
  result->KiBPerHost = PerHost(before.RssKib, after.RssKib, result->Held);
}

}  // namespace

TGameHostCapacity::TGameHostCapacity(const TCapacityConfig& config) : config_(config) {}

TGameHostCapacity::~TGameHostCapacity() {
  server_.Stop();
  Stop(tcp_echo_);
  Stop(udp_echo_);
}

bool TGameHostCapacity::Start(const std::string& server) {
  if (!tcp_echo_.Valid() || !udp_echo_.Valid() || !tcp_echo_.Resume() || !udp_echo_.Resume()) {
    problems_.push_back("capacity: no echo targets");
    return false;
  }
  // Without shares: the row measures what a host costs, and a session's
  // share (a fifth) would stop the hosts, each a session and two listeners,
  // long before the descriptors run out.
  TControlLimits limits;
  limits.SessionDescriptors = 0;
  limits.RedirectorDescriptors = 0;
  limits.RelayDescriptors = 0;
  const std::string why = server_.Start(server, limits, kCapacityDescriptorLimit);
  if (why.empty()) return true;
  problems_.push_back("capacity: " + why + ": the capacity rows are left out");
  return false;
}

int TGameHostCapacity::HostCap() {
  const long limit = RaiseDescriptorLimit();
  const long open = static_cast<long>(std::max<std::int64_t>(SampleProcesses({::getpid()}).Descriptors, 0));
  const long room = limit - open - kOwnDescriptors;
  if (room >= config_.MaxHosts) return config_.MaxHosts;
  const int cap = static_cast<int>(std::max(room, 0L));
  problems_.push_back("capacity: this process may open only " + std::to_string(limit) +
                      " descriptors (its hard limit), " + std::to_string(open) +
                      " of them open already: the hosts are capped at " + std::to_string(cap));
  return cap;
}

TCapacity TGameHostCapacity::Measure() {
  TCapacity result;
  result.Cap = HostCap();
  const std::vector<pid_t> server = {server_.Pid()};
  const TProcessSample before = SampleProcesses(server);

  TMakers makers;
  makers.ControlPort = server_.Port();
  makers.BudgetMs = config_.BudgetMs;
  // Each thread takes whole source addresses, so that no two threads load
  // one address's share of requests.
  const int addresses = (result.Cap + kHostsPerAddress - 1) / kHostsPerAddress;
  const int threads = std::max(std::min(config_.ClientThreads, addresses), 1);
  result.ClientThreads = threads;
  std::vector<std::vector<THostPlan>> plans =
      PlanHosts(result.Cap, threads, tcp_echo_.Port(), udp_echo_.Port());
  std::vector<std::unique_ptr<THostMaker>> workers;
  workers.reserve(plans.size());
  for (auto& plan : plans) workers.push_back(std::make_unique<THostMaker>(makers, std::move(plan)));
  const auto start = TClock::now();
  makers.Deadline = start + std::chrono::milliseconds(config_.BudgetMs);
  for (const auto& worker : workers) {
    if (!worker->Resume()) {
      problems_.push_back("capacity: a client thread could not be started");
      makers.Stop.store(true);
    }
  }
  for (const auto& worker : workers) worker->WaitFor();
  result.Seconds = SecondsSince(start);

  std::vector<THost> hosts;
  const THostMaker* first_failure = nullptr;
  for (const auto& worker : workers) {
    for (THost& host : worker->Hosts()) hosts.push_back(std::move(host));
    if (!worker->Failure().empty() &&
        (first_failure == nullptr || worker->FailedAt() < first_failure->FailedAt())) {
      first_failure = worker.get();
    }
  }
  if (first_failure != nullptr) {
    result.StopReason = first_failure->Failure();
    result.ServerStopped = first_failure->ServerFailed();
  }
  // The server says why it refused or failed a create on standard error,
  // among the request lines in its log.
  if (result.ServerStopped) {
    std::string said = server_.LogTail(2, "Refused");
    const std::string failed = server_.LogTail(2, "not created:");
    if (!said.empty() && !failed.empty()) said += "; ";
    said += failed;
    if (!said.empty()) problems_.push_back("capacity: the server's log says: " + said);
  }
  result.Created = static_cast<int>(hosts.size());
  result.Held = static_cast<int>(std::count_if(
      hosts.begin(), hosts.end(), [](const THost& host) { return StillOpen(host.Control.Get()); }));
  if (result.Held < result.Created) {
    problems_.push_back("capacity: " + std::to_string(result.Created - result.Held) +
                        " hosts' sessions were closed after their creates had been answered");
  }

  ServerFigures(before, SampleProcesses(server), &result);

  CreatesAtLoad(hosts, &result);

  const auto first =
      std::find_if(hosts.begin(), hosts.end(), [](const THost& host) { return host.Index == 0; });
  if (first != hosts.end()) {
    result.RelayTried = true;
    result.TcpRelay = TcpEchoes(first->PublicTcp);
    result.UdpRelay = UdpEchoes(first->PublicUdp);
  } else {
    problems_.push_back("capacity: the first host was not made, so no relay was tried");
  }
  // Before the hosts go: the server need not tear them down one by one.
  server_.Stop();
  result.Measured = true;
  return result;
}

}  // namespace quorvane::bench
