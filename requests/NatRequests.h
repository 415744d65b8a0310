// TNatRequests: the NAT branch of request handling. It answers queries,
// creates and deletes from the registry (TNatRegistry), judges creates by
// the operator's policy (CreatePolicy.h) and limits, has the redirectors it
// creates built (TRedirectorBuilder), destroys them on delete and at the
// end of their session, and logs and counts what each request came to.
//
// Runs on the loops' threads, any number at once. The registry's lock is
// held from a create's lookup to its insert, so two sessions creating one
// key get one redirector; nothing done under it waits for the network (the
// configuration's hosts were resolved when it was loaded). A new redirector
// is served by its creator's loop, so a session's own creates, deletes and
// end close ports at once; only a delete of another loop's redirector is
// answered later, once that loop has closed its port.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "requests/NatRegistry.h"
#include "requests/RedirectorBuilder.h"
#include "requests/RedirectorEntry.h"
#include "requests/RefusalReasons.h"
#include "requests/RequestPacket.h"
#include "requests/ServerMetrics.h"
#include "requests/Settings.h"
#include "runtime/ThreadAnnotations.h"

namespace quorvane {

class TRelayLoop;
class TRequestsServerThread;

// What a NAT request gets: a reply now, none (an Action that is not
// answered), or a reply later (Pending), through the session's Resume().
struct TNatOutcome {
  std::optional<TNatReply> Reply;
  bool Pending = false;
};

// The session |id| of a loop, or null once it has ended. That loop's thread.
using TSessionLookup = std::function<TRequestsServerThread*(TRelayLoop& loop, std::uint64_t id)>;

class TNatRequests final {
 public:
  // All must outlive this.
  TNatRequests(TNatRegistry& registry, TRedirectorBuilder& builder, TServerMetrics& metrics,
               TSessionLookup find_session);
  TNatRequests(const TNatRequests&) = delete;
  TNatRequests& operator=(const TNatRequests&) = delete;

  // Handles one NAT request of |session| (logs the request line). The
  // session's loop thread; takes and releases the registry's lock itself.
  TNatOutcome Handle(TRequestsServerThread& session, const TNatRequest& request) EXCLUDES(registry_.Mutex());

  // Destroys every redirector |session| created, newest first. At the end
  // of the session, on its loop's thread.
  void RemoveOwnedBy(const TRequestsServerThread& session) EXCLUDES(registry_.Mutex());

  // Destroys the redirector with the key (|proto|, |address| network order,
  // |port| as a request carries it) as a delete request would, whoever
  // created it; the owner's session goes on. For the admin endpoint, which
  // is no session: the operator's policy does not apply. False when there is
  // none. Any thread but a loop's (it waits for the redirector's loop to
  // close the port); takes the registry's lock.
  bool DeleteByKey(std::uint32_t proto, std::uint32_t address, std::uint16_t port)
      EXCLUDES(registry_.Mutex());

 private:
  using TDeadEntries = std::vector<std::unique_ptr<TRedirectorEntry>>;

  TNatReply Query(const TRequestsServerThread& session, const TNatRequest& request,
                  const TServerConfig& config) EXCLUDES(registry_.Mutex());
  TNatReply Create(TRequestsServerThread& session, const TNatRequest& request, const TServerConfig& config)
      EXCLUDES(registry_.Mutex());
  // The create under the registry's lock; entries found dead go to |dead|.
  TNatReply CreateLocked(TRequestsServerThread& session, const TNatRequest& request, std::uint8_t profile,
                         const TServerConfig& config, TDeadEntries& dead) REQUIRES(registry_.Mutex());
  // Makes |entry| the session's own, with the shares it holds, records it
  // and logs "... created as ...".
  TNatReply Record(TRequestsServerThread& session, std::unique_ptr<TRedirectorEntry> entry, TAddressSlot slot,
                   fd_budget::TFdGrant descriptors, const TServerConfig& config) REQUIRES(registry_.Mutex());
  TNatOutcome Delete(TRequestsServerThread& session, const TNatRequest& request, const TServerConfig& config)
      EXCLUDES(registry_.Mutex());
  // Takes the entry with |key| out if |visible| says it may be; null when
  // there is none. Dead entries found on the way are destroyed.
  std::unique_ptr<TRedirectorEntry> Take(const TRedirectorKey& key,
                                         const std::function<bool(const TRedirectorEntry&)>& visible)
      EXCLUDES(registry_.Mutex());

  // The "... not created" line and status 255; Fail adds the reason on
  // standard error and counts it, Refuse reports the refusal.
  TNatReply NotCreated(const TNatRequest& request);
  TNatReply Fail(const TNatRequest& request, const std::string& why);
  // Status 255 when the port range is full, with a line on standard error at
  // most every kNoPortLineIntervalMs.
  TNatReply NoFreePort(const TRequestsServerThread& session, const TNatRequest& request,
                       const TServerConfig& config) REQUIRES(registry_.Mutex());
  TNatReply Refuse(const TRequestsServerThread& session, const TNatRequest& request, TRefusalReason reason);
  // The profile a create of |session| uses: the client's own, or for a
  // client registered as BNETD the request's byte.
  std::uint8_t SelectProfile(const TRequestsServerThread& session, const TNatRequest& request)
      EXCLUDES(registry_.Mutex());

  TNatRegistry& registry_;
  TRedirectorBuilder& builder_;
  TServerMetrics& metrics_;
  const TSessionLookup find_session_;
  // When the last "No free port" line went (loop clock), and the creates
  // that failed so since without a line.
  std::optional<std::int64_t> no_port_line_ms_ GUARDED_BY(registry_.Mutex());
  std::uint64_t no_port_unlogged_ GUARDED_BY(registry_.Mutex()) = 0;
};

inline constexpr std::int64_t kNoPortLineIntervalMs = 1000;

}  // namespace quorvane
