#include "servers/TCPRelay.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LoopFixture.h"
#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

constexpr std::size_t kKiB = 1024;
// Socket buffer size asked for where the relay must be left holding bytes
// (the kernel doubles it and keeps a floor).
constexpr int kTinyBuffer = 4096;

// How |fd|'s stream ends, past whatever data still arrives, within the
// default limit: 0 for an end of file, else the receive error (ECONNRESET
// for a reset); empty when it does not end.
std::optional<int> StreamEnds(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  char bytes[4096];
  for (pollfd p{fd, POLLIN, 0}; std::chrono::steady_clock::now() < deadline;) {
    if (PollRetry(&p, 1, 100) <= 0) continue;
    const ssize_t n = RecvSome(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n == 0) return 0;
    if (n < 0 && errno != EAGAIN) return errno;
  }
  return std::nullopt;
}

void SetBuffer(int fd, int option, int bytes) { ::setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes); }

// The test connects the player and hands the accepted connection to the
// loop, as a redirector does.
class TCPRelayTest : public TLoopFixture {
 protected:
  TCPRelayTest() : TLoopFixture(1'000'000) {}
  void TearDown() override {
    for (TUniqueFd* fd : {&listener_, &target_listener_, &player_, &target_, &filler_}) fd->Reset();
    TLoopFixture::TearDown();
  }

  // Connects a player (from |from| when set) and starts its relay, among
  // players_, to 127.0.0.1:|target_port|. |tiny_buffers|: the player's
  // receive buffer and the relay's send buffer towards it are tiny, so that
  // the relay soon holds what the player has not read yet.
  TUniqueFd StartRelay(std::uint16_t target_port, bool tiny_buffers = false, std::uint32_t from = 0) {
    TUniqueFd player(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (from != 0) {
      EXPECT_TRUE(BindTo(player.Get(), from, 0));
    }
    if (tiny_buffers) SetBuffer(player.Get(), SO_RCVBUF, kTinyBuffer);
    const sockaddr_in to = MakeSockAddr(Loopback(), listener_port_);
    EXPECT_EQ(::connect(player.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    TRelayRequest request;
    socklen_t length = sizeof request.Peer;
    request.Accepted.Reset(::accept4(listener_.Get(), reinterpret_cast<sockaddr*>(&request.Peer), &length,
                                     SOCK_CLOEXEC | SOCK_NONBLOCK));
    EXPECT_TRUE(request.Accepted);
    if (tiny_buffers) SetBuffer(request.Accepted.Get(), SO_SNDBUF, kTinyBuffer);
    request.Target = MakeSockAddr(Loopback(), target_port);
    request.Stats = stats_;
    request.Players = players_;
    loop_.Post([this, request = std::move(request)]() mutable { loop_.StartRelay(std::move(request)); });
    return player;
  }

  // The relay's sockets still open, as seen from outside: the player's,
  // and the target's, connected or still connecting.
  int RelaySockets() {
    const std::uint16_t outbound = ntohs(PeerAddress(target_.Get()).value_or(sockaddr_in{}).sin_port);
    return (FindTcpSocket(listener_port_, LocalPort(player_.Get())) >= 0) +
           (target_ && FindTcpSocket(outbound, target_port_) >= 0) + ConnectionsTo(target_port_, kTcpSynSent);
  }
  std::size_t Relays() {
    return OnLoop([&] { return loop_.RelayCount(); });
  }
  // Listens as target_listener_, relays player_ to it and accepts target_.
  void RelayToANewTarget(bool tiny_buffers = false, std::uint32_t from = 0) {
    target_listener_ = ListenLoopback(&target_port_);
    player_ = StartRelay(target_port_, tiny_buffers, from);
    target_ = AcceptWithin(target_listener_.Get());
    ASSERT_TRUE(player_ && target_);
  }

  // Redirects a player with tiny buffers to target_; the target sends
  // |message| and its FIN, and once the relay has read both the player
  // sends its FIN without having read anything. The relay then holds most
  // of |message| for the player, with both sources ended.
  void BothPeersEndWhileTheRelayHoldsBytesForThePlayer(const std::string& message) {
    ASSERT_NO_FATAL_FAILURE(RelayToANewTarget(/*tiny_buffers=*/true));
    ASSERT_TRUE(SendAll(target_.Get(), message));
    ::shutdown(target_.Get(), SHUT_WR);
    ASSERT_TRUE(WaitUntil([&] { return ConnectionsTo(target_port_, kTcpCloseWait, /*drained=*/true) == 1; }));
    ::shutdown(player_.Get(), SHUT_WR);
    ASSERT_TRUE(ReadsEndOfFile(target_.Get()));
    Settle();
    ASSERT_LT(PendingBytes(player_.Get()), static_cast<int>(message.size()) / 2);
  }

  std::shared_ptr<TRedirectorStats> stats_ = std::make_shared<TRedirectorStats>();
  std::shared_ptr<TTcpPlayers> players_;
  std::uint16_t listener_port_ = 0;
  TUniqueFd listener_ = ListenLoopback(&listener_port_);  // where players connect
  TUniqueFd target_listener_;
  std::uint16_t target_port_ = 0;
  TUniqueFd player_;
  TUniqueFd target_;
  TUniqueFd filler_;
};

TEST_F(TCPRelayTest, RelayTimersEndTheRelayExactlyWhenTheirTimeHasRunOut) {
  struct TCase {
    const char* name;
    // Leaves a relay that would wait for good without its timer.
    std::function<void()> set_up;
    std::int64_t limit_ms;
    // Traffic just before the time runs out, which must not put it off.
    std::function<void()> activity = [] {};
  };
  const std::vector<TCase> cases = {
      {"connect to a target that never completes the handshake",
       [&] {
         // Backlog 0 with one connection queued: further SYNs are dropped.
         target_listener_ = ListenLoopback(&target_port_);
         ASSERT_EQ(::listen(target_listener_.Get(), 0), 0);
         filler_ = ConnectLoopback(target_port_);
         ASSERT_TRUE(filler_);
         player_ = StartRelay(target_port_);
         ASSERT_TRUE(WaitUntil([&] { return ConnectionsTo(target_port_, kTcpSynSent) == 1; }));
         Settle();
         EXPECT_TRUE(NothingArrives(player_.Get(), 50ms));
       },
       kConnectTimeoutMs},
      {"linger once both peers ended while the player reads nothing",
       [&] { BothPeersEndWhileTheRelayHoldsBytesForThePlayer(Pattern(0, 48 * kKiB)); }, kLingerMs,
       [&] {
         // The player reads a little; the relay delivers more.
         EXPECT_TRUE(RecvExact(player_.Get(), kKiB));
         Settle();
       }},
      {"linger once the target closed and the player talks on without its FIN",
       [&] {
         ASSERT_NO_FATAL_FAILURE(RelayToANewTarget());
         target_.Reset();
         ASSERT_TRUE(ReadsEndOfFile(player_.Get()));
         // The closed target answers the first send with a reset after its
         // FIN, which fails the next send without aborting anything.
         ASSERT_TRUE(SendAll(player_.Get(), "hi"));
         ASSERT_TRUE(WaitUntil([&] { return ConnectionsTo(target_port_, kTcpCloseWait) == 0; }));
         ASSERT_TRUE(SendAll(player_.Get(), "hi"));
         Settle();
       },
       kLingerMs,
       [&] {
         // The player talks on; the relay reads it and throws it away.
         const std::uint16_t player_port = LocalPort(player_.Get());
         EXPECT_TRUE(SendAll(player_.Get(), "anyone there?"));
         EXPECT_TRUE(WaitUntil([&] {
           const auto queues = TcpQueues(listener_port_, player_port);
           return queues && queues->Rx == 0;
         }));
         Settle();
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(c.set_up());
    ASSERT_EQ(Relays(), 1u);
    const int open_sockets = RelaySockets();
    EXPECT_GE(open_sockets, 1);
    Advance(c.limit_ms - 1);
    EXPECT_EQ(Relays(), 1u) << "ended before its time";
    EXPECT_EQ(RelaySockets(), open_sockets);
    c.activity();
    Advance(1);
    EXPECT_EQ(Relays(), 0u) << "still there when its time ran out";
    EXPECT_EQ(RelaySockets(), 0);
    EXPECT_TRUE(StreamEnds(player_.Get()).has_value());
    for (TUniqueFd* fd : {&player_, &target_, &target_listener_, &filler_}) fd->Reset();
  }
  EXPECT_EQ(stats_->Open.load(), 0u);
}

TEST_F(TCPRelayTest, SlowReaderGetsEveryByteBeforeTheEnd) {
  struct TCase {
    const char* name;
    // Leaves the relay holding bytes for the player, whose receive buffer
    // is tiny and who has read nothing yet; returns every byte the player
    // should get.
    std::function<std::string()> set_up;
    // The player keeps sending while it reads.
    bool player_talks;
  };
  const std::vector<TCase> cases = {
      {"both peers sent their FIN while the relay holds bytes for the player",
       [&] {
         const std::string message = Pattern(1, 48 * kKiB);
         BothPeersEndWhileTheRelayHoldsBytesForThePlayer(message);
         return message;
       },
       false},
      {"the player keeps talking after the target closed",
       [&] {
         // What the player sends can no longer be delivered (the target
         // answers with a reset); a relay that closed the player's
         // connection over those unread bytes would reset it and destroy
         // the tail still on its way.
         RelayToANewTarget(/*tiny_buffers=*/true);
         const std::string message = Pattern(7, 48 * kKiB);
         EXPECT_TRUE(SendAll(target_.Get(), message));
         target_.Reset();
         EXPECT_TRUE(
             WaitUntil([&] { return ConnectionsTo(target_port_, kTcpCloseWait, /*drained=*/true) == 1; }));
         return message;
       },
       true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string expected;
    ASSERT_NO_FATAL_FAILURE(expected = c.set_up());
    std::string got;
    while (got.size() < expected.size()) {
      if (c.player_talks) {
        ASSERT_TRUE(SendAll(player_.Get(), "still here"));
      }
      const auto piece =
          RecvExact(player_.Get(), std::min<std::size_t>(4 * kKiB, expected.size() - got.size()));
      if (!piece) break;
      got += *piece;
    }
    EXPECT_TRUE(got == expected) << "received " << got.size() << " of " << expected.size();
    EXPECT_TRUE(ReadsEndOfFile(player_.Get()));
    for (TUniqueFd* fd : {&player_, &target_, &target_listener_}) fd->Reset();
    EXPECT_TRUE(WaitUntil([&] { return Relays() == 0; }));
  }
}

TEST_F(TCPRelayTest, OnePeersEndReachesTheOtherAsAFinThatKeepsTheAnswerOrAsAReset) {
  struct TCase {
    const char* name;
    bool player_ends;  // else the target
    bool reset;        // else a FIN, after which the other peer answers
    // Bytes the target sends first, which the player, with tiny buffers,
    // leaves the relay holding; a reset drops them with the stream.
    std::size_t held;
  };
  const TCase cases[] = {
      {"the player sends its FIN", true, false, 0},
      {"the target sends its FIN", false, false, 0},
      {"the player resets", true, true, 0},
      {"the target resets", false, true, 0},
      {"the target resets while the relay holds bytes for the player", false, true, 48 * kKiB},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(RelayToANewTarget(/*tiny_buffers=*/c.held > 0));
    TUniqueFd& ender = c.player_ends ? player_ : target_;
    TUniqueFd& other = c.player_ends ? target_ : player_;
    ASSERT_TRUE(SendAll(ender.Get(), "request"));
    ASSERT_EQ(RecvExact(other.Get(), 7), "request");
    if (c.held > 0) {
      ASSERT_TRUE(SendAll(target_.Get(), Pattern(0, c.held)));
      const std::uint16_t outbound_port = ntohs(PeerAddress(target_.Get())->sin_port);
      ASSERT_TRUE(WaitUntil([&] {
        const auto queues = TcpQueues(outbound_port, target_port_);
        return queues && queues->Rx == 0 && PendingBytes(player_.Get()) < static_cast<int>(c.held) / 2;
      }));
    }
    if (c.reset) {
      // Closed with a reset rather than a FIN.
      const linger abort_on_close{1, 0};
      ::setsockopt(ender.Get(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
      ender.Reset();
      EXPECT_EQ(StreamEnds(other.Get()), ECONNRESET);
    } else {
      // The FIN is passed on, and the answer still comes back.
      ::shutdown(ender.Get(), SHUT_WR);
      EXPECT_TRUE(ReadsEndOfFile(other.Get()));
      const std::string answer = Pattern(3, 300 * kKiB);
      ASSERT_TRUE(SendAll(other.Get(), answer));
      other.Reset();
      EXPECT_EQ(RecvExact(ender.Get(), answer.size()), answer);
      EXPECT_TRUE(ReadsEndOfFile(ender.Get()));
    }
    EXPECT_TRUE(WaitUntil([&] { return Relays() == 0; }));
    for (TUniqueFd* fd : {&player_, &target_, &target_listener_}) fd->Reset();
  }
  EXPECT_EQ(stats_->Open.load(), 0u);
}

TEST_F(TCPRelayTest, CappedPlayerIsHeldBackWithoutLossWhilePlayersFromOtherAddressesAreNot) {
  constexpr std::size_t kRate = 64 * kKiB;
  const auto caps = std::make_shared<TPlayerCaps>();
  caps->TcpBytesPerPlayer = kRate;
  players_ = std::make_shared<TTcpPlayers>(loop_.Loop(), "TCP Redirector at 127.0.0.1:1", caps);
  LogCapture log;
  ASSERT_NO_FATAL_FAILURE(RelayToANewTarget(false, ::inet_addr("127.0.0.2")));
  const TUniqueFd other = StartRelay(target_port_, false, ::inet_addr("127.0.0.3"));
  const TUniqueFd other_target = AcceptWithin(target_listener_.Get());
  ASSERT_TRUE(other && other_target);
  const std::string sent = Pattern(0, 4 * kRate);
  std::atomic<bool> sent_all{false};
  std::thread sender([&] { sent_all = SendAll(player_.Get(), sent); });
  // On an early return the sender may be blocked: its shutdown frees it.
  const std::unique_ptr<std::thread, std::function<void(std::thread*)>> joined(&sender, [&](std::thread* t) {
    if (!t->joinable()) return;
    ::shutdown(player_.Get(), SHUT_RDWR);
    t->join();
  });

  // A full bucket lets a second's worth through; then the player is held
  // until the clock moves, and the other address is not.
  std::string got = RecvExact(target_.Get(), kRate).value_or("");
  EXPECT_TRUE(NothingArrives(target_.Get(), 50ms));
  ASSERT_TRUE(SendAll(other.Get(), "hi"));
  EXPECT_EQ(RecvExact(other_target.Get(), 2), "hi");
  const std::vector<TPlayerView> views = OnLoop([&] { return players_->Views(); });
  ASSERT_EQ(views.size(), 2u);
  EXPECT_EQ(std::tuple(views[0].Held, views[0].Address, views[0].BytesToTarget, views[1].Held,
                       views[1].BytesToTarget),
            std::tuple(true, ::inet_addr("127.0.0.2"), std::uint64_t{kRate}, false, std::uint64_t{2}));
  EXPECT_EQ(std::tuple(stats_->Held.load(), stats_->Players.load(), loop_.Counters().RelaysHeld.load()),
            std::tuple(1u, 2u, 1u));
  EXPECT_EQ(log.CountPrefix("TCP Redirector at 127.0.0.1:1 held back 1 reads over the player caps"), 1);

  std::int64_t elapsed_ms = 0;
  while (got.size() < sent.size() && elapsed_ms < 60'000) {
    Advance(100);
    elapsed_ms += 100;
    char bytes[16 * kKiB];
    for (ssize_t n; (n = RecvSome(target_.Get(), bytes, sizeof bytes, MSG_DONTWAIT)) > 0;)
      got.append(bytes, static_cast<std::size_t>(n));
    EXPECT_LE(got.size(), kRate + kRate * static_cast<std::size_t>(elapsed_ms) / 1000);
  }
  sender.join();
  EXPECT_TRUE(sent_all && got == sent) << "received " << got.size() << " of " << sent.size();
  EXPECT_GT(stats_->Held.load(), 1u);

  // Both connected in the turn they were accepted and lived as long as the
  // clock moved (and the second that ends the hold); ended, they are no
  // players any more.
  for (TUniqueFd* fd : {&player_, &target_}) fd->Reset();
  for (const TUniqueFd* fd : {&other, &other_target}) ::shutdown(fd->Get(), SHUT_RDWR);
  // A held player is not read, so its end is seen when the hold is over.
  Advance(1000);
  ASSERT_TRUE(WaitUntil([&] { return Relays() == 0; }));
  EXPECT_EQ(stats_->Players.load(), 0u);
  const auto& counters = loop_.Counters();
  EXPECT_EQ(std::tuple(counters.ConnectWait.Counts[0].load(), counters.TcpLifetime.Counts[1].load()),
            std::tuple(2u, 2u));
  const auto lived = static_cast<std::uint64_t>(elapsed_ms);
  EXPECT_GE(counters.TcpLifetime.SumMs.load(), 2 * lived);
  EXPECT_LE(counters.TcpLifetime.SumMs.load(), 2 * (lived + 1000));
}

}  // namespace
}  // namespace quorvane
