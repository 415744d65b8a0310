// The NAT request service: the control-port server, its client sessions and
// the registries of clients and redirectors.
//
// DESIGN. Everything here runs on the relay engine's loops (TRelayEngine);
// nothing has a thread of its own. TRequestsServer is a TTCPServer on
// ServerHost:ServerPort, served by the engine's first loop. It admits each
// control connection (limits per address, the descriptor reserve), logs
// "New client from", records a TClientEntry and hands the connection to the
// next loop, where a TRequestsServerThread serves it as a state machine: it
// cuts the bytes into 220-byte packets (TPacketAssembler) and handles each
// with ProcessRequest. NAT requests go to TNatRequests, which works on the
// registry (TNatRegistry) and has redirectors built by a TRedirectorBuilder;
// a new redirector is served by its creator's loop, and so are its relays.
//
// Ownership: the server owns the registry (TNatRegistry) and, per loop, the
// sessions of that loop, each touched only on its loop's thread. A session
// ends by itself (peer gone, bad packet, failed send, reply queue over its
// bound) or at the stop: it destroys the redirectors it created, closes its
// socket, removes its client entry and is freed at the end of its loop's
// turn. Stop() closes the listener, prints "Closing server" and ends every
// session, loop by loop, before it returns. TCP relays belong to their
// loop and end when the engine stops.
//
// Locks: the registry's one lock, held for the registries' state only; no
// lock is held while a reply is sent, and nothing under it waits for the
// network or for another loop.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <unordered_map>
#include <utility>

#include "requests/ClientEntry.h"
#include "requests/NatRegistry.h"
#include "requests/NatRequests.h"
#include "requests/RedirectorBuilder.h"
#include "requests/RedirectorEntry.h"
#include "requests/RedirectorFactory.h"
#include "requests/RequestPacket.h"
#include "requests/RequestsServerThread.h"
#include "requests/ServerMetrics.h"
#include "requests/Settings.h"
#include "runtime/AddressCounter.h"
#include "runtime/AddressRate.h"
#include "runtime/Event.h"
#include "runtime/Net.h"
#include "servers/ServersUnit.h"

namespace quorvane {

class TRequestsServer final : public TTCPServer {
 public:
  // Binds ServerHost:ServerPort of |config| and prints the start line.
  // |engine| runs everything and must outlive the server; it need not run
  // yet. Nothing is served before Start().
  TRequestsServer(const TConfigSnapshot& config, TRelayEngine& engine);
  // Stops the server if it still runs.
  ~TRequestsServer() override;

  // Owner, once, with the engine running: starts accepting. False when
  // there is no listening socket or it cannot be watched.
  bool Start();
  // Owner: closes the listener, prints "Closing server", then ends every
  // session (each destroys its own redirectors) and returns once all have
  // ended. Idempotent.
  void Stop();
  // Readable once the listener failed by itself.
  int ListenerEndedFd() const { return listener_ended_.Fd(); }

  TRelayEngine& Engine() const { return engine_; }
  // Builds the redirectors of create requests; BuildRedirector unless the
  // owner puts another in before Start().
  const TRedirectorFactory& RedirectorFactory() const { return builder_.Factory(); }
  void SetRedirectorFactory(TRedirectorFactory factory) { builder_.SetFactory(std::move(factory)); }

  // ClientList and RedirectorList.
  TNatRegistry& Registry() { return registry_; }
  // Control sessions per peer address, and redirectors per owner's address.
  TAddressCounter& SessionsByAddress() { return sessions_by_address_; }
  TAddressCounter& RedirectorsByAddress() { return registry_.ByOwnerAddress(); }
  // Requests per peer address (REQUESTS_PER_ADDRESS), over all its sessions.
  TAddressRate& RequestsByAddress() { return requests_by_address_; }
  TNatRequests& Nat() { return nat_; }
  // The player caps every redirector of the server reads: [LIMITS] as
  // constructed, and as a reload stores them (StoreCaps) from then on.
  const std::shared_ptr<TPlayerCaps>& PlayerCaps() const { return player_caps_; }
  TServerMetrics& Metrics() { return metrics_; }

  // The rest: on |loop|'s thread, for the sessions.

  // The session |id| of |loop|, or null once it has ended.
  TRequestsServerThread* FindSession(TRelayLoop& loop, std::uint64_t id);
  // |session| has ended: it is freed at the end of the turn.
  void SessionEnded(TRequestsServerThread& session);
  // Where a session of |loop| receives; its bytes are gone after the turn.
  std::span<std::uint8_t> ReceiveBuffer(TRelayLoop& loop);

 protected:
  // The first loop's thread.
  void ProcessConnection(TUniqueFd accepted) override;
  void ListenerEnded() override { listener_ended_.Set(); }

 private:
  // What the server keeps on each loop; that loop's thread only.
  struct TLoopShare {
    std::unordered_map<std::uint64_t, std::unique_ptr<TRequestsServerThread>> Sessions;
    std::unique_ptr<std::uint8_t[]> Receive;
  };

  TLoopShare& ShareOf(TRelayLoop& loop);
  // |loop|'s thread: makes and starts the session for an accepted client.
  void StartSession(TRelayLoop& loop, std::uint64_t id, TUniqueFd socket, const sockaddr_in& peer,
                    TAddressSlot slot, TClientEntry* entry);

  TRelayEngine& engine_;
  TServerMetrics metrics_;
  TNatRegistry registry_{metrics_};
  TAddressCounter sessions_by_address_;
  TAddressRate requests_by_address_;
  // Shared with the redirectors, and with the reload thread, which may
  // outlive the server when a stop leaves it behind.
  const std::shared_ptr<TPlayerCaps> player_caps_ = std::make_shared<TPlayerCaps>();
  TRedirectorBuilder builder_{player_caps_};
  TNatRequests nat_{registry_, builder_, metrics_,
                    [this](TRelayLoop& loop, std::uint64_t id) { return FindSession(loop, id); }};
  // One per loop, made at construction and never changed: found without a
  // lock from any loop.
  std::unordered_map<const TRelayLoop*, std::unique_ptr<TLoopShare>> shares_;
  std::uint64_t next_session_id_ = 1;  // the first loop's thread
  TEvent listener_ended_;
  bool started_ = false;  // owner
  bool stopped_ = false;  // owner
};

}  // namespace quorvane
