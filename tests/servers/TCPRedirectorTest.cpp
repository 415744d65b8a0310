#include "servers/TCPRedirector.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "requests/RefusalReasons.h"
#include "runtime/FdBudget.h"
#include "servers/RelayEngine.h"

namespace quorvane {
namespace {

using namespace test;

constexpr std::size_t kMiB = 1024 * 1024;

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(fd, level, name, &value, &length);
  return value;
}

// A redirector is destroyed on the thread of the loop that serves it (or on
// any thread once that loop has closed).
struct TDestroyOnItsLoop {
  void operator()(TTCPRedirector* redirector) const {
    redirector->Loop().RunSync([redirector] { delete redirector; });
  }
};
using TRedirectorPtr = std::unique_ptr<TTCPRedirector, TDestroyOnItsLoop>;

class TCPRedirectorTest : public ::testing::Test {
 protected:
  // Two loops, so that work done on the wrong one shows. The engine's
  // descriptors and threads exist from here on: the baselines include them.
  void SetUp() override {
    ASSERT_TRUE(engine_.Start());
    baseline_fds_ = OpenFds();
    target_listener_ = ListenLoopback(&target_port_);
  }
  // No descriptor is left behind once redirectors and relays are gone.
  void TearDown() override {
    redirector_.reset();
    engine_.Stop();
    for (TUniqueFd* fd : {&target_listener_, &client_, &target_}) fd->Reset();
    EXPECT_EQ(FdsOpenedSince(baseline_fds_), "");
  }

  // A redirector from 127.0.0.1 to 127.0.0.1:|target_port| served by the
  // engine's loop |loop|, and started there unless |start| is false.
  TRedirectorPtr Redirect(std::uint16_t target_port, bool start = true,
                          std::uint32_t connections_per_address = 0, std::size_t loop = 0) {
    TRedirectorPtr redirector(
        new TTCPRedirector("127.0.0.1", "127.0.0.1", 0, target_port,
                           {.Loop = &engine_.Loop(loop), .ConnectionsPerAddress = connections_per_address}));
    port_ = LocalPort(redirector->Socket());
    if (start) {
      EXPECT_TRUE(StartOnItsLoop(*redirector));
    }
    return redirector;
  }
  static bool StartOnItsLoop(TTCPRedirector& redirector) {
    bool started = false;
    redirector.Loop().RunSync([&] { started = redirector.Start(); });
    return started;
  }

  // Connects |client| from |from| through the redirector on port_, and
  // accepts its relay's connection as |target|.
  bool Connect(TUniqueFd& client, TUniqueFd& target, std::uint32_t from = 0) {
    client = from == 0 ? ConnectLoopback(port_) : ConnectFrom(from, port_);
    target = AcceptWithin(target_listener_.Get());
    return client && target;
  }

  TRelayEngine engine_{2};
  std::uint16_t port_ = 0;  // the last redirector's listening port
  std::set<int> baseline_fds_;
  TUniqueFd target_listener_;
  std::uint16_t target_port_ = 0;
  TUniqueFd client_, target_;
  TRedirectorPtr redirector_;  // whichever the test made
};

TEST_F(TCPRedirectorTest, QueuedConnectionRelaysAMegabyteEachWayOnTunedSocketsAndEngineStopEndsWhatIsLeft) {
  // A connection waiting in the backlog of a redirector not started yet.
  redirector_ = Redirect(target_port_, /*start=*/false);
  client_ = ConnectLoopback(port_);
  ASSERT_TRUE(client_ && StartOnItsLoop(*redirector_));
  target_ = AcceptWithin(target_listener_.Get());
  ASSERT_TRUE(target_);
  const auto stats = redirector_->Stats();
  // Accepted sockets take their options from the listener, outbound ones
  // from the relay.
  const int accepted = FindTcpSocket(port_, LocalPort(client_.Get()));
  const int outbound = FindTcpSocket(ntohs(PeerAddress(target_.Get())->sin_port), target_port_);
  ASSERT_TRUE(accepted >= 0 && outbound >= 0);
  for (const int fd : {accepted, outbound}) {
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), kKeepAliveIdleSec);
  }

  const std::string up = Pattern(0, kMiB);
  const std::string down = Pattern(12345, kMiB);
  std::atomic<bool> up_sent{false}, down_sent{false};
  std::thread up_sender([&] { up_sent = SendAll(client_.Get(), up); });
  std::thread down_sender([&] { down_sent = SendAll(target_.Get(), down); });
  const auto got_up = RecvExact(target_.Get(), up.size(), 30s);
  const auto got_down = RecvExact(client_.Get(), down.size(), 30s);
  up_sender.join();
  down_sender.join();
  EXPECT_TRUE(up_sent && down_sent && got_up == up && got_down == down);
  // Counted once sent, so possibly just after the last bytes arrived.
  EXPECT_TRUE(WaitUntil([&] {
    return stats->BytesToTarget.load() == kMiB && stats->BytesFromTarget.load() == kMiB;
  })) << stats->BytesToTarget.load()
      << " and " << stats->BytesFromTarget.load() << " bytes counted";
  EXPECT_EQ(stats->Open.load(), 1u);
  EXPECT_GT(stats->LastActivityMs.load(), 0);
  // The relay is the redirector's one player until it ends.
  std::vector<TPlayerView> players;
  const auto list_players = [&] { redirector_->Loop().RunSync([&] { players = redirector_->Players(); }); };
  list_players();
  ASSERT_EQ(players.size(), 1u);
  const TPlayerView& p = players[0];
  EXPECT_EQ(std::tuple(p.Address, p.Port, p.BytesToTarget, p.BytesFromTarget, p.Connecting, p.Held),
            std::tuple(Loopback(), LocalPort(client_.Get()), kMiB, kMiB, false, false));
  EXPECT_GE(p.LastActivityMs, p.StartedMs);
  EXPECT_EQ(stats->Players.load(), 1u);
  // An urgent byte, met by a relay that splices by now, leaves the stream
  // as for any plain reader, and neither stalls the relay nor loses what
  // follows.
  ASSERT_EQ(SendSome(client_.Get(), "X", 1, MSG_OOB), 1);
  ASSERT_TRUE(SendAll(client_.Get(), "cdef"));
  EXPECT_EQ(RecvExact(target_.Get(), 4), "cdef");
  client_.Reset();
  target_.Reset();
  EXPECT_TRUE(WaitUntil([&] {
    list_players();
    return players.empty() && stats->Players.load() == 0;
  }));

  // A relay belongs to the loop: it keeps going without its redirector.
  ASSERT_TRUE(Connect(client_, target_));
  redirector_.reset();
  ASSERT_TRUE(SendAll(client_.Get(), "after"));
  EXPECT_EQ(RecvExact(target_.Get(), 5), "after");
  EXPECT_TRUE(WaitUntil([&] { return engine_.Sum(&TRelayLoopCounters::RelaysOpen) == 1; }));

  // A target whose listener drops every SYN (backlog 0, one connection
  // queued): each player's connect starts while the ones before still wait.
  std::uint16_t silent_port = 0;
  const TUniqueFd silent = ListenLoopback(&silent_port);
  ASSERT_EQ(::listen(silent.Get(), 0), 0);
  const TUniqueFd filler = ConnectLoopback(silent_port);
  ASSERT_TRUE(filler);
  redirector_ = Redirect(silent_port);
  std::vector<TUniqueFd> waiting;
  for (int i = 1; i <= 2; ++i) {
    waiting.push_back(ConnectLoopback(port_));
    ASSERT_TRUE(waiting.back() && WaitUntil([&] { return ConnectionsTo(silent_port, kTcpSynSent) == i; }));
  }
  // Stopping ends the relay, and cuts the pending connects short, long
  // before their time-out.
  engine_.Stop();
  EXPECT_TRUE(ClosedWithoutData(client_.Get()) && ClosedWithoutData(target_.Get()));
  for (const TUniqueFd& player : waiting)
    EXPECT_TRUE(ClosedWithoutData(player.Get(), std::chrono::milliseconds(kConnectTimeoutMs / 2)));
  EXPECT_EQ(stats->Open.load(), 0u);
  EXPECT_EQ(engine_.Sum(&TRelayLoopCounters::BytesToTarget), kMiB + 4u + 5u);
}

TEST_F(TCPRedirectorTest, RelaysRunOnTheirRedirectorsLoopWithNoThreadAndGiveEveryDescriptorBack) {
  const int threads = ThreadCount();
  std::vector<TRedirectorPtr> redirectors;
  std::vector<std::uint16_t> ports;
  for (int i = 0; i < 20; ++i) {
    redirectors.push_back(Redirect(target_port_, /*start=*/true, /*connections_per_address=*/0, /*loop=*/1));
    ports.push_back(port_);
  }
  const int fds = OpenFdCount();
  constexpr int kRelays = 40;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<TUniqueFd> clients, targets;
    // Enough bytes each to open the relay's pipes one way.
    for (int i = 0; i < kRelays; ++i) {
      port_ = ports[static_cast<std::size_t>(i) % ports.size()];
      ASSERT_TRUE(Connect(clients.emplace_back(), targets.emplace_back()));
      const std::string bulk = Pattern(static_cast<std::size_t>(i), 64 * 1024);
      ASSERT_TRUE(SendAll(clients.back().Get(), bulk));
      ASSERT_EQ(RecvExact(targets.back().Get(), bulk.size()), bulk);
    }
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(engine_.Sum(&TRelayLoopCounters::RelaysOpen), static_cast<std::uint64_t>(kRelays));
    // Either side may close first.
    for (int i = 0; i < kRelays; ++i) (i % 2 == 0 ? clients : targets)[static_cast<std::size_t>(i)].Reset();
    for (int i = 0; i < kRelays; ++i)
      EXPECT_TRUE(ReadsEndOfFile((i % 2 == 0 ? targets : clients)[static_cast<std::size_t>(i)].Get()));
  }
  // Each accepted connection is relayed by the loop that accepted it.
  EXPECT_EQ(engine_.Loop(1).Counters().RelaysTotal.load(), 3u * kRelays);
  EXPECT_EQ(engine_.Loop(0).Counters().RelaysTotal.load(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return engine_.Sum(&TRelayLoopCounters::RelaysOpen) == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return OpenFdCount() == fds; }))
      << OpenFdCount() << " descriptors, " << fds << " before";
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(TCPRedirectorTest, ConnectionsOverALimitAreRefusedAndServedAgainOnceBelowIt) {
  struct TCase {
    const char* name;
    std::uint32_t connections_per_address;
    TRefusalReason reason;
    // Makes the limit bite for the next connection from 127.0.0.2; relays
    // already open keep being served.
    std::function<void()> reach;
    // Takes the limit back below.
    std::function<void()> release;
  };
  const std::uint32_t kOther = ::inet_addr("127.0.0.2");
  std::vector<TUniqueFd> flood, flood_targets;
  std::unique_ptr<TDescriptorHeadroom> headroom;
  const std::vector<TCase> cases = {
      {"connections per address", 2, TRefusalReason::kConnectionsPerAddress,
       [&] {
         for (int i = 0; i < 2; ++i)
           ASSERT_TRUE(Connect(flood.emplace_back(), flood_targets.emplace_back(), kOther));
       },
       [&] {
         // An ended relay gives its share back.
         flood.front().Reset();
         EXPECT_TRUE(ReadsEndOfFile(flood_targets.front().Get()));
         flood_targets.front().Reset();
         EXPECT_TRUE(WaitUntil([&] { return redirector_->ConnectionsFrom(kOther) == 1; }));
       }},
      {"descriptor reserve", 0, TRefusalReason::kDescriptorReserve,
       [&] {
         // Room for a few descriptors beyond the reserve, fewer than a
         // relay needs.
         headroom = std::make_unique<TDescriptorHeadroom>(kRelayDescriptors);
         ASSERT_TRUE(headroom->Saved() && headroom->Applied());
         ASSERT_EQ(fd_budget::Reserve(), fd_budget::kMinReserve);
       },
       [&] { headroom.reset(); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    // The last case's relays are gone, and their descriptors with them.
    ASSERT_TRUE(WaitUntil([&] { return engine_.Sum(&TRelayLoopCounters::RelaysOpen) == 0; }));
    redirector_ = Redirect(target_port_, /*start=*/true, c.connections_per_address);
    TUniqueFd player, player_target, again, again_target;
    ASSERT_TRUE(Connect(player, player_target));
    const std::uint64_t refused_before = RefusalTotal(TRefusedWork::kConnection, c.reason);
    ASSERT_NO_FATAL_FAILURE(c.reach());
    const TUniqueFd over = ConnectFrom(kOther, port_);
    ASSERT_TRUE(over);
    EXPECT_TRUE(ClosedWithoutData(over.Get()));
    EXPECT_EQ(RefusalTotal(TRefusedWork::kConnection, c.reason), refused_before + 1);
    ASSERT_TRUE(SendAll(player.Get(), "still served"));
    EXPECT_EQ(RecvExact(player_target.Get(), 12), "still served");
    // Work resumes by itself once below the limit again.
    c.release();
    ASSERT_TRUE(Connect(again, again_target, kOther));
    ASSERT_TRUE(SendAll(again.Get(), "in"));
    EXPECT_EQ(RecvExact(again_target.Get(), 2), "in");
    flood.clear();
    flood_targets.clear();
  }
}

}  // namespace
}  // namespace quorvane
