#include "app/IniFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace quorvane {
namespace {

TEST(IniFileTest, NamesIgnoreCaseAndFirstSectionAndKeyWin) {
  const TIniFile ini = TIniFile::FromText(
      "orphan=before any section\n"
      "[Server]\n"
      "Host =  10.0.0.5  \n"
      "; port=1\n"
      "  ;indented comment=2\n"
      "PORT=first\n"
      "port=second\n"
      "Name = two  words \t\n"
      "no equals sign\n"
      "[SERVER]\n"
      "EXTRA=from the repeated section\n"
      "[ other ]\n"
      "key=\n");
  EXPECT_EQ(ini.ReadString("SERVER", "HOST", "d"), "10.0.0.5");
  EXPECT_EQ(ini.ReadString("server", "host", "d"), "10.0.0.5");
  EXPECT_EQ(ini.ReadString("SERVER", "PORT", "d"), "first");
  EXPECT_EQ(ini.ReadString("SERVER", "NAME", "d"), "two  words");
  EXPECT_EQ(ini.ReadString("SERVER", "; port", "d"), "d");
  EXPECT_EQ(ini.ReadString("SERVER", ";indented comment", "d"), "d");
  EXPECT_EQ(ini.ReadString("SERVER", "EXTRA", "d"), "d");
  EXPECT_EQ(ini.ReadString("SERVER", "orphan", "d"), "d");
  EXPECT_EQ(ini.ReadString("OTHER", "KEY", "d"), "");
  EXPECT_EQ(ini.ReadString("OTHER", "MISSING", "d"), "d");
  EXPECT_EQ(ini.ReadString("MISSING", "KEY", "d"), "d");
}

TEST(IniFileTest, LongValueCutAfterMaxLength) {
  const std::string long_value = std::string(kMaxValueLength, 'a') + "bcd";
  const TIniFile ini = TIniFile::FromText("[S]\nK=" + long_value + "\n");
  EXPECT_EQ(ini.ReadString("S", "K", ""), std::string(kMaxValueLength, 'a'));
}

TEST(IniFileTest, FileWithByteOrderMarkAndCrLfOrMissingFile) {
  char dir_template[] = "/tmp/quorvane-ini-XXXXXX";
  ASSERT_NE(::mkdtemp(dir_template), nullptr);
  const std::filesystem::path dir(dir_template);
  const std::string path = dir / "KELVARD.ini";
  std::ofstream(path, std::ios::binary) << "\xEF\xBB\xBF[SERVER]\r\nHOST=127.0.0.1\r\nPORT=0x2710\r\n";

  const TIniFile ini(path);
  EXPECT_EQ(ini.ReadString("SERVER", "HOST", ""), "127.0.0.1");
  EXPECT_EQ(ini.ReadInteger("SERVER", "PORT", 0), 10000);
  const TIniFile missing((dir / "absent.ini").string());
  EXPECT_EQ(missing.ReadString("SERVER", "HOST", "default"), "default");
  std::filesystem::remove_all(dir);
}

TEST(IniFileTest, IntegerTextOutsideTheRulesYieldsDefault) {
  constexpr std::int32_t kDefault = 77;
  const struct {
    const char* text;
    std::int32_t expected;
  } cases[] = {
      {"123", 123},
      {"+7", 7},
      {"-5", -5},
      {"007", 7},
      {"0x2710", 10000},
      {"0X1f", 31},
      {"0xFFFFFFFF", -1},
      {"0x80000000", INT32_MIN},
      {"0x1", 1},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"", kDefault},
      {"0x", kDefault},
      {"0x100000000", kDefault},
      {"0xg1", kDefault},
      {"0x-1", kDefault},
      {"2147483648", kDefault},
      {"-2147483649", kDefault},
      {"99999999999999999999", kDefault},
      {"abc", kDefault},
      {"12abc", kDefault},
      {"--1", kDefault},
      {"+-1", kDefault},
      {"-", kDefault},
      {"1 2", kDefault},
      {"-0x10", kDefault},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseIniInteger(c.text, kDefault), c.expected) << c.text;

  const TIniFile ini = TIniFile::FromText("[S]\nN= -12 \n");
  EXPECT_EQ(ini.ReadInteger("S", "N", 0), -12);
  EXPECT_EQ(ini.ReadInteger("S", "MISSING", 5), 5);
}

TEST(IniFileTest, BooleanIsAnIntegerNotAWord) {
  const TIniFile ini = TIniFile::FromText("[S]\nONE=1\nZERO=0\nTWO=2\nMINUS=-1\nWORD=true\nYES=yes\n");
  EXPECT_TRUE(ini.ReadBool("S", "ONE", false));
  EXPECT_FALSE(ini.ReadBool("S", "ZERO", true));
  EXPECT_TRUE(ini.ReadBool("S", "TWO", false));
  EXPECT_TRUE(ini.ReadBool("S", "MINUS", false));
  EXPECT_FALSE(ini.ReadBool("S", "WORD", false));
  EXPECT_TRUE(ini.ReadBool("S", "WORD", true));
  EXPECT_FALSE(ini.ReadBool("S", "YES", false));
  EXPECT_FALSE(ini.ReadBool("S", "MISSING", false));
}

}  // namespace
}  // namespace quorvane
