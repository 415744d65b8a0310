#include "app/Config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/ConfigCheck.h"

namespace quorvane {
namespace {

using Values = std::vector<std::uint32_t>;
std::uint32_t Addr(const char* dotted) { return ::inet_addr(dotted); }
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

// Every field, so one comparison checks a whole profile and prints what differs.
auto Fields(const TSettings& p) {
  return std::tie(p.Enabled, p.Host, p.IncludeAddrs, p.IncludeMasks, p.ExcludeAddrs, p.ExcludeMasks, p.Port);
}

TEST(ConfigTest, ServerPortTakesItsLow16BitsOrTheDefault) {
  const std::pair<const char*, std::uint16_t> cases[] = {
      {"", kDefaultServerPort},         {"[SERVER]\nPORT=70000", 4464},
      {"[SERVER]\nPORT=0x2710", 10000}, {"[SERVER]\nPORT=abc", kDefaultServerPort},
      {"[SERVER]\nPORT=-1", 65535},     {"[SERVER]\nPORT=", kDefaultServerPort},
      {"[SERVER]\nport = 4000", 4000}};
  for (auto [text, port] : cases) EXPECT_EQ(ReadConfig(TIniFile::FromText(text)).ServerPort, port) << text;
}

TEST(ConfigTest, AddressListSplitsWithoutTrimming) {
  const std::tuple<const char*, Values, Values> cases[] = {
      {"10.0.0.0/255.0.0.0,10.0.0.1", {Addr("10.0.0.0"), Addr("10.0.0.1")}, {Addr("255.0.0.0"), kNone}},
      {"10.0.0.0/8", {Addr("10.0.0.0")}, {Addr("0.0.0.8")}},  // a dotted mask, not a prefix length
      {"10.0.0.1,", {Addr("10.0.0.1")}, {kNone}},
      {",10.0.0.1", {kNone, Addr("10.0.0.1")}, {kNone, kNone}},
      {"10.0.0.1,,10.0.0.2", {Addr("10.0.0.1"), kNone, Addr("10.0.0.2")}, {kNone, kNone, kNone}},
      {"10.0.0.1/", {Addr("10.0.0.1")}, {kNone}},
      {"1.2.3.4/255.0.0.0/7", {Addr("1.2.3.4")}, {kNone}},
      {"10.0.0.1, 10.0.0.2", {Addr("10.0.0.1"), kNone}, {kNone, kNone}},  // the blank reaches the conversion
      {"", {}, {}},
  };
  for (const auto& [text, expected_addrs, expected_masks] : cases) {
    Values addrs, masks;
    ParseAddressList(text, addrs, masks);
    EXPECT_EQ(std::tie(addrs, masks), std::tie(expected_addrs, expected_masks)) << text;
  }
}

TEST(ConfigTest, ProfilePortReadOnlyWithExclude) {
  const std::pair<const char*, std::uint16_t> cases[] = {{"[BOT]\nPORT=7000\nINCLUDE=10.0.0.1", 0},
                                                         {"[BOT]\nPORT=7000\nEXCLUDE=10.0.0.2", 7000},
                                                         {"[BOT]\nEXCLUDE=10.0.0.2", kDefaultProfilePort},
                                                         {"[BOT]\nEXCLUDE=x\nPORT=no", kDefaultProfilePort}};
  for (auto [text, port] : cases) EXPECT_EQ(ReadProfile(TIniFile::FromText(text), "BOT").Port, port) << text;
}

TEST(ConfigTest, Heroes3FillsProfilesTwoToFiveOnlyAndMissingSectionsLeaveTheirsEmpty) {
  const TServerConfig config = ReadConfig(TIniFile::FromText(
      "[heroes3]\nENABLED=1\nHOST=127.0.0.2\nINCLUDE=10.0.0.0/255.0.0.0\nEXCLUDE=10.0.0.9\nPORT=7000\n"
      "[BNETD]\nENABLED=yes\nHOST= 127.0.0.3 \nINCLUDE=10.0.0.1\nPORT=7000\n"));
  const auto heroes = std::make_tuple(true, "127.0.0.2", Values{Addr("10.0.0.0")}, Values{Addr("255.0.0.0")},
                                      Values{Addr("10.0.0.9")}, Values{kNone}, 7000);
  for (std::size_t i = 2; i <= 5; ++i) EXPECT_EQ(Fields(config.ProfileTable[i]), heroes) << i;
  // Profile 6 is BNETD's own. "yes" is not an integer, so ENABLED keeps its
  // default; without EXCLUDE there is no PORT.
  EXPECT_EQ(Fields(config.ProfileTable[6]), std::make_tuple(false, "127.0.0.3", Values{Addr("10.0.0.1")},
                                                            Values{kNone}, Values{}, Values{}, 0));
  // Missing sections leave their profiles empty.
  for (std::size_t i : {0u, 1u, 7u, 8u, 9u})
    EXPECT_EQ(Fields(config.ProfileTable[i]), Fields(TSettings{})) << i;
}

auto Caps(const TLimits& l) {
  return std::make_tuple(l.UdpDatagramsPerPlayer, l.UdpBytesPerPlayer, l.TcpBytesPerPlayer,
                         l.BytesPerRedirector);
}

// The caps read as the other limits: 0 is no cap, a negative value keeps the default.
TEST(ConfigTest, PlayerCapsReadAsLimits) {
  const std::pair<const char*, decltype(Caps(TLimits{}))> cases[] = {
      {"", {2000, 4194304, 4194304, 67108864}},
      {"[LIMITS]\nUDP_DATAGRAMS_PER_PLAYER=0\nUDP_BYTES_PER_PLAYER=-1\nTCP_BYTES_PER_PLAYER=2147483647\n"
       "BYTES_PER_REDIRECTOR=x",
       {0, 4194304, 2147483647, 67108864}}};
  for (const auto& [text, caps] : cases)
    EXPECT_EQ(Caps(ReadConfig(TIniFile::FromText(text)).Limits), caps) << text;
}

std::filesystem::path ShippedExample() { return QUORVANE_EXAMPLE_CONFIG; }

// The installed configuration: the defaults, but for a DENY list that
// keeps redirectors out of internal and reserved networks.
TEST(ConfigTest, ShippedExampleReadsAsTheDefaultsButForItsDenyListWithNothingToReport) {
  ASSERT_TRUE(std::filesystem::exists(ShippedExample()));
  const TServerConfig config = ReadConfig(TIniFile(ShippedExample().string()));
  EXPECT_EQ(std::tie(config.ServerHost, config.ServerPort), std::make_tuple("", kDefaultServerPort));
  for (std::size_t i = 0; i < kProfileCount; ++i)
    EXPECT_EQ(Fields(config.ProfileTable[i]), Fields(TSettings{})) << i;
  const TLimits limits;
  const TPolicy policy;
  const TAdminSettings admin;
  const auto& l = config.Limits;
  EXPECT_EQ(std::tie(l.SessionsPerAddress, l.RedirectorsPerAddress, l.ConnectionsPerAddress, l.UdpSessions),
            std::tie(limits.SessionsPerAddress, limits.RedirectorsPerAddress, limits.ConnectionsPerAddress,
                     limits.UdpSessions));
  EXPECT_EQ(Caps(l), Caps(limits));
  const auto& p = config.Policy;
  EXPECT_EQ(std::tie(p.Targets, p.OwnerOnly), std::tie(policy.Targets, policy.OwnerOnly));
  const auto denied = [&p](const char* target) {
    for (std::size_t i = 0; i < p.DenyAddrs.size(); ++i)
      if (AddressMatches(Addr(target), p.DenyAddrs[i], p.DenyMasks[i])) return true;
    return false;
  };
  for (const char* target : {"127.0.0.1", "0.1.2.3", "10.9.9.9", "172.31.0.1", "192.168.1.1", "100.127.0.1",
                             "169.254.1.1", "192.0.2.7", "198.19.0.1", "239.1.1.1", "255.255.255.255"})
    EXPECT_TRUE(denied(target)) << target;
  for (const char* target : {"1.1.1.1", "172.32.0.1", "100.128.0.1", "223.255.255.254"})
    EXPECT_FALSE(denied(target)) << target;
  EXPECT_EQ(std::tie(config.Admin.Host, config.Admin.Port, config.Admin.Token),
            std::tie(admin.Host, admin.Port, admin.Token));
  // Every key it shows is one the server knows, with a value that reads.
  TDiagnostics diagnostics("KELVARD.ini");
  CheckIniFile(TIniFile(ShippedExample().string()), true, diagnostics);
  EXPECT_TRUE(diagnostics.Items().empty()) << diagnostics.Format(diagnostics.Items().front());
}

}  // namespace
}  // namespace quorvane
