#include "requests/PacketAssembler.h"

namespace quorvane {
namespace {

// A session that kept a whole receive while it waited gives that memory
// back once it is down to a partial packet again: idle sessions stay small.
constexpr std::size_t kKeptCapacity = 4 * kPacketSize;

}  // namespace

void TPacketAssembler::Forget(std::size_t consumed) {
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
}

void TPacketAssembler::Keep(std::span<const std::uint8_t> rest) {
  buffer_.assign(rest.begin(), rest.end());
  if (buffer_.capacity() > kKeptCapacity && buffer_.size() < kPacketSize) buffer_.shrink_to_fit();
}

}  // namespace quorvane
