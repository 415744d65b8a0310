// TLoopThread: a thread that runs one TEventLoop until it is terminated;
// for a component that needs a loop of its own apart from the server's
// loops (the admin endpoint's acceptor). The loop outlives the thread.
#pragma once

#include "runtime/EventLoop.h"
#include "runtime/Thread.h"

namespace quorvane {

class TLoopThread final : public TThread {
 public:
  explicit TLoopThread(TEventLoop& loop) : loop_(loop) {}
  ~TLoopThread() override = default;

 protected:
  void Execute() override { loop_.Run(); }
  void TerminationRequested() override { loop_.Stop(); }

 private:
  TEventLoop& loop_;
};

}  // namespace quorvane
