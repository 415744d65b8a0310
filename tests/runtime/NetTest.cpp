#include <gtest/gtest.h>
#include <sys/socket.h>

#include "TestSupport.h"
#include "runtime/Net.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

TEST(NetTest, WaitFdReportsReadinessWakeAndTimeout) {
  std::uint16_t port = 0;
  UniqueFd listener = test::ListenLoopback(&port);
  TEvent wake;
  EXPECT_EQ(WaitFd(listener.get(), POLLIN, wake.Fd(), 10), TWaitResult::TimedOut);
  UniqueFd client = test::ConnectLoopback(port);
  EXPECT_EQ(WaitFd(listener.get(), POLLIN, wake.Fd(), 5000), TWaitResult::Ready);
  wake.Set();
  EXPECT_EQ(WaitFd(listener.get(), POLLIN, wake.Fd(), -1), TWaitResult::Woken);
  wake.Reset();
  EXPECT_FALSE(wake.IsSet());
}

TEST(NetTest, SendingToAVanishedPeerFailsWithoutKillingTheProcess) {
  std::uint16_t port = 0;
  UniqueFd listener = test::ListenLoopback(&port);
  UniqueFd client = test::ConnectLoopback(port);
  UniqueFd server = test::AcceptWithin(listener.get());
  ASSERT_TRUE(server.valid());
  client.reset();
  // The first send may still be accepted; later ones fail with EPIPE or
  // ECONNRESET instead of raising SIGPIPE.
  ssize_t n = 0;
  for (int i = 0; i < 100 && n >= 0; ++i) n = SendSome(server.get(), "x", 1);
  EXPECT_LT(n, 0);
}

}  // namespace
}  // namespace quorvane
