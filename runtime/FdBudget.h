// The process's descriptor budget. Every TUniqueFd counts itself in and out,
// so the server knows how many descriptors are free without asking the
// kernel, and refuses new work (sessions, creates, relayed connections)
// while fewer than a reserve are left. At the limit the answers stay clean
// (a close, a status 255) instead of accept() or socket() failing halfway
// through a piece of work, and work resumes by itself as descriptors return.
#pragma once

#include <cstddef>

namespace quorvane::fd_budget {

// The reserve kept free: the larger of kMinReserve and kReservePercent of
// the limit.
inline constexpr long kMinReserve = 64;
inline constexpr long kReservePercent = 5;

// Reads the current RLIMIT_NOFILE soft limit and counts the descriptors
// already open that no TUniqueFd owns (standard streams, inherited ones).
// Call after raising the limit; calling again re-reads both. Until the first
// call the budget never refuses anything.
void Init();

// Descriptors open now: the untracked ones counted by Init() plus every live
// TUniqueFd. Any thread.
long Open();
long Limit();    // 0 before Init()
long Reserve();  // 0 before Init()

// True when |needed| more descriptors would still leave the reserve free.
// Any thread; a hint, not a reservation: concurrent callers may all pass.
bool HasRoom(long needed = 1);

// For TUniqueFd only.
void Opened();
void Closed();

}  // namespace quorvane::fd_budget
