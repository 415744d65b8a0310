#pragma once

#include <cstddef>
#include <memory>
#include <vector>

namespace quorvane {

// The small-message buffer. A read that fills it opens the pipe.
inline constexpr std::size_t kSmallBufferBytes = std::size_t{16} * 1024;
// Empty buffers a pool keeps for reuse; beyond that they are freed, so that
// a burst of slow receivers does not pin memory for good.
inline constexpr std::size_t kPoolKeepBuffers = 16;

// Lends kSmallBufferBytes buffers. One per loop; loop thread only.
class TRelayBufferPool {
 public:
  using TBuffer = std::unique_ptr<char[]>;
  TRelayBufferPool() = default;
  TRelayBufferPool(const TRelayBufferPool&) = delete;
  TRelayBufferPool& operator=(const TRelayBufferPool&) = delete;

  TBuffer Take();
  void Give(TBuffer buffer);
  std::size_t Idle() const { return free_.size(); }

 private:
  std::vector<TBuffer> free_;
};

}  // namespace quorvane
