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

// The shortest text that reads back as the same double; any double fits.
std::string Real(double value) {
  char number[32];
  const auto [end, error] = std::to_chars(number, number + sizeof number, value);
  return error == std::errc() ? std::string(number, end) : "NaN";
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

void TPrometheusText::Series(TLabels labels, std::string_view suffix, std::string_view le) {
  text_ += family_;
  text_ += suffix;
  if (labels.size() != 0 || !le.empty()) {
    text_ += '{';
    bool first = true;
    const auto label = [&](std::string_view name, std::string_view value) {
      if (!first) text_ += ',';
      first = false;
      text_ += name;
      text_ += "=\"";
      AppendEscaped(text_, value, true);
      text_ += '"';
    };
    for (const auto& [name, value] : labels) label(name, value);
    if (!le.empty()) label("le", le);
    text_ += '}';
  }
  text_ += ' ';
}

void TPrometheusText::Histogram(TLabels labels, const THistogramView& histogram) {
  std::uint64_t below = 0;
  for (std::size_t i = 0; i < histogram.Counts.size(); ++i) {
    below += histogram.Counts[i];
    const bool bounded = i < histogram.BoundsMs.size();
    Series(labels, "_bucket", bounded ? Real(static_cast<double>(histogram.BoundsMs[i]) / 1000) : "+Inf");
    text_ += std::to_string(below);
    text_ += '\n';
  }
  Series(labels, "_sum");
  text_ += Real(static_cast<double>(histogram.SumMs) / 1000);
  text_ += '\n';
  Series(labels, "_count");
  text_ += std::to_string(below);
  text_ += '\n';
}

void TPrometheusText::Sample(TLabels labels, const TMetricValue& value) {
  if (const auto* histogram = std::get_if<THistogramView>(&value)) return Histogram(labels, *histogram);
  Series(labels);
  if (const auto* count = std::get_if<std::uint64_t>(&value)) {
    text_ += std::to_string(*count);
  } else {
    text_ += Real(std::get<double>(value));
  }
  text_ += '\n';
}

}  // namespace quorvane::admin
