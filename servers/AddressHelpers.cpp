#include "servers/AddressHelpers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace quorvane {

std::uint32_t ResolveHost(std::string_view host) {
  std::string name(host);
  const std::uint32_t dotted = ::inet_addr(name.c_str());
  if (dotted != kAddrNone) return dotted;
  if (name.empty()) {
    char own[256] = {};
    if (::gethostname(own, sizeof own - 1) != 0 || own[0] == '\0') return kAddrNone;
    name = own;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return kAddrNone;
  }
  std::uint32_t result = kAddrNone;
  if (found->ai_family == AF_INET && found->ai_addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in sa{};
    std::memcpy(&sa, found->ai_addr, sizeof sa);
    result = sa.sin_addr.s_addr;
  }
  ::freeaddrinfo(found);
  return result;
}

std::string AddrToStr(std::uint32_t addr_net) {
  // The first octet is the byte that lies first in memory.
  unsigned char octets[4];
  std::memcpy(octets, &addr_net, sizeof octets);
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i != 0) text += '.';
    text += std::to_string(octets[i]);
  }
  return text;
}

std::string RedirectorName(std::string_view kind, const sockaddr_in& bound, std::uint32_t public_addr) {
  const std::uint32_t shown = bound.sin_addr.s_addr != INADDR_ANY ? bound.sin_addr.s_addr : public_addr;
  std::string name(kind);
  name += " Redirector at ";
  name += AddrToStr(shown);
  name += ':';
  name += std::to_string(ntohs(bound.sin_port));
  return name;
}

}  // namespace quorvane
