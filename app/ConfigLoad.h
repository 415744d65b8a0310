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
// and checks the profiles' hosts. Blocks in name lookups. With |running|
// (a reload), a missing file is an error, and the keys only a restart can
// change (SERVER/HOST, SERVER/PORT, [ADMIN]) keep their running values,
// each change reported. Any thread.
TConfigLoad LoadConfiguration(const TConfigSource& source, const TServerConfig* running = nullptr);

}  // namespace quorvane
