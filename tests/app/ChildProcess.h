// Runs the real executables in a working directory of the test's choosing
// and reads their standard output and standard error through pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "runtime/Net.h"

namespace quorvane::test {

inline constexpr std::chrono::milliseconds kProcessLimit{20000};

// A child process of one of the real executables.
class ChildProcess {
 public:
  // |args| starts with the executable's path; |env| entries ("NAME=value")
  // are added to the test's own environment.
  ChildProcess(std::vector<std::string> args, const std::filesystem::path& cwd,
               std::vector<std::string> env = {});
  ~ChildProcess();  // kills the process if it still runs

  void Signal(int sig) const;
  const std::vector<std::string>& Lines() const { return out_.lines; }     // standard output
  const std::vector<std::string>& ErrLines() const { return err_.lines; }  // standard error
  const std::string& Out() const { return out_.text; }                     // all of standard output so far
  const std::string& Err() const { return err_.text; }

  // Reads output until |done| holds; false at the end of both streams or
  // after kProcessLimit.
  bool WaitUntil(const std::function<bool()>& done);
  bool WaitForLine(const std::string& line);  // on standard output
  // Reap the process, after reading its output to the end or without
  // reading any more of it: its exit code, or -1 when it died by a signal or
  // did not end in time (kProcessLimit or |limit|).
  int WaitExit();
  int WaitExitUnread(std::chrono::milliseconds limit);

 private:
  struct Stream {
    TUniqueFd fd;
    std::string text;
    std::string pending;
    std::vector<std::string> lines;
  };
  // False when both streams have ended, on error, or at |deadline|.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);
  int Reap();  // the exit code, or -1

  pid_t pid_ = -1;
  Stream out_;
  Stream err_;
};

// A temporary directory, removed with everything in it.
struct TempDir {
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();
  // Writes |text| to the file |name| in the directory; returns its path.
  std::filesystem::path Write(const std::string& name, const std::string& text) const;
  std::filesystem::path path;
};

// The [SERVER] section of a server on 127.0.0.1:|port|, then |more|.
std::string ServerIni(std::uint16_t port, const std::string& more = "");

// A port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreePort();

// A run of the real quorvane-ctl with |args| (split at spaces) and |env|
// ("NAME=value", may be empty), from "/". |serve| runs on this thread while
// the tool runs, e.g. to answer it on a listener.
struct TCtlRun {
  int Code = -1;  // exit code; -1 when it did not exit normally
  std::string Out;
  std::string Err;
};
TCtlRun RunCtl(const std::string& args, const std::function<void()>& serve = {}, const std::string& env = "");

bool HasLine(const std::vector<std::string>& lines, const std::string& line);

// The line the server prints once it listens on 127.0.0.1:|port|.
std::string StartLine(std::uint16_t port);

// One run of the server in a directory of its own, whose KELVARD.ini is
// ServerIni(|port|, |more_ini|). |command| starts with the executable (or a
// shell that ends by running it). The directory outlives the process.
class ServerProcess : private TempDir, public ChildProcess {
 public:
  explicit ServerProcess(std::uint16_t port, const std::string& more_ini = "",
                         std::vector<std::string> command = {QUORVANE_EXE},
                         std::vector<std::string> env = {});
  using TempDir::path;
  using TempDir::Write;
  // Waits for the line that says the control port listens.
  bool Serving() { return WaitForLine(StartLine(port_)); }

 private:
  std::uint16_t port_;
};

}  // namespace quorvane::test
