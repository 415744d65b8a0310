#include "requests/NatRequests.h"

#include <arpa/inet.h>

#include <cerrno>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "requests/RefusalReasons.h"
#include "requests/RequestsServer.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"

namespace quorvane {
namespace {

// What a new redirector needs: its listening socket, and room for its first
// relayed connection, without which it would be announced in vain.
constexpr long kRedirectorDescriptors = 1 + kRelayDescriptors;

constexpr const char* kListenerFailed = "removed: its listener failed";

TRedirectorKey KeyOf(const TNatRequest& request) { return {request.Proto, request.Address, request.Port}; }

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

bool Denied(const TPolicy& policy, std::uint32_t target) {
  for (std::size_t i = 0; i < policy.DenyAddrs.size(); ++i) {
    if (AddressMatches(target, policy.DenyAddrs[i], policy.DenyMasks[i])) return true;
  }
  return false;
}

}  // namespace

TNatRequests::TNatRequests(TRequestsServer& server) : server_(server), registry_(server.Registry()) {}

TNatOutcome TNatRequests::Handle(TRequestsServerThread& session, const TNatRequest& request) {
  Log("NAT request type ", request.Action, " for ", AddrToStr(request.Address), ":", request.Port,
      " / proto=", request.Proto);
  // Taken whole before any lock: a reload meanwhile changes nothing here.
  const TConfigSnapshot config = CurrentConfig();
  const std::size_t slot = std::min<std::size_t>(request.Action, TServerMetrics::kActionSlots - 1);
  server_.Metrics().NatRequests[slot].fetch_add(1, std::memory_order_relaxed);
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
    if (entry != nullptr && config.Policy.OwnerOnly && entry->Owner != &session) entry = nullptr;
    LogInfo("NAT query for ", AddrToStr(request.Address), ":", request.Port, " / proto=", request.Proto,
            entry ? ": found at " + AnnouncedName(*entry, config) : std::string(": not found"));
    reply = entry ? Found(*entry, config) : NotFound(request);
  }
  registry_.DestroyAll(std::move(dead), kListenerFailed);
  return reply;
}

std::uint8_t TNatRequests::SelectProfile(const TRequestsServerThread& session, const TNatRequest& request) {
  std::uint8_t profile = 0;
  server_.Registry().UpdateClient(session.Entry(), [&](TClientEntry& entry) { profile = entry.Profile; });
  return profile == kBnetdProfile ? request.Profile : profile;
}

TNatReply TNatRequests::NotCreated(const TNatRequest& request) {
  Log(request.Proto == kProtoTcp ? "TCP Redirector not created" : "UDP Redirector not created");
  TNatReply reply = NotFound(request);
  reply.Status = kNatFailed;
  return reply;
}

TNatReply TNatRequests::Fail(const TNatRequest& request, const std::string& why) {
  server_.Metrics().CreatesFailed.fetch_add(1, std::memory_order_relaxed);
  // The protocol's line says only that it failed; the reason goes to
  // standard error right after it.
  TNatReply reply = NotCreated(request);
  LogWarning(RedirectorKind(request.Proto), " Redirector for ", AddrToStr(request.Address), ":", request.Port,
             " not created: ", why);
  return reply;
}

TNatReply TNatRequests::NoFreePort(const TRequestsServerThread& session, const TNatRequest& request,
                                   const TServerConfig& config) {
  server_.Metrics().CreatesFailed.fetch_add(1, std::memory_order_relaxed);
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
  const TPolicy& policy = config.Policy;
  if (policy.Targets == TTargetPolicy::kPeer && request.Address != session.Peer().sin_addr.s_addr) {
    return Refuse(session, request, TRefusalReason::kTargets);
  }
  if (Denied(policy, request.Address)) return Refuse(session, request, TRefusalReason::kDeny);

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
  const TSettings& settings = config.ProfileTable[profile];
  const std::uint32_t peer = session.Peer().sin_addr.s_addr;
  if (const TRedirectorEntry* entry = registry_.Find(KeyOf(request), dead)) {
    if (config.Policy.OwnerOnly && entry->Owner != &session) {
      return Refuse(session, request, TRefusalReason::kOwnerOnly);
    }
    server_.Metrics().CreatesReused.fetch_add(1, std::memory_order_relaxed);
    return Found(*entry, config);
  }

  TAddressSlot slot = server_.RedirectorsByAddress().TryAcquire(peer, config.Limits.RedirectorsPerAddress);
  if (!slot) return Refuse(session, request, TRefusalReason::kRedirectorsPerAddress);
  if (!fd_budget::HasRoom(kRedirectorDescriptors)) {
    return Refuse(session, request, TRefusalReason::kDescriptorReserve);
  }
  // The listener is the redirector's own; its sessions and relays draw on
  // their shares as they come.
  fd_budget::TFdRefusal why{};
  fd_budget::TFdGrant descriptors = fd_budget::TryAcquire(fd_budget::TFdKind::kRedirector, peer, 1, &why);
  // Listeners share their kind with UDP session sockets: a forged spray's
  // unconfirmed sessions give way to a create as they do to a player.
  if (!descriptors && why != fd_budget::TFdRefusal::kFairShare && session.Loop().InLoopThread() &&
      session.Loop().ShedUnconfirmed()) {
    descriptors = fd_budget::TryAcquire(fd_budget::TFdKind::kRedirector, peer, 1, &why);
  }
  if (!descriptors) return Refuse(session, request, RefusalReasonOf(why));
  // The profile's host was resolved when the configuration was loaded.
  if (settings.HostAddr == kAddrNone) {
    return Fail(request, std::string(ProfileSections[profile]) + "/HOST=" + settings.Host +
                             " does not resolve to an IPv4 address");
  }

  TRedirectorRequest wanted;
  wanted.Tcp = request.Proto == kProtoTcp;
  wanted.ListenHost = settings.Host.empty() ? std::string() : AddrToStr(settings.HostAddr);
  wanted.TargetHost = AddrToStr(request.Address);
  wanted.TargetPort = request.Port;
  wanted.PortMin = config.PortMin;
  wanted.PortMax = config.PortMax;
  std::uint16_t& next_port = next_port_[wanted.Tcp ? 0 : 1];
  wanted.FirstPort = next_port;
  // Served by its creator's loop: the session's own delete and end then
  // close its port at once.
  wanted.Options.Loop = &session.Loop();
  wanted.Options.ConnectionsPerAddress = config.Limits.ConnectionsPerAddress;
  wanted.Options.OwnerAddress = peer;
  wanted.Options.PublicAddress = config.ServerAddr;
  wanted.Options.UdpSessions =
      config.Limits.UdpSessions == 0 ? std::numeric_limits<std::size_t>::max() : config.Limits.UdpSessions;
  wanted.Options.Caps = server_.PlayerCaps();
  wanted.Options.Stats = std::make_shared<TRedirectorStats>();
  TNewRedirector built = server_.RedirectorFactory()(wanted);
  // A redirector that could not be set up never ran; destroying it here
  // releases everything it holds.
  if (!built.Redirector || !built.Bound) {
    if (config.PortMin != 0 && built.SetupError == EADDRINUSE) return NoFreePort(session, request, config);
    return Fail(request, "cannot listen on " +
                             (wanted.ListenHost.empty() ? std::string("0.0.0.0") : wanted.ListenHost) + ": " +
                             std::error_code(built.SetupError, std::system_category()).message());
  }
  if (!built.Redirector->Start()) {
    return Fail(request,
                std::string("cannot serve it: ") + std::error_code(errno, std::system_category()).message());
  }

  // The next create starts past this port, so that creates do not try the
  // taken ports at the bottom of the range over and over.
  next_port = static_cast<std::uint16_t>(ntohs(built.Bound->sin_port) + 1);

  auto entry = std::make_unique<TRedirectorEntry>();
  entry->Proto = request.Proto;
  entry->Profile = profile;
  entry->ClientAddr = request.Address;
  entry->ClientPort = request.Port;
  entry->PublicPort = built.Bound->sin_port;
  entry->PublicAddr = built.Bound->sin_addr.s_addr != 0 ? built.Bound->sin_addr.s_addr : config.ServerAddr;
  entry->Redirector = std::move(built.Redirector);
  entry->Owner = &session;
  entry->OwnerEntry = session.Entry();
  entry->OwnerSlot = std::move(slot);
  entry->Descriptors = std::move(descriptors);
  entry->OwnerAddr = peer;
  entry->OwnerPort = ntohs(session.Peer().sin_port);
  entry->CreatedAtMs = WallMs();
  entry->Stats = std::move(wanted.Options.Stats);
  Log(request.Proto == kProtoTcp ? "TCP Redirector created as " : "UDP Redirector created as ",
      AnnouncedName(*entry, config));
  const TNatReply reply = Found(registry_.Insert(std::move(entry)), config);
  server_.Metrics().CreatesCreated.fetch_add(1, std::memory_order_relaxed);
  return reply;
}

TNatOutcome TNatRequests::Delete(TRequestsServerThread& session, const TNatRequest& request,
                                 const TServerConfig& config) {
  TDeadEntries dead;
  std::unique_ptr<TRedirectorEntry> removed;
  {
    TMutexLock lock(registry_.Mutex());
    TRedirectorEntry* entry = registry_.Find(KeyOf(request), dead);
    if (entry != nullptr && !(config.Policy.OwnerOnly && entry->Owner != &session)) {
      removed = registry_.Remove(*entry);
    }
  }
  registry_.DestroyAll(std::move(dead), kListenerFailed);
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
  TRequestsServer& server = server_;
  registry_.Destroy(std::move(removed), "destroyed: deleted", [&home, &server, id, reply] {
    home.Post([&server, &home, id, reply] {
      if (TRequestsServerThread* waiting = server.FindSession(home, id)) waiting->Resume(reply);
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
  TDeadEntries dead;
  std::unique_ptr<TRedirectorEntry> removed;
  {
    TMutexLock lock(registry_.Mutex());
    if (TRedirectorEntry* entry = registry_.Find({proto, address, port}, dead))
      removed = registry_.Remove(*entry);
  }
  registry_.DestroyAll(std::move(dead), kListenerFailed);
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
