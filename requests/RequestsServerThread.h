// TRequestsServerThread: one control client's session. Its thread receives
// the connection's bytes, cuts them into packets and answers each with
// ProcessRequest; when it ends it destroys the redirectors it created,
// closes the connection and removes its client entry.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "requests/RequestPacket.h"
#include "runtime/AddressCounter.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"

namespace quorvane {

class TRequestsServer;

class TRequestsServerThread final : public TThread {
 public:
  // Takes ownership of |socket| and of |slot| (this client's share of its
  // address's sessions, given back when the session ends); |peer| is the
  // client's address at accept. Built suspended; the server starts it.
  TRequestsServerThread(TRequestsServer& server, TUniqueFd socket, const sockaddr_in& peer,
                        TAddressSlot slot = {});
  ~TRequestsServerThread() override;

  // Handles one packet. Session thread only (or a single-threaded caller
  // that never started the thread). Throws TSilentAbort when the packet's
  // Size is wrong or a reply cannot be sent.
  void ProcessRequest(TPacketView packet);

  // The client's address and port as taken at accept.
  const sockaddr_in& Peer() const { return peer_; }

  TRequestsServer& Server;

 protected:
  void Execute() override;

 private:
  // Whether handling |packet| makes the server work (Nop, Register, NAT),
  // and so counts against its address's share of requests.
  static bool CostsWork(TPacketView packet);
  // Waits until this client's address may make one more request
  // (REQUESTS_PER_ADDRESS); throws TSilentAbort when terminated meanwhile.
  void AwaitShare(std::uint32_t per_second);
  void ProcessNop(TPacketView packet);
  void ProcessRegister(TPacketView packet);
  void ProcessNatRequest(TPacketView packet);
  void Send(const TRequestPacket& packet);
  void SessionEnd();

  TUniqueFd socket_;
  sockaddr_in peer_;
  TAddressSlot slot_;
};

// Sends all of |packet| on |socket|, waiting for the socket to take it.
// Throws TSilentAbort when the socket fails or |wake_fd| becomes readable
// (the session was terminated) while it waits.
void SendReply(int socket, const TRequestPacket& packet, int wake_fd);

// TCP keepalive on control connections, so that a vanished client's session
// ends within a few minutes.
inline constexpr int kKeepAliveIdleSec = 60;
inline constexpr int kKeepAliveIntervalSec = 10;
inline constexpr int kKeepAliveProbes = 6;

}  // namespace quorvane
