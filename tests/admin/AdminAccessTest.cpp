// The admin endpoint's access rules on their own: the checks a socket test
// cannot reach honestly (every test peer is on loopback).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <iterator>
#include <utility>

#include "admin/AdminAccess.h"
#include "admin/AdminViews.h"
#include "admin/PrometheusText.h"

namespace quorvane::admin {
namespace {

std::uint32_t Addr(const char* dotted) { return ::inet_addr(dotted); }

TEST(AdminAccess, OnlyTheLoopbackNetworkIsLocal) {
  for (const char* local : {"127.0.0.1", "127.0.0.2", "127.255.255.254"})
    EXPECT_TRUE(IsLoopbackAddress(Addr(local)));
  for (const char* remote :
       {"0.0.0.0", "10.0.0.1", "126.255.255.255", "128.0.0.1", "192.168.0.127", "1.0.0.127"})
    EXPECT_FALSE(IsLoopbackAddress(Addr(remote))) << remote;
}

TEST(AdminAccess, OnlyTheExactTokenInTheBearerSchemeMatches) {
  EXPECT_TRUE(BearerTokenMatches("Bearer s3cret", "s3cret"));
  EXPECT_TRUE(BearerTokenMatches("bearer   s3cret  ", "s3cret"));
  for (const char* wrong : {"", "Bearer", "Bearer ", "Bearer s3cre", "Bearer s3cret2", "Bearer S3CRET",
                            "Basic s3cret", "s3cret", "Bearers3cret", "Bearer xs3cret", "Bearer s3cret x"})
    EXPECT_FALSE(BearerTokenMatches(wrong, "s3cret")) << wrong;
}

TEST(AdminAccess, OnlyNamesNoOutsideDnsCanPointHereAreLiteral) {
  for (const char* literal :
       {"127.0.0.1", "127.0.0.1:8080", "10.1.2.3:80", "localhost", "LocalHost:9", "[::1]", "[::1]:8080"})
    EXPECT_TRUE(HostIsLiteral(literal)) << literal;
  for (const char* name :
       {"", "example.com", "localhost.example.com", "127.0.0.1.nip.io", "[::2]", "[::1", "1.2.3"})
    EXPECT_FALSE(HostIsLiteral(name)) << name;
}

TEST(AdminAccess, VerdictFollowsTokenThenPeerAndHost) {
  const std::pair<TAdminRequest, TAdminVerdict> cases[] = {
      // The status page is open even with a token.
      {{.StatusPage = true, .TokenSet = true}, TAdminVerdict::kAllow},
      // Once a token is set, it alone decides.
      {{.PeerIsLocal = false, .HostIsLiteral = false, .TokenSet = true, .TokenMatches = true},
       TAdminVerdict::kAllow},
      {{.PeerIsLocal = true, .HostIsLiteral = true, .TokenSet = true, .TokenMatches = false},
       TAdminVerdict::kUnauthorized},
      {{.Changes = true, .PeerIsLocal = false, .HostIsLiteral = true, .TokenSet = true, .TokenMatches = true},
       TAdminVerdict::kAllow},
      // Without a token, a host name that is not literal is forbidden, and
      // changes need a local peer.
      {{.PeerIsLocal = false, .HostIsLiteral = true}, TAdminVerdict::kAllow},
      {{.PeerIsLocal = false, .HostIsLiteral = false}, TAdminVerdict::kForbidden},
      {{.Changes = true, .PeerIsLocal = false, .HostIsLiteral = true}, TAdminVerdict::kForbidden},
      {{.Changes = true, .PeerIsLocal = true, .HostIsLiteral = true}, TAdminVerdict::kAllow}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(Authorize(cases[i].first), cases[i].second) << "case " << i;
}

TEST(AdminViews, MetricTextIsEscaped) {
  TPrometheusText text;
  text.Family("x_total", "counter", "Help with \\ and\nbreak.");
  text.Sample({{"commit", "a\"b\\c\nd"}}, 7);
  EXPECT_EQ(text.Text(),
            "# HELP x_total Help with \\\\ and\\nbreak.\n# TYPE x_total counter\n"
            "x_total{commit=\"a\\\"b\\\\c\\nd\"} 7\n");
}

TEST(AdminViews, TimesAreRfc3339InUtc) {
  EXPECT_EQ(Rfc3339(1796604767999), "2026-12-07T00:52:47Z");
  EXPECT_EQ(Rfc3339(0), "1970-01-01T00:00:00Z");
}

}  // namespace
}  // namespace quorvane::admin
