#include "requests/RedirectorBuilder.h"

#include <arpa/inet.h>

#include <cerrno>
#include <limits>
#include <system_error>
#include <utility>

#include "requests/RequestPacket.h"
#include "runtime/Clock.h"
#include "servers/AddressHelpers.h"
#include "servers/RelayLoop.h"

namespace quorvane {
namespace {

std::string SystemReason(int error) { return std::error_code(error, std::system_category()).message(); }

}  // namespace

TRedirectorRequest TRedirectorBuilder::RequestFor(const TRedirectorKey& key, const TSettings& settings,
                                                  const TServerConfig& config, TRelayLoop& loop,
                                                  std::uint32_t owner) {
  TRedirectorRequest wanted;
  wanted.Tcp = key.Proto == kProtoTcp;
  wanted.ListenHost = settings.Host.empty() ? std::string() : AddrToStr(settings.HostAddr);
  wanted.TargetHost = AddrToStr(key.Address);
  wanted.TargetPort = key.Port;
  wanted.PortMin = config.PortMin;
  wanted.PortMax = config.PortMax;
  wanted.FirstPort = next_port_[wanted.Tcp ? 0 : 1].load(std::memory_order_relaxed);
  // Served by its creator's loop: the session's own delete and end then
  // close its port at once.
  wanted.Options.Loop = &loop;
  wanted.Options.ConnectionsPerAddress = config.Limits.ConnectionsPerAddress;
  wanted.Options.OwnerAddress = owner;
  wanted.Options.PublicAddress = config.ServerAddr;
  wanted.Options.UdpSessions =
      config.Limits.UdpSessions == 0 ? std::numeric_limits<std::size_t>::max() : config.Limits.UdpSessions;
  wanted.Options.Caps = caps_;
  wanted.Options.Stats = std::make_shared<TRedirectorStats>();
  return wanted;
}

TBuiltRedirector TRedirectorBuilder::Build(const TRedirectorKey& key, std::uint8_t profile,
                                           const TServerConfig& config, TRelayLoop& loop,
                                           const sockaddr_in& owner) {
  TBuiltRedirector result;
  const TSettings& settings = config.ProfileTable[profile];
  // The profile's host was resolved when the configuration was loaded.
  if (settings.HostAddr == kAddrNone) {
    result.Why = std::string(ProfileSections[profile]) + "/HOST=" + settings.Host +
                 " does not resolve to an IPv4 address";
    return result;
  }
  TRedirectorRequest wanted = RequestFor(key, settings, config, loop, owner.sin_addr.s_addr);
  TNewRedirector built = factory_(wanted);
  // A redirector that could not be set up never ran; destroying it here
  // releases everything it holds.
  if (!built.Redirector || !built.Bound) {
    result.NoFreePort = config.PortMin != 0 && built.SetupError == EADDRINUSE;
    result.Why = "cannot listen on " +
                 (wanted.ListenHost.empty() ? std::string("0.0.0.0") : wanted.ListenHost) + ": " +
                 SystemReason(built.SetupError);
    return result;
  }
  if (!built.Redirector->Start()) {
    result.Why = "cannot serve it: " + SystemReason(errno);
    return result;
  }
  // The next build starts past this port, so that creates do not try the
  // taken ports at the bottom of the range over and over.
  next_port_[wanted.Tcp ? 0 : 1].store(static_cast<std::uint16_t>(ntohs(built.Bound->sin_port) + 1),
                                       std::memory_order_relaxed);

  auto& entry = result.Entry = std::make_unique<TRedirectorEntry>();
  entry->Proto = key.Proto;
  entry->ClientAddr = key.Address;
  entry->ClientPort = key.Port;
  entry->Profile = profile;
  entry->PublicPort = built.Bound->sin_port;
  entry->PublicAddr = built.Bound->sin_addr.s_addr != 0 ? built.Bound->sin_addr.s_addr : config.ServerAddr;
  entry->Redirector = std::move(built.Redirector);
  entry->OwnerAddr = owner.sin_addr.s_addr;
  entry->OwnerPort = ntohs(owner.sin_port);
  entry->CreatedAtMs = WallMs();
  entry->Stats = std::move(wanted.Options.Stats);
  return result;
}

}  // namespace quorvane
