#include "requests/ServerFixture.h"

namespace quorvane::test {

std::optional<TRequestPacket> ControlClient::Receive(std::chrono::milliseconds limit) {
  const auto bytes = RecvExact(fd_.Get(), kPacketSize, limit);
  if (!bytes) return std::nullopt;
  TRequestPacket packet;
  std::copy(bytes->begin(), bytes->end(), packet.begin());
  return packet;
}

bool ControlClient::Answers(std::chrono::milliseconds limit) {
  if (!Send(Encode(TNop{0}))) return false;
  const auto reply = Receive(limit);
  return reply && PacketType(*reply) == kPacketNop && DecodeNop(*reply).IsReply == 1;
}

TNatReply ControlClient::Nat(std::uint8_t action, std::uint8_t proto, std::uint32_t address,
                             std::uint16_t port, std::uint8_t profile) {
  EXPECT_TRUE(Send(Encode(TNatRequest{proto, action, port, address, profile})));
  const auto reply = Receive();
  EXPECT_TRUE(reply.has_value());
  if (!reply) return TNatReply{};
  EXPECT_EQ(PacketType(*reply), kPacketNatReply);
  return DecodeNatReply(*reply);
}

std::string Bytes(const TRequestPacket& packet) { return std::string(packet.begin(), packet.end()); }

TRequestPacket RegisterPacket(const std::string& name, std::uint16_t version) {
  TRegisterRequest request;
  request.Version = version;
  std::copy_n(name.begin(), std::min(name.size(), kClientNameSize), request.ClientName.begin());
  return Encode(request);
}

void ServerFixture::SetUp() {
  config_ = TServerConfig{};
  config_.ServerHost = "127.0.0.1";
  config_.ServerPort = 0;
  engine_ = std::make_unique<TRelayEngine>();
  ASSERT_TRUE(engine_->Start());
}

void ServerFixture::TearDown() {
  StopServer();
  engine_->Stop();
}

void ServerFixture::StartServer() {
  PublishConfig(MakeConfigSnapshot(config_));
  server_ = std::make_unique<TRequestsServer>(CurrentConfig(), *engine_);
  ASSERT_GE(server_->Socket(), 0);
  port_ = LocalPort(server_->Socket());
  if (before_start_) before_start_(*server_);
  ASSERT_TRUE(server_->Start());
}

void ServerFixture::StopServer() {
  if (!server_) return;
  server_->Stop();
  server_.reset();
}

}  // namespace quorvane::test
