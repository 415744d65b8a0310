// The server's configuration: the control settings, the table of game
// profiles, the limits and the operator's policy. Each loaded configuration
// is an immutable snapshot; readers take the one in force whole with
// CurrentConfig() and keep it for as long as one request needs it, so no
// request ever sees half of two files. A reload publishes a new snapshot;
// sessions and redirectors that exist keep what they were built with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "servers/Players.h"

namespace quorvane {

inline constexpr std::uint16_t kDefaultServerPort = 9989;
inline constexpr std::size_t kProfileCount = 10;
inline constexpr std::uint8_t kBnetdProfile = 6;
inline constexpr std::string_view kBnetdClientName = "BNETD";

// One game profile. Entry i of IncludeMasks belongs to entry i of
// IncludeAddrs (likewise for the exclude list); all values network order.
struct TSettings {
  bool Enabled = false;
  std::string Host;  // where its redirectors listen; empty: every local address
  std::vector<std::uint32_t> IncludeMasks;
  std::vector<std::uint32_t> ExcludeMasks;
  std::vector<std::uint32_t> IncludeAddrs;
  std::vector<std::uint32_t> ExcludeAddrs;
  std::uint16_t Port = 0;  // sent with every address-list entry
  // Host resolved once, when the snapshot is made (MakeConfigSnapshot), so
  // that no request waits for a name lookup: 0 (every local address) when
  // Host is empty, kAddrNone when it does not resolve to an IPv4 address.
  std::uint32_t HostAddr = 0;
  // The address NAT replies carry for its redirectors instead of the one
  // they listen on (a server behind a 1:1 NAT): a literal IPv4 address, read
  // as the file is read; 0 when empty (or not a literal, which the checks
  // refuse).
  std::string Announce;
  std::uint32_t AnnounceAddr = 0;
};

// Section names by profile index; 2 to 5 share one section.
inline constexpr std::array<std::string_view, kProfileCount> ProfileSections = {
    "UNKNOWN", "BOT",   "HEROES3",   "HEROES3", "HEROES3",
    "HEROES3", "BNETD", "WARCRAFT3", "DIABLO2", "STARCRAFT"};

// Section [LIMITS]: fair shares per IPv4 address; 0 means no limit.
struct TLimits {
  std::uint32_t SessionsPerAddress = 128;     // control sessions open at once
  std::uint32_t RedirectorsPerAddress = 256;  // redirectors owned by its sessions
  std::uint32_t ConnectionsPerAddress = 256;  // per redirector: relays or UDP sessions
  std::uint32_t UdpSessions = 1024;           // per UDP redirector, from all addresses
  std::uint32_t RequestsPerAddress = 1000;    // Nop, Register and NAT requests a second
  // Shares of the descriptors above the reserve, in percent, for control
  // sessions, redirectors (listeners and UDP session sockets) and TCP
  // relays; 0: no share of its own (runtime/FdBudget.h).
  std::uint32_t SessionDescriptors = 20;
  std::uint32_t RedirectorDescriptors = 40;
  std::uint32_t RelayDescriptors = 40;
  // The player caps (servers/Players.h), a second: what one remote address
  // may send through one redirector, and what all of one redirector's
  // players may send together; 0: no cap.
  std::uint32_t UdpDatagramsPerPlayer = static_cast<std::uint32_t>(kDefaultUdpDatagramsPerPlayer);
  std::uint32_t UdpBytesPerPlayer = static_cast<std::uint32_t>(kDefaultUdpBytesPerPlayer);
  std::uint32_t TcpBytesPerPlayer = static_cast<std::uint32_t>(kDefaultTcpBytesPerPlayer);
  std::uint32_t BytesPerRedirector = static_cast<std::uint32_t>(kDefaultBytesPerRedirector);
};

// Puts the caps of |limits| into |caps|, where the redirectors that share
// it read them at their next refill. Any thread.
void StoreCaps(const TLimits& limits, TPlayerCaps& caps);

// Section [POLICY]: what an operator may forbid; everything is allowed by
// default, as the protocol has it.
enum class TTargetPolicy : std::uint8_t {
  kAny,   // any target address
  kPeer,  // only the requesting session's own peer address
};
struct TPolicy {
  TTargetPolicy Targets = TTargetPolicy::kAny;
  // Targets refused by a create: entry i is DenyAddrs[i]/DenyMasks[i].
  std::vector<std::uint32_t> DenyAddrs;
  std::vector<std::uint32_t> DenyMasks;
  // Only the session that created a redirector sees it.
  bool OwnerOnly = false;
};

// Section [ADMIN]: the operator's HTTP endpoint; Port 0 means off.
struct TAdminSettings {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = 0;
  std::string Token;
  // ADMIN/TOKEN_FILE as written; Token then holds what the file says.
  std::string TokenFile;
};

struct TServerConfig {
  std::string ServerHost;  // SERVER/HOST
  std::uint16_t ServerPort = kDefaultServerPort;
  // Where redirectors listen: a port from PortMin to PortMax; both 0 (the
  // only other value the file can give them) let the system choose.
  std::uint16_t PortMin = 0;
  std::uint16_t PortMax = 0;
  // SERVER/ANNOUNCE: as a profile's, for every profile without its own.
  std::string Announce;
  std::uint32_t AnnounceAddr = 0;
  std::array<TSettings, kProfileCount> ProfileTable;
  TLimits Limits;
  TPolicy Policy;
  TAdminSettings Admin;
  // ResolveHost(ServerHost), resolved when the snapshot is made: the start
  // line's address, and the public address announced for redirectors of a
  // profile whose Host is empty.
  std::uint32_t ServerAddr = 0;
};

// What NAT replies carry for a redirector of |profile| bound at |bound|
// (network order): the profile's ANNOUNCE, else SERVER/ANNOUNCE, else
// |bound| itself.
std::uint32_t AnnouncedAddr(const TServerConfig& config, std::uint8_t profile, std::uint32_t bound);

using TConfigSnapshot = std::shared_ptr<const TServerConfig>;

// Resolves every configured host (ServerAddr, each profile's HostAddr) and
// freezes |config|. May block in name lookups: call it where waiting is
// harmless (start-up, reload), never under a registry lock.
TConfigSnapshot MakeConfigSnapshot(TServerConfig config);

// The snapshot in force; never null (the defaults until one is published).
// Any thread.
TConfigSnapshot CurrentConfig();
// Puts |config| in force for every request from now on. Any thread.
void PublishConfig(TConfigSnapshot config);

// True when |addr| falls in the entry |base|/|mask| (all network order).
inline bool AddressMatches(std::uint32_t addr, std::uint32_t base, std::uint32_t mask) {
  return (addr & mask) == (base & mask);
}

}  // namespace quorvane
