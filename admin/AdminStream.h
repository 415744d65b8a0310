#pragma once

#include <httplib.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvane::admin {

// How many bytes the whole request takes whose first bytes are |data|: its
// head up to the blank line and as much body as its Content-Length
// announces; 0 while the head has not ended. The first |searched| bytes are
// known to hold no end of the head, so that a head arriving a byte at a
// time is still searched once. A head whose body could never fit in
// kAdminMaxRequestBytes, or whose Content-Length is no number, takes its
// head alone: the parser refuses it without the body.
std::size_t RequestSize(std::string_view data, std::size_t searched);

// One accepted admin connection as an httplib::Stream, once the accept loop
// has read its request: reads replay those bytes and nothing more, so the
// parser never waits for a client; writes wait until the deadline or until
// |wake_fd| becomes readable (the serving thread is being stopped), after
// which they fail. Used by one thread.
class TAdminStream final : public httplib::Stream {
 public:
  // |fd|: the non-blocking connected socket (not owned). |request|: what
  // the loop read of it, kept by the caller while the stream is in use.
  // |deadline_ms| on the steady clock (SteadyMs()).
  TAdminStream(int fd, const sockaddr_in& peer, std::string_view request, std::int64_t deadline_ms,
               int wake_fd);

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
  std::string_view unread_;  // of the request
  const std::int64_t deadline_ms_;
  const int wake_fd_;
};

}  // namespace quorvane::admin
