// Checks of a configuration beyond what reading it needs: lines and values
// that the reading rules pass over or turn into defaults, address-list
// entries that are read but are almost surely mistakes, hosts that do not
// resolve, redirectors that would be announced where nobody can reach them,
// and the admin endpoint's token rule.
//
// The checks only report. What the server runs with is decided by
// ReadConfig and MakeConfigSnapshot alone, so a warning never changes a
// value; an error means the server does not start with (or reload) the file.
#pragma once

#include "app/Diagnostics.h"
#include "app/IniFile.h"
#include "requests/Settings.h"

namespace quorvane {

// Sections and keys the server does not know, lines it passes over, values
// that do not parse (the key keeps its default), values longer than the
// reading cut, and suspicious address-list entries. A line that is neither
// a section, a key nor a comment is an error when |broken_lines_fail| (a
// check, a reload), else a warning (a start). Pure: no lookups.
void CheckIniFile(const TIniFile& ini, bool broken_lines_fail, TDiagnostics& out);

// Checks of the profiles as MakeConfigSnapshot resolved them: hosts that do
// not resolve, and profiles whose redirectors would be announced at a
// loopback, unspecified or broadcast address. |ini| gives the lines.
void CheckProfileHosts(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out);

// The admin endpoint, when it is on: its host must resolve, and a host
// other than a loopback address needs a token. May look up the host's name.
// Warns when the descriptor shares add up to more than the whole.
void CheckShares(const TLimits& limits, const TIniFile& ini, TDiagnostics& out);
// SERVER/PORT_MIN and PORT_MAX: both or neither (an error), MIN not above
// MAX (an error), and a warning when the range holds the control or the
// admin port. The values themselves are CheckIniFile's.
void CheckPortRange(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out);
void CheckAdmin(const TAdminSettings& admin, const TIniFile& ini, TDiagnostics& out);

// Why the control listener could not be set up, from the errno |error|:
// SERVER/HOST that does not resolve to an IPv4 address, or
// "cannot listen on HOST:PORT: REASON".
void ReportListenFailure(const TServerConfig& config, const TIniFile& ini, int error, TDiagnostics& out);

// Bind a socket to the control address, or to the admin endpoint's when it
// is on, and close it again, without listening. A failure is an error, but
// a port in use only a note, since a running server holds its own.
void ProbeControlAddress(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out);
void ProbeAdminAddress(const TAdminSettings& admin, TDiagnostics& out);

}  // namespace quorvane
