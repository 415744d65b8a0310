#include "servers/UDPServer.h"

#include <cerrno>
#include <vector>

#include "servers/AddressHelpers.h"

namespace quorvane {

TUDPServer::TUDPServer(std::string host, std::uint16_t port, std::size_t stack_size)
    : TThread(stack_size), host_(std::move(host)), port_(port) {
  // No SO_REUSEADDR: on a UDP socket it would let two servers share a port
  // and split its datagrams between them.
  const std::uint32_t addr = host_.empty() ? INADDR_ANY : ResolveHost(host_);
  if (addr == kAddrNone) {
    setup_error_ = EADDRNOTAVAIL;
    return;
  }
  UniqueFd fd = OpenUdpSocket();
  if (!fd || !BindTo(fd.get(), addr, port_)) {
    setup_error_ = errno;
    return;
  }
  socket_ = std::move(fd);
}

TUDPServer::~TUDPServer() = default;

void TUDPServer::Execute() {
  if (!socket_) return;
  struct CloseOnExit {
    TUDPServer& server;
    ~CloseOnExit() { server.CloseSocket(); }
  } close_on_exit{*this};

  std::vector<std::uint8_t> buffer(kMaxDatagramSize);
  const auto deliver = [this](const sockaddr_in& from, std::span<const std::uint8_t> data) {
    ProcessDatagram(from, data);
  };
  while (!Terminated()) {
    const TBatch batch = ReceiveBatch(socket_.get(), buffer, deliver);
    if (batch.failed) return;
    if (batch.received == kDatagramBatch) continue;  // more may be queued
    if (batch.received == 0) Idle();
    if (Terminated()) return;
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 2, -1) < 0) return;
  }
}

void TUDPServer::ProcessDatagram(const sockaddr_in&, std::span<const std::uint8_t>) {}

void TUDPServer::Idle() {}

}  // namespace quorvane
