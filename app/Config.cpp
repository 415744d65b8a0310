#include "app/Config.h"

#include <arpa/inet.h>

#include <utility>

namespace quorvane {
namespace {

constexpr std::string_view kServerSection = "SERVER";
constexpr std::string_view kDefaultMask = "255.255.255.255";

// The standard dotted conversion; rejected text (the empty text too) is
// all bits set, which is also the default mask.
std::uint32_t DottedToAddr(std::string_view text) { return ::inet_addr(std::string(text).c_str()); }

// The low 16 bits, as a port: 70000 becomes 4464 and -1 becomes 65535.
std::uint16_t LowBits(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

void ParseAddressList(std::string_view text, std::vector<std::uint32_t>& addrs,
                      std::vector<std::uint32_t>& masks) {
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view entry = text.substr(0, comma);
    text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
    const std::size_t slash = entry.find('/');
    const std::string_view addr = entry.substr(0, slash);
    const std::string_view mask = slash == std::string_view::npos ? kDefaultMask : entry.substr(slash + 1);
    addrs.push_back(DottedToAddr(addr));
    masks.push_back(DottedToAddr(mask));
  }
}

TSettings ReadProfile(const TIniFile& ini, std::string_view section) {
  TSettings profile;
  profile.Enabled = ini.ReadBool(section, "ENABLED", false);
  profile.Host = ini.ReadString(section, "HOST", "");
  ParseAddressList(ini.ReadString(section, "INCLUDE", ""), profile.IncludeAddrs, profile.IncludeMasks);
  const std::string exclude = ini.ReadString(section, "EXCLUDE", "");
  if (exclude.empty()) return profile;
  ParseAddressList(exclude, profile.ExcludeAddrs, profile.ExcludeMasks);
  profile.Port = LowBits(ini.ReadInteger(section, "PORT", kDefaultProfilePort));
  return profile;
}

TConfig ReadConfig(const TIniFile& ini) {
  TConfig config;
  config.ServerHost = ini.ReadString(kServerSection, "HOST", "");
  config.ServerPort = LowBits(ini.ReadInteger(kServerSection, "PORT", kDefaultServerPort));
  for (std::size_t i = 0; i < kProfileCount; ++i) config.Profiles[i] = ReadProfile(ini, ProfileSections[i]);
  return config;
}

void LoadSettings(const TIniFile& ini) {
  TConfig config = ReadConfig(ini);
  ServerHost = std::move(config.ServerHost);
  ServerPort = config.ServerPort;
  ProfileTable = std::move(config.Profiles);
}

}  // namespace quorvane
