// The control settings and the table of game profiles. The main sequence
// fills them once on the main thread before any other thread exists; from
// then on every thread reads them without a lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
};

// Section names by profile index; 2 to 5 share one section.
inline constexpr std::array<std::string_view, kProfileCount> ProfileSections = {
    "UNKNOWN", "BOT",   "HEROES3",   "HEROES3", "HEROES3",
    "HEROES3", "BNETD", "WARCRAFT3", "DIABLO2", "STARCRAFT"};

extern std::array<TSettings, kProfileCount> ProfileTable;
extern std::string ServerHost;
extern std::uint16_t ServerPort;

}  // namespace quorvane
