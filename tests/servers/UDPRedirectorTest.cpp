#include "servers/UDPRedirector.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "requests/RefusalReasons.h"
#include "runtime/FdBudget.h"

namespace quorvane {
namespace {

using namespace test;

// A descriptor the loop watches for the test, calling |ready| when it is.
class TTestWatch final : public TLoopWatch {
 public:
  explicit TTestWatch(std::function<void()> ready) : ready_(std::move(ready)) {}
  void OnReady(std::uint32_t /*events*/) override { ready_(); }

 private:
  std::function<void()> ready_;
};

class UDPRedirectorTest : public ::testing::Test {
 protected:
  // Redirectors run on a loop thread, as in the server; the loop's clock
  // moves only when a test moves it. The loop's descriptors and thread
  // exist from here on: the baselines include them.
  void SetUp() override {
    ASSERT_TRUE(loop_.Valid());
    ASSERT_TRUE(loop_.Resume());
    baseline_fds_ = OpenFds();
  }
  // Nothing is left open once the redirectors are gone.
  void TearDown() override {
    loop_.RunSync([&] { redirectors_.clear(); });
    loop_.Terminate();
    loop_.WaitFor();
    EXPECT_EQ(FdsOpenedSince(baseline_fds_), "");
  }

  // Built on the test thread, started on the loop's, as the registry does.
  // Unstarted, datagrams queue on its port.
  TUDPRedirector& Redirect(std::uint16_t target_port, std::int64_t timeout_ms = 60000,
                           TRedirectorOptions options = {}, bool start = true) {
    options.Loop = &loop_;
    redirectors_.push_back(std::make_unique<TUDPRedirector>("127.0.0.1", "127.0.0.1", "127.0.0.1", 0,
                                                            target_port, timeout_ms, options));
    TUDPRedirector& redirector = *redirectors_.back();
    port_ = LocalPort(redirector.Socket());
    EXPECT_NE(port_, 0);
    if (start) loop_.RunSync([&] { EXPECT_TRUE(redirector.Start()); });
    return redirector;
  }
  // Moves the loop's clock and returns once a whole turn that read it
  // (timers and end-of-turn work included) is over. A task posted after
  // another one has run runs in a later turn: the second of three starts a
  // turn after the move, and the third one after that turn's end.
  void SetClock(std::int64_t now) {
    now_.store(now);
    for (int i = 0; i < 3; ++i) loop_.RunSync([] {});
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
  std::optional<std::string> RoundTrip(int client, const std::string& data) {
    if (!SendDatagram(client, data, port_)) return std::nullopt;
    return RecvDatagram(client);
  }

  std::atomic<std::int64_t> now_{0};
  TRelayLoop loop_{TLoopClock{[this] { return now_.load(); }, {}}};
  std::vector<std::unique_ptr<TUDPRedirector>> redirectors_;  // destroyed on the loop
  std::set<int> baseline_fds_;
  UdpEchoServer echo_;
  std::uint16_t target_port_ = 0;
  TUniqueFd target_ = BindUdpLoopback(&target_port_);  // answers only when a test speaks for it
  std::uint16_t port_ = 0;                             // the last redirector's
};

TEST_F(UDPRedirectorTest, AnswersOfEverySizeReachEachClientThroughItsOwnSession) {
  TUDPRedirector& redirector = Redirect(target_port_);
  // Same port number on another loopback address is another client. The
  // number may be taken there (tests run in parallel): then another one.
  TUniqueFd a, a_twin;
  for (int tries = 0; tries < 100 && !a_twin; ++tries) {
    std::uint16_t a_port = 0;
    a = BindUdpLoopback(&a_port);
    a_twin = OpenUdpSocket();
    if (!BindTo(a_twin.Get(), inet_addr("127.0.0.2"), a_port)) a_twin.Reset();
  }
  ASSERT_TRUE(a_twin);
  TUniqueFd b = Client();

  // The largest datagram IPv4 carries (65535 less the IP and UDP headers)
  // passes whole: no receive slot cuts it.
  std::string largest(65507, '\0');
  for (std::size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<char>(i * 7 + i / 251);

  std::vector<sockaddr_in> sessions;
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
    sessions.push_back(from);
    ASSERT_EQ(SendTo(target_.Get(), "", 0, from), 0);
    ASSERT_EQ(SendTo(target_.Get(), "re", 2, from), 2);
    ASSERT_EQ(SendTo(target_.Get(), largest.data(), largest.size(), from),
              static_cast<ssize_t>(largest.size()));
    ASSERT_EQ(RecvDatagram(client), "");
    ASSERT_EQ(RecvDatagram(client), "re");
    ASSERT_EQ(RecvDatagram(client), largest);
  }
  EXPECT_EQ(redirector.SessionCount(), 3u);
  std::set<std::uint16_t> ports;
  for (int i = 0; i < 3; ++i) ports.insert(sessions[i].sin_port);
  EXPECT_EQ(ports.size(), 3u);                            // one source port per client
  EXPECT_EQ(sessions[3].sin_port, sessions[0].sin_port);  // a known client keeps its session

  // Whoever writes to a session socket reaches its client, from the
  // listening socket.
  TUniqueFd stranger = Client();
  ASSERT_TRUE(SendDatagram(stranger.Get(), "unsolicited", ntohs(sessions[2].sin_port)));
  sockaddr_in from{};
  EXPECT_EQ(RecvDatagram(b.Get(), 5000ms, &from), "unsolicited");
  EXPECT_EQ(ntohs(from.sin_port), port_);
}

TEST_F(UDPRedirectorTest, RedirectorsCostTheirSocketsAndNoThreadWhateverTheirSessions) {
  const int threads = ThreadCount();
  std::set<int> listening;
  // Earliest expiry an hour away: its timer stays armed until the end.
  for (int i = 0; i < 20; ++i) listening.insert(Redirect(target_port_, 3600000, {}, false).Socket());
  loop_.RunSync([&] {
    for (const auto& redirector : redirectors_) EXPECT_TRUE(redirector->Start());
  });
  std::set<int> opened = OpenFds();
  for (const int fd : baseline_fds_) opened.erase(fd);
  EXPECT_EQ(opened, listening);

  // 129 clients, each with two datagrams through its own session. The
  // target answers once it has them all (its buffer holds them: the default
  // one holds 256), so that answers wait on every session socket at once
  // and leave together, each client's in order.
  const int room = 1 << 20;
  setsockopt(target_.Get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  std::vector<TUniqueFd> clients(129);
  for (TUniqueFd& client : clients) client = Client();
  for (std::size_t i = 0; i < clients.size(); ++i) {
    ASSERT_TRUE(SendDatagram(clients[i].Get(), std::to_string(i), port_));
    ASSERT_TRUE(SendDatagram(clients[i].Get(), std::to_string(i) + "+", port_));
  }
  std::vector<std::pair<std::string, sockaddr_in>> at_target(2 * clients.size());
  std::set<std::uint16_t> sessions;
  for (auto& [data, from] : at_target) {
    const std::optional<std::string> got = RecvDatagram(target_.Get(), 5000ms, &from);
    ASSERT_TRUE(got.has_value());
    data = *got;
    sessions.insert(from.sin_port);
  }
  for (const auto& [data, from] : at_target)
    ASSERT_GE(SendTo(target_.Get(), data.data(), data.size(), from), 0);
  for (std::size_t i = 0; i < clients.size(); ++i) {
    ASSERT_EQ(RecvDatagram(clients[i].Get()), std::to_string(i));
    ASSERT_EQ(RecvDatagram(clients[i].Get()), std::to_string(i) + "+");
  }
  EXPECT_EQ(redirectors_.back()->SessionCount(), 129u);
  EXPECT_EQ(sessions.size(), 129u);
  EXPECT_EQ(OpenFdCount(), static_cast<int>(baseline_fds_.size() + listening.size() + 2 * clients.size()));
  EXPECT_EQ(ThreadCount(), threads);

  // Destruction disarms the expiry timer; TearDown() sees every socket closed.
  loop_.RunSync([&] {
    const std::size_t timers = loop_.Loop().TimerCount();
    redirectors_.pop_back();
    EXPECT_EQ(loop_.Loop().TimerCount(), timers - 1);
  });
}

TEST_F(UDPRedirectorTest, RedirectorThatCannotBindHasNoSocketAndDoesNotStart) {
  Redirect(echo_.Port());
  // A port in use, and what a name that does not resolve yields.
  for (const auto& [host, port, error] : {std::tuple{"127.0.0.1", port_, EADDRINUSE},
                                          std::tuple{"255.255.255.255", std::uint16_t{0}, EADDRNOTAVAIL}}) {
    SCOPED_TRACE(host);
    TRedirectorOptions options;
    options.Loop = &loop_;
    TUDPRedirector broken(host, host, "127.0.0.1", port, echo_.Port(), 1000, options);
    EXPECT_EQ(broken.Socket(), -1);
    EXPECT_EQ(broken.SetupError(), error);
    loop_.RunSync([&] { EXPECT_FALSE(broken.Start()); });
    EXPECT_FALSE(broken.Failed());
  }
}

TEST_F(UDPRedirectorTest, SessionGoesOneMillisecondAfterItsTimeoutEvenWhileOthersTalk) {
  constexpr std::int64_t kTimeout = 60000;
  TUDPRedirector& redirector = Redirect(echo_.Port(), kTimeout);
  TUniqueFd silent = Client(), talker = Client();
  const int fds_before = OpenFdCount();

  ASSERT_EQ(RoundTrip(silent.Get(), "1"), "1");
  // The echo coming back proves the turn that took the datagram has ended.
  SetClock(kTimeout);
  ASSERT_EQ(RoundTrip(talker.Get(), "2"), "2");
  EXPECT_EQ(redirector.SessionCount(), 2u);
  // Answers do not keep a session alive.
  ASSERT_TRUE(SendDatagram(talker.Get(), "answer", echo_.Sources().at(0)));
  ASSERT_EQ(RecvDatagram(silent.Get()), "answer");

  // Expiry in a turn busy with another client's traffic, not only when idle.
  now_.store(kTimeout + 1);
  ASSERT_EQ(RoundTrip(talker.Get(), "3"), "3");
  EXPECT_EQ(redirector.SessionCount(), 1u);
  EXPECT_EQ(OpenFdCount(), fds_before + 1);  // the expired session's socket is closed
  EXPECT_EQ(redirector.Stats()->Expired.load(), 1u);
  EXPECT_EQ(redirector.Stats()->Open.load(), 1u);

  // Back after expiry: a new session, seen by the target on a new port.
  ASSERT_EQ(RoundTrip(silent.Get(), "4"), "4");
  EXPECT_EQ(echo_.Sources().size(), 3u);

  // Without any traffic, the timer ends both at their time-out.
  const std::int64_t last_talk = kTimeout + 1;
  SetClock(last_talk + kTimeout);
  EXPECT_EQ(redirector.SessionCount(), 2u);
  SetClock(last_talk + kTimeout + 1);
  EXPECT_EQ(redirector.SessionCount(), 0u);
  EXPECT_EQ(OpenFdCount(), fds_before);
  EXPECT_EQ(redirector.Stats()->Expired.load(), 3u);
}

TEST_F(UDPRedirectorTest, FullTableEvictsTheLongestSilentSession) {
  TUDPRedirector& redirector = Redirect(echo_.Port(), 60000, {.UdpSessions = 2});
  TUniqueFd a = Client(), b = Client(), c = Client();
  const auto talk_at = [&](std::int64_t t, int client) {
    now_.store(t);
    return RoundTrip(client, "t" + std::to_string(t)) == "t" + std::to_string(t);
  };
  ASSERT_TRUE(talk_at(1, a.Get()));
  ASSERT_TRUE(talk_at(2, b.Get()));
  ASSERT_TRUE(talk_at(3, a.Get()));  // b is now the longest silent
  const int fds_full = OpenFdCount();
  ASSERT_TRUE(talk_at(4, c.Get()));
  EXPECT_EQ(redirector.SessionCount(), 2u);
  EXPECT_EQ(OpenFdCount(), fds_full);  // b's socket closed for c's
  ASSERT_TRUE(talk_at(5, a.Get()));    // a kept its session
  EXPECT_EQ(echo_.Sources().size(), 3u);
  ASSERT_TRUE(talk_at(6, b.Get()));  // b needs a new one
  EXPECT_EQ(echo_.Sources().size(), 4u);
  EXPECT_EQ(redirector.Stats()->Evicted.load(), 2u);
  EXPECT_EQ(redirector.Stats()->Opened.load(), 4u);
}

TEST_F(UDPRedirectorTest, SourcePortSprayFromOneAddressNeitherEvictsNorRenumbersAPlayer) {
  constexpr std::uint32_t kPerAddress = 8;
  constexpr int kSpray = 64;  // far beyond the table's 16 places
  TUDPRedirector& redirector =
      Redirect(target_port_, 60000, {.ConnectionsPerAddress = kPerAddress, .UdpSessions = 16});
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
  EXPECT_EQ(redirector.SessionCount(), kPerAddress + 1);
  EXPECT_EQ(redirector.Stats()->Evicted.load(), 0u);

  // Expired sessions give their address's share back: the sprayer gets as
  // many again, and no more.
  now_.store(30000);
  EXPECT_EQ(player_round_trip("keeps the player"), player_port);
  now_.store(60002);
  EXPECT_EQ(player_round_trip("expires the spray"), player_port);
  EXPECT_EQ(redirector.SessionCount(), 1u);
  for (const TUniqueFd& sprayer : spray) ASSERT_TRUE(SendDatagram(sprayer.Get(), "again", port_));
  EXPECT_TRUE(
      WaitUntil([&] { return refused() - refused_before == 2 * std::uint64_t{kSpray - kPerAddress}; }));
  EXPECT_EQ(player_round_trip("last"), player_port);
  EXPECT_EQ(redirector.SessionCount(), kPerAddress + 1);
}

TEST_F(UDPRedirectorTest, UnconfirmedSessionsExpireSoonerAndGoFirstWhenPlacesRunShort) {
  constexpr std::int64_t kTimeout = 300000;
  TUDPRedirector& redirector = Redirect(target_port_, kTimeout, {.UdpSessions = 3});
  const auto unconfirmed = [&] {
    std::size_t count = 0;
    loop_.RunSync([&] { count = redirector.UnconfirmedCount(); });
    return count;
  };
  // Sends |text| from |client| and returns the port the target saw it from.
  const auto to_target = [&](int client, const std::string& text) -> std::uint16_t {
    sockaddr_in from{};
    if (!SendDatagram(client, text, port_) || RecvDatagram(target_.Get(), 5000ms, &from) != text) return 0;
    return ntohs(from.sin_port);
  };
  TUniqueFd answered = Client(), twice = Client(), once = Client(), late = Client();
  // Confirmed by the target's answer; by a second datagram; not at all.
  const std::uint16_t answered_port = to_target(answered.Get(), "a");
  ASSERT_NE(answered_port, 0);
  ASSERT_GE(SendTo(target_.Get(), "re", 2, MakeSockAddr(inet_addr("127.0.0.1"), answered_port)), 0);
  ASSERT_EQ(RecvDatagram(answered.Get()), "re");
  ASSERT_NE(to_target(twice.Get(), "t1"), 0);
  ASSERT_NE(to_target(twice.Get(), "t2"), 0);
  ASSERT_NE(to_target(once.Get(), "o"), 0);
  EXPECT_EQ(unconfirmed(), 1u);

  // Full: the newcomer takes the unconfirmed session's place, not that of
  // the longest silent one, which keeps its port.
  SetClock(1000);
  ASSERT_NE(to_target(late.Get(), "l"), 0);
  EXPECT_EQ(redirector.SessionCount(), 3u);
  EXPECT_EQ(redirector.Stats()->Evicted.load(), 1u);
  EXPECT_EQ(to_target(answered.Get(), "a2"), answered_port);

  // An unconfirmed session lives kUnconfirmedTimeoutMs; a confirmed one the
  // whole time-out since its client last spoke, answers or not.
  SetClock(1000 + kUnconfirmedTimeoutMs);
  EXPECT_EQ(redirector.SessionCount(), 3u);
  SetClock(1000 + kUnconfirmedTimeoutMs + 1);
  EXPECT_EQ(redirector.SessionCount(), 2u);
  EXPECT_EQ(unconfirmed(), 0u);
  SetClock(1000 + kTimeout);
  EXPECT_EQ(redirector.SessionCount(), 1u);  // |twice| spoke last at 0
  SetClock(1000 + kTimeout + 1);
  EXPECT_EQ(redirector.SessionCount(), 0u);
}

TEST_F(UDPRedirectorTest, RefusedSprayInTheSameBatchAsAPlayerDropsNoneOfThePlayersDatagrams) {
  constexpr std::uint32_t kPerAddress = 4;
  constexpr int kPlayer = 20, kSprayPerPlayer = 3;
  // Not started, so that everything below queues on the listening socket
  // and the first batches mix refused datagrams with the player's.
  TUDPRedirector& redirector =
      Redirect(target_port_, 60000, {.ConnectionsPerAddress = kPerAddress, .UdpSessions = 64}, false);
  TUniqueFd player = Client();
  std::vector<TUniqueFd> spray;
  for (int i = 0; i < kPlayer; ++i) {
    for (int j = 0; j < kSprayPerPlayer; ++j) {
      spray.push_back(ClientOn("127.0.0.2"));
      ASSERT_TRUE(SendDatagram(spray.back().Get(), "spray", port_));
    }
    ASSERT_TRUE(SendDatagram(player.Get(), "p" + std::to_string(i), port_));
  }
  loop_.RunSync([&] { EXPECT_TRUE(redirector.Start()); });

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

TEST_F(UDPRedirectorTest, BurstKeepsEachClientsOrderBothWaysAndIsCounted) {
  constexpr int kFromA = 200;
  TUDPRedirector& redirector = Redirect(target_port_);
  TUniqueFd a = Client(), b = Client();
  // Room for the whole burst in the test's own sockets: a lost datagram is
  // not what this test is about.
  const int room = 1 << 20;
  for (int fd : {target_.Get(), a.Get(), b.Get()}) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);

  // b's datagrams cut a's burst into runs of different lengths.
  int from_b = 0;
  std::uint64_t bytes = 0;
  const auto send = [&](int client, const std::string& text) {
    bytes += text.size();
    return SendDatagram(client, text, port_);
  };
  for (int i = 0; i < kFromA; ++i) {
    ASSERT_TRUE(send(a.Get(), "a" + std::to_string(i)));
    if (i % 23 == 0) {
      ASSERT_TRUE(send(b.Get(), "b" + std::to_string(from_b++)));
    }
  }
  std::map<std::uint16_t, std::vector<std::string>> at_target;  // by source port
  std::map<char, sockaddr_in> session_of;                       // by client
  for (int i = 0; i < kFromA + from_b; ++i) {
    sockaddr_in from{};
    const std::optional<std::string> got = RecvDatagram(target_.Get(), 5000ms, &from);
    ASSERT_TRUE(got.has_value()) << "datagram " << i;
    at_target[ntohs(from.sin_port)].push_back(*got);
    session_of[got->at(0)] = from;
  }
  ASSERT_EQ(at_target.size(), 2u);
  for (const char client : {'a', 'b'}) {
    const std::vector<std::string>& seen = at_target[ntohs(session_of[client].sin_port)];
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(client == 'a' ? kFromA : from_b));
    for (std::size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], client + std::to_string(i));
  }

  // The answers, as one burst per session, come back in order.
  const auto answer = [&](char client, int i) {
    const std::string text = "r" + std::to_string(i);
    return SendTo(target_.Get(), text.data(), text.size(), session_of[client]) ==
           static_cast<ssize_t>(text.size());
  };
  for (int i = 0; i < kFromA; ++i) {
    ASSERT_TRUE(answer('a', i));
    if (i < from_b) {
      ASSERT_TRUE(answer('b', i));
    }
  }
  for (int i = 0; i < kFromA; ++i) ASSERT_EQ(RecvDatagram(a.Get()), "r" + std::to_string(i));
  for (int i = 0; i < from_b; ++i) ASSERT_EQ(RecvDatagram(b.Get()), "r" + std::to_string(i));

  const TRedirectorStats& stats = *redirector.Stats();
  const std::uint64_t datagrams = kFromA + static_cast<std::uint64_t>(from_b);
  EXPECT_TRUE(WaitUntil([&] { return stats.DatagramsFromTarget.load() == datagrams; }));
  EXPECT_EQ(stats.DatagramsToTarget.load(), datagrams);
  EXPECT_EQ(stats.BytesToTarget.load(), bytes);
  EXPECT_GT(stats.BytesFromTarget.load(), 0u);
  EXPECT_EQ(stats.Opened.load(), 2u);
  EXPECT_EQ(stats.Open.load(), 2u);
  EXPECT_GT(stats.LastActivityMs.load(), 0);
}

TEST_F(UDPRedirectorTest, NewSessionsAreRefusedOnlyWhileTheDescriptorReserveIsReached) {
  TUDPRedirector& redirector = Redirect(echo_.Port());
  TUniqueFd client = Client();
  const auto refused = [] {
    return RefusalTotal(TRefusedWork::kUdpSession, TRefusalReason::kDescriptorReserve);
  };
  const std::uint64_t refused_before = refused();
  {
    TDescriptorHeadroom headroom(0);
    ASSERT_TRUE(headroom.Applied());
    ASSERT_FALSE(fd_budget::HasRoom());
    ASSERT_TRUE(SendDatagram(client.Get(), "x", port_));
    EXPECT_TRUE(WaitUntil([&] { return refused() == refused_before + 1; }));
    EXPECT_EQ(redirector.SessionCount(), 0u);
  }
  EXPECT_EQ(RoundTrip(client.Get(), "y"), "y");
}

TEST_F(UDPRedirectorTest, ReceiveFailureOnTheListeningSocketEndsTheRedirectorWithEverySocket) {
  TUDPRedirector& redirector = Redirect(target_port_, 60000, {}, false);
  // The kernel then reports a client's "port unreachable" to the listening
  // socket's next receive, which fails.
  const int on = 1;
  ASSERT_EQ(setsockopt(redirector.Socket(), SOL_IP, IP_RECVERR, &on, sizeof on), 0);
  loop_.RunSync([&] { EXPECT_TRUE(redirector.Start()); });
  sockaddr_in session{};
  {
    TUniqueFd client = Client();
    ASSERT_TRUE(SendDatagram(client.Get(), "x", port_));
    ASSERT_EQ(RecvDatagram(target_.Get(), 5000ms, &session), "x");
  }
  ASSERT_EQ(SendTo(target_.Get(), "to nobody", 9, session), 9);
  EXPECT_TRUE(WaitUntil([&] { return redirector.Failed(); }));
  EXPECT_EQ(redirector.SessionCount(), 0u);
  // Nothing is left open even before the redirector is destroyed.
  EXPECT_EQ(FdsOpenedSince(baseline_fds_), "");
}

TEST_F(UDPRedirectorTest, PlayersAreItsSessionsWithWhatTheyMovedAndTheirWaitsAreObserved) {
  TUDPRedirector& redirector = Redirect(target_port_, 60000);
  TUniqueFd a = Client(), b = ClientOn("127.0.0.2");
  sockaddr_in a_session{};
  ASSERT_TRUE(SendDatagram(a.Get(), "ab", port_));
  ASSERT_EQ(RecvDatagram(target_.Get(), 5000ms, &a_session), "ab");
  ASSERT_TRUE(SendDatagram(b.Get(), "xyz", port_));
  ASSERT_EQ(RecvDatagram(target_.Get()), "xyz");
  SetClock(30);  // a's first answer comes 30 ms after its first datagram
  for (const char* answer : {"back", "!"}) {
    ASSERT_GE(SendTo(target_.Get(), answer, std::strlen(answer), a_session), 0);
    ASSERT_EQ(RecvDatagram(a.Get()), answer);
  }
  std::vector<TPlayerView> players;
  loop_.RunSync([&] { players = redirector.Players(); });
  ASSERT_EQ(players.size(), 2u);
  EXPECT_EQ(players[0].Address, inet_addr("127.0.0.1"));
  EXPECT_EQ(players[0].Port, LocalPort(a.Get()));
  EXPECT_EQ(std::tuple(players[0].BytesToTarget, players[0].DatagramsToTarget, players[0].BytesFromTarget,
                       players[0].DatagramsFromTarget, players[0].LastActivityMs - players[0].StartedMs),
            std::tuple(2u, 1u, 5u, 2u, 30));
  EXPECT_EQ(players[1].Address, inet_addr("127.0.0.2"));
  EXPECT_EQ(std::tuple(players[1].BytesToTarget, players[1].DatagramsToTarget, players[1].BytesFromTarget,
                       players[1].LastActivityMs - players[1].StartedMs, players[1].Held),
            std::tuple(3u, 1u, 0u, 0, false));
  EXPECT_EQ(redirector.Stats()->Players.load(), 2u);
  const TRelayLoopCounters& counters = loop_.Counters();
  EXPECT_EQ(counters.AnswerWait.Counts[5].load(), 1u);  // (25, 50] ms
  EXPECT_EQ(counters.AnswerWait.SumMs.load(), 30u);

  SetClock(60001);  // both expire, a minute and a millisecond old
  loop_.RunSync([&] { players = redirector.Players(); });
  EXPECT_TRUE(players.empty());
  EXPECT_EQ(redirector.Stats()->Players.load(), 0u);
  EXPECT_EQ(counters.UdpLifetime.Counts[3].load(), 2u);  // (1, 5] min
}

// Queued before the redirector starts, so that one batch holds them all:
// 6 datagrams of 10 bytes from a flooder's first socket, 2 of 2 bytes from
// another player, 4 of 10 bytes from a second socket of the flooder.
TEST_F(UDPRedirectorTest, CapsCutAFloodingAddressOrTheWholeRedirectorAndSayWho) {
  struct TCase {
    const char* name;
    std::uint64_t datagrams, bytes, redirector_bytes;
    unsigned flood_passed, player_passed, first_dropped;
    std::size_t sessions;
    std::string summed;  // of the rest, ten seconds later
  };
  const std::string top2 = "; top senders 127.0.0.2 ";
  const std::string rest = "4 datagrams over the player caps in the last 10 s" + top2;
  const TCase cases[] = {
      {"datagrams per address", 3, 0, 0, 3, 2, 3, 2, rest + "(4)"},
      {"bytes per address", 0, 25, 0, 2, 2, 4, 2, rest + "(4)"},
      {"larger than the cap: alone on a full bucket", 0, 5, 0, 1, 2, 5, 2, rest + "(4)"},
      {"bytes per redirector", 0, 0, 50, 5, 0, 1, 1, "6" + rest.substr(1) + "(4), 127.0.0.3 (2)"},
  };
  std::int64_t base = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    const auto caps = std::make_shared<TPlayerCaps>();
    caps->UdpDatagramsPerPlayer = c.datagrams;
    caps->UdpBytesPerPlayer = c.bytes;
    caps->BytesPerRedirector = c.redirector_bytes;
    base += 100000;
    SetClock(base);
    TUDPRedirector& redirector = Redirect(target_port_, 60000, {.Caps = caps}, false);
    TUniqueFd flood = ClientOn("127.0.0.2"), flood2 = ClientOn("127.0.0.2"), player = ClientOn("127.0.0.3");
    for (const auto& [fd, data, times] :
         {std::tuple{flood.Get(), "flood....f", 6}, std::tuple{player.Get(), "pp", 2},
          std::tuple{flood2.Get(), "flood....F", 4}}) {
      for (int i = 0; i < times; ++i) ASSERT_TRUE(SendDatagram(fd, data, port_));
    }
    const std::uint64_t dropped_before = loop_.Counters().DatagramsDropped.load();
    loop_.RunSync([&] { EXPECT_TRUE(redirector.Start()); });
    const unsigned dropped = 12 - c.flood_passed - c.player_passed;
    ASSERT_TRUE(WaitUntil([&] { return redirector.Stats()->Dropped.load() == dropped; }));
    std::map<std::string, unsigned> at_target;
    for (unsigned i = 0; i < c.flood_passed + c.player_passed; ++i)
      ++at_target[RecvDatagram(target_.Get()).value_or("")];
    EXPECT_EQ(PendingBytes(target_.Get()), 0);
    const unsigned flood_seen = at_target["flood....f"], player_seen = at_target["pp"];
    EXPECT_EQ(std::tuple(flood_seen, player_seen, at_target.size()),
              std::tuple(c.flood_passed, c.player_passed, 2u));
    EXPECT_EQ(loop_.Counters().DatagramsDropped.load() - dropped_before, dropped);
    EXPECT_EQ(redirector.SessionCount(), c.sessions);  // a run dropped whole opens none
    loop_.RunSync([&] {
      for (const TPlayerView& view : redirector.Players())
        EXPECT_EQ(view.Held, view.Address == inet_addr("127.0.0.2"));
    });

    const std::string subject = "UDP Redirector at 127.0.0.1:" + std::to_string(port_) + " dropped ";
    const std::string first = std::to_string(c.first_dropped);
    EXPECT_EQ(log.CountPrefix(subject), 1);
    EXPECT_TRUE(log.Contains(subject + first + " datagrams over the player caps" + top2 + "(" + first + ")"));
    SetClock(base + kCapLogIntervalMs);
    EXPECT_TRUE(log.Contains(subject + c.summed));
    loop_.RunSync([&] { redirectors_.clear(); });
  }
}

// Another client of the loop may destroy a redirector in the very turn
// that found its socket readable, after its own watch ran: the work it
// planned for the end of that turn must not run.
TEST_F(UDPRedirectorTest, DestroyedInTheTurnThatFoundItReadableItRelaysNothingMore) {
  TUDPRedirector& redirector = Redirect(target_port_, 60000, {}, false);
  const std::shared_ptr<TRedirectorStats> stats = redirector.Stats();
  std::uint16_t trigger_port = 0;
  TUniqueFd trigger = BindUdpLoopback(&trigger_port), client = Client();
  std::atomic<bool> destroyed{false};
  TTestWatch destroyer([&] {
    loop_.Loop().Unwatch(destroyer);
    redirectors_.clear();
    destroyed = true;
  });
  // Both readable before the loop watches them, so that one turn reports
  // both, in the order they were watched.
  ASSERT_TRUE(SendDatagram(client.Get(), "x", port_));
  ASSERT_TRUE(SendDatagram(client.Get(), "go", trigger_port));
  ASSERT_TRUE(
      WaitUntil([&] { return PendingBytes(redirector.Socket()) > 0 && PendingBytes(trigger.Get()) > 0; }));
  loop_.RunSync([&] {
    EXPECT_TRUE(redirector.Start());
    EXPECT_TRUE(loop_.Loop().Watch(destroyer, trigger.Get(), EPOLLIN));
  });
  ASSERT_TRUE(WaitUntil([&] { return destroyed.load(); }));
  loop_.RunSync([] {});  // runs in a later turn: that one's end is over
  EXPECT_EQ(stats->Opened.load(), 0u);
  EXPECT_EQ(stats->DatagramsToTarget.load(), 0u);
}

}  // namespace
}  // namespace quorvane
