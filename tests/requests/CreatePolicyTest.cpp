// The operator's policy on creates, queries and deletes as rules alone,
// without a server: every combination of [POLICY] and who holds the key.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "requests/CreatePolicy.h"

namespace quorvane {
namespace {

std::uint32_t Addr(const char* dotted) { return ::inet_addr(dotted); }

TEST(CreatePolicy, TargetRulesDecideFirstThenWhoHoldsTheKey) {
  constexpr TCreateVerdict kCreate{TCreateAction::kCreate};
  constexpr TCreateVerdict kReuse{TCreateAction::kReuse};
  const auto refuse = [](TRefusalReason reason) { return TCreateVerdict{TCreateAction::kRefuse, reason}; };
  constexpr auto kPeer = TTargetPolicy::kPeer;
  constexpr auto kAny = TTargetPolicy::kAny;
  constexpr auto kNobody = TKeyHolder::kNobody;
  constexpr auto kThis = TKeyHolder::kThisSession;
  constexpr auto kOther = TKeyHolder::kOtherSession;
  struct TRow {
    TTargetPolicy Targets;
    const char* Deny;  // a /16 denied, or ""
    bool OwnerOnly;
    const char* Target;
    TKeyHolder Holder;
    TCreateVerdict Verdict;
    bool Seen;  // by a query or delete of the session
  };
  const TRow rows[] = {
      // By default anyone's redirector is named, and only a free key is built.
      {kAny, "", false, "192.0.2.1", kNobody, kCreate, false},
      {kAny, "", false, "192.0.2.1", kThis, kReuse, true},
      {kAny, "", false, "192.0.2.1", kOther, kReuse, true},
      // OWNER_ONLY hides another session's redirector and keeps its key.
      {kAny, "", true, "192.0.2.1", kNobody, kCreate, false},
      {kAny, "", true, "192.0.2.1", kThis, kReuse, true},
      {kAny, "", true, "192.0.2.1", kOther, refuse(TRefusalReason::kOwnerOnly), false},
      // TARGETS=peer: the session's own address only, whoever holds the key.
      {kPeer, "", false, "10.0.0.1", kNobody, kCreate, false},
      {kPeer, "", false, "10.0.0.2", kThis, refuse(TRefusalReason::kTargets), true},
      // DENY by address and mask, the peer's own address included; TARGETS
      // is checked before it.
      {kAny, "192.168.0.0", false, "192.168.7.7", kThis, refuse(TRefusalReason::kDeny), true},
      {kAny, "192.168.0.0", false, "192.169.0.1", kNobody, kCreate, false},
      {kPeer, "10.0.0.0", false, "10.0.0.1", kNobody, refuse(TRefusalReason::kDeny), false},
      {kPeer, "10.0.0.0", true, "10.0.0.9", kOther, refuse(TRefusalReason::kTargets), false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(testing::Message() << "targets " << static_cast<int>(row.Targets) << ", deny '" << row.Deny
                                    << "', owner-only " << row.OwnerOnly << ", target " << row.Target
                                    << ", holder " << static_cast<int>(row.Holder));
    TPolicy policy;
    policy.Targets = row.Targets;
    policy.OwnerOnly = row.OwnerOnly;
    if (*row.Deny != '\0') {
      policy.DenyAddrs = {Addr(row.Deny)};
      policy.DenyMasks = {Addr("255.255.0.0")};
    }
    // As a create is judged: its target without the registry, then under
    // the registry's lock who holds its key.
    const auto refused = CheckTarget(policy, Addr("10.0.0.1"), Addr(row.Target));
    EXPECT_EQ(refused ? refuse(*refused) : CheckHolder(policy, row.Holder), row.Verdict);
    EXPECT_EQ(SeesEntry(policy, row.Holder), row.Seen);
  }
}

}  // namespace
}  // namespace quorvane
