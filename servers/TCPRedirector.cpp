#include "servers/TCPRedirector.h"

namespace quorvane {

TTCPRedirector::TTCPRedirector(std::string listen_host, std::string /*target_host*/,
                               std::uint16_t listen_port, std::uint16_t /*target_port*/)
    : TTCPServer(std::move(listen_host), listen_port) {}

TTCPRedirector::~TTCPRedirector() {
  Terminate();
  WaitFor();
}

void TTCPRedirector::ProcessConnection(UniqueFd accepted) { ShutdownAndClose(accepted); }

void StopOrphanRelays() {}

}  // namespace quorvane
