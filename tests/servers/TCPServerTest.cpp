#include "servers/TCPServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <tuple>
#include <vector>

#include "LoopFixture.h"
#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

// A server that notes the connections it is handed, and on which thread.
class TNotingServer final : public TTCPServer {
 public:
  using TTCPServer::TTCPServer;
  std::atomic<int> accepted{0};
  std::atomic<int> off_the_loop{0};
  std::atomic<std::uint16_t> last_peer_port{0};

 protected:
  void ProcessConnection(TUniqueFd connection) override {
    if (!ServingLoop()->InLoopThread()) ++off_the_loop;
    last_peer_port = ntohs(AcceptedPeer().sin_port);
    ++accepted;
    TTCPServer::ProcessConnection(std::move(connection));
  }
};

// Servers are started, read and destroyed on the loop's thread.
class TCPServerTest : public TLoopFixture {
 protected:
  TCPServerTest() : TLoopFixture(1'000'000) {}
};

TEST_F(TCPServerTest, SetupFailureRefusesToStartAndOnlyAFatalAcceptErrorFailsTheListener) {
  std::uint16_t taken = 0;
  const TUniqueFd holder = ListenLoopback(&taken);
  ASSERT_TRUE(holder);
  struct TCase {
    const char* name;
    const char* host;
    std::uint16_t port;
    int setup_error;
  };
  const TCase cases[] = {
      {"port in use", "127.0.0.1", taken, EADDRINUSE},
      {"address not local", "198.51.100.1", 0, EADDRNOTAVAIL},  // documentation range
      {"working until its socket is shut down", "127.0.0.1", 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto server = std::make_unique<TNotingServer>(c.host, c.port);
    const bool broken = c.setup_error != 0;
    EXPECT_EQ(server->SetupError(), c.setup_error);
    EXPECT_EQ(server->Socket() == -1, broken);
    EXPECT_EQ(OnLoop([&] { return server->Start(loop_.Loop()); }), !broken);
    EXPECT_FALSE(server->ListenerFailed());
    if (!broken) {
      // A connection is handed over on the loop thread, with its peer, and
      // fails nothing.
      const TUniqueFd client = ConnectLoopback(LocalPort(server->Socket()));
      ASSERT_TRUE(client);
      EXPECT_TRUE(ClosedWithoutData(client.Get()));
      EXPECT_EQ(
          std::tuple(server->accepted.load(), server->off_the_loop.load(), server->last_peer_port.load()),
          std::tuple(1, 0, LocalPort(client.Get())));
      Settle();
      EXPECT_FALSE(server->ListenerFailed());
      // A shut-down listening socket makes accept() fail for good.
      ::shutdown(OnLoop([&] { return server->Socket(); }), SHUT_RDWR);
      EXPECT_TRUE(WaitUntil([&] { return server->ListenerFailed(); }));
      EXPECT_EQ(OnLoop([&] { return server->Socket(); }), -1);
    }
    loop_.RunSync([&] { server.reset(); });
  }
}

TEST_F(TCPServerTest, AcceptingPausesWhileDescriptorsRunOutAndResumesAfterThePause) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP()
      << "AddressSanitizer's runtime opens and closes descriptors of its own, so no limit stays full";
#endif
  auto server = std::make_unique<TNotingServer>("127.0.0.1", 0);
  ASSERT_TRUE(OnLoop([&] { return server->Start(loop_.Loop()); }));
  TUniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(client);
  const sockaddr_in to = MakeSockAddr(Loopback(), LocalPort(server->Socket()));
  {
    // A low limit, and every number left below it taken.
    const TDescriptorHeadroom headroom(0);
    ASSERT_TRUE(headroom.Applied());
    std::vector<TUniqueFd> fillers;
    for (int fd; (fd = ::dup(0)) >= 0;) fillers.emplace_back(fd);
    ASSERT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    Settle();
    EXPECT_EQ(server->accepted.load(), 0);
  }
  // Descriptors are back, but the listener waits out its pause rather than
  // spinning on the connection still waiting.
  Settle();
  EXPECT_EQ(server->accepted.load(), 0);
  Advance(kAcceptRetryPauseMs - 1);
  EXPECT_EQ(server->accepted.load(), 0);
  Advance(1);
  EXPECT_EQ(server->accepted.load(), 1);
  EXPECT_TRUE(ClosedWithoutData(client.Get()));
  EXPECT_FALSE(server->ListenerFailed());
  loop_.RunSync([&] { server.reset(); });
}

}  // namespace
}  // namespace quorvane
