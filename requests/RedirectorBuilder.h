// TRedirectorBuilder: the build step of a NAT create. From the request's
// key, its profile and the configuration it was judged under it makes the
// factory's TRedirectorRequest, builds the redirector on the creating
// session's loop, starts it and returns the registry entry for it. Whose it
// is (owner, its shares of the limits) is the caller's to fill in.
//
// Called under the registry's lock, from a create's lookup to its insert,
// so nothing here may wait for the network: the configuration's hosts were
// resolved when it was loaded, and the factory gets them as dotted text.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "requests/RedirectorEntry.h"
#include "requests/RedirectorFactory.h"
#include "requests/Settings.h"

namespace quorvane {

class TRelayLoop;

struct TBuiltRedirector {
  // Started; neither owned nor registered yet. Null when the build failed.
  std::unique_ptr<TRedirectorEntry> Entry;
  // Why it failed: every port of the configured range is taken, or Why.
  bool NoFreePort = false;
  std::string Why;
};

class TRedirectorBuilder final {
 public:
  explicit TRedirectorBuilder(std::shared_ptr<TPlayerCaps> caps) : caps_(std::move(caps)) {}
  TRedirectorBuilder(const TRedirectorBuilder&) = delete;
  TRedirectorBuilder& operator=(const TRedirectorBuilder&) = delete;

  // BuildRedirector unless the owner puts another in before the first build.
  const TRedirectorFactory& Factory() const { return factory_; }
  void SetFactory(TRedirectorFactory factory) { factory_ = std::move(factory); }

  // A redirector for |key| with the settings of |profile| in |config|,
  // served by |loop|, for a session whose peer is |owner|. Any loop's thread.
  TBuiltRedirector Build(const TRedirectorKey& key, std::uint8_t profile, const TServerConfig& config,
                         TRelayLoop& loop, const sockaddr_in& owner);

 private:
  TRedirectorRequest RequestFor(const TRedirectorKey& key, const TSettings& settings,
                                const TServerConfig& config, TRelayLoop& loop, std::uint32_t owner);

  TRedirectorFactory factory_ = BuildRedirector;
  const std::shared_ptr<TPlayerCaps> caps_;
  // Where the next build's search of the port range starts, TCP then UDP;
  // a port outside the range (0 at first) starts at its bottom. A hint
  // only, though the registry's lock orders the builds anyway.
  std::array<std::atomic<std::uint16_t>, 2> next_port_{};
};

}  // namespace quorvane
