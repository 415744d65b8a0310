#include "bench/DistributedAttack.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "bench/BenchSupport.h"
#include "bench/ProcessStats.h"

namespace quorvane::bench {

namespace {

// An answer later than this fails the attempt that waited for it.
constexpr int kAnswerTimeoutMs = 2000;
// The player alone before the attack, so that the baseline is taken with
// its session confirmed and settled.
constexpr int kQuietMs = 1000;
// Time for the server to close the attackers' sessions beyond those it
// keeps.
constexpr int kRefusalWaitMs = 300;
// After the player's last datagram, the time its echoes may still take.
constexpr int kPlayerLateMs = 1000;
constexpr std::size_t kDatagram = 64;
// The attackers' redirectors aim at their own address on these ports, the
// coming host's at 127.0.0.1 on ports from kFirstHostTarget: nothing listens
// there, and no create finds another's redirector under the same key.
constexpr std::uint16_t kFirstClosedPort = 1;
constexpr int kFirstHostTarget = 1024;
constexpr int kHostTargets = 1000;
// The spray's source ports, per attacker and redirector: one datagram each.
constexpr int kFirstSprayPort = 40000;
// The spray threads' nice value.
constexpr int kSprayNice = 19;
// Descriptors this process keeps beside the attackers' sessions.
constexpr long kOwnDescriptors = 256;
constexpr std::string_view kPartialHead = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n";
constexpr std::string_view kStatusRequest =
    "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";

// 127.0.|third|.|fourth|, network order.
std::uint32_t LoopbackAt(int third, int fourth) noexcept {
  return htonl(0x7F000000U | static_cast<std::uint32_t>(third) << 8U | static_cast<std::uint32_t>(fourth));
}

const std::uint32_t kGameHost = LoopbackAt(1, 1);
const std::uint32_t kPlayer = LoopbackAt(1, 2);
const std::uint32_t kComingHost = LoopbackAt(1, 3);

double MsSince(TClock::time_point start) {
  return std::chrono::duration<double, std::milli>(TClock::now() - start).count();
}

int MsUntil(TClock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - TClock::now()).count();
  return static_cast<int>(std::max<std::int64_t>(left, 0) + 1);
}

std::string Unanswered(const std::string& what, TControlAnswer answer) {
  return what + (answer == TControlAnswer::kClosed ? ": the session was closed" : ": no answer within 2 s");
}

// Registers on |fd| and makes a UDP redirector to |target|:|port|; its
// public port, or 0 with |*why| set.
std::uint16_t RegisterAndCreate(int fd, std::uint32_t target, std::uint16_t port, std::string* why) {
  TRegisterReply registered;
  TControlAnswer answer = RegisterSession(fd, "gamehost", &registered);
  if (answer != TControlAnswer::kAnswered) {
    *why = Unanswered("Register", answer);
  } else if (registered.Status != kRegisterOk) {
    *why = "Register answered " + std::to_string(registered.Status);
  } else {
    TNatReply reply;
    answer = CreateRedirector(fd, kProtoUdp, target, port, &reply);
    if (answer != TControlAnswer::kAnswered) {
      *why = Unanswered("create", answer);
    } else if (reply.Status != kNatOk) {
      *why = "create answered " + std::to_string(reply.Status);
    } else {
      return reply.PublicPort();
    }
  }
  return 0;
}

// A non-blocking UDP socket bound to |source| and connected to
// 127.0.0.1:|port|; invalid on failure.
TUniqueFd UdpFrom(std::uint32_t source, std::uint16_t port) {
  TUniqueFd fd = OpenUdpSocket();
  const sockaddr_in to = MakeSockAddr(Loopback(), port);
  if (!fd || !BindTo(fd.Get(), source, 0) ||
      ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    return TUniqueFd();
  }
  return fd;
}

// A player: a numbered datagram every 1/kPlayerRate s on its socket
// (connected to the redirector) until terminated, each echo matched to its
// datagram.
class TPlayer final : public TThread {
 public:
  explicit TPlayer(TUniqueFd socket) : socket_(std::move(socket)) {}
  // After WaitFor():
  std::uint64_t Sent() const { return sent_at_.size(); }
  std::uint64_t Lost() const { return sent_at_.size() - round_trips_.size(); }
  std::vector<double>& RoundTripsMs() { return round_trips_; }

 protected:
  void Execute() override {
    const int fd = socket_.Get();
    const auto period = std::chrono::microseconds(1'000'000 / kPlayerRate);
    std::array<std::uint8_t, kDatagram> datagram{};
    std::array<std::uint8_t, 2 * kDatagram> echo{};
    std::vector<bool> answered;
    auto next = TClock::now();
    std::optional<TClock::time_point> stopped;
    for (;;) {
      const auto now = TClock::now();
      if (!stopped && Terminated()) stopped = now;
      if (stopped && now - *stopped > std::chrono::milliseconds(kPlayerLateMs)) return;
      if (!stopped && now >= next) {
        const auto sequence = static_cast<std::uint32_t>(sent_at_.size());
        std::memcpy(datagram.data(), &sequence, sizeof sequence);
        sent_at_.push_back(now);
        answered.push_back(false);
        SendSome(fd, datagram.data(), datagram.size(), MSG_DONTWAIT);
        next += period;
        continue;
      }
      const int wait = MsUntil(stopped ? *stopped + std::chrono::milliseconds(kPlayerLateMs) : next);
      if (WaitFd(fd, POLLIN, stopped ? -1 : WakeFd(), wait) != TWaitResult::kReady) continue;
      for (ssize_t n; (n = RecvSome(fd, echo.data(), echo.size(), MSG_DONTWAIT)) >= 0;) {
        std::uint32_t sequence = 0;
        if (n != static_cast<ssize_t>(kDatagram)) continue;
        std::memcpy(&sequence, echo.data(), sizeof sequence);
        if (sequence >= answered.size() || answered[sequence]) continue;
        answered[sequence] = true;
        round_trips_.push_back(MsSince(sent_at_[sequence]));
      }
    }
  }

 private:
  const TUniqueFd socket_;
  std::vector<TClock::time_point> sent_at_;
  std::vector<double> round_trips_;
};

// A game host from kComingHost every kLegitPeriodMs: connects, registers,
// makes a UDP redirector and leaves.
class TComingHost final : public TThread {
 public:
  explicit TComingHost(std::uint16_t control_port) : control_port_(control_port) {}
  // After WaitFor():
  int Made() const { return made_; }
  int Served() const { return static_cast<int>(latencies_.size()); }
  const std::string& Failure() const { return failure_; }
  // Register sent to create answered, for those served.
  std::vector<double>& LatenciesMs() { return latencies_; }

 protected:
  void Execute() override {
    auto next = TClock::now();
    while (!Terminated()) {
      Attempt();
      next = std::max(next + std::chrono::milliseconds(kLegitPeriodMs), TClock::now());
      if (WaitFd(WakeFd(), POLLIN, -1, MsUntil(next)) == TWaitResult::kReady) return;
    }
  }

 private:
  void Attempt() {
    const int index = made_++;
    const TUniqueFd fd = ConnectLoopbackFrom(kComingHost, control_port_, kAnswerTimeoutMs);
    std::string why = "its connection failed";
    const auto start = TClock::now();
    if (fd) {
      const auto port = static_cast<std::uint16_t>(kFirstHostTarget + index % kHostTargets);
      if (RegisterAndCreate(fd.Get(), Loopback(), port, &why) != 0) {
        latencies_.push_back(MsSince(start));
        return;
      }
    }
    if (failure_.empty()) failure_ = "attempt " + std::to_string(index + 1) + ": " + why;
  }

  const std::uint16_t control_port_;
  int made_ = 0;
  std::vector<double> latencies_;
  std::string failure_;
};

// kSlowAdminConnections connections to the admin endpoint, each sending
// part of a request head and no more; one the endpoint closes is opened
// again. Until terminated.
class TSlowAdmin final : public TThread {
 public:
  explicit TSlowAdmin(std::uint16_t port) : to_(MakeSockAddr(Loopback(), port)) {}
  // Any thread: connections stalled now.
  int Stalled() const { return stalled_.load(std::memory_order_relaxed); }
  // After WaitFor():
  int Opened() const { return opened_; }
  int Closed() const { return closed_; }

 protected:
  void Execute() override {
    std::vector<TSlot> slots(kSlowAdminConnections);
    for (std::size_t i = 0; i < slots.size(); ++i) {
      slots[i].Source = LoopbackAt(2, 1 + static_cast<int>(i) / kSlowAdminPerAddress);
    }
    std::vector<pollfd> fds;
    std::vector<TSlot*> polled;
    std::array<char, 4096> sink{};
    while (!Terminated()) {
      fds.clear();
      polled.clear();
      for (TSlot& slot : slots) {
        if (!slot.Fd && TClock::now() >= slot.ReopenAt) Open(slot);
        if (!slot.Fd) continue;
        fds.push_back({slot.Fd.Get(), static_cast<short>(slot.Stalled ? POLLIN : POLLOUT), 0});
        polled.push_back(&slot);
      }
      fds.push_back({WakeFd(), POLLIN, 0});
      if (PollRetry(fds.data(), fds.size(), kSlowAdminReopenMs) < 0) return;
      for (std::size_t i = 0; i < polled.size(); ++i) {
        if (fds[i].revents == 0) continue;
        TSlot& slot = *polled[i];
        const int fd = slot.Fd.Get();
        if (!slot.Stalled) {
          int error = 0;
          socklen_t size = sizeof error;
          if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0 ||
              SendSome(fd, kPartialHead.data(), kPartialHead.size(), MSG_DONTWAIT) !=
                  static_cast<ssize_t>(kPartialHead.size())) {
            Close(slot);
            continue;
          }
          slot.Stalled = true;
          stalled_.fetch_add(1, std::memory_order_relaxed);
          continue;
        }
        // Whatever the endpoint says (a refusal, a time-out), then its end.
        ssize_t n = 0;
        while ((n = RecvSome(fd, sink.data(), sink.size(), MSG_DONTWAIT)) > 0) {
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) Close(slot);
      }
    }
    stalled_.store(0, std::memory_order_relaxed);
  }

 private:
  struct TSlot {
    TUniqueFd Fd;
    std::uint32_t Source = 0;
    bool Stalled = false;  // connected, its partial head sent
    TClock::time_point ReopenAt;
  };

  void Open(TSlot& slot) {
    slot.ReopenAt = TClock::now() + std::chrono::milliseconds(kSlowAdminReopenMs);
    TUniqueFd fd = OpenTcpSocket();
    if (!fd || !BindTo(fd.Get(), slot.Source, 0)) return;
    if (::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to_), sizeof to_) != 0 &&
        errno != EINPROGRESS) {
      return;
    }
    slot.Fd = std::move(fd);
    ++opened_;
  }

  void Close(TSlot& slot) {
    if (slot.Stalled) stalled_.fetch_sub(1, std::memory_order_relaxed);
    slot.Stalled = false;
    slot.Fd.Reset();
    slot.ReopenAt = TClock::now() + std::chrono::milliseconds(kSlowAdminReopenMs);
    ++closed_;
  }

  const sockaddr_in to_;
  std::atomic<int> stalled_{0};
  int opened_ = 0;
  int closed_ = 0;
};

// One attacker's redirector and the spray's progress on it.
struct TSprayTarget {
  std::uint32_t Source = 0;  // the attacker's address
  std::uint16_t Port = 0;    // the redirector's public port on 127.0.0.1
  int Used = 0;              // source ports used so far
};

// Datagrams to its targets in turn, each from a new socket bound to the
// attacker's address on the next port of that target's range, until the
// deadline, termination, or every target's |ports| are used.
class TSprayer final : public TThread {
 public:
  TSprayer(std::vector<TSprayTarget> targets, TClock::time_point deadline, int ports)
      : targets_(std::move(targets)), deadline_(deadline), ports_(ports) {}
  // After WaitFor():
  std::uint64_t Sent() const { return sent_; }
  int BindFailures() const { return bind_failures_; }
  TClock::time_point Ended() const { return ended_; }

 protected:
  void Execute() override {
    // The attackers' sending is not the server's cost on a real network;
    // here it shares the CPUs, so it takes what the server and the
    // measuring threads leave.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kSprayNice);
    const std::array<std::uint8_t, kDatagram> datagram{};
    for (bool left = true; left && !Terminated() && TClock::now() < deadline_;) {
      left = false;
      for (TSprayTarget& target : targets_) {
        if (target.Used >= ports_) continue;
        left = true;
        const auto port = static_cast<std::uint16_t>(kFirstSprayPort + target.Used++);
        const TUniqueFd fd = OpenUdpSocket();
        if (!fd || !BindTo(fd.Get(), target.Source, port)) {
          ++bind_failures_;
          continue;
        }
        if (SendTo(fd.Get(), datagram.data(), datagram.size(), MakeSockAddr(Loopback(), target.Port)) > 0) {
          ++sent_;
        }
      }
    }
    ended_ = TClock::now();
  }

 private:
  std::vector<TSprayTarget> targets_;
  const TClock::time_point deadline_;
  const int ports_;
  std::uint64_t sent_ = 0;
  int bind_failures_ = 0;
  TClock::time_point ended_;
};

struct TAttacker {
  std::uint32_t Address = 0;
  std::vector<TUniqueFd> Sessions;
};

// A GET /api/status from |source|: connect to the endpoint's close, in ms,
// and the status (0: none came).
std::pair<int, double> AdminGet(std::uint32_t source, std::uint16_t port) {
  const auto start = TClock::now();
  const TUniqueFd fd = ConnectLoopbackFrom(source, port, kAnswerTimeoutMs);
  std::string answer;
  if (fd && SendAll(fd.Get(), kStatusRequest.data(), kStatusRequest.size())) {
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = RecvSome(fd.Get(), buffer.data(), buffer.size())) > 0;) {
      answer.append(buffer.data(), static_cast<std::size_t>(n));
    }
  }
  const double ms = MsSince(start);
  constexpr std::string_view kVersion = "HTTP/1.1 ";
  const int status = answer.rfind(kVersion, 0) == 0 ? std::atoi(answer.c_str() + kVersion.size()) : 0;
  return {status, ms};
}

// The server's "Refused N <what> from <address> (<REASON>)" lines, summed
// by what and reason.
std::vector<TAttack::TRefusals> SumRefusals(const std::vector<std::string>& lines) {
  std::map<std::string, TAttack::TRefusals> sums;
  constexpr std::string_view kRefused = "Refused ";
  for (const std::string& line : lines) {
    const std::size_t at = line.find(kRefused);
    const std::size_t from = line.find(" from ", at);
    const std::size_t open = line.rfind('(');
    if (at == std::string::npos || from == std::string::npos || open == std::string::npos) continue;
    char* end = nullptr;
    const std::uint64_t count = std::strtoull(line.c_str() + at + kRefused.size(), &end, 10);
    const std::size_t start = static_cast<std::size_t>(end - line.c_str()) + 1;
    if (start >= from) continue;
    std::string what = line.substr(start, from - start);
    if (what.back() != 's') what += 's';  // "1 session"
    what += " " + line.substr(open);
    TAttack::TRefusals& sum = sums[what];
    sum.What = what;
    sum.Refused += count;
    ++sum.Lines;
  }
  std::vector<TAttack::TRefusals> summed;
  summed.reserve(sums.size());
  for (auto& entry : sums) summed.push_back(std::move(entry.second));
  return summed;
}

// Sessions per attacking address: as many as the server allows an address,
// or fewer when this process may not open that many descriptors.
int AttackSessionsPerAddress(std::vector<std::string>* problems) {
  int sessions_per_address = kAttackSessionsPerAddress;
  const long room = RaiseDescriptorLimit() - SampleProcesses({::getpid()}).Descriptors - kOwnDescriptors;
  if (room < static_cast<long>(kAttackAddresses) * sessions_per_address) {
    sessions_per_address = static_cast<int>(std::max(room, 0L) / kAttackAddresses);
    problems->push_back("attack: this process may open too few descriptors for every attacker's sessions: " +
                        std::to_string(sessions_per_address) + " per address");
  }
  return sessions_per_address;
}

// Every attacker's control sessions, from 127.0.0.2 on; the server may
// close those over its share.
std::vector<TAttacker> OpenAttackers(std::uint16_t control_port, int sessions_per_address) {
  std::vector<TAttacker> attackers(kAttackAddresses);
  for (int i = 0; i < kAttackAddresses; ++i) {
    TAttacker& attacker = attackers[static_cast<std::size_t>(i)];
    attacker.Address = LoopbackAt(0, 2 + i);
    for (int s = 0; s < sessions_per_address; ++s) {
      TUniqueFd fd = ConnectLoopbackFrom(attacker.Address, control_port, kAnswerTimeoutMs);
      if (fd) attacker.Sessions.push_back(std::move(fd));
    }
  }
  return attackers;
}

// Drops the sessions the server closed, counts what it held and refused,
// and creates the UDP redirectors the spray aims at through those left.
std::vector<TSprayTarget> CreateSprayTargets(std::vector<TAttacker>& attackers, int sessions_per_address,
                                             TAttack* result) {
  std::vector<TSprayTarget> targets;
  for (TAttacker& attacker : attackers) {
    std::erase_if(attacker.Sessions, [](const TUniqueFd& fd) { return !StillOpen(fd.Get()); });
    const int held = static_cast<int>(attacker.Sessions.size());
    result->SessionsHeld += held;
    result->SessionsRefused += sessions_per_address - held;
    if (held == 0) continue;
    ++result->AddressesHolding;
    for (int r = 0; r < kAttackRedirectorsPerAddress; ++r) {
      TNatReply reply;
      const int fd = attacker.Sessions[static_cast<std::size_t>(r % held)].Get();
      const auto port = static_cast<std::uint16_t>(kFirstClosedPort + r);
      if (CreateRedirector(fd, kProtoUdp, attacker.Address, port, &reply) == TControlAnswer::kAnswered &&
          reply.Status == kNatOk) {
        targets.push_back({attacker.Address, reply.PublicPort(), 0});
      } else {
        ++result->CreatesRefused;
      }
    }
  }
  result->RedirectorsMade = static_cast<int>(targets.size());
  return targets;
}

// The spray threads, each with whole attackers' redirectors.
std::vector<std::unique_ptr<TSprayer>> StartSprayers(const std::vector<TSprayTarget>& targets, int threads,
                                                     TClock::time_point deadline, int ports,
                                                     std::vector<std::string>* problems) {
  std::vector<std::vector<TSprayTarget>> shares(static_cast<std::size_t>(threads));
  for (const TSprayTarget& target : targets) shares[ntohl(target.Source) % shares.size()].push_back(target);
  std::vector<std::unique_ptr<TSprayer>> sprayers;
  for (auto& share : shares) {
    sprayers.push_back(std::make_unique<TSprayer>(std::move(share), deadline, ports));
    if (!sprayers.back()->Resume()) problems->push_back("attack: a spray thread could not be started");
  }
  return sprayers;
}

// Until the spray's deadline: a GET from an address of its own every
// kGetPeriodMs, the slow admin connections' stalls and the server's peaks.
// The answered GETs' times, in ms.
std::vector<double> WatchAttack(const std::vector<pid_t>& server, std::uint16_t admin_port,
                                const TSlowAdmin& slow, TClock::time_point spray_start,
                                TClock::time_point deadline, TAttack* result) {
  std::vector<double> gets;
  result->SlowStalledLeast = kSlowAdminConnections;
  for (auto next = spray_start; TClock::now() < deadline;) {
    Pause(MsUntil(next) - 1);
    result->SlowStalledLeast = std::min(result->SlowStalledLeast, slow.Stalled());
    const int index = result->GetsMade++;
    const auto [status, ms] = AdminGet(LoopbackAt(3 + index / 250, 1 + index % 250), admin_port);
    if (status == 200) {
      gets.push_back(ms);
    } else if (result->GetFailure.empty()) {
      result->GetFailure = "GET " + std::to_string(index + 1) + " got " +
                           (status == 0 ? "no answer" : "status " + std::to_string(status)) + " after " +
                           std::to_string(static_cast<int>(ms)) + " ms";
    }
    const TProcessSample sample = SampleProcesses(server);
    result->RssPeakKiB = std::max(result->RssPeakKiB, sample.RssKib);
    result->DescriptorsPeak = std::max(result->DescriptorsPeak, sample.Descriptors);
    next = std::max(next + std::chrono::milliseconds(kGetPeriodMs), TClock::now());
  }
  return gets;
}

// Waits for the spray threads; when the last one ended.
TClock::time_point JoinSprayers(const std::vector<std::unique_ptr<TSprayer>>& sprayers,
                                TClock::time_point spray_start, TAttack* result,
                                std::vector<std::string>* problems) {
  auto spray_end = spray_start;
  for (const auto& sprayer : sprayers) {
    sprayer->WaitFor();
    result->Datagrams += sprayer->Sent();
    spray_end = std::max(spray_end, sprayer->Ended());
    if (sprayer->BindFailures() > 0) {
      problems->push_back("attack: " + std::to_string(sprayer->BindFailures()) +
                          " of the spray's source ports could not be bound");
    }
  }
  return spray_end;
}

// What the legitimate clients saw: the coming host's creates, the player's
// round trips and the GETs.
void LegitFigures(TComingHost& coming, TPlayer& player, std::vector<double>& gets, TAttack* result) {
  result->LegitMade = coming.Made();
  result->LegitServed = coming.Served();
  result->LegitFailure = coming.Failure();
  if (!coming.LatenciesMs().empty()) {
    result->LegitP50Ms = Percentile(coming.LatenciesMs(), 0.5);
    result->LegitP99Ms = Percentile(coming.LatenciesMs(), 0.99);
    result->LegitMaxMs = coming.LatenciesMs().back();
  }
  result->PlayerSent = player.Sent();
  result->PlayerLost = player.Lost();
  if (!player.RoundTripsMs().empty()) {
    result->PlayerP99Ms = Percentile(player.RoundTripsMs(), 0.99);
    result->PlayerMaxMs = player.RoundTripsMs().back();
  }
  result->GetsAnswered = static_cast<int>(gets.size());
  if (!gets.empty()) {
    result->GetP99Ms = Percentile(gets, 0.99);
    result->GetMaxMs = gets.back();
  }
}

}  // namespace

TDistributedAttack::TDistributedAttack(const TAttackConfig& config) : config_(config) {}

TDistributedAttack::~TDistributedAttack() {
  server_.Stop();
  Stop(echo_);
}

bool TDistributedAttack::Start(const std::string& server) {
  if (!echo_.Valid() || !echo_.Resume()) {
    problems_.push_back("attack: no echo target");
    return false;
  }
  const std::string why = server_.Start(server, TControlLimits(), kAttackDescriptorLimit, /*admin=*/true);
  if (why.empty()) return true;
  problems_.push_back("attack: " + why + ": the attack rows are left out");
  return false;
}

TAttack TDistributedAttack::Measure() {
  TAttack result;
  result.SettleSeconds = config_.SettleMs / 1000.0;
  const std::vector<pid_t> server = {server_.Pid()};
  const TControlLimits limits;

  // The game host and its player, before anything else.
  std::string why = "its connection failed";
  const TUniqueFd host = ConnectLoopbackFrom(kGameHost, server_.Port(), kAnswerTimeoutMs);
  const std::uint16_t public_port = host ? RegisterAndCreate(host.Get(), Loopback(), echo_.Port(), &why) : 0;
  TUniqueFd player_socket = public_port != 0 ? UdpFrom(kPlayer, public_port) : TUniqueFd();
  if (!player_socket) {
    problems_.push_back("attack: the game host from 127.0.1.1 got no redirector for its player (" + why +
                        ")");
    server_.Stop();
    return result;
  }
  TPlayer player(std::move(player_socket));
  if (!player.Resume()) {
    problems_.push_back("attack: the player's thread could not be started");
    server_.Stop();
    return result;
  }
  Pause(kQuietMs);
  const TProcessSample baseline = SampleProcesses(server);
  result.RssBaselineKiB = result.RssPeakKiB = baseline.RssKib;
  result.DescriptorsBaseline = result.DescriptorsPeak = baseline.Descriptors;

  // The coming host and the slow admin connections see the whole attack,
  // its sessions as well as its spray.
  TComingHost coming(server_.Port());
  TSlowAdmin slow(server_.AdminPort());
  if (!coming.Resume() || !slow.Resume()) problems_.push_back("attack: a client thread could not be started");

  const int sessions_per_address = AttackSessionsPerAddress(&problems_);
  std::vector<TAttacker> attackers = OpenAttackers(server_.Port(), sessions_per_address);
  Pause(kRefusalWaitMs);
  const std::vector<TSprayTarget> targets = CreateSprayTargets(attackers, sessions_per_address, &result);

  // The spray.
  const int threads = std::max(config_.SprayThreads, 1);
  const std::int64_t cpu_start = SampleProcesses(server).CpuNs;
  const auto spray_start = TClock::now();
  const auto deadline = spray_start + std::chrono::milliseconds(config_.SprayMs);
  const std::vector<std::unique_ptr<TSprayer>> sprayers =
      StartSprayers(targets, threads, deadline, limits.ConnectionsPerAddress, &problems_);
  result.SprayThreads = threads;

  // GETs from addresses of their own while it runs, and the server's peaks.
  std::vector<double> gets = WatchAttack(server, server_.AdminPort(), slow, spray_start, deadline, &result);
  const auto spray_end = JoinSprayers(sprayers, spray_start, &result, &problems_);
  result.SpraySeconds = std::chrono::duration<double>(spray_end - spray_start).count();
  const std::int64_t cpu_end = SampleProcesses(server).CpuNs;
  if (cpu_start >= 0 && cpu_end >= 0) {
    result.ServerCpu = 100.0 * static_cast<double>(cpu_end - cpu_start) / (SecondsSince(spray_start) * 1e9);
  }
  Stop(coming);
  Stop(slow);
  // Everything the attack holds goes at once.
  attackers.clear();
  Pause(config_.SettleMs);
  const TProcessSample after = SampleProcesses(server);
  result.RssAfterKiB = after.RssKib;
  result.DescriptorsAfter = after.Descriptors;
  Stop(player);
  Stop(echo_);

  LegitFigures(coming, player, gets, &result);
  result.PlayerPorts = static_cast<int>(echo_.SourcePorts().size());
  result.SlowOpened = slow.Opened();
  result.SlowClosed = slow.Closed();
  result.Refusals = SumRefusals(server_.LogLines("Refused "));
  server_.Stop();
  result.Measured = true;
  return result;
}

}  // namespace quorvane::bench
