#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <thread>
#include <tuple>

#include "requests/ServerFixture.h"

namespace quorvane::test {
namespace {

using RequestsServerTest = ServerFixture;

TRequestPacket Nop(std::uint8_t is_reply) { return Encode(TNop{is_reply}); }

std::uint32_t Addr(const char* dotted) { return ::inet_addr(dotted); }

TEST_F(RequestsServerTest, SessionAnswersOnlyNopsWhereverPacketsAreCutEndsOnABadSizeNotOnAnUrgentByte) {
  StartServer();
  ControlClient client(port_);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(log_.WaitFor("New client from: 127.0.0.1:" + std::to_string(LocalPort(client.Fd()))));

  // A Nop that is itself a reply, and the packet types a server only sends or
  // does not know, get no answer; the Nop behind them proves the order.
  std::string burst = Bytes(Nop(1)) + Bytes(Nop(7));
  for (const int type : {2, 3, 5, 200}) burst += Bytes(NewPacket(static_cast<std::uint8_t>(type)));
  ASSERT_TRUE(client.SendBytes(burst));
  EXPECT_TRUE(client.Answers());
  EXPECT_TRUE(NothingArrives(client.Fd()));
  EXPECT_EQ(log_.Count("Nop request"), 3);

  // Packets are cut from the stream whatever the receive boundaries: 219
  // bytes are not a packet yet.
  const std::string nop = Bytes(Nop(0));
  ASSERT_TRUE(client.SendBytes(nop.substr(0, 219)));
  EXPECT_TRUE(NothingArrives(client.Fd()));
  ASSERT_TRUE(client.SendBytes(nop.substr(219)));
  ASSERT_TRUE(client.Receive());

  // A bad size ends its session after the packets before it; the others
  // carry on.
  for (const std::uint16_t bad_size : {std::uint16_t{219}, std::uint16_t{221}, std::uint16_t{0xDC00}}) {
    ControlClient bad_client(port_);
    TRequestPacket bad = Nop(0);
    PutU16LE(bad, 0, bad_size);
    ASSERT_TRUE(bad_client.SendBytes(nop + Bytes(bad) + nop));
    ASSERT_TRUE(bad_client.Receive());
    EXPECT_TRUE(ClosedWithoutData(bad_client.Fd()));
  }
  EXPECT_TRUE(WaitUntil([&] { return ClientCount() == 1; }));
  EXPECT_TRUE(client.Answers());

  // An urgent byte does not: at the urgent mark the pending-byte count is 0
  // while the socket is readable, which once looked like a closed connection.
  ASSERT_EQ(::send(client.Fd(), "!", 1, MSG_OOB), 1);
  EXPECT_TRUE(client.Answers());
  EXPECT_TRUE(client.Answers());
  // Sessions probe vanished clients with keep-alive.
  const int fd = FindTcpSocket(port_, LocalPort(client.Fd()));
  ASSERT_GE(fd, 0);
  int options[2] = {};
  socklen_t length = sizeof options[0];
  ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &options[0], &length), 0);
  ASSERT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &options[1], &length), 0);
  EXPECT_EQ(std::tie(options[0], options[1]), std::make_tuple(1, kKeepAliveIdleSec));
}

TEST_F(RequestsServerTest, RegisterSendsExcludeEntriesThenIncludeEntries) {
  TSettings& unknown = config_.ProfileTable[0];
  unknown.ExcludeAddrs = {Addr("10.0.0.0"), Addr("172.16.0.0")};
  unknown.ExcludeMasks = {Addr("255.0.0.0"), Addr("255.240.0.0")};
  unknown.IncludeAddrs = {Addr("192.168.1.1"), Addr("192.168.1.2"), Addr("192.168.1.3")};
  unknown.IncludeMasks = {Addr("255.255.255.255"), Addr("255.255.255.255"), Addr("255.255.255.0")};
  unknown.Port = 6112;
  // The BNETD profile is disabled and has 300 include entries: counts wrap
  // in the reply, not in the entries.
  TSettings& bnetd = config_.ProfileTable[kBnetdProfile];
  for (int i = 0; i < 300; ++i) {
    bnetd.IncludeAddrs.push_back(htonl(0x0A000000u + static_cast<std::uint32_t>(i)));
    bnetd.IncludeMasks.push_back(0xFFFFFFFFu);
  }
  StartServer();

  ControlClient client(port_);
  ASSERT_TRUE(client.Send(RegisterPacket("somegame", 65535)));
  EXPECT_EQ(client.Receive(), Encode(TRegisterReply{4, kRegisterOk, 3, 2}));
  // Each list's entries in its order, numbered within it.
  for (const bool exclude : {true, false}) {
    const auto& addrs = exclude ? unknown.ExcludeAddrs : unknown.IncludeAddrs;
    const auto& masks = exclude ? unknown.ExcludeMasks : unknown.IncludeMasks;
    const auto count = static_cast<std::uint16_t>(addrs.size());
    for (std::uint16_t i = 0; i < count; ++i) {
      ASSERT_EQ(client.Receive(),
                Encode(TAddressEntry{count, i, masks[i], addrs[i], 6112, kProtoTcp, exclude}));
    }
  }
  EXPECT_TRUE(NothingArrives(client.Fd()));

  ASSERT_TRUE(client.Send(RegisterPacket("BNETD")));
  EXPECT_EQ(client.Receive(), Encode(TRegisterReply{4, kRegisterOk, 300 % 256, 0}));
  for (std::uint16_t i = 0; i < 300; ++i) {
    ASSERT_EQ(client.Receive(),
              Encode(TAddressEntry{300, i, 0xFFFFFFFFu, bnetd.IncludeAddrs[i], bnetd.Port}));
  }
  std::vector<std::pair<int, int>> clients;
  server_->Registry().VisitClients(
      [&](const TClientEntry& entry) { clients.emplace_back(entry.Profile, entry.Registered); });
  EXPECT_EQ(clients, (std::vector<std::pair<int, int>>{{kBnetdProfile, 1}}));
  EXPECT_EQ(log_.Count("Register request"), 2);
}

// The NAT request that arrived with a refused Register is still answered,
// then the session ends; also when both wait for their address's share (the
// end once cut that wait short and dropped the request unanswered).
TEST_F(RequestsServerTest, OldVersionIsRefusedThenTheSessionEndsAfterQueuedPackets) {
  struct TCase {
    const char* name;
    std::uint32_t per_second;  // REQUESTS_PER_ADDRESS
    int leading_nops;          // sent first, in the same piece, to use the share up
  };
  for (const TCase& c : {TCase{"within the share", 0, 0}, TCase{"over the share", 10, 10}}) {
    SCOPED_TRACE(c.name);
    config_.ProfileTable[0].IncludeAddrs = {Addr("10.0.0.1")};
    config_.ProfileTable[0].IncludeMasks = {0xFFFFFFFFu};
    config_.Limits.RequestsPerAddress = c.per_second;
    StartServer();
    ControlClient client(port_);
    const TNatRequest query{kProtoTcp, kNatQuery, 6112, Addr("192.168.0.10"), 0};
    std::string bytes;
    for (int i = 0; i < c.leading_nops; ++i) bytes += Bytes(Nop(0));
    ASSERT_TRUE(client.SendBytes(bytes + Bytes(RegisterPacket("BNETD", 3)) + Bytes(Encode(query))));

    for (int i = 0; i < c.leading_nops; ++i) ASSERT_TRUE(client.Receive());
    EXPECT_EQ(client.Receive(), Encode(TRegisterReply{4, kRegisterTooOld, 0, 0}));
    // No address-list entries come.
    const auto next = client.Receive();
    EXPECT_TRUE(next && PacketType(*next) == kPacketNatReply);
    EXPECT_TRUE(ClosedWithoutData(client.Fd()));
    EXPECT_TRUE(log_.WaitFor("Closing thread for: 127.0.0.1:" + std::to_string(LocalPort(client.Fd()))));
    EXPECT_TRUE(WaitUntil([&] { return ClientCount() == 0; }));
    StopServer();
  }
}

// A client that sends requests but never reads the replies is closed once
// its unread replies pass the bound, with a line and a count, while many
// others are served at once; short connections leave nothing behind.
TEST_F(RequestsServerTest, ClientThatNeverReadsIsClosedAtTheBoundWhileManyAreServedAndShortOnesLeaveNothing) {
  // No share refuses anything here, so that no refusal holds up another test's log line.
  config_.Limits.RequestsPerAddress = config_.Limits.SessionsPerAddress = 0;
  StartServer();
  ControlClient greedy(port_);
  const int small = 4096;
  ASSERT_EQ(::setsockopt(greedy.Fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  std::string nops;
  for (int i = 0; i < 1000; ++i) nops += Bytes(Nop(0));
  std::thread sender([&] {
    // Until the server closes the connection (or far past any bound).
    for (int i = 0; i < 200 && greedy.SendBytes(nops); ++i) {
    }
  });
  constexpr int kClients = 40;
  std::vector<std::thread> threads;
  std::atomic<int> answered{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&] {
      ControlClient client(port_);
      for (int round = 0; round < 20; ++round) {
        if (!client.Send(Nop(0)) || !client.Receive()) return;
      }
      ++answered;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(answered.load(), kClients);
  EXPECT_TRUE(WaitUntil([&] { return server_->Metrics().SessionsClosedUnread.load() == 1; }, 20000ms));
  sender.join();
  EXPECT_TRUE(WaitUntil([&] { return ClientCount() == 0; }));
  const std::string greedy_port = std::to_string(LocalPort(greedy.Fd()));
  EXPECT_GE(log_.CountPrefix("Session of 127.0.0.1:" + greedy_port + " closed: it does not read its replies"),
            1);
  EXPECT_TRUE(ControlClient(port_).Answers());

  // Many short connections leave no session or descriptor behind. The
  // first ones above may still hold what they opened lazily until they are
  // reaped, hence "at most".
  const int baseline = OpenFdCount();
  for (int i = 0; i < 500; ++i) {
    ControlClient client(port_);
    ASSERT_TRUE(client.Connected());
    if (i % 2 == 0) {
      ASSERT_TRUE(client.Send(Nop(0)));
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return ClientCount() == 0 && OpenFdCount() <= baseline; }, 20000ms))
      << "open descriptors: " << OpenFdCount() << ", at start: " << baseline;
}

}  // namespace
}  // namespace quorvane::test
