// IPv4 address helpers shared by every socket class. Addresses are 32-bit
// values in network byte order, as in sockaddr_in.sin_addr.s_addr.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane {

inline constexpr std::uint32_t kAddrNone = 0xFFFFFFFFu;

// Dotted text or host name to an address; kAddrNone when it cannot be
// resolved. Dotted text never causes a lookup. The empty text names this
// host (its host name is looked up). Thread-safe; nothing is cached.
std::uint32_t ResolveHost(std::string_view host);

// Dotted decimal form of an address. Thread-safe.
std::string AddrToStr(std::uint32_t addr_net);

// "TCP Redirector at 192.0.2.1:40123": how every log line names a
// redirector of |kind| ("TCP", "UDP"), by the address its players reach:
// the one it is bound to, or |public_addr| (network order) when it listens
// on every local address.
std::string RedirectorName(std::string_view kind, const sockaddr_in& bound, std::uint32_t public_addr);

}  // namespace quorvane
