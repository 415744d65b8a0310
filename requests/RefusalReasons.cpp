#include "requests/RefusalReasons.h"

#include <vector>

namespace quorvane {
namespace {

std::size_t Index(TRefusedWork work, TRefusalReason reason) {
  return static_cast<std::size_t>(work) * kRefusalReasonCount + static_cast<std::size_t>(reason);
}

// Every pair of work and reason, indexed by Index(), so that a pair no view
// lists is still counted and logged.
std::vector<TRefusalText> AllKinds() {
  std::vector<TRefusalText> kinds;
  for (std::size_t work = 0; work < kRefusedWorkCount; ++work) {
    for (std::size_t reason = 0; reason < kRefusalReasonCount; ++reason) {
      kinds.push_back({RefusedWorkName(static_cast<TRefusedWork>(work)),
                       RefusalReasonName(static_cast<TRefusalReason>(reason))});
    }
  }
  return kinds;
}

TRefusalLog& Log() {
  static TRefusalLog log(AllKinds());
  return log;
}

}  // namespace

std::string_view RefusedWorkName(TRefusedWork work) {
  switch (work) {
    case TRefusedWork::kSession:
      return "sessions";
    case TRefusedWork::kCreate:
      return "creates";
    case TRefusedWork::kConnection:
      return "connections";
    case TRefusedWork::kUdpSession:
      return "UDP sessions";
  }
  return "requests";
}

std::string_view RefusalReasonName(TRefusalReason reason) {
  switch (reason) {
    case TRefusalReason::kSessionsPerAddress:
      return "SESSIONS_PER_ADDRESS";
    case TRefusalReason::kRedirectorsPerAddress:
      return "REDIRECTORS_PER_ADDRESS";
    case TRefusalReason::kConnectionsPerAddress:
      return "CONNECTIONS_PER_ADDRESS";
    case TRefusalReason::kDescriptorReserve:
      return "DESCRIPTOR_RESERVE";
    case TRefusalReason::kTargets:
      return "TARGETS";
    case TRefusalReason::kDeny:
      return "DENY";
    case TRefusalReason::kOwnerOnly:
      return "OWNER_ONLY";
    case TRefusalReason::kDescriptorShare:
      return "DESCRIPTOR_SHARE";
    case TRefusalReason::kFairShare:
      return "FAIR_SHARE";
  }
  return "UNKNOWN";
}

TRefusalReason RefusalReasonOf(fd_budget::TFdRefusal refusal) {
  switch (refusal) {
    case fd_budget::TFdRefusal::kShare:
      return TRefusalReason::kDescriptorShare;
    case fd_budget::TFdRefusal::kFairShare:
      return TRefusalReason::kFairShare;
    case fd_budget::TFdRefusal::kNone:
    case fd_budget::TFdRefusal::kReserve:
      break;
  }
  return TRefusalReason::kDescriptorReserve;
}

void ReportRefusal(TRefusedWork work, TRefusalReason reason, std::uint32_t address,
                   std::optional<TRefusedTarget> target) {
  Log().Report(Index(work, reason), address, target);
}

std::uint64_t RefusalTotal(TRefusedWork work, TRefusalReason reason) {
  return Log().Total(Index(work, reason));
}

}  // namespace quorvane
