#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane {

// Every line the server adds on standard error starts with this.
inline constexpr std::string_view kDiagnosticPrefix = "quorvane: ";

enum class TSeverity : std::uint8_t {
  kNote,     // for information; changes nothing
  kWarning,  // the server runs, perhaps not as meant
  kError,    // the server does not start with this file, or keeps the old one
};

// Where a diagnostic points.
inline constexpr int kWholeFile = 0;  // the file, no line
inline constexpr int kNoFile = -1;    // not about the file

struct TDiagnostic {
  TSeverity Severity = TSeverity::kNote;
  int Line = kNoFile;  // 1-based line, kWholeFile or kNoFile
  std::string Text;
};

// The diagnostics of one configuration file, in the order found. Confined
// to one thread.
class TDiagnostics final {
 public:
  // |file| names the configuration file in every line, as the operator
  // gave it.
  explicit TDiagnostics(std::string file) : file_(std::move(file)) {}

  const std::string& File() const { return file_; }
  void Add(TSeverity severity, int line, std::string text);
  void Note(int line, std::string text) { Add(TSeverity::kNote, line, std::move(text)); }
  void Warn(int line, std::string text) { Add(TSeverity::kWarning, line, std::move(text)); }
  void Error(int line, std::string text) { Add(TSeverity::kError, line, std::move(text)); }

  // Puts the diagnostics from index |first| on in line order, keeping the
  // order of those on one line.
  void SortByLine(std::size_t first);

  bool HasErrors() const;
  const std::vector<TDiagnostic>& Items() const { return items_; }
  // "quorvane: FILE:LINE: warning: TEXT". Errors about the file carry
  // "error: ", other errors and notes no tag.
  std::string Format(const TDiagnostic& item) const;
  // Writes every line on standard error, in order, each with the log
  // priority of its severity (a note is a notice).
  void Print() const;

 private:
  std::string file_;
  std::vector<TDiagnostic> items_;
};

}  // namespace quorvane
