// TIniFile: a configuration file in INI form, read into memory once and then
// queried by section and key. Nothing is ever written back.
//
// Reading rules: section and key names match regardless of letter case;
// lines whose first non-blank character is ';' are comments; where a section
// or a key name occurs twice, the first occurrence wins; LF and CR LF line
// ends and a leading UTF-8 byte-order mark are accepted. A value is the text
// after the first '=', with the blanks around it removed, cut after
// kMaxValueLength characters. Anything missing or malformed yields the
// caller's default, silently: reporting it is the configuration checks' job
// (app/ConfigCheck.h).
//
// Besides the values the file remembers where everything stood (line
// numbers, names as written, lines it had to pass over), so that the
// configuration checks can point at the line an operator has to fix. None of
// that changes what a read returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

inline constexpr std::size_t kMaxValueLength = 2047;

// One key as it stood in the file: the first occurrence within the first
// occurrence of its section.
struct TIniKey {
  std::string Name;   // as written, blanks around it removed
  std::string Value;  // whole, not yet cut to kMaxValueLength
  int Line = 0;       // 1-based
};

// The first occurrence of one section, with its keys in file order.
struct TIniSection {
  std::string Name;  // as written between the brackets
  int Line = 0;
  std::vector<TIniKey> Keys;
};

// A line that gave no value, and why.
enum class TIniSkip : std::uint8_t {
  kOutsideSection,   // a key before the first section
  kNoEquals,         // neither a section, a key, nor a comment
  kEmptyKey,         // '=' with no name before it
  kRepeatedSection,  // a section seen before: it and its keys are ignored
  kRepeatedKey,      // a key seen before in this section: ignored
  kUnclosedSection,  // '[' without ']': still read as a section
};
struct TIniSkippedLine {
  TIniSkip Reason;
  int Line = 0;
  int FirstLine = 0;  // repeats: where the occurrence that counts stands
  std::string Name;   // repeats: the section or key name as written here
};

// How reading a file went.
enum class TIniStatus : std::uint8_t {
  kRead,        // read whole
  kMissing,     // no file by that name: behaves as empty
  kUnreadable,  // present but not readable (a directory, no permission, ...)
};

// Reads the file at |path| into *text: 0, or the errno of the failure.
int ReadWholeFile(const std::string& path, std::string* text);

// An immutable, parsed configuration file. Safe to read from any thread.
class TIniFile final {
 public:
  // Reads the file at |path|; a file that cannot be read behaves as empty.
  explicit TIniFile(const std::string& path);
  // Parses |text| as the content of a file.
  static TIniFile FromText(std::string_view text);

  // Reads the file at |path| and says how that went; on kMissing and
  // kUnreadable *file is empty and *error (if given) holds the system's
  // reason, e.g. "Is a directory".
  static TIniStatus Load(const std::string& path, TIniFile* file, std::string* error = nullptr);

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

  // Every section that counts, in file order.
  const std::vector<TIniSection>& Sections() const { return sections_; }
  // The section that reads of |section| use, or null.
  const TIniSection* FindSection(std::string_view section) const;
  // The key that a read of |section|/|key| finds, or null.
  const TIniKey* FindKey(std::string_view section, std::string_view key) const;
  // The line of that key, or 0 when a read gives the default.
  int LineOf(std::string_view section, std::string_view key) const;
  // Lines passed over, in file order.
  const std::vector<TIniSkippedLine>& SkippedLines() const { return skipped_; }

 private:
  TIniFile() = default;
  void Parse(std::string_view text);

  std::vector<TIniSection> sections_;
  // Lower-cased names -> index into sections_, and per section lower-cased
  // key name -> index into its Keys.
  std::map<std::string, std::size_t> section_index_;
  std::vector<std::map<std::string, std::size_t>> key_index_;
  std::vector<TIniSkippedLine> skipped_;
};

// The integer rules of TIniFile::ReadInteger applied to |text|.
std::int32_t ParseIniInteger(std::string_view text, std::int32_t default_value);
// True when |text| is an integer by those rules (*value gets it).
bool IsIniInteger(std::string_view text, std::int32_t* value = nullptr);

}  // namespace quorvane
