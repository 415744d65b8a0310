#include "requests/RequestsServer.h"

#include "runtime/Log.h"
#include "runtime/SilentAbort.h"

namespace quorvane {
namespace {

// Sends |count| entries of one address list.
template <class SendFn>
void SendAddressList(const std::vector<std::uint32_t>& addrs, const std::vector<std::uint32_t>& masks,
                     std::uint16_t port, std::uint8_t exclude, SendFn&& send) {
  const std::size_t count = masks.size();
  for (std::size_t i = 0; i < count; ++i) {
    TAddressEntry entry;
    entry.EntryCount = static_cast<std::uint16_t>(count);
    entry.EntryIndex = static_cast<std::uint16_t>(i);
    entry.Mask = masks[i];
    entry.Address = addrs[i];
    entry.Port = port;
    entry.Proto = kProtoTcp;
    entry.Exclude = exclude;
    send(Encode(entry));
  }
}

}  // namespace

void TRequestsServerThread::ProcessRequest(TPacketView packet) {
  if (PacketSize(packet) != kPacketSize) throw TSilentAbort{};
  switch (PacketType(packet)) {
    case kPacketNop:
      ProcessNop(packet);
      break;
    case kPacketRegisterRequest:
      ProcessRegister(packet);
      break;
    case kPacketNatRequest:
      ProcessNatRequest(packet);
      break;
    default:
      break;  // replies and unknown types are ignored without a trace
  }
}

void TRequestsServerThread::ProcessNop(TPacketView packet) {
  Log("Nop request");
  if (DecodeNop(packet).IsReply == 0) Send(Encode(TNop{1}));
}

void TRequestsServerThread::ProcessRegister(TPacketView packet) {
  Log("Register request");
  const TRegisterRequest request = DecodeRegisterRequest(packet);
  const TConfigSnapshot config = CurrentConfig();
  TRegisterReply reply;
  std::uint8_t profile = 0;
  if (request.Version < kProtocolVersion) {
    reply.Status = kRegisterTooOld;
  } else {
    if (request.Name() == kBnetdClientName) profile = kBnetdProfile;
    reply.Status = kRegisterOk;
    {
      auto clients = Server.ClientList.LockList();
      for (const auto& entry : *clients) {
        if (entry->Session == this) {
          entry->Profile = profile;
          entry->Registered = 1;
          break;
        }
      }
    }
    const TSettings& settings = config->ProfileTable[profile];
    reply.IncludeCount = static_cast<std::uint8_t>(settings.IncludeMasks.size());
    reply.ExcludeCount = static_cast<std::uint8_t>(settings.ExcludeMasks.size());
  }
  Send(Encode(reply));
  if (reply.Status != kRegisterOk) {
    Terminate();
    return;
  }
  const TSettings& settings = config->ProfileTable[profile];
  const auto send = [this](const TRequestPacket& p) { Send(p); };
  SendAddressList(settings.ExcludeAddrs, settings.ExcludeMasks, settings.Port, 1, send);
  SendAddressList(settings.IncludeAddrs, settings.IncludeMasks, settings.Port, 0, send);
}

}  // namespace quorvane
