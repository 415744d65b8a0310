// The real server under floods spread over many loopback addresses, each
// within its per-address limits, with a descriptor limit small enough that
// the floods would exhaust it: what the attackers cannot take from a
// newcomer or from a player who is already in.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/ChildProcess.h"
#include "requests/ServerFixture.h"

namespace quorvane::test {
namespace {

constexpr int kDescriptorLimit = 512;

std::uint32_t Address(int last) { return ::inet_addr(("127.0.0." + std::to_string(last)).c_str()); }

class AttackTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Serving());
    ASSERT_TRUE(server_.WaitUntil([&] { return ControlClient(port_).Answers(); }));
  }
  // Waits for a line on standard error where |pattern| is found.
  bool SaysOnStderr(const std::string& pattern) {
    const std::regex wanted(pattern);
    const auto says = [&](const std::string& line) { return std::regex_search(line, wanted); };
    return server_.WaitUntil(
        [&] { return std::any_of(server_.ErrLines().begin(), server_.ErrLines().end(), says); });
  }
  // A fresh address's client is served every time: it connects, is answered
  // and creates.
  void ExpectNewcomerServed(int last, int attempts) {
    for (std::uint16_t target = 7000; target < 7000 + attempts; ++target) {
      SCOPED_TRACE("newcomer creating for port " + std::to_string(target));
      ControlClient newcomer(ConnectFrom(Address(last), port_));
      EXPECT_TRUE(newcomer.Answers());
      EXPECT_EQ(newcomer.Nat(kNatCreate, kProtoUdp, Address(last), target).Status, kNatOk);
    }
  }

  const std::uint16_t port_ = FreePort();
  // RLIMIT_NOFILE at kDescriptorLimit, hard and soft, so that the server
  // cannot raise it.
  ServerProcess server_{
      port_,
      "[UNKNOWN]\nHOST=127.0.0.1\n",
      {"/bin/sh", "-c", "ulimit -n " + std::to_string(kDescriptorLimit) + " && exec " + QUORVANE_EXE}};
};

TEST_F(AttackTest, SessionFloodFromManyAddressesLeavesANewcomerServed) {
  // Twenty addresses, each far below SESSIONS_PER_ADDRESS, together more
  // sessions than the sessions' share of the descriptors.
  std::vector<std::unique_ptr<ControlClient>> held;
  int admitted = 0;
  for (int i = 0; i < 12; ++i) {
    for (int address = 10; address < 30; ++address) {
      auto client = std::make_unique<ControlClient>(ConnectFrom(Address(address), port_));
      if (client->Answers(2000ms)) ++admitted;
      held.push_back(std::move(client));
    }
  }
  EXPECT_LT(admitted, 240);
  ExpectNewcomerServed(99, 5);
  EXPECT_TRUE(SaysOnStderr(R"(Refused .* session.*\(FAIR_SHARE\))"));
}

TEST_F(AttackTest, UdpSprayFromManyAddressesNeitherStarvesNewcomersNorMovesAPlayer) {
  UdpEchoServer echo;
  ControlClient host(port_);
  const TNatReply game = host.Nat(kNatCreate, kProtoUdp, Loopback(), echo.Port());
  ASSERT_EQ(game.Status, kNatOk);
  std::uint16_t unused = 0;
  TUniqueFd player = BindUdpLoopback(&unused);
  const auto player_round_trip = [&](const std::string& text) {
    return SendDatagram(player.Get(), text, game.PublicPort()) && RecvDatagram(player.Get()) == text;
  };
  ASSERT_TRUE(player_round_trip("before"));

  // Attackers' own redirectors towards a port where nobody answers, sprayed
  // from fresh source ports of ten addresses: more session sockets than
  // the redirectors' share of the descriptors.
  std::vector<std::unique_ptr<ControlClient>> owners;
  std::vector<std::uint16_t> sprayed;
  for (int address = 2; address < 7; ++address) {
    owners.push_back(std::make_unique<ControlClient>(ConnectFrom(Address(address), port_)));
    for (int i = 0; i < 4; ++i) {
      const TNatReply made = owners.back()->Nat(kNatCreate, kProtoUdp, Address(address), FreePort());
      ASSERT_EQ(made.Status, kNatOk);
      sprayed.push_back(made.PublicPort());
    }
  }
  for (int address = 20; address < 30; ++address) {
    for (int source = 0; source < 40; ++source) {
      TUniqueFd fd = OpenUdpSocket();
      ASSERT_TRUE(BindTo(fd.Get(), Address(address), 0));
      for (const std::uint16_t target : sprayed) SendDatagram(fd.Get(), "spray", target);
    }
    EXPECT_TRUE(player_round_trip("during " + std::to_string(address)));
  }
  EXPECT_TRUE(SaysOnStderr("Refused .* UDP session"));

  // The player kept its session: the target saw one source port.
  EXPECT_TRUE(player_round_trip("after"));
  EXPECT_EQ(echo.Sources().size(), 1u);
  // A new player from a fresh address gets a session of its own, and a new
  // host registers and creates.
  TUniqueFd newcomer = OpenUdpSocket();
  ASSERT_TRUE(BindTo(newcomer.Get(), Address(98), 0));
  EXPECT_TRUE(SendDatagram(newcomer.Get(), "new", game.PublicPort()) &&
              RecvDatagram(newcomer.Get()) == "new");
  ExpectNewcomerServed(99, 5);
}

}  // namespace
}  // namespace quorvane::test
