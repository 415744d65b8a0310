#include "runtime/ThreadGroup.h"

#include <algorithm>
#include <utility>

namespace quorvane {

TThreadGroup::TThreadGroup() : ended_(std::make_shared<TEvent>()) {}

TThreadGroup::~TThreadGroup() { StopAll(); }

TThread* TThreadGroup::Start(std::unique_ptr<TThread> thread) {
  thread->SetEndSignal(ended_);
  TThread* raw = thread.get();
  TMutexLock lock(mu_);
  // Room first: once the thread runs, storing it must not fail. Grown
  // geometrically, so that starting n threads costs O(n) moves, not O(n^2).
  if (threads_.size() == threads_.capacity())
    threads_.reserve(std::max<std::size_t>(16, 2 * threads_.capacity()));
  // Started under the lock so that a concurrent StopAll either sees it or
  // runs before it exists.
  if (!raw->Resume()) return nullptr;
  threads_.push_back(std::move(thread));
  return raw;
}

void TThreadGroup::Reap() {
  ended_->Reset();
  std::vector<std::unique_ptr<TThread>> done;
  {
    TMutexLock lock(mu_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if ((*it)->Finished()) {
        done.push_back(std::move(*it));
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Joined outside the lock: an ended thread's join returns at once, but
  // freeing it may close sockets.
  for (auto& thread : done) thread->WaitFor();
}

void TThreadGroup::StopAll() {
  std::vector<std::unique_ptr<TThread>> all;
  {
    TMutexLock lock(mu_);
    all.swap(threads_);
  }
  for (auto& thread : all) thread->Terminate();
  for (auto& thread : all) thread->WaitFor();
}

void TThreadGroup::HandOver(TThreadGroup& heir) {
  Reap();
  std::vector<std::unique_ptr<TThread>> running;
  {
    TMutexLock lock(mu_);
    running.swap(threads_);
  }
  heir.Adopt(std::move(running));
}

void TThreadGroup::Adopt(std::vector<std::unique_ptr<TThread>> threads) {
  Reap();
  TMutexLock lock(mu_);
  for (auto& thread : threads) threads_.push_back(std::move(thread));
}

std::size_t TThreadGroup::Count() const {
  TMutexLock lock(mu_);
  return threads_.size();
}

}  // namespace quorvane
