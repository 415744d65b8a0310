// Programs the benchmark runs beside itself (the peers it compares with, the
// real server): each in a scratch directory of its own, in the foreground,
// as a child process in a process group of its own, stopped at the end.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::bench {

// A directory under /tmp made for one program run and removed, with all it
// holds, when the object goes.
class TScratchDir {
 public:
  TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  ~TScratchDir();

  bool Valid() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  // Writes |text| to the file |name| in the directory; false on failure.
  bool Write(const std::string& name, const std::string& text) const;
  // The last |lines| lines of the file |name| that hold |containing|,
  // joined with "; ".
  std::string Tail(const std::string& name, int lines, std::string_view containing = {}) const;
  // Every line of the file |name| that holds |containing|.
  std::vector<std::string> Lines(const std::string& name, std::string_view containing) const;

 private:
  std::string path_;
};

// A port a program is expected to bind: |type| SOCK_STREAM or SOCK_DGRAM.
struct TBoundPort {
  int Type;
  std::uint16_t Port;
};

// One running program. Started by Start(), ended by Stop() or the
// destructor; the program also gets SIGKILL when the thread that started it
// ends, so that a crashed benchmark leaves nothing behind. Main thread only.
class TChildProcess {
 public:
  TChildProcess() = default;
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;
  ~TChildProcess() { Stop(); }

  // Runs |argv| (argv[0] a path) in |dir|, standard input from /dev/null,
  // standard output and error to |log_path|. |descriptor_limit| > 0 sets the
  // program's RLIMIT_NOFILE, soft and hard, before it starts, so that a
  // program that raises its soft limit to the hard one still meets it.
  // REQUIRES: not running.
  bool Start(const std::vector<std::string>& argv, const std::string& dir, const std::string& log_path,
             long descriptor_limit = 0);
  pid_t Pid() const { return pid_; }
  // False once the program has ended (it is then reaped).
  bool Running();
  // Waits until the program has bound every one of |ports| on 127.0.0.1
  // (listening, for SOCK_STREAM), for at most |timeout_ms|. False when it
  // ended or ran out of time first.
  bool WaitBound(const std::vector<TBoundPort>& ports, int timeout_ms);
  // SIGTERM to the program's process group, then SIGKILL to the group when
  // the program has not ended within |grace_ms|. Idempotent.
  void Stop(int grace_ms = 3000);

 private:
  pid_t pid_ = -1;
};

// True when |path| names an executable file.
bool Executable(const std::string& path);

// A loopback port of |type| (SOCK_STREAM or SOCK_DGRAM) that was free a
// moment ago, for a program that only takes ports in its configuration. 0
// when none could be had.
std::uint16_t FreeLoopbackPort(int type);

// True when something of |type| is bound to 127.0.0.1:|port| (listening,
// for SOCK_STREAM), read from /proc/net/tcp or /proc/net/udp.
bool BoundOnLoopback(int type, std::uint16_t port);

}  // namespace quorvane::bench
