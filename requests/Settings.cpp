#include "requests/Settings.h"

#include <atomic>
#include <utility>

#include "runtime/FdBudget.h"
#include "runtime/Mutex.h"
#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

// A plain mutex rather than std::atomic<std::shared_ptr>: taking a snapshot
// costs one uncontended lock per request, and the sanitizers understand it.
struct TPublished {
  TMutex Mu;
  TConfigSnapshot Config GUARDED_BY(Mu);
};

TPublished& Published() {
  static TPublished published;
  return published;
}

}  // namespace

TConfigSnapshot MakeConfigSnapshot(TServerConfig config) {
  config.ServerAddr = ResolveHost(config.ServerHost);
  for (TSettings& profile : config.ProfileTable) {
    profile.HostAddr = profile.Host.empty() ? 0 : ResolveHost(profile.Host);
  }
  return std::make_shared<const TServerConfig>(std::move(config));
}

std::uint32_t AnnouncedAddr(const TServerConfig& config, std::uint8_t profile, std::uint32_t bound) {
  if (profile < kProfileCount && config.ProfileTable[profile].AnnounceAddr != 0) {
    return config.ProfileTable[profile].AnnounceAddr;
  }
  return config.AnnounceAddr != 0 ? config.AnnounceAddr : bound;
}

void StoreCaps(const TLimits& limits, TPlayerCaps& caps) {
  caps.UdpDatagramsPerPlayer.store(limits.UdpDatagramsPerPlayer, std::memory_order_relaxed);
  caps.UdpBytesPerPlayer.store(limits.UdpBytesPerPlayer, std::memory_order_relaxed);
  caps.TcpBytesPerPlayer.store(limits.TcpBytesPerPlayer, std::memory_order_relaxed);
  caps.BytesPerRedirector.store(limits.BytesPerRedirector, std::memory_order_relaxed);
}

TConfigSnapshot CurrentConfig() {
  TPublished& published = Published();
  TMutexLock lock(published.Mu);
  if (!published.Config) published.Config = std::make_shared<const TServerConfig>();
  return published.Config;
}

void PublishConfig(TConfigSnapshot config) {
  // The descriptor shares are the budget's, which knows no configuration.
  const TLimits& limits = config->Limits;
  fd_budget::SetShares(
      {{static_cast<long>(limits.SessionDescriptors), static_cast<long>(limits.RedirectorDescriptors),
        static_cast<long>(limits.RelayDescriptors)}});
  TPublished& published = Published();
  TMutexLock lock(published.Mu);
  published.Config = std::move(config);
}

}  // namespace quorvane
