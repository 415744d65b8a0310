#include "requests/NatRequests.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>
#include <utility>

#include "requests/CreatePolicy.h"
#include "requests/RefusalReasons.h"
#include "requests/RequestsServerThread.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "servers/AddressHelpers.h"
#include "servers/RelayLoop.h"
#include "servers/TCPRelay.h"

namespace quorvane {
namespace {

// What a new redirector needs: its listening socket, and room for its first
// relayed connection, without which it would be announced in vain.
constexpr long kRedirectorDescriptors = 1 + kRelayDescriptors;

constexpr const char* kListenerFailed = "removed: its listener failed";

TRedirectorKey KeyOf(const TNatRequest& request) { return {request.Proto, request.Address, request.Port}; }

TKeyHolder HolderOf(const TRedirectorEntry* entry, const TRequestsServerThread& session) {
  if (entry == nullptr) return TKeyHolder::kNobody;
  return entry->OwnerEntry == session.Entry() ? TKeyHolder::kThisSession : TKeyHolder::kOtherSession;
}

// Status 3 with the request's own bytes: the answer for a key not found.
TNatReply NotFound(const TNatRequest& request) {
  TNatReply reply;
  reply.Status = kNatNotFound;
  reply.PortBytes = EchoPortBytes(request.Port);
  reply.Address = request.Address;
  return reply;
}

std::uint32_t Announced(const TRedirectorEntry& entry, const TServerConfig& config) {
  return AnnouncedAddr(config, entry.Profile, entry.PublicAddr);
}

// "A:P" as the replies announce it.
std::string AnnouncedName(const TRedirectorEntry& entry, const TServerConfig& config) {
  return AddrToStr(Announced(entry, config)) + ":" + std::to_string(ntohs(entry.PublicPort));
}

TNatReply Found(const TRedirectorEntry& entry, const TServerConfig& config) {
  TNatReply reply;
  reply.Status = kNatOk;
  reply.PortBytes = PublicPortBytes(entry.PublicPort);
  reply.Address = Announced(entry, config);
  return reply;
}

// The new redirector's listener, charged to its owner's address; empty with
// |why| set when refused. Its sessions and relays draw on their shares as
// they come.
fd_budget::TFdGrant ReserveDescriptors(TRelayLoop& loop, std::uint32_t owner, TRefusalReason& why) {
  if (!fd_budget::HasRoom(kRedirectorDescriptors)) {
    why = TRefusalReason::kDescriptorReserve;
    return {};
  }
  fd_budget::TFdRefusal refusal{};
  fd_budget::TFdGrant descriptors =
      fd_budget::TryAcquire(fd_budget::TFdKind::kRedirector, owner, 1, &refusal);
  // Listeners share their kind with UDP session sockets: a forged spray's
  // unconfirmed sessions give way to a create as they do to a player.
  if (!descriptors && refusal != fd_budget::TFdRefusal::kFairShare && loop.InLoopThread() &&
      loop.ShedUnconfirmed()) {
    descriptors = fd_budget::TryAcquire(fd_budget::TFdKind::kRedirector, owner, 1, &refusal);
  }
  if (!descriptors) why = RefusalReasonOf(refusal);
  return descriptors;
}

}  // namespace

TNatRequests::TNatRequests(TNatRegistry& registry, TRedirectorBuilder& builder, TServerMetrics& metrics,
                           TSessionLookup find_session)
    : registry_(registry), builder_(builder), metrics_(metrics), find_session_(std::move(find_session)) {}

TNatOutcome TNatRequests::Handle(TRequestsServerThread& session, const TNatRequest& request) {
  Log("NAT request type ", request.Action, " for ", AddrToStr(request.Address), ":", request.Port,
      " / proto=", request.Proto);
  // Taken whole before any lock: a reload meanwhile changes nothing here.
  const TConfigSnapshot config = CurrentConfig();
  const std::size_t slot = std::min<std::size_t>(request.Action, TServerMetrics::kActionSlots - 1);
  metrics_.NatRequests[slot].fetch_add(1, std::memory_order_relaxed);
  switch (request.Action) {
    case kNatQuery:
      return {Query(session, request, *config)};
    case kNatCreate:
      return {Create(session, request, *config)};
    case kNatDelete:
      return Delete(session, request, *config);
    default:
      return {};  // logged, never answered
  }
}

TNatReply TNatRequests::Query(const TRequestsServerThread& session, const TNatRequest& request,
                              const TServerConfig& config) {
  TDeadEntries dead;
  TNatReply reply;
  {
    TMutexLock lock(registry_.Mutex());
    const TRedirectorEntry* entry = registry_.Find(KeyOf(request), dead);
    if (!SeesEntry(config.Policy, HolderOf(entry, session))) entry = nullptr;
    LogInfo("NAT query for ", AddrToStr(request.Address), ":", request.Port, " / proto=", request.Proto,
            entry ? ": found at " + AnnouncedName(*entry, config) : std::string(": not found"));
    reply = entry ? Found(*entry, config) : NotFound(request);
  }
  registry_.DestroyAll(std::move(dead), kListenerFailed);
  return reply;
}

std::uint8_t TNatRequests::SelectProfile(const TRequestsServerThread& session, const TNatRequest& request) {
  std::uint8_t profile = 0;
  registry_.UpdateClient(session.Entry(), [&](TClientEntry& entry) { profile = entry.Profile; });
  return profile == kBnetdProfile ? request.Profile : profile;
}

TNatReply TNatRequests::NotCreated(const TNatRequest& request) {
  Log(request.Proto == kProtoTcp ? "TCP Redirector not created" : "UDP Redirector not created");
  TNatReply reply = NotFound(request);
  reply.Status = kNatFailed;
  return reply;
}

TNatReply TNatRequests::Fail(const TNatRequest& request, const std::string& why) {
  metrics_.CreatesFailed.fetch_add(1, std::memory_order_relaxed);
  // The protocol's line says only that it failed; the reason goes to
  // standard error right after it.
  TNatReply reply = NotCreated(request);
  LogWarning(RedirectorKind(request.Proto), " Redirector for ", AddrToStr(request.Address), ":", request.Port,
             " not created: ", why);
  return reply;
}

TNatReply TNatRequests::NoFreePort(const TRequestsServerThread& session, const TNatRequest& request,
                                   const TServerConfig& config) {
  metrics_.CreatesFailed.fetch_add(1, std::memory_order_relaxed);
  TNatReply reply = NotCreated(request);
  // Once the range is full every create fails alike, as often as clients
  // ask: one line a second says so, with how many failed since the last.
  const std::int64_t now = session.Loop().Loop().NowMs();
  ++no_port_unlogged_;
  if (no_port_line_ms_ && now - *no_port_line_ms_ < kNoPortLineIntervalMs) return reply;
  const std::uint64_t more = no_port_unlogged_ - 1;
  no_port_unlogged_ = 0;
  no_port_line_ms_ = now;
  LogWarning(
      "No free port in ", config.PortMin, "-", config.PortMax, " for a ", RedirectorKind(request.Proto),
      " redirector to ", AddrToStr(request.Address), ":", request.Port,
      more == 0 ? std::string() : " (and " + std::to_string(more) + " more creates since the last line)");
  return reply;
}

TNatReply TNatRequests::Refuse(const TRequestsServerThread& session, const TNatRequest& request,
                               TRefusalReason reason) {
  // These two are about the target, which the line then names.
  const bool about_target = reason == TRefusalReason::kTargets || reason == TRefusalReason::kDeny;
  ReportRefusal(TRefusedWork::kCreate, reason, session.Peer().sin_addr.s_addr,
                about_target ? std::optional(TRefusedTarget{request.Address, request.Port}) : std::nullopt);
  return NotCreated(request);
}

TNatReply TNatRequests::Create(TRequestsServerThread& session, const TNatRequest& request,
                               const TServerConfig& config) {
  // Only clients registered under the BNETD name choose the profile by byte,
  // and they can send any byte: one past the table is a failed create.
  const std::uint8_t profile = SelectProfile(session, request);
  if (profile >= kProfileCount) return Fail(request, "there is no profile " + std::to_string(profile));
  if (const auto refused = CheckTarget(config.Policy, session.Peer().sin_addr.s_addr, request.Address)) {
    return Refuse(session, request, *refused);
  }

  TDeadEntries dead;
  TNatReply reply;
  {
    // Held from the lookup to the insert, so that two sessions creating one
    // key at once get one redirector.
    TMutexLock lock(registry_.Mutex());
    reply = CreateLocked(session, request, profile, config, dead);
  }
  registry_.DestroyAll(std::move(dead), kListenerFailed);
  return reply;
}

TNatReply TNatRequests::CreateLocked(TRequestsServerThread& session, const TNatRequest& request,
                                     std::uint8_t profile, const TServerConfig& config, TDeadEntries& dead) {
  const TRedirectorEntry* held = registry_.Find(KeyOf(request), dead);
  const TCreateVerdict verdict = CheckHolder(config.Policy, HolderOf(held, session));
  if (verdict.Action == TCreateAction::kRefuse) return Refuse(session, request, verdict.Reason);
  if (verdict.Action == TCreateAction::kReuse) {
    metrics_.CreatesReused.fetch_add(1, std::memory_order_relaxed);
    return Found(*held, config);
  }

  const std::uint32_t peer = session.Peer().sin_addr.s_addr;
  TAddressSlot slot = registry_.Reserve(peer, config.Limits.RedirectorsPerAddress);
  if (!slot) return Refuse(session, request, TRefusalReason::kRedirectorsPerAddress);
  TRefusalReason why{};
  fd_budget::TFdGrant descriptors = ReserveDescriptors(session.Loop(), peer, why);
  if (!descriptors) return Refuse(session, request, why);

  TBuiltRedirector built = builder_.Build(KeyOf(request), profile, config, session.Loop(), session.Peer());
  if (built.NoFreePort) return NoFreePort(session, request, config);
  if (!built.Entry) return Fail(request, built.Why);
  return Record(session, std::move(built.Entry), std::move(slot), std::move(descriptors), config);
}

TNatReply TNatRequests::Record(TRequestsServerThread& session, std::unique_ptr<TRedirectorEntry> entry,
                               TAddressSlot slot, fd_budget::TFdGrant descriptors,
                               const TServerConfig& config) {
  entry->OwnerEntry = session.Entry();
  entry->OwnerSlot = std::move(slot);
  entry->Descriptors = std::move(descriptors);
  Log(entry->Proto == kProtoTcp ? "TCP Redirector created as " : "UDP Redirector created as ",
      AnnouncedName(*entry, config));
  const TNatReply reply = Found(registry_.Insert(std::move(entry)), config);
  metrics_.CreatesCreated.fetch_add(1, std::memory_order_relaxed);
  return reply;
}

std::unique_ptr<TRedirectorEntry> TNatRequests::Take(
    const TRedirectorKey& key, const std::function<bool(const TRedirectorEntry&)>& visible) {
  TDeadEntries dead;
  std::unique_ptr<TRedirectorEntry> removed;
  {
    TMutexLock lock(registry_.Mutex());
    TRedirectorEntry* entry = registry_.Find(key, dead);
    if (entry != nullptr && visible(*entry)) removed = registry_.Remove(*entry);
  }
  registry_.DestroyAll(std::move(dead), kListenerFailed);
  return removed;
}

TNatOutcome TNatRequests::Delete(TRequestsServerThread& session, const TNatRequest& request,
                                 const TServerConfig& config) {
  std::unique_ptr<TRedirectorEntry> removed = Take(KeyOf(request), [&](const TRedirectorEntry& entry) {
    return SeesEntry(config.Policy, HolderOf(&entry, session));
  });
  TNatReply reply;
  reply.Status = removed ? kNatOk : kNatNotFound;
  LogInfo("NAT delete for ", AddrToStr(request.Address), ":", request.Port, " / proto=", request.Proto,
          removed ? ": deleted" : ": not found");
  if (!removed) return {reply};
  // Already ended when it was served by this session's loop.
  if (!removed->Redirector) {
    registry_.Destroy(std::move(removed), "destroyed: deleted");
    return {reply};
  }
  // Served by another loop: the answer goes out once that loop has closed
  // the port, back on this session's loop, if the session is still there.
  TRelayLoop& home = session.Loop();
  const std::uint64_t id = session.Id();
  registry_.Destroy(std::move(removed), "destroyed: deleted", [this, &home, id, reply] {
    home.Post([this, &home, id, reply] {
      if (TRequestsServerThread* waiting = find_session_(home, id)) waiting->Resume(reply);
    });
  });
  return {std::nullopt, true};
}

void TNatRequests::RemoveOwnedBy(const TRequestsServerThread& session) {
  std::vector<std::unique_ptr<TRedirectorEntry>> owned;
  {
    TMutexLock lock(registry_.Mutex());
    owned = registry_.RemoveOwnedBy(*session.Entry());
  }
  registry_.DestroyAll(std::move(owned), "destroyed: its session ended");
}

bool TNatRequests::DeleteByKey(std::uint32_t proto, std::uint32_t address, std::uint16_t port) {
  std::unique_ptr<TRedirectorEntry> removed =
      Take({proto, address, port}, [](const TRedirectorEntry&) { return true; });
  if (!removed) return false;
  // Answered once the port is closed: on the redirector's loop, waited for.
  if (!removed->Redirector) {
    registry_.Destroy(std::move(removed), "destroyed: deleted by the admin endpoint");
    return true;
  }
  TRelayLoop& loop = removed->Redirector->Loop();
  loop.RunSync([&] { registry_.Destroy(std::move(removed), "destroyed: deleted by the admin endpoint"); });
  return true;
}

}  // namespace quorvane
