#include "requests/PacketAssembler.h"

namespace quorvane {
namespace {

// A session that held a whole receive while it waited gives that memory
// back once it is down to a partial packet again: idle sessions stay small.
constexpr std::size_t kKeptCapacity = 4 * kPacketSize;

}  // namespace

void TPacketAssembler::Append(std::span<const std::uint8_t> bytes) {
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

void TPacketAssembler::Keep(std::size_t consumed) {
  if (consumed == 0) return;
  buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
  if (buffer_.capacity() > kKeptCapacity && buffer_.size() < kPacketSize) buffer_.shrink_to_fit();
}

}  // namespace quorvane
