#include "app/ConfigLoad.h"

#include <filesystem>
#include <utility>

#include "app/Config.h"

namespace quorvane {
namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The default file is looked for in the working directory: say which one,
// and point out a name that differs only in letter case (kelvard.ini), as
// file names, unlike the keys inside, are matched exactly.
std::string MissingFileNote(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  const fs::path shown = ec ? fs::path(path) : absolute;
  std::string note = shown.string() + " not found; every setting takes its default";
  const auto lower = [](std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  };
  const std::string wanted = lower(shown.filename().string());
  const fs::path dir = shown.has_parent_path() ? shown.parent_path() : fs::path(".");
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (lower(name) == wanted) {
      note += " (there is " + name + ": the file name must be written exactly)";
      break;
    }
  }
  return note;
}

// A reload applies the new profiles, limits and policy; the control
// listener and the admin endpoint keep what they were started with.
void KeepRestartOnlyKeys(const TServerConfig& running, const TIniFile& ini, TServerConfig& config,
                         TDiagnostics& out) {
  const std::string later = "; it takes effect at the next restart, until then ";
  if (config.ServerHost != running.ServerHost) {
    out.Warn(ini.LineOf(kServerSection, "HOST"), "SERVER/HOST changed to " + Quoted(config.ServerHost) +
                                                     later + Quoted(running.ServerHost) + " stays");
    config.ServerHost = running.ServerHost;
  }
  if (config.ServerPort != running.ServerPort) {
    out.Warn(ini.LineOf(kServerSection, "PORT"), "SERVER/PORT changed to " +
                                                     std::to_string(config.ServerPort) + later +
                                                     std::to_string(running.ServerPort) + " stays");
    config.ServerPort = running.ServerPort;
  }
  const TAdminSettings& a = config.Admin;
  const TAdminSettings& b = running.Admin;
  if (a.Host != b.Host || a.Port != b.Port || a.Token != b.Token) {
    const TIniSection* section = ini.FindSection(kAdminSection);
    out.Warn(section == nullptr ? kWholeFile : section->Line,
             "[ADMIN] changed" + later + "the admin endpoint keeps its settings");
    config.Admin = running.Admin;
  }
}

}  // namespace

TConfigLoad LoadConfiguration(const TConfigSource& source, const TServerConfig* running) {
  TConfigLoad load(source.Path);
  TDiagnostics& out = load.Diagnostics;
  std::string reason;
  switch (TIniFile::Load(source.Path, &load.Ini, &reason)) {
    case TIniStatus::kRead:
      CheckIniFile(load.Ini, out);
      break;
    case TIniStatus::kMissing:
      // At start-up the default file may be missing; a named one, or one
      // that vanished under a running server, is a mistake.
      if (source.Named || running != nullptr) {
        out.Error(kNoFile, "cannot read " + source.Path + ": " + reason);
        return load;
      }
      out.Note(kNoFile, MissingFileNote(source.Path));
      break;
    case TIniStatus::kUnreadable:
      out.Error(kNoFile, "cannot read " + source.Path + ": " + reason);
      return load;
  }
  TServerConfig config = ReadConfig(load.Ini);
  // The file's own admin settings, even where a reload keeps the running
  // ones: a file that could not start the server is not applied either.
  CheckAdmin(config.Admin, load.Ini, out);
  CheckShares(config.Limits, load.Ini, out);
  if (running != nullptr) KeepRestartOnlyKeys(*running, load.Ini, config, out);
  TConfigSnapshot snapshot = MakeConfigSnapshot(std::move(config));
  if (running != nullptr && snapshot->ServerAddr != running->ServerAddr) {
    // The fallback public address belongs with SERVER/HOST: kept as well.
    TServerConfig kept = *snapshot;
    kept.ServerAddr = running->ServerAddr;
    snapshot = std::make_shared<const TServerConfig>(std::move(kept));
  }
  CheckProfileHosts(*snapshot, load.Ini, out);
  load.Snapshot = std::move(snapshot);
  return load;
}

}  // namespace quorvane
