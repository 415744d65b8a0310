#include "servers/RelayBufferPool.h"

#include <utility>

namespace quorvane {

TRelayBufferPool::TBuffer TRelayBufferPool::Take() {
  if (free_.empty()) return std::make_unique_for_overwrite<char[]>(kSmallBufferBytes);
  TBuffer buffer = std::move(free_.back());
  free_.pop_back();
  return buffer;
}

void TRelayBufferPool::Give(TBuffer buffer) {
  if (buffer && free_.size() < kPoolKeepBuffers) free_.push_back(std::move(buffer));
}

}  // namespace quorvane
