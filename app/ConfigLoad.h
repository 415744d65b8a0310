// Loading the configuration file whole: read, check, resolve. At start-up,
// for --check, and for every reload on SIGHUP, so that all three judge a
// file alike.
#pragma once

#include <string>
#include <string_view>

#include "app/ConfigCheck.h"
#include "app/IniFile.h"
#include "requests/Settings.h"

namespace quorvane {

// Read from the current working directory unless a file is named.
inline constexpr std::string_view kConfigFileName = "KELVARD.ini";

// Which file to read.
struct TConfigSource {
  std::string Path = std::string(kConfigFileName);
  // Named on the command line: then it must exist. The default file may be
  // missing at start-up, and every setting takes its default.
  bool Named = false;
};

// The outcome of one load.
struct TConfigLoad {
  explicit TConfigLoad(const std::string& file) : Diagnostics(file) {}
  TIniFile Ini = TIniFile::FromText("");
  // Resolved and ready to publish; null when the file could not be read.
  // Publish only when Diagnostics has no errors.
  TConfigSnapshot Snapshot;
  TDiagnostics Diagnostics;
};

// Reads |source|, checks it (CheckIniFile, CheckAdmin), resolves its hosts
// and checks the profiles' hosts. Blocks in name lookups. Any thread.
//
// At start (|running| null) the default file may be missing and a file
// without sections only warns: either runs with every default.
//
// With |running| (a reload) the file must exist and have a section, its
// own SERVER and ADMIN values must be ones a start would accept (a changed
// listener address is probed as --check does), and then the keys only a
// restart can change (SERVER/HOST, SERVER/PORT, [ADMIN]) keep their running
// values, each change reported. A reload applies nothing when anything is
// an error: what is not applied now must not fail the next start.
TConfigLoad LoadConfiguration(const TConfigSource& source, const TServerConfig* running = nullptr);

// --check: as a start loads, but a file without sections is an error, and
// the control and admin addresses are probed (ProbeControlAddress).
TConfigLoad LoadConfigurationForCheck(const TConfigSource& source);

// One note per setting whose value differs between |before| and |after|:
// "SECTION/KEY: OLD -> NEW" (DescribeConfig), so that a weakened policy
// shows at once.
void ReportChangedSettings(const TServerConfig& before, const TServerConfig& after, TDiagnostics& out);

}  // namespace quorvane
