#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvane {

// The largest payload a UDP datagram over IPv4 can carry (65535 minus the
// IP and UDP headers). Every receive slot holds this much, so no datagram is
// ever cut.
inline constexpr std::size_t kMaxDatagramSize = 65507;
// Datagrams one system call takes from, or hands to, one socket. It also
// bounds what one pass takes from one socket before it serves the others: a
// busy sender saves system calls but cannot starve its neighbours.
inline constexpr unsigned kDatagramBatch = 32;

// Up to kDatagramBatch datagrams received with recvmmsg(), kept in place
// until they are sent on with sendmmsg(). A batch may be filled from one
// socket in one call, or from several sockets in turn, each datagram then
// given its own destination, so that one send passes them all on. Its
// kDatagramBatch slots of kMaxDatagramSize bytes are one anonymous mapping:
// pages that no datagram has touched are never resident, and Trim() gives
// back those that were. Used by one thread at a time.
class TDatagramBatch {
 public:
  // Slots start on page boundaries, so a small datagram touches one page.
  static constexpr std::size_t kSlotStride = 65536;
  static_assert(kSlotStride >= kMaxDatagramSize);
  static constexpr std::size_t kMappingSize = kSlotStride * kDatagramBatch;

  // Maps the slots; touches none of them.
  TDatagramBatch();
  ~TDatagramBatch();
  TDatagramBatch(const TDatagramBatch&) = delete;
  TDatagramBatch& operator=(const TDatagramBatch&) = delete;

  // False when the slots could not be mapped; nothing else may be called.
  bool Valid() const { return slots_ != nullptr; }

  // Replaces the batch with what |fd| has queued, up to kDatagramBatch
  // datagrams, without blocking. Returns the count (0 when nothing was
  // queued), or -1 with errno set when the receive failed otherwise.
  int Receive(int fd) {
    Clear();
    return ReceiveMore(fd, kDatagramBatch);
  }
  // Appends what |fd| has queued, up to |max| <= Free() datagrams, without
  // blocking. Returns the count appended, 0 or -1 as Receive() does; fewer
  // than |max| means |fd| had no more.
  int ReceiveMore(int fd, unsigned max);
  // Empties the batch; the slots keep their pages.
  void Clear() { count_ = 0; }
  unsigned Count() const { return count_; }
  unsigned Free() const { return kDatagramBatch - count_; }
  // Datagram |i| < Count(): its sender and exactly its bytes (possibly none).
  const sockaddr_in& From(unsigned i) const { return from_[i]; }
  std::span<const std::uint8_t> Data(unsigned i) const {
    return {SlotData(i), static_cast<std::size_t>(received_[i].msg_len)};
  }

  // Sets where datagrams [first, first + count) of the batch are to go.
  void Direct(unsigned first, unsigned count, const sockaddr_in& to);

  struct TSent {
    unsigned Datagrams = 0;
    std::uint64_t Bytes = 0;
  };
  // Sends datagrams [first, first + count) of the batch through |fd|, in
  // order, each to where Direct() last sent its slot (the overload with
  // |to| directs them all there first), with one sendmmsg() when the socket
  // takes them all. A datagram the socket refuses is lost, as the network
  // might have lost it; a full send buffer loses the rest. Returns what was
  // sent.
  //
  // A run of datagrams to one place, of one size but for a shorter last one,
  // goes as one segmented send (UDP_SEGMENT): the kernel cuts it into the
  // same datagrams, but routes and passes on the run once. Should the route
  // refuse that, the batch sends one by one from then on.
  TSent Send(int fd, unsigned first, unsigned count);
  TSent Send(int fd, unsigned first, unsigned count, const sockaddr_in& to) {
    Direct(first, count, to);
    return Send(fd, first, count);
  }

  // Bytes of slot pages that datagrams have touched since the last Trim():
  // what the slots keep resident, at most.
  std::size_t ResidentBytes() const { return resident_pages_ * page_size_; }
  // Makes every slot page non-resident again (their contents are lost).
  void Trim();

 private:
  std::uint8_t* SlotData(unsigned i) const { return slots_ + i * kSlotStride; }
  // Fills sending_ with datagrams [first, end), runs segmented where they
  // may be; returns the number of messages.
  unsigned Compose(unsigned first, unsigned end);
  // How many datagrams from |first| on may go as one segmented send.
  unsigned SegmentRun(unsigned first, unsigned end) const;

  std::uint8_t* slots_ = nullptr;
  unsigned count_ = 0;
  std::size_t page_size_ = 4096;
  std::size_t resident_pages_ = 0;               // sum of slot_pages_
  std::size_t slot_pages_[kDatagramBatch] = {};  // touched since the last Trim()
  mmsghdr received_[kDatagramBatch];
  iovec received_iov_[kDatagramBatch];
  sockaddr_in from_[kDatagramBatch];
  sockaddr_in to_[kDatagramBatch];
  // Message m of a send carries datagrams from message_first_[m] on, with
  // sending_iov_ indexed like the slots, and control_[m] for segmenting.
  mmsghdr sending_[kDatagramBatch];
  unsigned message_first_[kDatagramBatch];
  iovec sending_iov_[kDatagramBatch];
  alignas(cmsghdr) unsigned char control_[kDatagramBatch][CMSG_SPACE(sizeof(std::uint16_t))];
  bool segmenting_ = true;
};

}  // namespace quorvane
