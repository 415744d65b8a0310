// Loading the configuration file whole: read, check, resolve. At start-up,
// for --check, and for every reload on SIGHUP, so that all three judge a
// file alike.
//
// A reload runs on a thread of its own (TConfigReloader): its name lookups
// may take seconds with a slow resolver, and the thread that takes the stop
// signals must never wait for them.
#pragma once

#include <memory>
#include <string>

#include "app/ConfigCheck.h"
#include "app/IniFile.h"
#include "requests/Settings.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"

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

// Reloads the configuration whenever asked, on its own thread.
class TConfigReloader final : public TThread {
 public:
  explicit TConfigReloader(TConfigSource source);
  ~TConfigReloader() override;

  // Asks for a reload. Requests made while one runs fold into one more
  // after it. Any thread.
  void Request() const { requested_.Set(); }

  // Terminates |reloader| and frees it. A reload blocked in a name lookup
  // or a read cannot be interrupted: after kReloadStopGraceMs it is left
  // behind, still allocated, and false is returned, so that the caller ends
  // the process without waiting for it (and without running the static
  // destructors that its thread may still reach). Owner thread.
  static bool Stop(std::unique_ptr<TConfigReloader> reloader);

 protected:
  void Execute() override;

 private:
  const TConfigSource source_;
  TEvent requested_;
  std::shared_ptr<TEvent> ended_ = std::make_shared<TEvent>();
};

// How long a stop waits for a reload in progress.
inline constexpr int kReloadStopGraceMs = 1000;

}  // namespace quorvane
