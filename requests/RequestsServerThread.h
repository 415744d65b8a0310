// TRequestsServerThread: one control client's session. The name is the
// design's; the session is no thread of its own but a state machine on one
// of the server's loops: it receives the connection's bytes, cuts them into
// packets and answers each with ProcessRequest; when it ends it destroys
// the redirectors it created, closes the connection and removes its client
// entry.
//
// Nothing blocks: a request over its address's share waits for its turn on
// a timer of the loop (the session reads nothing meanwhile, so TCP flow
// control slows the sender), and replies leave through an output queue,
// written as the socket takes them. A Register's address lists, which may
// run to megabytes, are encoded as the client takes them, kListChunkBytes
// at a time, and nothing else is handled until they are out. A client that never reads its replies
// is closed when it asks for more while its queue holds over
// kMaxQueuedReplyBytes. A delete whose
// redirector lives on another loop is answered once that loop has closed
// its port; the session handles nothing else meanwhile, so replies keep
// their order.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "requests/PacketAssembler.h"
#include "requests/RequestPacket.h"
#include "requests/Settings.h"
#include "runtime/AddressCounter.h"
#include "runtime/EventLoop.h"
#include "runtime/Net.h"

namespace quorvane {

class TRequestsServer;
class TRelayLoop;
struct TClientEntry;

// Replies a session may hold for a client that does not read them before
// it stops handling that client's requests: more than a Register's answer
// (two lists of a few hundred entries).
inline constexpr std::size_t kMaxQueuedReplyBytes = std::size_t{256} * 1024;
// How much of a Register's address lists is encoded ahead of the client.
inline constexpr std::size_t kListChunkBytes = std::size_t{64} * 1024;

class TRequestsServerThread final : private TLoopWatch {
 public:
  // Takes ownership of |socket| and of |slot| (this client's share of its
  // address's sessions, given back when the session ends); |peer| is the
  // client's address at accept, |entry| its client entry (already in the
  // registry). |id| names the session among its loop's. Runs on |loop|.
  TRequestsServerThread(TRequestsServer& server, TRelayLoop& loop, std::uint64_t id, TUniqueFd socket,
                        const sockaddr_in& peer, TAddressSlot slot, TClientEntry* entry);
  TRequestsServerThread(const TRequestsServerThread&) = delete;
  TRequestsServerThread& operator=(const TRequestsServerThread&) = delete;
  // Ended first (by itself or by Terminate()).
  ~TRequestsServerThread();

  // Loop thread, once: starts reading. A session that cannot be watched
  // ends at once.
  void Start();
  // Loop thread: ends the session now (the server's stop).
  void Terminate();
  bool Ended() const { return ended_; }

  // Handles one packet. Loop thread (or a single-threaded caller that never
  // started the session). Throws TSilentAbort when the packet's Size is
  // wrong or a reply cannot be sent.
  void ProcessRequest(TPacketView packet);
  // Loop thread: the answer of a request handled on another loop; handling
  // goes on behind it.
  void Resume(const TNatReply& reply);

  // The client's address and port as taken at accept.
  const sockaddr_in& Peer() const { return peer_; }
  std::uint64_t Id() const { return id_; }
  TRelayLoop& Loop() const { return loop_; }
  TClientEntry* Entry() const { return entry_; }
  // Bytes of replies the client has not taken yet.
  std::size_t QueuedReplyBytes() const { return output_.size() - output_sent_; }

  TRequestsServer& Server;

 private:
  // The request share's turn.
  class TShareTimer final : public TLoopTimer {
   public:
    explicit TShareTimer(TRequestsServerThread& session) : session_(session) {}
    void OnTimer() override { session_.ShareArrived(); }

   private:
    TRequestsServerThread& session_;
  };

  void OnReady(std::uint32_t events) override;
  // Whether the session reads: not while a packet waits for its turn or
  // its answer, nor once it is to end.
  bool Reading() const;
  void Receive();
  // Handles the whole packets kept and |received|, as far as it may go now.
  void HandlePackets(std::span<const std::uint8_t> received = {});
  TDrainStep HandleOne(TPacketView packet);
  void ShareArrived();
  // Whether handling |packet| makes the server work (Nop, Register, NAT),
  // and so counts against its address's share of requests.
  static bool CostsWork(TPacketView packet);
  void ProcessNop(TPacketView packet);
  void ProcessRegister(TPacketView packet);
  void ProcessNatRequest(TPacketView packet);
  // Queues |packet| and writes what the socket takes; throws TSilentAbort
  // when the socket failed.
  void Send(const TRequestPacket& packet);
  void Queue(const TRequestPacket& packet);
  void Flush();
  // Encodes the next entries of a Register's lists while less than
  // kListChunkBytes wait, and writes them.
  void FillLists();
  // Whether a request under way holds up the next one.
  bool Busy() const;
  void UpdateWatch();
  void End();

  TRelayLoop& loop_;
  TEventLoop& events_;
  std::uint64_t id_;
  TUniqueFd socket_;
  sockaddr_in peer_;
  TAddressSlot slot_;
  TClientEntry* entry_;
  TPacketAssembler packets_;
  std::vector<std::uint8_t> output_;
  std::size_t output_sent_ = 0;
  TShareTimer share_timer_{*this};
  // The address lists a Register is still sending: its configuration,
  // profile, and the next entry (excludes first, then includes).
  struct TListCursor {
    TConfigSnapshot Config;
    std::uint8_t Profile = 0;
    std::size_t Next = 0;
  };
  std::optional<TListCursor> lists_;
  bool share_taken_ = false;         // the front packet's share is booked
  bool awaiting_reply_ = false;      // a request is being answered on another loop
  bool stop_after_packets_ = false;  // Register refused: end once the received packets are done
  bool ended_ = false;
};

}  // namespace quorvane
