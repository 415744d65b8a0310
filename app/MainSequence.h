// The program's main sequence: the command line, then either the server
// (banner, process set-up, configuration, the requests server, and the
// shutdown that follows when it ends) or a check of the configuration.
#pragma once

#include "app/ConfigLoad.h"

namespace quorvane {

inline constexpr int kVersionMajor = 0;
inline constexpr int kVersionMinor = 4;

inline constexpr int kExitStopped = 0;  // stopped by SIGINT or SIGTERM; a check passed
inline constexpr int kExitFailed = 1;   // the listener failed, or set-up did; a check failed

// Runs the server with the configuration of |source| until SIGINT or
// SIGTERM stops it or its control listener fails, reloading the
// configuration on SIGHUP, and returns the process exit code. Call once, on
// the main thread, before any other thread exists: it blocks SIGINT, SIGTERM
// and SIGHUP for every thread it starts and takes them from a signalfd
// instead. *|exit_at_once| is set when a reload was still blocked in a name
// lookup at the stop: its thread is left running, so the caller must end
// the process with _Exit rather than return from main.
int RunServer(const TConfigSource& source, bool* exit_at_once);

// --check: reads and checks |source| (LoadConfigurationForCheck), which
// binds the control and admin addresses and closes them again (never
// listening), prints every diagnostic on standard error and returns
// kExitStopped when there was no error, kExitFailed otherwise. It runs
// beside the server it checks for: the ports that server holds are notes.
int CheckConfiguration(const TConfigSource& source);

// The whole program, from main().
int Main(int argc, char** argv);

}  // namespace quorvane
