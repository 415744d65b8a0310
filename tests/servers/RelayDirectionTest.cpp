#include "servers/RelayDirection.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>

#include "TestSupport.h"

namespace quorvane {
namespace {

using namespace test;

// A pair of connected non-blocking stream sockets.
struct TPair {
  TPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    peer.Reset(fds[0]);
    near.Reset(fds[1]);
  }
  TUniqueFd peer, near;
};

// A direction between two pairs: it uses their near ends, the test their
// far ends (the peers).
struct TDirectionAndPeers {
  TRelayBufferPool pool;
  TPair source, sink;
  TRelayDirection direction{source.near.Get(), sink.near.Get(), pool};
};

// Writes the Pattern from |offset| on, as much as |fd| takes without
// blocking; returns how much.
std::size_t WriteWhatFits(int fd, std::size_t offset) {
  std::size_t written = 0;
  for (ssize_t n = 1; n > 0; written += n > 0 ? static_cast<std::size_t>(n) : 0) {
    const std::string chunk = Pattern(offset + written, std::size_t{64} * 1024);
    n = SendSome(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
  }
  return written;
}

TEST(RelayDirectionTest, BytesHeldNeverExceedTheBoundBehindASinkThatNeverReads) {
  // What a direction holds is what waits in its buffer plus what waits in
  // its pipe. A sink full from the start keeps the buffer's first bytes
  // waiting while the pipe fills behind them.
  for (const bool sink_full_at_first : {false, true}) {
    SCOPED_TRACE(sink_full_at_first ? "sink full from the start" : "sink takes bytes at first");
    TDirectionAndPeers t;
    if (sink_full_at_first) WriteWhatFits(t.sink.near.Get(), 0);
    std::size_t offered = 0;
    std::size_t max_pending = 0;
    // The writer offers more whenever it can; the sink's reader never reads.
    for (int step = 0; step < 10000; ++step) {
      offered += WriteWhatFits(t.source.peer.Get(), offered);
      const std::size_t taken = t.direction.Fill();
      t.direction.Flush();
      max_pending = std::max(max_pending, t.direction.Pending());
      if (taken == 0 && !t.direction.WantsInput()) break;
    }
    EXPECT_FALSE(t.direction.WantsInput()) << "still reading with " << t.direction.Pending() << " bytes held";
    EXPECT_LE(max_pending, kRelayBufferBytes);
    // The bound, not the small-message buffer, is what stopped it.
    EXPECT_TRUE(t.direction.Spliced());
    EXPECT_GT(max_pending, kSmallBufferBytes);
    EXPECT_TRUE(t.direction.WantsOutput());
  }
}

TEST(RelayDirectionTest, SmallMessageGivesItsBufferBackOnceSentAndTheEndComesAfterEveryByte) {
  TDirectionAndPeers t;
  ASSERT_TRUE(SendAll(t.source.peer.Get(), "hello"));
  EXPECT_EQ(t.direction.Fill(), 5u);
  EXPECT_EQ(t.direction.Flush(), 5u);
  EXPECT_FALSE(t.direction.HoldsBuffer() || t.direction.Spliced());
  EXPECT_EQ(t.pool.Idle(), 1u);
  EXPECT_EQ(RecvExact(t.sink.peer.Get(), 5), "hello");

  // More than the sink's socket takes at once, then the sender's FIN: the
  // end may only arrive once every byte before it has.
  const std::size_t sent = WriteWhatFits(t.source.peer.Get(), 0);
  ::shutdown(t.source.peer.Get(), SHUT_WR);
  std::string received;
  std::size_t filled = 0;
  ssize_t n = 1;
  for (int step = 0; step < 100000 && n != 0; ++step) {
    filled += t.direction.Fill();
    t.direction.Flush();
    t.direction.PassEnd();
    char bytes[4096];
    n = RecvSome(t.sink.peer.Get(), bytes, sizeof bytes, MSG_DONTWAIT);
    if (n > 0) received.append(bytes, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(n, 0) << "no end passed on";
  EXPECT_EQ(filled, sent);
  EXPECT_TRUE(received == Pattern(0, sent)) << "received " << received.size() << " of " << sent;
  EXPECT_TRUE(t.direction.Done());
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
    TDirectionAndPeers t;
    ASSERT_TRUE(SendAll(t.source.peer.Get(), std::string(size, 'x')));
    std::size_t filled = 0;
    for (std::size_t n; (n = t.direction.Fill(limit)) > 0;) {
      ASSERT_LE(n, limit);
      filled += n;
    }
    ASSERT_EQ(filled, size);
    EXPECT_EQ(t.direction.Spliced(), size > kSmallBufferBytes);
    t.sink.peer.Reset();  // the sink's peer is gone: the next send fails
    EXPECT_EQ(t.direction.Flush(), 0u);
    EXPECT_TRUE(t.direction.SinkFailed());
    EXPECT_EQ(t.direction.Pending(), 0u);
    EXPECT_FALSE(t.direction.HoldsBuffer() || t.direction.Spliced() || t.direction.WantsOutput());
    // The source is still read (what it sends is thrown away; over TCP
    // only, as unix sockets cannot drop bytes unread), so its end is seen.
    EXPECT_TRUE(t.direction.WantsInput());
    ::shutdown(t.source.peer.Get(), SHUT_WR);
    EXPECT_EQ(t.direction.Fill(), 0u);
    t.direction.PassEnd();
    EXPECT_TRUE(t.direction.Done());
    EXPECT_FALSE(t.direction.SourceFailed());
  }
}

}  // namespace
}  // namespace quorvane
