#include "requests/RequestsServer.h"

#include <arpa/inet.h>

#include <cerrno>
#include <vector>

#include "runtime/Log.h"
#include "runtime/SilentAbort.h"

namespace quorvane {

TRequestsServerThread::TRequestsServerThread(TRequestsServer& server, UniqueFd socket,
                                             const sockaddr_in& peer)
    : Server(server), socket_(std::move(socket)), peer_(peer) {}

TRequestsServerThread::~TRequestsServerThread() {
  Terminate();
  WaitFor();
}

void TRequestsServerThread::Execute() {
  std::vector<std::uint8_t> buffer;
  try {
    while (!Terminated()) {
      const TWaitResult wait = WaitFd(socket_.get(), POLLIN, WakeFd(), -1);
      if (wait == TWaitResult::Woken || wait == TWaitResult::TimedOut) continue;
      if (wait == TWaitResult::Failed) break;
      const int count = PendingBytes(socket_.get());
      if (count <= 0) break;  // the peer has closed, or the connection failed
      const std::size_t old_size = buffer.size();
      buffer.resize(old_size + static_cast<std::size_t>(count));
      const ssize_t received =
          RecvSome(socket_.get(), buffer.data() + old_size, static_cast<std::size_t>(count));
      buffer.resize(old_size + (received > 0 ? static_cast<std::size_t>(received) : 0));

      std::size_t offset = 0;
      for (; buffer.size() - offset >= kPacketSize; offset += kPacketSize) {
        ProcessRequest(TPacketView(buffer.data() + offset, kPacketSize));
      }
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    }
  } catch (const TSilentAbort&) {
    // Gives up on this connection without a word.
  } catch (...) {
    // Anything else (e.g. out of memory) ends this session only.
  }
  SessionEnd();
}

void TRequestsServerThread::SessionEnd() {
  // After a reset the socket may no longer know its peer; the address taken
  // at accept still names the client.
  const sockaddr_in peer = PeerAddress(socket_.get()).value_or(peer_);
  try {
    Log("Closing thread for: ", AddrToStr(peer.sin_addr.s_addr), ":", ntohs(peer.sin_port));
  } catch (...) {
    // Out of memory for a log line: the clean-up below must still run, or
    // the registries would keep pointers to this session.
  }

  {
    auto redirectors = Server.RedirectorList.LockList();
    for (auto i = redirectors->size(); i-- > 0;) {
      auto& entry = (*redirectors)[i];
      if (entry->Owner != this) continue;
      DestroyRedirector(*entry);
      redirectors->erase(redirectors->begin() + static_cast<std::ptrdiff_t>(i));
    }
  }

  ShutdownAndClose(socket_);

  {
    auto clients = Server.ClientList.LockList();
    for (auto it = clients->begin(); it != clients->end(); ++it) {
      if ((*it)->Session == this) {
        clients->erase(it);
        break;
      }
    }
  }
}

void TRequestsServerThread::Send(const TRequestPacket& packet) { SendReply(socket_.get(), packet, WakeFd()); }

void SendReply(int socket, const TRequestPacket& packet, int wake_fd) {
  const std::uint8_t* position = packet.data();
  std::size_t remaining = PacketSize(packet);
  if (remaining > packet.size()) remaining = packet.size();
  while (remaining > 0) {
    const ssize_t sent = SendSome(socket, position, remaining, MSG_DONTWAIT);
    if (sent < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) throw TSilentAbort{};
      // A client that stops reading must not pin this thread: a terminated
      // session gives up here.
      if (WaitFd(socket, POLLOUT, wake_fd, -1) != TWaitResult::Ready) throw TSilentAbort{};
      continue;
    }
    position += sent;
    remaining -= static_cast<std::size_t>(sent);
  }
}

}  // namespace quorvane
