#include "servers/UDPRedirector.h"

namespace quorvane {

TUDPRedirector::TUDPRedirector(std::string listen_host, std::string, std::string, std::uint16_t listen_port,
                               std::uint16_t, std::int64_t, std::size_t)
    : TUDPServer(std::move(listen_host), listen_port) {}

TUDPRedirector::~TUDPRedirector() {
  Terminate();
  WaitFor();
}

}  // namespace quorvane
