// TUDPRedirector forwards a local UDP port to a fixed target. Every client
// (source address and port) gets a TUDPSession with a socket of its own, so
// the target sees each client as a separate port of this host and answers
// each one separately; whatever arrives on a session socket goes back to
// that session's client through the listening socket. Sessions whose client
// has been silent for longer than the time-out are dropped.
//
// Datagrams move in batches: one recvmmsg() takes what a socket holds (up
// to kDatagramBatch), and one sendmmsg() passes on a run of them that goes
// to one place. What a session socket holds all goes to one client; what
// the listening socket holds is cut into runs of consecutive datagrams from
// one client. Order per client and per session is kept.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "runtime/AddressCounter.h"
#include "runtime/Net.h"
#include "servers/RedirectorOptions.h"
#include "servers/UDPServer.h"

namespace quorvane {

// All buffers live on the heap, so the loop needs little stack.
inline constexpr std::size_t kUdpRedirectorStackSize = std::size_t{256} * 1024;
// Receive slot pages a redirector may keep resident (a trickle of small
// datagrams touches one); beyond that, all of them are given back within
// kBatchTrimDelayMs, busy or idle, so that a burst leaves no megabytes
// behind and sustained bulk pays one madvise() a second.
inline constexpr std::size_t kRetainedSlotBytes = std::size_t{64} * 1024;
inline constexpr std::int64_t kBatchTrimDelayMs = 1000;

// Milliseconds of a monotonic clock.
using TMillisClock = std::function<std::int64_t()>;
// std::chrono::steady_clock in milliseconds: 64 bits, never wraps.
std::int64_t SteadyMillis();

// One client of a redirector. Plain record, owned by the redirector's table.
struct TUDPSession {
  // Clock time of the session's creation or of its client's last datagram;
  // answers from the target do not refresh it.
  std::int64_t LastActivity = 0;
  // The client exactly as the receive call gave it (network byte order).
  sockaddr_in ClientAddr{};
  // Bound to a system-chosen port; forwarded datagrams leave through it and
  // the target's answers arrive on it. Always valid.
  UniqueFd Socket;
  // The client address's share of the per-address limit, held while the
  // session exists.
  TAddressSlot AddressShare;
};

class TUDPRedirector final : public TUDPServer {
 public:
  // Listens on |listen_host|:|listen_port| (empty host: every local address;
  // port 0: system-chosen) and forwards to |target_host|:|target_port|,
  // resolved once here. Session sockets bind |outbound_host| (any address
  // when |listen_host| is empty). Sessions silent for more than |timeout_ms|
  // expire; |options| bounds them (sessions in all, sessions per remote
  // address) and names the stats to keep. Built suspended; Socket() == -1
  // when the listening socket could not be set up.
  TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                 std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                 TRedirectorOptions options = {});
  // Stops and joins the thread; session sockets are closed by then.
  ~TUDPRedirector() override;

  // Replaces the clock that times sessions (SteadyMillis by default). Owner
  // only, before Resume().
  void SetClock(TMillisClock clock) { clock_ = std::move(clock); }
  const std::shared_ptr<TRedirectorStats>& Stats() const { return stats_; }
  // Sessions currently in the table. Any thread.
  std::size_t SessionCount() const { return session_count_.load(std::memory_order_acquire); }

 protected:
  // One pass: block in poll() over the listening socket, every session
  // socket and WakeFd() until something is readable or a timer is due (the
  // earliest session expiry, giving back receive slots); relay one batch
  // from every readable session socket, then one from the listening socket;
  // then expire. Ends on Terminate(), a receive failure on the listening
  // socket or a poll() failure, closing every socket; Finished() is true
  // from then on, whatever ended it.
  void Execute() override;

 private:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  // Poll slots: the listening socket, WakeFd(), then one per session.
  static constexpr std::size_t kListenSlot = 0;
  static constexpr std::size_t kWakeSlot = 1;
  static constexpr std::size_t kFirstSessionSlot = 2;

  // What one pass relayed, added to the stats once per pass.
  struct TPassTally {
    std::uint64_t bytes_to_target = 0, datagrams_to_target = 0;
    std::uint64_t bytes_from_target = 0, datagrams_from_target = 0;
  };

  // Relays one batch from every session socket that |fds| reports ready to
  // its client; |fds| describes the table as it is (session i at
  // fds[kFirstSessionSlot + i]).
  void PollSessions(const std::vector<pollfd>& fds, TPassTally& tally);
  // Forwards the batch taken from the listening socket, each run of
  // datagrams from one client with one send through its session socket.
  void ProcessDatagrams(TPassTally& tally);
  // Index of the session for |from|: the existing one, refreshed at |now|,
  // or a new one when the limits allow it; -1 when the datagram is dropped.
  int SessionFor(const sockaddr_in& from, std::int64_t now);
  // Index of the session whose client has |addr|'s port and address, or -1.
  int FindSession(const sockaddr_in& addr) const;
  // Removes every session whose client has been silent for longer than the
  // time-out at |now| (LastActivity + Timeout < now), keeping the order of
  // the rest. Returns the earliest time at which one of them may expire.
  std::int64_t ExpireSessions(std::int64_t now);
  void EvictLongestSilent();
  UniqueFd OpenSessionSocket() const;
  // First clock time at which a session last active at |last_activity| has
  // expired.
  std::int64_t ExpiryTime(std::int64_t last_activity) const;
  // Milliseconds poll() may wait before a timer is due; -1 without one.
  int PollTimeout() const;
  void AddToStats(const TPassTally& tally);
  // Once more than kRetainedSlotBytes of receive slot pages have been
  // resident for kBatchTrimDelayMs, gives them all back.
  void TrimBatch();
  std::int64_t Now() const { return clock_(); }
  void PublishCount();

  const std::string target_host_;
  const std::uint16_t target_port_;
  const sockaddr_in target_addr_;
  const std::int64_t timeout_;
  const std::string outbound_host_;
  const std::uint32_t outbound_addr_;  // session sockets bind here; network order
  const std::size_t max_sessions_;
  const std::uint32_t connections_per_address_;
  const std::shared_ptr<TRedirectorStats> stats_;
  TMillisClock clock_ = SteadyMillis;

  // Redirector thread only.
  std::vector<TUDPSession> sessions_;  // in order of creation
  TAddressCounter sessions_per_address_;
  std::int64_t next_expiry_ = kNever;  // no session expires before this
  std::int64_t trim_at_ = kNever;      // steady clock: when TrimBatch() is due
  std::atomic<std::size_t> session_count_{0};
};

}  // namespace quorvane
