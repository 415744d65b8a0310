#include "app/MainSequence.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>

#include "admin/AdminServer.h"
#include "app/CommandLine.h"
#include "app/ConfigCheck.h"
#include "app/ConfigLoad.h"
#include "app/ConfigReloader.h"
#include "app/ServiceNotify.h"
#include "requests/RequestsServer.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/RelayEngine.h"

namespace quorvane {
namespace {

// Waits for signals on a signalfd. SIGHUP asks the reloader for a reload
// and waiting goes on; SIGINT or SIGTERM sets |stop|, on which the main
// thread waits, as it does for a failed listener. The main thread owns it
// and stops it with Terminate() and WaitFor().
class TSignalWatcher final : public TThread {
 public:
  // Takes ownership of |signal_fd|; |stop| and |reloader| must outlive the
  // thread. |reloader| is null when its thread could not be started.
  TSignalWatcher(TUniqueFd signal_fd, const TEvent& stop, TConfigReloader* reloader)
      : signal_fd_(std::move(signal_fd)), stop_(stop), reloader_(reloader) {}
  ~TSignalWatcher() override = default;

  // Whether a signal stopped the server. Valid after WaitFor().
  bool Signalled() const { return signalled_.load(std::memory_order_acquire); }

 protected:
  void Execute() override {
    while (!Terminated()) {
      pollfd fds[2] = {{signal_fd_.Get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
      if (PollRetry(fds, 2, -1) < 0) return;
      if (fds[0].revents == 0) continue;
      signalfd_siginfo info{};
      if (::read(signal_fd_.Get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
      if (info.ssi_signo == SIGHUP) {
        // Never reloads here: its name lookups could hold up a stop.
        if (reloader_ != nullptr) {
          reloader_->Request();
        } else {
          LogWarning(kDiagnosticPrefix, "SIGHUP ignored: the reload thread could not be started");
        }
        continue;
      }
      // A reload that ends from here on applies nothing and reports nothing.
      if (reloader_ != nullptr) reloader_->Terminate();
      service::NotifyStopping();
      signalled_.store(true, std::memory_order_release);
      stop_.Set();
      // A second signal while the server shuts down stays blocked and pending.
      return;
    }
  }

 private:
  TUniqueFd signal_fd_;
  const TEvent& stop_;
  TConfigReloader* reloader_;
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

// Descriptors the start opens after the configuration is loaded, counted on
// a running server: three per engine loop (epoll, wake and stop events);
// the control listener, its ended event, the reload thread's three events,
// the signal watcher's wake event, the stop event and the exit event; and
// with [ADMIN] on, its listener, its accept loop and its workers' events.
constexpr long kDescriptorsPerLoop = 3;
constexpr long kServerDescriptors = 8;
constexpr long kAdminDescriptors = 9;
// Room for the first few sessions, redirectors and relays, so that a
// server that starts can serve somebody.
constexpr long kWorkingMargin = 16;

// Under a limit that leaves no room beside the reserve every session and
// create would be refused from the first one on: the server would start
// and serve nobody. The least limit is the reserve, what is open now, what
// the start still opens, and kWorkingMargin.
bool EnoughDescriptors(const TServerConfig& config) {
  const long limit = fd_budget::Limit();
  if (limit == 0) return true;  // no limit
  const long needed = fd_budget::Open() + kDescriptorsPerLoop * static_cast<long>(AvailableCpus()) +
                      kServerDescriptors + (config.Admin.Port != 0 ? kAdminDescriptors : 0) + kWorkingMargin;
  const long reserve = fd_budget::Reserve();
  if (limit >= reserve + needed) return true;
  LogError(kDiagnosticPrefix, "descriptor limit ", limit, " is too small: the reserve keeps ", reserve,
           " free and the server needs at least ", needed,
           " more for its listeners and loops; raise LimitNOFILE or ulimit -n");
  return false;
}

sigset_t WatchedSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

// Blocks the watched signals in this thread, and so in every thread started
// from it later, and returns a descriptor that reports them. When no
// signalfd can be had the signals keep their default action, so that they
// still stop the process.
TUniqueFd TakeSignals() {
  const sigset_t signals = WatchedSignals();
  TUniqueFd fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (fd) pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return fd;
}

void UnblockSignals() {
  const sigset_t signals = WatchedSignals();
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

int Serve(TUniqueFd signal_fd, const TConfigSource& source, const TConfigLoad& load, bool* exit_at_once) {
  // Every session, redirector and relay runs on the engine's loops.
  TRelayEngine engine;
  if (!engine.Start()) {
    // There is one loop per CPU, so a task limit that fits a smaller
    // machine is the likely cause.
    LogError("quorvane: the ", engine.LoopCount(),
             " event-loop threads (one per CPU) could not be started; is the task limit (TasksMax=, "
             "ulimit -u) too low?");
    return kExitFailed;
  }
  const TConfigSnapshot config = CurrentConfig();
  TRequestsServer server(config, engine);  // prints the start line
  const bool listening = server.Socket() >= 0;
  if (!listening) {
    TDiagnostics failure(load.Diagnostics.File());
    ReportListenFailure(*config, load.Ini, server.SetupError(), failure);
    failure.Print();
  }
  // The admin endpoint ([ADMIN] PORT 0: none) runs on threads of its own,
  // and goes before the requests server does.
  std::unique_ptr<TAdminServer> admin;
  if (listening && !StartAdminEndpoint(server, &engine, config->Admin, admin)) return kExitFailed;
  // The caps are the redirectors' to read at every refill, so a reload
  // puts them in place at once; the reload thread holds them, not the
  // server, which it may outlive.
  auto reloader = std::make_unique<TConfigReloader>(
      source,
      [caps = server.PlayerCaps()](const TServerConfig& applied) { StoreCaps(applied.Limits, *caps); });
  const bool reloading = listening && reloader->Resume();
  const TEvent stop_requested;
  TSignalWatcher watcher(std::move(signal_fd), stop_requested, reloading ? reloader.get() : nullptr);
  const bool watching = watcher.Resume();
  // Without a watcher the stop signals must keep their default action.
  if (!watching) UnblockSignals();
  const bool serving = listening && server.Start();
  if (serving) {
    service::NotifyReady();
    // Until a stop signal, or until the listener fails.
    pollfd waits[2] = {{stop_requested.Fd(), POLLIN, 0}, {server.ListenerEndedFd(), POLLIN, 0}};
    PollRetry(waits, 2, -1);
  }
  server.Stop();  // "Closing server", then every session ends
  if (admin) admin->Stop();
  watcher.Terminate();
  if (watching) watcher.WaitFor();
  *exit_at_once = !TConfigReloader::Stop(std::move(reloader));
  engine.Stop();
  const bool failed = !serving || server.ListenerFailed();
  return !failed && watcher.Signalled() ? kExitStopped : kExitFailed;
}

}  // namespace

int RunServer(const TConfigSource& source, bool* exit_at_once) {
  *exit_at_once = false;
  // Log lines leave through the writer thread from the banner on; at every
  // way out, it gets a bounded time to flush, so a stalled standard output
  // cannot keep the process from ending.
  const TLogWriterScope log_writer;
  Log("Quorvane by Ostrevan v", kVersionMajor, ".", kVersionMinor);
  RaiseOpenFileLimit();
  fd_budget::Init();
  // Sends use MSG_NOSIGNAL; this covers any write to a closed pipe as well.
  ::signal(SIGPIPE, SIG_IGN);
  TUniqueFd signal_fd = TakeSignals();

  const TConfigLoad load = LoadConfiguration(source);
  load.Diagnostics.Print();
  if (load.Diagnostics.HasErrors() || !load.Snapshot) return kExitFailed;
  if (!EnoughDescriptors(*load.Snapshot)) return kExitFailed;
  PublishConfig(load.Snapshot);

  // Nothing signals or waits on this event; it only has to exist while the
  // server runs.
  const TEvent ExitEvent;
  if (!ExitEvent.Valid()) {
    Log("ExitEvent creation failed");
    return kExitFailed;
  }
  try {
    return Serve(std::move(signal_fd), source, load, exit_at_once);
  } catch (...) {
    // Reached only by failures such as memory exhaustion; the threads have
    // been stopped by the destructors on the way here.
    return kExitFailed;
  }
}

int CheckConfiguration(const TConfigSource& source) {
  TConfigLoad load = LoadConfigurationForCheck(source);
  const bool failed = load.Diagnostics.HasErrors();
  load.Diagnostics.Note(kWholeFile, failed ? "configuration has errors" : "configuration OK");
  load.Diagnostics.Print();
  return failed ? kExitFailed : kExitStopped;
}

int Main(int argc, char** argv) {
  const TServerOptions options = ParseServerOptions(argc, argv);
  // Under the journal every diagnostic carries its priority, and the
  // journal's own times make a second one on the line noise.
  const bool journal = StandardErrorIsJournal();
  SetLogFormat({.Priorities = journal, .Timestamps = options.Timestamps && !journal});
  switch (options.Mode) {
    case TRunMode::kHelp:
    case TRunMode::kVersion:
      LogLine(options.Text);
      return kExitStopped;
    case TRunMode::kUsageError:
      LogError(kDiagnosticPrefix, options.Text);
      LogError("Try 'quorvane --help'.");
      return kExitUsage;
    case TRunMode::kCheck:
      return CheckConfiguration(options.Config);
    case TRunMode::kServe:
      break;
  }
  bool exit_at_once = false;
  const int code = RunServer(options.Config, &exit_at_once);
  // A reload thread still inside a name lookup may touch statics that exit()
  // would destroy; every line has been written already.
  if (exit_at_once) std::_Exit(code);
  return code;
}

}  // namespace quorvane
