// Helpers shared by the tests: loopback sockets, deadline waits, echo peers
// and a log capture. Everything binds 127.0.0.1 on system-chosen ports.
#pragma once

#include <netinet/in.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Net.h"

namespace quorvane::test {

using namespace std::chrono_literals;

std::uint32_t Loopback();  // 127.0.0.1, network order

// Waits until |condition| holds or |limit| passes; returns the last result.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = 5000ms);

// A listening TCP socket on 127.0.0.1 with a system-chosen port.
TUniqueFd ListenLoopback(std::uint16_t* port);
// A bound UDP socket on 127.0.0.1 with a system-chosen port.
TUniqueFd BindUdpLoopback(std::uint16_t* port);
std::uint16_t LocalPort(int fd);
// A blocking TCP connection to 127.0.0.1:|port|; invalid on failure.
TUniqueFd ConnectLoopback(std::uint16_t port);
// A blocking TCP connection to 127.0.0.1:|port| from |local_addr| (network
// order, e.g. 127.0.0.2 for a second client address; 0 leaves the choice to
// the system); invalid on failure.
TUniqueFd ConnectFrom(std::uint32_t local_addr, std::uint16_t port);
// Accepts one connection within |limit|.
TUniqueFd AcceptWithin(int listener, std::chrono::milliseconds limit = 5000ms);

// Sends everything (blocking until done); false on error.
bool SendAll(int fd, const void* data, std::size_t size);
bool SendAll(int fd, const std::string& data);
// Receives exactly |size| bytes within |limit|; nullopt on error, close or
// time-out.
std::optional<std::string> RecvExact(int fd, std::size_t size, std::chrono::milliseconds limit = 5000ms);
// True when the peer closes (recv returns 0 or an error) within |limit| with
// no data arriving first.
bool ClosedWithoutData(int fd, std::chrono::milliseconds limit = 5000ms);
// True when nothing is readable for |quiet| (and the connection is open).
bool NothingArrives(int fd, std::chrono::milliseconds quiet = 200ms);

// A pipe, closed on exec, with pipe2's |flags| besides; both ends invalid
// when it cannot be made.
struct TPipe {
  explicit TPipe(int flags = 0);
  TUniqueFd ReadEnd;
  TUniqueFd WriteEnd;
};

// One UDP datagram within |limit|.
std::optional<std::string> RecvDatagram(int fd, std::chrono::milliseconds limit = 5000ms,
                                        sockaddr_in* from = nullptr);
bool SendDatagram(int fd, const std::string& data, std::uint16_t port);

// Descriptor numbers open now in this process, and how many.
std::set<int> OpenFds();
inline int OpenFdCount() { return static_cast<int>(OpenFds().size()); }
// Descriptors open now that were not in |before|, each with what it refers
// to ("7 -> socket:[1234]"); empty when none. Unlike comparing counts, a
// descriptor some other part of the process had open only for a moment
// when |before| was taken cannot hide a leak or report one.
std::string FdsOpenedSince(const std::set<int>& before);
// A descriptor of this process: the TCP socket whose local port is
// |local_port| and whose peer's port is |peer_port|; -1 when there is none.
int FindTcpSocket(std::uint16_t local_port, std::uint16_t peer_port);
// Lowers this process's descriptor limit to what is open now, plus the
// budget's minimum reserve, plus |spare|, and re-reads the budget; restores
// both on destruction, whatever the test's outcome.
class TDescriptorHeadroom {
 public:
  explicit TDescriptorHeadroom(long spare);
  ~TDescriptorHeadroom();
  TDescriptorHeadroom(const TDescriptorHeadroom&) = delete;
  TDescriptorHeadroom& operator=(const TDescriptorHeadroom&) = delete;
  // Whether the limit was read, and whether the lower one took effect.
  bool Saved() const { return saved_; }
  bool Applied() const { return applied_; }

 private:
  rlimit original_{};
  bool saved_ = false;
  bool applied_ = false;
};

// Resident memory of this process.
long ResidentKiB();
// Threads of this process.
int ThreadCount();

// Bytes that differ from position to position, so that loss or reordering
// shows; |offset| continues an earlier pattern.
std::string Pattern(std::size_t offset, std::size_t size);
// True when the peer's FIN arrives within |limit| with no data first: a
// clean end of file, not a reset.
bool ReadsEndOfFile(int fd, std::chrono::milliseconds limit = 5000ms);

// TCP states as /proc/net/tcp shows them.
inline constexpr unsigned kTcpSynSent = 2;    // waiting for the SYN-ACK
inline constexpr unsigned kTcpCloseWait = 8;  // the peer has sent its FIN
// Connections of this host to |port| in TCP state |state|, only those with
// nothing left unread when |drained|.
int ConnectionsTo(std::uint16_t port, unsigned state, bool drained = false);
// What the kernel holds for the TCP connection from |local_port| to
// |remote_port| (both on this host): bytes written and not yet acknowledged
// (tx), and bytes received and not yet read (rx).
struct TTcpQueues {
  long Tx = 0;
  long Rx = 0;
};
std::optional<TTcpQueues> TcpQueues(std::uint16_t local_port, std::uint16_t remote_port);

// A TCP echo server on 127.0.0.1 served by one thread per connection.
class TcpEchoServer {
 public:
  TcpEchoServer();
  ~TcpEchoServer();
  std::uint16_t Port() const { return port_; }

 private:
  TUniqueFd listener_;
  std::uint16_t port_ = 0;
  TEvent stop_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::thread> workers_;  // guarded by mu_
};

// A UDP echo server on 127.0.0.1: sends every datagram back to its sender.
class UdpEchoServer {
 public:
  UdpEchoServer();
  ~UdpEchoServer();
  std::uint16_t Port() const { return port_; }
  // Distinct source ports seen so far.
  std::vector<std::uint16_t> Sources();

 private:
  TUniqueFd socket_;
  std::uint16_t port_ = 0;
  TEvent stop_;
  std::mutex mu_;
  std::vector<std::uint16_t> sources_;  // guarded by mu_
  std::thread thread_;
};

// Captures log lines while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::vector<std::string> Lines();
  bool Contains(const std::string& line) { return Count(line) > 0; }
  int Count(const std::string& line);
  int CountPrefix(const std::string& prefix);  // lines that start with |prefix|
  // Waits until |line| has been logged.
  bool WaitFor(const std::string& line, std::chrono::milliseconds limit = 5000ms);

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;  // guarded by mu_
};

}  // namespace quorvane::test
