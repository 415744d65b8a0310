#include "requests/RequestsServer.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>

#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "runtime/Refusals.h"

namespace quorvane {
namespace {

// What a session needs beyond its accepted socket: its thread's wake
// descriptor.
constexpr long kSessionDescriptors = 1;

void EnableKeepAlive(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepAliveIdleSec, sizeof kKeepAliveIdleSec);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepAliveIntervalSec, sizeof kKeepAliveIntervalSec);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepAliveProbes, sizeof kKeepAliveProbes);
}

std::int64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
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

void TRequestsServer::ProcessConnection(TUniqueFd accepted) {
  sockaddr_in peer{};
  if (const auto address = PeerAddress(accepted.Get())) peer = *address;
  const std::uint32_t addr = peer.sin_addr.s_addr;
  // A refused connection never becomes a client: it is closed at once, with
  // no log line of its own and no thread.
  const auto refuse = [&](TRefusalReason reason) {
    ShutdownAndClose(accepted);
    ReportRefusal(TRefusedWork::kSession, reason, addr);
  };
  if (!fd_budget::HasRoom(kSessionDescriptors)) return refuse(TRefusalReason::kDescriptorReserve);
  TAddressSlot slot = sessions_by_address_.TryAcquire(addr, CurrentConfig()->Limits.SessionsPerAddress);
  if (!slot) return refuse(TRefusalReason::kSessionsPerAddress);
  EnableKeepAlive(accepted.Get());

  auto session = std::make_unique<TRequestsServerThread>(*this, std::move(accepted), peer, std::move(slot));
  TRequestsServerThread* raw = session.get();
  auto entry = std::make_unique<TClientEntry>();
  entry->Address = addr;
  entry->PeerPort = ntohs(peer.sin_port);
  entry->ConnectedAtMs = WallClockMs();
  entry->Session = raw;
  // The entry is in the registry before the session handles its first packet.
  ClientList.Add(std::move(entry));
  if (sessions_.Start(std::move(session)) != nullptr) {
    metrics_.SessionsAccepted.fetch_add(1, std::memory_order_relaxed);
  } else {
    // No thread for this client: its entry goes, and its socket and slot
    // went with the session object.
    {
      auto clients = ClientList.LockList();
      std::erase_if(*clients, [raw](const auto& e) { return e->Session == raw; });
    }
    ReportRefusal(TRefusedWork::kSession, TRefusalReason::kThreads, addr);
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
