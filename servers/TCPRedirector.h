// TTCPRedirector forwards a local TCP port to a fixed target. Its own thread
// only accepts: each accepted connection, unless a limit refuses it, is
// handed to the relay engine (TRelayEngine), which connects to the target
// and relays on its loop threads (TTCPRelay). Accepting never waits for a
// target, so a target that does not answer delays nobody else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "runtime/AddressCounter.h"
#include "runtime/Net.h"
#include "servers/RedirectorOptions.h"
#include "servers/RelayEngine.h"
#include "servers/TCPRelay.h"
#include "servers/TCPServer.h"

namespace quorvane {

class TTCPRedirector final : public TTCPServer {
 public:
  // |listen_host| empty: every local address; |listen_port| 0: system-chosen.
  // Outbound connections leave from |listen_host| when it is set.
  // |target_host| is resolved once, here (callers pass dotted text, so no
  // name is looked up). |options|.Engine is required and must outlive the
  // redirector and its relays. Built suspended; Socket() == -1 when the
  // listening side could not be set up or no engine was given.
  TTCPRedirector(std::string listen_host, std::string target_host, std::uint16_t listen_port,
                 std::uint16_t target_port, TRedirectorOptions options);
  // Owner thread. Stops the accept thread; relays already handed to the
  // engine go on until their connections end or the engine stops.
  ~TTCPRedirector() override;

  const std::string& TargetHost() const { return target_host_; }
  std::uint16_t TargetPort() const { return target_port_; }
  const std::shared_ptr<TRedirectorStats>& Stats() const { return stats_; }
  // Relayed connections (connecting or relaying) from |address| (network
  // order), as the per-address limit counts them. Any thread.
  std::uint32_t ConnectionsFrom(std::uint32_t address) const { return connections_.Count(address); }

 protected:
  // Redirector thread. Refuses the connection over a limit, else hands it
  // to the engine; returns at once either way.
  void ProcessConnection(TUniqueFd accepted) override;

 private:
  std::string target_host_;
  std::uint16_t target_port_;
  sockaddr_in target_{};
  std::optional<std::uint32_t> outbound_addr_;  // the listener's address; network order
  std::uint32_t connections_per_address_;
  TRelayEngine* engine_;
  std::shared_ptr<TRedirectorStats> stats_;
  TAddressCounter connections_;
};

}  // namespace quorvane
