// Who may use the admin endpoint: the rules alone, apart from sockets and
// HTTP, so that each can be checked without a network.
//
//   - The status page itself (GET /) is static and shows no data: anyone
//     may load it. A browser cannot put a bearer token on a page load; the
//     page asks for the token and sends it with its own requests.
//   - With a token set, every other request must carry
//     "Authorization: Bearer <token>", or it gets 401.
//   - Without a token, reading is open to whoever can reach the endpoint
//     (the configuration allows that only on a loopback HOST), a change
//     (DELETE) only from a loopback peer (403 otherwise), and the Host
//     header must name the endpoint by address or as localhost (403
//     otherwise), so that a web page whose name is made to resolve to
//     127.0.0.1 cannot read or change anything through a local browser.
#pragma once

#include <cstdint>
#include <string_view>

namespace quorvane::admin {

// 127.0.0.0/8. |addr| in network order.
bool IsLoopbackAddress(std::uint32_t addr);

// True when |authorization| (an Authorization header's value) is the
// Bearer scheme with exactly |token|. The comparison of the credentials
// takes the same time wherever they differ. REQUIRES: |token| not empty.
bool BearerTokenMatches(std::string_view authorization, std::string_view token);

// True when |host| (a Host header's value) is an IPv4 address, [::1] or
// localhost, with or without a port: a name no outside DNS can point here.
bool HostIsLiteral(std::string_view host);

struct TAdminRequest {
  bool StatusPage = false;  // GET / (or HEAD /)
  bool Changes = false;     // anything but GET and HEAD
  bool PeerIsLocal = false;
  bool HostIsLiteral = false;
  bool TokenSet = false;
  bool TokenMatches = false;  // meaningful only with TokenSet
};

enum class TAdminVerdict { kAllow, kUnauthorized, kForbidden };

TAdminVerdict Authorize(const TAdminRequest& request);

}  // namespace quorvane::admin
