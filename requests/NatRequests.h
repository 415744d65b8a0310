// TNatRequests: the NAT branch of request handling. It keeps the requests
// server's redirector registry (RedirectorList): looks keys up, builds and
// registers redirectors, destroys them on delete and at the end of their
// session, and applies the operator's limits and policy to creates.
//
// Runs on the session threads; any number at once. RedirectorList's lock is
// held from a create's lookup to its insert, so two sessions creating one
// key get one redirector; nothing done under it waits for the network (the
// configuration's hosts were resolved when it was loaded). ClientList's lock
// is taken only before RedirectorList's, never together.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "requests/RequestPacket.h"
#include "requests/Settings.h"

namespace quorvane {

class TRequestsServer;
class TRequestsServerThread;

class TNatRequests final {
 public:
  explicit TNatRequests(TRequestsServer& server) : server_(server) {}
  TNatRequests(const TNatRequests&) = delete;
  TNatRequests& operator=(const TNatRequests&) = delete;

  // Handles one NAT request of |session| (logs the request line). Returns
  // the reply to send, or nullopt for an Action that is not answered.
  // Session thread only; takes and releases the registry locks itself.
  std::optional<TNatReply> Handle(TRequestsServerThread& session, const TNatRequest& request);

  // Destroys every redirector |session| created, newest first. At the end
  // of the session, on its thread.
  void RemoveOwnedBy(const TRequestsServerThread& session);

  // Destroys the redirector with the key (|proto|, |address| network order,
  // |port| as a request carries it) as a delete request would, whoever
  // created it; the owner's session goes on. For the admin endpoint, which
  // is no session: the operator's policy does not apply. False when there is
  // none. Any thread; takes RedirectorList's lock.
  bool DeleteByKey(std::uint32_t proto, std::uint32_t address, std::uint16_t port);

 private:
  TNatReply Query(const TRequestsServerThread& session, const TNatRequest& request,
                  const TServerConfig& config);
  TNatReply Create(TRequestsServerThread& session, const TNatRequest& request, const TServerConfig& config);
  TNatReply Delete(const TRequestsServerThread& session, const TNatRequest& request,
                   const TServerConfig& config);
  // The profile a create of |session| uses: the client's own, or for a
  // client registered as BNETD the request's byte.
  std::uint8_t SelectProfile(const TRequestsServerThread& session, const TNatRequest& request);

  TRequestsServer& server_;
};

}  // namespace quorvane
