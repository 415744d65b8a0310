#include "runtime/FdBudget.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "TestSupport.h"

namespace quorvane::test {
namespace {

using fd_budget::TFdGrant;
using fd_budget::TFdKind;
using fd_budget::TFdRefusal;

// Grants |kind| one unit at a time for |address| until one is refused;
// returns why.
TFdRefusal TakeUntilRefused(TFdKind kind, std::uint32_t address, std::vector<TFdGrant>& held) {
  TFdRefusal why = TFdRefusal::kNone;
  while (TFdGrant grant = fd_budget::TryAcquire(kind, address, 1, &why)) held.push_back(std::move(grant));
  return why;
}

TEST(FdBudgetTest, EachKindDrawsOnItsOwnShareAndAdmitsFairlyAsItRunsLow) {
  const TDescriptorHeadroom headroom(400);
  ASSERT_TRUE(headroom.Applied());
  fd_budget::SetShares({{10, 10, 10}});
  const long share = fd_budget::Share(TFdKind::kSession);
  ASSERT_GE(share, 20);
  const long mark = share * fd_budget::kPressurePercent / 100;
  constexpr std::uint32_t kFlooder = 1, kNewcomer = 2;

  // One address alone gets the whole pressure mark, then its fair part is
  // all it holds.
  std::vector<TFdGrant> held;
  EXPECT_EQ(TakeUntilRefused(TFdKind::kSession, kFlooder, held), TFdRefusal::kFairShare);
  EXPECT_EQ(static_cast<long>(held.size()), mark);
  // An address that holds nothing is still let in while the flooder stays
  // out, and another kind is untouched by this one's flood.
  EXPECT_TRUE(held.emplace_back(fd_budget::TryAcquire(TFdKind::kSession, kNewcomer, 1)));
  EXPECT_FALSE(fd_budget::TryAcquire(TFdKind::kSession, kFlooder, 1));
  EXPECT_TRUE(fd_budget::TryAcquire(TFdKind::kRelay, kFlooder, 5));
  // Many addresses one unit each can take the share, and no more.
  std::uint32_t next = 100;
  TFdRefusal why = TFdRefusal::kNone;
  while (TFdGrant grant = fd_budget::TryAcquire(TFdKind::kSession, next++, 1, &why)) {
    held.push_back(std::move(grant));
  }
  EXPECT_EQ(why, TFdRefusal::kShare);
  EXPECT_EQ(fd_budget::Held(TFdKind::kSession), share);
  EXPECT_EQ(fd_budget::Held(TFdKind::kRedirector), 0);

  // Every unit comes back with its grant, moved or not.
  TFdGrant moved = std::move(held.back());
  held.pop_back();
  EXPECT_EQ(fd_budget::Held(TFdKind::kSession), share);
  held.clear();
  EXPECT_EQ(fd_budget::Held(TFdKind::kSession), 1);
  moved.Release();
  EXPECT_EQ(fd_budget::Held(TFdKind::kSession), 0);
  EXPECT_EQ(fd_budget::HeldBy(TFdKind::kSession, kFlooder), 0);

  // Without a share of its own, a kind is bounded by the reserve alone.
  fd_budget::SetShares({{0, 10, 10}});
  for (long i = 0; i <= share; ++i) {
    ASSERT_TRUE(held.emplace_back(fd_budget::TryAcquire(TFdKind::kSession, kFlooder, 1))) << i;
  }
  held.clear();
  fd_budget::SetShares({});
}

}  // namespace
}  // namespace quorvane::test
