#include "servers/RelayDirection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

// Two connected non-blocking stream sockets: [0] is the far peer, [1] the
// end the direction uses.
struct TPair {
  TUniqueFd peer;
  TUniqueFd near;
};

TPair MakePair() {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
  return {TUniqueFd(fds[0]), TUniqueFd(fds[1])};
}

// Writes as much of a pattern as the socket takes without blocking.
std::size_t WriteWhatFits(int fd, std::size_t offset) {
  std::size_t written = 0;
  std::string chunk(std::size_t{64} * 1024, '\0');
  for (;;) {
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>((offset + written + i) % 251);
    const ssize_t n = SendSome(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (n <= 0) return written;
    written += static_cast<std::size_t>(n);
  }
}

TEST(RelayDirectionTest, BytesHeldNeverExceedTheBoundBehindASinkThatNeverReads) {
  // What a direction holds is what waits in its buffer plus what waits in
  // its pipe. A sink full from the start keeps the buffer's first bytes
  // waiting while the pipe fills behind them.
  for (const bool sink_full_at_first : {false, true}) {
    SCOPED_TRACE(sink_full_at_first ? "sink full from the start" : "sink takes bytes at first");
    TRelayBufferPool pool;
    TPair source = MakePair();
    TPair sink = MakePair();
    if (sink_full_at_first) WriteWhatFits(sink.near.Get(), 0);
    TRelayDirection direction(source.near.Get(), sink.near.Get(), pool);
    std::size_t offered = 0;
    std::size_t max_pending = 0;
    // The writer offers more whenever it can; the sink's reader never reads.
    for (int step = 0; step < 10000; ++step) {
      offered += WriteWhatFits(source.peer.Get(), offered);
      const std::size_t taken = direction.Fill();
      direction.Flush();
      max_pending = std::max(max_pending, direction.Pending());
      if (taken == 0 && !direction.WantsInput()) break;
    }
    EXPECT_FALSE(direction.WantsInput()) << "still reading with " << direction.Pending() << " bytes held";
    EXPECT_LE(max_pending, kRelayBufferBytes);
    // The bound, not the small-message buffer, is what stopped it.
    EXPECT_TRUE(direction.Spliced());
    EXPECT_GT(max_pending, kSmallBufferBytes);
    EXPECT_TRUE(direction.WantsOutput());
  }
}

TEST(RelayDirectionTest, SmallMessageGivesItsBufferBackOnceSentAndTheEndComesAfterEveryByte) {
  TRelayBufferPool pool;
  TPair source = MakePair();
  TPair sink = MakePair();
  TRelayDirection direction(source.near.Get(), sink.near.Get(), pool);
  ASSERT_TRUE(SendAll(source.peer.Get(), "hello"));
  EXPECT_EQ(direction.Fill(), 5u);
  EXPECT_EQ(direction.Flush(), 5u);
  EXPECT_FALSE(direction.HoldsBuffer());
  EXPECT_FALSE(direction.Spliced());
  EXPECT_EQ(pool.Idle(), 1u);
  EXPECT_EQ(RecvExact(sink.peer.Get(), 5), "hello");

  // The end is passed on only after every byte before it. More than the sink's socket takes at once, then the
  // sender's FIN.
  const std::size_t sent = WriteWhatFits(source.peer.Get(), 0);
  ::shutdown(source.peer.Get(), SHUT_WR);
  std::string received;
  std::size_t total_filled = 0;
  bool eof = false;
  for (int step = 0; step < 100000 && !eof; ++step) {
    total_filled += direction.Fill();
    direction.Flush();
    direction.PassEnd();
    char bytes[4096];
    const ssize_t n = RecvSome(sink.peer.Get(), bytes, sizeof bytes, MSG_DONTWAIT);
    if (n > 0) received.append(bytes, static_cast<std::size_t>(n));
    // The end may only arrive once every byte before it has.
    if (n == 0) eof = true;
  }
  EXPECT_TRUE(eof);
  EXPECT_EQ(total_filled, sent);
  ASSERT_EQ(received.size(), sent);
  for (std::size_t i = 0; i < sent; ++i) {
    ASSERT_EQ(received[i], static_cast<char>(i % 251)) << "at " << i;
  }
  EXPECT_TRUE(direction.Done());
}

TEST(RelayDirectionTest, FailedSinkDropsWhatWaitsWhileTheSourceStillEnds) {
  struct TCase {
    const char* name;
    std::size_t size;
    std::size_t limit;  // per Fill(), in the buffer and in the pipe alike
  };
  const TCase cases[] = {
      {"bytes in the buffer", 5, TRelayDirection::kNoLimit},
      {"bytes in the pipe", 2 * kSmallBufferBytes, TRelayDirection::kNoLimit},
      {"bytes in the pipe, taken a few at a time", 2 * kSmallBufferBytes, 3000},
  };
  for (const auto& [name, size, limit] : cases) {
    SCOPED_TRACE(name);
    TRelayBufferPool pool;
    TPair source = MakePair();
    TPair sink = MakePair();
    TRelayDirection direction(source.near.Get(), sink.near.Get(), pool);
    ASSERT_TRUE(SendAll(source.peer.Get(), std::string(size, 'x')));
    std::size_t filled = 0;
    for (std::size_t n; (n = direction.Fill(limit)) > 0;) {
      ASSERT_LE(n, limit);
      filled += n;
    }
    ASSERT_EQ(filled, size);
    EXPECT_EQ(direction.Spliced(), size > kSmallBufferBytes);
    sink.peer.Reset();  // the sink's peer is gone: the next send fails
    EXPECT_EQ(direction.Flush(), 0u);
    EXPECT_TRUE(direction.SinkFailed());
    EXPECT_EQ(direction.Pending(), 0u);
    EXPECT_FALSE(direction.HoldsBuffer());
    EXPECT_FALSE(direction.Spliced());
    EXPECT_FALSE(direction.WantsOutput());
    // The source is still read (what it sends is thrown away; over TCP
    // only, as unix sockets cannot drop bytes unread), so its end is seen.
    EXPECT_TRUE(direction.WantsInput());
    ::shutdown(source.peer.Get(), SHUT_WR);
    EXPECT_EQ(direction.Fill(), 0u);
    direction.PassEnd();
    EXPECT_TRUE(direction.Done());
    EXPECT_FALSE(direction.SourceFailed());
  }
}

}  // namespace
}  // namespace quorvane
