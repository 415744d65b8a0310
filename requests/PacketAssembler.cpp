#include "requests/PacketAssembler.h"

#include <cassert>
#include <cstring>

namespace quorvane {

std::span<std::uint8_t> TPacketAssembler::Space() {
  assert(size_ < kPacketSize);
  if (!buffer_) buffer_.reset(new std::uint8_t[kCapacity]);
  return {buffer_.get() + size_, kReceiveChunkBytes};
}

void TPacketAssembler::Commit(std::size_t count) {
  assert(count <= kReceiveChunkBytes);
  size_ += count;
}

void TPacketAssembler::Keep(std::size_t consumed) {
  if (consumed == 0) return;
  size_ -= consumed;
  if (size_ > 0) std::memmove(buffer_.get(), buffer_.get() + consumed, size_);
}

}  // namespace quorvane
