// TUDPRedirector forwards a local UDP port to a fixed target. Every client
// (source address and port) gets a TUDPSession with a socket of its own, so
// the target sees each client as a separate port of this host and answers
// each one separately; whatever arrives on a session socket goes back to
// that session's client through the listening socket. Sessions whose client
// has been silent for longer than the time-out are dropped.
//
// Datagrams move in batches: one recvmmsg() takes what a socket holds (up
// to kDatagramBatch), and one sendmmsg() passes on a run of them. What a
// session socket holds all goes to one client, and the answers of every
// session socket read in a pass leave the listening socket together; what
// the listening socket holds is cut into runs of consecutive datagrams from
// one client. Order per client and per session is kept.
//
// The loop waits in epoll, which reports only the sockets that have
// something: a redirector with many silent sessions pays nothing for them
// per datagram. Sessions are found by client in a hash index, and are kept
// in order of last activity, so that the next to expire and the one to evict
// at the cap are both the first.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "runtime/AddressCounter.h"
#include "runtime/Net.h"
#include "servers/RedirectorOptions.h"
#include "servers/Redirector.h"
#include "servers/RelayLoop.h"
#include "servers/UDPServer.h"

namespace quorvane {

// All buffers live on the heap, so the loop needs little stack.
inline constexpr std::size_t kUdpRedirectorStackSize = std::size_t{256} * 1024;
// Receive buffer asked for on the listening socket, where every client's
// datagrams queue, a flood's among them: room for tens of milliseconds of
// small datagrams at a hundred thousand a second, so that a loop that is
// briefly off the CPU does not make the kernel drop a player's datagrams
// with the flood's. Memory is taken only while datagrams wait.
inline constexpr int kListenReceiveBuffer = 4 * 1024 * 1024;

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
  TUniqueFd Socket;
  // The client address's share of the per-address limit, held while the
  // session exists.
  TAddressSlot AddressShare;
};

class TUDPRedirector final : public TUDPServer, public TRedirector {
 public:
  // Listens on |listen_host|:|listen_port| (empty host: every local address;
  // port 0: system-chosen) and forwards to |target_host|:|target_port|,
  // resolved once here. Session sockets bind |outbound_host| (any address
  // when |listen_host| is empty). Sessions silent for more than |timeout_ms|
  // expire; |options| bounds them (sessions in all, sessions per remote
  // address) and names the stats to keep. Built suspended; Socket() == -1
  // when the listening socket or the loop's epoll descriptor could not be
  // set up.
  TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                 std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                 const TRedirectorOptions& options);
  // Stops and joins the thread; session sockets are closed by then.
  ~TUDPRedirector() override;

  // Replaces the clock that times sessions (SteadyMillis by default); it
  // must never go back. Owner only, before Resume().
  void SetClock(TMillisClock clock) { clock_ = std::move(clock); }
  // Sessions currently in the table. Any thread.
  std::size_t SessionCount() const override { return session_count_.load(std::memory_order_acquire); }
  bool Start() override { return Resume(); }
  bool Failed() const override { return Finished(); }

 protected:
  // One pass: block in epoll_wait() over the listening socket, every session
  // socket and WakeFd() until something is readable or a timer is due (the
  // earliest session expiry, giving back receive slots); relay one batch
  // from every readable session socket, then one from the listening socket;
  // then expire. Ends on Terminate(), a receive failure on the listening
  // socket or an epoll failure, closing every socket; Finished() is true
  // from then on, whatever ended it.
  void Execute() override;

 private:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  // epoll tags of the two sockets that are not sessions; a session's tag is
  // its address, never either.
  static constexpr std::uint64_t kListenTag = 0;
  static constexpr std::uint64_t kWakeTag = 1;

  // Least recently active first. A list, so that a session stays put (epoll
  // reports its address) while others come and go.
  using TSessions = std::list<TUDPSession>;

  // What one pass relayed, added to the stats once per pass.
  struct TPassTally {
    std::uint64_t bytes_to_target = 0, datagrams_to_target = 0;
    std::uint64_t bytes_from_target = 0, datagrams_from_target = 0;
  };

  // Adds up to one batch of |session|'s answers to the pass's batch,
  // sending the batch on whenever it is full.
  void CollectAnswers(const TUDPSession& session, TPassTally& tally);
  // Sends every answer collected in the batch to its client, through the
  // listening socket, and empties the batch.
  void SendAnswers(TPassTally& tally);
  // Forwards the batch taken from the listening socket, each run of
  // datagrams from one client with one send through its session socket.
  void ProcessDatagrams(TPassTally& tally);
  // The session for |from|: the existing one, refreshed at |now|, or a new
  // one when the limits allow it; nullptr when the datagram is dropped.
  TUDPSession* SessionFor(const sockaddr_in& from, std::int64_t now);
  // Removes every session whose client has been silent for longer than the
  // time-out at |now| (LastActivity + Timeout < now). Returns the earliest
  // time at which one of the rest may expire.
  std::int64_t ExpireSessions(std::int64_t now);
  // Closes the session's socket, after taking it out of the epoll set (a
  // forked child could keep the socket, and with it the registration,
  // alive).
  void RemoveSession(TSessions::iterator session);
  TUniqueFd OpenSessionSocket() const;
  // First clock time at which a session last active at |last_activity| has
  // expired.
  std::int64_t ExpiryTime(std::int64_t last_activity) const;
  // Milliseconds epoll_wait() may wait before a timer is due; -1 without one.
  int WaitTimeout() const;
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
  const std::shared_ptr<TRedirectorStats> stats_ = Stats();
  TMillisClock clock_ = SteadyMillis;
  TUniqueFd epoll_;

  // Redirector thread only.
  TSessions sessions_;
  // Every session, keyed by its client's port and address.
  std::unordered_map<std::uint64_t, TSessions::iterator> index_;
  TAddressCounter sessions_per_address_;
  std::int64_t next_expiry_ = kNever;  // no session expires before this
  std::int64_t trim_at_ = kNever;      // steady clock: when TrimBatch() is due
  std::atomic<std::size_t> session_count_{0};
};

}  // namespace quorvane
