#include "tools/AdminCommands.h"

#include <algorithm>
#include <cstdio>
#include <vector>

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

}  // namespace

std::string FormatRedirectorTable(const TJson& reply) {
  const TJson& redirectors = reply.at("redirectors");
  if (redirectors.empty()) return "no redirectors\n";
  std::vector<std::vector<std::string>> rows = {{"PROTO", "TARGET", "PUBLIC", "OWNER", "OPEN", "OPENED",
                                                 "TO-TARGET", "FROM-TARGET", "CREATED", "LAST-ACTIVITY"}};
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
                    r.at("created_at").get<std::string>(), last.is_null() ? "-" : last.get<std::string>()});
  }
  return AlignedTable(rows, {false, false, false, false, true, true, true, true, false, false});
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
  const bool list = command.Kind == TCommandKind::kList;
  const std::string name = Describe(command);
  const std::string where = options.AdminHost + ":" + std::to_string(options.AdminPort);
  TAdminClient client(options.AdminHost, options.AdminPort, options.Token, options.TimeoutMs, wake_fd);
  const auto response = client.Get(list ? "/api/redirectors" : "/api/status");
  if (!response) return ReportFailure(name, client.Error(), err);
  if (response->Status < 200 || response->Status > 299) {
    const bool denied = response->Status == 401 || response->Status == 403;
    err << "quorvane-ctl: " << name << ": " << where << " answered HTTP " << response->Status
        << (response->Reason.empty() ? "" : " " + response->Reason)
        << (denied ? options.Token.empty() ? " (no token given: --token)" : " (wrong token?)" : "")
        << std::endl;
    return kExitHttpError;
  }
  const TJson reply = TJson::parse(response->Body, nullptr, /*allow_exceptions=*/false);
  if (reply.is_discarded() || !reply.is_object()) {
    return ReportFailure(
        name, {TCtlFailure::kProtocol, where + " answered with something other than a JSON object"}, err);
  }
  if (options.Json) {
    out << reply.dump() << std::endl;
    return kExitOk;
  }
  try {
    out << (list ? FormatRedirectorTable(reply) : FormatStatus(reply)) << std::flush;
  } catch (const nlohmann::json::exception& error) {
    return ReportFailure(
        name, {TCtlFailure::kProtocol, "unexpected reply from " + where + ": " + error.what()}, err);
  }
  return kExitOk;
}

}  // namespace quorvane::ctl
