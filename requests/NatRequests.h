// TNatRequests: the NAT branch of request handling. It works on the
// requests server's registry (TNatRegistry): looks keys up, builds and
// registers redirectors, destroys them on delete and at the end of their
// session, and applies the operator's limits and policy to creates.
//
// Runs on the loops' threads, any number at once. The registry's lock is
// held from a create's lookup to its insert, so two sessions creating one
// key get one redirector; nothing done under it waits for the network (the
// configuration's hosts were resolved when it was loaded). A new redirector
// is served by its creator's loop, so a session's own creates, deletes and
// end close ports at once; only a delete of another loop's redirector is
// answered later, once that loop has closed its port.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include <memory>
#include <vector>

#include <string>
#include "requests/NatRegistry.h"
#include "requests/RedirectorEntry.h"
#include "requests/RefusalReasons.h"
#include "requests/RequestPacket.h"
#include "requests/Settings.h"
#include "runtime/ThreadAnnotations.h"

namespace quorvane {

class TRequestsServer;
class TRequestsServerThread;

// What a NAT request gets: a reply now, none (an Action that is not
// answered), or a reply later (Pending), through the session's Resume().
struct TNatOutcome {
  std::optional<TNatReply> Reply;
  bool Pending = false;
};

class TNatRequests final {
 public:
  explicit TNatRequests(TRequestsServer& server);
  TNatRequests(const TNatRequests&) = delete;
  TNatRequests& operator=(const TNatRequests&) = delete;

  // Handles one NAT request of |session| (logs the request line). The
  // session's loop thread; takes and releases the registry's lock itself.
  TNatOutcome Handle(TRequestsServerThread& session, const TNatRequest& request);

  // Destroys every redirector |session| created, newest first. At the end
  // of the session, on its loop's thread.
  void RemoveOwnedBy(const TRequestsServerThread& session);

  // Destroys the redirector with the key (|proto|, |address| network order,
  // |port| as a request carries it) as a delete request would, whoever
  // created it; the owner's session goes on. For the admin endpoint, which
  // is no session: the operator's policy does not apply. False when there is
  // none. Any thread but a loop's (it waits for the redirector's loop to
  // close the port); takes the registry's lock.
  bool DeleteByKey(std::uint32_t proto, std::uint32_t address, std::uint16_t port);

 private:
  TNatReply Query(const TRequestsServerThread& session, const TNatRequest& request,
                  const TServerConfig& config);
  TNatReply Create(TRequestsServerThread& session, const TNatRequest& request, const TServerConfig& config);
  using TDeadEntries = std::vector<std::unique_ptr<TRedirectorEntry>>;
  // The create under the registry's lock; entries found dead go to |dead|.
  TNatReply CreateLocked(TRequestsServerThread& session, const TNatRequest& request, std::uint8_t profile,
                         const TServerConfig& config, TDeadEntries& dead) REQUIRES(registry_.Mutex());
  // The "... not created" line and status 255; Fail adds the reason on
  // standard error and counts it, Refuse reports the refusal.
  TNatReply NotCreated(const TNatRequest& request);
  TNatReply Fail(const TNatRequest& request, const std::string& why);
  // Status 255 when the port range is full, with a line on standard error at
  // most every kNoPortLineIntervalMs.
  TNatReply NoFreePort(const TRequestsServerThread& session, const TNatRequest& request,
                       const TServerConfig& config) REQUIRES(registry_.Mutex());
  TNatReply Refuse(const TRequestsServerThread& session, const TNatRequest& request, TRefusalReason reason);
  TNatOutcome Delete(TRequestsServerThread& session, const TNatRequest& request, const TServerConfig& config);
  // The profile a create of |session| uses: the client's own, or for a
  // client registered as BNETD the request's byte.
  std::uint8_t SelectProfile(const TRequestsServerThread& session, const TNatRequest& request);

  TRequestsServer& server_;
  TNatRegistry& registry_;
  // Where the next create's search of the port range starts, TCP then UDP;
  // a port outside the range (0 at first) starts at its bottom.
  std::array<std::uint16_t, 2> next_port_ GUARDED_BY(registry_.Mutex()) = {};
  // When the last "No free port" line went (loop clock), and the creates
  // that failed so since without a line.
  std::optional<std::int64_t> no_port_line_ms_ GUARDED_BY(registry_.Mutex());
  std::uint64_t no_port_unlogged_ GUARDED_BY(registry_.Mutex()) = 0;
};

inline constexpr std::int64_t kNoPortLineIntervalMs = 1000;

}  // namespace quorvane
