#include <arpa/inet.h>
#include <sys/socket.h>

#include <random>
#include <set>
#include <system_error>
#include <vector>

#include "requests/ServerFixture.h"

namespace quorvane::test {
namespace {

constexpr std::uint8_t kUdp = 17;

class NatRequestsTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    // Redirectors of every profile listen on loopback only.
    for (auto& profile : config_.ProfileTable) profile.Host = "127.0.0.1";
  }

  static std::string RequestLine(int action, std::uint16_t port, int proto) {
    return "NAT request type " + std::to_string(action) + " for 127.0.0.1:" + std::to_string(port) +
           " / proto=" + std::to_string(proto);
  }

  static bool PortFree(int type, int port) {
    TUniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    return BindTo(fd.Get(), Loopback(), static_cast<std::uint16_t>(port));
  }
  // The first of three ports in 20000-30000 that TCP and UDP can both bind
  // on loopback now (below the ephemeral ports, which other tests take).
  static std::uint16_t FreeRangeBase() {
    std::mt19937 random(std::random_device{}());
    const auto free = [](int port) { return PortFree(SOCK_STREAM, port) && PortFree(SOCK_DGRAM, port); };
    for (int attempt = 0; attempt < 100; ++attempt) {
      const int base = 20000 + static_cast<int>(random() % 10000);
      if (free(base) && free(base + 1) && free(base + 2)) return static_cast<std::uint16_t>(base);
    }
    return 0;
  }
  static bool EchoesThroughTcp(std::uint16_t port) {
    TUniqueFd conn = ConnectLoopback(port);
    return conn && SendAll(conn.Get(), "ping") && RecvExact(conn.Get(), 4) == "ping";
  }
  static bool EchoesThroughUdp(std::uint16_t port) {
    std::uint16_t own = 0;
    TUniqueFd peer = BindUdpLoopback(&own);
    return SendDatagram(peer.Get(), "ping", port) && RecvDatagram(peer.Get()) == "ping";
  }
};

TEST_F(NatRequestsTest, TcpCreateRelaysReusesItsKeyIsQueriedDeleteClosesThePortAndNotFoundEchoesTheRequest) {
  TcpEchoServer echo;
  StartServer();
  ControlClient client(port_);
  const TNatReply created = client.Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port());
  ASSERT_EQ(created.Status, kNatOk);
  EXPECT_TRUE(log_.Contains(RequestLine(1, echo.Port(), 6)));
  EXPECT_TRUE(EchoesThroughTcp(created.PublicPort()));
  // The same key again, and a query, name the same redirector.
  for (const std::uint8_t action : {kNatCreate, kNatQuery}) {
    EXPECT_EQ(Encode(client.Nat(action, kProtoTcp, Loopback(), echo.Port())), Encode(created));
  }
  EXPECT_EQ(RedirectorCount(), 1u);
  EXPECT_EQ(log_.Count("TCP Redirector created as 127.0.0.1:" + std::to_string(created.PublicPort())), 1);
  EXPECT_EQ(client.Nat(kNatDelete, kProtoTcp, Loopback(), echo.Port()).Status, kNatOk);
  EXPECT_FALSE(ConnectLoopback(created.PublicPort()).Valid());
  EXPECT_EQ(RedirectorCount(), 0u);
  EXPECT_EQ(client.Nat(kNatDelete, kProtoTcp, Loopback(), echo.Port()).Status, kNatNotFound);
  // Not found: the reply echoes the request's port bytes and address.
  EXPECT_EQ(Encode(client.Nat(kNatQuery, kProtoTcp, ::inet_addr("192.168.0.10"), 6112)),
            Encode(TNatReply{kNatNotFound, {0xE0, 0x17}, ::inet_addr("192.168.0.10")}));
  // An unknown action is logged but neither answered nor acted on.
  ASSERT_TRUE(client.Send(Encode(TNatRequest{kProtoTcp, 3, 4000, Loopback(), 0})));
  EXPECT_TRUE(NothingArrives(client.Fd()));
  EXPECT_TRUE(log_.Contains(RequestLine(3, 4000, 6)));
  EXPECT_EQ(client.Nat(kNatQuery, kProtoTcp, Loopback(), 4000).Status, kNatNotFound);
}

// 17 and 0 both mean UDP, each its own key, apart from TCP's.
TEST_F(NatRequestsTest, ProtoOtherThanTcpMeansUdpAndEveryProtoValueIsItsOwnKey) {
  UdpEchoServer echo;
  StartServer();
  ControlClient client(port_);
  std::vector<TNatReply> created;
  for (const std::uint8_t proto : {kUdp, std::uint8_t{0}}) {
    created.push_back(client.Nat(kNatCreate, proto, Loopback(), echo.Port()));
    ASSERT_EQ(created.back().Status, kNatOk);
    EXPECT_TRUE(
        log_.Contains("UDP Redirector created as 127.0.0.1:" + std::to_string(created.back().PublicPort())));
    EXPECT_TRUE(EchoesThroughUdp(created.back().PublicPort()));
  }
  EXPECT_EQ(client.Nat(kNatQuery, kProtoTcp, Loopback(), echo.Port()).Status, kNatNotFound);
  EXPECT_NE(created[0].PublicPort(), created[1].PublicPort());
  EXPECT_EQ(RedirectorCount(), 2u);

  EXPECT_EQ(client.Nat(kNatDelete, kUdp, Loopback(), echo.Port()).Status, kNatOk);
  EXPECT_TRUE(PortFree(SOCK_DGRAM, created[0].PublicPort()));
  EXPECT_TRUE(EchoesThroughUdp(created[1].PublicPort()));
}

TEST_F(NatRequestsTest, CreatesTakeFreePortsOfTheRangeUntilItIsFullAndAgainOnceOneIsDeleted) {
  const std::uint16_t base = FreeRangeBase();
  ASSERT_NE(base, 0);
  config_.PortMin = base;
  config_.PortMax = static_cast<std::uint16_t>(base + 2);
  StartServer();
  ControlClient client(port_);
  for (const std::uint8_t proto : {kProtoTcp, kUdp}) {
    SCOPED_TRACE(int{proto});
    std::set<std::uint16_t> taken;
    for (std::uint16_t target = 7000; target < 7003; ++target) {
      const TNatReply reply = client.Nat(kNatCreate, proto, Loopback(), target);
      ASSERT_EQ(reply.Status, kNatOk);
      EXPECT_TRUE(reply.PublicPort() >= config_.PortMin && reply.PublicPort() <= config_.PortMax);
      taken.insert(reply.PublicPort());
    }
    EXPECT_EQ(taken.size(), 3u);
    EXPECT_EQ(client.Nat(kNatCreate, proto, Loopback(), 7003).Status, kNatFailed);
    const std::uint16_t freed = client.Nat(kNatQuery, proto, Loopback(), 7001).PublicPort();
    EXPECT_EQ(client.Nat(kNatDelete, proto, Loopback(), 7001).Status, kNatOk);
    const TNatReply again = client.Nat(kNatCreate, proto, Loopback(), 7003);
    EXPECT_EQ(again.Status, kNatOk);
    EXPECT_EQ(again.PublicPort(), freed);
  }
  EXPECT_TRUE(log_.Contains("No free port in " + std::to_string(base) + "-" + std::to_string(base + 2) +
                            " for a TCP redirector to 127.0.0.1:7003"));
}

// Replies carry ANNOUNCE, a profile's before the server's, as the
// configuration in force at each reply has it; the redirector still listens
// on its own address.
TEST_F(NatRequestsTest, RepliesCarryTheAnnouncedAddressWhileTheRedirectorListensOnItsOwn) {
  TcpEchoServer echo;
  StartServer();
  ControlClient client(port_);
  const auto addr = [](const char* dotted) { return *dotted == '\0' ? 0 : ::inet_addr(dotted); };
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"127.0.0.9", "", "127.0.0.9"}, {"127.0.0.9", "127.0.0.8", "127.0.0.8"}, {"", "", "127.0.0.1"}};
  std::uint16_t public_port = 0;
  for (const auto& [server, profile, expected] : cases) {
    SCOPED_TRACE(expected);
    config_.AnnounceAddr = addr(server);
    config_.ProfileTable[0].AnnounceAddr = addr(profile);
    PublishConfig(MakeConfigSnapshot(config_));
    for (const std::uint8_t action : {kNatCreate, kNatQuery}) {
      const TNatReply reply = client.Nat(action, kProtoTcp, Loopback(), echo.Port());
      EXPECT_EQ(reply.Address, addr(expected));
      public_port = reply.PublicPort();
    }
  }
  EXPECT_TRUE(log_.Contains("TCP Redirector created as 127.0.0.9:" + std::to_string(public_port)));
  EXPECT_TRUE(EchoesThroughTcp(public_port));
}

// Profile 0 cannot listen: its creates answer 255 with the request's own
// bytes and say why. Only BNETD clients reach another profile by its byte;
// the others use profile 0 whatever their byte says.
TEST_F(NatRequestsTest, FailedCreatesAnswer255WithTheRequestBytesAndOnlyBnetdClientsChooseTheProfileByByte) {
  config_.ProfileTable[0].Host = "192.0.2.1";  // not an address of this machine
  TcpEchoServer echo;
  StartServer();
  ControlClient plain(port_);
  for (const std::uint8_t proto : {kProtoTcp, kUdp}) {
    EXPECT_EQ(Encode(plain.Nat(kNatCreate, proto, ::inet_addr("192.168.0.10"), 6112, 7)),
              Encode(TNatReply{kNatFailed, {0xE0, 0x17}, ::inet_addr("192.168.0.10")}));
  }
  EXPECT_TRUE(log_.Contains("TCP Redirector not created"));
  // Standard error says why, with the system's reason.
  EXPECT_TRUE(log_.Contains("TCP Redirector for 192.168.0.10:6112 not created: cannot listen on 192.0.2.1: " +
                            std::error_code(EADDRNOTAVAIL, std::system_category()).message()));
  EXPECT_EQ(RedirectorCount(), 0u);
  ASSERT_TRUE(plain.Send(RegisterPacket("other")));
  ASSERT_TRUE(plain.Receive());
  EXPECT_EQ(plain.Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port(), 7).Status, kNatFailed);

  ControlClient bnetd(port_);
  ASSERT_TRUE(bnetd.Send(RegisterPacket("BNETD")));
  ASSERT_TRUE(bnetd.Receive());
  const TNatReply chosen = bnetd.Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port(), 7);
  ASSERT_EQ(chosen.Status, kNatOk);
  EXPECT_TRUE(EchoesThroughTcp(chosen.PublicPort()));
  // Bytes past the table are refused, not read out of bounds.
  for (const std::uint8_t profile : {std::uint8_t{10}, std::uint8_t{255}}) {
    const TNatReply reply = bnetd.Nat(kNatCreate, kUdp, Loopback(), 5000, profile);
    EXPECT_EQ(reply.Status, kNatFailed);
    EXPECT_EQ(reply.PortBytes, EchoPortBytes(5000));
  }
  EXPECT_EQ(log_.Count("UDP Redirector not created"), 3);
}

TEST_F(NatRequestsTest, AnySessionMayDeleteButOnlyTheOwnersEndRemovesRedirectors) {
  TcpEchoServer echo;
  StartServer();
  auto a = std::make_unique<ControlClient>(port_);
  ControlClient b(port_);
  const TNatReply mine = a->Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port());
  const TNatReply also_mine = a->Nat(kNatCreate, kUdp, Loopback(), 7000);
  const TNatReply theirs = b.Nat(kNatCreate, kProtoTcp, Loopback(), 7001);
  for (const TNatReply& reply : {mine, also_mine, theirs}) ASSERT_EQ(reply.Status, kNatOk);

  // B sees and deletes A's TCP redirector.
  EXPECT_EQ(b.Nat(kNatQuery, kProtoTcp, Loopback(), echo.Port()).PublicPort(), mine.PublicPort());
  EXPECT_EQ(b.Nat(kNatDelete, kProtoTcp, Loopback(), echo.Port()).Status, kNatOk);
  EXPECT_FALSE(ConnectLoopback(mine.PublicPort()).Valid());

  // A leaves: its UDP redirector goes, B's stays.
  const std::string a_port = std::to_string(LocalPort(a->Fd()));
  a.reset();
  ASSERT_TRUE(log_.WaitFor("Closing thread for: 127.0.0.1:" + a_port));
  EXPECT_TRUE(WaitUntil([&] { return RedirectorCount() == 1; }));
  EXPECT_TRUE(PortFree(SOCK_DGRAM, also_mine.PublicPort()));
  EXPECT_EQ(b.Nat(kNatQuery, kProtoTcp, Loopback(), 7001).Status, kNatOk);
}

}  // namespace
}  // namespace quorvane::test
