#include "app/IniFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>

namespace quorvane {
namespace {

// Names ignore case while values keep their inner blanks; only the first key
// of the first section counts; a long value is cut at the limit.
TEST(IniFileTest, ReadStringFindsTheFirstKeyOfTheFirstSectionWhateverTheCase) {
  const std::string kept(kMaxValueLength, 'a');
  const TIniFile sample = TIniFile::FromText(
      "orphan=before any section\n[Server]\nHost =  10.0.0.5  \n; port=1\n  ;indented=2\nPORT=first\n"
      "port=second\nName = two  words \t\nno equals sign\n[SERVER]\nEXTRA=repeated section\n[ other ]\n"
      "key=\nlong=" +
      kept + "bcd\n");
  // Section, key and what ReadString gives with the default "d".
  const std::array<const char*, 3> cases[] = {
      {"SERVER", "HOST", "10.0.0.5"}, {"server", "host", "10.0.0.5"}, {"SERVER", "NAME", "two  words"},
      {"OTHER", "KEY", ""},           {"SERVER", "PORT", "first"},    {"SERVER", "; port", "d"},
      {"SERVER", ";indented", "d"},   {"SERVER", "EXTRA", "d"},       {"SERVER", "orphan", "d"},
      {"OTHER", "MISSING", "d"},      {"MISSING", "KEY", "d"},        {"OTHER", "LONG", kept.c_str()}};
  for (const auto& c : cases) EXPECT_EQ(sample.ReadString(c[0], c[1], "d"), c[2]) << c[0] << '/' << c[1];
}

// A file saved with a byte order mark reads across CR LF lines; a missing
// file gives the defaults, but an unreadable one is a failure.
TEST(IniFileTest, FileWithByteOrderMarkReadsAcrossCrLfLinesAndOnlyAMissingOneGivesTheDefaults) {
  const std::string path = testing::TempDir() + "quorvane-ini-" + std::to_string(::getpid());
  EXPECT_EQ(TIniFile(path).ReadString("SERVER", "HOST", "default"), "default");
  TIniFile ini = TIniFile::FromText("[SERVER]\nHOST=before\n");
  std::string reason;
  EXPECT_EQ(TIniFile::Load(path, &ini, &reason), TIniStatus::kMissing);
  EXPECT_EQ(ini.ReadString("SERVER", "HOST", "default"), "default");
  EXPECT_EQ(TIniFile::Load(testing::TempDir(), &ini, &reason), TIniStatus::kUnreadable);
  EXPECT_EQ(reason, "Is a directory");

  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF[SERVER]\r\nHOST=127.0.0.1\r\n\r\nPORT=0x2710\r\n";
  EXPECT_EQ(TIniFile::Load(path, &ini), TIniStatus::kRead);
  std::remove(path.c_str());
  EXPECT_EQ(ini.ReadString("SERVER", "HOST", ""), "127.0.0.1");
  EXPECT_EQ(ini.ReadInteger("SERVER", "PORT", 0), 10000);
  EXPECT_EQ(std::make_pair(ini.LineOf("server", "port"), ini.LineOf("SERVER", "NONE")), std::make_pair(4, 0));
}

// Integers parse only when whole and within int32; booleans are the
// integers that are not zero.
TEST(IniFileTest, IntegerTextParsesOnlyWhenWholeWithinInt32AndBooleansAreNonZeroIntegers) {
  constexpr std::int32_t kDef = 77;
  const std::pair<const char*, std::int32_t> valid[] = {
      {"123", 123}, {"0x2710", 10000}, {"0x80000000", INT32_MIN},
      {"+7", 7},    {"0X1f", 31},      {"2147483647", INT32_MAX},
      {"-5", -5},   {"0x1", 1},        {"-2147483648", INT32_MIN},
      {"007", 7},   {"0xFFFFFFFF", -1}};
  for (const auto& [text, expected] : valid) EXPECT_EQ(ParseIniInteger(text, kDef), expected) << text;
  for (const char* text : {"", "0x", "0x100000000", "0xg1", "0x-1", "2147483648", "-2147483649",
                           "99999999999999999999", "abc", "12abc", "--1", "+-1", "-", "1 2", "-0x10"})
    EXPECT_EQ(ParseIniInteger(text, kDef), kDef) << text;
  const TIniFile ini = TIniFile::FromText("[S]\nN= -12 \nONE=1\nZERO=0\nTWO=2\nMINUS=-1\nWORD=true\n");
  EXPECT_EQ(ini.ReadInteger("S", "N", 0), -12);
  EXPECT_EQ(ini.ReadInteger("S", "MISSING", 5), 5);
  for (const char* key : {"ONE", "TWO", "MINUS"}) EXPECT_TRUE(ini.ReadBool("S", key, false)) << key;
  EXPECT_FALSE(ini.ReadBool("S", "ZERO", true));
  for (const bool fallback : {false, true})
    for (const char* key : {"WORD", "MISSING"}) EXPECT_EQ(ini.ReadBool("S", key, fallback), fallback) << key;
}

}  // namespace
}  // namespace quorvane
