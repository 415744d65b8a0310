#include "servers/TCPRedirector.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "runtime/FdBudget.h"
#include "runtime/Refusals.h"

namespace quorvane {
namespace {

using namespace test;

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * kKiB;

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

int ThreadCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

// A blocking connection to 127.0.0.1:|port| leaving from |source|.
TUniqueFd ConnectFrom(const char* source, std::uint16_t port) {
  TUniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_in sa = MakeSockAddr(Loopback(), port);
  if (!fd || !BindTo(fd.Get(), ::inet_addr(source), 0) ||
      ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    return {};
  }
  return fd;
}

// True when the peer's FIN arrives within the default limit: a clean end
// of file, not a reset.
bool ReadsEndOfFile(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return PollRetry(&p, 1, 5000) > 0 && RecvSome(fd, &c, 1, MSG_DONTWAIT) == 0;
}

int IntOption(int fd, int level, int name) {
  int value = -1;
  socklen_t length = sizeof value;
  ::getsockopt(fd, level, name, &value, &length);
  return value;
}

class TCPRedirectorTest : public ::testing::Test {
 protected:
  // Two loops, so that relays of one redirector land on different threads.
  // The engine's descriptors and threads exist from here on: the baselines
  // include them.
  void SetUp() override {
    ASSERT_TRUE(engine_.Start());
    baseline_fds_ = OpenFds();
  }
  // No descriptor is left behind once redirectors and relays are gone.
  void TearDown() override {
    redirector_.reset();
    engine_.Stop();
    for (TUniqueFd* fd : {&filler_, &full_target_, &target_listener_, &client_, &target_}) fd->Reset();
    waiting_players_.clear();
    EXPECT_EQ(FdsOpenedSince(baseline_fds_), "");
  }

  std::unique_ptr<TTCPRedirector> Redirect(std::uint16_t target_port, bool resume = true,
                                           std::uint32_t connections_per_address = 0) {
    TRedirectorOptions options;
    options.Engine = &engine_;
    options.ConnectionsPerAddress = connections_per_address;
    auto redirector = std::make_unique<TTCPRedirector>("127.0.0.1", "127.0.0.1", 0, target_port, options);
    port_ = LocalPort(redirector->Socket());
    if (resume) {
      EXPECT_TRUE(redirector->Resume());
    }
    return redirector;
  }

  // Connects client_ to a suspended redirector_, then resumes it; the
  // queued connection reaches the target as target_.
  void RelayQueuedBeforeResume() {
    std::uint16_t target_port = 0;
    target_listener_ = ListenLoopback(&target_port);
    redirector_ = Redirect(target_port, /*resume=*/false);
    client_ = ConnectLoopback(port_);
    ASSERT_TRUE(client_);
    ASSERT_TRUE(redirector_->Resume());
    target_ = AcceptWithin(target_listener_.Get());
    ASSERT_TRUE(target_);
  }

  // Redirects to a target whose listener drops every SYN (backlog 0, one
  // connection queued), and connects |players| clients through it: their
  // connects to the target stay pending, one after the other.
  void ConnectToATargetThatDoesNotAnswer(std::size_t players) {
    full_target_ = ListenLoopback(&full_target_port_);
    ASSERT_EQ(::listen(full_target_.Get(), 0), 0);
    filler_ = ConnectLoopback(full_target_port_);
    ASSERT_TRUE(filler_);
    redirector_ = Redirect(full_target_port_);
    for (std::size_t i = 1; i <= players; ++i) {
      // Each player's connect starts while the ones before still wait.
      waiting_players_.push_back(ConnectLoopback(port_));
      ASSERT_TRUE(waiting_players_.back());
      ASSERT_TRUE(
          WaitUntil([&] { return ConnectionsTo(full_target_port_, kSynSent) == static_cast<int>(i); }));
    }
  }

  // Resumes |redirector| and connects a client through it to the target
  // accepted on |listener|. The relay's sockets towards the client (which
  // inherit the listener's send buffer) and the client's receive buffer are
  // tiny, so the relay still holds bytes when the target closes.
  void ConnectWithLittleRoomTowardsTheClient(TTCPRedirector& redirector, int listener, TUniqueFd& client,
                                             TUniqueFd& target) {
    const int small = 4096;
    ::setsockopt(redirector.Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ASSERT_TRUE(redirector.Resume());
    client.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::setsockopt(client.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    const sockaddr_in sa = MakeSockAddr(Loopback(), port_);
    ASSERT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa), 0);
    target = AcceptWithin(listener);
    ASSERT_TRUE(target);
  }

  // Connects |count| clients through |redirector_| to |listener| and sends
  // each enough bytes to open its relay's pipes one way.
  void OpenBulkRelays(int listener, int count, std::vector<TUniqueFd>& clients,
                      std::vector<TUniqueFd>& targets) {
    for (int i = 0; i < count; ++i) {
      clients.push_back(ConnectLoopback(port_));
      targets.push_back(AcceptWithin(listener));
      ASSERT_TRUE(clients.back() && targets.back());
      const std::string bulk = Pattern(static_cast<std::size_t>(i), 64 * kKiB);
      ASSERT_TRUE(SendAll(clients.back().Get(), bulk));
      ASSERT_EQ(RecvExact(targets.back().Get(), bulk.size()), bulk);
    }
  }

  TRelayEngine engine_{2};
  std::uint16_t port_ = 0;  // the last redirector's listening port
  std::set<int> baseline_fds_;
  // ConnectToATargetThatDoesNotAnswer's target, redirector and players.
  std::uint16_t full_target_port_ = 0;
  TUniqueFd full_target_;
  TUniqueFd filler_;
  std::vector<TUniqueFd> waiting_players_;
  // RelayQueuedBeforeResume's.
  TUniqueFd target_listener_;
  TUniqueFd client_;
  TUniqueFd target_;
  std::unique_ptr<TTCPRedirector> redirector_;  // whichever the test made
};

TEST_F(TCPRedirectorTest, ConnectionQueuedBeforeResumeRelaysAMegabyteEachWay) {
  ASSERT_NO_FATAL_FAILURE(RelayQueuedBeforeResume());
  const auto stats = redirector_->Stats();

  const std::string up = Pattern(0, kMiB);
  const std::string down = Pattern(12345, kMiB);
  std::atomic<bool> up_sent{false};
  std::atomic<bool> down_sent{false};
  std::thread up_sender([&] { up_sent = SendAll(client_.Get(), up); });
  std::thread down_sender([&] { down_sent = SendAll(target_.Get(), down); });
  const auto got_up = RecvExact(target_.Get(), up.size(), 30s);
  const auto got_down = RecvExact(client_.Get(), down.size(), 30s);
  up_sender.join();
  down_sender.join();
  EXPECT_TRUE(up_sent && down_sent);
  EXPECT_TRUE(got_up && *got_up == up);
  EXPECT_TRUE(got_down && *got_down == down);
  EXPECT_EQ(stats->BytesToTarget.load(), kMiB);
  EXPECT_EQ(stats->BytesFromTarget.load(), kMiB);
  EXPECT_EQ(stats->Open.load(), 1u);
  EXPECT_GT(stats->LastActivityMs.load(), 0);
}

TEST_F(TCPRedirectorTest, RelayOutlivesItsRedirectorUntilTheEngineStops) {
  ASSERT_NO_FATAL_FAILURE(RelayQueuedBeforeResume());
  const auto stats = redirector_->Stats();
  ASSERT_TRUE(SendAll(client_.Get(), "before"));
  ASSERT_EQ(RecvExact(target_.Get(), 6), "before");

  // The relay belongs to the engine: it keeps going without its redirector
  // until the engine stops.
  redirector_.reset();
  ASSERT_TRUE(SendAll(client_.Get(), "after"));
  EXPECT_EQ(RecvExact(target_.Get(), 5), "after");
  EXPECT_EQ(engine_.Counters().RelaysOpen, 1u);
  engine_.Stop();
  EXPECT_TRUE(ClosedWithoutData(client_.Get()));
  EXPECT_TRUE(ClosedWithoutData(target_.Get()));
  EXPECT_EQ(stats->Open.load(), 0u);
  EXPECT_EQ(engine_.Counters().BytesToTarget, 6u + 5u);
}

TEST_F(TCPRedirectorTest, RefusedTargetClosesConnectionWithoutData) {
  // Bound but not listening: connects to it are refused.
  TUniqueFd closed_port = OpenTcpSocket();
  ASSERT_TRUE(BindTo(closed_port.Get(), Loopback(), 0));
  auto redirector = Redirect(LocalPort(closed_port.Get()));
  for (int i = 0; i < 2; ++i) {  // accepting goes on after a failure
    TUniqueFd client = ConnectLoopback(port_);
    ASSERT_TRUE(client);
    EXPECT_TRUE(ClosedWithoutData(client.Get()));
  }
  EXPECT_EQ(redirector->Stats()->Opened.load(), 0u);
}

TEST_F(TCPRedirectorTest, TargetThatDoesNotAnswerDelaysNoOtherPlayer) {
  ASSERT_NO_FATAL_FAILURE(ConnectToATargetThatDoesNotAnswer(2));
}

TEST_F(TCPRedirectorTest, EngineStopEndsConnectsStillWaitingForTheTarget) {
  ASSERT_NO_FATAL_FAILURE(ConnectToATargetThatDoesNotAnswer(2));
  // Stopping cuts the pending connects short, long before their time-out.
  engine_.Stop();
  for (const TUniqueFd& player : waiting_players_) {
    EXPECT_TRUE(ClosedWithoutData(player.Get(), std::chrono::milliseconds(kConnectTimeoutMs / 2)));
  }
}

TEST_F(TCPRedirectorTest, ManyRelaysRunOnTheEngineThreadsAlone) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  redirector_ = Redirect(target_port);
  const int threads = ThreadCount();
  constexpr int kRelays = 40;
  std::vector<TUniqueFd> clients;
  std::vector<TUniqueFd> targets;
  ASSERT_NO_FATAL_FAILURE(OpenBulkRelays(listener.Get(), kRelays, clients, targets));
  EXPECT_EQ(ThreadCount(), threads);
  EXPECT_EQ(engine_.Counters().RelaysOpen, static_cast<std::uint64_t>(kRelays));
}

TEST_F(TCPRedirectorTest, EndedRelaysGiveEveryDescriptorBack) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  redirector_ = Redirect(target_port);
  const int threads = ThreadCount();
  const int fds = OpenFdCount();
  constexpr int kRelays = 40;
  for (int round = 0; round < 3; ++round) {
    std::vector<TUniqueFd> clients;
    std::vector<TUniqueFd> targets;
    ASSERT_NO_FATAL_FAILURE(OpenBulkRelays(listener.Get(), kRelays, clients, targets));
    // Either side may close first.
    for (int i = 0; i < kRelays; ++i) (i % 2 == 0 ? clients : targets)[static_cast<std::size_t>(i)].Reset();
    for (int i = 0; i < kRelays; ++i) {
      EXPECT_TRUE(ReadsEndOfFile((i % 2 == 0 ? targets : clients)[static_cast<std::size_t>(i)].Get()));
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return engine_.Counters().RelaysOpen == 0; }));
  EXPECT_TRUE(WaitUntil([&] { return OpenFdCount() == fds; }))
      << OpenFdCount() << " descriptors, " << fds << " before";
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(TCPRedirectorTest, RelaySocketOptionsAreSetOnBothSides) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port);
  const TUniqueFd client = ConnectLoopback(port_);
  const TUniqueFd target = AcceptWithin(listener.Get());
  ASSERT_TRUE(client && target);
  ASSERT_TRUE(SendAll(client.Get(), "x"));
  ASSERT_EQ(RecvExact(target.Get(), 1), "x");

  const int accepted = FindTcpSocket(port_, LocalPort(client.Get()));
  const int outbound = FindTcpSocket(ntohs(PeerAddress(target.Get())->sin_port), target_port);
  ASSERT_GE(accepted, 0);
  ASSERT_GE(outbound, 0);
  for (const int fd : {accepted, outbound}) {
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), kRelayKeepAliveIdleSec);
  }
}

TEST_F(TCPRedirectorTest, HalfCloseIsPassedOnWithoutCuttingOffTheAnswer) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port);
  for (const bool client_first : {true, false}) {
    SCOPED_TRACE(client_first ? "client ends first" : "target ends first");
    TUniqueFd client = ConnectLoopback(port_);
    TUniqueFd target = AcceptWithin(listener.Get());
    ASSERT_TRUE(client && target);
    TUniqueFd& asker = client_first ? client : target;
    TUniqueFd& answerer = client_first ? target : client;
    // The request, then the asker's FIN; the answer comes only after it.
    ASSERT_TRUE(SendAll(asker.Get(), "request"));
    ::shutdown(asker.Get(), SHUT_WR);
    EXPECT_EQ(RecvExact(answerer.Get(), 7), "request");
    EXPECT_TRUE(ReadsEndOfFile(answerer.Get()));
    const std::string answer = Pattern(3, 300 * kKiB);
    ASSERT_TRUE(SendAll(answerer.Get(), answer));
    answerer.Reset();
    EXPECT_EQ(RecvExact(asker.Get(), answer.size()), answer);
    EXPECT_TRUE(ReadsEndOfFile(asker.Get()));
  }
}

TEST_F(TCPRedirectorTest, PeerThatResetsReleasesTheRelayWhileTheOtherPeerStaysSilent) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port);
  TUniqueFd client = ConnectLoopback(port_);
  const TUniqueFd target = AcceptWithin(listener.Get());
  ASSERT_TRUE(client && target);
  ASSERT_TRUE(SendAll(client.Get(), "hi"));
  ASSERT_EQ(RecvExact(target.Get(), 2), "hi");
  // The player's game crashes: its connection ends with a reset.
  const linger abort_on_close{1, 0};
  ::setsockopt(client.Get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  client.Reset();
  EXPECT_TRUE(ReadsEndOfFile(target.Get()));
  // The target never closes; the relay still ends, within the linger.
  EXPECT_TRUE(WaitUntil([&] { return engine_.Counters().RelaysOpen == 0; },
                        4 * std::chrono::milliseconds(kLingerMs)));
  EXPECT_TRUE(ClosedWithoutData(target.Get()));
}

TEST_F(TCPRedirectorTest, ConnectionsOverThePerAddressLimitAreRefusedWhileOtherAddressesKeepTheirRelays) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/true, /*connections_per_address=*/2);
  const TUniqueFd player = ConnectFrom("127.0.0.1", port_);
  const TUniqueFd player_target = AcceptWithin(listener.Get());
  ASSERT_TRUE(player && player_target);

  const auto refused = [] {
    return RefusalTotal(TRefusedWork::kConnection, TRefusalReason::kConnectionsPerAddress);
  };
  const std::uint64_t refused_before = refused();
  std::vector<TUniqueFd> flood;
  std::vector<TUniqueFd> flood_targets;
  for (int i = 0; i < 2; ++i) {
    flood.push_back(ConnectFrom("127.0.0.2", port_));
    flood_targets.push_back(AcceptWithin(listener.Get()));
    ASSERT_TRUE(flood.back() && flood_targets.back());
  }
  const TUniqueFd over = ConnectFrom("127.0.0.2", port_);
  ASSERT_TRUE(over);
  EXPECT_TRUE(ClosedWithoutData(over.Get()));
  EXPECT_EQ(refused(), refused_before + 1);
  ASSERT_TRUE(SendAll(player.Get(), "still served"));
  EXPECT_EQ(RecvExact(player_target.Get(), 12), "still served");

  // An ended relay gives its share back.
  flood.front().Reset();
  EXPECT_TRUE(ReadsEndOfFile(flood_targets.front().Get()));
  flood_targets.front().Reset();
  EXPECT_TRUE(WaitUntil([&] { return redirector->ConnectionsFrom(::inet_addr("127.0.0.2")) == 1; }));
  const TUniqueFd again = ConnectFrom("127.0.0.2", port_);
  const TUniqueFd again_target = AcceptWithin(listener.Get());
  ASSERT_TRUE(again && again_target);
  ASSERT_TRUE(SendAll(again.Get(), "in"));
  EXPECT_EQ(RecvExact(again_target.Get(), 2), "in");
}

TEST_F(TCPRedirectorTest, ConnectionsAreRefusedWhileTheDescriptorReserveIsReached) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port);
  // Room for a few descriptors beyond the reserve, fewer than a relay needs.
  TDescriptorHeadroom headroom(kRelayDescriptors);
  ASSERT_TRUE(headroom.Saved());
  ASSERT_TRUE(headroom.Applied());
  ASSERT_EQ(fd_budget::Reserve(), fd_budget::kMinReserve);

  const std::uint64_t refused_before =
      RefusalTotal(TRefusedWork::kConnection, TRefusalReason::kDescriptorReserve);
  const TUniqueFd refused = ConnectLoopback(port_);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(ClosedWithoutData(refused.Get()));
  EXPECT_EQ(RefusalTotal(TRefusedWork::kConnection, TRefusalReason::kDescriptorReserve), refused_before + 1);

  // Work resumes by itself once descriptors are free again.
  headroom.Restore();
  const TUniqueFd client = ConnectLoopback(port_);
  const TUniqueFd target = AcceptWithin(listener.Get());
  ASSERT_TRUE(client && target);
  ASSERT_TRUE(SendAll(client.Get(), "ok"));
  EXPECT_EQ(RecvExact(target.Get(), 2), "ok");
}

TEST_F(TCPRedirectorTest, UrgentByteNeitherStallsTheRelayNorLosesTheBytesBehindIt) {
  TcpEchoServer echo;
  auto redirector = Redirect(echo.Port(), /*resume=*/false);
  // Bulk waiting before the relay starts: its first read fills the
  // small-message buffer, so the urgent byte meets a splicing relay.
  TUniqueFd client = ConnectLoopback(port_);
  const std::string bulk = Pattern(0, 64 * kKiB);
  ASSERT_TRUE(SendAll(client.Get(), bulk));
  ASSERT_TRUE(redirector->Resume());
  ASSERT_EQ(RecvExact(client.Get(), bulk.size()), bulk);
  ASSERT_EQ(SendSome(client.Get(), "X", 1, MSG_OOB), 1);
  ASSERT_TRUE(SendAll(client.Get(), "cdef"));
  // The urgent byte leaves the stream, as for any plain reader.
  EXPECT_EQ(RecvExact(client.Get(), 4), "cdef");
}

TEST_F(TCPRedirectorTest, SlowReaderGetsAllUpToFinalBytesOfTargetThatClosesAtOnce) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/false);
  TUniqueFd client, target;
  ASSERT_NO_FATAL_FAILURE(ConnectWithLittleRoomTowardsTheClient(*redirector, listener.Get(), client, target));

  // The reader reads nothing yet. A relay that kept reading would take all
  // of this; a bounded one fills the buffers on the way and the target
  // stays unwritable.
  constexpr std::size_t kLimit = 64 * kMiB;
  std::size_t sent = 0;
  for (pollfd writable{target.Get(), POLLOUT, 0}; sent < kLimit && PollRetry(&writable, 1, 500) > 0;) {
    const std::string chunk = Pattern(sent, 64 * kKiB);
    const ssize_t n = SendSome(target.Get(), chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
  }
  EXPECT_LT(sent, kLimit);
  target.Reset();
  const auto got = RecvExact(client.Get(), sent, 60s);
  EXPECT_TRUE(got && *got == Pattern(0, sent));
  EXPECT_TRUE(ReadsEndOfFile(client.Get()));
}

TEST_F(TCPRedirectorTest, InputArrivingAfterTheTargetClosedDoesNotResetTheFinalMessage) {
  std::uint16_t target_port = 0;
  const TUniqueFd listener = ListenLoopback(&target_port);
  auto redirector = Redirect(target_port, /*resume=*/false);
  TUniqueFd client, target;
  ASSERT_NO_FATAL_FAILURE(ConnectWithLittleRoomTowardsTheClient(*redirector, listener.Get(), client, target));

  // The target's final message fits the relay's buffer but not the way to
  // the unread client; then the target closes for good.
  const std::string final_message = Pattern(7, 48 * kKiB);
  ASSERT_TRUE(SendAll(target.Get(), final_message));
  target.Reset();
  ASSERT_TRUE(WaitUntil([&] { return ConnectionsTo(target_port, kCloseWait, /*drained=*/true) == 1; }));
  // The client keeps talking while it reads slowly. What it sends can no
  // longer be delivered (the target answers with a reset); a relay that
  // closed the client's connection over those unread bytes would reset it
  // and destroy the tail still on its way.
  std::string got;
  while (got.size() < final_message.size()) {
    ASSERT_TRUE(SendAll(client.Get(), "still here"));
    const auto piece = RecvExact(client.Get(), std::min<std::size_t>(512, final_message.size() - got.size()));
    if (!piece) break;
    got += *piece;
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(got == final_message) << "received " << got.size() << " of " << final_message.size();
  EXPECT_TRUE(ReadsEndOfFile(client.Get()));
}

TEST_F(TCPRedirectorTest, AcceptLoopEndedByAFatalErrorIsFinished) {
  auto redirector = Redirect(0, /*resume=*/false);
  const int listening = redirector->Socket();
  ASSERT_TRUE(redirector->Resume());
  // A listening socket shut down makes accept() fail for good.
  ::shutdown(listening, SHUT_RDWR);
  EXPECT_TRUE(WaitUntil([&] { return redirector->Finished(); }));
  redirector->WaitFor();
  EXPECT_TRUE(redirector->ListenerFailed());
}

}  // namespace
}  // namespace quorvane
