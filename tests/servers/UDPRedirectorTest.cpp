#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>

#include "TestSupport.h"
#include "servers/UDPRedirector.h"

namespace quorvane {
namespace {

using namespace test;

class UDPRedirectorTest : public ::testing::Test {
 protected:
  auto Start(std::uint16_t target_port, std::int64_t timeout_ms = 60000,
             std::size_t max_sessions = kMaxUdpSessions, TMillisClock clock = nullptr) {
    TRedirectorOptions options;
    options.UdpSessions = max_sessions;
    auto redirector = std::make_unique<TUDPRedirector>("127.0.0.1", "127.0.0.1", "127.0.0.1", 0, target_port,
                                                       timeout_ms, options);
    if (clock) redirector->SetClock(std::move(clock));
    port_ = LocalPort(redirector->Socket());
    EXPECT_NE(port_, 0);
    EXPECT_TRUE(redirector->Resume());
    return redirector;
  }
  static UniqueFd Client() {
    std::uint16_t unused = 0;
    return BindUdpLoopback(&unused);
  }
  std::optional<std::string> RoundTrip(int client, const std::string& data) {
    if (!SendDatagram(client, data, port_)) return std::nullopt;
    return RecvDatagram(client);
  }

  UdpEchoServer echo_;
  std::uint16_t target_port_ = 0;
  UniqueFd target_ = BindUdpLoopback(&target_port_);  // answers only when a test speaks for it
  std::uint16_t port_ = 0;                            // the redirector's
};

TEST_F(UDPRedirectorTest, EachClientGetsItsOwnSessionAndEveryAnswerReachesItsClient) {
  auto redirector = Start(target_port_);
  // Same port number on another loopback address is another client.
  std::uint16_t a_port = 0;
  UniqueFd a = BindUdpLoopback(&a_port);
  UniqueFd a_twin = OpenUdpSocket();
  ASSERT_TRUE(BindTo(a_twin.get(), inet_addr("127.0.0.2"), a_port));
  UniqueFd b = Client();

  std::vector<std::uint16_t> sources;
  for (int client : {a.get(), a_twin.get(), b.get(), a.get()}) {
    const std::string text = "from " + std::to_string(client);
    // An empty datagram is relayed both ways and does not hold up the next.
    ASSERT_TRUE(SendDatagram(client, "", port_));
    ASSERT_TRUE(SendDatagram(client, text, port_));
    sockaddr_in from{};
    ASSERT_EQ(RecvDatagram(target_.get(), 5000ms, &from), "");  // forwarded on the first datagram
    ASSERT_EQ(RecvDatagram(target_.get()), text);
    sources.push_back(ntohs(from.sin_port));
    ASSERT_EQ(SendTo(target_.get(), "", 0, from), 0);
    ASSERT_EQ(SendTo(target_.get(), "re", 2, from), 2);
    ASSERT_EQ(RecvDatagram(client), "");
    ASSERT_EQ(RecvDatagram(client), "re");
  }
  EXPECT_EQ(redirector->SessionCount(), 3u);
  EXPECT_EQ(std::set(sources.begin(), sources.begin() + 3).size(), 3u);  // one source port per client
  EXPECT_EQ(sources[3], sources[0]);                                     // a known client keeps its session

  // Another host writing to a session socket reaches its client, from the listening socket.
  UniqueFd stranger = Client();
  ASSERT_TRUE(SendDatagram(stranger.get(), "unsolicited", sources[2]));
  sockaddr_in from{};
  EXPECT_EQ(RecvDatagram(b.get(), 5000ms, &from), "unsolicited");
  EXPECT_EQ(ntohs(from.sin_port), port_);
}

TEST_F(UDPRedirectorTest, AnswersReachEachOf129PeersAndEverySocketIsClosed) {
  const int baseline = OpenFdCount();
  {
    std::vector<UniqueFd> clients(129);
    for (UniqueFd& client : clients) client = Client();
    // Earliest expiry far beyond the test's time-out: the destruction below
    // finishes only if Terminate() wakes the blocked poll.
    auto redirector = Start(echo_.Port(), 3600000);
    for (int i = 0; i < 129; ++i) ASSERT_TRUE(SendDatagram(clients[i].get(), std::to_string(i), port_));
    for (int i = 0; i < 129; ++i) ASSERT_EQ(RecvDatagram(clients[i].get()), std::to_string(i));
    EXPECT_EQ(redirector->SessionCount(), 129u);
    EXPECT_EQ(echo_.Sources().size(), 129u);
    // A port in use: the object exists without a socket and its thread ends at once.
    TUDPRedirector in_use("127.0.0.1", "127.0.0.1", "127.0.0.1", port_, echo_.Port(), 1000);
    EXPECT_EQ(in_use.Socket(), -1);
    ASSERT_TRUE(in_use.Resume());
    EXPECT_TRUE(WaitUntil([&] { return in_use.Finished(); }));
  }
  EXPECT_EQ(OpenFdCount(), baseline);
}

TEST_F(UDPRedirectorTest, SessionSilentExactlyTimeoutStaysAndOneMillisecondLaterGoesWhileOthersTalk) {
  constexpr std::int64_t kTimeout = 60000;
  auto now = std::make_shared<std::atomic<std::int64_t>>(1000);
  auto redirector = Start(echo_.Port(), kTimeout, kMaxUdpSessions, [now] { return now->load(); });
  UniqueFd silent = Client(), talker = Client();
  const int fds_before = OpenFdCount();

  ASSERT_EQ(RoundTrip(silent.get(), "1"), "1");
  // The echo coming back proves the pass that took the datagram has ended.
  now->store(1000 + kTimeout);
  ASSERT_EQ(RoundTrip(talker.get(), "2"), "2");
  EXPECT_EQ(redirector->SessionCount(), 2u);
  // Answers do not keep a session alive.
  ASSERT_TRUE(SendDatagram(talker.get(), "answer", echo_.Sources().at(0)));
  ASSERT_EQ(RecvDatagram(silent.get()), "answer");

  // Expiry in a pass busy with another client's traffic, not only when idle.
  now->store(1000 + kTimeout + 1);
  ASSERT_EQ(RoundTrip(talker.get(), "3"), "3");
  EXPECT_EQ(redirector->SessionCount(), 1u);
  EXPECT_EQ(OpenFdCount(), fds_before + 1);  // the expired session's socket is closed

  // Back after expiry: a new session, seen by the target on a new port.
  ASSERT_EQ(RoundTrip(silent.get(), "4"), "4");
  EXPECT_EQ(echo_.Sources().size(), 3u);
}

TEST_F(UDPRedirectorTest, IdleSessionExpiresWithoutAnyTraffic) {
  auto redirector = Start(echo_.Port(), 30);
  UniqueFd client = Client();
  const int fds_before = OpenFdCount();
  ASSERT_EQ(RoundTrip(client.get(), "x"), "x");
  EXPECT_TRUE(WaitUntil([&] { return redirector->SessionCount() == 0 && OpenFdCount() == fds_before; }));
}

TEST_F(UDPRedirectorTest, FullTableEvictsTheLongestSilentSession) {
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);
  auto redirector = Start(echo_.Port(), 60000, 2, [now] { return now->load(); });
  UniqueFd a = Client(), b = Client(), c = Client();
  const auto talk_at = [&](std::int64_t t, int client) {
    now->store(t);
    return RoundTrip(client, "t" + std::to_string(t)) == "t" + std::to_string(t);
  };
  ASSERT_TRUE(talk_at(1, a.get()));
  ASSERT_TRUE(talk_at(2, b.get()));
  ASSERT_TRUE(talk_at(3, a.get()));  // b is now the longest silent
  const int fds_full = OpenFdCount();
  ASSERT_TRUE(talk_at(4, c.get()));
  EXPECT_EQ(redirector->SessionCount(), 2u);
  EXPECT_EQ(OpenFdCount(), fds_full);  // b's socket closed for c's
  ASSERT_TRUE(talk_at(5, a.get()));    // a kept its session
  EXPECT_EQ(echo_.Sources().size(), 3u);
  ASSERT_TRUE(talk_at(6, b.get()));  // b needs a new one
  EXPECT_EQ(echo_.Sources().size(), 4u);
}

}  // namespace
}  // namespace quorvane
