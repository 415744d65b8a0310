// TTCPRedirector forwards a local TCP port to a fixed target: one relay
// thread per accepted connection (TTCPRedirectorThread).
//
// The redirector's own thread accepts, connects to the target without
// blocking (bounded by kConnectTimeoutMs, cut short by Terminate()) and
// starts a relay. Relays live in a thread group that the accept loop reaps as
// they end. A relay still running when its redirector is destroyed passes to
// a process-wide group and keeps relaying until its connection ends;
// StopOrphanRelays() stops those at exit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/RedirectorOptions.h"
#include "servers/TCPServer.h"

namespace quorvane {

// How long a target connect may take before the connection is given up.
inline constexpr int kConnectTimeoutMs = 10000;
// Bytes a relay holds per direction; while they wait, it stops reading the
// source and TCP flow control slows the sender.
inline constexpr std::size_t kRelayBufferBytes = 256 * 1024;
// After one side closes, how long a relay keeps delivering what it already
// received, and then waits for both peers to close, before it closes both.
inline constexpr int kLingerMs = 5000;

class TTCPRedirector final : public TTCPServer {
 public:
  // |listen_host| empty: every local address; |listen_port| 0: system-chosen.
  // Outbound connections leave from |listen_host| when it is set.
  // |target_host| is resolved afresh for every connection. Built suspended;
  // Socket() == -1 when the listening side could not be set up.
  TTCPRedirector(std::string listen_host, std::string target_host, std::uint16_t listen_port,
                 std::uint16_t target_port, TRedirectorOptions options = {});
  // Owner thread. Stops the accept thread (a pending target connect is cut
  // short); relays that still run outlive the redirector.
  ~TTCPRedirector() override;

  const std::string& TargetHost() const { return target_host_; }
  std::uint16_t TargetPort() const { return target_port_; }
  // Relays started and not yet reaped. Any thread.
  std::size_t RelayCount() const { return relays_.Count(); }
  const std::shared_ptr<TRedirectorStats>& Stats() const { return stats_; }

 protected:
  // Redirector thread. Connects to the target and hands both sockets to a
  // new relay; on any failure closes |accepted| and carries on.
  void ProcessConnection(UniqueFd accepted) override;
  int ChildEndedFd() const override { return relays_.EndFd(); }
  void ReapChildren() override { relays_.Reap(); }

 private:
  // The connected outbound socket, or an invalid one.
  UniqueFd ConnectTarget();

  std::string target_host_;
  std::uint16_t target_port_;
  std::uint32_t outbound_addr_ = 0;  // where the listener is bound; network order
  std::uint32_t connections_per_address_;
  std::shared_ptr<TRedirectorStats> stats_;
  TThreadGroup relays_;
};

// Relays bytes both ways between an accepted connection and its target
// connection until either side closes, then closes both. Owns both sockets
// from construction on. Started and owned by a TTCPRedirector's group.
class TTCPRedirectorThread final : public TThread {
 public:
  // Both sockets connected and non-blocking.
  TTCPRedirectorThread(UniqueFd accepted_socket, UniqueFd target_socket);

 protected:
  void Execute() override;

 private:
  UniqueFd accepted_socket_;
  UniqueFd target_socket_;
};

// Terminates and joins every relay that outlived its redirector. Called once
// at process exit, on the main thread, after every redirector is destroyed.
void StopOrphanRelays();

}  // namespace quorvane
