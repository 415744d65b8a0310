// The admin commands of quorvane-ctl against a running server's admin
// endpoint: `list` (GET /api/redirectors), `status` (GET /api/status),
// `sessions` (GET /api/sessions), `remove` (DELETE
// /api/redirectors/PROTO/ADDRESS/PORT) and `players` (GET
// /api/redirectors/PROTO/ADDRESS/PORT/players), and the text they print
// for people. With --json the reading ones print the endpoint's JSON document
// unchanged in content, on one line.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>

#include "tools/CtlCommandLine.h"

namespace quorvane::ctl {

// Runs one admin command on a connection of its own, prints its result to
// |out| and failures as PrintFailure() does, and returns the exit code.
// |wake_fd| as for TCtlConnection.
int RunAdminCommand(const TCtlOptions& options, const TCommand& command, int wake_fd, std::ostream& out,
                    std::ostream& err);

// The redirectors of a /api/redirectors reply as an aligned table, one line
// per redirector under a header line. Throws nlohmann::json::exception when
// the reply lacks a field the table shows.
std::string FormatRedirectorTable(const nlohmann::ordered_json& reply);

// The control sessions of a /api/sessions reply as an aligned table, one
// line per session. Throws nlohmann::json::exception when the reply lacks a
// field the table shows.
std::string FormatSessionTable(const nlohmann::ordered_json& reply);

// The players of a /api/redirectors/.../players reply as an aligned table,
// one line per player. Throws nlohmann::json::exception when the reply
// lacks a field the table shows.
std::string FormatPlayerTable(const nlohmann::ordered_json& reply);

// The totals of a /api/status reply, one labelled line each. Throws
// nlohmann::json::exception when the reply lacks a field shown.
std::string FormatStatus(const nlohmann::ordered_json& reply);

}  // namespace quorvane::ctl
