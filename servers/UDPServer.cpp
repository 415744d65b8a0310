#include "servers/UDPServer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "servers/AddressHelpers.h"

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
    sending_[i].msg_hdr.msg_iov = &sending_iov_[i];
    sending_[i].msg_hdr.msg_iovlen = 1;
  }
}

TDatagramBatch::~TDatagramBatch() {
  if (slots_ != nullptr) ::munmap(slots_, kMappingSize);
}

int TDatagramBatch::Receive(int fd) {
  count_ = 0;
  for (unsigned i = 0; i < kDatagramBatch; ++i) {
    // The kernel shortens both for each datagram it stores.
    received_[i].msg_hdr.msg_name = &from_[i];
    received_[i].msg_hdr.msg_namelen = sizeof from_[i];
  }
  int n;
  do {
    n = ::recvmmsg(fd, received_, kDatagramBatch, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  count_ = static_cast<unsigned>(n);
  for (unsigned i = 0; i < count_; ++i) {
    // Every slot holds the largest datagram IPv4 can carry.
    assert((received_[i].msg_hdr.msg_flags & MSG_TRUNC) == 0);
    const std::size_t pages = std::max<std::size_t>(1, (received_[i].msg_len + page_size_ - 1) / page_size_);
    if (pages > slot_pages_[i]) {
      resident_pages_ += pages - slot_pages_[i];
      slot_pages_[i] = pages;
    }
  }
  return n;
}

TDatagramBatch::TSent TDatagramBatch::Send(int fd, unsigned first, unsigned count, const sockaddr_in& to) {
  assert(first + count <= count_);
  for (unsigned i = 0; i < count; ++i) {
    sending_iov_[i] = {SlotData(first + i), received_[first + i].msg_len};
    // sendmmsg() only reads the address.
    sending_[i].msg_hdr.msg_name = const_cast<sockaddr_in*>(&to);
    sending_[i].msg_hdr.msg_namelen = sizeof to;
  }
  TSent sent;
  // Each call either sends something or gives one datagram up, so this ends
  // after at most 2 * |count| calls, and after one when all goes well.
  unsigned done = 0;
  while (done < count) {
    const int n = ::sendmmsg(fd, sending_ + done, count - done, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      for (unsigned i = done; i < done + static_cast<unsigned>(n); ++i) sent.bytes += sending_iov_[i].iov_len;
      sent.datagrams += static_cast<unsigned>(n);
      done += static_cast<unsigned>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;  // the send buffer is full: the rest would wait, so it is lost
    } else {
      ++done;  // the first one left was refused
    }
  }
  return sent;
}

void TDatagramBatch::Trim() {
  ::madvise(slots_, kMappingSize, MADV_DONTNEED);
  resident_pages_ = 0;
  for (std::size_t& pages : slot_pages_) pages = 0;
}

TUDPServer::TUDPServer(std::string host, std::uint16_t port, std::size_t stack_size)
    : TThread(stack_size), host_(std::move(host)), port_(port) {
  if (!batch_.valid()) {
    setup_error_ = ENOMEM;
    return;
  }
  // No SO_REUSEADDR: on a UDP socket it would let two servers share a port
  // and split its datagrams between them.
  const std::uint32_t addr = host_.empty() ? INADDR_ANY : ResolveHost(host_);
  if (addr == kAddrNone) {
    setup_error_ = EADDRNOTAVAIL;
    return;
  }
  UniqueFd fd = OpenUdpSocket();
  if (!fd || !BindTo(fd.get(), addr, port_)) {
    setup_error_ = errno;
    return;
  }
  socket_ = std::move(fd);
}

TUDPServer::~TUDPServer() = default;

void TUDPServer::Execute() {
  if (!socket_) return;
  struct CloseOnExit {
    TUDPServer& server;
    ~CloseOnExit() { server.CloseSocket(); }
  } close_on_exit{*this};

  while (!Terminated()) {
    const int received = batch_.Receive(socket_.get());
    if (received < 0) return;
    for (unsigned i = 0; i < batch_.Count(); ++i) ProcessDatagram(batch_.From(i), batch_.Data(i));
    if (received == static_cast<int>(kDatagramBatch)) continue;  // more may be queued
    if (received == 0) Idle();
    if (Terminated()) return;
    pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {WakeFd(), POLLIN, 0}};
    if (PollRetry(fds, 2, -1) < 0) return;
  }
}

void TUDPServer::ProcessDatagram(const sockaddr_in&, std::span<const std::uint8_t>) {}

void TUDPServer::Idle() {}

}  // namespace quorvane
