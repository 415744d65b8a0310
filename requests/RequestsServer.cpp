#include "requests/RequestsServer.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cassert>

#include "requests/RefusalReasons.h"
#include "runtime/Clock.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"

namespace quorvane {
TRequestsServer::TRequestsServer(const TConfigSnapshot& config, TRelayEngine& engine)
    : TTCPServer(config->ServerHost, config->ServerPort), engine_(engine) {
  StoreCaps(config->Limits, *player_caps_);
  for (std::size_t i = 0; i < engine_.LoopCount(); ++i) {
    shares_.emplace(&engine_.Loop(i), std::make_unique<TLoopShare>());
  }
  Log("NAT Server started at ", AddrToStr(config->ServerAddr), ":", config->ServerPort);
}

TRequestsServer::~TRequestsServer() { Stop(); }

bool TRequestsServer::Start() {
  if (started_ || Socket() < 0) return false;
  started_ = true;
  bool serving = false;
  TRelayLoop& first = engine_.Loop(0);
  first.RunSync([&] { serving = TTCPServer::Start(first.Loop()); });
  return serving;
}

void TRequestsServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  if (!started_) {
    // Nothing was ever served, and the loops may not run.
    Close();
    Log("Closing server");
    return;
  }
  TRelayLoop& first = engine_.Loop(0);
  // The listener first, on its loop: no client is accepted from here on,
  // and a session handed to a loop before is queued ahead of its stop.
  first.RunSync([this] { Close(); });
  Log("Closing server");
  for (std::size_t i = 0; i < engine_.LoopCount(); ++i) {
    TRelayLoop& loop = engine_.Loop(i);
    loop.RunSync([this, &loop] {
      TLoopShare& share = ShareOf(loop);
      // Each ending session takes itself out of the map.
      while (!share.Sessions.empty()) share.Sessions.begin()->second->Terminate();
      // Freed now: the turn that would free them may never come.
      loop.Loop().RunDeferred();
    });
  }
}

void TRequestsServer::ProcessConnection(TUniqueFd accepted) {
  const sockaddr_in peer = AcceptedPeer();
  const std::uint32_t addr = peer.sin_addr.s_addr;
  // A refused connection never becomes a client: it is closed at once, with
  // no log line of its own.
  const auto refuse = [&](TRefusalReason reason) {
    ShutdownAndClose(accepted);
    ReportRefusal(TRefusedWork::kSession, reason, addr);
  };
  TAddressSlot slot = sessions_by_address_.TryAcquire(addr, CurrentConfig()->Limits.SessionsPerAddress);
  if (!slot) return refuse(TRefusalReason::kSessionsPerAddress);
  fd_budget::TFdRefusal why{};
  fd_budget::TFdGrant descriptors = fd_budget::TryAcquire(fd_budget::TFdKind::kSession, addr, 1, &why);
  if (!descriptors) return refuse(RefusalReasonOf(why));
  SetKeepAlive(accepted.Get());

  // Logged here, in the order the clients were accepted, and before any
  // line of the session.
  Log("New client from: ", AddrToStr(addr), ":", ntohs(peer.sin_port));
  auto entry = std::make_unique<TClientEntry>();
  entry->Address = addr;
  entry->PeerPort = ntohs(peer.sin_port);
  entry->ConnectedAtMs = WallMs();
  entry->Descriptors = std::move(descriptors);
  // The entry is in the registry before the session handles its first packet.
  TClientEntry* recorded = registry_.AddClient(std::move(entry));
  metrics_.SessionsAccepted.fetch_add(1, std::memory_order_relaxed);

  TRelayLoop& loop = engine_.NextLoop();
  const std::uint64_t id = next_session_id_++;
  if (loop.InLoopThread()) {
    return StartSession(loop, id, std::move(accepted), peer, std::move(slot), recorded);
  }
  TTask start = [this, &loop, id, socket = std::move(accepted), peer, slot = std::move(slot),
                 recorded]() mutable {
    StartSession(loop, id, std::move(socket), peer, std::move(slot), recorded);
  };
  if (loop.Post(std::move(start))) return;
  // A loop that has closed (the engine stops) cannot serve the client: it
  // is let go at once, and its lines still pair up. The task, destroyed
  // with this scope, closes the socket.
  Log("Closing thread for: ", AddrToStr(addr), ":", ntohs(peer.sin_port));
  registry_.RemoveClient(recorded);
}

void TRequestsServer::StartSession(TRelayLoop& loop, std::uint64_t id, TUniqueFd socket,
                                   const sockaddr_in& peer, TAddressSlot slot, TClientEntry* entry) {
  auto session = std::make_unique<TRequestsServerThread>(*this, loop, id, std::move(socket), peer,
                                                         std::move(slot), entry);
  TRequestsServerThread& started = *session;
  ShareOf(loop).Sessions.emplace(id, std::move(session));
  started.Start();
}

TRequestsServer::TLoopShare& TRequestsServer::ShareOf(TRelayLoop& loop) {
  const auto found = shares_.find(&loop);
  assert(found != shares_.end());
  return *found->second;
}

TRequestsServerThread* TRequestsServer::FindSession(TRelayLoop& loop, std::uint64_t id) {
  TLoopShare& share = ShareOf(loop);
  const auto found = share.Sessions.find(id);
  return found == share.Sessions.end() ? nullptr : found->second.get();
}

void TRequestsServer::SessionEnded(TRequestsServerThread& session) {
  const auto found = shares_.find(&session.Loop());
  if (found == shares_.end()) return;
  auto& sessions = found->second->Sessions;
  const auto it = sessions.find(session.Id());
  if (it == sessions.end() || it->second.get() != &session) return;  // never handed to the server
  std::unique_ptr<TRequestsServerThread> ended = std::move(it->second);
  sessions.erase(it);
  // Not now: one of its handlers is most likely running.
  session.Loop().Loop().Defer([ended = std::move(ended)] {});
  session.Loop().ClientFreed();
}

std::span<std::uint8_t> TRequestsServer::ReceiveBuffer(TRelayLoop& loop) {
  TLoopShare& share = ShareOf(loop);
  // Allocated at the first receive and never initialised: pages no receive
  // has touched stay free.
  if (!share.Receive) share.Receive.reset(new std::uint8_t[kReceiveChunkBytes]);
  return {share.Receive.get(), kReceiveChunkBytes};
}

}  // namespace quorvane
