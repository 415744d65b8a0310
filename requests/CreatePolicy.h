// The operator's policy ([POLICY]) on NAT requests, as rules alone: no
// registry, lock or socket, so that every case can be checked without a
// network.
//
// A create is judged in two steps. Its target first, which needs nothing
// of the registry, so that a create the policy keeps out never takes the
// registry's lock nor reaps what it holds; then, under that lock, whose
// redirector (if any) the registry holds for its key, which decides between
// building one, naming the one there and refusing.
#pragma once

#include <cstdint>
#include <optional>

#include "requests/RefusalReasons.h"
#include "requests/Settings.h"

namespace quorvane {

// Who holds the redirector a request names by its key, seen from the
// session that asks.
enum class TKeyHolder : std::uint8_t { kNobody, kThisSession, kOtherSession };

enum class TCreateAction : std::uint8_t { kCreate, kReuse, kRefuse };

struct TCreateVerdict {
  TCreateAction Action = TCreateAction::kCreate;
  TRefusalReason Reason{};  // with kRefuse only
  bool operator==(const TCreateVerdict&) const = default;
};

// The refusal of a create of a redirector to |target| asked for by a
// session whose peer is |peer| (both network order), or nullopt when the
// target may be relayed to.
std::optional<TRefusalReason> CheckTarget(const TPolicy& policy, std::uint32_t peer, std::uint32_t target);

// What a create whose target passed does, given who holds its key.
TCreateVerdict CheckHolder(const TPolicy& policy, TKeyHolder holder);

// Whether a session's query or delete finds the redirector |holder| holds:
// under OWNER_ONLY, another session's is as good as absent.
bool SeesEntry(const TPolicy& policy, TKeyHolder holder);

}  // namespace quorvane
