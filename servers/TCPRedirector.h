// TTCPRedirector forwards a local TCP port to a fixed target. It listens on
// one loop of the relay engine, and every connection that loop accepts,
// unless a limit refuses it, becomes a TTCPRelay on the same loop, which
// connects to the target and relays: no hand-off to another thread, and a
// target that does not answer delays nobody else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "runtime/AddressCounter.h"
#include "runtime/Net.h"
#include "servers/ConnectFailures.h"
#include "servers/Redirector.h"
#include "servers/RedirectorOptions.h"
#include "servers/RelayLoop.h"
#include "servers/TCPRelay.h"
#include "servers/TCPServer.h"

namespace quorvane {

class TTCPRedirector final : public TTCPServer, public TRedirector {
 public:
  // |listen_host| empty: every local address; |listen_port| 0: system-chosen.
  // Outbound connections leave from |listen_host| when it is set.
  // |target_host| is resolved once, here (callers pass dotted text, so no
  // name is looked up). |options|.Loop is required: the loop that serves the
  // redirector and its relays. Any thread; Socket() == -1 when the listening
  // side could not be set up.
  TTCPRedirector(std::string listen_host, std::string target_host, std::uint16_t listen_port,
                 std::uint16_t target_port, const TRedirectorOptions& options);
  // Loop thread (or the loop closed): closes the port; relays already
  // started go on until their connections end or the loop stops.
  ~TTCPRedirector() override;

  bool Start() override { return TTCPServer::Start(Loop().Loop()); }
  bool Failed() const override { return ListenerFailed(); }
  std::vector<TPlayerView> Players() const override;

  const std::string& TargetHost() const { return target_host_; }
  std::uint16_t TargetPort() const { return target_port_; }
  // Relayed connections (connecting or relaying) from |address| (network
  // order), as the per-address limit counts them. Any thread.
  std::uint32_t ConnectionsFrom(std::uint32_t address) const { return connections_.Count(address); }

 protected:
  // Loop thread. Refuses the connection over a limit, else starts its relay.
  void ProcessConnection(TUniqueFd accepted) override;

 private:
  std::string target_host_;
  std::uint16_t target_port_;
  sockaddr_in target_{};
  std::optional<std::uint32_t> outbound_addr_;  // the listener's address; network order
  std::uint32_t connections_per_address_;
  TAddressCounter connections_;
  std::shared_ptr<TConnectFailureLog> failure_log_;
  std::shared_ptr<TTcpPlayers> players_;
};

}  // namespace quorvane
