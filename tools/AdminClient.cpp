#include "tools/AdminClient.h"
#include "runtime/Clock.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>

namespace quorvane::ctl {
namespace {

// Bounds on what is kept of one reply: a list of many thousand redirectors
// fits easily, a peer that streams without end does not.
constexpr std::size_t kMaxHeaderBytes = std::size_t{64} * 1024;
constexpr std::size_t kMaxReplyBytes = std::size_t{64} * 1024 * 1024;

enum class TParsed { kIncomplete, kComplete, kBad };

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Undoes the chunked transfer coding of |data| into |body|.
TParsed DecodeChunked(std::string_view data, std::string* body, std::string* why) {
  body->clear();
  std::size_t pos = 0;
  for (;;) {
    std::size_t eol = data.find("\r\n", pos);
    if (eol == std::string_view::npos) return TParsed::kIncomplete;
    std::string_view line = data.substr(pos, eol - pos);
    line = Trim(line.substr(0, line.find(';')));  // chunk extensions carry nothing for us
    std::size_t size = 0;
    const auto [ptr, ec] = std::from_chars(line.data(), line.data() + line.size(), size, 16);
    if (line.empty() || ec != std::errc() || ptr != line.data() + line.size() || size > kMaxReplyBytes) {
      *why = "a bad chunk size";
      return TParsed::kBad;
    }
    pos = eol + 2;
    if (size == 0) {  // the last chunk; trailer fields until an empty line
      for (;;) {
        eol = data.find("\r\n", pos);
        if (eol == std::string_view::npos) return TParsed::kIncomplete;
        if (eol == pos) return TParsed::kComplete;
        pos = eol + 2;
      }
    }
    if (data.size() < pos + size + 2) return TParsed::kIncomplete;
    if (data.substr(pos + size, 2) != "\r\n") {
      *why = "a chunk longer than announced";
      return TParsed::kBad;
    }
    body->append(data.substr(pos, size));
    pos += size + 2;
  }
}

// Parses |data| as one whole HTTP/1.x reply. |closed|: the peer has closed
// the connection, so the data is all there will be.
TParsed ParseResponse(std::string_view data, bool closed, THttpResponse* response, std::string* why) {
  const std::size_t header_end = data.find("\r\n\r\n");
  if (header_end == std::string_view::npos) {
    if (!closed && data.size() <= kMaxHeaderBytes) return TParsed::kIncomplete;
    *why = closed ? "the reply ends within its header" : "a reply header longer than 64 KiB";
    return TParsed::kBad;
  }
  const std::string_view header = data.substr(0, header_end);
  const std::string_view rest = data.substr(header_end + 4);
  // Status line: HTTP/1.x 200 OK
  const std::string_view status_line = header.substr(0, header.find("\r\n"));
  int status = 0;
  const bool status_ok = status_line.size() >= 12 && status_line.substr(0, 7) == "HTTP/1." &&
                         status_line[8] == ' ' &&
                         std::from_chars(status_line.data() + 9, status_line.data() + 12, status).ptr ==
                             status_line.data() + 12 &&
                         status >= 100 && (status_line.size() == 12 || status_line[12] == ' ');
  if (!status_ok) {
    *why = "not an HTTP reply";
    return TParsed::kBad;
  }
  response->Status = status;
  response->Reason = std::string(Trim(status_line.size() > 12 ? status_line.substr(13) : std::string_view()));

  std::optional<std::size_t> length;
  bool chunked = false;
  std::size_t pos = status_line.size();
  while (pos < header.size()) {
    pos += 2;  // the CRLF before this field
    const std::size_t eol = std::min(header.find("\r\n", pos), header.size());
    const std::string_view field = header.substr(pos, eol - pos);
    pos = eol;
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = Lower(Trim(field.substr(0, colon)));
    const std::string_view value = Trim(field.substr(colon + 1));
    if (name == "content-length") {
      std::size_t n = 0;
      const auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (value.empty() || ec != std::errc() || ptr != value.data() + value.size() || n > kMaxReplyBytes) {
        *why = "a bad Content-Length";
        return TParsed::kBad;
      }
      length = n;
    } else if (name == "transfer-encoding") {
      chunked = Lower(value).find("chunked") != std::string::npos;
    }
  }

  if (status == 204 || status == 304 || status < 200) {
    response->Body.clear();
    return TParsed::kComplete;
  }
  if (chunked) {
    // A chunked body always ends with an empty line; decoding only then
    // keeps a long reply from being decoded once per read.
    if (!closed && (rest.size() < 5 || rest.substr(rest.size() - 4) != "\r\n\r\n"))
      return TParsed::kIncomplete;
    const TParsed decoded = DecodeChunked(rest, &response->Body, why);
    if (decoded != TParsed::kIncomplete || !closed) return decoded;
    *why = "the reply ends within its body";
    return TParsed::kBad;
  }
  if (length) {
    if (rest.size() >= *length) {
      response->Body = std::string(rest.substr(0, *length));
      return TParsed::kComplete;
    }
    if (!closed) return TParsed::kIncomplete;
    *why = "the reply ends within its body";
    return TParsed::kBad;
  }
  if (!closed) return TParsed::kIncomplete;  // the body runs to the close
  response->Body = std::string(rest);
  return TParsed::kComplete;
}

}  // namespace

TAdminClient::TAdminClient(std::string host, std::uint16_t port, std::string token, int timeout_ms,
                           int wake_fd)
    : host_(std::move(host)),
      port_(port),
      token_(std::move(token)),
      timeout_ms_(timeout_ms),
      wake_fd_(wake_fd) {}

std::optional<THttpResponse> TAdminClient::Send(const std::string& method, const std::string& path) {
  TCtlConnection connection(timeout_ms_, wake_fd_);
  const auto fail = [&] {
    error_ = connection.Error();
    return std::nullopt;
  };
  if (!connection.Connect(host_, port_)) return fail();
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) +
                        "\r\nAccept: application/json\r\nConnection: close\r\n";
  if (!token_.empty()) request += "Authorization: Bearer " + token_ + "\r\n";
  request += "\r\n";
  if (!connection.SendAll(request.data(), request.size())) return fail();

  const std::int64_t deadline = SteadyMs() + timeout_ms_;
  std::string data;
  THttpResponse response;
  for (;;) {
    char buffer[64 * 1024];
    const auto n = connection.ReceiveSome(buffer, sizeof buffer, deadline);
    if (!n) return fail();
    if (*n == 0 && data.empty()) {
      connection.Fail(TCtlFailure::kClosed, "the server closed the connection without a reply");
      return fail();
    }
    data.append(buffer, *n);
    std::string why;
    const TParsed parsed = data.size() > kMaxReplyBytes ? (why = "a reply larger than 64 MiB", TParsed::kBad)
                                                        : ParseResponse(data, *n == 0, &response, &why);
    if (parsed == TParsed::kComplete) return response;
    if (parsed == TParsed::kBad) {
      connection.Fail(TCtlFailure::kProtocol, "a reply that is not usable HTTP: " + why);
      return fail();
    }
  }
}

}  // namespace quorvane::ctl
