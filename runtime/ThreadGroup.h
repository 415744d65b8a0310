#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "runtime/Event.h"
#include "runtime/Mutex.h"
#include "runtime/Thread.h"

namespace quorvane {

// Owns a set of threads and frees each one once it has ended: the owner
// polls EndFd() and calls Reap(). This replaces threads that free
// themselves, and keeps a join handle for every thread until it is joined.
// Thread-safe.
class TThreadGroup {
 public:
  TThreadGroup();
  TThreadGroup(const TThreadGroup&) = delete;
  TThreadGroup& operator=(const TThreadGroup&) = delete;
  // Stops and joins whatever is still running.
  ~TThreadGroup();

  // Readable when some thread of the group has ended since the last Reap().
  int EndFd() const { return ended_->Fd(); }
  // Takes ownership of |thread| and starts it. Returns the thread, or nullptr
  // when it could not be started (it has been destroyed then).
  TThread* Start(std::unique_ptr<TThread> thread);
  // Joins and frees every thread whose Execute() has returned.
  void Reap();
  // Terminates every thread and waits for all of them.
  void StopAll();
  // Moves every thread that still runs into |heir|, after reaping the ended
  // ones. Their end signals keep pointing at this group's event, which stays
  // alive as long as they do; |heir| reaps them when it reaps.
  void HandOver(TThreadGroup& heir);
  std::size_t Count() const;

 private:
  void Adopt(std::vector<std::unique_ptr<TThread>> threads);

  std::shared_ptr<TEvent> ended_;
  mutable TMutex mu_;
  std::vector<std::unique_ptr<TThread>> threads_ GUARDED_BY(mu_);
};

}  // namespace quorvane
