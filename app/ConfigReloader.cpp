#include "app/ConfigReloader.h"

#include <poll.h>

#include <utility>

#include "app/ServiceNotify.h"

namespace quorvane {

TConfigReloader::TConfigReloader(TConfigSource source, TConfigApplied applied)
    : source_(std::move(source)), applied_(std::move(applied)) {
  SetEndSignal(ended_);
}

TConfigReloader::~TConfigReloader() {
  Terminate();
  WaitFor();
}

void TConfigReloader::Execute() {
  while (!Terminated()) {
    pollfd fds[2] = {{requested_.Fd(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 2, -1) < 0) return;
    if (Terminated()) return;
    if (fds[0].revents == 0) continue;
    requested_.Reset();
    service::NotifyReloading();
    const TConfigSnapshot running = CurrentConfig();
    TConfigLoad load = LoadConfiguration(source_, running.get());
    // A stop began while the file was read or its names looked up: apply
    // nothing more, the process is on its way out.
    if (Terminated()) return;
    load.Diagnostics.Print();
    TDiagnostics outcome(load.Diagnostics.File());
    if (load.Diagnostics.HasErrors() || !load.Snapshot) {
      outcome.Error(kWholeFile, "not reloaded; the settings in force stay");
    } else {
      PublishConfig(load.Snapshot);
      if (applied_) applied_(*load.Snapshot);
      ReportChangedSettings(*running, *load.Snapshot, outcome);
      outcome.Note(kWholeFile, "configuration reloaded");
    }
    outcome.Print();
    service::NotifyReady();
  }
}

bool TConfigReloader::Stop(std::unique_ptr<TConfigReloader> reloader) {
  reloader->Terminate();
  if (reloader->Started()) {
    pollfd ended{reloader->ended_->Fd(), POLLIN, 0};
    if (PollRetry(&ended, 1, kReloadStopGraceMs) <= 0) {
      // Left to finish its lookup on its own; it publishes nothing after
      // Terminate().
      static_cast<void>(reloader.release());
      return false;
    }
  }
  reloader->WaitFor();
  return true;
}

}  // namespace quorvane
