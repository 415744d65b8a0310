// One blocking TCP connection of quorvane-ctl, shared by the control client
// and the admin client: connecting, sending and receiving with a time-out,
// each wait a poll() that also watches an optional wake descriptor, so that a
// signal (delivered through a signalfd) ends any wait at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "runtime/Clock.h"
#include "runtime/Net.h"

namespace quorvane::ctl {

// Why a call on a connection gave no result.
enum class TCtlFailure { kNone, kConnect, kClosed, kTimeout, kProtocol, kInterrupted };

struct TCtlError {
  TCtlFailure Kind = TCtlFailure::kNone;
  std::string Message;  // human-readable, without a trailing newline
};

// A connected TCP socket with time-outs. Not thread-safe: one thread owns and
// uses it.
class TCtlConnection final {
 public:
  // |timeout_ms| bounds connecting and each send. |wake_fd| (not owned; -1
  // for none): once it is readable, any wait ends with kInterrupted. The
  // caller keeps it open for the connection's lifetime.
  TCtlConnection(int timeout_ms, int wake_fd);
  TCtlConnection(const TCtlConnection&) = delete;
  TCtlConnection& operator=(const TCtlConnection&) = delete;

  // Resolves |host| (dotted or a name, as ResolveHost does) and connects. A
  // handshake that takes longer than the time-out fails with kTimeout, any
  // other failure with kConnect. REQUIRES: not connected yet.
  bool Connect(const std::string& host, std::uint16_t port);

  // The calls below REQUIRE a successful Connect.

  // Sends all |size| bytes; false with Error() set when the connection broke
  // or the peer took nothing for the time-out.
  bool SendAll(const void* data, std::size_t size);
  // Receives up to |size| bytes, waiting until |deadline_ms| (SteadyMs()
  // base; < 0: no limit). 0 when the peer closed the connection; nullopt
  // with Error() set on time-out ("no reply within ..."), interruption or a
  // broken connection.
  std::optional<std::size_t> ReceiveSome(void* data, std::size_t size, std::int64_t deadline_ms);

  int TimeoutMs() const { return timeout_ms_; }
  const TCtlError& Error() const { return error_; }
  // Records a failure for the caller; always false, to be returned at once.
  bool Fail(TCtlFailure kind, std::string message);

 private:
  // Waits for |events| on the socket until |deadline_ms|. Sets Error() when
  // woken or when the wait itself fails; a time-out is left to the caller.
  TWaitResult WaitSocket(short events, std::int64_t deadline_ms);

  const int timeout_ms_;
  const int wake_fd_;
  TUniqueFd socket_;
  TCtlError error_;
};

}  // namespace quorvane::ctl
