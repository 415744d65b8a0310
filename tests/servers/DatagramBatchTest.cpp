#include "servers/DatagramBatch.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

// Resident pages of the batch's slots, found from its first datagram.
std::size_t ResidentSlotPages(const TDatagramBatch& batch) {
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident(TDatagramBatch::kMappingSize / page);
  auto* slots = const_cast<std::uint8_t*>(batch.Data(0).data());
  if (::mincore(slots, resident.size() * page, resident.data()) != 0) return SIZE_MAX;
  return static_cast<std::size_t>(
      std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; }));
}

TEST(DatagramBatchTest, OnlyPagesDatagramsTouchedAreResidentUntilTrimmed) {
  TDatagramBatch batch;
  ASSERT_TRUE(batch.Valid());
  std::uint16_t port = 0;
  TUniqueFd receiver = BindUdpLoopback(&port), sender = OpenUdpSocket();
  ASSERT_TRUE(SendDatagram(sender.Get(), "one", port));
  ASSERT_TRUE(WaitUntil([&] { return PendingBytes(receiver.Get()) > 0; }));
  ASSERT_EQ(batch.Receive(receiver.Get()), 1);
  EXPECT_EQ(ResidentSlotPages(batch), 1u);  // not 32 slots of 64 KiB
  EXPECT_EQ(batch.ResidentBytes(), static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)));
  batch.Trim();
  EXPECT_EQ(ResidentSlotPages(batch), 0u);
  EXPECT_EQ(batch.ResidentBytes(), 0u);
}

// Receives a batch of varied datagrams and sends it on to two destinations:
// every datagram must arrive whole and in order. A socket without UDP
// checksums refuses segmented sends: every datagram must still go, one by
// one.
TEST(DatagramBatchTest, SendDeliversEveryDatagramWholeInOrderSegmentedOrNot) {
  // Runs of one size with a shorter last, an empty datagram, runs too large
  // to go as one, and destinations that change in the middle.
  std::vector<std::string> datagrams;
  datagrams.reserve(kDatagramBatch);
  for (int i = 0; i < 6; ++i) datagrams.push_back(std::string(100, static_cast<char>('a' + i)));
  datagrams.push_back("short");
  for (int i = 0; i < 3; ++i) datagrams.push_back(std::string(100, static_cast<char>('k' + i)));
  datagrams.push_back("");
  for (int i = 0; i < 3; ++i) datagrams.push_back(std::string(30000, static_cast<char>('p' + i)));
  for (int i = 0; i < 4; ++i) datagrams.push_back("to b " + std::to_string(i));
  datagrams.push_back(std::string(100, 'z'));
  const std::size_t kFirstToB = datagrams.size() - 5;
  ASSERT_LE(datagrams.size(), kDatagramBatch);

  for (const bool refuses_segments : {false, true}) {
    SCOPED_TRACE(refuses_segments ? "segmented sends refused" : "segmented sends taken");
    std::uint16_t intake_port = 0, a_port = 0, b_port = 0;
    TUniqueFd intake = BindUdpLoopback(&intake_port), a = BindUdpLoopback(&a_port),
              b = BindUdpLoopback(&b_port);
    TUniqueFd feeder = OpenUdpSocket(), out = OpenUdpSocket();
    const int room = 1 << 20;
    for (int fd : {intake.Get(), a.Get(), b.Get()}) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    const int on = 1;
    if (refuses_segments) {
      ASSERT_EQ(setsockopt(out.Get(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
    }
    std::uint64_t bytes = 0;
    for (const std::string& datagram : datagrams) {
      ASSERT_TRUE(SendDatagram(feeder.Get(), datagram, intake_port));
      bytes += datagram.size();
    }
    TDatagramBatch batch;
    ASSERT_TRUE(batch.Valid());
    ASSERT_TRUE(WaitUntil([&] { return PendingBytes(intake.Get()) > 0; }));
    ASSERT_EQ(batch.Receive(intake.Get()), static_cast<int>(datagrams.size()));
    const auto count = static_cast<unsigned>(datagrams.size());
    const auto first_to_b = static_cast<unsigned>(kFirstToB);
    batch.Direct(0, count, MakeSockAddr(inet_addr("127.0.0.1"), a_port));
    batch.Direct(first_to_b, 4, MakeSockAddr(inet_addr("127.0.0.1"), b_port));
    const TDatagramBatch::TSent sent = batch.Send(out.Get(), 0, count);
    EXPECT_EQ(std::tuple(sent.Datagrams, sent.Bytes), std::tuple(count, bytes));
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
      const bool to_b = i >= kFirstToB && i < kFirstToB + 4;
      ASSERT_EQ(RecvDatagram(to_b ? b.Get() : a.Get()), datagrams[i]) << "datagram " << i;
    }
    EXPECT_EQ(PendingBytes(a.Get()), 0);
  }
}

}  // namespace
}  // namespace quorvane
