#include "app/MainSequence.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "app/Config.h"
#include "app/IniFile.h"
#include "requests/RequestsServer.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/RelayEngine.h"

namespace quorvane {
namespace {

// Waits for SIGINT or SIGTERM on a signalfd and then asks the requests
// server to terminate, which ends its accept loop the way a failed listener
// does. The main thread owns it and stops it with Terminate() and WaitFor().
class TSignalWatcher final : public TThread {
 public:
  // Takes ownership of |signal_fd|; |server| must outlive the thread.
  TSignalWatcher(UniqueFd signal_fd, TThread& server) : signal_fd_(std::move(signal_fd)), server_(server) {}
  ~TSignalWatcher() override = default;

  // Whether a signal stopped the server. Valid after WaitFor().
  bool Signalled() const { return signalled_.load(std::memory_order_acquire); }

 protected:
  void Execute() override {
    while (!Terminated()) {
      pollfd fds[2] = {{signal_fd_.get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
      if (PollRetry(fds, 2, -1) < 0) return;
      if (fds[0].revents == 0) continue;
      signalfd_siginfo info{};
      if (::read(signal_fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      signalled_.store(true, std::memory_order_release);
      server_.Terminate();
      // A second signal while the server shuts down stays blocked and pending.
      return;
    }
  }

 private:
  UniqueFd signal_fd_;
  TThread& server_;
  std::atomic<bool> signalled_{false};
};

// More sessions and relays than the usual soft limit of 1024 descriptors
// allows are possible; failing to raise it is not worth a word.
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

// Blocks SIGINT and SIGTERM in this thread, and so in every thread started
// from it later, and returns a descriptor that reports them. When no
// signalfd can be had the signals keep their default action, so that they
// still stop the process.
UniqueFd TakeStopSignals() {
  const sigset_t stop_signals = StopSignals();
  UniqueFd fd(::signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (fd) pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  return fd;
}

void UnblockStopSignals() {
  const sigset_t stop_signals = StopSignals();
  pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
}

int Serve(UniqueFd signal_fd) {
  TRelayEngine engine;
  if (!engine.Start()) {
    LogError("Relay threads could not be started");
    return kExitFailed;
  }
  TRequestsServer server;
  server.RelayEngine = &engine;
  TSignalWatcher watcher(std::move(signal_fd), server);
  const bool watching = watcher.Resume();
  // Without a watcher the stop signals must keep their default action.
  if (!watching) UnblockStopSignals();
  const bool serving = server.Resume();
  server.WaitFor();  // runs the server's end handler: "Closing server"
  watcher.Terminate();
  if (watching) watcher.WaitFor();
  engine.Stop();
  const bool failed = !serving || server.ListenerFailed();
  return !failed && watcher.Signalled() ? kExitStopped : kExitFailed;
}

}  // namespace

int RunServer() {
  // Log lines leave through the writer thread from the banner on; at every
  // way out, it gets a bounded time to flush, so a stalled standard output
  // cannot keep the process from ending.
  const TLogWriterScope log_writer;
  Log("Quorvane by Ostrevan v", kVersionMajor, ".", kVersionMinor);
  RaiseOpenFileLimit();
  fd_budget::Init();
  // Sends use MSG_NOSIGNAL; this covers any write to a closed pipe as well.
  ::signal(SIGPIPE, SIG_IGN);
  UniqueFd signal_fd = TakeStopSignals();

  LoadSettings(TIniFile(std::string(kConfigFileName)));

  // Nothing signals or waits on this event; it only has to exist while the
  // server runs.
  const TEvent ExitEvent;
  if (!ExitEvent.valid()) {
    Log("ExitEvent creation failed");
    return kExitFailed;
  }
  try {
    return Serve(std::move(signal_fd));
  } catch (...) {
    // Reached only by failures such as memory exhaustion; the threads have
    // been stopped by the destructors on the way here.
    return kExitFailed;
  }
}

}  // namespace quorvane
