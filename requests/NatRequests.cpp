#include "requests/NatRequests.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "requests/RequestsServer.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "runtime/Refusals.h"

namespace quorvane {
namespace {

using TRedirectors = std::vector<std::unique_ptr<TRedirectorEntry>>;

// What a new redirector needs at once: its listening socket and the wake
// descriptor of its thread.
constexpr long kRedirectorDescriptors = 2;

std::int64_t WallClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

const char* Kind(std::uint32_t proto) { return proto == kProtoTcp ? "TCP" : "UDP"; }

std::string PublicName(const TRedirectorEntry& entry) {
  return AddrToStr(entry.PublicAddr) + ":" + std::to_string(ntohs(entry.PublicPort));
}

bool HasKey(const TRedirectorEntry& entry, std::uint32_t proto, std::uint32_t address, std::uint16_t port) {
  return entry.Proto == proto && entry.ClientPort == port && entry.ClientAddr == address;
}

bool HasKey(const TRedirectorEntry& entry, const TNatRequest& request) {
  return HasKey(entry, request.Proto, request.Address, request.Port);
}

// Destroys the redirector of |*it|, removes its entry and says why on
// standard error. RedirectorList locked.
void Destroy(TRedirectors& redirectors, TRedirectors::iterator it, TServerMetrics& metrics,
             std::string_view why) {
  const std::string name = PublicName(**it);
  const std::uint32_t proto = (*it)->Proto;
  DestroyRedirector(**it, metrics);
  redirectors.erase(it);
  LogError(Kind(proto), " Redirector at ", name, " destroyed: ", why);
}

// Removes entries whose redirector's thread has ended by itself (its
// listener failed), so that no reply names a port that no longer listens.
// RedirectorList locked.
void RemoveDead(TRedirectors& redirectors, TServerMetrics& metrics) {
  std::erase_if(redirectors, [&](const std::unique_ptr<TRedirectorEntry>& entry) {
    if (!entry->Redirector->Finished()) return false;
    LogError(Kind(entry->Proto), " Redirector at ", PublicName(*entry), " removed: its listener failed");
    DestroyRedirector(*entry, metrics);
    return true;
  });
}

// The entry with the request's key that |session| may see, or null.
// RedirectorList locked.
TRedirectorEntry* Find(TRedirectors& redirectors, const TNatRequest& request,
                       const TRequestsServerThread& session, bool owner_only) {
  for (auto& entry : redirectors) {
    if (!HasKey(*entry, request)) continue;
    if (owner_only && entry->Owner != &session) return nullptr;
    return entry.get();
  }
  return nullptr;
}

// Status 3 with the request's own bytes: the answer for a key not found.
TNatReply NotFound(const TNatRequest& request) {
  TNatReply reply;
  reply.Status = kNatNotFound;
  reply.PortBytes = EchoPortBytes(request.Port);
  reply.Address = request.Address;
  return reply;
}

TNatReply Found(const TRedirectorEntry& entry) {
  TNatReply reply;
  reply.Status = kNatOk;
  reply.PortBytes = PublicPortBytes(entry.PublicPort);
  reply.Address = entry.PublicAddr;
  return reply;
}

bool Denied(const TPolicy& policy, std::uint32_t target) {
  for (std::size_t i = 0; i < policy.DenyAddrs.size(); ++i) {
    if (AddressMatches(target, policy.DenyAddrs[i], policy.DenyMasks[i])) return true;
  }
  return false;
}

}  // namespace

void DestroyRedirector(TRedirectorEntry& entry, TServerMetrics& metrics) {
  entry.Redirector->Terminate();
  entry.Redirector->WaitFor();
  entry.Redirector.reset();
  // Its thread has ended, so its counts are final; a TCP redirector's
  // relays go on and count in the engine.
  if (entry.Proto != kProtoTcp && entry.Stats) metrics.RetireUdp(*entry.Stats);
}

std::optional<TNatReply> TNatRequests::Handle(TRequestsServerThread& session, const TNatRequest& request) {
  Log("NAT request type ", request.Action, " for ", AddrToStr(request.Address), ":", request.Port,
      " / proto=", request.Proto);
  // Taken whole before any lock: a reload meanwhile changes nothing here.
  const TConfigSnapshot config = CurrentConfig();
  const std::size_t slot = std::min<std::size_t>(request.Action, TServerMetrics::kActionSlots - 1);
  server_.Metrics().NatRequests[slot].fetch_add(1, std::memory_order_relaxed);
  switch (request.Action) {
    case kNatQuery:
      return Query(session, request, *config);
    case kNatCreate:
      return Create(session, request, *config);
    case kNatDelete:
      return Delete(session, request, *config);
    default:
      return std::nullopt;  // logged, never answered
  }
}

TNatReply TNatRequests::Query(const TRequestsServerThread& session, const TNatRequest& request,
                              const TServerConfig& config) {
  auto redirectors = server_.RedirectorList.LockList();
  RemoveDead(*redirectors, server_.Metrics());
  const TRedirectorEntry* entry = Find(*redirectors, request, session, config.Policy.OwnerOnly);
  LogError("NAT query for ", AddrToStr(request.Address), ":", request.Port, " / proto=", request.Proto,
           entry ? ": found at " + PublicName(*entry) : std::string(": not found"));
  return entry ? Found(*entry) : NotFound(request);
}

std::uint8_t TNatRequests::SelectProfile(const TRequestsServerThread& session, const TNatRequest& request) {
  std::uint8_t profile = 0;
  {
    auto clients = server_.ClientList.LockList();
    for (const auto& entry : *clients) {
      if (entry->Session == &session) {
        profile = entry->Profile;
        break;
      }
    }
  }
  return profile == kBnetdProfile ? request.Profile : profile;
}

TNatReply TNatRequests::Create(TRequestsServerThread& session, const TNatRequest& request,
                               const TServerConfig& config) {
  const bool tcp = request.Proto == kProtoTcp;
  const std::uint32_t peer = session.Peer().sin_addr.s_addr;
  const auto not_created = [&] {
    Log(tcp ? "TCP Redirector not created" : "UDP Redirector not created");
    TNatReply reply = NotFound(request);
    reply.Status = kNatFailed;
    return reply;
  };
  // The protocol's line says only that it failed; the reason goes to
  // standard error right after it.
  const auto fail = [&](const std::string& why) {
    server_.Metrics().CreatesFailed.fetch_add(1, std::memory_order_relaxed);
    TNatReply reply = not_created();
    LogError(Kind(request.Proto), " Redirector for ", AddrToStr(request.Address), ":", request.Port,
             " not created: ", why);
    return reply;
  };
  const auto refuse = [&](TRefusalReason reason) {
    ReportRefusal(TRefusedWork::kCreate, reason, peer);
    return not_created();
  };

  // Only clients registered under the BNETD name choose the profile by byte,
  // and they can send any byte: one past the table is a failed create.
  const std::uint8_t profile = SelectProfile(session, request);
  if (profile >= kProfileCount) return fail("there is no profile " + std::to_string(profile));
  const TSettings& settings = config.ProfileTable[profile];

  const TPolicy& policy = config.Policy;
  if (policy.Targets == TTargetPolicy::kPeer && request.Address != peer) {
    return refuse(TRefusalReason::kTargets);
  }
  if (Denied(policy, request.Address)) return refuse(TRefusalReason::kDeny);

  // Held from the lookup to the insert, so that two sessions creating one
  // key at once get one redirector.
  auto redirectors = server_.RedirectorList.LockList();
  RemoveDead(*redirectors, server_.Metrics());
  for (const auto& entry : *redirectors) {
    if (!HasKey(*entry, request)) continue;
    if (policy.OwnerOnly && entry->Owner != &session) return refuse(TRefusalReason::kOwnerOnly);
    server_.Metrics().CreatesReused.fetch_add(1, std::memory_order_relaxed);
    return Found(*entry);
  }

  TAddressSlot slot = server_.RedirectorsByAddress().TryAcquire(peer, config.Limits.RedirectorsPerAddress);
  if (!slot) return refuse(TRefusalReason::kRedirectorsPerAddress);
  if (!fd_budget::HasRoom(kRedirectorDescriptors)) return refuse(TRefusalReason::kDescriptorReserve);
  // The profile's host was resolved when the configuration was loaded.
  if (settings.HostAddr == kAddrNone) {
    return fail(std::string(ProfileSections[profile]) + "/HOST=" + settings.Host +
                " does not resolve to an IPv4 address");
  }

  TRedirectorRequest wanted;
  wanted.Tcp = tcp;
  wanted.ListenHost = settings.Host.empty() ? std::string() : AddrToStr(settings.HostAddr);
  wanted.TargetHost = AddrToStr(request.Address);
  wanted.TargetPort = request.Port;
  wanted.Options.Engine = server_.RelayEngine();
  wanted.Options.ConnectionsPerAddress = config.Limits.ConnectionsPerAddress;
  wanted.Options.UdpSessions =
      config.Limits.UdpSessions == 0 ? std::numeric_limits<std::size_t>::max() : config.Limits.UdpSessions;
  wanted.Options.Stats = std::make_shared<TRedirectorStats>();
  TNewRedirector built = server_.RedirectorFactory()(wanted);
  // A redirector that could not be set up never ran; destroying it here
  // releases everything it holds.
  if (!built.Redirector || !built.Bound) {
    return fail("cannot listen on " +
                (wanted.ListenHost.empty() ? std::string("0.0.0.0") : wanted.ListenHost) + ": " +
                std::error_code(built.SetupError, std::system_category()).message());
  }
  if (!built.Redirector->Resume()) return refuse(TRefusalReason::kThreads);

  auto entry = std::make_unique<TRedirectorEntry>();
  entry->Proto = request.Proto;
  entry->ClientAddr = request.Address;
  entry->ClientPort = request.Port;
  entry->PublicPort = built.Bound->sin_port;
  entry->PublicAddr = built.Bound->sin_addr.s_addr != 0 ? built.Bound->sin_addr.s_addr : config.ServerAddr;
  entry->Redirector = std::move(built.Redirector);
  entry->Owner = &session;
  entry->OwnerSlot = std::move(slot);
  entry->OwnerAddr = peer;
  entry->OwnerPort = ntohs(session.Peer().sin_port);
  entry->CreatedAtMs = WallClockMs();
  entry->Stats = std::move(wanted.Options.Stats);
  Log(tcp ? "TCP Redirector created as " : "UDP Redirector created as ", AddrToStr(entry->PublicAddr), ":",
      ntohs(entry->PublicPort));
  TNatReply reply = Found(*entry);
  redirectors->push_back(std::move(entry));
  server_.Metrics().CreatesCreated.fetch_add(1, std::memory_order_relaxed);
  return reply;
}

TNatReply TNatRequests::Delete(const TRequestsServerThread& session, const TNatRequest& request,
                               const TServerConfig& config) {
  TNatReply reply;
  reply.Status = kNatNotFound;
  auto redirectors = server_.RedirectorList.LockList();
  RemoveDead(*redirectors, server_.Metrics());
  for (auto it = redirectors->begin(); it != redirectors->end(); ++it) {
    if (!HasKey(**it, request)) continue;
    if (config.Policy.OwnerOnly && (*it)->Owner != &session) break;
    reply.Status = kNatOk;
    LogError("NAT delete for ", AddrToStr(request.Address), ":", request.Port, " / proto=", request.Proto,
             ": deleted");
    Destroy(*redirectors, it, server_.Metrics(), "deleted");
    return reply;
  }
  LogError("NAT delete for ", AddrToStr(request.Address), ":", request.Port, " / proto=", request.Proto,
           ": not found");
  return reply;
}

void TNatRequests::RemoveOwnedBy(const TRequestsServerThread& session) {
  auto redirectors = server_.RedirectorList.LockList();
  for (auto i = redirectors->size(); i-- > 0;) {
    auto& entry = (*redirectors)[i];
    if (entry->Owner != &session) continue;
    Destroy(*redirectors, redirectors->begin() + static_cast<std::ptrdiff_t>(i), server_.Metrics(),
            "its session ended");
  }
}

bool TNatRequests::DeleteByKey(std::uint32_t proto, std::uint32_t address, std::uint16_t port) {
  auto redirectors = server_.RedirectorList.LockList();
  RemoveDead(*redirectors, server_.Metrics());
  const auto it = std::find_if(redirectors->begin(), redirectors->end(),
                               [&](const auto& entry) { return HasKey(*entry, proto, address, port); });
  if (it == redirectors->end()) return false;
  Destroy(*redirectors, it, server_.Metrics(), "deleted by the admin endpoint");
  return true;
}

}  // namespace quorvane
