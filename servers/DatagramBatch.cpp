#include "servers/DatagramBatch.h"

#include <netinet/udp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstring>

namespace quorvane {

TDatagramBatch::TDatagramBatch() {
  // A mapping rather than a heap block: the allocator may hand back memory
  // an earlier owner touched (resident), or back a 2 MiB block with a huge
  // page, and either would make an idle server hold megabytes.
  void* slots = ::mmap(nullptr, kMappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (slots == MAP_FAILED) return;
  ::madvise(slots, kMappingSize, MADV_NOHUGEPAGE);
  slots_ = static_cast<std::uint8_t*>(slots);
  if (const long page = ::sysconf(_SC_PAGESIZE); page > 0) page_size_ = static_cast<std::size_t>(page);
  for (unsigned i = 0; i < kDatagramBatch; ++i) {
    received_iov_[i] = {SlotData(i), kMaxDatagramSize};
    received_[i] = {};
    received_[i].msg_hdr.msg_iov = &received_iov_[i];
    received_[i].msg_hdr.msg_iovlen = 1;
    sending_[i] = {};
    cmsghdr* header = reinterpret_cast<cmsghdr*>(control_[i]);
    header->cmsg_level = SOL_UDP;
    header->cmsg_type = UDP_SEGMENT;
    header->cmsg_len = CMSG_LEN(sizeof(std::uint16_t));
  }
}

TDatagramBatch::~TDatagramBatch() {
  if (slots_ != nullptr) ::munmap(slots_, kMappingSize);
}

int TDatagramBatch::ReceiveMore(int fd, unsigned max) {
  assert(max <= Free());
  mmsghdr* const first = received_ + count_;
  for (unsigned i = count_; i < count_ + max; ++i) {
    // The kernel shortens both for each datagram it stores.
    received_[i].msg_hdr.msg_name = &from_[i];
    received_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
  int n;
  do {
    n = ::recvmmsg(fd, first, max, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  for (unsigned i = count_; i < count_ + static_cast<unsigned>(n); ++i) {
    // Every slot holds the largest datagram IPv4 can carry.
    assert((received_[i].msg_hdr.msg_flags & MSG_TRUNC) == 0);
    const std::size_t pages = std::max<std::size_t>(1, (received_[i].msg_len + page_size_ - 1) / page_size_);
    if (pages > slot_pages_[i]) {
      resident_pages_ += pages - slot_pages_[i];
      slot_pages_[i] = pages;
    }
  }
  count_ += static_cast<unsigned>(n);
  return n;
}

void TDatagramBatch::Direct(unsigned first, unsigned count, const sockaddr_in& to) {
  assert(first + count <= count_);
  for (unsigned i = first; i < first + count; ++i) to_[i] = to;
}

TDatagramBatch::TSent TDatagramBatch::Send(int fd, unsigned first, unsigned count) {
  assert(first + count <= count_);
  for (unsigned i = first; i < first + count; ++i) sending_iov_[i] = {SlotData(i), received_[i].msg_len};
  TSent sent;
  // Each call sends something, gives one datagram up or gives segmentation
  // up, so this ends after at most 2 * |count| + 1 calls, and after one when
  // all goes well.
  const unsigned end = first + count;
  unsigned next = first;
  while (next < end) {
    const unsigned messages = Compose(next, end);
    const int n = ::sendmmsg(fd, sending_, messages, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      for (unsigned m = 0; m < static_cast<unsigned>(n); ++m) {
        const msghdr& message = sending_[m].msg_hdr;
        for (std::size_t i = 0; i < message.msg_iovlen; ++i) sent.Bytes += message.msg_iov[i].iov_len;
        sent.Datagrams += static_cast<unsigned>(message.msg_iovlen);
      }
      next = message_first_[n - 1] + static_cast<unsigned>(sending_[n - 1].msg_hdr.msg_iovlen);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;  // the send buffer is full: the rest would wait, so it is lost
    } else if (sending_[0].msg_hdr.msg_iovlen > 1) {
      // The route takes no segmented sends (no checksum offload, a
      // transform, segments beyond its MTU): one by one from now on.
      segmenting_ = false;
    } else {
      ++next;  // the first one left was refused
    }
  }
  return sent;
}

unsigned TDatagramBatch::Compose(unsigned first, unsigned end) {
  unsigned messages = 0;
  for (unsigned i = first; i < end; ++messages) {
    const unsigned datagrams = segmenting_ ? SegmentRun(i, end) : 1;
    msghdr& message = sending_[messages].msg_hdr;
    // sendmmsg() only reads the address.
    message.msg_name = &to_[i];
    message.msg_namelen = sizeof to_[i];
    message.msg_iov = &sending_iov_[i];
    message.msg_iovlen = datagrams;
    if (datagrams > 1) {
      // The kernel cuts the payload into datagrams of the first one's size.
      const auto segment = static_cast<std::uint16_t>(sending_iov_[i].iov_len);
      std::memcpy(CMSG_DATA(reinterpret_cast<cmsghdr*>(control_[messages])), &segment, sizeof segment);
      message.msg_control = control_[messages];
      message.msg_controllen = sizeof control_[messages];
    } else {
      message.msg_control = nullptr;
      message.msg_controllen = 0;
    }
    message_first_[messages] = i;
    i += datagrams;
  }
  return messages;
}

unsigned TDatagramBatch::SegmentRun(unsigned first, unsigned end) const {
  const std::size_t size = sending_iov_[first].iov_len;
  if (size == 0) return 1;  // no segment can be empty
  std::size_t total = size;
  unsigned i = first + 1;
  for (; i < end; ++i) {
    const std::size_t next = sending_iov_[i].iov_len;
    if (to_[i].sin_port != to_[first].sin_port || to_[i].sin_addr.s_addr != to_[first].sin_addr.s_addr ||
        next == 0 || next > size || total + next > kMaxDatagramSize) {
      break;
    }
    total += next;
    if (next < size) return i + 1 - first;  // only the last segment may be shorter
  }
  return i - first;
}

void TDatagramBatch::Trim() {
  ::madvise(slots_, kMappingSize, MADV_DONTNEED);
  resident_pages_ = 0;
  for (std::size_t& pages : slot_pages_) pages = 0;
}

}  // namespace quorvane
