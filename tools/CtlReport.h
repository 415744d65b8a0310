// How quorvane-ctl shows the replies of control commands and classifies them
// into exit codes: one text line per packet for people, or with --json one
// JSON object per reply, on one line, for scripts. Failures of the tool
// itself go to standard error as a line for people, or with --json to
// standard output as a JSON object, so that a script reads one stream.
#pragma once

#include <ostream>
#include <string>

#include "tools/CtlClient.h"
#include "tools/CtlCommandLine.h"
#include "tools/CtlExitCode.h"

namespace quorvane::ctl {

// How a command introduces its reply line: "create tcp 127.0.0.1:8080".
std::string Describe(const TCommand& command);
// The command's word: "create".
const char* Verb(TCommandKind kind);
// The protocol as the endpoint's documents name it: tcp, udp or its number.
std::string ProtoName(std::uint8_t proto);

// Each prints the reply to |out| and returns the exit code it stands for.
int PrintNop(bool json, std::ostream& out);
int PrintRegister(const TCommand& command, const TRegisterResult& result, bool json, std::ostream& out);
int PrintNat(const TCommand& command, const TNatReply& reply, bool json, std::ostream& out);

// The exit code for a failure of a connection.
int ExitCodeOf(TCtlFailure failure);

// Prints a failure of |command| (null: of the session as a whole) and
// returns |code|: "quorvane-ctl: DESCRIPTION: MESSAGE" on |err|, or with
// |json| {"command": VERB, "error": MESSAGE} on |out|, with "status" when
// |http_status| is one an admin endpoint answered.
int PrintFailure(const TCommand* command, const std::string& message, int code, bool json, std::ostream& out,
                 std::ostream& err, int http_status = 0);
// The same for a failure of a connection, with its exit code.
int ReportFailure(const TCommand* command, const TCtlError& error, bool json, std::ostream& out,
                  std::ostream& err);

}  // namespace quorvane::ctl
