#include "admin/AdminAccess.h"

#include <arpa/inet.h>
#include <strings.h>

#include <string>

namespace quorvane::admin {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Compares in time that depends on |expected|'s length only, so that how
// long a wrong guess takes tells nothing about how much of it was right.
bool EqualInConstantTime(std::string_view given, std::string_view expected) {
  unsigned char difference = given.size() == expected.size() ? 0 : 1;
  const std::size_t given_size = given.empty() ? 1 : given.size();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char other = given.empty() ? '\0' : given[i % given_size];
    difference |= static_cast<unsigned char>(other ^ expected[i]);
  }
  return difference == 0;
}

}  // namespace

bool IsLoopbackAddress(std::uint32_t addr) { return (ntohl(addr) >> 24) == 127; }

bool BearerTokenMatches(std::string_view authorization, std::string_view token) {
  constexpr std::string_view kScheme = "Bearer ";
  authorization = Trim(authorization);
  // The scheme's name is case-insensitive; the token is not.
  if (authorization.size() < kScheme.size() ||
      ::strncasecmp(authorization.data(), kScheme.data(), kScheme.size()) != 0) {
    return false;
  }
  return EqualInConstantTime(Trim(authorization.substr(kScheme.size())), token);
}

bool HostIsLiteral(std::string_view host) {
  host = Trim(host);
  if (host.starts_with('[')) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    const std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return false;
    return host.substr(0, close + 1) == "[::1]";
  }
  const std::string_view name = host.substr(0, host.find(':'));
  if (name.size() == 9 && ::strncasecmp(name.data(), "localhost", 9) == 0) return true;
  in_addr parsed{};
  return !name.empty() && ::inet_pton(AF_INET, std::string(name).c_str(), &parsed) == 1;
}

TAdminVerdict Authorize(const TAdminRequest& request) {
  if (request.StatusPage) return TAdminVerdict::kAllow;
  if (request.TokenSet) return request.TokenMatches ? TAdminVerdict::kAllow : TAdminVerdict::kUnauthorized;
  if (!request.HostIsLiteral) return TAdminVerdict::kForbidden;
  if (request.Changes && !request.PeerIsLocal) return TAdminVerdict::kForbidden;
  return TAdminVerdict::kAllow;
}

}  // namespace quorvane::admin
