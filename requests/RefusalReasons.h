// The server's kinds of refusal: what it turns down (a session, a create, a
// TCP connection, a UDP session) and why, named as the operator knows each
// limit, by its KELVARD.ini key or by the descriptor budget's part
// (runtime/FdBudget.h) that said no. Each is counted, and logged within the
// rate limit of runtime/Refusals.h:
//   Refused 412 sessions from 127.0.0.2 (SESSIONS_PER_ADDRESS)
//   Refused 3 creates from 127.0.0.2 (DENY: 127.0.0.9:8080)
//   Refused 9 creates from 127.0.0.2 (TARGETS: 127.0.0.9:8080 and 2 other targets)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/FdBudget.h"
#include "runtime/Refusals.h"

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

// "sessions", "creates", "connections", "UDP sessions".
std::string_view RefusedWorkName(TRefusedWork work);
// "SESSIONS_PER_ADDRESS", ..., "DESCRIPTOR_RESERVE", "TARGETS", "DENY", "OWNER_ONLY", "DESCRIPTOR_SHARE",
// "FAIR_SHARE".
std::string_view RefusalReasonName(TRefusalReason reason);

// The reason for a refused descriptor grant; kNone maps to
// kDescriptorReserve.
TRefusalReason RefusalReasonOf(fd_budget::TFdRefusal refusal);

// Counts one refusal of |work| from |address| (network order), aimed at
// |target| when there is one, and logs it within the rate limit
// (TRefusalLog::Report). Any thread; never blocks on the log.
void ReportRefusal(TRefusedWork work, TRefusalReason reason, std::uint32_t address,
                   std::optional<TRefusedTarget> target = std::nullopt);

// Refusals since the process started. Any thread.
std::uint64_t RefusalTotal(TRefusedWork work, TRefusalReason reason);

}  // namespace quorvane
