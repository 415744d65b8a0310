#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "requests/RequestPacket.h"

namespace quorvane {
namespace {

std::vector<std::uint8_t> Head(const TRequestPacket& p, std::size_t n) { return {p.begin(), p.begin() + n}; }

TEST(RequestPacketTest, EncodingMatchesTheDocumentedBytesDecodingGivesThemBackAndPortBytesFollowTheStatus) {
  TRegisterRequest reg;
  reg.Version = 4;
  std::copy_n("BNETD", 5, reg.ClientName.begin());
  EXPECT_EQ(Head(Encode(reg), 12), (std::vector<std::uint8_t>{0xDC, 0x00, 0x01, 0x00, 0x04, 0x00, 0x42, 0x4E,
                                                              0x45, 0x54, 0x44, 0x00}));
  // A name ends at its NUL or after twelve bytes.
  std::copy_n("BNETD\0xyz", 9, reg.ClientName.begin());
  EXPECT_EQ(DecodeRegisterRequest(Encode(reg)).Name(), "BNETD");
  std::copy_n("ABCDEFGHIJKL", 12, reg.ClientName.begin());
  EXPECT_EQ(DecodeRegisterRequest(Encode(reg)).Name(), "ABCDEFGHIJKL");

  const TNatRequest create{6, 1, 6112, ::inet_addr("192.168.0.10"), 0};
  EXPECT_EQ(Head(Encode(create), 13), (std::vector<std::uint8_t>{0xDC, 0x00, 0x04, 0x00, 0x06, 0x01, 0xE0,
                                                                 0x17, 0xC0, 0xA8, 0x00, 0x0A, 0x00}));
  const TNatRequest back = DecodeNatRequest(Encode(TNatRequest{17, 2, 0xBEEF, ::inet_addr("1.2.3.4"), 9}));
  EXPECT_EQ(std::tie(back.Proto, back.Action, back.Port, back.Address, back.Profile),
            std::make_tuple(17, 2, 0xBEEF, ::inet_addr("1.2.3.4"), 9));

  const TNatReply ok{kNatOk, PublicPortBytes(htons(50000)), ::inet_addr("203.0.113.7")};
  EXPECT_EQ(Head(Encode(ok), 12), (std::vector<std::uint8_t>{0xDC, 0x00, 0x05, 0x00, 0x00, 0x00, 0xC3, 0x50,
                                                             0xCB, 0x00, 0x71, 0x07}));
  EXPECT_EQ(DecodeNatReply(Encode(ok)).PublicPort(), 50000);

  const TAddressEntry entry{2, 0, ::inet_addr("255.0.0.0"), ::inet_addr("10.0.0.0"), 6112, kProtoTcp, 1};
  EXPECT_EQ(Head(Encode(entry), 20),
            (std::vector<std::uint8_t>{0xDC, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x00, 0xFF, 0x00,
                                       0x00, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x17, 0xE0, 0x06, 0x01}));
  // Nothing outside the named fields is ever non-zero.
  const TRequestPacket p = Encode(entry);
  EXPECT_TRUE(std::all_of(p.begin() + 20, p.end(), [](std::uint8_t b) { return b == 0; }));

  // Port 6112 of a request is E0 17; a public port 6112 is 17 E0; a
  // not-found reply echoes the request's E0 17.
  EXPECT_EQ(PublicPortBytes(htons(6112)), (std::array<std::uint8_t, 2>{0x17, 0xE0}));
  EXPECT_EQ(EchoPortBytes(6112), (std::array<std::uint8_t, 2>{0xE0, 0x17}));
}

}  // namespace
}  // namespace quorvane
