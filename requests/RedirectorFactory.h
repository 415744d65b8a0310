// How a NAT create request gets its redirector. The requests server calls a
// factory under the registry's lock, on the loop that is to serve the
// redirector (Options.Loop), so a factory must not block on the network:
// every host it is given is dotted text. The default one
// builds the real TTCPRedirector or TUDPRedirector; tests and the fuzzer put
// one in that opens no socket.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "servers/Redirector.h"
#include "servers/RedirectorOptions.h"

namespace quorvane {

struct TRedirectorRequest {
  bool Tcp = true;
  std::string ListenHost;  // dotted, or empty for every local address
  std::string TargetHost;  // dotted
  std::uint16_t TargetPort = 0;
  // The ports it may listen on, PortMin to PortMax, tried in turn from
  // FirstPort and wrapping once; PortMin 0: the system chooses.
  std::uint16_t PortMin = 0;
  std::uint16_t PortMax = 0;
  std::uint16_t FirstPort = 0;
  TRedirectorOptions Options;
};

struct TNewRedirector {
  // Not started yet: the caller starts it on its loop with Start().
  std::unique_ptr<TRedirector> Redirector;
  // Where it listens; nullopt when its setup failed.
  std::optional<sockaddr_in> Bound;
  int SetupError = 0;  // errno of the failed setup step; EADDRINUSE: every port taken
};

using TRedirectorFactory = std::function<TNewRedirector(const TRedirectorRequest&)>;

// Timeout of every UDP redirector's sessions.
inline constexpr std::int64_t kUdpRedirectorTimeoutMs = 300000;

// The real redirectors: TCP listening on ListenHost, or UDP with
// kUdpRedirectorTimeoutMs, on an ephemeral port or the first free one of
// the range. A port is taken when bind() or listen() says so; any other
// failure ends the search, since the next port would fail alike.
TNewRedirector BuildRedirector(const TRedirectorRequest& request);

}  // namespace quorvane
