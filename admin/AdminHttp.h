// The HTTP side of the admin endpoint, private to admin/: one connection
// as cpp-httplib's Stream, and the router that parses one request from it,
// dispatches it to a handler and writes the answer.
//
// Why not the library's own server loop: in the version Debian ships
// (0.11.4) it polls every 10 ms while a connection waits for its next
// request, reads a header line of any length into memory, and its accepted
// sockets stay out of the server's descriptor budget. So the connections
// are ours (TAdminServer accepts them, a bounded stream reads them) and the
// library parses, routes and answers, through Server::process_request: a
// protected member whose signature is that of 0.11.x (later versions pass
// the peer's address in as well), so a new library version may need a
// change here.
#pragma once

#include <httplib.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "runtime/Net.h"

namespace quorvane::admin {

// One accepted admin connection as an httplib::Stream: reads at most
// kAdminMaxRequestBytes in all, and every wait ends at the deadline or when
// |wake_fd| becomes readable (the serving thread is being stopped), after
// which reads and writes fail. Used by one thread.
class TAdminStream final : public httplib::Stream {
 public:
  // |fd|: the non-blocking connected socket (not owned). |deadline_ms| on
  // the steady clock (SteadyNowMs()).
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

// The endpoint's routes on cpp-httplib's parser and router. Handlers are
// registered before the first ServeOne() and not changed afterwards; then
// any number of threads may serve at once.
class TAdminRouter final : public httplib::Server {
 public:
  // Reads one request from |stream|, handles it and writes the answer with
  // "Connection: close". The caller closes the connection afterwards.
  void ServeOne(httplib::Stream& stream);
};

// Steady-clock milliseconds, for deadlines.
std::int64_t SteadyNowMs();

}  // namespace quorvane::admin
