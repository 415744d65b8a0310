#include "requests/RedirectorFactory.h"

#include <cerrno>

#include "runtime/Net.h"
#include "servers/TCPRedirector.h"
#include "servers/UDPRedirector.h"

namespace quorvane {
namespace {

TNewRedirector BuildOn(const TRedirectorRequest& request, std::uint16_t port) {
  TNewRedirector built;
  int socket = -1;
  if (request.Tcp) {
    auto redirector = std::make_unique<TTCPRedirector>(request.ListenHost, request.TargetHost, port,
                                                       request.TargetPort, request.Options);
    socket = redirector->Socket();
    built.SetupError = redirector->SetupError();
    built.Redirector = std::move(redirector);
  } else {
    auto redirector =
        std::make_unique<TUDPRedirector>(request.ListenHost, request.ListenHost, request.TargetHost, port,
                                         request.TargetPort, kUdpRedirectorTimeoutMs, request.Options);
    socket = redirector->Socket();
    built.SetupError = redirector->SetupError();
    built.Redirector = std::move(redirector);
  }
  if (socket >= 0) built.Bound = LocalAddress(socket);
  return built;
}

}  // namespace

TNewRedirector BuildRedirector(const TRedirectorRequest& request) {
  if (request.PortMin == 0 || request.PortMin > request.PortMax) return BuildOn(request, 0);
  const unsigned count = unsigned{request.PortMax} - request.PortMin + 1;
  const bool inside = request.FirstPort >= request.PortMin && request.FirstPort <= request.PortMax;
  const unsigned first = inside ? unsigned{request.FirstPort} - request.PortMin : 0;
  TNewRedirector built;
  // A TCP listener binds with SO_REUSEADDR, so a port held by another
  // listener that has not called listen() yet, or only by connections in
  // TIME_WAIT, passes bind(); listen() then refuses the first and accepts
  // the second, where a listener is as good as on any other port.
  for (unsigned tried = 0; tried < count; ++tried) {
    built = BuildOn(request, static_cast<std::uint16_t>(request.PortMin + (first + tried) % count));
    if (built.SetupError != EADDRINUSE) return built;
  }
  return built;
}

}  // namespace quorvane
