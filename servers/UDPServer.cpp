#include "servers/UDPServer.h"

namespace quorvane {

TUDPServer::TUDPServer(std::string host, std::uint16_t port) : host_(std::move(host)), port_(port) {}
TUDPServer::~TUDPServer() = default;
void TUDPServer::Execute() {}
void TUDPServer::ProcessDatagram(const sockaddr_in&, std::span<const std::uint8_t>) {}
void TUDPServer::Idle() {}

}  // namespace quorvane
