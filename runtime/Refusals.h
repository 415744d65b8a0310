// Refusals: work the server turned down to protect itself (a limit per
// address, the descriptor reserve or a share of it, an operator policy).
// Each is counted by kind and reason, and each kind is logged on standard
// error at most once a second, with how many were refused since the last
// line and from where, so that a flood cannot flood the log:
//   Refused 412 sessions from 127.0.0.2 (SESSIONS_PER_ADDRESS)
// From several addresses, those refused most are named with their counts:
//   Refused 2487 UDP sessions from 127.0.0.2 (1200), 127.0.0.3 (800),
//   127.0.0.4 (480) and 7 from 3 other addresses (CONNECTIONS_PER_ADDRESS)
// A refusal about the target a create named says which one was refused
// most, so that the operator sees what the list or the rule kept out:
//   Refused 3 creates from 127.0.0.2 (DENY: 127.0.0.9:8080)
//   Refused 9 creates from 127.0.0.2 (TARGETS: 127.0.0.9:8080 and 2 other targets)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/FdBudget.h"

namespace quorvane {

// What was refused.
enum class TRefusedWork : std::uint8_t { kSession, kCreate, kConnection, kUdpSession };
inline constexpr std::size_t kRefusedWorkCount = 4;

// Why: the configuration key or the resource that said no.
enum class TRefusalReason : std::uint8_t {
  kSessionsPerAddress,
  kRedirectorsPerAddress,
  kConnectionsPerAddress,
  kDescriptorReserve,
  kTargets,
  kDeny,
  kOwnerOnly,
  kDescriptorShare,  // the kind's share of the descriptors is used up
  kFairShare,        // the share runs low and the address holds its fair part
};
inline constexpr std::size_t kRefusalReasonCount = 9;

// The reasons each kind of work can be refused for, as the callers of
// ReportRefusal() give them: a session in RequestsServer.cpp, a create in
// NatRequests.cpp, a connection in TCPRedirector.cpp and a UDP session in
// UDPRedirector.cpp. Each also takes descriptors, which can be refused for
// any of the three reasons of RefusalReasonOf(). The views show these
// pairs only: a caller that gives another must add it here.
struct TRefusalKind {
  TRefusedWork Work;
  TRefusalReason Reason;
};
inline constexpr TRefusalKind kRefusalKinds[] = {
    {TRefusedWork::kSession, TRefusalReason::kSessionsPerAddress},
    {TRefusedWork::kSession, TRefusalReason::kDescriptorReserve},
    {TRefusedWork::kSession, TRefusalReason::kDescriptorShare},
    {TRefusedWork::kSession, TRefusalReason::kFairShare},
    {TRefusedWork::kCreate, TRefusalReason::kTargets},
    {TRefusedWork::kCreate, TRefusalReason::kDeny},
    {TRefusedWork::kCreate, TRefusalReason::kOwnerOnly},
    {TRefusedWork::kCreate, TRefusalReason::kRedirectorsPerAddress},
    {TRefusedWork::kCreate, TRefusalReason::kDescriptorReserve},
    {TRefusedWork::kCreate, TRefusalReason::kDescriptorShare},
    {TRefusedWork::kCreate, TRefusalReason::kFairShare},
    {TRefusedWork::kConnection, TRefusalReason::kConnectionsPerAddress},
    {TRefusedWork::kConnection, TRefusalReason::kDescriptorReserve},
    {TRefusedWork::kConnection, TRefusalReason::kDescriptorShare},
    {TRefusedWork::kConnection, TRefusalReason::kFairShare},
    {TRefusedWork::kUdpSession, TRefusalReason::kConnectionsPerAddress},
    {TRefusedWork::kUdpSession, TRefusalReason::kDescriptorReserve},
    {TRefusedWork::kUdpSession, TRefusalReason::kDescriptorShare},
    {TRefusedWork::kUdpSession, TRefusalReason::kFairShare},
};

// Addresses a line names with their counts; the rest are summed.
inline constexpr std::size_t kRefusalAddressesNamed = 3;
// Distinct addresses counted one by one per kind between two lines; the
// refusals of further addresses are only summed, and the line then says
// "more than" that many others.
inline constexpr std::size_t kRefusalAddressesTracked = 4096;

// "sessions", "creates", "connections", "UDP sessions".
std::string_view RefusedWorkName(TRefusedWork work);
// "SESSIONS_PER_ADDRESS", ..., "DESCRIPTOR_RESERVE", "TARGETS", "DENY", "OWNER_ONLY", "DESCRIPTOR_SHARE",
// "FAIR_SHARE".
std::string_view RefusalReasonName(TRefusalReason reason);

// The reason for a refused descriptor grant; kNone maps to
// kDescriptorReserve.
TRefusalReason RefusalReasonOf(fd_budget::TFdRefusal refusal);

// What a refused create aimed at.
struct TRefusedTarget {
  std::uint32_t Address = 0;  // network order
  std::uint16_t Port = 0;     // host order
};

// Counts one refusal of |work| from |address| (network order), aimed at
// |target| when there is one, and logs it within the rate limit: at once
// when the kind's last line is a second old, otherwise counted, and logged
// by the log writer as soon as the second is over (without a running
// writer, at the next refusal of the kind or at FlushRefusals()). Any
// thread; never blocks on the log.
void ReportRefusal(TRefusedWork work, TRefusalReason reason, std::uint32_t address,
                   std::optional<TRefusedTarget> target = std::nullopt);

// Refusals since the process started. Any thread.
std::uint64_t RefusalTotal(TRefusedWork work, TRefusalReason reason);

// Logs what is pending of every kind now, whatever the rate limit. For
// tests and tools; the server's log writer does it by itself at stop.
void FlushRefusals();

}  // namespace quorvane
