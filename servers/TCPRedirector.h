// TTCPRedirector forwards a local TCP port to a fixed target: one relay
// thread per accepted connection (TTCPRedirectorThread).
#pragma once

#include <cstdint>
#include <string>

#include "servers/TCPServer.h"

namespace quorvane {

class TTCPRedirector final : public TTCPServer {
 public:
  // |listen_host| empty: every local address; |listen_port| 0: system-chosen.
  // Socket() == -1 when the listening side could not be set up.
  TTCPRedirector(std::string listen_host, std::string target_host, std::uint16_t listen_port,
                 std::uint16_t target_port);
  // Stops the accept thread; relays that still run outlive the redirector.
  ~TTCPRedirector() override;

 protected:
  void ProcessConnection(UniqueFd accepted) override;
};

// Terminates and joins every relay that outlived its redirector. Called once
// at process exit.
void StopOrphanRelays();

}  // namespace quorvane
