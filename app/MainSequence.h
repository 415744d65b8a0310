// The program's main sequence: banner, process set-up, configuration, the
// requests server, and the shutdown that follows when it ends.
#pragma once

#include <string_view>

namespace quorvane {

inline constexpr int kVersionMajor = 0;
inline constexpr int kVersionMinor = 4;
// Read from the current working directory.
inline constexpr std::string_view kConfigFileName = "KELVARD.ini";

inline constexpr int kExitStopped = 0;  // stopped by SIGINT or SIGTERM
inline constexpr int kExitFailed = 1;   // the listener failed, or set-up did

// Runs the server until SIGINT or SIGTERM stops it or its control listener
// fails, and returns the process exit code. Call once, on the main thread,
// before any other thread exists: it blocks SIGINT and SIGTERM for every
// thread it starts and takes them from a signalfd instead.
int RunServer();

}  // namespace quorvane
