// TPacketAssembler: cuts a control connection's byte stream into 220-byte
// packets with bounded memory. A session receives into its loop's shared
// buffer and appends what came; between receives it keeps only a partial
// packet (under 220 bytes), unless the handler pauses in the middle of a
// receive (the session then stops reading until it resumes), which keeps at
// most that one receive's rest. Pure logic, no socket; one thread uses it.
#pragma once

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

  // Appends received bytes. REQUIRES: the last Drain() ran to the end.
  void Append(std::span<const std::uint8_t> bytes);
  // Calls |handle(TPacketView)| for each whole packet, in order, until it
  // returns another TDrainStep than kNext: what is behind that packet (and
  // for kHoldThis the packet too) is kept for the next Drain(). Returns true
  // when every whole packet was handled. If
  // |handle| throws, the bytes behind the packet that threw are dropped
  // with the exception.
  template <class Handle>
  bool Drain(Handle&& handle) {
    std::size_t offset = 0;
    bool finished = true;
    try {
      for (; buffer_.size() - offset >= kPacketSize; offset += kPacketSize) {
        const TDrainStep step = handle(TPacketView(buffer_.data() + offset, kPacketSize));
        if (step == TDrainStep::kNext) continue;
        if (step == TDrainStep::kStopAfterThis) offset += kPacketSize;
        finished = false;
        break;
      }
    } catch (...) {
      buffer_.clear();
      throw;
    }
    Keep(offset);
    return finished;
  }
  // Bytes held now.
  std::size_t Size() const { return buffer_.size(); }
  // True while a whole packet waits.
  bool HasPacket() const { return buffer_.size() >= kPacketSize; }

 private:
  void Keep(std::size_t consumed);

  std::vector<std::uint8_t> buffer_;
};

}  // namespace quorvane
