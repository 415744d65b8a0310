// The benchmark's own peers, all in the measuring process: the targets that
// redirectors forward to (TCP echo and sink, UDP echo, a slow TCP reader) and
// the bulk sender. Each is one thread serving many sockets through one
// epoll or poll set, so that the targets stay cheap next to what is measured.
// Every thread waits only in epoll/poll together with its WakeFd(); the owner
// stops one with Terminate() then WaitFor().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <vector>

#include "runtime/Net.h"
#include "runtime/Thread.h"

namespace quorvane::bench {

// A TCP server on 127.0.0.1 that either echoes every byte or discards it
// (counting it). Listens from construction; serves from Resume().
class TTcpTarget final : public TThread {
 public:
  enum class TMode { kEcho, kDiscard };
  explicit TTcpTarget(TMode mode);
  ~TTcpTarget() override;

  bool Valid() const { return listener_.Valid(); }
  std::uint16_t Port() const { return port_; }
  // Bytes received over all connections. Any thread.
  std::uint64_t BytesReceived() const { return received_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override;

 private:
  struct TConnection {
    TUniqueFd Fd;
    std::vector<std::uint8_t> Unsent;  // echo bytes the socket could not take yet
  };
  void AcceptAll(int epoll_fd);
  // Returns false when the connection is finished.
  bool Serve(TConnection& connection, int epoll_fd, std::uint32_t events);

  const TMode mode_;
  std::uint16_t port_ = 0;  // before listener_: set while it is made
  TUniqueFd listener_;
  std::atomic<std::uint64_t> received_{0};
  std::vector<std::uint8_t> buffer_;                  // target thread only
  std::unordered_map<int, TConnection> connections_;  // target thread only
};

// A datagram that starts with this byte is a flood's: the echo target
// counts it and does not answer, as a game host would ignore it.
inline constexpr std::uint8_t kFloodMarker = 0xF1;

// A UDP server on 127.0.0.1 that sends every datagram back to its sender,
// taking and answering them in batches. With |record_sources|, it also
// notes every source port it was sent from: a redirector that kept one
// client's session shows one port.
class TUdpEchoTarget final : public TThread {
 public:
  explicit TUdpEchoTarget(bool record_sources = false);
  bool Valid() const { return socket_.Valid(); }
  std::uint16_t Port() const { return port_; }
  // After WaitFor(): the source ports seen, when recorded.
  const std::set<std::uint16_t>& SourcePorts() const { return sources_; }
  // Datagrams received to be answered (each then sent back unless the send
  // buffer was full), and flood datagrams and their bytes. Any thread.
  std::uint64_t Received() const { return received_.load(std::memory_order_relaxed); }
  std::uint64_t FloodDatagrams() const { return flood_datagrams_.load(std::memory_order_relaxed); }
  std::uint64_t FloodBytes() const { return flood_bytes_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override;

 private:
  const bool record_sources_;
  std::uint16_t port_ = 0;  // before socket_: set while it is made
  TUniqueFd socket_;
  std::set<std::uint16_t> sources_;  // target thread only until WaitFor()
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> flood_datagrams_{0};
  std::atomic<std::uint64_t> flood_bytes_{0};
};

// A TCP server on 127.0.0.1 that reads at most |chunk| bytes from each
// connection every |period_ms|: the slow receiver.
class TSlowReader final : public TThread {
 public:
  TSlowReader(std::size_t chunk, int period_ms);
  bool Valid() const { return listener_.Valid(); }
  std::uint16_t Port() const { return port_; }
  std::uint64_t BytesReceived() const { return received_.load(std::memory_order_relaxed); }
  // Readable once the first byte has been read.
  int FirstByteFd() const { return first_byte_.Fd(); }

 protected:
  void Execute() override;

 private:
  const std::size_t chunk_;
  const int period_ms_;
  std::uint16_t port_ = 0;  // before listener_: set while it is made
  TUniqueFd listener_;
  std::atomic<std::uint64_t> received_{0};
  TEvent first_byte_;
};

// Sends as fast as the sockets take it on every connection it was given
// (non-blocking, connected), until terminated. Owns the connections.
class TBulkSender final : public TThread {
 public:
  explicit TBulkSender(std::vector<TUniqueFd> connections);
  std::uint64_t BytesSent() const { return sent_.load(std::memory_order_relaxed); }
  // True when a connection failed before the sender was terminated.
  bool Failed() const { return failed_.load(std::memory_order_relaxed); }

 protected:
  void Execute() override;

 private:
  std::vector<TUniqueFd> connections_;
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<bool> failed_{false};
};

// Opens connections to 127.0.0.1:|port| one after another until |deadline|
// or Terminate(): connect, one byte each way, abortive close. Gives up after
// a few failed connections.
class TSetupClient final : public TThread {
 public:
  // |keep_samples|: record each connection's set-up time.
  TSetupClient(std::uint16_t port, std::chrono::steady_clock::time_point deadline, bool keep_samples);
  // After WaitFor():
  int Done() const { return done_; }
  int Failures() const { return failures_; }
  // Microseconds from connect() to the echo of the first byte.
  std::vector<double>& Samples() { return samples_; }

 protected:
  void Execute() override;

 private:
  const std::uint16_t port_;
  const std::chrono::steady_clock::time_point deadline_;
  const bool keep_samples_;
  int done_ = 0;
  int failures_ = 0;
  std::vector<double> samples_;
};

// Terminates and joins |thread|, if it was started.
void Stop(TThread& thread);

// Stops a thread when the scope ends.
class TStopAtExit {
 public:
  explicit TStopAtExit(TThread& thread) : thread_(thread) {}
  TStopAtExit(const TStopAtExit&) = delete;
  TStopAtExit& operator=(const TStopAtExit&) = delete;
  ~TStopAtExit() { Stop(thread_); }

 private:
  TThread& thread_;
};

}  // namespace quorvane::bench
