// The process's threads, and how they meet.
//
// DESIGN. The threads are few and fixed: the main thread, the event loops
// (TRelayLoop, one per CPU, which run every control session, listener, UDP
// redirector, relay and their timers), the log writer, the reload thread,
// the signal watcher and the admin endpoint's acceptor and workers. None is
// started per client, redirector or connection; new work waits on a loop
// (runtime/EventLoop.h), never on a thread of its own.
//
// TThread is the base of each of them. A thread object is always built
// suspended: its thread starts only at Resume(), after the most-derived
// constructor has finished, so Execute() never runs on a half-built object.
//
// Stopping is the owner's explicit duty: Terminate() then WaitFor(), then
// delete. Terminate() also makes WakeFd() readable, and every blocking wait of
// the thread includes that descriptor, so a stop takes effect at once.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "runtime/Net.h"

namespace quorvane {

class TThread {
 public:
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;
  // A thread still running here is a bug in its owner; as a last resort the
  // destructor terminates and joins it.
  virtual ~TThread();

  // Starts Execute() on a new thread. Returns false when the thread cannot be
  // created; the object is then unchanged and may simply be destroyed.
  // Call at most once, from the owner.
  bool Resume();
  // Asks the thread to stop. Any thread may call it, any number of times.
  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // Joins the thread (if it was started), then runs the end handler once on
  // the calling thread. Owner only; calling it again does nothing.
  void WaitFor();
  bool Started() const { return started_; }
  // True once Execute() has returned (or thrown).
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Readable once Terminate() has been called.
  int WakeFd() const { return wake_.Fd(); }

  // The end handler: runs in WaitFor() on the waiting thread, after the
  // thread has ended. Set before Resume().
  void SetOnTerminate(std::function<void()> handler) { on_terminate_ = std::move(handler); }
  // Set on the thread itself right after Execute() returns, so that an owner
  // waiting in poll() learns that this thread can be reaped. Set before Resume().
  void SetEndSignal(std::shared_ptr<TEvent> signal) { end_signal_ = std::move(signal); }
  // The name that reports about this thread use, for example
  // "session 127.0.0.1:5000". Set by the owner before Resume().
  void SetName(std::string name) { name_ = std::move(name); }
  // The name set, or else the class's own (demangled) type name.
  std::string Name() const;

 protected:
  // |stack_size| 0 keeps the system default.
  explicit TThread(std::size_t stack_size = 0);
  // The termination notification: runs once, on the thread whose
  // Terminate() came first, right after Terminated() became true and
  // WakeFd() readable, whether or not the thread runs. For a thread that
  // waits in a call the wake descriptor cannot interrupt (a blocking
  // accept()), to cut that wait short. Must not block; it may run while
  // Execute() runs, so it touches only what it guards against that. The
  // base class does nothing.
  virtual void TerminationRequested() {}
  // The thread body. An exception that escapes it ends the thread with one
  // line on standard error naming the thread and the exception; only the
  // silent abort ends it without a word.
  virtual void Execute() = 0;

 private:
  static void* Entry(void* self);

  std::size_t stack_size_;
  TEvent wake_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  bool started_ = false;  // owner thread only
  bool joined_ = false;   // owner thread only
  pthread_t handle_{};
  std::function<void()> on_terminate_;
  std::shared_ptr<TEvent> end_signal_;
  std::string name_;
};

}  // namespace quorvane
