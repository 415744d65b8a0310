// Fuzzes one control session: the byte stream is cut into packets exactly
// as a session does it, and every packet is handled by ProcessRequest.
// Redirectors come from a factory that opens no socket; replies go to the
// other end of a socket pair and are thrown away.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "requests/PacketAssembler.h"
#include "requests/RequestsServer.h"
#include "runtime/Log.h"
#include "runtime/SilentAbort.h"

namespace quorvane {
namespace {

// Stands for a redirector: it serves until destroyed, or (odd target
// ports) has stopped at once like one whose listener failed.
class TFakeRedirector final : public TRedirector {
 public:
  TFakeRedirector(TRelayLoop& loop, bool ends) : TRedirector(loop, nullptr), ends_(ends) {}
  bool Start() override { return true; }
  bool Failed() const override { return ends_; }

 private:
  bool ends_;
};

TNewRedirector FakeRedirector(const TRedirectorRequest& request) {
  static std::uint16_t next_port = 1024;
  TNewRedirector built;
  // Every seventh target port fails its setup.
  if (request.TargetPort % 7 == 0) return built;
  built.Redirector = std::make_unique<TFakeRedirector>(*request.Options.Loop, request.TargetPort % 2 == 1);
  built.Bound = MakeSockAddr(0x0100007F, next_port++);
  return built;
}

// Configurations the first input byte chooses between.
std::array<TConfigSnapshot, 4> MakeConfigs() {
  TServerConfig base;
  base.ServerHost = "127.0.0.1";
  base.ServerPort = 0;
  base.ServerAddr = 0x0100007F;
  for (TSettings& profile : base.ProfileTable) {
    profile.Host = "127.0.0.1";
    profile.HostAddr = 0x0100007F;
    profile.IncludeAddrs = {0x0000000A, 0x0000A8C0};
    profile.IncludeMasks = {0x000000FF, 0x0000FFFF};
    profile.ExcludeAddrs = {0x0100007F};
    profile.ExcludeMasks = {0xFFFFFFFF};
    profile.Port = 6112;
  }
  base.ProfileTable[9].HostAddr = 0xFFFFFFFF;  // a host that did not resolve
  TServerConfig tight = base;
  tight.Limits.RedirectorsPerAddress = 3;
  tight.Policy.OwnerOnly = true;
  TServerConfig peer = base;
  peer.Policy.Targets = TTargetPolicy::kPeer;
  peer.Policy.DenyAddrs = {0x0000000A};
  peer.Policy.DenyMasks = {0x000000FF};
  TServerConfig open = base;
  open.Limits = TLimits{0, 0, 0, 0};
  return {std::make_shared<const TServerConfig>(base), std::make_shared<const TServerConfig>(tight),
          std::make_shared<const TServerConfig>(peer), std::make_shared<const TServerConfig>(open)};
}

struct TFixture {
  TFixture() : configs(MakeConfigs()) {
    SetLogSink([](std::string_view) {});
    PublishConfig(configs[0]);
    server = std::make_unique<TRequestsServer>(configs[0], engine);
    server->SetRedirectorFactory(FakeRedirector);
  }
  std::array<TConfigSnapshot, 4> configs;
  // Never started: the session runs on this thread, which acts for its loop.
  TRelayEngine engine{1};
  std::unique_ptr<TRequestsServer> server;
};

void DrainReplies(int fd) {
  char sink[65536];
  while (::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
}

}  // namespace
}  // namespace quorvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane;
  static TFixture fixture;
  if (size == 0) return 0;
  PublishConfig(fixture.configs[data[0] % fixture.configs.size()]);
  // The second byte chooses how the stream is cut into receives.
  const std::size_t chunk = size > 1 ? 1 + data[1] * 37 : 1;
  std::span<const std::uint8_t> stream(data + std::min<std::size_t>(size, 2),
                                       size - std::min<std::size_t>(size, 2));

  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) return 0;
  TUniqueFd replies(pair[1]);
  const sockaddr_in peer = MakeSockAddr(0x0100007F, 40000);
  auto entry = std::make_unique<TClientEntry>();
  entry->Address = peer.sin_addr.s_addr;
  TClientEntry* recorded = fixture.server->Registry().AddClient(std::move(entry));
  TRelayLoop& loop = fixture.engine.Loop(0);
  auto session = std::make_unique<TRequestsServerThread>(*fixture.server, loop, 1, TUniqueFd(pair[0]), peer,
                                                         TAddressSlot{}, recorded);

  TPacketAssembler packets;
  try {
    while (!stream.empty()) {
      const std::size_t take = std::min(chunk, stream.size());
      const std::span<const std::uint8_t> received = stream.first(take);
      stream = stream.subspan(take);
      packets.Drain(received, [&](TPacketView packet) {
        session->ProcessRequest(packet);
        DrainReplies(replies.Get());
        return TDrainStep::kNext;
      });
    }
  } catch (const TSilentAbort&) {
    // The session would end here.
  }
  // Destroys its redirectors and removes its client entry, as a session's
  // end does.
  session->Terminate();
  session.reset();
  loop.Loop().RunDeferred();
  return 0;
}
