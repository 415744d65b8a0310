// How quorvane-ctl shows the replies of control commands and classifies them
// into exit codes: one text line per packet for people, or with --json one
// JSON object per reply, on one line, for scripts. Failures of the tool
// itself go to standard error in both modes.
#pragma once

#include <ostream>
#include <string>

#include "tools/CtlClient.h"
#include "tools/CtlCommandLine.h"
#include "tools/CtlExitCode.h"

namespace quorvane::ctl {

// How a command introduces its reply line: "create tcp 127.0.0.1:8080".
std::string Describe(const TCommand& command);

// Each prints the reply to |out| and returns the exit code it stands for.
int PrintNop(bool json, std::ostream& out);
int PrintRegister(const TCommand& command, const TRegisterResult& result, bool json, std::ostream& out);
int PrintNat(const TCommand& command, const TNatReply& reply, bool json, std::ostream& out);

// The exit code for a failure of a connection.
int ExitCodeOf(TCtlFailure failure);

// Prints "quorvane-ctl: CONTEXT: MESSAGE" to |err| and returns the exit code
// of the failure. |context| may be empty.
int ReportFailure(const std::string& context, const TCtlError& error, std::ostream& err);

}  // namespace quorvane::ctl
