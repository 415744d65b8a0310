// TThreadList: a list with its own lock. The only way at the items is
// LockList(), whose guard unlocks when it goes out of scope, so no path can
// leave the list locked.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "runtime/Mutex.h"

namespace quorvane {

template <class T>
class TThreadList {
 public:
  // Scoped access to the locked list.
  // The analysis cannot follow a lock that a returned object holds; the
  // guard is the only way at the items, which is what the annotations below
  // would otherwise check.
  class TLocked {
   public:
    explicit TLocked(TThreadList& list) NO_THREAD_SAFETY_ANALYSIS : lock_(list.mu_), items_(list.items_) {}
    ~TLocked() NO_THREAD_SAFETY_ANALYSIS = default;
    TLocked(const TLocked&) = delete;
    TLocked& operator=(const TLocked&) = delete;
    std::vector<T>& operator*() { return items_; }
    std::vector<T>* operator->() { return &items_; }

   private:
    TMutexLock lock_;
    std::vector<T>& items_;
  };

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  TLocked LockList() { return TLocked(*this); }
  // Appends without searching: duplicates are allowed.
  void Add(T item) EXCLUDES(mu_) {
    TMutexLock lock(mu_);
    items_.push_back(std::move(item));
  }
  std::size_t Count() EXCLUDES(mu_) {
    TMutexLock lock(mu_);
    return items_.size();
  }

 private:
  TMutex mu_;
  std::vector<T> items_ GUARDED_BY(mu_);
};

}  // namespace quorvane
