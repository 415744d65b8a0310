#include <gtest/gtest.h>
#include <sys/socket.h>

#include "TestSupport.h"
#include "runtime/Net.h"

namespace quorvane {
namespace {

using namespace std::chrono_literals;

TEST(NetTest, WaitFdTimesOutReportsReadinessEndsOnTheWakeAndSendingToAVanishedPeerOnlyFails) {
  std::uint16_t port = 0;
  TUniqueFd listener = test::ListenLoopback(&port);
  TEvent wake;
  EXPECT_EQ(WaitFd(listener.Get(), POLLIN, wake.Fd(), 10), TWaitResult::kTimedOut);
  TUniqueFd client = test::ConnectLoopback(port);
  EXPECT_EQ(WaitFd(listener.Get(), POLLIN, wake.Fd(), 5000), TWaitResult::kReady);
  TUniqueFd server = test::AcceptWithin(listener.Get());
  ASSERT_TRUE(server.Valid());
  // Without a time limit it ends on the wake (nothing is pending now).
  wake.Set();
  EXPECT_EQ(WaitFd(listener.Get(), POLLIN, wake.Fd(), -1), TWaitResult::kWoken);
  wake.Reset();
  EXPECT_FALSE(wake.IsSet());

  client.Reset();
  // The first send may still be accepted; later ones fail with EPIPE or
  // ECONNRESET instead of raising SIGPIPE.
  ssize_t n = 0;
  for (int i = 0; i < 100 && n >= 0; ++i) n = SendSome(server.Get(), "x", 1);
  EXPECT_LT(n, 0);
}

}  // namespace
}  // namespace quorvane
