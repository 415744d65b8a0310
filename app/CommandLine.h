// The server's command line. Without arguments the server behaves as it
// always has: KELVARD.ini from the working directory, serving until stopped.
// Parsing is a pure function, so that it can be tested without a process.
#pragma once

#include <cstdint>
#include <string>

#include "app/ConfigLoad.h"

namespace quorvane {

enum class TRunMode : std::uint8_t {
  kServe,       // run the server
  kCheck,       // --check: judge the configuration, listen on nothing
  kHelp,        // -h, --help: Text is the help
  kVersion,     // -V, --version: Text is the version line
  kUsageError,  // Text is the one-line reason
};

struct TServerOptions {
  TRunMode Mode = TRunMode::kServe;
  TConfigSource Config;
  bool Timestamps = false;  // --timestamps
  std::string Text;
};

// Exit code of a command line the server does not understand.
inline constexpr int kExitUsage = 2;

// |argv| holds |argc| arguments, the program name first. Pure: no I/O.
TServerOptions ParseServerOptions(int argc, const char* const* argv);

// The banner's version and the commit the build was configured from
// ("unknown" outside a git checkout).
std::string VersionText();

}  // namespace quorvane
