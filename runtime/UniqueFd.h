#pragma once

#include <utility>

namespace quorvane {

// Move-only owner of one file descriptor; closes it on destruction. Every
// owned descriptor counts against the process's descriptor budget
// (runtime/FdBudget.h).
class TUniqueFd {
 public:
  TUniqueFd() = default;
  explicit TUniqueFd(int fd) { Reset(fd); }
  TUniqueFd(const TUniqueFd&) = delete;
  TUniqueFd& operator=(const TUniqueFd&) = delete;
  TUniqueFd(TUniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TUniqueFd& operator=(TUniqueFd&& other) noexcept;
  ~TUniqueFd() { Reset(); }

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  // Gives up ownership without closing; the caller closes it.
  int Release();
  // Closes the held descriptor (if any) and takes ownership of |fd|.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace quorvane
