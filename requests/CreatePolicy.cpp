#include "requests/CreatePolicy.h"

#include <cstddef>

namespace quorvane {

std::optional<TRefusalReason> CheckTarget(const TPolicy& policy, std::uint32_t peer, std::uint32_t target) {
  if (policy.Targets == TTargetPolicy::kPeer && target != peer) return TRefusalReason::kTargets;
  for (std::size_t i = 0; i < policy.DenyAddrs.size(); ++i) {
    if (AddressMatches(target, policy.DenyAddrs[i], policy.DenyMasks[i])) return TRefusalReason::kDeny;
  }
  return std::nullopt;
}

TCreateVerdict CheckHolder(const TPolicy& policy, TKeyHolder holder) {
  if (holder == TKeyHolder::kNobody) return {TCreateAction::kCreate};
  // A key another session holds stays its own under OWNER_ONLY: building a
  // second redirector for it would break the one-redirector-per-key rule.
  if (!SeesEntry(policy, holder)) return {TCreateAction::kRefuse, TRefusalReason::kOwnerOnly};
  return {TCreateAction::kReuse};
}

bool SeesEntry(const TPolicy& policy, TKeyHolder holder) {
  return holder != TKeyHolder::kNobody && !(policy.OwnerOnly && holder == TKeyHolder::kOtherSession);
}

}  // namespace quorvane
