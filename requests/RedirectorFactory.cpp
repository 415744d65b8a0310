#include "requests/RedirectorFactory.h"

#include "runtime/Net.h"
#include "servers/TCPRedirector.h"
#include "servers/UDPRedirector.h"

namespace quorvane {

TNewRedirector BuildRedirector(const TRedirectorRequest& request) {
  TNewRedirector built;
  int socket = -1;
  if (request.Tcp) {
    auto redirector = std::make_unique<TTCPRedirector>(request.ListenHost, request.TargetHost, 0,
                                                       request.TargetPort, request.Options);
    socket = redirector->Socket();
    built.SetupError = redirector->SetupError();
    built.Redirector = std::move(redirector);
  } else {
    auto redirector =
        std::make_unique<TUDPRedirector>(request.ListenHost, request.ListenHost, request.TargetHost, 0,
                                         request.TargetPort, kUdpRedirectorTimeoutMs, request.Options);
    socket = redirector->Socket();
    built.SetupError = redirector->SetupError();
    built.Redirector = std::move(redirector);
  }
  if (socket >= 0) built.Bound = LocalAddress(socket);
  return built;
}

}  // namespace quorvane
