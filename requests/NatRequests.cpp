#include <arpa/inet.h>

#include "requests/RequestsServer.h"
#include "runtime/Log.h"

namespace quorvane {
namespace {

using TRedirectors = std::vector<std::unique_ptr<TRedirectorEntry>>;

bool HasKey(const TRedirectorEntry& entry, const TNatRequest& request) {
  return entry.Proto == request.Proto && entry.ClientPort == request.Port &&
         entry.ClientAddr == request.Address;
}

// Index of the entry with the request's key, or -1. RedirectorList locked.
std::ptrdiff_t FindKey(const TRedirectors& redirectors, const TNatRequest& request) {
  for (std::size_t i = 0; i < redirectors.size(); ++i) {
    if (HasKey(*redirectors[i], request)) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

// Answers from the registry: the redirector's public port and address when
// the key exists, else Status 3 with the request's own bytes.
void Lookup(const TRedirectors& redirectors, const TNatRequest& request, TNatReply& reply) {
  reply.Status = kNatNotFound;
  reply.PortBytes = EchoPortBytes(request.Port);
  reply.Address = request.Address;
  const std::ptrdiff_t found = FindKey(redirectors, request);
  if (found < 0) return;
  const TRedirectorEntry& entry = *redirectors[static_cast<std::size_t>(found)];
  reply.Status = kNatOk;
  reply.PortBytes = PublicPortBytes(entry.PublicPort);
  reply.Address = entry.PublicAddr;
}

}  // namespace

void DestroyRedirector(TRedirectorEntry& entry) {
  entry.Redirector->Terminate();
  entry.Redirector->WaitFor();
  entry.Redirector.reset();
}

void TRequestsServerThread::ProcessNatRequest(TPacketView packet) {
  const TNatRequest request = DecodeNatRequest(packet);
  Log("NAT request type ", request.Action, " for ", AddrToStr(request.Address), ":", request.Port,
      " / proto=", request.Proto);
  TNatReply reply;
  switch (request.Action) {
    case kNatQuery:
      NatQuery(request, reply);
      break;
    case kNatCreate:
      NatCreate(request, reply);
      break;
    case kNatDelete:
      NatDelete(request, reply);
      break;
    default:
      return;  // logged, never answered
  }
  Send(Encode(reply));
}

void TRequestsServerThread::NatQuery(const TNatRequest& request, TNatReply& reply) {
  auto redirectors = Server.RedirectorList.LockList();
  Lookup(*redirectors, request, reply);
}

void TRequestsServerThread::NatCreate(const TNatRequest& request, TNatReply& reply) {
  std::uint8_t profile = 0;
  {
    auto clients = Server.ClientList.LockList();
    for (const auto& entry : *clients) {
      if (entry->Session == this) {
        profile = entry->Profile;
        break;
      }
    }
  }
  if (profile == kBnetdProfile) profile = request.Profile;

  // Held from the lookup to the insert, so that two sessions creating one
  // key at once get one redirector.
  auto redirectors = Server.RedirectorList.LockList();
  Lookup(*redirectors, request, reply);
  if (reply.Status == kNatOk) return;

  const bool tcp = request.Proto == kProtoTcp;
  const auto fail = [&] {
    reply.Status = kNatFailed;
    Log(tcp ? "TCP Redirector not created" : "UDP Redirector not created");
  };
  // Only clients registered under the BNETD name choose the profile by byte,
  // and they can send any byte: one past the table is a failed create.
  if (profile >= kProfileCount) return fail();
  const TConfigSnapshot config = CurrentConfig();
  const TSettings& settings = config->ProfileTable[profile];

  // The profile's host was resolved when the configuration was loaded, and
  // is passed on as dotted text, so building the redirector never waits for
  // a name lookup while the registry is locked.
  if (settings.HostAddr == kAddrNone) return fail();
  const std::string host = settings.Host.empty() ? std::string() : AddrToStr(settings.HostAddr);
  std::unique_ptr<TThread> redirector;
  int socket = -1;
  if (tcp) {
    auto tcp_redirector = std::make_unique<TTCPRedirector>(host, AddrToStr(request.Address), 0, request.Port,
                                                           TRedirectorOptions{.Engine = Server.RelayEngine});
    socket = tcp_redirector->Socket();
    redirector = std::move(tcp_redirector);
  } else {
    auto udp_redirector = std::make_unique<TUDPRedirector>(host, host, AddrToStr(request.Address), 0,
                                                           request.Port, kUdpRedirectorTimeoutMs);
    socket = udp_redirector->Socket();
    redirector = std::move(udp_redirector);
  }
  const auto bound = socket >= 0 ? LocalAddress(socket) : std::nullopt;
  // A redirector that cannot be set up or started never ran; destroying it
  // here releases everything it holds.
  if (!bound || !redirector->Resume()) return fail();

  auto entry = std::make_unique<TRedirectorEntry>();
  entry->Proto = request.Proto;
  entry->ClientAddr = request.Address;
  entry->ClientPort = request.Port;
  entry->PublicPort = bound->sin_port;
  entry->PublicAddr = bound->sin_addr.s_addr != 0 ? bound->sin_addr.s_addr : config->ServerAddr;
  entry->Redirector = std::move(redirector);
  entry->Owner = this;

  reply.Status = kNatOk;
  reply.PortBytes = PublicPortBytes(entry->PublicPort);
  reply.Address = entry->PublicAddr;
  Log(tcp ? "TCP Redirector created as " : "UDP Redirector created as ", AddrToStr(entry->PublicAddr), ":",
      ntohs(entry->PublicPort));
  redirectors->push_back(std::move(entry));
}

void TRequestsServerThread::NatDelete(const TNatRequest& request, TNatReply& reply) {
  auto redirectors = Server.RedirectorList.LockList();
  reply.Status = kNatNotFound;
  const std::ptrdiff_t found = FindKey(*redirectors, request);
  if (found < 0) return;
  DestroyRedirector(*(*redirectors)[static_cast<std::size_t>(found)]);
  redirectors->erase(redirectors->begin() + found);
  reply.Status = kNatOk;
}

}  // namespace quorvane
