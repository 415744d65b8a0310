#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fstream>
#include <sstream>

namespace quorvane::bench {

std::uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }
std::uint32_t OtherLoopback() { return htonl(INADDR_LOOPBACK + 1); }

double SecondsSince(TClock::time_point start) {
  return std::chrono::duration<double>(TClock::now() - start).count();
}

void Pause(int ms) { PollRetry(nullptr, 0, ms); }

TUniqueFd ListenLoopback(std::uint16_t* port) {
  TUniqueFd fd = OpenTcpSocket();
  const int on = 1;
  if (!fd || ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      !BindTo(fd.Get(), Loopback(), 0) || ::listen(fd.Get(), SOMAXCONN) != 0) {
    return TUniqueFd();
  }
  *port = LocalPort(fd.Get());
  return fd;
}

TUniqueFd BindUdpLoopback(std::uint16_t* port) {
  TUniqueFd fd = OpenUdpSocket();
  if (!fd || !BindTo(fd.Get(), Loopback(), 0)) return TUniqueFd();
  *port = LocalPort(fd.Get());
  return fd;
}

std::uint16_t LocalPort(int fd) {
  const auto local = LocalAddress(fd);
  return local ? ntohs(local->sin_port) : 0;
}

namespace {

void SetTimeouts(int fd, int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

TUniqueFd ConnectBlocking(int type, std::uint32_t source, std::uint16_t port, int timeout_ms) {
  TUniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  SetTimeouts(fd.Get(), timeout_ms);
  if (type == SOCK_STREAM) SetNoDelay(fd.Get());
  // Bound explicitly, so that no other local address is ever chosen; a TCP
  // socket from 127.0.0.1 leaves the port to connect(), which may reuse
  // ports in TIME_WAIT.
  if ((type == SOCK_DGRAM || source != Loopback()) && !BindTo(fd.Get(), source, 0)) return TUniqueFd();
  const sockaddr_in to = MakeSockAddr(Loopback(), port);
  int rc;
  do {
    rc = ::connect(fd.Get(), reinterpret_cast<const sockaddr*>(&to), sizeof to);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return TUniqueFd();
  return fd;
}

}  // namespace

TUniqueFd ConnectLoopback(std::uint16_t port, int timeout_ms) {
  return ConnectBlocking(SOCK_STREAM, Loopback(), port, timeout_ms);
}

TUniqueFd ConnectLoopbackFrom(std::uint32_t source, std::uint16_t port, int timeout_ms) {
  return ConnectBlocking(SOCK_STREAM, source, port, timeout_ms);
}

TUniqueFd ConnectUdpLoopback(std::uint16_t port, int timeout_ms) {
  return ConnectBlocking(SOCK_DGRAM, Loopback(), port, timeout_ms);
}

TUniqueFd ConnectUdpLoopbackFrom(std::uint32_t source, std::uint16_t port, int timeout_ms) {
  return ConnectBlocking(SOCK_DGRAM, source, port, timeout_ms);
}

bool LocalPortsLeft() {
  TUniqueFd fd = OpenTcpSocket();
  return fd && BindTo(fd.Get(), Loopback(), 0);
}

bool SendAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = SendSome(fd, bytes, size);
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool RecvExact(int fd, void* data, std::size_t size) {
  auto* bytes = static_cast<std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = RecvSome(fd, bytes, size);
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool StillOpen(int fd) {
  std::uint8_t byte = 0;
  const ssize_t n = RecvSome(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

double Percentile(std::vector<double>& samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

std::string MachineLine() {
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  std::string model = "unknown CPU";
  std::ifstream cpuinfo("/proc/cpuinfo");
  for (std::string line; std::getline(cpuinfo, line);) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      if (colon != std::string::npos) model = line.substr(line.find_first_not_of(" \t", colon + 1));
      break;
    }
  }
  utsname un{};
  const std::string kernel = ::uname(&un) == 0 ? std::string(un.sysname) + " " + un.release : "unknown";
  return "nproc " + std::to_string(cpus) + ", " + model + ", " + kernel;
}

std::string LoadAverages() {
  std::ifstream loadavg("/proc/loadavg");
  std::string one, five, fifteen;
  if (!(loadavg >> one >> five >> fifteen)) return "unknown";
  return one + " " + five + " " + fifteen;
}

std::vector<int> AllowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

bool PinProcess(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

long RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<long>(limit.rlim_cur);
}

// Udp lines of /proc/net/snmp: a line of names, then one of values.
std::int64_t UdpReceiveBufferErrors() {
  std::ifstream snmp("/proc/net/snmp");
  std::vector<std::string> names;
  for (std::string line; std::getline(snmp, line);) {
    if (line.rfind("Udp:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    if (names.empty()) {
      for (std::string name; fields >> name;) names.push_back(name);
      continue;
    }
    for (const std::string& name : names) {
      std::int64_t value = -1;
      if (!(fields >> value)) break;
      if (name == "RcvbufErrors") return value;
    }
    break;
  }
  return -1;
}

}  // namespace quorvane::bench
