// An in-process requests server on 127.0.0.1 (system-chosen port) and a
// control-connection client for the request tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include "TestSupport.h"
#include "requests/RequestsServer.h"

namespace quorvane::test {

// One control connection speaking whole packets.
class ControlClient {
 public:
  explicit ControlClient(std::uint16_t port) : fd_(ConnectLoopback(port)) {}
  explicit ControlClient(TUniqueFd fd) : fd_(std::move(fd)) {}
  bool Connected() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  bool Send(const TRequestPacket& packet) { return SendAll(fd_.Get(), packet.data(), packet.size()); }
  bool SendBytes(const std::string& bytes) { return SendAll(fd_.Get(), bytes); }
  std::optional<TRequestPacket> Receive(std::chrono::milliseconds limit = 5000ms);
  // A Nop request answered within |limit|.
  bool Answers(std::chrono::milliseconds limit = 5000ms);
  TNatReply Nat(std::uint8_t action, std::uint8_t proto, std::uint32_t address, std::uint16_t port,
                std::uint8_t profile = 0);
  void Close() { fd_.Reset(); }

 private:
  TUniqueFd fd_;
};

std::string Bytes(const TRequestPacket& packet);
TRequestPacket RegisterPacket(const std::string& name, std::uint16_t version = kProtocolVersion);

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Starts the server with config_.
  void StartServer();
  void StopServer();
  std::size_t ClientCount() { return server_->Registry().ClientCount(); }
  std::size_t RedirectorCount() { return server_ ? server_->Registry().RedirectorCount() : 0; }

  TServerConfig config_;
  // Runs on the built server before it is started.
  std::function<void(TRequestsServer&)> before_start_;
  LogCapture log_;
  // The loops everything runs on; outlives the server.
  std::unique_ptr<TRelayEngine> engine_;
  std::unique_ptr<TRequestsServer> server_;
  std::uint16_t port_ = 0;
};

}  // namespace quorvane::test
