#include "servers/TCPServer.h"

#include <gtest/gtest.h>

#include <atomic>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

// Counts the connections it is handed and closes them as the base does.
class TCountingServer final : public TTCPServer {
 public:
  using TTCPServer::TTCPServer;
  ~TCountingServer() override {
    Terminate();
    WaitFor();
  }
  int Handled() const { return handled_.load(); }

 protected:
  void ProcessConnection(UniqueFd accepted) override {
    ++handled_;
    TTCPServer::ProcessConnection(std::move(accepted));
  }

 private:
  std::atomic<int> handled_{0};
};

TEST(TCPServerTest, ConnectionsMadeBeforeResumeWaitInBacklog) {
  TCountingServer server("127.0.0.1", 0);
  ASSERT_NE(server.Socket(), -1);
  const std::uint16_t port = LocalPort(server.Socket());
  ASSERT_NE(port, 0);  // the chosen port is known before the thread runs
  UniqueFd early[2] = {ConnectLoopback(port), ConnectLoopback(port)};
  ASSERT_TRUE(early[0] && early[1]);
  EXPECT_EQ(server.Handled(), 0);

  ASSERT_TRUE(server.Resume());
  EXPECT_TRUE(WaitUntil([&] { return server.Handled() == 2; }));
  // The default handler closes each connection without sending anything.
  EXPECT_TRUE(ClosedWithoutData(early[0].get()));
  EXPECT_TRUE(ClosedWithoutData(early[1].get()));
}

TEST(TCPServerTest, UnusableAddressGivesNoSocketAndThreadEndsAtOnce) {
  std::uint16_t taken = 0;
  const UniqueFd holder = ListenLoopback(&taken);
  ASSERT_TRUE(holder);
  TCountingServer in_use("127.0.0.1", taken);
  TCountingServer not_local("198.51.100.1", 0);  // documentation range, no local interface
  for (TCountingServer* server : {&in_use, &not_local}) {
    EXPECT_EQ(server->Socket(), -1);
    ASSERT_TRUE(server->Resume());
    EXPECT_TRUE(WaitUntil([&] { return server->Finished(); }));
  }
}

TEST(TCPServerTest, TerminateWakesIdleAcceptLoopAndIsNoListenerFailure) {
  TCountingServer server("127.0.0.1", 0);
  const std::uint16_t port = LocalPort(server.Socket());
  ASSERT_TRUE(server.Resume());
  UniqueFd client = ConnectLoopback(port);
  // Once this connection is handled the loop is idle, blocked in its wait.
  ASSERT_TRUE(WaitUntil([&] { return server.Handled() == 1; }));

  server.Terminate();
  server.WaitFor();  // hangs (and the test times out) if the wait ignores Terminate
  EXPECT_FALSE(server.ListenerFailed());
  EXPECT_FALSE(ConnectLoopback(port));  // the listening socket is closed
}

}  // namespace
}  // namespace quorvane
