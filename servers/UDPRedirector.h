// TUDPRedirector (placeholder until built).
#pragma once

#include <cstdint>
#include <string>

#include "servers/UDPServer.h"

namespace quorvane {

inline constexpr std::size_t kMaxUdpSessions = 1024;

class TUDPRedirector final : public TUDPServer {
 public:
  TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                 std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                 std::size_t max_sessions = kMaxUdpSessions);
  ~TUDPRedirector() override;
};

}  // namespace quorvane
