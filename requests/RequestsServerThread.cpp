#include "requests/RequestsServerThread.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "requests/PacketAssembler.h"
#include "requests/RequestsServer.h"
#include "runtime/Log.h"
#include "runtime/SilentAbort.h"

namespace quorvane {
namespace {

// Sends the entries of one address list.
template <class SendFn>
void SendAddressList(const std::vector<std::uint32_t>& addrs, const std::vector<std::uint32_t>& masks,
                     std::uint16_t port, std::uint8_t exclude, SendFn&& send) {
  const std::size_t count = masks.size();
  for (std::size_t i = 0; i < count; ++i) {
    TAddressEntry entry;
    entry.EntryCount = static_cast<std::uint16_t>(count);
    entry.EntryIndex = static_cast<std::uint16_t>(i);
    entry.Mask = masks[i];
    entry.Address = addrs[i];
    entry.Port = port;
    entry.Proto = kProtoTcp;
    entry.Exclude = exclude;
    send(Encode(entry));
  }
}

}  // namespace

TRequestsServerThread::TRequestsServerThread(TRequestsServer& server, TUniqueFd socket,
                                             const sockaddr_in& peer, TAddressSlot slot)
    : Server(server), socket_(std::move(socket)), peer_(peer), slot_(std::move(slot)) {}

TRequestsServerThread::~TRequestsServerThread() {
  Terminate();
  WaitFor();
}

void TRequestsServerThread::Execute() {
  // Logged here rather than by the accept thread, so that it precedes every
  // line of this session and a client refused a thread is never announced.
  Log("New client from: ", AddrToStr(peer_.sin_addr.s_addr), ":", ntohs(peer_.sin_port));
  TPacketAssembler packets;
  try {
    while (!Terminated()) {
      const TWaitResult wait = WaitFd(socket_.Get(), POLLIN, WakeFd(), -1);
      if (wait == TWaitResult::kWoken || wait == TWaitResult::kTimedOut) continue;
      if (wait == TWaitResult::kFailed) break;
      // Received straight into the buffer: only a 0-byte receive means the
      // peer closed. (A pending-byte count says 0 at a TCP urgent mark
      // while data still waits behind it.)
      const std::span<std::uint8_t> space = packets.Space();
      const ssize_t received = RecvSome(socket_.Get(), space.data(), space.size(), MSG_DONTWAIT);
      if (received == 0) break;
      if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
        break;
      }
      packets.Commit(static_cast<std::size_t>(received));
      const std::uint32_t per_second = CurrentConfig()->Limits.RequestsPerAddress;
      packets.Drain([this, per_second](TPacketView packet) {
        if (CostsWork(packet)) AwaitShare(per_second);
        ProcessRequest(packet);
      });
    }
  } catch (const TSilentAbort&) {
    // Gives up on this connection without a word.
  } catch (...) {
    // Anything else (e.g. out of memory) ends this session only.
  }
  SessionEnd();
}

bool TRequestsServerThread::CostsWork(TPacketView packet) {
  const std::uint8_t type = PacketType(packet);
  return type == kPacketNop || type == kPacketRegisterRequest || type == kPacketNatRequest;
}

void TRequestsServerThread::AwaitShare(std::uint32_t per_second) {
  const auto wait =
      Server.RequestsByAddress().Take(peer_.sin_addr.s_addr, per_second, TAddressRate::TClock::now());
  if (wait == TAddressRate::TClock::duration::zero()) return;
  Server.Metrics().RequestsThrottled.fetch_add(1, std::memory_order_relaxed);
  // Rounded up, so that the turn has surely come when the wait ends.
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  pollfd wake{WakeFd(), POLLIN, 0};
  if (PollRetry(&wake, 1, static_cast<int>(std::min<std::int64_t>(ms, 1 << 30))) != 0) {
    throw TSilentAbort{};  // terminated while waiting
  }
}

void TRequestsServerThread::SessionEnd() {
  // After a reset the socket may no longer know its peer; the address taken
  // at accept still names the client.
  const sockaddr_in peer = PeerAddress(socket_.Get()).value_or(peer_);
  try {
    Log("Closing thread for: ", AddrToStr(peer.sin_addr.s_addr), ":", ntohs(peer.sin_port));
  } catch (...) {
    // Out of memory for a log line: the clean-up below must still run, or
    // the registries would keep pointers to this session.
  }
  Server.Nat().RemoveOwnedBy(*this);
  ShutdownAndClose(socket_);
  slot_.Release();
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

void TRequestsServerThread::ProcessRequest(TPacketView packet) {
  if (PacketSize(packet) != kPacketSize) throw TSilentAbort{};
  const std::size_t slot = std::min<std::size_t>(PacketType(packet), TServerMetrics::kTypeSlots - 1);
  Server.Metrics().Requests[slot].fetch_add(1, std::memory_order_relaxed);
  switch (PacketType(packet)) {
    case kPacketNop:
      ProcessNop(packet);
      break;
    case kPacketRegisterRequest:
      ProcessRegister(packet);
      break;
    case kPacketNatRequest:
      ProcessNatRequest(packet);
      break;
    default:
      break;  // replies and unknown types are ignored without a trace
  }
}

void TRequestsServerThread::ProcessNop(TPacketView packet) {
  Log("Nop request");
  if (DecodeNop(packet).IsReply == 0) Send(Encode(TNop{1}));
}

void TRequestsServerThread::ProcessRegister(TPacketView packet) {
  Log("Register request");
  const TRegisterRequest request = DecodeRegisterRequest(packet);
  const TConfigSnapshot config = CurrentConfig();
  TRegisterReply reply;
  std::uint8_t profile = 0;
  if (request.Version < kProtocolVersion) {
    reply.Status = kRegisterTooOld;
  } else {
    if (request.Name() == kBnetdClientName) profile = kBnetdProfile;
    reply.Status = kRegisterOk;
    {
      auto clients = Server.ClientList.LockList();
      for (const auto& entry : *clients) {
        if (entry->Session == this) {
          entry->Profile = profile;
          entry->Registered = 1;
          entry->Name = request.Name();
          entry->Version = request.Version;
          break;
        }
      }
    }
    const TSettings& settings = config->ProfileTable[profile];
    reply.IncludeCount = static_cast<std::uint8_t>(settings.IncludeMasks.size());
    reply.ExcludeCount = static_cast<std::uint8_t>(settings.ExcludeMasks.size());
  }
  Send(Encode(reply));
  if (reply.Status != kRegisterOk) {
    Terminate();
    return;
  }
  const TSettings& settings = config->ProfileTable[profile];
  const auto send = [this](const TRequestPacket& p) { Send(p); };
  SendAddressList(settings.ExcludeAddrs, settings.ExcludeMasks, settings.Port, 1, send);
  SendAddressList(settings.IncludeAddrs, settings.IncludeMasks, settings.Port, 0, send);
}

void TRequestsServerThread::ProcessNatRequest(TPacketView packet) {
  if (const auto reply = Server.Nat().Handle(*this, DecodeNatRequest(packet))) Send(Encode(*reply));
}

void TRequestsServerThread::Send(const TRequestPacket& packet) { SendReply(socket_.Get(), packet, WakeFd()); }

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
      if (WaitFd(socket, POLLOUT, wake_fd, -1) != TWaitResult::kReady) throw TSilentAbort{};
      continue;
    }
    position += sent;
    remaining -= static_cast<std::size_t>(sent);
  }
}

}  // namespace quorvane
