#include "servers/UDPServer.h"

#include <poll.h>

#include <cerrno>
#include <utility>

#include "servers/AddressHelpers.h"

namespace quorvane {

TUDPServer::TUDPServer(std::string host, std::uint16_t port, std::size_t stack_size)
    : TThread(stack_size), host_(std::move(host)), port_(port) {
  if (!batch_.Valid()) {
    setup_error_ = ENOMEM;
    return;
  }
  // No SO_REUSEADDR: on a UDP socket it would let two servers share a port
  // and split its datagrams between them.
  const std::uint32_t addr = host_.empty() ? INADDR_ANY : ResolveHost(host_);
  if (addr == kAddrNone) {
    setup_error_ = EADDRNOTAVAIL;
    return;
  }
  TUniqueFd fd = OpenUdpSocket();
  if (!fd || !BindTo(fd.Get(), addr, port_)) {
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

  while (!Terminated()) {
    const int received = batch_.Receive(socket_.Get());
    if (received < 0) return;
    for (unsigned i = 0; i < batch_.Count(); ++i) ProcessDatagram(batch_.From(i), batch_.Data(i));
    if (received == static_cast<int>(kDatagramBatch)) continue;  // more may be queued
    if (received == 0) Idle();
    if (Terminated()) return;
    pollfd fds[2] = {{socket_.Get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 2, -1) < 0) return;
  }
}

void TUDPServer::ProcessDatagram(const sockaddr_in&, std::span<const std::uint8_t>) {}

void TUDPServer::Idle() {}

}  // namespace quorvane
