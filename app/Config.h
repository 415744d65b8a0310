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

// Appends one address and one mask per entry of |text| (entries split on
// ',', an optional '/' before the mask). Nothing is trimmed, an empty entry
// still counts, and text the dotted conversion rejects becomes
// 255.255.255.255. Values in network order.
void ParseAddressList(std::string_view text, std::vector<std::uint32_t>& addrs,
                      std::vector<std::uint32_t>& masks);

// One profile from its |section|; without EXCLUDE its PORT is not read.
TSettings ReadProfile(const TIniFile& ini, std::string_view section);

// SERVER/HOST, SERVER/PORT, the ten profiles in index order, and the
// LIMITS, POLICY and ADMIN sections. Hosts are not resolved yet.
TServerConfig ReadConfig(const TIniFile& ini);

// Reads |ini|, resolves its hosts and puts the result in force.
void LoadSettings(const TIniFile& ini);

}  // namespace quorvane
