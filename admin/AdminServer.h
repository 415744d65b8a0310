// The admin endpoint: HTTP/1.1 on [ADMIN] HOST:PORT for people and for
// monitoring. GET / is a status page, GET /metrics the Prometheus text,
// GET /api/sessions, /api/redirectors and /api/status JSON documents, and
// DELETE /api/redirectors/<proto>/<address>/<port> (proto tcp, udp or a
// number) destroys a redirector as a delete request would, and GET on that
// path with /players appended lists its players. A method a path
// does not take gets 405 with Allow, an unknown path 404, both before any
// body is looked at. Who may do what: admin/AdminAccess.h.
//
// DESIGN. TAdminServer is a TTCPServer served by a loop of its own on one
// accept thread (TLoopThread). The loop takes each connection and reads its
// request itself, without blocking, up to the blank line and the body its
// Content-Length announces (kAdminMaxRequestBytes at most), within
// kAdminHeadMs of the accept; a connection that has not sent a whole
// request by then, or closes before, is closed without an answer. Only a
// whole request is queued for the fixed pool of kAdminWorkers threads of
// its own: a worker never waits for a client to send. A connection is
// closed at once when the descriptor reserve is reached, and refused with
// 503 when its address already has kAdminConnectionsPerAddress in hand
// (being read, queued or served), when kAdminMaxReading are being read, or
// when its request is whole but kAdminWorkers + kAdminMaxWaiting are queued
// or served. A worker serves one request per connection and closes it:
// cpp-httplib (TAdminRouter) parses the bytes read (TAdminStream), routes
// them and writes the answer, which must be sent within kAdminConnectionMs
// of the accept (admin/AdminHttp.h says why the library's own loop is not
// used).
// Handlers copy what they show out of the requests server under one
// registry lock at a time and render it with no lock held (AdminViews.h).
// Players are the one thing copied on a redirector's loop, which the
// worker waits for without holding the lock (TNatRegistry::VisitOnLoop).
//
// So nothing of the admin endpoint runs on a control session's, a
// redirector's or a relay's thread, and no lock is held longer than a copy
// takes. A slow or silent client costs a descriptor and at most
// kAdminMaxRequestBytes on the loop for kAdminHeadMs, and takes no worker;
// one address cannot take more than kAdminConnectionsPerAddress places,
// and many addresses together no more than kAdminMaxReading, so that a
// flood of slow heads costs bounded memory and descriptors and clients
// from other addresses are still served. Only a client that sends whole
// requests and then does not read answers larger than its socket buffers
// can keep a worker, until kAdminConnectionMs; no admin client holds up
// the control port or a relay.
// Relays and requests pay nothing for being watched: they count in relaxed
// atomics, which are summed only here, when read.
//
// Ownership and stop: the owner builds it (which binds the port), tests
// Socket(), calls Start(), and calls Stop() before the requests server and
// the relay engine go away. Stop ends the accept thread, closing the
// connections being read, then wakes and joins every worker, cutting the
// connections in progress and closing the queued ones.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "admin/AdminAccess.h"
#include "requests/Settings.h"
#include "runtime/AddressCounter.h"
#include "runtime/EventLoop.h"
#include "runtime/Mutex.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "servers/TCPServer.h"

namespace quorvane {

class TRequestsServer;
class TRelayEngine;

namespace admin {
class TAdminRouter;
class TAdminWorker;
}  // namespace admin

inline constexpr std::size_t kAdminWorkers = 4;
// Whole requests queued for the workers beyond those being served.
inline constexpr std::size_t kAdminMaxWaiting = 64;
// Connections whose requests the accept loop reads at once.
inline constexpr std::size_t kAdminMaxReading = 256;
// Connections one client address may have in hand: being read, queued or
// served. A browser showing the status page needs a few.
inline constexpr std::uint32_t kAdminConnectionsPerAddress = 8;
// Bounds of one connection: it carries one request, whose line, headers and
// body together may not exceed kAdminMaxRequestBytes (no request takes a
// body) and must have arrived within kAdminHeadMs of the accept, and
// everything from accept to the last byte of the answer must happen within
// kAdminConnectionMs.
inline constexpr std::size_t kAdminMaxRequestBytes = std::size_t{16} * 1024;
inline constexpr int kAdminHeadMs = 5'000;
inline constexpr int kAdminConnectionMs = 10'000;

class TAdminServer final : public TTCPServer {
 public:
  // Binds |settings|.Host:|settings|.Port (port 0: a system-chosen one)
  // and keeps |settings|.Token for the life of the endpoint. |server| and
  // |engine| (may be null) must outlive it. On failure Socket() is -1 and
  // SetupError() says why.
  TAdminServer(TRequestsServer& server, const TRelayEngine* engine, const TAdminSettings& settings);
  TAdminServer(const TAdminServer&) = delete;
  TAdminServer& operator=(const TAdminServer&) = delete;
  // Stops it if the owner has not.
  ~TAdminServer() override;

  // Owner, once, with Socket() valid: starts the workers and the accept
  // thread. False when a thread could not be started; everything started is
  // stopped again.
  bool Start();
  // Owner: stops accepting, ends every worker and closes every connection.
  // Idempotent.
  void Stop();

  // The port it listens on (host order); 0 when setup failed.
  std::uint16_t BoundPort() const { return bound_port_; }

  // Whether a peer counts as local for a change without a token. Loopback
  // addresses; a test may put in another before Start().
  void SetPeerIsLocal(bool (*peer_is_local)(std::uint32_t addr_net)) { peer_is_local_ = peer_is_local; }
  // How long a connection may live; a test may shorten it before Start().
  // Its request must arrive within the shorter of that and kAdminHeadMs.
  void SetConnectionMs(int connection_ms) { connection_ms_ = connection_ms; }

 protected:
  void ProcessConnection(TUniqueFd accepted) override;

 private:
  friend class admin::TAdminWorker;
  class TIncoming;

  struct TConnection {
    TUniqueFd Fd;
    sockaddr_in Peer{};
    std::int64_t DeadlineMs = 0;  // steady clock
    std::string Request;          // the bytes read of it
    TAddressSlot Slot;            // its place among its address's connections
  };

  void AddRoutes();
  // Accept loop: |incoming| has ended, with its request whole or not;
  // queues the connection or closes it, and destroys |incoming|.
  void Finish(TIncoming& incoming, bool whole);
  // Worker threads: waits for a queued connection (or |wake_fd|) and takes
  // it; nullopt when there was none.
  std::optional<TConnection> TakeConnection(int wake_fd);
  // Worker threads: the connection taken has been served and closed.
  void Served();
  void Serve(TConnection& connection, int wake_fd);

  TRequestsServer& server_;
  const TRelayEngine* const engine_;
  const std::string token_;
  const std::int64_t started_at_ms_;
  std::uint16_t bound_port_ = 0;
  bool (*peer_is_local_)(std::uint32_t addr_net) = admin::IsLoopbackAddress;
  int connection_ms_ = kAdminConnectionMs;
  std::unique_ptr<admin::TAdminRouter> router_;
  std::vector<std::unique_ptr<TThread>> workers_;  // owner thread only
  bool running_ = false;                           // owner thread only
  TEventLoop accept_loop_;
  std::unique_ptr<TThread> acceptor_;  // runs accept_loop_; owner thread only
  TAddressCounter per_address_;
  // The connections whose requests are being read; accept loop only.
  std::unordered_map<TIncoming*, std::unique_ptr<TIncoming>> incoming_;

  TMutex mu_;
  std::deque<TConnection> waiting_ GUARDED_BY(mu_);
  std::size_t serving_ GUARDED_BY(mu_) = 0;  // taken by a worker, not yet closed
  TEvent has_waiting_;                       // set while waiting_ is not empty; changed under mu_
};

// Builds and starts the endpoint |settings| asks for, into |admin|: none
// when its Port is 0. A port that cannot be bound, or threads that cannot
// be started, are logged on standard error ("quorvane: cannot listen on
// HOST:PORT (admin): reason") and return false. Owner thread.
bool StartAdminEndpoint(TRequestsServer& server, const TRelayEngine* engine, const TAdminSettings& settings,
                        std::unique_ptr<TAdminServer>& admin);

}  // namespace quorvane
