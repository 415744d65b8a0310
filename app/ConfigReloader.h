// A reload runs on a thread of its own (TConfigReloader): its name lookups
// may take seconds with a slow resolver, and the thread that takes the stop
// signals must never wait for them.
#pragma once

#include <functional>
#include <memory>

#include "app/ConfigLoad.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"

namespace quorvane {

// What else a reload applies, beyond the snapshot that requests take
// (PublishConfig): called on the reload thread right after publishing it.
using TConfigApplied = std::function<void(const TServerConfig&)>;

// Reloads the configuration whenever asked, on its own thread.
class TConfigReloader final : public TThread {
 public:
  explicit TConfigReloader(TConfigSource source, TConfigApplied applied = {});
  ~TConfigReloader() override;

  // Asks for a reload. Requests made while one runs fold into one more
  // after it. Any thread.
  void Request() const { requested_.Set(); }

  // Terminates |reloader| and frees it. A reload blocked in a name lookup
  // or a read cannot be interrupted: after kReloadStopGraceMs it is left
  // behind, still allocated, and false is returned, so that the caller ends
  // the process without waiting for it (and without running the static
  // destructors that its thread may still reach). Owner thread.
  static bool Stop(std::unique_ptr<TConfigReloader> reloader);

 protected:
  void Execute() override;

 private:
  const TConfigSource source_;
  const TConfigApplied applied_;
  TEvent requested_;
  std::shared_ptr<TEvent> ended_ = std::make_shared<TEvent>();
};

// How long a stop waits for a reload in progress.
inline constexpr int kReloadStopGraceMs = 1000;

}  // namespace quorvane
