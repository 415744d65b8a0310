#include "runtime/UniqueFd.h"

#include <unistd.h>

#include "runtime/FdBudget.h"

namespace quorvane {

TUniqueFd& TUniqueFd::operator=(TUniqueFd&& other) noexcept {
  if (this != &other) {
    Reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

int TUniqueFd::Release() {
  if (fd_ >= 0) fd_budget::Closed();
  return std::exchange(fd_, -1);
}

void TUniqueFd::Reset(int fd) {
  // close() is not retried on EINTR: on Linux the descriptor is gone anyway,
  // and a retry could close a number another thread has just been given.
  if (fd_ >= 0) {
    ::close(fd_);
    fd_budget::Closed();
  }
  fd_ = fd;
  if (fd_ >= 0) fd_budget::Opened();
}

}  // namespace quorvane
