#include "admin/PrometheusText.h"

#include <charconv>
#include <system_error>

namespace quorvane::admin {
namespace {

// HELP text escapes backslash and line feed; label values also the quote.
void AppendEscaped(std::string& out, std::string_view text, bool quote) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (quote && c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

}  // namespace

void TPrometheusText::Family(std::string_view name, std::string_view type, std::string_view help) {
  family_ = name;
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  AppendEscaped(text_, help, false);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void TPrometheusText::Series(TLabels labels) {
  text_ += family_;
  if (labels.size() != 0) {
    text_ += '{';
    bool first = true;
    for (const auto& [label, label_value] : labels) {
      if (!first) text_ += ',';
      first = false;
      text_ += label;
      text_ += "=\"";
      AppendEscaped(text_, label_value, true);
      text_ += '"';
    }
    text_ += '}';
  }
  text_ += ' ';
}

void TPrometheusText::Sample(TLabels labels, std::uint64_t value) {
  Series(labels);
  text_ += std::to_string(value);
  text_ += '\n';
}

void TPrometheusText::Single(std::string_view name, std::string_view type, std::string_view help,
                             std::uint64_t value) {
  Family(name, type, help);
  Sample(value);
}

void TPrometheusText::SingleReal(std::string_view name, std::string_view type, std::string_view help,
                                 double value) {
  Family(name, type, help);
  Series({});
  // The shortest text that reads back as the same double; any double fits.
  char number[32];
  const auto [end, error] = std::to_chars(number, number + sizeof number, value);
  text_ += error == std::errc() ? std::string_view(number, static_cast<std::size_t>(end - number)) : "NaN";
  text_ += '\n';
}

}  // namespace quorvane::admin
