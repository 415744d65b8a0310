#include "app/CommandLine.h"

#include <CLI/CLI.hpp>

#include "app/MainSequence.h"

#ifndef QUORVANE_COMMIT
#error "the build defines QUORVANE_COMMIT (empty when unknown)"
#endif

namespace quorvane {

std::string VersionText() {
  const std::string commit = QUORVANE_COMMIT;
  return "Quorvane by Ostrevan v" + std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) +
         " (commit " + (commit.empty() ? "unknown" : commit) + ")";
}

TServerOptions ParseServerOptions(int argc, const char* const* argv) {
  TServerOptions options;
  CLI::App app("NAT redirect server: relays game traffic for clients behind NAT routers.", "quorvane");
  app.add_option("-c,--config", options.Config.Path, "Read FILE, not KELVARD.ini in the working directory")
      ->type_name("FILE");
  bool check = false;
  app.add_flag("--check", check,
               "Check the configuration and that the control and admin\n"
               "addresses can be bound (a port in use is only a note);\n"
               "print what is wrong, listen on nothing, exit 1 on an\n"
               "error, 0 otherwise");
  app.add_flag("--timestamps", options.Timestamps,
               "Start each line of both streams with the time it was\n"
               "logged (RFC 3339, UTC, milliseconds); ignored when\n"
               "standard error is the journal, which keeps its own");
  app.set_version_flag("-V,--version", VersionText(), "Print the version and the build's commit and exit");
  app.footer(
      "Without options the server reads KELVARD.ini from the working directory;\n"
      "when that file is missing, every setting takes its default.\n"
      "\n"
      "Signals: SIGHUP reloads the configuration file (profiles, [LIMITS] and\n"
      "[POLICY]; [SERVER] and [ADMIN] take a restart; a file --check rejects\n"
      "is not applied at all). SIGINT and SIGTERM stop.\n"
      "\n"
      "Exit status: 0 stopped by a signal, or the check passed; 1 failed to start\n"
      "or to listen, or the check failed; 2 bad command line.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    options.Mode = TRunMode::kHelp;
    options.Text = app.help();
    while (!options.Text.empty() && options.Text.back() == '\n') options.Text.pop_back();
    return options;
  } catch (const CLI::CallForVersion& version) {
    options.Mode = TRunMode::kVersion;
    options.Text = version.what();
    return options;
  } catch (const CLI::ParseError& error) {
    options.Mode = TRunMode::kUsageError;
    options.Text = error.what();
    for (char& c : options.Text) {
      if (c == '\n') c = ' ';
    }
    return options;
  }
  options.Config.Named = app.count("--config") > 0;
  options.Mode = check ? TRunMode::kCheck : TRunMode::kServe;
  return options;
}

}  // namespace quorvane
