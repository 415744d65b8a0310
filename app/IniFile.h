// TIniFile: a configuration file in INI form, read into memory once and then
// queried by section and key. Nothing is ever written back.
//
// Reading rules: section and key names match regardless of letter case;
// lines whose first non-blank character is ';' are comments; where a section
// or a key name occurs twice, the first occurrence wins; LF and CR LF line
// ends and a leading UTF-8 byte-order mark are accepted. A value is the text
// after the first '=', with the blanks around it removed, cut after
// kMaxValueLength characters. Anything missing or malformed yields the
// caller's default, silently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace quorvane {

inline constexpr std::size_t kMaxValueLength = 2047;

// An immutable, parsed configuration file. Safe to read from any thread.
class TIniFile final {
 public:
  // Reads the file at |path|; a file that cannot be read behaves as empty.
  explicit TIniFile(const std::string& path);
  // Parses |text| as the content of a file.
  static TIniFile FromText(std::string_view text);

  // The value of |key| in |section|, or |default_value| when either is missing.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;
  // A 32-bit signed integer: "0x"/"0X" and at least one more character is
  // hexadecimal (up to 32 bits, so 0xFFFFFFFF is -1), anything else decimal
  // with an optional sign. Empty, invalid or out-of-range text yields
  // |default_value|.
  std::int32_t ReadInteger(std::string_view section, std::string_view key, std::int32_t default_value) const;
  // An integer where non-zero is true; words such as "true" are not integers
  // and yield |default_value|.
  bool ReadBool(std::string_view section, std::string_view key, bool default_value) const;

 private:
  TIniFile() = default;
  void Parse(std::string_view text);

  // Lower-cased section name -> lower-cased key name -> value.
  std::map<std::string, std::map<std::string, std::string>> sections_;
};

// The integer rules of TIniFile::ReadInteger applied to |text|.
std::int32_t ParseIniInteger(std::string_view text, std::int32_t default_value);

}  // namespace quorvane
