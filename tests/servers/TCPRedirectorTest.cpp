#include "servers/TCPRedirector.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

constexpr std::size_t kMiB = 1024 * 1024;

// Bytes that differ from position to position, so that loss or reordering
// shows; |offset| continues an earlier pattern.
std::string Pattern(std::size_t offset, std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    out[i] = static_cast<char>((static_cast<std::uint32_t>(offset + i) * 2654435761u) >> 24);
  }
  return out;
}

constexpr unsigned kSynSent = 2;    // waiting for the SYN-ACK
constexpr unsigned kCloseWait = 8;  // the peer has sent its FIN

// Connections from this host to |port| in TCP state |wanted|, only those
// with nothing left unread when |drained|.
int ConnectionsTo(std::uint16_t port, unsigned wanted, bool drained = false) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  int count = 0;
  while (std::getline(table, line)) {  // the header line does not scan
    unsigned remote_port = 0;
    unsigned state = 0;
    unsigned unread = 0;
    if (std::sscanf(line.c_str(), " %*d: %*x:%*x %*x:%x %x %*x:%x", &remote_port, &state, &unread) == 3 &&
        remote_port == port && state == wanted && (!drained || unread == 0)) {
      ++count;
    }
  }
  return count;
}

class TCPRedirectorTest : public ::testing::Test {
 protected:
  // The process-wide group of orphaned relays keeps a descriptor from its
  // first use on: create it before the baseline.
  void SetUp() override {
    StopOrphanRelays();
    baseline_fds_ = OpenFdCount();
  }
  // Every test leaves no descriptor behind once redirectors and relays are gone.
  void TearDown() override {
    StopOrphanRelays();
    EXPECT_EQ(OpenFdCount(), baseline_fds_);
  }

  std::unique_ptr<TTCPRedirector> Redirect(std::uint16_t target_port, bool resume = true) {
    auto redirector = std::make_unique<TTCPRedirector>("127.0.0.1", "127.0.0.1", 0, target_port);
    port_ = LocalPort(redirector->Socket());
    if (resume) {
      EXPECT_TRUE(redirector->Resume());
    }
    return redirector;
  }

  // Resumes |redirector| and connects a client through it to the target
  // accepted on |listener|. The relay's sockets towards the client (which
  // inherit the listener's send buffer) and the client's receive buffer are
  // tiny, so the relay still holds bytes when the target closes.
  void ConnectWithLittleRoomTowardsTheClient(TTCPRedirector& redirector, int listener, UniqueFd& client,
                                             UniqueFd& target) {
    const int small = 4096;
    ::setsockopt(redirector.Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(redirector.Resume());
    client.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in sa = MakeSockAddr(Loopback(), port_);
    ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    target = AcceptWithin(listener);
    ASSERT_TRUE(target);
  }

  std::uint16_t port_ = 0;  // the last redirector's listening port
  int baseline_fds_ = 0;
};

TEST_F(TCPRedirectorTest, RelaysMegabyteEachWayFromConnectBeforeResumeAndOutlivesRedirector) {
  std::uint16_t target_port = 0;
  const UniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/false);
  UniqueFd client = ConnectLoopback(port_);
  ASSERT_TRUE(client);
  ASSERT_TRUE(redirector->Resume());
  UniqueFd target = AcceptWithin(listener.get());
  ASSERT_TRUE(target);

  const std::string up = Pattern(0, kMiB);
  const std::string down = Pattern(12345, kMiB);
  std::atomic<bool> up_sent{false};
  std::atomic<bool> down_sent{false};
  std::thread up_sender([&] { up_sent = SendAll(client.get(), up); });
  std::thread down_sender([&] { down_sent = SendAll(target.get(), down); });
  const auto got_up = RecvExact(target.get(), up.size(), 30s);
  const auto got_down = RecvExact(client.get(), down.size(), 30s);
  up_sender.join();
  down_sender.join();
  EXPECT_TRUE(up_sent && down_sent);
  EXPECT_TRUE(got_up && *got_up == up);
  EXPECT_TRUE(got_down && *got_down == down);

  // The relay keeps going without its redirector until orphans are stopped.
  redirector.reset();
  ASSERT_TRUE(SendAll(client.get(), "after"));
  EXPECT_EQ(RecvExact(target.get(), 5), "after");
  StopOrphanRelays();
  EXPECT_TRUE(ClosedWithoutData(client.get()));
  EXPECT_TRUE(ClosedWithoutData(target.get()));
}

TEST_F(TCPRedirectorTest, RefusedTargetClosesConnectionWithoutDataAndStartsNoRelay) {
  // Bound but not listening: connects to it are refused.
  UniqueFd closed_port = OpenTcpSocket();
  ASSERT_TRUE(BindTo(closed_port.get(), Loopback(), 0));
  auto redirector = Redirect(LocalPort(closed_port.get()));
  for (int i = 0; i < 2; ++i) {  // the accept loop goes on after a failure
    UniqueFd client = ConnectLoopback(port_);
    ASSERT_TRUE(client);
    EXPECT_TRUE(ClosedWithoutData(client.get()));
  }
  EXPECT_EQ(redirector->RelayCount(), 0u);
}

TEST_F(TCPRedirectorTest, DestroyingRedirectorDuringPendingConnectReturnsPromptly) {
  // With backlog 0 and one connection queued, the listener drops every
  // further SYN: the redirector's connect to it stays pending.
  std::uint16_t target_port = 0;
  const UniqueFd full = ListenLoopback(&target_port);
  ASSERT_EQ(::listen(full.get(), 0), 0);
  const UniqueFd filler = ConnectLoopback(target_port);
  auto redirector = Redirect(target_port);
  const UniqueFd client = ConnectLoopback(port_);
  ASSERT_TRUE(filler && client);
  ASSERT_TRUE(WaitUntil([&] { return ConnectionsTo(target_port, kSynSent) == 1; }));

  const auto start = std::chrono::steady_clock::now();
  redirector.reset();
  // Far below the connect time-out the destructor would otherwise sit out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kConnectTimeoutMs / 2));
  EXPECT_TRUE(ClosedWithoutData(client.get()));
}

TEST_F(TCPRedirectorTest, SlowReaderGetsAllUpToFinalBytesOfTargetThatClosesAtOnce) {
  std::uint16_t target_port = 0;
  const UniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/false);
  UniqueFd client, target;
  ASSERT_NO_FATAL_FAILURE(ConnectWithLittleRoomTowardsTheClient(*redirector, listener.get(), client, target));

  // The reader reads nothing yet. A relay that kept reading would take all
  // of this; a bounded one fills the buffers on the way and the target
  // stays unwritable.
  constexpr std::size_t kLimit = 64 * kMiB;
  std::size_t sent = 0;
  for (pollfd writable{target.get(), POLLOUT, 0}; sent < kLimit && PollRetry(&writable, 1, 500) > 0;) {
    const std::string chunk = Pattern(sent, 64 * 1024);
    const ssize_t n = SendSome(target.get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  EXPECT_LT(sent, kLimit);
  target.reset();
  const auto got = RecvExact(client.get(), sent, 60s);
  EXPECT_TRUE(got && *got == Pattern(0, sent));
  EXPECT_TRUE(ClosedWithoutData(client.get()));
}

TEST_F(TCPRedirectorTest, UrgentByteNeitherStallsTheRelayNorLosesTheBytesBehindIt) {
  TcpEchoServer echo;
  auto redirector = Redirect(echo.Port());
  UniqueFd client = ConnectLoopback(port_);
  ASSERT_TRUE(SendAll(client.get(), "ab"));
  ASSERT_EQ(RecvExact(client.get(), 2), "ab");
  ASSERT_EQ(SendSome(client.get(), "X", 1, MSG_OOB), 1);
  ASSERT_TRUE(SendAll(client.get(), "cdef"));
  // The urgent byte leaves the stream, as for any plain reader.
  EXPECT_EQ(RecvExact(client.get(), 4), "cdef");
}

TEST_F(TCPRedirectorTest, InputArrivingAfterTheTargetClosedDoesNotResetTheFinalMessage) {
  std::uint16_t target_port = 0;
  const UniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/false);
  UniqueFd client, target;
  ASSERT_NO_FATAL_FAILURE(ConnectWithLittleRoomTowardsTheClient(*redirector, listener.get(), client, target));

  // The target's final message fits the relay's buffer but not the way to
  // the unread client; then the target says it is done.
  const std::string final_message = Pattern(7, 48 * 1024);
  ASSERT_TRUE(SendAll(target.get(), final_message));
  ::shutdown(target.get(), SHUT_WR);
  // Once the relay has read everything up to the target's FIN, it reads
  // the client no more: closing over the client's next bytes would reset
  // the connection and destroy the tail still on its way.
  ASSERT_TRUE(WaitUntil([&] { return ConnectionsTo(target_port, kCloseWait, /*drained=*/true) == 1; }));
  ASSERT_TRUE(SendAll(client.get(), "still here"));
  // A slow reader, so that the relay's last bytes are still in flight when
  // it closes.
  std::string got;
  while (got.size() < final_message.size()) {
    const auto piece = RecvExact(client.get(), std::min<std::size_t>(512, final_message.size() - got.size()));
    if (!piece) break;
    got += *piece;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(got == final_message) << "received " << got.size() << " of " << final_message.size();
  EXPECT_TRUE(ClosedWithoutData(client.get()));
}

}  // namespace
}  // namespace quorvane
