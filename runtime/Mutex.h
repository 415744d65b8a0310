// TMutex and TMutexLock: std::mutex and its scoped guard, annotated for
// clang's thread-safety analysis (runtime/ThreadAnnotations.h), so that
// "guarded by" is checked by the compiler instead of being prose.
#pragma once

#include <condition_variable>
#include <mutex>

#include "runtime/ThreadAnnotations.h"

namespace quorvane {

class CAPABILITY("mutex") TMutex final {
 public:
  TMutex() = default;
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // For std::condition_variable_any and friends.
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// Holds |mu| from construction to destruction.
class SCOPED_CAPABILITY TMutexLock final {
 public:
  explicit TMutexLock(TMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~TMutexLock() RELEASE() { mu_.Unlock(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& mu_;
};

}  // namespace quorvane
