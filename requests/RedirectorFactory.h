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
  TRedirectorOptions Options;
};

struct TNewRedirector {
  // Not started yet: the caller starts it on its loop with Start().
  std::unique_ptr<TRedirector> Redirector;
  // Where it listens; nullopt when its setup failed.
  std::optional<sockaddr_in> Bound;
  int SetupError = 0;  // errno of the failed setup step
};

using TRedirectorFactory = std::function<TNewRedirector(const TRedirectorRequest&)>;

// Timeout of every UDP redirector's sessions.
inline constexpr std::int64_t kUdpRedirectorTimeoutMs = 300000;

// The real redirectors: TCP listening on an ephemeral port of ListenHost,
// or UDP with kUdpRedirectorTimeoutMs.
TNewRedirector BuildRedirector(const TRedirectorRequest& request);

}  // namespace quorvane
