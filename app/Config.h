// Reading the configuration file into the control settings and the game
// profiles. The settings themselves belong to the requests module
// (requests/Settings.h); this file only computes and fills them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/IniFile.h"
#include "requests/Settings.h"

namespace quorvane {

inline constexpr std::uint16_t kDefaultProfilePort = 6112;

inline constexpr std::string_view kServerSection = "SERVER";
inline constexpr std::string_view kLimitsSection = "LIMITS";
inline constexpr std::string_view kPolicySection = "POLICY";
inline constexpr std::string_view kAdminSection = "ADMIN";

// One entry of an address list, as the text stands.
struct TAddressListEntry {
  std::string_view Text;     // the whole entry
  std::string_view Address;  // before the first '/'
  std::string_view Mask;     // after it; "255.255.255.255" when there is no '/'
  bool HasMask = false;
};

// The entries of |text|: split on ',', an optional '/' before the mask.
// Nothing is trimmed, an empty entry still counts, a trailing ',' adds none.
std::vector<TAddressListEntry> SplitAddressList(std::string_view text);

// ANNOUNCE's value: a literal IPv4 address in four decimal parts, network
// order; 0 for anything else (a name, the empty text, 0.0.0.0 and
// 255.255.255.255, which no player can reach).
std::uint32_t AnnounceableAddr(std::string_view text);

// Appends one address and one mask per entry of |text| (SplitAddressList);
// text the dotted conversion rejects becomes 255.255.255.255. Values in
// network order.
void ParseAddressList(std::string_view text, std::vector<std::uint32_t>& addrs,
                      std::vector<std::uint32_t>& masks);

// One profile from its |section|; without EXCLUDE its PORT is not read.
TSettings ReadProfile(const TIniFile& ini, std::string_view section);

// SERVER/HOST, PORT, PORT_MIN, PORT_MAX and ANNOUNCE, the ten profiles in index order, and the
// LIMITS, POLICY and ADMIN sections. Hosts are not resolved yet.
TServerConfig ReadConfig(const TIniFile& ini);

// One setting as the server holds it: "SECTION/KEY" and its value written
// back in the file's own form (text quoted, address lists normalised).
struct TSettingText {
  std::string Name;
  std::string Value;
};

// Every key ReadConfig fills, from |config|, in file order; the profiles
// that share a section appear once. ADMIN/TOKEN is never shown.
std::vector<TSettingText> DescribeConfig(const TServerConfig& config);

}  // namespace quorvane
