#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "TestSupport.h"
#include "runtime/FdBudget.h"
#include "runtime/Refusals.h"
#include "servers/UDPRedirector.h"

namespace quorvane {
namespace {

using namespace test;

class UDPRedirectorTest : public ::testing::Test {
 protected:
  auto Start(std::uint16_t target_port, std::int64_t timeout_ms = 60000, TRedirectorOptions options = {},
             TMillisClock clock = nullptr) {
    auto redirector = std::make_unique<TUDPRedirector>("127.0.0.1", "127.0.0.1", "127.0.0.1", 0, target_port,
                                                       timeout_ms, std::move(options));
    if (clock) redirector->SetClock(std::move(clock));
    port_ = LocalPort(redirector->Socket());
    EXPECT_NE(port_, 0);
    EXPECT_TRUE(redirector->Resume());
    return redirector;
  }
  static TRedirectorOptions Limits(std::size_t udp_sessions, std::uint32_t per_address = 0) {
    TRedirectorOptions options;
    options.UdpSessions = udp_sessions;
    options.ConnectionsPerAddress = per_address;
    return options;
  }
  static TUniqueFd Client() {
    std::uint16_t unused = 0;
    return BindUdpLoopback(&unused);
  }
  // A client on another loopback address, as a second remote host.
  static TUniqueFd ClientOn(const char* address) {
    TUniqueFd fd = OpenUdpSocket();
    if (!BindTo(fd.Get(), inet_addr(address), 0)) return {};
    return fd;
  }
  // |count| new clients, each with two datagrams echoed through its own
  // session: answers of many sessions leave in one send, each in order.
  void EchoThroughSessions(int count, std::vector<TUniqueFd>& clients) {
    for (int i = 0; i < count; ++i) clients.push_back(Client());
    for (int i = 0; i < count; ++i) {
      ASSERT_TRUE(SendDatagram(clients[i].Get(), std::to_string(i), port_));
      ASSERT_TRUE(SendDatagram(clients[i].Get(), std::to_string(i) + "+", port_));
    }
    for (int i = 0; i < count; ++i) {
      ASSERT_EQ(RecvDatagram(clients[i].Get()), std::to_string(i));
      ASSERT_EQ(RecvDatagram(clients[i].Get()), std::to_string(i) + "+");
    }
  }
  std::optional<std::string> RoundTrip(int client, const std::string& data) {
    if (!SendDatagram(client, data, port_)) return std::nullopt;
    return RecvDatagram(client);
  }

  UdpEchoServer echo_;
  std::uint16_t target_port_ = 0;
  TUniqueFd target_ = BindUdpLoopback(&target_port_);  // answers only when a test speaks for it
  std::uint16_t port_ = 0;                             // the redirector's
};

TEST_F(UDPRedirectorTest, AnswersOfEverySizeReachEachClientThroughItsOwnSession) {
  auto redirector = Start(target_port_);
  // Same port number on another loopback address is another client.
  std::uint16_t a_port = 0;
  TUniqueFd a = BindUdpLoopback(&a_port);
  TUniqueFd a_twin = OpenUdpSocket();
  ASSERT_TRUE(BindTo(a_twin.Get(), inet_addr("127.0.0.2"), a_port));
  TUniqueFd b = Client();

  // The largest datagram IPv4 carries (65535 less the IP and UDP headers)
  // passes whole: no receive slot cuts it.
  std::string largest(65507, '\0');
  for (std::size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<char>(i * 7 + i / 251);

  std::vector<std::uint16_t> sources;
  for (int client : {a.Get(), a_twin.Get(), b.Get(), a.Get()}) {
    const std::string text = "from " + std::to_string(client);
    // An empty datagram is relayed both ways and does not hold up the next.
    ASSERT_TRUE(SendDatagram(client, "", port_));
    ASSERT_TRUE(SendDatagram(client, text, port_));
    ASSERT_TRUE(SendDatagram(client, largest, port_));
    sockaddr_in from{};
    ASSERT_EQ(RecvDatagram(target_.Get(), 5000ms, &from), "");  // forwarded on the first datagram
    ASSERT_EQ(RecvDatagram(target_.Get()), text);
    ASSERT_EQ(RecvDatagram(target_.Get()), largest);
    sources.push_back(ntohs(from.sin_port));
    ASSERT_EQ(SendTo(target_.Get(), "", 0, from), 0);
    ASSERT_EQ(SendTo(target_.Get(), "re", 2, from), 2);
    ASSERT_EQ(SendTo(target_.Get(), largest.data(), largest.size(), from),
              static_cast<ssize_t>(largest.size()));
    ASSERT_EQ(RecvDatagram(client), "");
    ASSERT_EQ(RecvDatagram(client), "re");
    ASSERT_EQ(RecvDatagram(client), largest);
  }
  EXPECT_EQ(redirector->SessionCount(), 3u);
  EXPECT_EQ(std::set(sources.begin(), sources.begin() + 3).size(), 3u);  // one source port per client
  EXPECT_EQ(sources[3], sources[0]);                                     // a known client keeps its session
}

TEST_F(UDPRedirectorTest, StrangerWritingToASessionReachesItsClientFromTheListeningSocket) {
  auto redirector = Start(target_port_);
  TUniqueFd client = Client();
  ASSERT_TRUE(SendDatagram(client.Get(), "x", port_));
  sockaddr_in session{};
  ASSERT_EQ(RecvDatagram(target_.Get(), 5000ms, &session), "x");

  TUniqueFd stranger = Client();
  ASSERT_TRUE(SendDatagram(stranger.Get(), "unsolicited", ntohs(session.sin_port)));
  sockaddr_in from{};
  EXPECT_EQ(RecvDatagram(client.Get(), 5000ms, &from), "unsolicited");
  EXPECT_EQ(ntohs(from.sin_port), port_);
}

TEST_F(UDPRedirectorTest, AnswersReachEachOf129Peers) {
  auto redirector = Start(echo_.Port());
  std::vector<TUniqueFd> clients;
  ASSERT_NO_FATAL_FAILURE(EchoThroughSessions(129, clients));
  EXPECT_EQ(redirector->SessionCount(), 129u);
  EXPECT_EQ(echo_.Sources().size(), 129u);
}

TEST_F(UDPRedirectorTest, DestroyingARedirectorWaitingForAFarExpiryClosesEverySocket) {
  const std::set<int> baseline = OpenFds();
  {
    std::vector<TUniqueFd> clients;
    // Earliest expiry far beyond the test's time-out: the destruction below
    // finishes only if Terminate() wakes the blocked poll.
    auto redirector = Start(echo_.Port(), 3600000);
    ASSERT_NO_FATAL_FAILURE(EchoThroughSessions(129, clients));
  }
  EXPECT_EQ(FdsOpenedSince(baseline), "");
}

TEST_F(UDPRedirectorTest, RedirectorOnAPortInUseEndsAtOnceWithoutASocket) {
  auto redirector = Start(echo_.Port());
  TUDPRedirector in_use("127.0.0.1", "127.0.0.1", "127.0.0.1", port_, echo_.Port(), 1000);
  EXPECT_EQ(in_use.Socket(), -1);
  ASSERT_TRUE(in_use.Resume());
  EXPECT_TRUE(WaitUntil([&] { return in_use.Finished(); }));
}

TEST_F(UDPRedirectorTest, SessionGoesOneMillisecondAfterItsTimeoutEvenWhileOthersTalk) {
  constexpr std::int64_t kTimeout = 60000;
  auto now = std::make_shared<std::atomic<std::int64_t>>(1000);
  auto redirector = Start(echo_.Port(), kTimeout, {}, [now] { return now->load(); });
  TUniqueFd silent = Client(), talker = Client();
  const int fds_before = OpenFdCount();

  ASSERT_EQ(RoundTrip(silent.Get(), "1"), "1");
  // The echo coming back proves the pass that took the datagram has ended.
  now->store(1000 + kTimeout);
  ASSERT_EQ(RoundTrip(talker.Get(), "2"), "2");
  EXPECT_EQ(redirector->SessionCount(), 2u);
  // Answers do not keep a session alive.
  ASSERT_TRUE(SendDatagram(talker.Get(), "answer", echo_.Sources().at(0)));
  ASSERT_EQ(RecvDatagram(silent.Get()), "answer");

  // Expiry in a pass busy with another client's traffic, not only when idle.
  now->store(1000 + kTimeout + 1);
  ASSERT_EQ(RoundTrip(talker.Get(), "3"), "3");
  EXPECT_EQ(redirector->SessionCount(), 1u);
  EXPECT_EQ(OpenFdCount(), fds_before + 1);  // the expired session's socket is closed
  EXPECT_EQ(redirector->Stats()->Expired.load(), 1u);
  EXPECT_EQ(redirector->Stats()->Open.load(), 1u);

  // Back after expiry: a new session, seen by the target on a new port.
  ASSERT_EQ(RoundTrip(silent.Get(), "4"), "4");
  EXPECT_EQ(echo_.Sources().size(), 3u);
}

TEST_F(UDPRedirectorTest, IdleSessionExpiresWithoutAnyTraffic) {
  auto redirector = Start(echo_.Port(), 30);
  TUniqueFd client = Client();
  const int fds_before = OpenFdCount();
  ASSERT_EQ(RoundTrip(client.Get(), "x"), "x");
  EXPECT_TRUE(WaitUntil([&] { return redirector->SessionCount() == 0 && OpenFdCount() == fds_before; }));
}

TEST_F(UDPRedirectorTest, FullTableEvictsTheLongestSilentSession) {
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);
  auto redirector = Start(echo_.Port(), 60000, Limits(2), [now] { return now->load(); });
  TUniqueFd a = Client(), b = Client(), c = Client();
  const auto talk_at = [&](std::int64_t t, int client) {
    now->store(t);
    return RoundTrip(client, "t" + std::to_string(t)) == "t" + std::to_string(t);
  };
  ASSERT_TRUE(talk_at(1, a.Get()));
  ASSERT_TRUE(talk_at(2, b.Get()));
  ASSERT_TRUE(talk_at(3, a.Get()));  // b is now the longest silent
  const int fds_full = OpenFdCount();
  ASSERT_TRUE(talk_at(4, c.Get()));
  EXPECT_EQ(redirector->SessionCount(), 2u);
  EXPECT_EQ(OpenFdCount(), fds_full);  // b's socket closed for c's
  ASSERT_TRUE(talk_at(5, a.Get()));    // a kept its session
  EXPECT_EQ(echo_.Sources().size(), 3u);
  ASSERT_TRUE(talk_at(6, b.Get()));  // b needs a new one
  EXPECT_EQ(echo_.Sources().size(), 4u);
  EXPECT_EQ(redirector->Stats()->Evicted.load(), 2u);
  EXPECT_EQ(redirector->Stats()->Opened.load(), 4u);
}

TEST_F(UDPRedirectorTest, SourcePortSprayFromOneAddressNeitherEvictsNorRenumbersAPlayer) {
  constexpr std::uint32_t kPerAddress = 8;
  constexpr int kSpray = 64;  // far beyond the table's 16 places
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);
  auto redirector = Start(target_port_, 60000, Limits(16, kPerAddress), [now] { return now->load(); });
  TUniqueFd player = Client();
  // The target answers the player; returns the source port it saw the
  // player's datagram come from, or 0. Sprayed datagrams on the way are skipped.
  const auto player_round_trip = [&](const std::string& text) -> std::uint16_t {
    if (!SendDatagram(player.Get(), text, port_)) return 0;
    sockaddr_in from{};
    for (std::optional<std::string> got; got != text;) {
      if (!(got = RecvDatagram(target_.Get(), 5000ms, &from))) return 0;
    }
    const std::string answer = "re " + text;
    if (SendTo(target_.Get(), answer.data(), answer.size(), from) < 0) return 0;
    return RecvDatagram(player.Get()) == answer ? ntohs(from.sin_port) : 0;
  };
  const auto refused = [] {
    return RefusalTotal(TRefusedWork::kUdpSession, TRefusalReason::kConnectionsPerAddress);
  };
  const std::uint16_t player_port = player_round_trip("before");
  ASSERT_NE(player_port, 0);

  const std::uint64_t refused_before = refused();
  std::vector<TUniqueFd> spray;
  for (int i = 0; i < kSpray; ++i) {
    spray.push_back(ClientOn("127.0.0.2"));
    ASSERT_TRUE(SendDatagram(spray.back().Get(), "spray", port_));
    if (i % 16 == 15) {
      EXPECT_EQ(player_round_trip("during " + std::to_string(i)), player_port);
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return refused() - refused_before == kSpray - kPerAddress; }));
  EXPECT_EQ(player_round_trip("after"), player_port);
  EXPECT_EQ(redirector->SessionCount(), kPerAddress + 1);
  EXPECT_EQ(redirector->Stats()->Evicted.load(), 0u);

  // Expired sessions give their address's share back: the sprayer gets as
  // many again, and no more.
  now->store(30000);
  EXPECT_EQ(player_round_trip("keeps the player"), player_port);
  now->store(60002);
  EXPECT_EQ(player_round_trip("expires the spray"), player_port);
  EXPECT_EQ(redirector->SessionCount(), 1u);
  for (const TUniqueFd& sprayer : spray) ASSERT_TRUE(SendDatagram(sprayer.Get(), "again", port_));
  EXPECT_TRUE(
      WaitUntil([&] { return refused() - refused_before == 2 * std::uint64_t{kSpray - kPerAddress}; }));
  EXPECT_EQ(player_round_trip("last"), player_port);
  EXPECT_EQ(redirector->SessionCount(), kPerAddress + 1);
}

TEST_F(UDPRedirectorTest, RefusedSprayInTheSameBatchAsAPlayerDropsNoneOfThePlayersDatagrams) {
  constexpr std::uint32_t kPerAddress = 4;
  constexpr int kPlayer = 20, kSprayPerPlayer = 3;
  // Suspended, so that everything below queues on the listening socket and
  // the first batches mix refused datagrams with the player's.
  TUDPRedirector redirector("127.0.0.1", "127.0.0.1", "127.0.0.1", 0, target_port_, 60000,
                            Limits(64, kPerAddress));
  port_ = LocalPort(redirector.Socket());
  TUniqueFd player = Client();
  std::vector<TUniqueFd> spray;
  for (int i = 0; i < kPlayer; ++i) {
    for (int j = 0; j < kSprayPerPlayer; ++j) {
      spray.push_back(ClientOn("127.0.0.2"));
      ASSERT_TRUE(SendDatagram(spray.back().Get(), "spray", port_));
    }
    ASSERT_TRUE(SendDatagram(player.Get(), "p" + std::to_string(i), port_));
  }
  ASSERT_TRUE(redirector.Resume());

  std::vector<std::string> from_player;
  std::set<std::uint16_t> player_ports;
  int sprayed = 0;
  while (from_player.size() < kPlayer) {
    sockaddr_in from{};
    const std::optional<std::string> got = RecvDatagram(target_.Get(), 5000ms, &from);
    ASSERT_TRUE(got.has_value()) << "the player's datagrams after " << from_player.size();
    if (*got == "spray") {
      ++sprayed;
    } else {
      from_player.push_back(*got);
      player_ports.insert(from.sin_port);
    }
  }
  for (int i = 0; i < kPlayer; ++i) EXPECT_EQ(from_player[i], "p" + std::to_string(i));
  EXPECT_EQ(player_ports.size(), 1u);
  EXPECT_TRUE(WaitUntil([&] { return redirector.SessionCount() == kPerAddress + 1; }));
  EXPECT_LE(sprayed, static_cast<int>(kPerAddress));
  EXPECT_EQ(redirector.Stats()->Evicted.load(), 0u);
}

// A burst from two clients, a and b, as the target saw it.
struct TBurst {
  static constexpr int kFromA = 200;
  int from_b = 0;
  std::uint64_t bytes = 0;
  std::map<std::uint16_t, std::vector<std::string>> at_target;  // by source port
  std::map<char, sockaddr_in> session_of;                       // by client
};

class UDPBurstTest : public UDPRedirectorTest {
 protected:
  // Sends the burst through a redirector and collects it at the target.
  void SendBurst() {
    redirector_ = Start(target_port_);
    // Room for the whole burst in the test's own sockets: a lost datagram is
    // not what these tests are about.
    const int room = 1 << 20;
    for (int fd : {target_.Get(), a_.Get(), b_.Get()})
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    // b's datagrams cut a's burst into runs of different lengths.
    const auto send = [&](int client, const std::string& text) {
      burst_.bytes += text.size();
      return SendDatagram(client, text, port_);
    };
    for (int i = 0; i < TBurst::kFromA; ++i) {
      ASSERT_TRUE(send(a_.Get(), "a" + std::to_string(i)));
      if (i % 23 == 0) {
        ASSERT_TRUE(send(b_.Get(), "b" + std::to_string(burst_.from_b++)));
      }
    }
    for (int i = 0; i < TBurst::kFromA + burst_.from_b; ++i) {
      sockaddr_in from{};
      const std::optional<std::string> got = RecvDatagram(target_.Get(), 5000ms, &from);
      ASSERT_TRUE(got.has_value()) << "datagram " << i;
      burst_.at_target[ntohs(from.sin_port)].push_back(*got);
      burst_.session_of[got->at(0)] = from;
    }
  }
  // The answers, as one burst per session; they come back in order.
  void AnswerBurst() {
    const auto answer = [&](char client, int i) {
      const std::string text = "r" + std::to_string(i);
      return SendTo(target_.Get(), text.data(), text.size(), burst_.session_of[client]) ==
             static_cast<ssize_t>(text.size());
    };
    for (int i = 0; i < TBurst::kFromA; ++i) {
      ASSERT_TRUE(answer('a', i));
      if (i < burst_.from_b) {
        ASSERT_TRUE(answer('b', i));
      }
    }
    for (int i = 0; i < TBurst::kFromA; ++i) ASSERT_EQ(RecvDatagram(a_.Get()), "r" + std::to_string(i));
    for (int i = 0; i < burst_.from_b; ++i) ASSERT_EQ(RecvDatagram(b_.Get()), "r" + std::to_string(i));
  }

  std::unique_ptr<TUDPRedirector> redirector_;
  TUniqueFd a_ = Client();
  TUniqueFd b_ = Client();
  TBurst burst_;
};

TEST_F(UDPBurstTest, BurstKeepsEachClientsOrderBothWays) {
  ASSERT_NO_FATAL_FAILURE(SendBurst());
  ASSERT_EQ(burst_.at_target.size(), 2u);
  for (const char client : {'a', 'b'}) {
    const std::vector<std::string>& seen = burst_.at_target[ntohs(burst_.session_of[client].sin_port)];
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(client == 'a' ? TBurst::kFromA : burst_.from_b));
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], client + std::to_string(i));
  }
  ASSERT_NO_FATAL_FAILURE(AnswerBurst());
}

TEST_F(UDPBurstTest, BurstIsCountedInTheStats) {
  ASSERT_NO_FATAL_FAILURE(SendBurst());
  ASSERT_NO_FATAL_FAILURE(AnswerBurst());
  const TRedirectorStats& stats = *redirector_->Stats();
  const std::uint64_t datagrams = TBurst::kFromA + static_cast<std::uint64_t>(burst_.from_b);
  EXPECT_TRUE(WaitUntil([&] { return stats.DatagramsFromTarget.load() == datagrams; }));
  EXPECT_EQ(stats.DatagramsToTarget.load(), datagrams);
  EXPECT_EQ(stats.BytesToTarget.load(), burst_.bytes);
  EXPECT_GT(stats.BytesFromTarget.load(), 0u);
  EXPECT_EQ(stats.Opened.load(), 2u);
  EXPECT_EQ(stats.Open.load(), 2u);
  EXPECT_GT(stats.LastActivityMs.load(), 0);
}

TEST_F(UDPRedirectorTest, NewSessionsAreRefusedOnlyWhileTheDescriptorReserveIsReached) {
  auto redirector = Start(echo_.Port());
  TUniqueFd client = Client();
  const auto refused = [] {
    return RefusalTotal(TRefusedWork::kUdpSession, TRefusalReason::kDescriptorReserve);
  };
  const std::uint64_t refused_before = refused();
  {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    struct RestoreLimit {
      rlimit limit;
      ~RestoreLimit() {
        setrlimit(RLIMIT_NOFILE, &limit);
        fd_budget::Init();
      }
    } restore{saved};
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(OpenFdCount() + fd_budget::kMinReserve);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    fd_budget::Init();
    ASSERT_FALSE(fd_budget::HasRoom());
    ASSERT_TRUE(SendDatagram(client.Get(), "x", port_));
    EXPECT_TRUE(WaitUntil([&] { return refused() == refused_before + 1; }));
    EXPECT_EQ(redirector->SessionCount(), 0u);
  }
  EXPECT_EQ(RoundTrip(client.Get(), "y"), "y");
}

TEST_F(UDPRedirectorTest, ReceiveFailureOnTheListeningSocketEndsTheRedirectorWithEverySocket) {
  const int baseline = OpenFdCount();
  auto redirector = Start(target_port_);
  // The kernel then reports a client's "port unreachable" to the listening
  // socket's next receive, which fails.
  const int on = 1;
  ASSERT_EQ(setsockopt(redirector->Socket(), SOL_IP, IP_RECVERR, &on, sizeof on), 0);
  sockaddr_in session{};
  {
    TUniqueFd client = Client();
    ASSERT_TRUE(SendDatagram(client.Get(), "x", port_));
    ASSERT_EQ(RecvDatagram(target_.Get(), 5000ms, &session), "x");
  }
  ASSERT_EQ(SendTo(target_.Get(), "to nobody", 9, session), 9);
  EXPECT_TRUE(WaitUntil([&] { return redirector->Finished(); }));
  EXPECT_EQ(redirector->SessionCount(), 0u);
  redirector.reset();
  EXPECT_EQ(OpenFdCount(), baseline);
}

}  // namespace
}  // namespace quorvane
