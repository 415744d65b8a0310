#include "requests/Settings.h"

#include <mutex>
#include <utility>

#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

std::mutex& ConfigMutex() {
  static std::mutex mu;
  return mu;
}

TConfigSnapshot& Published() {
  // A plain mutex rather than std::atomic<std::shared_ptr>: taking a
  // snapshot costs one uncontended lock per request, and the sanitizers
  // understand it.
  static TConfigSnapshot config;  // guarded by ConfigMutex()
  return config;
}

}  // namespace

TConfigSnapshot MakeConfigSnapshot(TServerConfig config) {
  config.ServerAddr = ResolveHost(config.ServerHost);
  for (TSettings& profile : config.ProfileTable) {
    profile.HostAddr = profile.Host.empty() ? 0 : ResolveHost(profile.Host);
  }
  return std::make_shared<const TServerConfig>(std::move(config));
}

TConfigSnapshot CurrentConfig() {
  std::lock_guard lock(ConfigMutex());
  if (!Published()) Published() = std::make_shared<const TServerConfig>();
  return Published();
}

void PublishConfig(TConfigSnapshot config) {
  std::lock_guard lock(ConfigMutex());
  Published() = std::move(config);
}

}  // namespace quorvane
