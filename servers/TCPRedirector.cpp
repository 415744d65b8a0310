#include "servers/TCPRedirector.h"

#include <arpa/inet.h>

#include <string>
#include <utility>

#include "requests/RefusalReasons.h"
#include "runtime/FdBudget.h"
#include "servers/AddressHelpers.h"

namespace quorvane {

TTCPRedirector::TTCPRedirector(std::string listen_host, std::string target_host, std::uint16_t listen_port,
                               std::uint16_t target_port, const TRedirectorOptions& options)
    : TTCPServer(std::move(listen_host), listen_port),
      TRedirector(*options.Loop, options.Stats),
      target_host_(std::move(target_host)),
      target_port_(target_port),
      target_(MakeSockAddr(ResolveHost(target_host_), target_port_)),
      connections_per_address_(options.ConnectionsPerAddress) {
  if (Socket() < 0) return;
  // Accepted sockets inherit these, which spares two system calls per
  // option and connection.
  SetRelaySocketOptions(Socket());
  const auto bound = LocalAddress(Socket());
  if (!bound) return;
  // Outbound connections leave from the address the redirector listens on:
  // the one the listening socket was bound to, never a second lookup.
  if (!Host().empty()) outbound_addr_ = bound->sin_addr.s_addr;
  const std::string name = RedirectorName("TCP", *bound, options.PublicAddress);
  failure_log_ =
      std::make_shared<TConnectFailureLog>(name, target_host_ + ":" + std::to_string(target_port_));
  players_ = std::make_shared<TTcpPlayers>(options.Loop->Loop(), name, options.Caps);
}

TTCPRedirector::~TTCPRedirector() = default;

std::vector<TPlayerView> TTCPRedirector::Players() const {
  return players_ ? players_->Views() : std::vector<TPlayerView>{};
}

void TTCPRedirector::ProcessConnection(TUniqueFd accepted) {
  const std::uint32_t remote = AcceptedPeer().sin_addr.s_addr;
  TAddressSlot slot = connections_.TryAcquire(remote, connections_per_address_);
  // Counted before the close, so that whoever sees the close sees the count.
  if (!slot) {
    ReportRefusal(TRefusedWork::kConnection, TRefusalReason::kConnectionsPerAddress, remote);
    ShutdownAndClose(accepted);
    return;
  }
  fd_budget::TFdRefusal why{};
  fd_budget::TFdGrant descriptors =
      fd_budget::TryAcquire(fd_budget::TFdKind::kRelay, remote, kRelayDescriptors, &why);
  if (!descriptors) {
    ReportRefusal(TRefusedWork::kConnection, RefusalReasonOf(why), remote);
    ShutdownAndClose(accepted);
    return;
  }
  // A target that cannot be resolved could only be connected to in vain.
  if (target_.sin_addr.s_addr == kAddrNone) {
    ShutdownAndClose(accepted);
    return;
  }
  TRelayRequest request;
  request.Accepted = std::move(accepted);
  request.Peer = AcceptedPeer();
  request.Target = target_;
  request.OutboundAddr = outbound_addr_;
  request.Slot = std::move(slot);
  request.Descriptors = std::move(descriptors);
  request.Stats = Stats();
  request.FailureLog = failure_log_;
  request.Players = players_;
  Loop().StartRelay(std::move(request));
}

}  // namespace quorvane
