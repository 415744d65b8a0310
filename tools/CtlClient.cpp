#include "tools/CtlClient.h"
#include "runtime/Clock.h"

#include <algorithm>
#include <cassert>

namespace quorvane::ctl {

TCtlClient::TCtlClient(int timeout_ms, int wake_fd) : connection_(timeout_ms, wake_fd) {}

bool TCtlClient::Connect(const std::string& host, std::uint16_t port) {
  return connection_.Connect(host, port);
}

bool TCtlClient::Send(const TRequestPacket& packet) {
  return connection_.SendAll(packet.data(), packet.size());
}

std::optional<TRequestPacket> TCtlClient::Receive() {
  const std::int64_t deadline = SteadyMs() + connection_.TimeoutMs();
  TRequestPacket packet{};
  std::size_t received = 0;
  while (received < packet.size()) {
    const auto n = connection_.ReceiveSome(packet.data() + received, packet.size() - received, deadline);
    if (!n) return std::nullopt;
    if (*n == 0) {
      connection_.Fail(TCtlFailure::kClosed, received == 0
                                                 ? "the server closed the session"
                                                 : "the server closed the session in the middle of a reply");
      return std::nullopt;
    }
    received += *n;
  }
  if (PacketSize(packet) != kPacketSize) {
    connection_.Fail(TCtlFailure::kProtocol, "reply with Size " + std::to_string(PacketSize(packet)) +
                                                 " instead of " + std::to_string(kPacketSize));
    return std::nullopt;
  }
  return packet;
}

std::optional<TRequestPacket> TCtlClient::ReceiveType(std::uint8_t expected_type) {
  auto packet = Receive();
  if (packet && PacketType(*packet) != expected_type) {
    connection_.Fail(TCtlFailure::kProtocol, "reply of type " + std::to_string(PacketType(*packet)) +
                                                 " where type " + std::to_string(expected_type) +
                                                 " was expected");
    return std::nullopt;
  }
  return packet;
}

std::optional<TNop> TCtlClient::Nop() {
  // Only IsReply 0 is answered; anything else would wait for nothing.
  if (!Send(Encode(TNop{0}))) return std::nullopt;
  const auto reply = ReceiveType(kPacketNop);
  if (!reply) return std::nullopt;
  return DecodeNop(*reply);
}

bool TCtlClient::ReceiveList(bool exclude, std::uint8_t count, std::vector<TAddressEntry>* entries) {
  // The reply's counts are taken modulo 256, while every entry carries the
  // full count of its list: the first entry tells how many really follow.
  // (A list of a multiple of 256 entries is announced as empty and cannot be
  // told from one; the protocol leaves no way to see it.)
  std::size_t total = count;
  for (std::size_t index = 0; index < total; ++index) {
    const auto packet = ReceiveType(kPacketAddressEntry);
    if (!packet) return false;
    const TAddressEntry entry = DecodeAddressEntry(*packet);
    if ((entry.Exclude != 0) != exclude) {
      return connection_.Fail(TCtlFailure::kProtocol,
                              exclude ? "an include entry where an exclude entry was expected"
                                      : "an exclude entry where an include entry was expected");
    }
    if (index == 0 && entry.EntryCount > total && entry.EntryCount % 256 == count) total = entry.EntryCount;
    entries->push_back(entry);
  }
  return true;
}

std::optional<TRegisterResult> TCtlClient::Register(std::string_view name, std::uint16_t version) {
  assert(name.size() <= kClientNameSize);
  TRegisterRequest request;
  request.Version = version;
  std::copy(name.begin(), name.end(), request.ClientName.begin());
  if (!Send(Encode(request))) return std::nullopt;
  const auto reply = ReceiveType(kPacketRegisterReply);
  if (!reply) return std::nullopt;
  TRegisterResult result;
  result.Reply = DecodeRegisterReply(*reply);
  if (result.Reply.Status != kRegisterOk) return result;
  // Exclude entries come first, then include entries.
  if (!ReceiveList(true, result.Reply.ExcludeCount, &result.Entries) ||
      !ReceiveList(false, result.Reply.IncludeCount, &result.Entries)) {
    return std::nullopt;
  }
  return result;
}

std::optional<TNatReply> TCtlClient::Nat(const TNatRequest& request) {
  assert(request.Action <= kNatDelete);
  if (!Send(Encode(request))) return std::nullopt;
  const auto reply = ReceiveType(kPacketNatReply);
  if (!reply) return std::nullopt;
  return DecodeNatReply(*reply);
}

TCtlFailure TCtlClient::Hold() {
  for (;;) {
    std::uint8_t scratch[kPacketSize];
    const auto n = connection_.ReceiveSome(scratch, sizeof scratch, -1);
    if (!n) return Error().Kind;
    if (*n == 0) {
      connection_.Fail(TCtlFailure::kClosed, "the server closed the session");
      return Error().Kind;
    }
  }
}

}  // namespace quorvane::ctl
