#include "servers/UDPServer.h"

#include <netinet/in.h>

#include <cerrno>
#include <utility>

#include "servers/AddressHelpers.h"

namespace quorvane {

TUDPServer::TUDPServer(std::string host, std::uint16_t port) : host_(std::move(host)), port_(port) {
  // Linux would bind 255.255.255.255, what an unresolvable name yields, and
  // receive nothing anybody meant for this server.
  const std::uint32_t addr = host_.empty() ? INADDR_ANY : ResolveHost(host_);
  if (addr == kAddrNone) {
    setup_error_ = EADDRNOTAVAIL;
    return;
  }
  // No SO_REUSEADDR: on a UDP socket it would let two servers share a port
  // and split its datagrams between them.
  TUniqueFd fd = OpenUdpSocket();
  if (!fd || !BindTo(fd.Get(), addr, port_)) {
    setup_error_ = errno;
    return;
  }
  socket_ = std::move(fd);
}

TUDPServer::~TUDPServer() = default;

}  // namespace quorvane
