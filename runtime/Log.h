// One log line per event on standard output. Each line is assembled first and
// then written with a single write under a lock, so lines of different threads
// never mix and every line reaches a pipe or a journal at once.
#pragma once

#include <charconv>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <type_traits>

namespace quorvane {

// Writes |line| and a line break to standard output.
void LogLine(std::string_view line);
// The same on standard error: diagnostics and events beyond the log lines
// of the protocol's own description.
void LogErrorLine(std::string_view line);

// Redirects log lines of both streams (without the line break) to |sink|,
// or back to the streams when |sink| is empty. For tests.
void SetLogSink(std::function<void(std::string_view)> sink);

namespace log_detail {
inline void Append(std::string& out, std::string_view text) { out += text; }
inline void Append(std::string& out, const char* text) { out += text; }
inline void Append(std::string& out, const std::string& text) { out += text; }
template <class N>
requires std::is_integral_v<N> &&
    (!std::is_same_v<N, char>)&&(!std::is_same_v<N, bool>)void Append(std::string& out, N number) {
  // Widened first, so that 8-bit values print as numbers, not characters.
  using Wide = std::conditional_t<std::is_signed_v<N>, long long, unsigned long long>;
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, static_cast<Wide>(number));
  out.append(digits, result.ptr);
}
}  // namespace log_detail

// Log("New client from: ", address, ":", port): texts and numbers in decimal.
template <class... Parts>
void Log(const Parts&... parts) {
  std::string line;
  (log_detail::Append(line, parts), ...);
  LogLine(line);
}

// LogError("Refused ", count, " sessions"): like Log, on standard error.
template <class... Parts>
void LogError(const Parts&... parts) {
  std::string line;
  (log_detail::Append(line, parts), ...);
  LogErrorLine(line);
}

}  // namespace quorvane
