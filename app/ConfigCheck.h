// Checks of a configuration beyond what reading it needs: lines and values
// that the reading rules pass over or turn into defaults, address-list
// entries that are read but are almost surely mistakes, hosts that do not
// resolve, redirectors that would be announced where nobody can reach them,
// and the admin endpoint's token rule.
//
// The checks only report. What the server runs with is decided by
// ReadConfig and MakeConfigSnapshot alone, so a warning never changes a
// value; an error means the server does not start with (or reload) the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/IniFile.h"
#include "requests/Settings.h"

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
  // Writes every line on standard error, in order.
  void Print() const;

 private:
  std::string file_;
  std::vector<TDiagnostic> items_;
};

// Sections and keys the server does not know, lines it passes over, values
// that do not parse (the key keeps its default), values longer than the
// reading cut, and suspicious address-list entries. Pure: no lookups.
void CheckIniFile(const TIniFile& ini, TDiagnostics& out);

// Checks of the profiles as MakeConfigSnapshot resolved them: hosts that do
// not resolve, and profiles whose redirectors would be announced at a
// loopback, unspecified or broadcast address. |ini| gives the lines.
void CheckProfileHosts(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out);

// The admin endpoint, when it is on: its host must resolve, and a host
// other than a loopback address needs a token. May look up the host's name.
void CheckAdmin(const TAdminSettings& admin, const TIniFile& ini, TDiagnostics& out);

// Why the control listener could not be set up, from the errno |error|:
// SERVER/HOST that does not resolve to an IPv4 address, or
// "cannot listen on HOST:PORT: REASON".
void ReportListenFailure(const TServerConfig& config, const TIniFile& ini, int error, TDiagnostics& out);

// Binds a socket to the control address and closes it again, without
// listening, and reports a failure as ReportListenFailure does.
void ProbeControlAddress(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out);

}  // namespace quorvane
