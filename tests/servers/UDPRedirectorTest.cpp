#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>

#include "TestSupport.h"
#include "servers/UDPRedirector.h"
#include "servers/UDPServer.h"

namespace quorvane {
namespace {

using namespace test;

// Records what the server thread hands to its extension points.
class TRecordingServer final : public TUDPServer {
 public:
  using TUDPServer::TUDPServer;
  ~TRecordingServer() override {
    Terminate();
    WaitFor();
  }
  std::vector<std::string> Datagrams() {
    std::lock_guard lock(mu_);
    return datagrams_;
  }
  int Idles() const { return idles_.load(); }

 protected:
  void ProcessDatagram(const sockaddr_in&, std::span<const std::uint8_t> data) override {
    std::lock_guard lock(mu_);
    datagrams_.emplace_back(data.begin(), data.end());
  }
  void Idle() override { ++idles_; }

 private:
  std::mutex mu_;
  std::vector<std::string> datagrams_;  // guarded by mu_
  std::atomic<int> idles_{0};
};

TEST(UDPServerTest, EveryQueuedDatagramReachesProcessDatagramWholeAndInOrder) {
  // Empty host: bound on every address, reached through 127.0.0.1.
  TRecordingServer server("", 0);
  ASSERT_GE(server.Socket(), 0);
  const std::uint16_t port = LocalPort(server.Socket());
  ASSERT_NE(port, 0);
  ASSERT_TRUE(server.Resume());
  ASSERT_TRUE(WaitUntil([&] { return server.Idles() == 1; }));

  std::uint16_t client_port = 0;
  UniqueFd client = BindUdpLoopback(&client_port);
  // An empty datagram queued first must not hide the ones behind it.
  const std::vector<std::string> sent = {"", std::string(10, 'a'), std::string(20, 'b'), "",
                                         std::string(kMaxDatagramSize - 28, 'c')};
  for (const auto& d : sent) ASSERT_TRUE(SendDatagram(client.get(), d, port));
  ASSERT_TRUE(WaitUntil([&] { return server.Datagrams().size() == sent.size(); }));
  EXPECT_EQ(server.Datagrams(), sent);
  EXPECT_EQ(server.Idles(), 1);  // passes that received something are not idle
}

TEST(UDPServerTest, SetupFailureLeavesNoSocketAndTheResumedThreadEndsAtOnce) {
  std::uint16_t taken = 0;
  UniqueFd holder = BindUdpLoopback(&taken);
  const int baseline = OpenFdCount();
  {
    TRecordingServer in_use("127.0.0.1", taken);
    // Not an address of this host: the bind fails locally, nothing is sent.
    TUDPRedirector foreign("192.0.2.1", "192.0.2.1", "127.0.0.1", 0, 9, 1000);
    EXPECT_EQ(in_use.Socket(), -1);
    EXPECT_EQ(foreign.Socket(), -1);
    ASSERT_TRUE(in_use.Resume());
    ASSERT_TRUE(foreign.Resume());
    EXPECT_TRUE(WaitUntil([&] { return in_use.Finished() && foreign.Finished(); }));
    EXPECT_EQ(in_use.Idles(), 0);
  }
  EXPECT_EQ(OpenFdCount(), baseline);
}

class UDPRedirectorTest : public ::testing::Test {
 protected:
  std::unique_ptr<TUDPRedirector> Start(std::uint16_t target_port, std::int64_t timeout_ms = 60000,
                                        std::size_t max_sessions = kMaxUdpSessions,
                                        TMillisClock clock = nullptr) {
    auto redirector = std::make_unique<TUDPRedirector>("127.0.0.1", "127.0.0.1", "127.0.0.1", 0, target_port,
                                                       timeout_ms, max_sessions);
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
  // Sends |data| through the redirector and returns the echo.
  std::optional<std::string> RoundTrip(int client, const std::string& data) {
    if (!SendDatagram(client, data, port_)) return std::nullopt;
    return RecvDatagram(client);
  }

  UdpEchoServer echo_;
  // A target that does not answer by itself, for tests that speak for it.
  std::uint16_t target_port_ = 0;
  UniqueFd target_ = BindUdpLoopback(&target_port_);
  std::uint16_t port_ = 0;  // the redirector's
};

TEST_F(UDPRedirectorTest, EachClientAddressAndPortGetsItsOwnSessionSocket) {
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
    ASSERT_TRUE(SendDatagram(client, text, port_));
    sockaddr_in from{};
    ASSERT_EQ(RecvDatagram(target_.get(), 5000ms, &from), text);  // forwarded on the first datagram
    sources.push_back(ntohs(from.sin_port));
    // The target answers the session socket; the answer reaches that client only.
    ASSERT_EQ(SendTo(target_.get(), "re", 2, from), 2);
    ASSERT_EQ(RecvDatagram(client), "re");
  }
  EXPECT_EQ(redirector->SessionCount(), 3u);
  EXPECT_NE(sources[0], sources[1]);
  EXPECT_NE(sources[0], sources[2]);
  EXPECT_NE(sources[1], sources[2]);
  EXPECT_EQ(sources[3], sources[0]);  // a known client keeps its session
  EXPECT_TRUE(NothingArrives(b.get(), 50ms));
}

TEST_F(UDPRedirectorTest, AnswersReachEveryPeerBeyondSixtyFourSessions) {
  auto redirector = Start(echo_.Port());
  std::vector<UniqueFd> clients;
  for (const std::size_t count : {65u, 129u}) {
    while (clients.size() < count) clients.push_back(Client());
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_TRUE(SendDatagram(clients[i].get(), std::to_string(i), port_));
    }
    for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(RecvDatagram(clients[i].get()), std::to_string(i));
    EXPECT_EQ(redirector->SessionCount(), count);
  }
  EXPECT_EQ(echo_.Sources().size(), 129u);
}

TEST_F(UDPRedirectorTest, SessionSilentExactlyTimeoutStaysAndOneMillisecondLaterGoesWhileOthersTalk) {
  constexpr std::int64_t kTimeout = 60000;
  auto now = std::make_shared<std::atomic<std::int64_t>>(1000);
  auto redirector = Start(echo_.Port(), kTimeout, kMaxUdpSessions, [now] { return now->load(); });
  UniqueFd silent = Client();
  UniqueFd talker = Client();
  const int fds_before = OpenFdCount();

  ASSERT_EQ(RoundTrip(silent.get(), "1"), "1");
  ASSERT_EQ(redirector->SessionCount(), 1u);
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
  EXPECT_TRUE(WaitUntil([&] { return redirector->SessionCount() == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return OpenFdCount() == fds_before; }));
}

TEST_F(UDPRedirectorTest, DatagramFromAnotherHostOnSessionSocketReachesTheClient) {
  auto redirector = Start(target_port_);
  UniqueFd client = Client();
  ASSERT_TRUE(SendDatagram(client.get(), "hello", port_));
  sockaddr_in session{};
  ASSERT_EQ(RecvDatagram(target_.get(), 5000ms, &session), "hello");

  UniqueFd stranger = Client();
  ASSERT_TRUE(SendDatagram(stranger.get(), "unsolicited", ntohs(session.sin_port)));
  sockaddr_in from{};
  EXPECT_EQ(RecvDatagram(client.get(), 5000ms, &from), "unsolicited");
  EXPECT_EQ(ntohs(from.sin_port), port_);  // relayed from the listening socket
}

TEST_F(UDPRedirectorTest, EmptyDatagramIsRelayedBothWaysAndDoesNotBlockTheNext) {
  auto redirector = Start(target_port_);
  UniqueFd client = Client();

  ASSERT_TRUE(SendDatagram(client.get(), "", port_));
  ASSERT_TRUE(SendDatagram(client.get(), "next", port_));
  sockaddr_in session{};
  EXPECT_EQ(RecvDatagram(target_.get(), 5000ms, &session), "");
  EXPECT_EQ(RecvDatagram(target_.get()), "next");

  ASSERT_EQ(SendTo(target_.get(), "", 0, session), 0);
  ASSERT_EQ(SendTo(target_.get(), "after", 5, session), 5);
  EXPECT_EQ(RecvDatagram(client.get()), "");
  EXPECT_EQ(RecvDatagram(client.get()), "after");
}

TEST_F(UDPRedirectorTest, FullTableEvictsTheLongestSilentSession) {
  auto now = std::make_shared<std::atomic<std::int64_t>>(0);
  auto redirector = Start(echo_.Port(), 60000, 2, [now] { return now->load(); });
  UniqueFd a = Client();
  UniqueFd b = Client();
  UniqueFd c = Client();
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
  EXPECT_EQ(echo_.Sources().size(), 3u);

  ASSERT_TRUE(talk_at(5, a.get()));  // a kept its session
  EXPECT_EQ(echo_.Sources().size(), 3u);
  ASSERT_TRUE(talk_at(6, b.get()));  // b needs a new one
  EXPECT_EQ(echo_.Sources().size(), 4u);
}

TEST_F(UDPRedirectorTest, TerminateWakesTheBlockedLoopAndEverySocketIsClosed) {
  const int baseline = OpenFdCount();
  {
    UniqueFd a = Client();
    UniqueFd b = Client();
    auto redirector = Start(echo_.Port(), 300000);
    const int without_sessions = OpenFdCount();
    ASSERT_EQ(RoundTrip(a.get(), "a"), "a");
    ASSERT_EQ(RoundTrip(b.get(), "b"), "b");
    EXPECT_EQ(OpenFdCount(), without_sessions + 2);

    // Blocked with the earliest expiry minutes away.
    const auto started = std::chrono::steady_clock::now();
    redirector.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  }
  EXPECT_EQ(OpenFdCount(), baseline);
}

}  // namespace
}  // namespace quorvane
