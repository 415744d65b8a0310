#include "app/Config.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using Values = std::vector<std::uint32_t>;

std::uint32_t Addr(const char* dotted) { return ::inet_addr(dotted); }
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

struct Parsed {
  Values addrs;
  Values masks;
};

Parsed Parse(const std::string& text) {
  Parsed out;
  ParseAddressList(text, out.addrs, out.masks);
  return out;
}

void ExpectUnconfigured(const TSettings& p, std::size_t index) {
  EXPECT_FALSE(p.Enabled) << index;
  EXPECT_TRUE(p.Host.empty()) << index;
  EXPECT_TRUE(p.IncludeAddrs.empty() && p.IncludeMasks.empty()) << index;
  EXPECT_TRUE(p.ExcludeAddrs.empty() && p.ExcludeMasks.empty()) << index;
  EXPECT_EQ(p.Port, 0) << index;
}

TEST(ConfigTest, ServerSectionPortKeepsLowBitsAndFallsBack) {
  const struct {
    const char* port_line;
    std::uint16_t expected;
  } cases[] = {
      {"", kDefaultServerPort}, {"PORT=70000", 4464},
      {"PORT=0x2710", 10000},   {"PORT=abc", kDefaultServerPort},
      {"PORT=-1", 65535},       {"PORT=", kDefaultServerPort},
      {"port = 4000", 4000},
  };
  for (const auto& c : cases) {
    const TConfig config = ReadConfig(TIniFile::FromText(std::string("[SERVER]\n") + c.port_line + "\n"));
    EXPECT_EQ(config.ServerPort, c.expected) << c.port_line;
  }
  EXPECT_EQ(ReadConfig(TIniFile::FromText("[SERVER]\nHOST =   10.0.0.5   \n")).ServerHost, "10.0.0.5");
  EXPECT_EQ(ReadConfig(TIniFile::FromText("")).ServerHost, "");
}

TEST(ConfigTest, AddressListSplitsWithoutTrimming) {
  struct Case {
    const char* text;
    Values addrs;
    Values masks;
  };
  const Case cases[] = {
      {"10.0.0.0/255.0.0.0", {Addr("10.0.0.0")}, {Addr("255.0.0.0")}},
      {"10.0.0.1", {Addr("10.0.0.1")}, {kNone}},
      // The text after '/' is a dotted address, not a prefix length.
      {"10.0.0.0/8", {Addr("10.0.0.0")}, {Addr("0.0.0.8")}},
      {"10.0.0.1,", {Addr("10.0.0.1")}, {kNone}},
      {",10.0.0.1", {kNone, Addr("10.0.0.1")}, {kNone, kNone}},
      {"10.0.0.1,,10.0.0.2", {Addr("10.0.0.1"), kNone, Addr("10.0.0.2")}, {kNone, kNone, kNone}},
      {"10.0.0.1/", {Addr("10.0.0.1")}, {kNone}},
      {"1.2.3.4/255.0.0.0/7", {Addr("1.2.3.4")}, {kNone}},
      {"192.168.0.0/255.255.0.0,10.0.0.1",
       {Addr("192.168.0.0"), Addr("10.0.0.1")},
       {Addr("255.255.0.0"), kNone}},
      {"", {}, {}},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.text);
    EXPECT_EQ(parsed.addrs, c.addrs) << c.text;
    EXPECT_EQ(parsed.masks, c.masks) << c.text;
  }
  // The blank after ',' reaches the conversion, which rejects it.
  const Parsed blank = Parse("10.0.0.1, 10.0.0.2");
  EXPECT_EQ(blank.addrs, (Values{Addr("10.0.0.1"), Addr(" 10.0.0.2")}));
  EXPECT_EQ(blank.addrs[1], kNone);
}

TEST(ConfigTest, ProfilePortReadOnlyWithExclude) {
  const TSettings without = ReadProfile(TIniFile::FromText("[BOT]\nPORT=7000\nINCLUDE=10.0.0.1\n"), "BOT");
  EXPECT_EQ(without.Port, 0);
  EXPECT_EQ(without.IncludeAddrs, Values{Addr("10.0.0.1")});
  EXPECT_TRUE(without.ExcludeAddrs.empty());

  const TSettings with = ReadProfile(TIniFile::FromText("[BOT]\nPORT=7000\nEXCLUDE=10.0.0.2\n"), "BOT");
  EXPECT_EQ(with.Port, 7000);
  EXPECT_EQ(with.ExcludeAddrs, Values{Addr("10.0.0.2")});
  EXPECT_EQ(with.ExcludeMasks, Values{kNone});

  EXPECT_EQ(ReadProfile(TIniFile::FromText("[BOT]\nEXCLUDE=10.0.0.2\n"), "BOT").Port, kDefaultProfilePort);
  EXPECT_EQ(ReadProfile(TIniFile::FromText("[BOT]\nEXCLUDE=x\nPORT=no\n"), "BOT").Port, kDefaultProfilePort);
}

TEST(ConfigTest, Heroes3FillsProfilesTwoToFiveAndMissingSectionsStayEmpty) {
  const TConfig config = ReadConfig(TIniFile::FromText(
      "[heroes3]\nENABLED=1\nHOST=127.0.0.2\nINCLUDE=10.0.0.0/255.0.0.0\nEXCLUDE=10.0.0.9\nPORT=7000\n"
      "[BNETD]\nENABLED=yes\nHOST= 127.0.0.3 \n"));
  for (std::size_t i = 2; i <= 5; ++i) {
    const TSettings& p = config.Profiles[i];
    EXPECT_TRUE(p.Enabled) << i;
    EXPECT_EQ(p.Host, "127.0.0.2") << i;
    EXPECT_EQ(p.IncludeAddrs, Values{Addr("10.0.0.0")}) << i;
    EXPECT_EQ(p.IncludeMasks, Values{Addr("255.0.0.0")}) << i;
    EXPECT_EQ(p.ExcludeAddrs, Values{Addr("10.0.0.9")}) << i;
    EXPECT_EQ(p.Port, 7000) << i;
  }
  EXPECT_FALSE(config.Profiles[6].Enabled);  // "yes" is not an integer
  EXPECT_EQ(config.Profiles[6].Host, "127.0.0.3");
  for (std::size_t i : {0u, 1u, 7u, 8u, 9u}) ExpectUnconfigured(config.Profiles[i], i);
}

TEST(ConfigTest, ShippedExampleFileMeansTheDefaults) {
  const auto path = std::filesystem::path(__FILE__).parent_path() / "../../examples/KELVARD.ini";
  ASSERT_TRUE(std::filesystem::exists(path));
  const TConfig config = ReadConfig(TIniFile(path.string()));
  EXPECT_EQ(config.ServerHost, "");
  EXPECT_EQ(config.ServerPort, kDefaultServerPort);
  for (std::size_t i = 0; i < kProfileCount; ++i) ExpectUnconfigured(config.Profiles[i], i);
}

TEST(ConfigTest, ListLongerThanMaxValueLengthLosesItsTail) {
  // 227 entries of 9 characters fill 2043; the 228th keeps only "10.0".
  std::string list;
  for (int i = 0; i < 300; ++i) list += "10.0.0.1,";
  const TSettings profile = ReadProfile(TIniFile::FromText("[UNKNOWN]\nINCLUDE=" + list + "\n"), "UNKNOWN");
  ASSERT_EQ(profile.IncludeAddrs.size(), 228u);
  EXPECT_EQ(profile.IncludeAddrs[226], Addr("10.0.0.1"));
  EXPECT_EQ(profile.IncludeAddrs[227], Addr("10.0"));
  EXPECT_EQ(profile.IncludeMasks.size(), 228u);
}

TEST(ConfigTest, LoadSettingsFillsTheSharedSettings) {
  LoadSettings(TIniFile::FromText("[SERVER]\nHOST=127.0.0.1\nPORT=4000\n[STARCRAFT]\nEXCLUDE=10.0.0.1\n"));
  EXPECT_EQ(ServerHost, "127.0.0.1");
  EXPECT_EQ(ServerPort, 4000);
  EXPECT_EQ(ProfileTable[9].Port, kDefaultProfilePort);
  LoadSettings(TIniFile::FromText(""));
  EXPECT_EQ(ServerHost, "");
  EXPECT_EQ(ServerPort, kDefaultServerPort);
  EXPECT_EQ(ProfileTable[9].Port, 0);
}

}  // namespace
}  // namespace quorvane
