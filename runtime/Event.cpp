#include "runtime/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "runtime/Net.h"

namespace quorvane {

TEvent::TEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void TEvent::Set() const {
  const std::uint64_t one = 1;
  // A full counter (EAGAIN) is still readable, which is all Set promises.
  while (::write(fd_.Get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void TEvent::Reset() const {
  std::uint64_t value = 0;
  while (::read(fd_.Get(), &value, sizeof value) < 0 && errno == EINTR) {
  }
}

bool TEvent::IsSet() const {
  pollfd p{fd_.Get(), POLLIN, 0};
  return PollRetry(&p, 1, 0) > 0;
}

}  // namespace quorvane
