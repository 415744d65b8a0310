#include "requests/RequestsServerThread.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>

#include "requests/RequestsServer.h"
#include "runtime/Log.h"
#include "runtime/SilentAbort.h"

namespace quorvane {
TRequestsServerThread::TRequestsServerThread(TRequestsServer& server, TRelayLoop& loop, std::uint64_t id,
                                             TUniqueFd socket, const sockaddr_in& peer, TAddressSlot slot,
                                             TClientEntry* entry)
    : Server(server),
      loop_(loop),
      events_(loop.Loop()),
      id_(id),
      socket_(std::move(socket)),
      peer_(peer),
      slot_(std::move(slot)),
      entry_(entry) {}

TRequestsServerThread::~TRequestsServerThread() {
  // Ended by now, which took it out of the loop and the registries.
  assert(ended_);
}

void TRequestsServerThread::Start() {
  if (!events_.Watch(*this, socket_.Get(), EPOLLIN)) End();
}

void TRequestsServerThread::Terminate() { End(); }

void TRequestsServerThread::OnReady(std::uint32_t events) {
  if ((events & EPOLLOUT) != 0) {
    try {
      Flush();
      if (lists_) {
        FillLists();
        // The lists are out: what was received behind the Register goes on.
        if (!lists_) HandlePackets();
      }
    } catch (const TSilentAbort&) {
      return End();
    }
    if (ended_) return;
  }
  // While a packet waits, a hang-up reported with the writable side waits
  // too: the packets already received are handled before the end is read.
  if (!ended_ && Reading() && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) Receive();
  if (!ended_) UpdateWatch();
}

bool TRequestsServerThread::Busy() const { return share_timer_.Armed() || awaiting_reply_ || lists_; }

bool TRequestsServerThread::Reading() const { return !Busy() && !stop_after_packets_; }

void TRequestsServerThread::Receive() {
  // Received straight into the loop's buffer: only a 0-byte receive means
  // the peer closed. (A pending-byte count says 0 at a TCP urgent mark
  // while data still waits behind it.)
  const std::span<std::uint8_t> space = Server.ReceiveBuffer(loop_);
  const ssize_t received = RecvSome(socket_.Get(), space.data(), space.size(), MSG_DONTWAIT);
  if (received == 0) return End();
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    return End();
  }
  HandlePackets(space.first(static_cast<std::size_t>(received)));
}

void TRequestsServerThread::HandlePackets(std::span<const std::uint8_t> received) {
  // Nothing is received while busy (Reading()), so nothing is lost here.
  assert(received.empty() || !Busy());
  if (ended_ || Busy()) return;
  bool finished = false;
  try {
    finished = packets_.Drain(received, [this](TPacketView packet) { return HandleOne(packet); });
  } catch (const TSilentAbort&) {
    return End();  // gives up on this connection without a word
  } catch (...) {
    return End();  // anything else (e.g. out of memory) ends this session only
  }
  // A refused Register ends the session once every packet received with it
  // has been handled, and nothing received later is.
  if (finished && stop_after_packets_) End();
}

TDrainStep TRequestsServerThread::HandleOne(TPacketView packet) {
  // Checked between requests, so that one request's answer always goes out
  // whole, however long its address lists.
  if (QueuedReplyBytes() > kMaxQueuedReplyBytes) {
    Server.Metrics().SessionsClosedUnread.fetch_add(1, std::memory_order_relaxed);
    LogWarning("Session of ", AddrToStr(peer_.sin_addr.s_addr), ":", ntohs(peer_.sin_port),
               " closed: it does not read its replies (", QueuedReplyBytes(), " bytes waiting)");
    throw TSilentAbort{};
  }
  if (CostsWork(packet) && !share_taken_) {
    const std::uint32_t per_second = CurrentConfig()->Limits.RequestsPerAddress;
    // The address's turns are spaced finer than the loop's millisecond
    // clock, and shared with its sessions on other loops: the real clock.
    const auto wait =
        Server.RequestsByAddress().Take(peer_.sin_addr.s_addr, per_second, TAddressRate::TClock::now());
    if (wait > TAddressRate::TClock::duration::zero()) {
      Server.Metrics().RequestsThrottled.fetch_add(1, std::memory_order_relaxed);
      share_taken_ = true;
      // Rounded up, so that the turn has surely come when the timer fires.
      events_.ArmAfter(share_timer_, std::chrono::ceil<std::chrono::milliseconds>(wait).count());
      return TDrainStep::kHoldThis;
    }
  }
  share_taken_ = false;
  ProcessRequest(packet);
  return Busy() ? TDrainStep::kStopAfterThis : TDrainStep::kNext;
}

void TRequestsServerThread::ShareArrived() {
  HandlePackets();
  if (!ended_) UpdateWatch();
}

void TRequestsServerThread::Resume(const TNatReply& reply) {
  if (ended_ || !awaiting_reply_) return;
  awaiting_reply_ = false;
  try {
    Send(Encode(reply));
  } catch (const TSilentAbort&) {
    return End();
  }
  HandlePackets();
  if (!ended_) UpdateWatch();
}

bool TRequestsServerThread::CostsWork(TPacketView packet) {
  const std::uint8_t type = PacketType(packet);
  return type == kPacketNop || type == kPacketRegisterRequest || type == kPacketNatRequest;
}

void TRequestsServerThread::UpdateWatch() {
  // Nothing is read while a packet waits for its turn or its answer, or
  // once the session is to end: what the client sends meanwhile waits in
  // the socket.
  const std::uint32_t wanted = (Reading() ? EPOLLIN : 0u) | (QueuedReplyBytes() > 0 ? EPOLLOUT : 0u);
  if (wanted == 0) return events_.Unwatch(*this);
  if (!events_.Watch(*this, socket_.Get(), wanted)) End();
}

void TRequestsServerThread::End() {
  if (ended_) return;
  ended_ = true;
  events_.Disarm(share_timer_);
  events_.Unwatch(*this);
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
  Server.Registry().RemoveClient(entry_);
  Server.SessionEnded(*this);
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
    Server.Registry().UpdateClient(entry_, [&](TClientEntry& entry) {
      entry.Profile = profile;
      entry.Registered = 1;
      entry.Name = request.Name();
      entry.Version = request.Version;
    });
    const TSettings& settings = config->ProfileTable[profile];
    reply.IncludeCount = static_cast<std::uint8_t>(settings.IncludeMasks.size());
    reply.ExcludeCount = static_cast<std::uint8_t>(settings.ExcludeMasks.size());
  }
  Send(Encode(reply));
  if (reply.Status != kRegisterOk) {
    stop_after_packets_ = true;
    return;
  }
  lists_ = TListCursor{config, profile, 0};
  FillLists();
}

void TRequestsServerThread::FillLists() {
  const TSettings& settings = lists_->Config->ProfileTable[lists_->Profile];
  const std::size_t excludes = settings.ExcludeMasks.size();
  const std::size_t includes = settings.IncludeMasks.size();
  // Chunk after chunk while the socket takes them all; what it leaves
  // waiting makes the session wait for writability.
  while (QueuedReplyBytes() == 0) {
    while (QueuedReplyBytes() < kListChunkBytes && lists_->Next < excludes + includes) {
      const bool exclude = lists_->Next < excludes;
      const std::size_t i = exclude ? lists_->Next : lists_->Next - excludes;
      TAddressEntry entry;
      entry.EntryCount = static_cast<std::uint16_t>(exclude ? excludes : includes);
      entry.EntryIndex = static_cast<std::uint16_t>(i);
      entry.Mask = exclude ? settings.ExcludeMasks[i] : settings.IncludeMasks[i];
      entry.Address = exclude ? settings.ExcludeAddrs[i] : settings.IncludeAddrs[i];
      entry.Port = settings.Port;
      entry.Proto = kProtoTcp;
      entry.Exclude = exclude ? 1 : 0;
      Queue(Encode(entry));
      ++lists_->Next;
    }
    Flush();
    if (lists_->Next == excludes + includes) {
      lists_.reset();
      if (output_.empty()) output_.shrink_to_fit();
      return;
    }
  }
}

void TRequestsServerThread::ProcessNatRequest(TPacketView packet) {
  const TNatOutcome outcome = Server.Nat().Handle(*this, DecodeNatRequest(packet));
  if (outcome.Pending) {
    awaiting_reply_ = true;
  } else if (outcome.Reply) {
    Send(Encode(*outcome.Reply));
  }
}

void TRequestsServerThread::Send(const TRequestPacket& packet) {
  Queue(packet);
  Flush();
}

void TRequestsServerThread::Queue(const TRequestPacket& packet) {
  std::size_t size = PacketSize(packet);
  if (size > packet.size()) size = packet.size();
  output_.insert(output_.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(size));
}

void TRequestsServerThread::Flush() {
  while (output_sent_ < output_.size()) {
    const ssize_t sent =
        SendSome(socket_.Get(), output_.data() + output_sent_, output_.size() - output_sent_, MSG_DONTWAIT);
    if (sent < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      throw TSilentAbort{};
    }
    output_sent_ += static_cast<std::size_t>(sent);
  }
  if (output_sent_ == output_.size()) {
    output_.clear();
    output_sent_ = 0;
    // A burst of replies leaves no buffer behind on an idle session; lists
    // still being sent keep theirs for the next chunk.
    if (!lists_ && output_.capacity() > 4 * kPacketSize) output_.shrink_to_fit();
  }
}

}  // namespace quorvane
