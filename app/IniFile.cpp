#include "app/IniFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <limits>
#include <system_error>

#include "runtime/Net.h"

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

TIniFile::TIniFile(const std::string& path) { Load(path, this); }

int ReadWholeFile(const std::string& path, std::string* text) {
  text->clear();
  // Plain descriptors rather than a stream: the stream hides why a read
  // failed, and throws on a directory.
  const TUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return errno;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n > 0) {
      text->append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      return 0;
    } else if (errno != EINTR) {
      return errno;
    }
  }
}

TIniStatus TIniFile::Load(const std::string& path, TIniFile* file, std::string* error) {
  *file = TIniFile();
  std::string text;
  const int failure = ReadWholeFile(path, &text);
  if (failure != 0) {
    if (error != nullptr) *error = std::generic_category().message(failure);
    return failure == ENOENT ? TIniStatus::kMissing : TIniStatus::kUnreadable;
  }
  file->Parse(text);
  return TIniStatus::kRead;
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile ini;
  ini.Parse(text);
  return ini;
}

void TIniFile::Parse(std::string_view text) {
  if (text.starts_with(kUtf8ByteOrderMark)) text.remove_prefix(kUtf8ByteOrderMark.size());
  // The section that keys go to: none before the first section, and none in
  // a repeated one, whose keys the first occurrence already decided.
  constexpr std::size_t kNoSection = static_cast<std::size_t>(-1);
  std::size_t current = kNoSection;
  bool seen_section = false;
  for (int number = 1; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    line = Trim(line);
    if (line.empty() || line.front() == ';') continue;
    if (line.front() == '[') {
      const std::size_t close = line.find(']');
      if (close == std::string_view::npos) skipped_.push_back({TIniSkip::kUnclosedSection, number, 0, {}});
      const std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? close : close - 1));
      seen_section = true;
      const auto [it, inserted] = section_index_.try_emplace(Lower(name), sections_.size());
      if (inserted) {
        current = sections_.size();
        sections_.push_back({std::string(name), number, {}});
        key_index_.emplace_back();
      } else {
        current = kNoSection;
        skipped_.push_back(
            {TIniSkip::kRepeatedSection, number, sections_[it->second].Line, std::string(name)});
      }
      continue;
    }
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      skipped_.push_back({TIniSkip::kNoEquals, number, 0, {}});
      continue;
    }
    if (!seen_section) {
      skipped_.push_back({TIniSkip::kOutsideSection, number, 0, {}});
      continue;
    }
    if (current == kNoSection) continue;  // in a repeated section: reported once, at its header
    const std::string_view key = Trim(line.substr(0, equals));
    if (key.empty()) {
      skipped_.push_back({TIniSkip::kEmptyKey, number, 0, {}});
      continue;
    }
    TIniSection& section = sections_[current];
    const auto [it, inserted] = key_index_[current].try_emplace(Lower(key), section.Keys.size());
    if (inserted) {
      section.Keys.push_back({std::string(key), std::string(Trim(line.substr(equals + 1))), number});
    } else {
      skipped_.push_back({TIniSkip::kRepeatedKey, number, section.Keys[it->second].Line, std::string(key)});
    }
  }
}

const TIniSection* TIniFile::FindSection(std::string_view section) const {
  const auto found = section_index_.find(Lower(section));
  return found == section_index_.end() ? nullptr : &sections_[found->second];
}

const TIniKey* TIniFile::FindKey(std::string_view section, std::string_view key) const {
  const auto found_section = section_index_.find(Lower(section));
  if (found_section == section_index_.end()) return nullptr;
  const std::size_t index = found_section->second;
  const auto found_key = key_index_[index].find(Lower(key));
  if (found_key == key_index_[index].end()) return nullptr;
  return &sections_[index].Keys[found_key->second];
}

int TIniFile::LineOf(std::string_view section, std::string_view key) const {
  const TIniKey* found = FindKey(section, key);
  return found == nullptr ? 0 : found->Line;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view default_value) const {
  const TIniKey* found = FindKey(section, key);
  if (found == nullptr) return std::string(default_value);
  return found->Value.substr(0, kMaxValueLength);
}

std::int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key,
                                   std::int32_t default_value) const {
  return ParseIniInteger(ReadString(section, key, ""), default_value);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool default_value) const {
  return ReadInteger(section, key, default_value ? 1 : 0) != 0;
}

std::int32_t ParseIniInteger(std::string_view text, std::int32_t default_value) {
  std::int32_t value = 0;
  return IsIniInteger(text, &value) ? value : default_value;
}

bool IsIniInteger(std::string_view text, std::int32_t* value) {
  std::int32_t ignored = 0;
  if (value == nullptr) value = &ignored;
  std::uint64_t magnitude = 0;
  if (text.size() > 2 && (text.starts_with("0x") || text.starts_with("0X"))) {
    if (!ParseWhole(text.substr(2), 16, &magnitude) ||
        magnitude > std::numeric_limits<std::uint32_t>::max()) {
      return false;
    }
    // All 32 bits are taken as they stand: 0xFFFFFFFF is -1.
    *value = static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
    return true;
  }
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  // An unsigned from_chars takes no sign of its own, so "--1" stays invalid.
  constexpr std::uint64_t kMaxMagnitude = std::uint64_t{1} << 31;
  if (!ParseWhole(text, 10, &magnitude) || magnitude > kMaxMagnitude) return false;
  const std::int64_t wide =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (wide > std::numeric_limits<std::int32_t>::max()) return false;
  *value = static_cast<std::int32_t>(wide);
  return true;
}

}  // namespace quorvane
