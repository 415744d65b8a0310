// TRedirector: what the redirector registry holds of a TCP or UDP
// redirector. A redirector is served by one loop (Loop()) for its whole
// life: it is built on any thread, started on its loop's thread, and
// destroyed there too (or on any thread once that loop has closed); its
// destructor closes its public port and every socket it holds, so the port
// is closed when the destructor returns. Relays a TCP redirector started
// belong to the loop and outlive it.
#pragma once

#include <memory>
#include <vector>

#include "servers/Players.h"
#include "servers/RedirectorStats.h"

namespace quorvane {

class TRelayLoop;

class TRedirector {
 public:
  TRedirector(const TRedirector&) = delete;
  TRedirector& operator=(const TRedirector&) = delete;
  virtual ~TRedirector() = default;

  // Loop thread: starts serving. False when it cannot (no socket, epoll
  // refused); it then serves nothing and may simply be destroyed.
  virtual bool Start() = 0;
  // Any thread: true once it has stopped serving by itself (its listening
  // socket failed); it then holds no socket any more.
  virtual bool Failed() const = 0;
  // Any thread: UDP sessions open now (0 for TCP).
  virtual std::size_t SessionCount() const { return 0; }
  // Loop thread: its players now, one per TCP relay it started (still
  // connecting or relaying) or per UDP session.
  virtual std::vector<TPlayerView> Players() const { return {}; }

  TRelayLoop& Loop() const { return loop_; }
  const std::shared_ptr<TRedirectorStats>& Stats() const { return stats_; }

 protected:
  TRedirector(TRelayLoop& loop, std::shared_ptr<TRedirectorStats> stats)
      : loop_(loop), stats_(stats ? std::move(stats) : std::make_shared<TRedirectorStats>()) {}

 private:
  TRelayLoop& loop_;
  std::shared_ptr<TRedirectorStats> stats_;
};

}  // namespace quorvane
