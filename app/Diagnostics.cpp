#include "app/Diagnostics.h"

#include <algorithm>

#include "runtime/Log.h"

namespace quorvane {

void TDiagnostics::Add(TSeverity severity, int line, std::string text) {
  items_.push_back({severity, line, std::move(text)});
}

void TDiagnostics::SortByLine(std::size_t first) {
  std::stable_sort(items_.begin() + static_cast<std::ptrdiff_t>(first), items_.end(),
                   [](const TDiagnostic& a, const TDiagnostic& b) { return a.Line < b.Line; });
}

bool TDiagnostics::HasErrors() const {
  return std::any_of(items_.begin(), items_.end(),
                     [](const TDiagnostic& d) { return d.Severity == TSeverity::kError; });
}

std::string TDiagnostics::Format(const TDiagnostic& item) const {
  std::string line(kDiagnosticPrefix);
  if (item.Line >= kWholeFile) {
    line += file_;
    if (item.Line > 0) line += ":" + std::to_string(item.Line);
    line += ": ";
  }
  if (item.Severity == TSeverity::kWarning) line += "warning: ";
  // An error about the file stands out among its warnings; others read whole.
  if (item.Severity == TSeverity::kError && item.Line >= kWholeFile) line += "error: ";
  return line + item.Text;
}

void TDiagnostics::Print() const {
  for (const TDiagnostic& item : items_) {
    const TLogPriority priority = item.Severity == TSeverity::kError     ? TLogPriority::kError
                                  : item.Severity == TSeverity::kWarning ? TLogPriority::kWarning
                                                                         : TLogPriority::kNotice;
    LogDiagnosticLine(priority, Format(item));
  }
}

}  // namespace quorvane
