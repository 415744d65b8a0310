// TPacketAssembler: cuts a control connection's byte stream into 220-byte
// packets with bounded memory. A session receives into its loop's shared
// buffer and hands each receive to Drain(), which handles the packets in
// place; only what is left over is copied and kept: a partial packet
// (under 220 bytes) between receives, or, when the handler pauses in the
// middle of a receive (the session then stops reading until it resumes),
// at most that one receive's rest. Pure logic, no socket; one thread uses it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "requests/RequestPacket.h"

namespace quorvane {

// The most one receive on a control connection takes.
inline constexpr std::size_t kReceiveChunkBytes = std::size_t{64} * 1024;

// What Drain() does after a packet: go on, keep that packet for later (it
// has not been handled), or stop behind it (it has been handled).
enum class TDrainStep : std::uint8_t { kNext, kHoldThis, kStopAfterThis };

class TPacketAssembler final {
 public:
  TPacketAssembler() = default;
  TPacketAssembler(const TPacketAssembler&) = delete;
  TPacketAssembler& operator=(const TPacketAssembler&) = delete;

  // Calls |handle(TPacketView)| for each whole packet of the bytes kept so
  // far followed by |incoming|, in order, until it returns another step
  // than kNext: what lies behind that packet (and for kHoldThis the packet
  // too) is kept for the next Drain(). Returns true when every whole packet
  // was handled. If |handle| throws, everything not yet handled is dropped
  // with the exception.
  template <class Handle>
  bool Drain(std::span<const std::uint8_t> incoming, Handle&& handle) {
    try {
      if (!DrainKept(incoming, handle)) return false;
      // Still a partial packet: everything that came went into it.
      if (!buffer_.empty()) return true;
      return DrainIncoming(incoming, handle);
    } catch (...) {
      buffer_.clear();
      throw;
    }
  }
  // Bytes kept now.
  std::size_t Size() const { return buffer_.size(); }

 private:
  // The kept bytes first: packets left by a pause, or one begun in an
  // earlier receive, completed from |incoming| (which then loses those
  // bytes). False when the handler stopped; |incoming| is then kept too.
  template <class Handle>
  bool DrainKept(std::span<const std::uint8_t>& incoming, Handle& handle) {
    std::size_t offset = 0;
    while (!buffer_.empty()) {
      if (buffer_.size() - offset < kPacketSize) {
        Forget(offset);
        offset = 0;
        const std::size_t take = std::min(kPacketSize - buffer_.size(), incoming.size());
        buffer_.insert(buffer_.end(), incoming.begin(), incoming.begin() + static_cast<std::ptrdiff_t>(take));
        incoming = incoming.subspan(take);
        if (buffer_.size() < kPacketSize) return true;
      }
      const TDrainStep step = handle(TPacketView(buffer_.data() + offset, kPacketSize));
      if (step != TDrainStep::kHoldThis) offset += kPacketSize;
      if (step != TDrainStep::kNext) {
        Forget(offset);
        buffer_.insert(buffer_.end(), incoming.begin(), incoming.end());
        return false;
      }
      if (offset == buffer_.size()) {
        Forget(offset);
        offset = 0;
      }
    }
    return true;
  }

  // Then the receive itself, in place; only its rest is copied.
  template <class Handle>
  bool DrainIncoming(std::span<const std::uint8_t> incoming, Handle& handle) {
    std::size_t offset = 0;
    bool finished = true;
    for (; incoming.size() - offset >= kPacketSize; offset += kPacketSize) {
      const TDrainStep step = handle(TPacketView(incoming.data() + offset, kPacketSize));
      if (step == TDrainStep::kNext) continue;
      if (step == TDrainStep::kStopAfterThis) offset += kPacketSize;
      finished = false;
      break;
    }
    Keep(incoming.subspan(offset));
    return finished;
  }

  void Forget(std::size_t consumed);
  void Keep(std::span<const std::uint8_t> rest);

  std::vector<std::uint8_t> buffer_;
};

}  // namespace quorvane
