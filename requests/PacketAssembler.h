// TPacketAssembler: cuts a control connection's byte stream into 220-byte
// packets with bounded memory. It never holds more than one partial packet
// plus one receive's worth (kReceiveChunkBytes): the session receives at
// most that much at a time, handles every whole packet, and keeps the
// remainder. Pure logic, no socket; one thread uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "requests/RequestPacket.h"

namespace quorvane {

// The most one receive on a control connection takes.
inline constexpr std::size_t kReceiveChunkBytes = std::size_t{64} * 1024;

class TPacketAssembler final {
 public:
  TPacketAssembler() = default;
  TPacketAssembler(const TPacketAssembler&) = delete;
  TPacketAssembler& operator=(const TPacketAssembler&) = delete;

  // Where the next receive goes: kReceiveChunkBytes bytes. REQUIRES: every
  // whole packet has been taken (Drain) since the last Commit.
  std::span<std::uint8_t> Space();
  // |count| bytes of Space() now hold received data.
  void Commit(std::size_t count);
  // Calls |handle(TPacketView)| for each whole packet, in order, then keeps
  // only the partial packet behind them. If |handle| throws, the bytes
  // behind the packet that threw are dropped with the exception.
  template <class Handle>
  void Drain(Handle&& handle) {
    std::size_t offset = 0;
    for (; size_ - offset >= kPacketSize; offset += kPacketSize) {
      handle(TPacketView(buffer_.get() + offset, kPacketSize));
    }
    Keep(offset);
  }
  // Bytes held now: under kPacketSize between Drain and the next Commit.
  std::size_t Size() const { return size_; }

 private:
  static constexpr std::size_t kCapacity = kPacketSize - 1 + kReceiveChunkBytes;
  void Keep(std::size_t consumed);

  // Allocated at the first receive and never initialised: a client that
  // sends little keeps little resident.
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t size_ = 0;
};

}  // namespace quorvane
