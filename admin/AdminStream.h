#pragma once

#include <httplib.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorvane::admin {

// One accepted admin connection as an httplib::Stream: reads at most
// kAdminMaxRequestBytes in all, and every wait ends at the deadline or when
// |wake_fd| becomes readable (the serving thread is being stopped), after
// which reads and writes fail. Used by one thread.
class TAdminStream final : public httplib::Stream {
 public:
  // |fd|: the non-blocking connected socket (not owned). |deadline_ms| on
  // the steady clock (SteadyMs()).
  TAdminStream(int fd, const sockaddr_in& peer, std::int64_t deadline_ms, int wake_fd);

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

 private:
  bool Wait(short events) const;

  const int fd_;
  const sockaddr_in peer_;
  const std::int64_t deadline_ms_;
  const int wake_fd_;
  char buffer_[4096];
  std::size_t begin_ = 0;  // unread bytes of buffer_ are [begin_, end_)
  std::size_t end_ = 0;
  std::size_t received_ = 0;  // in all
};

}  // namespace quorvane::admin
