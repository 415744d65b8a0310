// One direction of a TCP relay: bytes from a source socket to a sink socket,
// with a bounded buffer between them, and the pool that lends the small
// buffers. Pure socket logic, no event loop: a caller that owns a loop (the
// TTCPRelay) tells it when to read and when to send; a test drives it over a
// socketpair().
//
// Small messages, which is what games send, are copied through a buffer
// borrowed from the loop's pool and given back as soon as it is empty, so an
// idle relay holds no buffer memory. A read that fills that buffer means bulk
// data: the direction then opens a pipe and splices the source into it and
// it into the sink, so bulk bytes never pass through user space. Buffered
// bytes always go out before piped ones.
#pragma once

#include <cstddef>
#include <limits>

#include "runtime/Net.h"
#include "servers/RelayBufferPool.h"

namespace quorvane {

// Bytes a direction holds at most; while they wait, it stops reading the
// source and TCP flow control slows the sender.
inline constexpr std::size_t kRelayBufferBytes = std::size_t{256} * 1024;

class TRelayDirection {
 public:
  // Neither socket is owned; both are non-blocking and outlive the
  // direction. |pool| outlives it too.
  TRelayDirection(int source, int sink, TRelayBufferPool& pool);
  TRelayDirection(const TRelayDirection&) = delete;
  TRelayDirection& operator=(const TRelayDirection&) = delete;
  ~TRelayDirection();

  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();

  // One read from the source of at most |limit| bytes, as far as the bound
  // leaves room; once the sink has failed, one read whose bytes are thrown
  // away, whatever |limit| (they reach nobody, so no cap applies). Returns
  // the bytes taken. An end of file ends the source, a receive error fails
  // it and aborts it.
  std::size_t Fill(std::size_t limit = kNoLimit);
  // One send of what waits (buffered bytes first, then piped ones), as far
  // as the sink takes it. Returns the bytes sent. A send error fails the
  // sink, and aborts it unless the peer had ended its stream first.
  std::size_t Flush();
  // The source's connection is broken: nothing more is read from it. What
  // was read is still delivered.
  void FailSource() { source_ended_ = source_failed_ = true; }
  // The source's socket reported an error (EPOLLERR): fails the source,
  // and aborts it when the error came before its end of stream.
  void SourceReportedError();
  // The sink's connection is broken: what waits is dropped, and from now on
  // the source is read only to be thrown away.
  void FailSink();
  // Passes the source's end on as the sink's end (shutdown(SHUT_WR)), once
  // everything before it has been delivered. Call after every step.
  void PassEnd();
  // Nothing more will move: the end was passed on, or the sink failed and
  // the source has ended.
  bool Done() const { return source_ended_ && (end_passed_ || sink_failed_); }

  // Whether the source should be watched for input / the sink for room.
  bool WantsInput() const;
  bool WantsOutput() const { return !sink_failed_ && Pending() > 0; }

  std::size_t Pending() const { return (buffer_end_ - buffer_begin_) + piped_; }
  bool SourceEnded() const { return source_ended_; }
  bool SourceFailed() const { return source_failed_; }
  bool SinkFailed() const { return sink_failed_; }
  // The error of the send that failed the sink; 0 when none did.
  int SinkError() const { return sink_error_; }
  // The source's / the sink's connection was reset (or timed out) before
  // its peer ended its stream: whatever it sent last may be missing, which
  // only a reset can tell the relay's other peer.
  bool SourceAborted() const { return source_aborted_; }
  bool SinkAborted() const { return sink_aborted_; }
  bool HoldsBuffer() const { return buffer_ != nullptr; }
  bool Spliced() const { return pipe_write_.Valid(); }
  int Source() const { return source_; }
  int Sink() const { return sink_; }

 private:
  // Bytes the source may still give before the direction must wait for
  // the sink.
  std::size_t Room() const;
  std::size_t FillPipe(std::size_t room);
  std::size_t FillBuffer(std::size_t room);
  std::size_t Discard();
  void OpenPipe();
  void Grow();
  void ReturnBuffer();
  void ReceiveFailed();
  // A send failed with |error|.
  void SendFailed(int error);

  int source_;
  int sink_;
  TRelayBufferPool& pool_;
  TRelayBufferPool::TBuffer buffer_;  // borrowed while it holds bytes
  std::size_t buffer_begin_ = 0;      // unsent bytes are [begin, end)
  std::size_t buffer_end_ = 0;
  TUniqueFd pipe_read_;
  TUniqueFd pipe_write_;
  std::size_t pipe_capacity_ = 0;
  std::size_t piped_ = 0;        // bytes in the pipe
  bool stalled_ = false;         // no more can be taken until the sink takes some
  bool source_ended_ = false;    // end of file or error: nothing more to read
  bool source_failed_ = false;   // a receive failed, or its socket reported an error
  bool sink_failed_ = false;     // a send failed: nothing more can be delivered
  bool source_aborted_ = false;  // its connection broke before the end of stream
  bool sink_aborted_ = false;    // its connection broke before its peer's end of stream
  bool end_passed_ = false;      // the sink was shut down for writing
  int sink_error_ = 0;
};

}  // namespace quorvane
