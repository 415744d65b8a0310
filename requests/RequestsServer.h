// The NAT request service: the control-port server, its client sessions and
// the registries of clients and redirectors.
//
// DESIGN. TRequestsServer is a TTCPServer on ServerHost:ServerPort. Its
// accept thread records a TClientEntry for every control connection and
// starts one TRequestsServerThread for it. A session thread reads the
// connection, cuts the bytes into 220-byte packets and handles each with
// ProcessRequest on its own thread; NAT create requests add redirectors to
// RedirectorList, owned by their entry.
//
// Ownership: the server owns both registries and, through a thread group, every
// session thread. A session ends by itself (peer gone, bad packet, failed
// send, Terminate); it then destroys the redirectors it created, closes its
// socket and removes its client entry, and the server's accept thread frees
// the finished thread object. ServerTerminated, the server's end handler,
// terminates every session and waits for all of them, so nothing outlives
// the server.
//
// Locks: ClientList and RedirectorList each have their own lock and are
// never held together. RedirectorList's lock is held while a redirector is
// awaited; redirector threads never take a registry lock, and Terminate wakes
// them at once, so the wait is short. No lock is held while a reply is sent.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "requests/RequestPacket.h"
#include "requests/Settings.h"
#include "runtime/Net.h"
#include "runtime/Thread.h"
#include "runtime/ThreadList.h"
#include "servers/ServersUnit.h"

namespace quorvane {

class TRequestsServerThread;

// One connected client.
struct TClientEntry {
  std::uint8_t Profile = 0;   // index into ProfileTable, set by Register
  std::uint32_t Address = 0;  // peer address at accept, network order
  std::uint8_t Registered = 0;
  TRequestsServerThread* Session = nullptr;  // serves this client; not owned
};

// One live redirector; owns it. Key: (Proto, ClientAddr, ClientPort).
struct TRedirectorEntry {
  std::uint32_t Proto = 0;
  std::uint32_t ClientAddr = 0;  // network order
  std::uint32_t PublicAddr = 0;  // network order
  std::uint16_t ClientPort = 0;  // as the request carries it
  std::uint16_t PublicPort = 0;  // network order
  std::unique_ptr<TThread> Redirector;
  TRequestsServerThread* Owner = nullptr;  // not owned
};

// Terminates the entry's redirector, waits for its thread and frees it; the
// redirector's port is closed when this returns. RedirectorList locked.
void DestroyRedirector(TRedirectorEntry& entry);

class TRequestsServer final : public TTCPServer {
 public:
  // Binds ServerHost:ServerPort of the configuration in force (or of
  // |config|) and prints the start line. Built suspended: the creator calls
  // Resume(). WaitFor() runs ServerTerminated.
  TRequestsServer();
  explicit TRequestsServer(const TConfigSnapshot& config);
  ~TRequestsServer() override;

  // Where TCP redirectors run their relays. Set by the creator before
  // Resume(); not owned, outlives the server.
  TRelayEngine* RelayEngine = nullptr;

  TThreadList<std::unique_ptr<TClientEntry>> ClientList;
  TThreadList<std::unique_ptr<TRedirectorEntry>> RedirectorList;

 protected:
  void ProcessConnection(UniqueFd accepted) override;
  int ChildEndedFd() const override { return sessions_.EndFd(); }
  void ReapChildren() override { sessions_.Reap(); }

 private:
  // End handler: ends every session and waits for all of them.
  void ServerTerminated();

  TThreadGroup sessions_;
};

// One client's session: receives packets and answers them.
class TRequestsServerThread final : public TThread {
 public:
  // Takes ownership of |socket|; |peer| is the client's address at accept.
  TRequestsServerThread(TRequestsServer& server, UniqueFd socket, const sockaddr_in& peer);
  ~TRequestsServerThread() override;

  // Handles one packet. Session thread only. Throws TSilentAbort when the
  // packet's Size is wrong or a reply cannot be sent.
  void ProcessRequest(TPacketView packet);

  TRequestsServer& Server;

 protected:
  void Execute() override;

 private:
  void ProcessNop(TPacketView packet);
  void ProcessRegister(TPacketView packet);
  void ProcessNatRequest(TPacketView packet);
  void NatQuery(const TNatRequest& request, TNatReply& reply);
  void NatCreate(const TNatRequest& request, TNatReply& reply);
  void NatDelete(const TNatRequest& request, TNatReply& reply);
  void Send(const TRequestPacket& packet);
  void SessionEnd();

  UniqueFd socket_;
  sockaddr_in peer_;
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

// Timeout of every UDP redirector's sessions.
inline constexpr std::int64_t kUdpRedirectorTimeoutMs = 300000;

}  // namespace quorvane
