// TAdminClient: the HTTP/1.1 client of quorvane-ctl for a server's admin
// endpoint. One request per connection ("Connection: close"), on the same
// blocking, time-limited, wakeable connection as the control client, so that
// a refused connection, a time-out and an interrupt each keep their own exit
// code. It reads replies with Content-Length, chunked or ended by the close.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/CtlConnection.h"

namespace quorvane::ctl {

// The part of an HTTP reply that quorvane-ctl uses.
struct THttpResponse {
  int Status = 0;
  std::string Reason;
  std::string Body;  // after any chunked transfer coding is undone
};

// Talks to one admin endpoint. Not thread-safe: one thread owns and uses it.
class TAdminClient final {
 public:
  // |token|: sent as "Authorization: Bearer |token|" unless empty.
  // REQUIRES: IsValidToken(token) or an empty token. |timeout_ms| bounds
  // connecting, and then the whole reply. |wake_fd| as for TCtlConnection.
  TAdminClient(std::string host, std::uint16_t port, std::string token, int timeout_ms, int wake_fd);

  // |method| (GET, DELETE) |path| on a new connection, without a body.
  // Any HTTP status is a result; nullopt with Error() set when there is no
  // complete, well-formed reply.
  std::optional<THttpResponse> Send(const std::string& method, const std::string& path);

  const TCtlError& Error() const { return error_; }

 private:
  const std::string host_;
  const std::uint16_t port_;
  const std::string token_;
  const int timeout_ms_;
  const int wake_fd_;
  TCtlError error_;
};

}  // namespace quorvane::ctl
