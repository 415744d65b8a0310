// TThreadList: a list with its own lock. The only way at the items is
// LockList(), whose guard unlocks when it goes out of scope, so no path can
// leave the list locked.
#pragma once

#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace quorvane {

template <class T>
class TThreadList {
 public:
  // Scoped access to the locked list.
  class TLocked {
   public:
    explicit TLocked(TThreadList& list) : lock_(list.mu_), items_(list.items_) {}
    std::vector<T>& operator*() { return items_; }
    std::vector<T>* operator->() { return &items_; }

   private:
    std::unique_lock<std::mutex> lock_;
    std::vector<T>& items_;
  };

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  TLocked LockList() { return TLocked(*this); }
  // Appends without searching: duplicates are allowed.
  void Add(T item) {
    std::lock_guard lock(mu_);
    items_.push_back(std::move(item));
  }
  std::size_t Count() {
    std::lock_guard lock(mu_);
    return items_.size();
  }

 private:
  std::mutex mu_;
  std::vector<T> items_;  // guarded by mu_
};

}  // namespace quorvane
