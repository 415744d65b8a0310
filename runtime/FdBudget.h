// The process's descriptor budget. Every TUniqueFd counts itself in and out,
// so the server knows how many descriptors are free without asking the
// kernel, and refuses new work (sessions, creates, relayed connections)
// while fewer than a reserve are left. At the limit the answers stay clean
// (a close, a status 255) instead of accept() or socket() failing halfway
// through a piece of work, and work resumes by itself as descriptors return.
//
// Above the reserve, the descriptors are shared out by kind: control
// sessions, redirectors (their listeners and UDP session sockets) and TCP
// relays each draw on a share of their own, so that a flood of one kind,
// however many addresses it comes from, cannot take what the others need.
// Within a kind, admission turns fair as the share runs low: past
// kPressurePercent of it, an address that already holds its fair part (that
// mark divided among the addresses holding some) is refused, and the top
// half of what lies above the mark is kept for addresses that hold nothing,
// which are still let in. A flood from a few addresses stops at their parts
// and leaves the rest of the share to newcomers; a flood from many
// addresses can take the top of the share only one unit an address, and
// never another kind's share.
//
// A kind's units are held as a TFdGrant, which gives them back when it is
// destroyed, so no path can leak them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quorvane::fd_budget {

// The reserve kept free: the larger of kMinReserve and kReservePercent of
// the limit.
inline constexpr long kMinReserve = 64;
inline constexpr long kReservePercent = 5;
// Past this part of a kind's share, admission goes by fair parts.
inline constexpr long kPressurePercent = 75;

enum class TFdKind : std::uint8_t { kSession, kRedirector, kRelay };
inline constexpr std::size_t kFdKindCount = 3;

// Why a grant was refused.
enum class TFdRefusal : std::uint8_t {
  kNone,
  kReserve,    // the process would dip into its reserve
  kShare,      // the kind's share is used up
  kFairShare,  // the share runs low and the address holds its fair part
};

// Each kind's share of the descriptors above the reserve (and above those
// open before Init()), in percent; 0: no share of its own, the kind is
// bounded by the reserve alone. The defaults: sessions 20, redirectors 40,
// relays 40.
struct TFdShares {
  long Percent[kFdKindCount] = {20, 40, 40};
};

// Reads the current RLIMIT_NOFILE soft limit and counts the descriptors
// already open that no TUniqueFd owns (standard streams, inherited ones).
// Call after raising the limit; calling again re-reads both. Until the first
// call the budget never refuses anything.
void Init();

// Puts |shares| in force for grants from now on; grants held stay. Any
// thread.
void SetShares(const TFdShares& shares);

// Descriptors open now: the untracked ones counted by Init() plus every live
// TUniqueFd. Any thread.
long Open();
long Limit();    // 0 before Init()
long Reserve();  // 0 before Init()

// True when |needed| more descriptors would still leave the reserve free.
// Any thread; a hint, not a reservation: concurrent callers may all pass.
bool HasRoom(long needed = 1);

// Units of |kind| held now: in all, by |address|; and the kind's share in
// descriptors (0 before Init() or without a share).
long Held(TFdKind kind);
long HeldBy(TFdKind kind, std::uint32_t address);
long Share(TFdKind kind);
// True when the kind's units are past kPressurePercent of its share.
bool UnderPressure(TFdKind kind);

// Units of one kind held for one address; move-only. An empty grant holds
// nothing.
class TFdGrant {
 public:
  TFdGrant() = default;
  TFdGrant(const TFdGrant&) = delete;
  TFdGrant& operator=(const TFdGrant&) = delete;
  TFdGrant(TFdGrant&& other) noexcept
      : kind_(other.kind_), address_(other.address_), count_(std::exchange(other.count_, 0)) {}
  TFdGrant& operator=(TFdGrant&& other) noexcept;
  ~TFdGrant() { Release(); }

  explicit operator bool() const { return count_ != 0; }
  // Gives the units back now; the grant is empty afterwards.
  void Release();

 private:
  friend TFdGrant TryAcquire(TFdKind, std::uint32_t, long, TFdRefusal*, long);
  TFdGrant(TFdKind kind, std::uint32_t address, long count) : kind_(kind), address_(address), count_(count) {}

  TFdKind kind_ = TFdKind::kSession;
  std::uint32_t address_ = 0;
  long count_ = 0;
};

// |count| (> 0) descriptors of |kind| for |address| (network order), when
// the reserve, the kind's share less |keep_free| and, under pressure, the
// address's fair part allow them; else an empty grant, and |why| (when
// given) says which said no. Any thread; checking and taking are one step
// per kind, but the reserve stays a hint (see HasRoom).
TFdGrant TryAcquire(TFdKind kind, std::uint32_t address, long count, TFdRefusal* why = nullptr,
                    long keep_free = 0);

// For TUniqueFd only.
void Opened();
void Closed();

}  // namespace quorvane::fd_budget
