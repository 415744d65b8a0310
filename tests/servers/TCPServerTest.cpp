#include "servers/TCPServer.h"

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

TEST(TCPServerTest, OnlyASetupFailureCountsAsAListenerFailure) {
  std::uint16_t taken = 0;
  const TUniqueFd holder = ListenLoopback(&taken);
  ASSERT_TRUE(holder);
  const std::set<int> baseline_fds = OpenFds();
  {
    TTCPServer in_use("127.0.0.1", taken);
    TTCPServer not_local("198.51.100.1", 0);  // documentation range, no local interface
    TTCPServer working("127.0.0.1", 0);
    for (TTCPServer* server : {&in_use, &not_local, &working}) {
      const bool broken = server != &working;
      EXPECT_EQ(server->Socket() == -1, broken);
      ASSERT_TRUE(server->Resume());
      server->Terminate();
      server->WaitFor();
      EXPECT_EQ(server->ListenerFailed(), broken);
    }
  }
  EXPECT_EQ(FdsOpenedSince(baseline_fds), "");
}

}  // namespace
}  // namespace quorvane
