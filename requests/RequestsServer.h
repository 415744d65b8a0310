// The NAT request service: the control-port server, its client sessions and
// the registries of clients and redirectors.
//
// DESIGN. TRequestsServer is a TTCPServer on ServerHost:ServerPort. Its
// accept thread admits each control connection (limits per address, the
// descriptor reserve), records a TClientEntry and starts one
// TRequestsServerThread for it. A session thread reads the connection, cuts
// the bytes into 220-byte packets (TPacketAssembler) and handles each with
// ProcessRequest on its own thread; NAT requests go to TNatRequests, which
// keeps RedirectorList, whose entries own their redirectors.
//
// Ownership: the server owns both registries and, through a thread group, every
// session thread. A session ends by itself (peer gone, bad packet, failed
// send, Terminate); it then destroys the redirectors it created, closes its
// socket and removes its client entry, and the server's accept thread frees
// the finished thread object. ServerTerminated, the server's end handler,
// terminates every session and waits for all of them, so nothing outlives
// the server. TCP relays belong to the relay engine, not to the server.
//
// Locks: ClientList and RedirectorList each have their own lock and are
// never held together. RedirectorList's lock is held while a redirector is
// built or awaited; redirector threads never take a registry lock, nothing
// under it waits for the network, and Terminate wakes redirector threads at
// once, so the wait is short. No lock is held while a reply is sent.
#pragma once

#include <memory>
#include <utility>

#include "requests/ClientEntry.h"
#include "requests/NatRequests.h"
#include "requests/RedirectorEntry.h"
#include "requests/RedirectorFactory.h"
#include "requests/RequestPacket.h"
#include "requests/RequestsServerThread.h"
#include "requests/ServerMetrics.h"
#include "requests/Settings.h"
#include "runtime/AddressCounter.h"
#include "runtime/AddressRate.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "runtime/ThreadGroup.h"
#include "runtime/ThreadList.h"
#include "servers/ServersUnit.h"

namespace quorvane {

class TRequestsServer final : public TTCPServer {
 public:
  // Binds ServerHost:ServerPort of the configuration in force (or of
  // |config|) and prints the start line. Built suspended: the creator calls
  // Resume(). WaitFor() runs ServerTerminated.
  TRequestsServer();
  explicit TRequestsServer(const TConfigSnapshot& config);
  ~TRequestsServer() override;

  // Where TCP redirectors run their relays. Set by the creator before
  // Resume(); not owned, outlives the server.
  TRelayEngine* RelayEngine() const { return relay_engine_; }
  void SetRelayEngine(TRelayEngine* engine) { relay_engine_ = engine; }
  // Builds the redirectors of create requests; BuildRedirector unless the
  // creator puts another in before Resume().
  const TRedirectorFactory& RedirectorFactory() const { return redirector_factory_; }
  void SetRedirectorFactory(TRedirectorFactory factory) { redirector_factory_ = std::move(factory); }

  TThreadList<std::unique_ptr<TClientEntry>> ClientList;
  TThreadList<std::unique_ptr<TRedirectorEntry>> RedirectorList;
  // Control sessions per peer address, and redirectors per owner's address.
  TAddressCounter& SessionsByAddress() { return sessions_by_address_; }
  TAddressCounter& RedirectorsByAddress() { return redirectors_by_address_; }
  // Requests per peer address (REQUESTS_PER_ADDRESS), over all its sessions.
  TAddressRate& RequestsByAddress() { return requests_by_address_; }
  TNatRequests& Nat() { return nat_; }
  TServerMetrics& Metrics() { return metrics_; }

 protected:
  void ProcessConnection(TUniqueFd accepted) override;
  int ChildEndedFd() const override { return sessions_.EndFd(); }
  void ReapChildren() override { sessions_.Reap(); }

 private:
  // End handler: ends every session and waits for all of them.
  void ServerTerminated();

  TRelayEngine* relay_engine_ = nullptr;
  TRedirectorFactory redirector_factory_ = BuildRedirector;
  TAddressCounter sessions_by_address_;
  TAddressCounter redirectors_by_address_;
  TAddressRate requests_by_address_;
  TNatRequests nat_{*this};
  TServerMetrics metrics_;
  TThreadGroup sessions_;
};

}  // namespace quorvane
