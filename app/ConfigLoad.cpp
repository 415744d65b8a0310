#include "app/ConfigLoad.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

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

// ADMIN/TOKEN_FILE into admin.Token, so that the token stays out of a
// file that may be readable by more than the server. A relative path is
// looked up in $CREDENTIALS_DIRECTORY when systemd set it (LoadCredential=),
// else in the working directory. The file's line end and trailing blanks
// are not part of the token. The token itself is never shown.
void ReadTokenFile(TAdminSettings& admin, const TIniFile& ini, TDiagnostics& out) {
  if (admin.TokenFile.empty()) return;
  const int line = ini.LineOf(kAdminSection, "TOKEN_FILE");
  if (!admin.Token.empty()) {
    out.Error(line, "ADMIN/TOKEN and ADMIN/TOKEN_FILE are both set; keep one of them");
    admin.Token.clear();
    return;
  }
  std::filesystem::path path(admin.TokenFile);
  // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the server changes its environment.
  const char* credentials = std::getenv("CREDENTIALS_DIRECTORY");
  if (path.is_relative() && credentials != nullptr && *credentials != '\0') path = credentials / path;
  std::string token;
  if (const int error = ReadWholeFile(path.string(), &token); error != 0) {
    out.Error(line, "cannot read " + path.string() +
                        " (ADMIN/TOKEN_FILE): " + std::generic_category().message(error));
    return;
  }
  const std::string where = "ADMIN/TOKEN_FILE: " + path.string();
  token.erase(token.find_last_not_of(" \t\r\n") + 1);
  const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
  if (token.empty()) {
    out.Error(line, where + " is empty");
  } else if (std::any_of(token.begin(), token.end(), control)) {
    // A second line or a stray control byte: no request could carry it.
    out.Error(line, where + " holds more than one line or a control character");
  } else {
    admin.Token = std::move(token);
  }
}

// A reload applies the new profiles, limits and policy; the control
// listener and the admin endpoint keep what they were started with.
TServerConfig KeepRestartOnlyKeys(const TServerConfig& running, TServerConfig config) {
  config.ServerHost = running.ServerHost;
  config.ServerPort = running.ServerPort;
  // The fallback public address belongs with SERVER/HOST, even where the
  // same name now resolves elsewhere.
  config.ServerAddr = running.ServerAddr;
  config.Admin = running.Admin;
  return config;
}

void ReportRestartOnlyChanges(const TServerConfig& running, const TIniFile& ini, const TServerConfig& config,
                              TDiagnostics& out) {
  const std::string later = "; it takes effect at the next restart, until then ";
  if (config.ServerHost != running.ServerHost) {
    out.Warn(ini.LineOf(kServerSection, "HOST"), "SERVER/HOST changed to " + Quoted(config.ServerHost) +
                                                     later + Quoted(running.ServerHost) + " stays");
  }
  if (config.ServerPort != running.ServerPort) {
    out.Warn(ini.LineOf(kServerSection, "PORT"), "SERVER/PORT changed to " +
                                                     std::to_string(config.ServerPort) + later +
                                                     std::to_string(running.ServerPort) + " stays");
  }
  const TAdminSettings& a = config.Admin;
  const TAdminSettings& b = running.Admin;
  if (a.Host != b.Host || a.Port != b.Port || a.Token != b.Token || a.TokenFile != b.TokenFile) {
    const TIniSection* section = ini.FindSection(kAdminSection);
    out.Warn(section == nullptr ? kWholeFile : section->Line,
             "[ADMIN] changed" + later + "the admin endpoint keeps its settings");
  }
}

enum class TLoadPurpose : std::uint8_t { kStart, kCheck, kReload };

TConfigLoad Load(const TConfigSource& source, TLoadPurpose purpose, const TServerConfig* running) {
  TConfigLoad load(source.Path);
  TDiagnostics& out = load.Diagnostics;
  std::string reason;
  switch (TIniFile::Load(source.Path, &load.Ini, &reason)) {
    case TIniStatus::kRead:
      CheckIniFile(load.Ini, purpose != TLoadPurpose::kStart, out);
      // An empty file, or one cut short before its first section: a start
      // has always run such a file with the defaults, but a reload would
      // silently drop the whole policy in force.
      if (!load.Ini.Sections().empty()) break;
      if (purpose == TLoadPurpose::kStart) {
        out.Warn(kWholeFile, "no section in the file; every setting takes its default");
      } else {
        out.Error(kWholeFile, "no section in the file");
      }
      break;
    case TIniStatus::kMissing:
      // At start-up the default file may be missing; a named one, or one
      // that vanished under a running server, is a mistake.
      if (source.Named || purpose == TLoadPurpose::kReload) {
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
  ReadTokenFile(config.Admin, load.Ini, out);
  // The file's own admin and listener settings, even where a reload keeps
  // the running ones: a file that could not start the server is not
  // applied either.
  CheckAdmin(config.Admin, load.Ini, out);
  CheckShares(config.Limits, load.Ini, out);
  CheckPortRange(config, load.Ini, out);
  TConfigSnapshot snapshot = MakeConfigSnapshot(std::move(config));
  if (purpose != TLoadPurpose::kStart) {
    // A start reports its own listeners' failures; a reload need not probe
    // the addresses it already holds.
    const TServerConfig& own = *snapshot;
    if (running == nullptr || own.ServerHost != running->ServerHost ||
        own.ServerPort != running->ServerPort) {
      ProbeControlAddress(own, load.Ini, out);
    }
    if (running == nullptr || own.Admin.Host != running->Admin.Host ||
        own.Admin.Port != running->Admin.Port) {
      ProbeAdminAddress(own.Admin, out);
    }
  }
  if (running != nullptr) {
    // A refused file waits for no restart: its changes are not worth a word.
    if (!out.HasErrors()) ReportRestartOnlyChanges(*running, load.Ini, *snapshot, out);
    snapshot = std::make_shared<const TServerConfig>(KeepRestartOnlyKeys(*running, *snapshot));
  }
  CheckProfileHosts(*snapshot, load.Ini, out);
  load.Snapshot = std::move(snapshot);
  return load;
}

}  // namespace

TConfigLoad LoadConfiguration(const TConfigSource& source, const TServerConfig* running) {
  return Load(source, running == nullptr ? TLoadPurpose::kStart : TLoadPurpose::kReload, running);
}

TConfigLoad LoadConfigurationForCheck(const TConfigSource& source) {
  return Load(source, TLoadPurpose::kCheck, nullptr);
}

void ReportChangedSettings(const TServerConfig& before, const TServerConfig& after, TDiagnostics& out) {
  const std::vector<TSettingText> old_values = DescribeConfig(before);
  const std::vector<TSettingText> new_values = DescribeConfig(after);
  for (std::size_t i = 0; i < old_values.size() && i < new_values.size(); ++i) {
    if (old_values[i].Value == new_values[i].Value) continue;
    out.Note(kWholeFile, old_values[i].Name + ": " + old_values[i].Value + " -> " + new_values[i].Value);
  }
}

}  // namespace quorvane
