#include "servers/UDPRedirector.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "LoopFixture.h"
#include "TestSupport.h"
#include "requests/RefusalReasons.h"
#include "runtime/FdBudget.h"

namespace quorvane {
namespace {

using namespace test;

// A descriptor the loop watches for the test, calling |Ready| when it is.
struct TTestWatch final : TLoopWatch {
  void OnReady(std::uint32_t /*events*/) override { Ready(); }
  std::function<void()> Ready;
};

class UDPRedirectorTest : public TLoopFixture {
 protected:
  void TearDown() override {
    loop_.RunSync([&] { redirectors_.clear(); });
    TLoopFixture::TearDown();
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
    if (start) Start(redirector);
    return redirector;
  }
  void Start(TUDPRedirector& redirector) {
    loop_.RunSync([&] { EXPECT_TRUE(redirector.Start()); });
  }
  // A client on 127.0.0.1, or on another loopback address as another host.
  static TUniqueFd Client(const char* address = "127.0.0.1") {
    TUniqueFd fd = OpenUdpSocket();
    if (!BindTo(fd.Get(), inet_addr(address), 0)) return {};
    return fd;
  }
  // Sends |text| from |client| and returns the session port the target saw
  // it come from; 0 when it did not arrive as sent, the ignored_ aside.
  std::uint16_t ToTarget(int client, const std::string& text) {
    sockaddr_in from{};
    if (!SendDatagram(client, text, port_)) return 0;
    std::optional<std::string> got;
    do got = RecvDatagram(target_.Get(), 5000ms, &from);
    while (got && ignored_.count(*got) > 0);
    return got == text ? ntohs(from.sin_port) : 0;
  }
  // ToTarget(), then the target answers "re |text|", which reaches |client|.
  std::uint16_t RoundTrip(int client, const std::string& text) {
    const std::uint16_t session = ToTarget(client, text);
    const bool back = session != 0 && Answer(session, "re " + text) && RecvDatagram(client) == "re " + text;
    return back ? session : 0;
  }
  bool Answer(std::uint16_t session_port, const std::string& text) {
    return SendTo(target_.Get(), text.data(), text.size(), MakeSockAddr(Loopback(), session_port)) ==
           static_cast<ssize_t>(text.size());
  }

  std::vector<std::unique_ptr<TUDPRedirector>> redirectors_;  // destroyed on the loop
  std::uint16_t target_port_ = 0;
  TUniqueFd target_ = BindUdpLoopback(&target_port_);  // answers only when a test speaks for it
  std::uint16_t port_ = 0;                             // the last redirector's
  std::set<std::string> ignored_;                      // datagrams ToTarget() passes over
};

TEST_F(UDPRedirectorTest, RedirectorsCostTheirSocketsAndNoThreadAndRelayEachSessionInOrderAndWholeBothWays) {
  const int threads = ThreadCount();
  std::set<int> listening;
  // Earliest expiry an hour away: its timer stays armed until the end.
  for (int i = 0; i < 20; ++i) listening.insert(Redirect(target_port_, 3600000, {}, false).Socket());
  for (const auto& redirector : redirectors_) Start(*redirector);
  std::set<int> opened = OpenFds();
  for (const int fd : baseline_fds_) opened.erase(fd);
  EXPECT_EQ(opened, listening);

  // 129 clients of the last redirector: a burst of 200 from the first, cut
  // into runs of different lengths by the others' pairs.
  std::vector<TUniqueFd> clients(129);
  for (TUniqueFd& client : clients) client = Client();
  // The last has the port number of the one before on another loopback
  // address, and is another client. The number may be taken there (tests
  // run in parallel): then another one.
  for (int tries = 0; tries < 100; ++tries, clients[127] = Client()) {
    clients[128] = OpenUdpSocket();
    if (BindTo(clients[128].Get(), inet_addr("127.0.0.2"), LocalPort(clients[127].Get()))) break;
  }
  ASSERT_EQ(LocalPort(clients[128].Get()), LocalPort(clients[127].Get()));
  // Room for the whole burst: a datagram lost in the test's own sockets is
  // not what this test is about.
  const int room = 1 << 20;
  for (const int fd : {target_.Get(), clients[0].Get()})
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  std::vector<std::vector<std::string>> sent(clients.size());
  std::uint64_t bytes = 0;
  const auto send = [&](std::size_t client) {
    const std::string& datagram =
        sent[client].emplace_back(std::to_string(client) + ":" + std::to_string(sent[client].size()));
    bytes += datagram.size();
    return SendDatagram(clients[client].Get(), datagram, port_);
  };
  for (std::size_t i = 0, other = 1; i < 200 || other < clients.size(); ++i) {
    if (i < 200) {
      ASSERT_TRUE(send(0));
    }
    if ((i % 23 == 0 || i >= 200) && other < clients.size()) {
      ASSERT_TRUE(send(other) && send(other));
      ++other;
    }
  }
  // The target sees each client's datagrams in order from a port of its own,
  // and answers once it has them all, so that answers wait on every session
  // socket at once and leave together.
  std::vector<std::vector<std::string>> at_target(clients.size());
  std::map<std::uint16_t, std::size_t> client_of_port;
  std::vector<std::pair<std::string, sockaddr_in>> answers;
  for (std::size_t i = 0; i < 200 + 2 * (clients.size() - 1); ++i) {
    sockaddr_in from{};
    const std::optional<std::string> got = RecvDatagram(target_.Get(), 5000ms, &from);
    ASSERT_TRUE(got.has_value()) << "datagram " << i;
    const std::size_t client = std::stoul(*got);
    ASSERT_EQ(client_of_port.emplace(from.sin_port, client).first->second, client) << *got;
    at_target[client].push_back(*got);
    answers.emplace_back(*got, from);
  }
  EXPECT_EQ(at_target, sent);
  EXPECT_EQ(client_of_port.size(), clients.size());
  for (const auto& [data, from] : answers)
    ASSERT_GE(SendTo(target_.Get(), data.data(), data.size(), from), 0);
  for (std::size_t i = 0; i < clients.size(); ++i)
    for (const std::string& datagram : sent[i]) ASSERT_EQ(RecvDatagram(clients[i].Get()), datagram);
  const TUDPRedirector& redirector = *redirectors_.back();
  const TRedirectorStats& stats = *redirector.Stats();
  EXPECT_TRUE(WaitUntil([&] { return stats.DatagramsFromTarget.load() == answers.size(); }));
  EXPECT_EQ(
      std::tuple(stats.DatagramsToTarget.load(), stats.BytesToTarget.load(), stats.BytesFromTarget.load()),
      std::tuple(std::uint64_t{answers.size()}, bytes, bytes));
  EXPECT_EQ(std::tuple(redirector.SessionCount(), stats.Opened.load(), stats.Open.load()),
            std::tuple(std::size_t{129}, std::uint64_t{129}, std::uint64_t{129}));
  EXPECT_GT(stats.LastActivityMs.load(), 0);
  EXPECT_EQ(OpenFdCount(), static_cast<int>(baseline_fds_.size() + listening.size() + 2 * clients.size()));
  EXPECT_EQ(ThreadCount(), threads);

  // An empty datagram opens a session and holds up nothing, and the largest
  // IPv4 carries (65535 less the IP and UDP headers) passes whole both
  // ways: no receive slot cuts it.
  const std::string largest = Pattern(0, 65507);
  const TUniqueFd fresh = Client();
  ASSERT_TRUE(SendDatagram(fresh.Get(), "", port_) && SendDatagram(fresh.Get(), largest, port_));
  sockaddr_in from{};
  ASSERT_EQ(RecvDatagram(target_.Get(), 5000ms, &from), "");
  ASSERT_EQ(RecvDatagram(target_.Get()), largest);
  for (const std::string& answer : {std::string(), largest})
    ASSERT_TRUE(Answer(ntohs(from.sin_port), answer));
  for (const std::string& answer : {std::string(), largest}) ASSERT_EQ(RecvDatagram(fresh.Get()), answer);
  // Whoever writes to a session socket reaches its client, from the
  // listening socket.
  ASSERT_TRUE(SendDatagram(clients[0].Get(), "unsolicited", ntohs(from.sin_port)));
  EXPECT_EQ(RecvDatagram(fresh.Get(), 5000ms, &from), "unsolicited");
  EXPECT_EQ(ntohs(from.sin_port), port_);

  // Destruction disarms the expiry timer; TearDown() sees every socket closed.
  loop_.RunSync([&] {
    const std::size_t timers = loop_.Loop().TimerCount();
    redirectors_.pop_back();
    EXPECT_EQ(loop_.Loop().TimerCount(), timers - 1);
  });
}

TEST_F(UDPRedirectorTest, NoSocketNoStartAndNoNewSessionWhileTheDescriptorReserveIsReached) {
  TUDPRedirector& redirector = Redirect(target_port_);
  // A port in use, and what a name that does not resolve yields.
  for (const auto& [host, port, error] : {std::tuple{"127.0.0.1", port_, EADDRINUSE},
                                          std::tuple{"255.255.255.255", std::uint16_t{0}, EADDRNOTAVAIL}}) {
    SCOPED_TRACE(host);
    TUDPRedirector broken(host, host, "127.0.0.1", port, target_port_, 1000, {.Loop = &loop_});
    EXPECT_EQ(broken.Socket(), -1);
    EXPECT_EQ(broken.SetupError(), error);
    loop_.RunSync([&] { EXPECT_FALSE(broken.Start()); });
    EXPECT_FALSE(broken.Failed());
  }
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
  EXPECT_NE(ToTarget(client.Get(), "y"), 0);
}

TEST_F(UDPRedirectorTest, SessionGoesOneMillisecondAfterItsTimeoutEvenWhileOthersTalkAndIsAPlayerUntil) {
  constexpr std::int64_t kTimeout = 60000;
  TUDPRedirector& redirector = Redirect(target_port_, kTimeout);
  TUniqueFd silent = Client("127.0.0.2"), talker = Client();
  const int fds_before = OpenFdCount();
  const std::uint16_t silent_port = ToTarget(silent.Get(), "ab");
  ASSERT_NE(silent_port, 0);
  SetClock(30);  // the first answer comes 30 ms after the first datagram
  for (const char* answer : {"back", "!"}) {
    ASSERT_TRUE(Answer(silent_port, answer));
    ASSERT_EQ(RecvDatagram(silent.Get()), answer);
  }
  const std::vector<TPlayerView> players = OnLoop([&] { return redirector.Players(); });
  ASSERT_EQ(players.size(), 1u);
  const TPlayerView& player = players[0];
  EXPECT_EQ(std::tuple(player.Address, player.Port),
            std::tuple(inet_addr("127.0.0.2"), LocalPort(silent.Get())));
  EXPECT_EQ(std::tuple(player.BytesToTarget, player.DatagramsToTarget, player.BytesFromTarget,
                       player.DatagramsFromTarget, player.LastActivityMs - player.StartedMs, player.Held),
            std::tuple(2u, 1u, 5u, 2u, 30, false));
  const TRelayLoopCounters& counters = loop_.Counters();
  EXPECT_EQ(counters.AnswerWait.Counts[5].load(), 1u);  // (25, 50] ms
  EXPECT_EQ(counters.AnswerWait.SumMs.load(), 30u);

  SetClock(kTimeout);
  const std::uint16_t talker_port = ToTarget(talker.Get(), "2");
  ASSERT_NE(talker_port, 0);
  EXPECT_EQ(redirector.SessionCount(), 2u);
  // Answers do not keep a session alive.
  ASSERT_TRUE(Answer(silent_port, "answer"));
  ASSERT_EQ(RecvDatagram(silent.Get()), "answer");

  // Expiry in a turn busy with another client's traffic, not only when idle.
  now_ms_.store(kTimeout + 1);
  ASSERT_EQ(ToTarget(talker.Get(), "3"), talker_port);
  Settle();
  EXPECT_EQ(redirector.SessionCount(), 1u);
  EXPECT_EQ(OpenFdCount(), fds_before + 1);  // the expired session's socket is closed
  EXPECT_EQ(
      std::tuple(redirector.Stats()->Expired.load(), redirector.Stats()->Open.load(),
                 redirector.Stats()->Players.load(), OnLoop([&] { return redirector.Players(); }).size()),
      std::tuple(std::uint64_t{1}, std::uint64_t{1}, std::uint64_t{1}, std::size_t{1}));
  EXPECT_EQ(counters.UdpLifetime.Counts[3].load(), 1u);  // (1, 5] min

  // Back after expiry: a new session (answered, so that it is confirmed).
  ASSERT_NE(RoundTrip(silent.Get(), "4"), 0);
  EXPECT_EQ(std::tuple(redirector.SessionCount(), redirector.Stats()->Opened.load()),
            std::tuple(std::size_t{2}, std::uint64_t{3}));

  // Without any traffic, the timer ends both at their time-out.
  const std::int64_t last_talk = kTimeout + 1;
  SetClock(last_talk + kTimeout);
  EXPECT_EQ(redirector.SessionCount(), 2u);
  SetClock(last_talk + kTimeout + 1);
  EXPECT_EQ(redirector.SessionCount(), 0u);
  EXPECT_EQ(OpenFdCount(), fds_before);
  EXPECT_EQ(std::tuple(redirector.Stats()->Expired.load(), redirector.Stats()->Players.load()),
            std::tuple(std::uint64_t{3}, std::uint64_t{0}));
}

TEST_F(UDPRedirectorTest, SourcePortSprayFromOneAddressNeitherEvictsNorRenumbersNorDropsAPlayer) {
  constexpr std::uint32_t kPerAddress = 8;
  constexpr int kSpray = 64;  // far beyond the table's 16 places
  // Not started, so that everything below queues on the listening socket
  // and the first batches mix refused datagrams with the player's.
  TUDPRedirector& redirector =
      Redirect(target_port_, 60000, {.ConnectionsPerAddress = kPerAddress, .UdpSessions = 16}, false);
  const auto refused = [] {
    return RefusalTotal(TRefusedWork::kUdpSession, TRefusalReason::kConnectionsPerAddress);
  };
  const std::uint64_t refused_before = refused();
  TUniqueFd player = Client();
  std::vector<std::string> sent;
  std::vector<TUniqueFd> spray;
  for (int i = 0; i < kSpray; ++i) {
    spray.push_back(Client("127.0.0.2"));
    ASSERT_TRUE(SendDatagram(spray.back().Get(), "spray", port_));
    if (i % 3 == 2) {
      ASSERT_TRUE(SendDatagram(player.Get(), sent.emplace_back("p" + std::to_string(i)), port_));
    }
  }
  Start(redirector);
  std::vector<std::string> from_player;
  std::set<std::uint16_t> player_ports;
  int sprayed = 0;
  while (from_player.size() < sent.size()) {
    sockaddr_in from{};
    const std::optional<std::string> got = RecvDatagram(target_.Get(), 5000ms, &from);
    ASSERT_TRUE(got.has_value()) << "the player's datagrams after " << from_player.size();
    if (*got == "spray") {
      ++sprayed;
    } else {
      from_player.push_back(*got);
      player_ports.insert(ntohs(from.sin_port));
    }
  }
  EXPECT_EQ(from_player, sent);
  ASSERT_EQ(player_ports.size(), 1u);
  const std::uint16_t player_port = *player_ports.begin();
  EXPECT_LE(sprayed, static_cast<int>(kPerAddress));
  EXPECT_TRUE(WaitUntil([&] { return refused() - refused_before == kSpray - kPerAddress; }));

  // Sprayed datagrams on the player's way are passed over.
  ignored_ = {"spray", "again"};
  EXPECT_EQ(RoundTrip(player.Get(), "after"), player_port);
  EXPECT_EQ(redirector.SessionCount(), kPerAddress + 1);
  EXPECT_EQ(redirector.Stats()->Evicted.load(), 0u);

  // Expired sessions give their address's share back: the sprayer gets as
  // many again, and no more.
  now_ms_.store(30000);
  EXPECT_EQ(RoundTrip(player.Get(), "keeps the player"), player_port);
  now_ms_.store(60002);
  EXPECT_EQ(RoundTrip(player.Get(), "expires the spray"), player_port);
  EXPECT_EQ(redirector.SessionCount(), 1u);
  for (const TUniqueFd& sprayer : spray) ASSERT_TRUE(SendDatagram(sprayer.Get(), "again", port_));
  EXPECT_TRUE(
      WaitUntil([&] { return refused() - refused_before == 2 * std::uint64_t{kSpray - kPerAddress}; }));
  EXPECT_EQ(RoundTrip(player.Get(), "last"), player_port);
  EXPECT_EQ(redirector.SessionCount(), kPerAddress + 1);
}

TEST_F(UDPRedirectorTest, FullTableGivesAnUnconfirmedPlaceFirstThenTheLongestSilentAndEachExpiresOnItsTime) {
  constexpr std::int64_t kTimeout = 300000;
  TUDPRedirector& redirector = Redirect(target_port_, kTimeout, {.UdpSessions = 3});
  const auto unconfirmed = [&] { return OnLoop([&] { return redirector.UnconfirmedCount(); }); };
  TUniqueFd answered = Client(), twice = Client(), once = Client(), late = Client();
  // Confirmed by the target's answer; by a second datagram; not at all.
  ASSERT_NE(RoundTrip(answered.Get(), "a"), 0);
  const std::uint16_t twice_port = ToTarget(twice.Get(), "t1");
  ASSERT_EQ(ToTarget(twice.Get(), "t2"), twice_port);
  ASSERT_NE(ToTarget(once.Get(), "o"), 0);
  EXPECT_EQ(unconfirmed(), 1u);

  // Full: the newcomer takes the unconfirmed session's place, not that of
  // the longest silent one, which keeps its port; its socket is closed.
  SetClock(1000);
  const int fds_full = OpenFdCount();
  const std::uint16_t late_port = ToTarget(late.Get(), "l1");
  ASSERT_EQ(ToTarget(late.Get(), "l2"), late_port);
  EXPECT_EQ(OpenFdCount(), fds_full);
  EXPECT_EQ(ToTarget(twice.Get(), "t3"), twice_port);
  // With every place confirmed, the longest silent one (answers do not
  // count) goes, and comes back as a new session.
  SetClock(2000);
  ASSERT_NE(ToTarget(once.Get(), "o2"), 0);
  EXPECT_EQ(ToTarget(late.Get(), "l3"), late_port);
  EXPECT_EQ(ToTarget(twice.Get(), "t4"), twice_port);
  EXPECT_EQ(redirector.SessionCount(), 3u);
  EXPECT_EQ(std::tuple(redirector.Stats()->Evicted.load(), redirector.Stats()->Opened.load()),
            std::tuple(std::uint64_t{2}, std::uint64_t{5}));
  ASSERT_NE(ToTarget(answered.Get(), "a2"), 0);
  EXPECT_EQ(redirector.Stats()->Opened.load(), 6u);

  // An unconfirmed session lives kUnconfirmedTimeoutMs; a confirmed one the
  // whole time-out since its client last spoke, answers or not.
  EXPECT_EQ(unconfirmed(), 1u);  // |answered|, back at 2000
  SetClock(2000 + kUnconfirmedTimeoutMs);
  EXPECT_EQ(redirector.SessionCount(), 3u);
  SetClock(2000 + kUnconfirmedTimeoutMs + 1);
  EXPECT_EQ(redirector.SessionCount(), 2u);
  EXPECT_EQ(unconfirmed(), 0u);
  SetClock(2000 + kTimeout);
  EXPECT_EQ(redirector.SessionCount(), 2u);
  SetClock(2000 + kTimeout + 1);
  EXPECT_EQ(redirector.SessionCount(), 0u);
}

TEST_F(UDPRedirectorTest, ReceiveFailureOnTheListeningSocketEndsTheRedirectorWithEverySocket) {
  TUDPRedirector& redirector = Redirect(target_port_, 60000, {}, false);
  // The kernel then reports a client's "port unreachable" to the listening
  // socket's next receive, which fails.
  const int on = 1;
  ASSERT_EQ(setsockopt(redirector.Socket(), SOL_IP, IP_RECVERR, &on, sizeof on), 0);
  Start(redirector);
  const std::uint16_t session = ToTarget(Client().Get(), "x");  // the client is closed at once
  ASSERT_TRUE(session != 0 && Answer(session, "to nobody"));
  EXPECT_TRUE(WaitUntil([&] { return redirector.Failed(); }));
  EXPECT_EQ(redirector.SessionCount(), 0u);
  // Nothing is left open even before the redirector is destroyed.
  EXPECT_EQ(FdsOpenedSince(baseline_fds_), "");
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
    const std::shared_ptr<TPlayerCaps> caps(new TPlayerCaps{.UdpDatagramsPerPlayer = c.datagrams,
                                                            .UdpBytesPerPlayer = c.bytes,
                                                            .BytesPerRedirector = c.redirector_bytes});
    base += 100000;
    SetClock(base);
    TUDPRedirector& redirector = Redirect(target_port_, 60000, {.Caps = caps}, false);
    TUniqueFd flood = Client("127.0.0.2"), flood2 = Client("127.0.0.2"), player = Client("127.0.0.3");
    for (const auto& [fd, data, times] :
         {std::tuple{flood.Get(), "flood....f", 6}, std::tuple{player.Get(), "pp", 2},
          std::tuple{flood2.Get(), "flood....F", 4}}) {
      for (int i = 0; i < times; ++i) ASSERT_TRUE(SendDatagram(fd, data, port_));
    }
    const std::uint64_t dropped_before = loop_.Counters().DatagramsDropped.load();
    Start(redirector);
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
    for (const TPlayerView& view : OnLoop([&] { return redirector.Players(); }))
      EXPECT_EQ(view.Held, view.Address == inet_addr("127.0.0.2"));

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
  TTestWatch destroyer;
  destroyer.Ready = [&] {
    loop_.Loop().Unwatch(destroyer);
    redirectors_.clear();
    destroyed = true;
  };
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
  EXPECT_EQ(std::tuple(stats->Opened.load(), stats->DatagramsToTarget.load()), std::tuple(0u, 0u));
}

}  // namespace
}  // namespace quorvane
