#include "tools/AdminCommands.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "servers/AddressHelpers.h"
#include "tools/AdminClient.h"
#include "tools/CtlExitCode.h"
#include "tools/CtlReport.h"

namespace quorvane::ctl {
namespace {

using TJson = nlohmann::ordered_json;

// Columns padded to their widest cell, two blanks apart; the columns flagged
// in |right| are right-aligned (numbers). No blanks end a line.
std::string AlignedTable(const std::vector<std::vector<std::string>>& rows, const std::vector<bool>& right) {
  std::vector<std::size_t> widths(right.size(), 0);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string pad(widths[i] - row[i].size(), ' ');
      line += (i == 0 ? "" : "  ") + (right[i] ? pad + row[i] : row[i] + pad);
    }
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

std::string Endpoint(const TJson& endpoint) {
  return endpoint.at("address").get<std::string>() + ":" +
         std::to_string(endpoint.at("port").get<unsigned>());
}

// 999 B, 1.5 KiB, 20.0 MiB: sizes a person takes in at a glance.
std::string Size(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes) / 1024;
  std::size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
  return text;
}

// 12s, 3m 4s, 2h 0m 5s, 1d 2h 3m 4s.
std::string Duration(std::uint64_t seconds) {
  const std::uint64_t parts[] = {seconds / 86400, seconds / 3600 % 24, seconds / 60 % 60, seconds % 60};
  const char* const units[] = {"d", "h", "m", "s"};
  std::string text;
  for (std::size_t i = 0; i < 4; ++i) {
    if (text.empty() && parts[i] == 0 && i < 3) continue;
    text += (text.empty() ? "" : " ") + std::to_string(parts[i]) + units[i];
  }
  return text;
}

std::string Count(const TJson& value) { return std::to_string(value.get<std::uint64_t>()); }

// A client's name is whatever bytes it registered: control characters would
// act on the terminal, so they are shown as '?'.
std::string Printable(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return text;
}

std::string PathOf(const TCommand& command) {
  switch (command.Kind) {
    case TCommandKind::kList:
      return "/api/redirectors";
    case TCommandKind::kSessions:
      return "/api/sessions";
    case TCommandKind::kRemove:
    case TCommandKind::kPlayers:
      return "/api/redirectors/" + ProtoName(command.Proto) + "/" + AddrToStr(command.Address) + "/" +
             std::to_string(command.Port) + (command.Kind == TCommandKind::kPlayers ? "/players" : "");
    default:
      return "/api/status";
  }
}

// What |response| says of itself: the "error" of a JSON body, if any.
std::string ErrorOf(const THttpResponse& response) {
  const TJson body = TJson::parse(response.Body, nullptr, /*allow_exceptions=*/false);
  const auto error = body.is_object() ? body.find("error") : body.end();
  return error != body.end() && error->is_string() ? ": " + error->get<std::string>() : std::string();
}

// The reply to remove: 204 when the redirector was destroyed, 404 when
// there was none (as a delete request would find none).
int PrintRemoved(const TCommand& command, bool removed, bool json, std::ostream& out) {
  if (json) {
    out << TJson{{"command", "remove"},
                 {"proto", command.Proto},
                 {"kind", command.Proto == kProtoTcp ? "tcp" : "udp"},
                 {"target", {{"address", AddrToStr(command.Address)}, {"port", command.Port}}},
                 {"result", removed ? "ok" : "not_found"}}
               .dump()
        << std::endl;
  } else {
    out << Describe(command) << (removed ? ": ok" : ": not found") << std::endl;
  }
  return removed ? kExitOk : kExitNotFound;
}

}  // namespace

std::string FormatRedirectorTable(const TJson& reply) {
  const TJson& redirectors = reply.at("redirectors");
  if (redirectors.empty()) return "no redirectors\n";
  std::vector<std::vector<std::string>> rows = {{"PROTO", "TARGET", "PUBLIC", "OWNER", "OPEN", "OPENED",
                                                 "TO-TARGET", "FROM-TARGET", "CAPPED", "CREATED",
                                                 "LAST-ACTIVITY"}};
  for (const TJson& r : redirectors) {
    const bool udp = r.at("kind") == "udp";
    // UDP traffic is counted in datagrams too; TCP has no such unit.
    const auto traffic = [&](const char* bytes, const char* datagrams) {
      return Size(r.at(bytes).get<std::uint64_t>()) + (udp ? "/" + Count(r.at(datagrams)) + " dg" : "");
    };
    const TJson& last = r.at("last_activity");
    rows.push_back({r.at("kind").get<std::string>(), Endpoint(r.at("target")), Endpoint(r.at("public")),
                    Endpoint(r.at("owner")), Count(r.at("open")), Count(r.at("opened")),
                    traffic("bytes_to_target", "datagrams_to_target"),
                    traffic("bytes_from_target", "datagrams_from_target"),
                    // What the player caps did: the datagrams dropped, or
                    // how often a relay was held.
                    udp ? Count(r.at("dropped")) + " dg" : Count(r.at("held")) + " held",
                    r.at("created_at").get<std::string>(), last.is_null() ? "-" : last.get<std::string>()});
  }
  return AlignedTable(rows, {false, false, false, false, true, true, true, true, true, false, false});
}

std::string FormatPlayerTable(const TJson& reply) {
  const TJson& players = reply.at("players");
  if (players.empty()) return "no players\n";
  const bool udp = reply.at("redirector").at("kind") == "udp";
  std::vector<std::vector<std::string>> rows = {
      {"REMOTE", "STARTED", "LAST-ACTIVITY", "TO-TARGET", "FROM-TARGET", "STATE"}};
  for (const TJson& p : players) {
    const auto traffic = [&](const char* bytes, const char* datagrams) {
      return Size(p.at(bytes).get<std::uint64_t>()) + (udp ? "/" + Count(p.at(datagrams)) + " dg" : "");
    };
    const bool connecting = p.at("connecting").get<bool>();
    const bool held = p.at("held").get<bool>();
    rows.push_back({Printable(p.at("remote").get<std::string>()),
                    Printable(p.at("started_at").get<std::string>()),
                    Printable(p.at("last_activity").get<std::string>()),
                    traffic("bytes_to_target", "datagrams_to_target"),
                    traffic("bytes_from_target", "datagrams_from_target"),
                    connecting && held ? "connecting,held"
                    : connecting       ? "connecting"
                    : held             ? "held"
                                       : "-"});
  }
  return AlignedTable(rows, {false, false, false, true, true, false});
}

std::string FormatSessionTable(const TJson& reply) {
  const TJson& sessions = reply.at("sessions");
  if (sessions.empty()) return "no sessions\n";
  std::vector<std::vector<std::string>> rows = {
      {"PEER", "NAME", "VERSION", "PROFILE", "CONNECTED", "REDIRECTORS"}};
  for (const TJson& s : sessions) {
    const bool registered = s.at("registered").get<bool>();
    rows.push_back({Endpoint(s.at("peer")), registered ? Printable(s.at("name").get<std::string>()) : "-",
                    registered ? Count(s.at("version")) : "-", Count(s.at("profile")),
                    s.at("connected_at").get<std::string>(), std::to_string(s.at("redirectors").size())});
  }
  return AlignedTable(rows, {false, false, true, true, false, true});
}

std::string FormatStatus(const TJson& reply) {
  const TJson& commit = reply.at("commit");
  std::string version = reply.at("version").get<std::string>();
  if (commit.is_string() && !commit.get<std::string>().empty())
    version += " (commit " + commit.get<std::string>() + ")";
  const TJson& sessions = reply.at("sessions");
  const TJson& redirectors = reply.at("redirectors");
  const TJson& relays = reply.at("tcp_relays");
  const TJson& udp = reply.at("udp_sessions");
  const TJson& bytes = reply.at("bytes");
  const TJson& datagrams = reply.at("datagrams");
  const TJson& descriptors = reply.at("descriptors");
  std::string refusals;
  for (const auto& [reason, count] : reply.at("refusals").items()) {
    if (count.get<std::uint64_t>() != 0)
      refusals += (refusals.empty() ? "" : ", ") + reason + " " + Count(count);
  }
  const std::vector<std::vector<std::string>> rows = {
      {"version:", version},
      {"up:", Duration(reply.at("uptime_seconds").get<std::uint64_t>()) + ", since " +
                  reply.at("started_at").get<std::string>()},
      {"sessions:", Count(sessions.at("open")) + " open, " + Count(sessions.at("accepted")) + " accepted"},
      {"redirectors:", Count(redirectors.at("tcp")) + " tcp, " + Count(redirectors.at("udp")) + " udp"},
      {"tcp relays:", Count(relays.at("open")) + " open, " + Count(relays.at("total")) + " in total"},
      {"udp sessions:", Count(udp.at("open")) + " open, " + Count(udp.at("expired")) + " expired, " +
                            Count(udp.at("evicted")) + " evicted"},
      {"to targets:", Size(bytes.at("to_target").get<std::uint64_t>()) + ", " +
                          Count(datagrams.at("to_target")) + " datagrams"},
      {"from targets:", Size(bytes.at("from_target").get<std::uint64_t>()) + ", " +
                            Count(datagrams.at("from_target")) + " datagrams"},
      {"refusals:", refusals.empty() ? "none" : refusals},
      {"descriptors:", Count(descriptors.at("open")) + " open, limit " + Count(descriptors.at("limit"))},
      {"log lines dropped:", Count(reply.at("log_lines_dropped"))}};
  return AlignedTable(rows, {false, false});
}

int RunAdminCommand(const TCtlOptions& options, const TCommand& command, int wake_fd, std::ostream& out,
                    std::ostream& err) {
  const bool json = options.Json;
  const std::string where = options.AdminHost + ":" + std::to_string(options.AdminPort);
  TAdminClient client(options.AdminHost, options.AdminPort, options.Token, options.TimeoutMs, wake_fd);
  const bool remove = command.Kind == TCommandKind::kRemove;
  const auto response = client.Send(remove ? "DELETE" : "GET", PathOf(command));
  if (!response) return ReportFailure(&command, client.Error(), json, out, err);
  if (remove && (response->Status == 204 || response->Status == 404)) {
    return PrintRemoved(command, response->Status == 204, json, out);
  }
  if (command.Kind == TCommandKind::kPlayers && response->Status == 404) {
    return PrintFailure(&command, "no such redirector", kExitNotFound, json, out, err, response->Status);
  }
  if (response->Status < 200 || response->Status > 299) {
    const bool denied = response->Status == 401 || response->Status == 403;
    return PrintFailure(
        &command,
        where + " answered HTTP " + std::to_string(response->Status) +
            (response->Reason.empty() ? "" : " " + response->Reason) + ErrorOf(*response) +
            (denied ? options.Token.empty() ? " (no token given: --token)" : " (wrong token?)" : ""),
        kExitHttpError, json, out, err, response->Status);
  }
  const auto malformed = [&](const std::string& why) {
    return PrintFailure(&command, why, kExitProtocol, json, out, err);
  };
  if (remove) return malformed(where + " answered HTTP " + std::to_string(response->Status) + " to a delete");
  const TJson reply = TJson::parse(response->Body, nullptr, /*allow_exceptions=*/false);
  if (reply.is_discarded() || !reply.is_object()) {
    return malformed(where + " answered with something other than a JSON object");
  }
  if (json) {
    out << reply.dump() << std::endl;
    return kExitOk;
  }
  try {
    out << (command.Kind == TCommandKind::kList       ? FormatRedirectorTable(reply)
            : command.Kind == TCommandKind::kSessions ? FormatSessionTable(reply)
            : command.Kind == TCommandKind::kPlayers  ? FormatPlayerTable(reply)
                                                      : FormatStatus(reply))
        << std::flush;
  } catch (const nlohmann::json::exception& error) {
    return malformed("unexpected reply from " + where + ": " + error.what());
  }
  return kExitOk;
}

}  // namespace quorvane::ctl
