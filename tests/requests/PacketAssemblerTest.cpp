#include "requests/PacketAssembler.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {
namespace {

// Every packet handled exactly once and in order, whatever the receive
// boundaries and wherever the handler pauses: a partial packet kept across
// a pause or a receive must survive both, and a held packet must come back.
TEST(PacketAssemblerTest, EveryPacketIsHandledOnceInOrderAcrossReceivesAndPauses) {
  constexpr int kPackets = 40;
  std::vector<std::uint8_t> stream(kPackets * kPacketSize);
  for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<std::uint8_t>(i / kPacketSize);
  struct TCase {
    std::string name;
    std::size_t chunk;  // bytes per receive
    int hold_every;     // every n-th packet is held once (0: never)
    int stop_every;     // every n-th packet stops the drain behind it (0: never)
  };
  const TCase cases[] = {
      {"whole packets", kPacketSize, 0, 0},   {"one byte at a time", 1, 0, 0},
      {"packets and a half", 330, 0, 0},      {"all at once", stream.size(), 0, 0},
      {"pause in a big receive", 2000, 3, 0}, {"pause with a partial kept", 7 * kPacketSize + 100, 2, 0},
      {"stop behind a packet", 1000, 0, 4},   {"holds and stops", 997, 3, 5},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TPacketAssembler packets;
    std::vector<int> handled;
    int seen = 0;
    bool held = false;
    const auto handle = [&](TPacketView packet) {
      ++seen;
      if (c.hold_every != 0 && seen % c.hold_every == 0 && !held) {
        held = true;
        return TDrainStep::kHoldThis;
      }
      held = false;
      handled.push_back(packet[0]);
      if (c.stop_every != 0 && seen % c.stop_every == 0) return TDrainStep::kStopAfterThis;
      return TDrainStep::kNext;
    };
    for (std::size_t at = 0; at < stream.size();) {
      const std::size_t take = std::min(c.chunk, stream.size() - at);
      bool finished = packets.Drain(std::span(stream).subspan(at, take), handle);
      at += take;
      // A paused session drains again, with nothing new, until it is done.
      while (!finished) finished = packets.Drain({}, handle);
      EXPECT_LT(packets.Size(), kPacketSize);
    }
    ASSERT_EQ(handled.size(), static_cast<std::size_t>(kPackets));
    for (int i = 0; i < kPackets; ++i) EXPECT_EQ(handled[static_cast<std::size_t>(i)], i);
  }
}

}  // namespace
}  // namespace quorvane
