#include "requests/RequestPacket.h"

#include <arpa/inet.h>

#include <cstring>

namespace quorvane {
namespace {

// Body offsets by packet type.
constexpr std::size_t kNopIsReply = 4;
constexpr std::size_t kRegVersion = 4;
constexpr std::size_t kRegName = 6;
constexpr std::size_t kRegStatus = 6;
constexpr std::size_t kRegIncludeCount = 7;
constexpr std::size_t kRegExcludeCount = 8;
constexpr std::size_t kEntryCount = 4;
constexpr std::size_t kEntryIndex = 6;
constexpr std::size_t kEntryMask = 8;
constexpr std::size_t kEntryAddress = 12;
constexpr std::size_t kEntryPort = 16;
constexpr std::size_t kEntryProto = 18;
constexpr std::size_t kEntryExclude = 19;
constexpr std::size_t kNatProto = 4;
constexpr std::size_t kNatAction = 5;
constexpr std::size_t kNatPort = 6;
constexpr std::size_t kNatAddress = 8;
constexpr std::size_t kNatProfile = 12;
constexpr std::size_t kNatStatus = 4;

static_assert(kRegName + kClientNameSize <= kPacketSize);
static_assert(kEntryExclude < kPacketSize);
static_assert(kNatProfile < kPacketSize);

// Network-order address values are converted to numbers and written
// most significant byte first.
std::uint32_t NetToNumber(std::uint32_t addr_net) { return ntohl(addr_net); }
std::uint32_t NumberToNet(std::uint32_t number) { return htonl(number); }

}  // namespace

std::uint16_t GetU16LE(TPacketView p, std::size_t offset) {
  return static_cast<std::uint16_t>(p[offset] | (p[offset + 1] << 8));
}

std::uint16_t GetU16BE(TPacketView p, std::size_t offset) {
  return static_cast<std::uint16_t>((p[offset] << 8) | p[offset + 1]);
}

std::uint32_t GetU32BE(TPacketView p, std::size_t offset) {
  return (std::uint32_t{p[offset]} << 24) | (std::uint32_t{p[offset + 1]} << 16) |
         (std::uint32_t{p[offset + 2]} << 8) | std::uint32_t{p[offset + 3]};
}

void PutU16LE(TRequestPacket& p, std::size_t offset, std::uint16_t value) {
  p[offset] = static_cast<std::uint8_t>(value & 0xFF);
  p[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU16BE(TRequestPacket& p, std::size_t offset, std::uint16_t value) {
  p[offset] = static_cast<std::uint8_t>(value >> 8);
  p[offset + 1] = static_cast<std::uint8_t>(value & 0xFF);
}

void PutU32BE(TRequestPacket& p, std::size_t offset, std::uint32_t value) {
  p[offset] = static_cast<std::uint8_t>(value >> 24);
  p[offset + 1] = static_cast<std::uint8_t>((value >> 16) & 0xFF);
  p[offset + 2] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
  p[offset + 3] = static_cast<std::uint8_t>(value & 0xFF);
}

TRequestPacket NewPacket(std::uint8_t type) {
  TRequestPacket p{};
  PutU16LE(p, packet_offset::kSize, static_cast<std::uint16_t>(kPacketSize));
  p[packet_offset::kType] = type;
  return p;
}

std::string_view TRegisterRequest::Name() const {
  const void* nul = std::memchr(ClientName.data(), 0, ClientName.size());
  const std::size_t length =
      nul == nullptr ? ClientName.size()
                     : static_cast<std::size_t>(static_cast<const char*>(nul) - ClientName.data());
  return {ClientName.data(), length};
}

std::uint16_t TNatReply::PublicPort() const {
  return static_cast<std::uint16_t>((PortBytes[0] << 8) | PortBytes[1]);
}

std::array<std::uint8_t, 2> PublicPortBytes(std::uint16_t port_net) {
  const std::uint16_t port = ntohs(port_net);
  return {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xFF)};
}

std::array<std::uint8_t, 2> EchoPortBytes(std::uint16_t request_port) {
  return {static_cast<std::uint8_t>(request_port & 0xFF), static_cast<std::uint8_t>(request_port >> 8)};
}

TRequestPacket Encode(const TNop& nop) {
  TRequestPacket p = NewPacket(kPacketNop);
  p[kNopIsReply] = nop.IsReply;
  return p;
}

TRequestPacket Encode(const TRegisterRequest& request) {
  TRequestPacket p = NewPacket(kPacketRegisterRequest);
  PutU16LE(p, kRegVersion, request.Version);
  for (std::size_t i = 0; i < kClientNameSize; ++i) {
    p[kRegName + i] = static_cast<std::uint8_t>(request.ClientName[i]);
  }
  return p;
}

TRequestPacket Encode(const TRegisterReply& reply) {
  TRequestPacket p = NewPacket(kPacketRegisterReply);
  PutU16LE(p, kRegVersion, reply.Version);
  p[kRegStatus] = reply.Status;
  p[kRegIncludeCount] = reply.IncludeCount;
  p[kRegExcludeCount] = reply.ExcludeCount;
  return p;
}

TRequestPacket Encode(const TAddressEntry& entry) {
  TRequestPacket p = NewPacket(kPacketAddressEntry);
  PutU16LE(p, kEntryCount, entry.EntryCount);
  PutU16LE(p, kEntryIndex, entry.EntryIndex);
  PutU32BE(p, kEntryMask, NetToNumber(entry.Mask));
  PutU32BE(p, kEntryAddress, NetToNumber(entry.Address));
  PutU16BE(p, kEntryPort, entry.Port);
  p[kEntryProto] = entry.Proto;
  p[kEntryExclude] = entry.Exclude;
  return p;
}

TRequestPacket Encode(const TNatRequest& request) {
  TRequestPacket p = NewPacket(kPacketNatRequest);
  p[kNatProto] = request.Proto;
  p[kNatAction] = request.Action;
  PutU16LE(p, kNatPort, request.Port);
  PutU32BE(p, kNatAddress, NetToNumber(request.Address));
  p[kNatProfile] = request.Profile;
  return p;
}

TRequestPacket Encode(const TNatReply& reply) {
  TRequestPacket p = NewPacket(kPacketNatReply);
  p[kNatStatus] = reply.Status;
  p[kNatPort] = reply.PortBytes[0];
  p[kNatPort + 1] = reply.PortBytes[1];
  PutU32BE(p, kNatAddress, NetToNumber(reply.Address));
  return p;
}

TNop DecodeNop(TPacketView p) { return TNop{p[kNopIsReply]}; }

TRegisterRequest DecodeRegisterRequest(TPacketView p) {
  TRegisterRequest r;
  r.Version = GetU16LE(p, kRegVersion);
  for (std::size_t i = 0; i < kClientNameSize; ++i) r.ClientName[i] = static_cast<char>(p[kRegName + i]);
  return r;
}

TRegisterReply DecodeRegisterReply(TPacketView p) {
  TRegisterReply r;
  r.Version = GetU16LE(p, kRegVersion);
  r.Status = p[kRegStatus];
  r.IncludeCount = p[kRegIncludeCount];
  r.ExcludeCount = p[kRegExcludeCount];
  return r;
}

TAddressEntry DecodeAddressEntry(TPacketView p) {
  TAddressEntry e;
  e.EntryCount = GetU16LE(p, kEntryCount);
  e.EntryIndex = GetU16LE(p, kEntryIndex);
  e.Mask = NumberToNet(GetU32BE(p, kEntryMask));
  e.Address = NumberToNet(GetU32BE(p, kEntryAddress));
  e.Port = GetU16BE(p, kEntryPort);
  e.Proto = p[kEntryProto];
  e.Exclude = p[kEntryExclude];
  return e;
}

TNatRequest DecodeNatRequest(TPacketView p) {
  TNatRequest r;
  r.Proto = p[kNatProto];
  r.Action = p[kNatAction];
  r.Port = GetU16LE(p, kNatPort);
  r.Address = NumberToNet(GetU32BE(p, kNatAddress));
  r.Profile = p[kNatProfile];
  return r;
}

TNatReply DecodeNatReply(TPacketView p) {
  TNatReply r;
  r.Status = p[kNatStatus];
  r.PortBytes = {p[kNatPort], p[kNatPort + 1]};
  r.Address = NumberToNet(GetU32BE(p, kNatAddress));
  return r;
}

}  // namespace quorvane
