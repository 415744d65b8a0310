// TUDPRedirector forwards a local UDP port to a fixed target. Every client
// (source address and port) gets a session with a socket of its own, so the
// target sees each client as a separate port of this host and answers each
// one separately; whatever arrives on a session socket goes back to that
// session's client through the listening socket. Sessions whose client has
// been silent for longer than the time-out are dropped.
//
// A redirector is a client of one relay loop, like everything else that
// waits: it costs its listening socket and one socket per session, and no
// thread or epoll descriptor of its own, so that a game host costs a few
// descriptors. The loop watches every one of its sockets, but a watch only
// notes that its socket is readable. The work is one pass per turn,
// deferred to the end of the turn so that it sees every socket the turn
// found readable: first the answers of those session sockets, sent on
// together; then one batch from the listening socket; then expiry. Answers
// go first so that a session evicted or expired in the pass has passed on
// what the turn found waiting for it. At most one batch per socket per turn
// (level-triggered readiness brings the rest back next turn): a busy client
// or target cannot starve the loop's other sockets.
//
// Datagrams move in batches, through the loop's shared receive slots: one
// recvmmsg() takes up to kDatagramBatch from a socket, and one sendmmsg()
// passes on a run of them. The answers of all the sessions read in a pass
// leave the listening socket together; what the listening socket holds is
// cut into runs of consecutive datagrams from one client, each run sent with
// one call through that client's session socket. Order per client and per
// session is kept. The loop gives the slots' pages back a while after a
// burst (TRelayLoop::BatchUsed()).
//
// Sessions are found by client in a hash index, and are kept in order of
// last activity, so that the next to expire and the one to evict at the cap
// are both the first. One timer of the loop, set no later than the first
// session's expiry, plans a pass when it fires. A client that talks moves
// its session to the back without moving the timer, which may then fire
// early, find nothing due and move on to the new first: a timer operation
// per expiry, not per datagram.
//
// A session is unconfirmed until the target has answered it or its client
// has sent a second datagram. A datagram with a forged source costs its
// sender nothing and would hold a descriptor for the whole time-out, so an
// unconfirmed session expires after kUnconfirmedTimeoutMs, and when
// descriptors or the redirector's places run short, unconfirmed sessions go
// first, oldest first. A real player is confirmed within a round trip;
// from then on the time-out is the redirector's, and answers still do not
// refresh it. Unconfirmed sessions are also listed apart, in order of
// creation, which is their order of last activity too.
//
// Caps (servers/Players.h) hold each client address, whatever its ports,
// and the redirector as a whole to what they may send on. Of a run of one
// client's datagrams, the longest beginning that fits every bucket goes on
// and the rest is dropped, so a capped client still sees its datagrams in
// order. A run dropped whole neither opens a session nor keeps one alive: a
// flooder held at its cap holds no place by flooding. The per-address
// buckets live while the address holds a session, so forged sources cannot
// grow them beyond the table.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/AddressCounter.h"
#include "runtime/EventLoop.h"
#include "runtime/FdBudget.h"
#include "runtime/Net.h"
#include "servers/Players.h"
#include "servers/Redirector.h"
#include "servers/RedirectorOptions.h"
#include "servers/RelayLoop.h"
#include "servers/UDPServer.h"

namespace quorvane {

// Receive buffer asked for on the listening socket, where every client's
// datagrams queue, a flood's among them: room for tens of milliseconds of
// small datagrams at a hundred thousand a second, so that a loop that is
// briefly off the CPU does not make the kernel drop a player's datagrams
// with the flood's. Memory is taken only while datagrams wait.
inline constexpr int kListenReceiveBuffer = 4 * 1024 * 1024;

// How long a session no answer or second datagram has confirmed lives (at
// most the redirector's own time-out): long enough for a target that is
// slow to start answering, short enough that a forged spray lets go soon.
inline constexpr std::int64_t kUnconfirmedTimeoutMs = 30'000;
// Part of the redirectors' descriptor share that new sessions leave to new
// listeners: a create on a loop that holds no unconfirmed session to shed
// still finds a descriptor while a spray fills the rest.
inline constexpr long kListenerHeadroomPercent = 5;

class TUDPRedirector final : public TUDPServer, public TRedirector, private TSessionShedder {
 public:
  // Listens on |listen_host|:|listen_port| (empty host: every local address;
  // port 0: system-chosen) and forwards to |target_host|:|target_port|,
  // resolved once here. Session sockets bind |outbound_host| (any address
  // when |listen_host| is empty). Sessions silent for more than |timeout_ms|
  // by the loop's clock expire; |options| names the loop (required) and the
  // stats to keep, and bounds the sessions (in all, per remote address).
  // Any thread; Socket() == -1 when the listening socket could not be set
  // up.
  TUDPRedirector(std::string listen_host, std::string outbound_host, std::string target_host,
                 std::uint16_t listen_port, std::uint16_t target_port, std::int64_t timeout_ms,
                 const TRedirectorOptions& options);
  // Loop thread, or any thread once the loop has closed or when the
  // redirector was never started: stops watching, closes the listening
  // socket and every session socket, and disarms its timer; a pass planned
  // for the end of the turn does nothing.
  ~TUDPRedirector() override;

  // Loop thread, at most once: starts serving. False without a socket or
  // when epoll refuses it.
  bool Start() override;
  // Any thread: true once a receive failure on the listening socket ended
  // the redirector; it then holds no socket.
  bool Failed() const override { return failed_.load(std::memory_order_acquire); }
  // Any thread: sessions currently in the table.
  std::size_t SessionCount() const override { return session_count_.load(std::memory_order_acquire); }
  // Loop thread: sessions no answer or second datagram has confirmed yet.
  std::size_t UnconfirmedCount() const { return unconfirmed_.size(); }
  // Loop thread: one player per session.
  std::vector<TPlayerView> Players() const override;

 private:
  static constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
  // A player is shown held this long after its address's last drop.
  static constexpr std::int64_t kHeldShownMs = 1000;

  // What one client address may still send, kept while it holds a session.
  struct TAddressCaps {
    TTokenBucket Datagrams;
    TTokenBucket Bytes;
    std::uint32_t Sessions = 0;
    // Loop clock time of its last datagram dropped over a cap.
    std::int64_t DroppedAt = std::numeric_limits<std::int64_t>::min() / 2;
  };

  // One client: its own socket, watched by the loop for answers.
  class TSession final : public TLoopWatch {
   public:
    TSession(TUDPRedirector& owner, std::int64_t now, const sockaddr_in& client, TUniqueFd socket,
             TAddressSlot share, fd_budget::TFdGrant descriptors)
        : LastActivity(now),
          Created(now),
          LastMoved(now),
          ClientAddr(client),
          Socket(std::move(socket)),
          AddressShare(std::move(share)),
          Descriptors(std::move(descriptors)),
          owner_(owner) {}
    // Stops watching before the socket closes: a forked child could keep
    // the socket, and with it the registration, alive.
    ~TSession() { owner_.Events().Unwatch(*this); }
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    void OnReady(std::uint32_t /*events*/) override { owner_.SessionReadable(*this); }

    // Loop clock time of the session's creation or of its client's last
    // datagram; answers from the target do not refresh it.
    std::int64_t LastActivity;
    // Loop clock times of its first datagram and of the last one either way.
    const std::int64_t Created;
    std::int64_t LastMoved;
    std::uint64_t BytesToTarget = 0, DatagramsToTarget = 0;
    std::uint64_t BytesFromTarget = 0, DatagramsFromTarget = 0;
    // Its address's buckets, while the redirector has caps.
    TAddressCaps* Caps = nullptr;
    // The client exactly as the receive call gave it (network byte order).
    sockaddr_in ClientAddr;
    // Bound to a system-chosen port; forwarded datagrams leave through it and
    // the target's answers arrive on it. Always valid.
    TUniqueFd Socket;
    // The client address's share of the per-address limit, held while the
    // session exists.
    TAddressSlot AddressShare;
    // The socket's part of the redirectors' descriptor share, charged to
    // the redirector's owner.
    fd_budget::TFdGrant Descriptors;
    // Whether anything came back on its socket. Apart from Confirmed,
    // which a client's second datagram sets too: a session that expires
    // unanswered is a player the target never heard, whatever he sent.
    bool Answered = false;
    // Its place among the unconfirmed sessions while it is one.
    bool Confirmed = false;
    std::list<std::list<TSession>::iterator>::iterator UnconfirmedAt{};

   private:
    TUDPRedirector& owner_;
  };

  // The listening socket, as the loop watches it.
  class TListenWatch final : public TLoopWatch {
   public:
    explicit TListenWatch(TUDPRedirector& owner) : owner_(owner) {}
    void OnReady(std::uint32_t /*events*/) override { owner_.ListenerReadable(); }

   private:
    TUDPRedirector& owner_;
  };

  // Least recently active first. A list, so that a session stays put (the
  // loop holds its address) while others come and go.
  using TSessions = std::list<TSession>;
  // Every session, keyed by its client's port and address.
  using TIndex = std::unordered_map<std::uint64_t, TSessions::iterator>;

  // What one pass relayed, added to the stats once per pass.
  struct TPassTally {
    std::uint64_t BytesToTarget = 0, DatagramsToTarget = 0;
    std::uint64_t BytesFromTarget = 0, DatagramsFromTarget = 0;
    std::uint64_t Dropped = 0;
  };
  // The caps as one batch sees them, per second; 0: none.
  struct TRates {
    std::uint64_t Datagrams = 0, Bytes = 0, RedirectorBytes = 0;
  };

  TEventLoop& Events() const { return Loop().Loop(); }
  // Readiness and the expiry timer only mark work and plan the pass.
  void SessionReadable(TSession& session);
  void ListenerReadable();
  void PlanPass();
  // The turn's work, at its end: answers, then the listening socket, then
  // expiry (see the top of this file).
  void RunPass();
  // Adds up to one batch of |session|'s answers to the pass's batch,
  // sending the batch on whenever it is full. An answer confirms it.
  void CollectAnswers(TSession& session, TPassTally& tally);
  // Sends every answer collected in the batch to its client, through the
  // listening socket, and empties the batch.
  void SendAnswers(TPassTally& tally);
  // Takes one batch from the listening socket and forwards it, each run of
  // datagrams from one client with one send through its session socket.
  // False when the receive failed.
  bool ForwardDatagrams(TPassTally& tally);
  // How many of the |count| datagrams from |first| on fit |caps| and the
  // redirector's bucket at |now|, and their |bytes|; takes no token.
  unsigned CappedRun(TAddressCaps& caps, const TRates& rates, unsigned first, unsigned count,
                     std::int64_t now, std::uint64_t& bytes);
  // |found| (a place in the index) refreshed at |now|, or else a new session for |from| when the
  // limits allow it; nullptr when the datagrams are dropped. |datagrams|
  // came together from |from|: more than one confirms it.
  TSession* SessionFor(TIndex::iterator found, const sockaddr_in& from, std::int64_t now, unsigned datagrams);
  // Its descriptor for a new session from |address|, charged to the owner:
  // when short, bought with an unconfirmed session, never with a confirmed
  // one.
  fd_budget::TFdGrant SessionDescriptor(std::uint32_t address);
  void Confirm(TSession& session);
  // TSessionShedder.
  std::int64_t OldestUnconfirmed() const override;
  bool ShedUnconfirmed() override;
  // Removes every session whose client has been silent for longer than the
  // time-out at |now| (LastActivity + Timeout < now), and every unconfirmed
  // one older than its shorter time-out; sets the timer at the first expiry
  // of the rest unless it is set earlier.
  void ExpireSessions(std::int64_t now);
  void RemoveSession(TSessions::iterator session);
  // Ends serving after a receive failure on the listening socket.
  void Fail();
  // Stops watching and closes every socket, without counting anything.
  void CloseAll();
  TUniqueFd OpenSessionSocket() const;
  // First loop clock time at which a session last active at
  // |last_activity| has expired.
  std::int64_t ExpiryTime(std::int64_t last_activity) const;
  std::int64_t UnconfirmedExpiryTime(std::int64_t created) const;
  void AddToStats(const TPassTally& tally);
  void PublishCount();

  const std::string target_host_;
  const std::uint16_t target_port_;
  const sockaddr_in target_addr_;
  const std::int64_t timeout_;
  const std::int64_t unconfirmed_timeout_;
  const std::string outbound_host_;
  const std::uint32_t outbound_addr_;  // session sockets bind here; network order
  const std::size_t max_sessions_;
  const std::uint32_t connections_per_address_;
  const std::uint32_t owner_address_;
  const std::shared_ptr<TRedirectorStats> stats_ = Stats();

  // Loop thread only.
  bool started_ = false;
  TListenWatch listen_watch_{*this};
  TFunctionTimer expiry_timer_{[this] { PlanPass(); }};
  std::int64_t expiry_at_ = kNever;  // while the timer is armed
  TSessions sessions_;
  // The unconfirmed ones among them, oldest first.
  std::list<TSessions::iterator> unconfirmed_;
  TIndex index_;
  TAddressCounter sessions_per_address_;
  // With caps: the buckets of every address that holds a session, the
  // redirector's own, and the line that reports what they dropped.
  const std::shared_ptr<const TPlayerCaps> caps_;
  std::unordered_map<std::uint32_t, TAddressCaps> address_caps_;
  TTokenBucket redirector_bytes_;
  std::string cap_subject_;         // "UDP Redirector at A:P"
  std::optional<TCapLog> cap_log_;  // while started with caps
  // Sessions reported readable since the last pass. None is removed before
  // the pass reads them: only a pass, or the end of the redirector, removes
  // sessions, and both empty this first.
  std::vector<TSession*> ready_;
  bool listener_ready_ = false;
  bool pass_planned_ = false;
  // The planned pass's way back here: the destructor clears it, so that a
  // pass planned by a turn that then destroyed the redirector does nothing.
  std::shared_ptr<TUDPRedirector*> pass_owner_ = std::make_shared<TUDPRedirector*>(this);

  std::atomic<bool> failed_{false};
  std::atomic<std::size_t> session_count_{0};
};

}  // namespace quorvane
