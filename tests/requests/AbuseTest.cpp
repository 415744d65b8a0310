// One hostile address must not take the server down, starve other clients
// or reach through it where the operator forbids. The attacker speaks from
// 127.0.0.2, the legitimate client from 127.0.0.1.
#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <thread>
#include <tuple>

#include "requests/ServerFixture.h"
#include "runtime/FdBudget.h"

namespace quorvane::test {
namespace {

constexpr std::uint8_t kUdp = 17;

std::uint32_t Attacker() { return ::inet_addr("127.0.0.2"); }

// Reads and drops |size| bytes, so that the test itself holds no memory.
void Discard(int fd, std::size_t size) {
  char buffer[65536];
  while (size > 0) {
    pollfd p{fd, POLLIN, 0};
    if (PollRetry(&p, 1, 30000) <= 0) return;
    const ssize_t n = RecvSome(fd, buffer, std::min(sizeof buffer, size), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN)) return;
    if (n > 0) size -= static_cast<std::size_t>(n);
  }
}

class AbuseTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    for (auto& profile : config_.ProfileTable) profile.Host = "127.0.0.1";
  }
  // UDP targets need nobody listening: the create alone is under test.
  TNatReply CreateUdp(ControlClient& client, std::uint32_t target, std::uint16_t port) {
    return client.Nat(kNatCreate, kUdp, target, port);
  }
};

// One address floods sessions, creates and requests in turn: each is bounded
// by that address's share while the other address is served at once.
TEST_F(AbuseTest, FloodsFromOneAddressAreBoundedByItsShareWhileOthersAreServed) {
  config_.Limits.SessionsPerAddress = 4;
  config_.Limits.RedirectorsPerAddress = 3;
  config_.Limits.RequestsPerAddress = 20;
  StartServer();
  ControlClient legit(port_);
  std::vector<std::unique_ptr<ControlClient>> held;
  for (int i = 0; i < 4; ++i) {
    held.push_back(std::make_unique<ControlClient>(ConnectFrom(Attacker(), port_)));
    ASSERT_TRUE(held.back()->Answers());
  }
  for (int i = 0; i < 6; ++i) {
    ControlClient extra(ConnectFrom(Attacker(), port_));
    ASSERT_TRUE(extra.Connected());
    EXPECT_TRUE(ClosedWithoutData(extra.Fd())) << i;
  }
  EXPECT_TRUE(legit.Answers());
  // A refused connection never became a client.
  EXPECT_EQ(log_.CountPrefix("New client from: 127.0.0.2:"), 4);
  EXPECT_TRUE(log_.WaitFor("Refused 1 session from 127.0.0.2 (SESSIONS_PER_ADDRESS)"));
  // The share comes back when a session ends.
  held.pop_back();
  ASSERT_TRUE(WaitUntil([&] { return server_->SessionsByAddress().Count(Attacker()) == 3; }));
  held.push_back(std::make_unique<ControlClient>(ConnectFrom(Attacker(), port_)));
  EXPECT_TRUE(held.back()->Answers());

  // Creates: the limit is the address's, summed over its sessions.
  ControlClient& a = *held[0];
  EXPECT_EQ(CreateUdp(a, Loopback(), 7001).Status, kNatOk);
  EXPECT_EQ(CreateUdp(a, Loopback(), 7002).Status, kNatOk);
  EXPECT_EQ(CreateUdp(*held[1], Loopback(), 7003).Status, kNatOk);
  EXPECT_EQ(CreateUdp(*held[1], Loopback(), 7004).Status, kNatFailed);
  EXPECT_EQ(CreateUdp(a, Loopback(), 7005).Status, kNatFailed);
  EXPECT_EQ(log_.Count("UDP Redirector not created"), 2);
  EXPECT_TRUE(log_.WaitFor("Refused 1 create from 127.0.0.2 (REDIRECTORS_PER_ADDRESS)"));
  // Another address is not affected, and a reused key is not a new one.
  EXPECT_EQ(CreateUdp(legit, Loopback(), 7006).Status, kNatOk);
  EXPECT_EQ(CreateUdp(a, Loopback(), 7001).Status, kNatOk);
  // A delete, and the end of a session, give shares back.
  EXPECT_EQ(a.Nat(kNatDelete, kUdp, Loopback(), 7001).Status, kNatOk);
  EXPECT_EQ(CreateUdp(*held[1], Loopback(), 7004).Status, kNatOk);
  held[1].reset();
  ASSERT_TRUE(WaitUntil([&] { return server_->RedirectorsByAddress().Count(Attacker()) == 1; }));
  EXPECT_EQ(CreateUdp(a, Loopback(), 7007).Status, kNatOk);

  // Requests, from an address with its whole burst of 20 left: at 20 a second, a flood is
  // still being answered while the other address is served at once.
  ControlClient requester(ConnectFrom(::inet_addr("127.0.0.3"), port_));
  std::string flood;
  for (int i = 0; i < 400; ++i) flood += Bytes(Encode(TNop{0}));
  const TServerMetrics& metrics = server_->Metrics();
  const auto throttled = metrics.RequestsThrottled.load();
  const auto nops = metrics.Requests[kPacketNop].load();
  ASSERT_TRUE(requester.SendBytes(flood));
  ASSERT_TRUE(WaitUntil([&] { return metrics.RequestsThrottled.load() > throttled; }));
  // The burst went through before the first wait.
  EXPECT_GE(metrics.Requests[kPacketNop].load() - nops, 20u);
  EXPECT_TRUE(legit.Answers());
  EXPECT_TRUE(legit.Answers());
  std::size_t bytes = 0;
  char buffer[4096];
  for (ssize_t n; (n = RecvSome(requester.Fd(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
    bytes += static_cast<std::size_t>(n);
  }
  EXPECT_LT(bytes, 400 * kPacketSize);
}

TEST_F(AbuseTest, EachPolicyKeyRefusesOnlyWhenSet) {
  // Unset, they refuse nothing: NatRequestsTest creates, queries and deletes
  // across sessions under the default policy.
  const std::uint32_t other = ::inet_addr("127.0.0.5");
  // TARGETS=PEER: a client may only expose itself, from an address that is
  // not the server's own, which it may not name either. DENY: targets in
  // the list are refused, their neighbours are not.
  TPolicy peer;
  peer.Targets = TTargetPolicy::kPeer;
  TPolicy deny;
  deny.DenyAddrs = {::inet_addr("127.0.0.4")};
  deny.DenyMasks = {::inet_addr("255.255.255.254")};
  const std::uint32_t client_addr = ::inet_addr("127.0.0.7");
  for (const auto& [policy, from, refused, allowed, key] :
       {std::tuple{peer, client_addr, Loopback(), client_addr, "TARGETS"},
        std::tuple{deny, Loopback(), ::inet_addr("127.0.0.4"), ::inet_addr("127.0.0.6"), "DENY"}}) {
    SCOPED_TRACE(key);
    config_.Policy = policy;
    StartServer();
    ControlClient client(ConnectFrom(from, port_));
    EXPECT_EQ(CreateUdp(client, other, 7000).Status, kNatFailed);
    EXPECT_EQ(CreateUdp(client, refused, 7000).Status, kNatFailed);
    EXPECT_EQ(CreateUdp(client, allowed, 7000).Status, kNatOk);
    // The first refusal is logged at once, naming its target.
    EXPECT_TRUE(log_.WaitFor("Refused 1 create from " + AddrToStr(from) + " (" + std::string(key) + ": " +
                             AddrToStr(other) + ":7000)"));
    client.Close();
    StopServer();
  }

  // OWNER_ONLY: another session's key looks absent and cannot be taken.
  config_.Policy = TPolicy{};
  config_.Policy.OwnerOnly = true;
  StartServer();
  ControlClient a(port_);
  ControlClient b(port_);
  const TNatReply mine = CreateUdp(a, other, 7000);
  ASSERT_EQ(mine.Status, kNatOk);
  EXPECT_EQ(b.Nat(kNatQuery, kUdp, other, 7000).Status, kNatNotFound);
  EXPECT_EQ(b.Nat(kNatDelete, kUdp, other, 7000).Status, kNatNotFound);
  EXPECT_EQ(CreateUdp(b, other, 7000).Status, kNatFailed);
  EXPECT_EQ(a.Nat(kNatQuery, kUdp, other, 7000).PublicPort(), mine.PublicPort());
  EXPECT_EQ(a.Nat(kNatDelete, kUdp, other, 7000).Status, kNatOk);
}

// A reply run of 20000 entries (4.4 MB), far more than socket buffers hold,
// stalls each session in its send. One client vanishes in the middle of its
// run and one never reads; eight more queue 4 MiB of ignored packets behind
// theirs and then read, so that their sessions find all of it at once.
TEST_F(AbuseTest, StalledReplyRunsGrowNoSessionBufferAndHoldUpNeitherOthersNorTheStop) {
  for (std::uint32_t i = 0; i < 20000; ++i) {
    config_.ProfileTable[0].IncludeAddrs.push_back(i);
    config_.ProfileTable[0].IncludeMasks.push_back(0xFFFFFFFFu);
  }
  StartServer();
  {
    ControlClient gone(port_);
    ASSERT_TRUE(gone.Send(RegisterPacket("x")));
    ASSERT_TRUE(gone.Receive());
  }
  ControlClient stuck(port_);
  ASSERT_TRUE(stuck.Send(RegisterPacket("x")));
  EXPECT_TRUE(WaitUntil([&] { return ClientCount() == 1; }));
  constexpr int kClients = 8;
  constexpr std::size_t kQueued = 4u << 20;
  const std::string ignored = Bytes(NewPacket(200));
  std::string burst;
  while (burst.size() < kQueued) burst += ignored;
  std::vector<std::unique_ptr<ControlClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<ControlClient>(port_));
    ASSERT_TRUE(clients.back()->Send(RegisterPacket("x")));
  }
  [[maybe_unused]] const long before = ResidentKiB();
  std::vector<std::thread> threads;
  for (auto& client : clients) {
    threads.emplace_back([&, c = client.get()] {
      std::thread reader([c] { Discard(c->Fd(), 20001 * kPacketSize); });
      SendAll(c->Fd(), burst);
      reader.join();
    });
  }
  for (auto& t : threads) t.join();
  for (auto& client : clients) EXPECT_TRUE(client->Answers(20000ms));
#if !defined(__SANITIZE_THREAD__)  // its shadow memory makes resident size meaningless
  // A buffer that grows to whatever arrives at once kept about 20 MiB
  // resident here; a bounded one keeps under 1 MiB.
  EXPECT_LT(ResidentKiB() - before, 8 * 1024) << "before " << before << " KiB";
#endif
  // The stop must not wait for the stuck client to read.
  StopServer();
  EXPECT_TRUE(log_.Contains("Closing server"));
}

TEST_F(AbuseTest, TwoCreatesOfOneKeyNeverBuildTwoRedirectors) {
  std::mutex mu;
  std::condition_variable changed;
  int builds = 0;
  before_start_ = [&](TRequestsServer& server) {
    server.SetRedirectorFactory([&](const TRedirectorRequest& request) {
      std::unique_lock lock(mu);
      if (++builds == 1) {
        changed.notify_all();
        // Gives a second create every chance to build too, were the lookup
        // and the insert not one step.
        changed.wait_for(lock, 1s, [&] { return builds > 1; });
      } else {
        changed.notify_all();
      }
      lock.unlock();
      return BuildRedirector(request);
    });
  };
  StartServer();
  ControlClient a(port_);
  ControlClient b(port_);
  const TNatRequest create{kUdp, kNatCreate, 7000, Loopback(), 0};
  ASSERT_TRUE(a.Send(Encode(create)));
  {
    std::unique_lock lock(mu);
    ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return builds == 1; }));
  }
  ASSERT_TRUE(b.Send(Encode(create)));
  const auto first = a.Receive();
  const auto second = b.Receive();
  ASSERT_TRUE(first && second);
  const std::uint16_t port = DecodeNatReply(*first).PublicPort();
  EXPECT_EQ(DecodeNatReply(*second).PublicPort(), port);
  EXPECT_EQ(RedirectorCount(), 1u);
  EXPECT_EQ(log_.Count("UDP Redirector created as 127.0.0.1:" + std::to_string(port)), 1);
  std::lock_guard lock(mu);
  EXPECT_EQ(builds, 1);
}

// A redirector that has stopped serving by itself, as one whose listener
// failed.
class TEndedRedirector final : public TRedirector {
 public:
  explicit TEndedRedirector(TRelayLoop& loop) : TRedirector(loop, nullptr) {}
  bool Start() override { return true; }
  bool Failed() const override { return true; }
};

TEST_F(AbuseTest, RedirectorWhoseListenerFailedIsNoLongerAnnounced) {
  std::atomic<int> builds{0};
  before_start_ = [&](TRequestsServer& server) {
    server.SetRedirectorFactory([&](const TRedirectorRequest& request) {
      TNewRedirector built;
      built.Redirector = std::make_unique<TEndedRedirector>(*request.Options.Loop);
      built.Bound = MakeSockAddr(Loopback(), static_cast<std::uint16_t>(40000 + ++builds));
      return built;
    });
  };
  StartServer();
  ControlClient client(port_);
  ASSERT_EQ(CreateUdp(client, Loopback(), 7000).Status, kNatOk);
  EXPECT_TRUE(
      WaitUntil([&] { return client.Nat(kNatQuery, kUdp, Loopback(), 7000).Status == kNatNotFound; }));
  EXPECT_EQ(RedirectorCount(), 0u);
  // A create makes a new one rather than naming the dead one's port.
  EXPECT_EQ(CreateUdp(client, Loopback(), 7000).Status, kNatOk);
  EXPECT_EQ(builds.load(), 2);
}

TEST_F(AbuseTest, DescriptorReserveRefusesOnlyNewWorkOnlyWhileItIsReached) {
  // The reserve alone: no kind's share stops the sessions first.
  config_.Limits.SessionDescriptors = config_.Limits.RedirectorDescriptors = config_.Limits.RelayDescriptors =
      0;
  StartServer();
  // Room for about twenty sessions beyond the reserve; each costs this
  // process two descriptors (client, accepted socket).
  const TDescriptorHeadroom headroom(40);
  ASSERT_TRUE(headroom.Applied());
  ASSERT_EQ(fd_budget::Reserve(), fd_budget::kMinReserve);

  std::vector<std::unique_ptr<ControlClient>> held;
  for (;;) {
    auto client = std::make_unique<ControlClient>(port_);
    ASSERT_TRUE(client->Connected());
    if (!client->Answers(2000ms)) break;
    held.push_back(std::move(client));
    ASSERT_LT(held.size(), 40u);
  }
  EXPECT_GE(held.size(), 5u);
  EXPECT_TRUE(log_.WaitFor("Refused 1 session from 127.0.0.1 (DESCRIPTOR_RESERVE)"));
  // Who is in keeps being served; a create is refused cleanly.
  EXPECT_TRUE(held.front()->Answers());
  EXPECT_EQ(CreateUdp(*held.front(), Loopback(), 7000).Status, kNatFailed);

  // Descriptors come back: everything works again by itself.
  held.resize(held.size() - 6);
  ASSERT_TRUE(WaitUntil([&] { return fd_budget::HasRoom(8); }));
  ControlClient late(port_);
  EXPECT_TRUE(late.Answers());
  EXPECT_EQ(CreateUdp(late, Loopback(), 7000).Status, kNatOk);
}

}  // namespace
}  // namespace quorvane::test
