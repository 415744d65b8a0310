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

// Everything the configuration file decides, as plain values.
struct TConfig {
  std::string ServerHost;
  std::uint16_t ServerPort = kDefaultServerPort;
  std::array<TSettings, kProfileCount> Profiles;
};

// Appends one address and one mask per entry of |text| (entries split on
// ',', an optional '/' before the mask). Nothing is trimmed, an empty entry
// still counts, and text the dotted conversion rejects becomes
// 255.255.255.255. Values in network order.
void ParseAddressList(std::string_view text, std::vector<std::uint32_t>& addrs,
                      std::vector<std::uint32_t>& masks);

// One profile from its |section|; without EXCLUDE its PORT is not read.
TSettings ReadProfile(const TIniFile& ini, std::string_view section);

// SERVER/HOST, SERVER/PORT and the ten profiles in index order.
TConfig ReadConfig(const TIniFile& ini);

// Fills ServerHost, ServerPort and ProfileTable from |ini|. Main thread only,
// before any other thread exists: the settings are read without a lock.
void LoadSettings(const TIniFile& ini);

}  // namespace quorvane
