#include "app/Config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <utility>

#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

constexpr std::string_view kDefaultMask = "255.255.255.255";

// The standard dotted conversion; rejected text (the empty text too) is
// all bits set, which is also the default mask.
std::uint32_t DottedToAddr(std::string_view text) { return ::inet_addr(std::string(text).c_str()); }

// The low 16 bits, as a port: 70000 becomes 4464 and -1 becomes 65535.
std::uint16_t LowBits(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// A limit: a count, where 0 means none; a negative number keeps the default.
std::uint32_t ReadLimit(const TIniFile& ini, std::string_view key, std::uint32_t default_value) {
  const std::int32_t value = ini.ReadInteger(kLimitsSection, key, static_cast<std::int32_t>(default_value));
  return value < 0 ? default_value : static_cast<std::uint32_t>(value);
}

// A share in percent: 0 to 100; anything else keeps the default.
std::uint32_t ReadPercent(const TIniFile& ini, std::string_view key, std::uint32_t default_value) {
  const std::uint32_t value = ReadLimit(ini, key, default_value);
  return value > 100 ? default_value : value;
}

// PORT_MIN and PORT_MAX together, or neither: anything else (one alone, a
// value outside 1-65535, MIN above MAX) is an error of the checks, and the
// system chooses meanwhile.
void ReadPortRange(const TIniFile& ini, TServerConfig& config) {
  const std::int32_t min = ini.ReadInteger(kServerSection, "PORT_MIN", 0);
  const std::int32_t max = ini.ReadInteger(kServerSection, "PORT_MAX", 0);
  if (min < 1 || max > 0xFFFF || min > max) return;
  config.PortMin = static_cast<std::uint16_t>(min);
  config.PortMax = static_cast<std::uint16_t>(max);
}

TLimits ReadLimits(const TIniFile& ini) {
  const TLimits defaults;
  TLimits limits;
  limits.SessionsPerAddress = ReadLimit(ini, "SESSIONS_PER_ADDRESS", defaults.SessionsPerAddress);
  limits.RedirectorsPerAddress = ReadLimit(ini, "REDIRECTORS_PER_ADDRESS", defaults.RedirectorsPerAddress);
  limits.ConnectionsPerAddress = ReadLimit(ini, "CONNECTIONS_PER_ADDRESS", defaults.ConnectionsPerAddress);
  limits.UdpSessions = ReadLimit(ini, "UDP_SESSIONS", defaults.UdpSessions);
  limits.RequestsPerAddress = ReadLimit(ini, "REQUESTS_PER_ADDRESS", defaults.RequestsPerAddress);
  limits.SessionDescriptors = ReadPercent(ini, "SESSION_DESCRIPTORS", defaults.SessionDescriptors);
  limits.RedirectorDescriptors = ReadPercent(ini, "REDIRECTOR_DESCRIPTORS", defaults.RedirectorDescriptors);
  limits.RelayDescriptors = ReadPercent(ini, "RELAY_DESCRIPTORS", defaults.RelayDescriptors);
  limits.UdpDatagramsPerPlayer = ReadLimit(ini, "UDP_DATAGRAMS_PER_PLAYER", defaults.UdpDatagramsPerPlayer);
  limits.UdpBytesPerPlayer = ReadLimit(ini, "UDP_BYTES_PER_PLAYER", defaults.UdpBytesPerPlayer);
  limits.TcpBytesPerPlayer = ReadLimit(ini, "TCP_BYTES_PER_PLAYER", defaults.TcpBytesPerPlayer);
  limits.BytesPerRedirector = ReadLimit(ini, "BYTES_PER_REDIRECTOR", defaults.BytesPerRedirector);
  return limits;
}

TPolicy ReadPolicy(const TIniFile& ini) {
  TPolicy policy;
  const std::string targets = ini.ReadString(kPolicySection, "TARGETS", "ANY");
  if (EqualsNoCase(targets, "PEER")) policy.Targets = TTargetPolicy::kPeer;
  ParseAddressList(ini.ReadString(kPolicySection, "DENY", ""), policy.DenyAddrs, policy.DenyMasks);
  policy.OwnerOnly = ini.ReadBool(kPolicySection, "OWNER_ONLY", false);
  return policy;
}

TAdminSettings ReadAdmin(const TIniFile& ini) {
  TAdminSettings admin;
  admin.Host = ini.ReadString(kAdminSection, "HOST", admin.Host);
  admin.Port = LowBits(ini.ReadInteger(kAdminSection, "PORT", 0));
  admin.Token = ini.ReadString(kAdminSection, "TOKEN", "");
  admin.TokenFile = ini.ReadString(kAdminSection, "TOKEN_FILE", "");
  return admin;
}

}  // namespace

std::vector<TAddressListEntry> SplitAddressList(std::string_view text) {
  std::vector<TAddressListEntry> entries;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    TAddressListEntry entry;
    entry.Text = text.substr(0, comma);
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    const std::size_t slash = entry.Text.find('/');
    entry.HasMask = slash != std::string_view::npos;
    entry.Address = entry.Text.substr(0, slash);
    entry.Mask = entry.HasMask ? entry.Text.substr(slash + 1) : kDefaultMask;
    entries.push_back(entry);
  }
  return entries;
}

std::uint32_t AnnounceableAddr(std::string_view text) {
  in_addr parsed{};
  // inet_pton, unlike the dotted conversion of the address lists, takes
  // only four decimal parts: "10.1" or "010.0.0.1" are not what they seem.
  if (::inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1) return 0;
  return parsed.s_addr == kAddrNone ? 0 : parsed.s_addr;
}

void ParseAddressList(std::string_view text, std::vector<std::uint32_t>& addrs,
                      std::vector<std::uint32_t>& masks) {
  for (const TAddressListEntry& entry : SplitAddressList(text)) {
    addrs.push_back(DottedToAddr(entry.Address));
    masks.push_back(DottedToAddr(entry.Mask));
  }
}

TSettings ReadProfile(const TIniFile& ini, std::string_view section) {
  TSettings profile;
  profile.Enabled = ini.ReadBool(section, "ENABLED", false);
  profile.Host = ini.ReadString(section, "HOST", "");
  profile.Announce = ini.ReadString(section, "ANNOUNCE", "");
  profile.AnnounceAddr = AnnounceableAddr(profile.Announce);
  ParseAddressList(ini.ReadString(section, "INCLUDE", ""), profile.IncludeAddrs, profile.IncludeMasks);
  const std::string exclude = ini.ReadString(section, "EXCLUDE", "");
  if (exclude.empty()) return profile;
  ParseAddressList(exclude, profile.ExcludeAddrs, profile.ExcludeMasks);
  profile.Port = LowBits(ini.ReadInteger(section, "PORT", kDefaultProfilePort));
  return profile;
}

TServerConfig ReadConfig(const TIniFile& ini) {
  TServerConfig config;
  config.ServerHost = ini.ReadString(kServerSection, "HOST", "");
  config.ServerPort = LowBits(ini.ReadInteger(kServerSection, "PORT", kDefaultServerPort));
  ReadPortRange(ini, config);
  config.Announce = ini.ReadString(kServerSection, "ANNOUNCE", "");
  config.AnnounceAddr = AnnounceableAddr(config.Announce);
  for (std::size_t i = 0; i < kProfileCount; ++i) {
    config.ProfileTable[i] = ReadProfile(ini, ProfileSections[i]);
  }
  config.Limits = ReadLimits(ini);
  config.Policy = ReadPolicy(ini);
  config.Admin = ReadAdmin(ini);
  return config;
}

namespace {

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// An address list as the dotted conversion read it: "10.0.0.0/255.0.0.0",
// a single address without its all-ones mask.
std::string ListText(const std::vector<std::uint32_t>& addrs, const std::vector<std::uint32_t>& masks) {
  std::string text;
  for (std::size_t i = 0; i < addrs.size() && i < masks.size(); ++i) {
    if (i > 0) text += ',';
    text += AddrToStr(addrs[i]);
    if (masks[i] != kAddrNone) text += "/" + AddrToStr(masks[i]);
  }
  return Quoted(text);
}

}  // namespace

std::vector<TSettingText> DescribeConfig(const TServerConfig& config) {
  std::vector<TSettingText> out;
  const auto add = [&out](std::string_view section, std::string_view key, std::string value) {
    out.push_back({std::string(section) + "/" + std::string(key), std::move(value)});
  };
  add(kServerSection, "HOST", Quoted(config.ServerHost));
  add(kServerSection, "PORT", std::to_string(config.ServerPort));
  add(kServerSection, "PORT_MIN", std::to_string(config.PortMin));
  add(kServerSection, "PORT_MAX", std::to_string(config.PortMax));
  add(kServerSection, "ANNOUNCE", Quoted(config.Announce));
  for (std::size_t i = 0; i < kProfileCount; ++i) {
    const std::string_view section = ProfileSections[i];
    if (std::find(ProfileSections.begin(), ProfileSections.begin() + i, section) !=
        ProfileSections.begin() + i) {
      continue;
    }
    const TSettings& profile = config.ProfileTable[i];
    add(section, "ENABLED", profile.Enabled ? "1" : "0");
    add(section, "HOST", Quoted(profile.Host));
    add(section, "ANNOUNCE", Quoted(profile.Announce));
    add(section, "INCLUDE", ListText(profile.IncludeAddrs, profile.IncludeMasks));
    add(section, "EXCLUDE", ListText(profile.ExcludeAddrs, profile.ExcludeMasks));
    add(section, "PORT", std::to_string(profile.Port));
  }
  const TLimits& limits = config.Limits;
  add(kLimitsSection, "SESSIONS_PER_ADDRESS", std::to_string(limits.SessionsPerAddress));
  add(kLimitsSection, "REDIRECTORS_PER_ADDRESS", std::to_string(limits.RedirectorsPerAddress));
  add(kLimitsSection, "CONNECTIONS_PER_ADDRESS", std::to_string(limits.ConnectionsPerAddress));
  add(kLimitsSection, "UDP_SESSIONS", std::to_string(limits.UdpSessions));
  add(kLimitsSection, "REQUESTS_PER_ADDRESS", std::to_string(limits.RequestsPerAddress));
  add(kLimitsSection, "SESSION_DESCRIPTORS", std::to_string(limits.SessionDescriptors));
  add(kLimitsSection, "REDIRECTOR_DESCRIPTORS", std::to_string(limits.RedirectorDescriptors));
  add(kLimitsSection, "RELAY_DESCRIPTORS", std::to_string(limits.RelayDescriptors));
  add(kLimitsSection, "UDP_DATAGRAMS_PER_PLAYER", std::to_string(limits.UdpDatagramsPerPlayer));
  add(kLimitsSection, "UDP_BYTES_PER_PLAYER", std::to_string(limits.UdpBytesPerPlayer));
  add(kLimitsSection, "TCP_BYTES_PER_PLAYER", std::to_string(limits.TcpBytesPerPlayer));
  add(kLimitsSection, "BYTES_PER_REDIRECTOR", std::to_string(limits.BytesPerRedirector));
  const TPolicy& policy = config.Policy;
  add(kPolicySection, "TARGETS", Quoted(policy.Targets == TTargetPolicy::kPeer ? "PEER" : "ANY"));
  add(kPolicySection, "DENY", ListText(policy.DenyAddrs, policy.DenyMasks));
  add(kPolicySection, "OWNER_ONLY", policy.OwnerOnly ? "1" : "0");
  // No ADMIN/TOKEN: a secret has no place in the log.
  add(kAdminSection, "HOST", Quoted(config.Admin.Host));
  add(kAdminSection, "PORT", std::to_string(config.Admin.Port));
  add(kAdminSection, "TOKEN_FILE", Quoted(config.Admin.TokenFile));
  return out;
}

}  // namespace quorvane
