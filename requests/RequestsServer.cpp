#include "requests/RequestsServer.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "runtime/Log.h"

namespace quorvane {
namespace {

void EnableKeepAlive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSec, sizeof kKeepAliveIdleSec);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSec, sizeof kKeepAliveIntervalSec);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

}  // namespace

TRequestsServer::TRequestsServer() : TRequestsServer(CurrentConfig()) {}

TRequestsServer::TRequestsServer(const TConfigSnapshot& config)
    : TTCPServer(config->ServerHost, config->ServerPort) {
  SetOnTerminate([this] { ServerTerminated(); });
  Log("NAT Server started at ", AddrToStr(config->ServerAddr), ":", config->ServerPort);
}

TRequestsServer::~TRequestsServer() {
  Terminate();
  WaitFor();
  // Normally empty by now; a server that never ran may still hold sessions.
  sessions_.StopAll();
}

void TRequestsServer::ProcessConnection(UniqueFd accepted) {
  sockaddr_in peer{};
  if (const auto address = PeerAddress(accepted.get())) peer = *address;
  Log("New client from: ", AddrToStr(peer.sin_addr.s_addr), ":", ntohs(peer.sin_port));
  EnableKeepAlive(accepted.get());

  auto session = std::make_unique<TRequestsServerThread>(*this, std::move(accepted), peer);
  TRequestsServerThread* raw = session.get();
  auto entry = std::make_unique<TClientEntry>();
  entry->Address = peer.sin_addr.s_addr;
  entry->Session = raw;
  // The entry is in the registry before the session handles its first packet.
  ClientList.Add(std::move(entry));
  if (sessions_.Start(std::move(session)) == nullptr) {
    // No thread for this client: drop its entry; its socket closed with the
    // session object.
    auto clients = ClientList.LockList();
    std::erase_if(*clients, [raw](const auto& e) { return e->Session == raw; });
  }
}

void TRequestsServer::ServerTerminated() {
  Log("Closing server");
  {
    auto clients = ClientList.LockList();
    for (const auto& entry : *clients) entry->Session->Terminate();
  }
  // Not under the client lock: every ending session takes it to remove its
  // own entry.
  sessions_.StopAll();
}

}  // namespace quorvane
