// Small helpers shared by the benchmark: loopback sockets with bounded
// waits, a clock, percentiles and the line that names the machine. Every
// socket here binds or connects to 127.0.0.1 only.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Net.h"

namespace quorvane::bench {

using TClock = std::chrono::steady_clock;

std::uint32_t Loopback();       // 127.0.0.1, network order
std::uint32_t OtherLoopback();  // 127.0.0.2, network order: the abuser's address

double SecondsSince(TClock::time_point start);

// Waits |ms| milliseconds; used only to hold a measuring window open.
void Pause(int ms);

// A non-blocking listening TCP socket on 127.0.0.1 with a system-chosen
// port, written to |*port|. Invalid on failure.
TUniqueFd ListenLoopback(std::uint16_t* port);
// A non-blocking UDP socket bound to 127.0.0.1 on a system-chosen port.
TUniqueFd BindUdpLoopback(std::uint16_t* port);
std::uint16_t LocalPort(int fd);

// A blocking TCP connection to 127.0.0.1:|port| with TCP_NODELAY, whose
// connect, sends and receives give up after |timeout_ms|. Invalid on failure.
TUniqueFd ConnectLoopback(std::uint16_t port, int timeout_ms);
// The same from the local address |source| (network order, in 127.0.0.0/8).
TUniqueFd ConnectLoopbackFrom(std::uint32_t source, std::uint16_t port, int timeout_ms);
// A blocking UDP socket connected to 127.0.0.1:|port| whose receives give up
// after |timeout_ms|.
TUniqueFd ConnectUdpLoopback(std::uint16_t port, int timeout_ms);
// The same from the local address |source| (network order, in 127.0.0.0/8).
TUniqueFd ConnectUdpLoopbackFrom(std::uint32_t source, std::uint16_t port, int timeout_ms);

// True when a TCP socket can still be bound to 127.0.0.1 on a system-chosen
// port; false once TIME_WAIT sockets hold every local port.
bool LocalPortsLeft();

// Blocking transfers on sockets from ConnectLoopback: false on error, close
// or time-out.
bool SendAll(int fd, const void* data, std::size_t size);
bool RecvExact(int fd, void* data, std::size_t size);
// True while a connected socket has been neither closed by its peer nor
// failed; reads nothing.
bool StillOpen(int fd);

// The |fraction| percentile (0..1, nearest rank) of |samples|, which it
// sorts. 0 when empty.
double Percentile(std::vector<double>& samples, double fraction);

// "nproc N, <CPU model>, Linux <release>", N the CPUs online.
std::string MachineLine();

// The 1-, 5- and 15-minute load averages from /proc/loadavg: how busy the
// machine was apart from this run.
std::string LoadAverages();

// Datagrams the kernel dropped on full UDP receive buffers, machine-wide
// (RcvbufErrors of /proc/net/snmp); -1 when it cannot be read.
std::int64_t UdpReceiveBufferErrors();

// The CPUs this process may run on, in order.
std::vector<int> AllowedCpus();
// Restricts this process to |cpu|: the calling thread, and every thread and
// child process made from it later. Call before any other thread exists.
bool PinProcess(int cpu);

// Raises the open-descriptor limit to its hard limit; returns the new soft
// limit.
long RaiseDescriptorLimit();

}  // namespace quorvane::bench
