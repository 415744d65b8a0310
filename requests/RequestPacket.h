// The control protocol's only message: a fixed 220-byte packet, in both
// directions, with no other framing. Layout (offsets in bytes; LE = least
// significant byte first, NET = most significant first):
//
//   common   0  u16 LE  Size (always 220)      2  u8  PacketType    3  reserved
//   0 Nop            4  u8      IsReply (0: answer me, 1: this is the answer)
//   1 Register req   4  u16 LE  Version       6  char[12] ClientName (NUL-ended)
//   2 Register reply 4  u16 LE  Version (4)   6  u8 Status (0 ok, 1 too old)
//                    7  u8      IncludeCount  8  u8 ExcludeCount   (mod 256)
//   3 Address entry  4  u16 LE  EntryCount    6  u16 LE EntryIndex
//                    8  u32 NET Mask         12  u32 NET Address
//                   16  u16 NET Port         18  u8 Proto (6)  19  u8 Exclude
//   4 NAT request    4  u8      Proto         5  u8 Action (0 query 1 create 2 delete)
//                    6  u16 LE  Port          8  u32 NET Address  12  u8 Profile
//   5 NAT reply      4  u8      Status (0 ok, 3 no such key, 255 create failed)
//                    6  u16     Port: NET public port on success, else the
//                               request's two bytes as they came
//                    8  u32 NET Address
//
// Bytes a layout does not name are zero in what we send and ignored in what
// we receive. Addresses are handled as network-order 32-bit values (the form
// of sin_addr.s_addr); the codec converts explicitly, never by copying structs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvane {

inline constexpr std::size_t kPacketSize = 220;
inline constexpr std::uint16_t kProtocolVersion = 4;  // ours, and the oldest we accept
inline constexpr std::uint8_t kProtoTcp = 6;
// The number the lists and tools mean by "udp"; any number but 6 relays as UDP.
inline constexpr std::uint8_t kProtoUdp = 17;
inline constexpr std::size_t kClientNameSize = 12;

using TRequestPacket = std::array<std::uint8_t, kPacketSize>;
using TPacketView = std::span<const std::uint8_t, kPacketSize>;

// Wire codes are plain byte constants rather than enums: they travel as raw
// bytes, and a byte with no name here (an unknown type, action or profile)
// must stay representable all the way to the code that ignores or refuses it.
inline constexpr std::uint8_t kPacketNop = 0;
inline constexpr std::uint8_t kPacketRegisterRequest = 1;
inline constexpr std::uint8_t kPacketRegisterReply = 2;
inline constexpr std::uint8_t kPacketAddressEntry = 3;
inline constexpr std::uint8_t kPacketNatRequest = 4;
inline constexpr std::uint8_t kPacketNatReply = 5;

inline constexpr std::uint8_t kNatQuery = 0;
inline constexpr std::uint8_t kNatCreate = 1;
inline constexpr std::uint8_t kNatDelete = 2;

inline constexpr std::uint8_t kNatOk = 0;
inline constexpr std::uint8_t kNatNotFound = 3;
inline constexpr std::uint8_t kNatFailed = 255;

inline constexpr std::uint8_t kRegisterOk = 0;
inline constexpr std::uint8_t kRegisterTooOld = 1;

namespace packet_offset {
inline constexpr std::size_t kSize = 0;
inline constexpr std::size_t kType = 2;
inline constexpr std::size_t kBody = 4;
}  // namespace packet_offset

// Fixed-order loads and stores.
std::uint16_t GetU16LE(TPacketView p, std::size_t offset);
std::uint16_t GetU16BE(TPacketView p, std::size_t offset);
std::uint32_t GetU32BE(TPacketView p, std::size_t offset);
void PutU16LE(TRequestPacket& p, std::size_t offset, std::uint16_t value);
void PutU16BE(TRequestPacket& p, std::size_t offset, std::uint16_t value);
void PutU32BE(TRequestPacket& p, std::size_t offset, std::uint32_t value);

inline std::uint16_t PacketSize(TPacketView p) { return GetU16LE(p, packet_offset::kSize); }
inline std::uint8_t PacketType(TPacketView p) { return p[packet_offset::kType]; }

// A zeroed packet with Size 220 and the given type.
TRequestPacket NewPacket(std::uint8_t type);

struct TNop {
  std::uint8_t IsReply = 0;
};

struct TRegisterRequest {
  std::uint16_t Version = 0;
  std::array<char, kClientNameSize> ClientName{};
  // The name up to its first NUL, or all 12 bytes when there is none.
  std::string_view Name() const;
};

struct TRegisterReply {
  std::uint16_t Version = kProtocolVersion;
  std::uint8_t Status = kRegisterOk;
  std::uint8_t IncludeCount = 0;
  std::uint8_t ExcludeCount = 0;
};

struct TAddressEntry {
  std::uint16_t EntryCount = 0;
  std::uint16_t EntryIndex = 0;
  std::uint32_t Mask = 0;     // network order
  std::uint32_t Address = 0;  // network order
  std::uint16_t Port = 0;     // host order; sent as NET
  std::uint8_t Proto = kProtoTcp;
  std::uint8_t Exclude = 0;
};

struct TNatRequest {
  std::uint8_t Proto = 0;
  std::uint8_t Action = 0;
  std::uint16_t Port = 0;     // the client's port, a plain number (sent LE)
  std::uint32_t Address = 0;  // network order
  std::uint8_t Profile = 0;
};

struct TNatReply {
  std::uint8_t Status = kNatNotFound;
  // The two port bytes exactly as they go on the wire: see PublicPortBytes
  // and EchoPortBytes.
  std::array<std::uint8_t, 2> PortBytes{};
  std::uint32_t Address = 0;  // network order
  // Host-order port when the bytes are a public port (Status 0).
  std::uint16_t PublicPort() const;
};

// Wire bytes of a public port given in network order (as getsockname
// reports it).
std::array<std::uint8_t, 2> PublicPortBytes(std::uint16_t port_net);
// Wire bytes of a request's port echoed back unchanged.
std::array<std::uint8_t, 2> EchoPortBytes(std::uint16_t request_port);

TRequestPacket Encode(const TNop& nop);
TRequestPacket Encode(const TRegisterRequest& request);
TRequestPacket Encode(const TRegisterReply& reply);
TRequestPacket Encode(const TAddressEntry& entry);
TRequestPacket Encode(const TNatRequest& request);
TRequestPacket Encode(const TNatReply& reply);

TNop DecodeNop(TPacketView p);
TRegisterRequest DecodeRegisterRequest(TPacketView p);
TRegisterReply DecodeRegisterReply(TPacketView p);
TAddressEntry DecodeAddressEntry(TPacketView p);
TNatRequest DecodeNatRequest(TPacketView p);
TNatReply DecodeNatReply(TPacketView p);

}  // namespace quorvane
