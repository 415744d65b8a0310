#include "servers/TCPRedirector.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

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
    const auto k = static_cast<std::uint32_t>(offset + i);
    out[i] = static_cast<char>((k * 2654435761u) >> 24);
  }
  return out;
}

void SetBufferSize(int fd, int option, int bytes) {
  ::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

// Sends a pattern on |fd| without blocking until |fd| stays unwritable for
// half a second (everything on the way is full) or |limit| bytes went out.
// Returns the bytes sent.
std::size_t SendUntilBlocked(int fd, std::size_t limit) {
  std::size_t sent = 0;
  while (sent < limit) {
    pollfd writable{fd, POLLOUT, 0};
    if (PollRetry(&writable, 1, 500) == 0) break;
    const std::string chunk = Pattern(sent, 64 * 1024);
    const ssize_t n = SendSome(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  return sent;
}

// Connections from this host to |port| still waiting for the SYN-ACK.
int SynSentTo(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // header
  int count = 0;
  while (std::getline(table, line)) {
    unsigned remote_port = 0;
    unsigned state = 0;
    if (std::sscanf(line.c_str(), " %*d: %*x:%*x %*x:%x %x", &remote_port, &state) == 2 &&
        remote_port == port && state == 2) {
      ++count;
    }
  }
  return count;
}

// A loopback listener whose accept queue is full, so that every further
// connect to it stays pending (the kernel drops its SYNs). Release() frees
// the queue; a pending connect then completes at its next SYN retry.
class TFullTarget {
 public:
  bool Fill() {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_ || !BindTo(listener_.get(), Loopback(), 0) || ::listen(listener_.get(), 0) != 0) {
      return false;
    }
    port_ = LocalPort(listener_.get());
    const sockaddr_in sa = MakeSockAddr(Loopback(), port_);
    for (int i = 0; i < 8; ++i) {
      UniqueFd fd = OpenTcpSocket();
      const int rc = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
      const bool pending =
          rc != 0 && errno == EINPROGRESS && WaitFd(fd.get(), POLLOUT, -1, 300) == TWaitResult::TimedOut;
      fillers_.push_back(std::move(fd));
      if (pending) return true;
    }
    return false;
  }
  // Closes the fillers and accepts the queued one; returns the next
  // connection that arrives.
  UniqueFd Release() {
    fillers_.clear();
    AcceptWithin(listener_.get());
    return AcceptWithin(listener_.get(), std::chrono::milliseconds(kConnectTimeoutMs));
  }
  std::uint16_t Port() const { return port_; }

 private:
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  std::vector<UniqueFd> fillers_;
};

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

  // A redirector to |full| and a client of it whose target connect is
  // pending; nullptr when that state cannot be reached.
  std::unique_ptr<TTCPRedirector> RedirectIntoPendingConnect(TFullTarget& full, UniqueFd* client) {
    if (!full.Fill()) return nullptr;
    auto redirector = Redirect(full.Port());
    const int pending_before = SynSentTo(full.Port());
    *client = ConnectLoopback(port_);
    if (!WaitUntil([&] { return SynSentTo(full.Port()) == pending_before + 1; })) return nullptr;
    return redirector;
  }

  std::uint16_t port_ = 0;  // the last redirector's listening port
  int baseline_fds_ = 0;
};

TEST_F(TCPRedirectorTest, RelaysMegabyteEachWayIntactFromConnectMadeBeforeResume) {
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

  // One side closing ends the relay, and the accept loop frees it.
  client.reset();
  EXPECT_TRUE(ClosedWithoutData(target.get()));
  EXPECT_TRUE(WaitUntil([&] { return redirector->RelayCount() == 0; }));
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

TEST_F(TCPRedirectorTest, BytesSentWhileTargetConnectPendsArriveInOrder) {
  TFullTarget full;
  UniqueFd client;
  auto redirector = RedirectIntoPendingConnect(full, &client);
  ASSERT_TRUE(redirector);
  ASSERT_TRUE(SendAll(client.get(), "sent early, "));
  ASSERT_TRUE(SendAll(client.get(), "in order"));

  UniqueFd target = full.Release();
  ASSERT_TRUE(target);
  EXPECT_EQ(RecvExact(target.get(), 20), "sent early, in order");
  ASSERT_TRUE(SendAll(target.get(), "answer"));
  EXPECT_EQ(RecvExact(client.get(), 6), "answer");
}

TEST_F(TCPRedirectorTest, DestroyingRedirectorDuringPendingConnectReturnsPromptly) {
  TFullTarget full;
  UniqueFd client;
  auto redirector = RedirectIntoPendingConnect(full, &client);
  ASSERT_TRUE(redirector);

  const auto start = std::chrono::steady_clock::now();
  redirector.reset();
  // Far below the connect time-out the destructor would otherwise sit out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kConnectTimeoutMs / 2));
  EXPECT_TRUE(ClosedWithoutData(client.get()));
}

TEST_F(TCPRedirectorTest, RelayOutlivesItsRedirectorUntilOrphansAreStopped) {
  TcpEchoServer echo;
  UniqueFd client;
  {
    auto redirector = Redirect(echo.Port());
    client = ConnectLoopback(port_);
    ASSERT_TRUE(SendAll(client.get(), "before"));
    ASSERT_EQ(RecvExact(client.get(), 6), "before");
  }
  ASSERT_TRUE(SendAll(client.get(), "after"));
  EXPECT_EQ(RecvExact(client.get(), 5), "after");
  StopOrphanRelays();
  EXPECT_TRUE(ClosedWithoutData(client.get()));
}

TEST_F(TCPRedirectorTest, SlowReceiverBlocksSenderWithoutLossOrReordering) {
  std::uint16_t target_port = 0;
  const UniqueFd listener = ListenLoopback(&target_port);
  SetBufferSize(listener.get(), SO_RCVBUF, 64 * 1024);
  auto redirector = Redirect(target_port);
  UniqueFd client = ConnectLoopback(port_);
  SetBufferSize(client.get(), SO_SNDBUF, 64 * 1024);
  UniqueFd target = AcceptWithin(listener.get());
  ASSERT_TRUE(target);

  // The target reads nothing. A relay that kept reading would take all of
  // this; a bounded one fills the buffers on the way and the sender blocks.
  constexpr std::size_t kLimit = 64 * kMiB;
  const std::size_t sent = SendUntilBlocked(client.get(), kLimit);
  EXPECT_LT(sent, kLimit);
  const auto got = RecvExact(target.get(), sent, 60s);
  EXPECT_TRUE(got && *got == Pattern(0, sent));
}

TEST_F(TCPRedirectorTest, FinalMessageOfClosingTargetReachesSlowReader) {
  std::uint16_t target_port = 0;
  const UniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/false);
  // Accepted sockets inherit this: with little room towards the reader, the
  // relay still holds bytes when it sees the target's close.
  SetBufferSize(redirector->Socket(), SO_SNDBUF, 4096);
  ASSERT_TRUE(redirector->Resume());
  UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  SetBufferSize(client.get(), SO_RCVBUF, 4096);
  const sockaddr_in sa = MakeSockAddr(Loopback(), port_);
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
  UniqueFd target = AcceptWithin(listener.get());
  ASSERT_TRUE(target);
  SetBufferSize(target.get(), SO_SNDBUF, 1024 * 1024);

  const std::string last = Pattern(0, 384 * 1024);
  std::atomic<bool> closed{false};
  std::thread sender([&] {
    SendAll(target.get(), last);
    target.reset();
    closed = true;
  });
  // The reader holds back while the target sends and closes, as far as the
  // buffers on the way let the target finish.
  WaitUntil([&] { return closed.load(); }, 3000ms);
  const auto got = RecvExact(client.get(), last.size(), 30s);
  EXPECT_TRUE(got && *got == last);
  EXPECT_TRUE(ClosedWithoutData(client.get()));
  sender.join();
}

TEST_F(TCPRedirectorTest, PeerResetWhileBytesWaitForItEndsOnlyThatRelay) {
  std::uint16_t target_port = 0;
  const UniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port);
  UniqueFd client = ConnectLoopback(port_);
  UniqueFd target = AcceptWithin(listener.get());
  ASSERT_TRUE(target);
  // The client reads nothing, so the relay ends up holding bytes for it.
  SendUntilBlocked(target.get(), 64 * kMiB);
  // Its reset makes the relay's receive fail first; the delivery that
  // follows then fails too, and must end the relay without a SIGPIPE.
  const linger reset_on_close{1, 0};
  ::setsockopt(client.get(), SOL_SOCKET, SO_LINGER, &reset_on_close, sizeof reset_on_close);
  client.reset();
  EXPECT_TRUE(WaitUntil([&] { return redirector->RelayCount() == 0; }));

  UniqueFd next = ConnectLoopback(port_);
  UniqueFd next_target = AcceptWithin(listener.get());
  ASSERT_TRUE(SendAll(next.get(), "still relaying"));
  EXPECT_EQ(RecvExact(next_target.get(), 14), "still relaying");
}

}  // namespace
}  // namespace quorvane
