#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

TEST(AddressHelpersTest, ResolveHostGivesNetworkOrderAndAddrToStrDottedText) {
  EXPECT_EQ(ResolveHost("10.0.0.1"), ::inet_addr("10.0.0.1"));
  EXPECT_EQ(ResolveHost("localhost"), ::inet_addr("127.0.0.1"));
  EXPECT_NE(ResolveHost(""), kAddrNone);  // this host's own name
  EXPECT_EQ(AddrToStr(::inet_addr("192.168.1.2")), "192.168.1.2");
  EXPECT_EQ(AddrToStr(0), "0.0.0.0");
  EXPECT_EQ(AddrToStr(0xFFFFFFFFu), "255.255.255.255");
}

}  // namespace
}  // namespace quorvane
