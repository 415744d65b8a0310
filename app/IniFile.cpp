#include "app/IniFile.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>

namespace quorvane {
namespace {

constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The whole of |text| as an unsigned number in |base|; false on any stray
// character or overflow.
bool ParseWhole(std::string_view text, int base, std::uint64_t* value) {
  if (text.empty()) return false;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), *value, base);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

}  // namespace

TIniFile::TIniFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  Parse(text);
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile ini;
  ini.Parse(text);
  return ini;
}

void TIniFile::Parse(std::string_view text) {
  if (text.starts_with(kUtf8ByteOrderMark)) text.remove_prefix(kUtf8ByteOrderMark.size());
  // Null while outside any section, or inside a repeated one whose keys the
  // first occurrence already decided.
  std::map<std::string, std::string>* current = nullptr;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      const std::string name =
          Lower(Trim(line.substr(1, close == std::string_view::npos ? close : close - 1)));
      const auto [it, inserted] = sections_.try_emplace(name);
      current = inserted ? &it->second : nullptr;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (current == nullptr || equals == std::string_view::npos) continue;
    const std::string key = Lower(Trim(line.substr(0, equals)));
    if (key.empty()) continue;
    current->try_emplace(key, Trim(line.substr(equals + 1)));
  }
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view default_value) const {
  const auto found_section = sections_.find(Lower(section));
  if (found_section == sections_.end()) return std::string(default_value);
  const auto found_key = found_section->second.find(Lower(key));
  if (found_key == found_section->second.end()) return std::string(default_value);
  return found_key->second.substr(0, kMaxValueLength);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t default_value) const {
  return ParseIniInteger(ReadString(section, key, ""), default_value);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

std::int32_t ParseIniInteger(std::string_view text, std::int32_t default_value) {
  std::uint64_t magnitude = 0;
  if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
    if (!ParseWhole(text.substr(2), 16, &magnitude) ||
        magnitude > std::numeric_limits<std::uint32_t>::max()) {
      return default_value;
    }
    // All 32 bits are taken as they stand: 0xFFFFFFFF is -1.
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // An unsigned from_chars takes no sign of its own, so "--1" stays invalid.
  constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 31;
  if (!ParseWhole(text, 10, &magnitude) || magnitude > kMaxMagnitude) return default_value;
  const std::int64_t value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value > std::numeric_limits<std::int32_t>::max()) return default_value;
  return static_cast<std::int32_t>(value);
}

}  // namespace quorvane
