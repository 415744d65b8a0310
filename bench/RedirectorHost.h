// TRedirectorHost: a child process that owns the redirectors under test, so
// that the CPU time and memory read from /proc (bench/ProcessStats.h) are the
// redirectors' own and not the load generators'. The parent asks over a pipe, one line per
// request: "tcp <target port>" and "udp <target port>" create a redirector
// on 127.0.0.1 forwarding to 127.0.0.1:<target port>, served by the next of
// the relay engine's loops, and answer its public port (0 on failure); "drop <public port>" destroys one and
// answers "ok"; "quit" destroys all, stops the relay engine (and with it the relays that outlived their
// redirectors) and ends the child; "caps <udp datagrams> <udp bytes> <tcp bytes> <bytes per redirector>"
// sets what players may send, per second, for every redirector of the child, at once (answers "ok").
// The child also ends when the parent's end of the pipe closes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "runtime/Net.h"
#include "servers/Players.h"

namespace quorvane::bench {

// How long an idle UDP session lives in the redirectors under test: longer
// than any run, so that sessions expire only when a test drops them.
inline constexpr std::int64_t kUdpSessionTimeoutMs = 300000;

// The player caps, per second, as [LIMITS] names them; 0: no cap.
struct TCapRates {
  std::uint64_t UdpDatagramsPerPlayer = 0;
  std::uint64_t UdpBytesPerPlayer = 0;
  std::uint64_t TcpBytesPerPlayer = 0;
  std::uint64_t BytesPerRedirector = 0;
};
// All four keys 0, which the child starts with: the rows that compare relays
// measure the relay, not a cap.
inline constexpr TCapRates kNoCaps{};
inline constexpr TCapRates kDefaultCaps{kDefaultUdpDatagramsPerPlayer, kDefaultUdpBytesPerPlayer,
                                        kDefaultTcpBytesPerPlayer, kDefaultBytesPerRedirector};

class TRedirectorHost {
 public:
  TRedirectorHost() = default;
  TRedirectorHost(const TRedirectorHost&) = delete;
  TRedirectorHost& operator=(const TRedirectorHost&) = delete;
  // Quits the child if it still runs.
  ~TRedirectorHost();

  // Forks the child. Call before this process creates any thread: the child
  // must not inherit locks held by threads that do not exist in it. In the
  // child this never returns. False when the fork failed.
  bool Start();

  pid_t Pid() const { return pid_; }
  // Public port of a new redirector to 127.0.0.1:|target_port|; 0 on failure.
  std::uint16_t AddTcp(std::uint16_t target_port);
  std::uint16_t AddUdp(std::uint16_t target_port);
  void Drop(std::uint16_t public_port);
  // Applies to the redirectors open and to those made later.
  void SetCaps(const TCapRates& caps);
  // Ends the child and reaps it, within a bounded time.
  void Quit();

 private:
  std::string Ask(const std::string& request);

  pid_t pid_ = -1;
  TUniqueFd to_child_;
  TUniqueFd from_child_;
};

}  // namespace quorvane::bench
