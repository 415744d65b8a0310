// The configuration checks: what they say, on which line, and that loading
// keeps the values a restart alone may change.
#include "app/ConfigCheck.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/ChildProcess.h"
#include "app/Config.h"
#include "app/ConfigLoad.h"

namespace quorvane {
namespace {

using Lines = std::vector<std::string>;
constexpr std::string_view kPrefix = "quorvane: K.ini";

Lines Formatted(const TDiagnostics& out) {
  Lines lines;
  for (const TDiagnostic& d : out.Items()) {
    std::string line = out.Format(d);
    if (line.starts_with(kPrefix)) line.erase(0, kPrefix.size());
    lines.push_back(line);
  }
  return lines;
}

// CheckIniFile's lines for |text|, "quorvane: K.ini" cut off.
Lines FileChecks(const std::string& text) {
  TDiagnostics out("K.ini");
  CheckIniFile(TIniFile::FromText(text), true, out);
  return Formatted(out);
}

// Right values pass quietly; each mistake is named on its line.
TEST(ConfigCheckTest, EachMistakeIsNamedOnItsLineAndRightValuesPassQuietly) {
  const std::pair<std::string, Lines> cases[] = {
      {"[SERVER]\nHOST=10.0.0.5\nPORT=0x2710\nPORT_MIN=40000\nPORT_MAX=40999\nANNOUNCE=203.0.113.7\n"
       "[BOT]\nENABLED=1\nPORT=abc\nANNOUNCE=192.0.2.1\n[LIMITS]\nUDP_SESSIONS=0\n"
       "UDP_BYTES_PER_PLAYER=0\nTCP_BYTES_PER_PLAYER=16384\n"
       "[POLICY]\nTARGETS=peer\nDENY=10.0.0.0/255.0.0.0,192.0.2.1,0.0.0.0/"
       "0.0.0.0\nOWNER_ONLY=1\n[admin]\nToken=x",
       {}},
      {"[SERVR]\nHOST=1\n[server]\nhsot=1\n[Policy]\nDENI=\n[bnetd]\nfoo=1",
       {":1: warning: unknown section [SERVR]; ignored with its keys (did you mean [SERVER]?)",
        ":4: warning: unknown key SERVER/hsot; ignored (did you mean HOST?)",
        ":6: warning: unknown key POLICY/DENI; ignored (did you mean DENY?)",
        ":8: warning: unknown key BNETD/foo; ignored"}},
      {"[SERVER]\nPORT=abc\n[ADMIN]\nPORT=-1\n[BOT]\nEXCLUDE=1.2.3.4\nPORT=7e3\nENABLED=yes",
       {":2: warning: SERVER/PORT=abc is not an integer; the default 9989 applies",
        ":4: warning: ADMIN/PORT=-1 is not a port (0-65535); its low 16 bits give 65535",
        ":7: warning: BOT/PORT=7e3 is not an integer; the default 6112 applies",
        ":8: warning: BOT/ENABLED=yes is not an integer (0 or 1); the default 0 applies"}},
      {"[LIMITS]\nUDP_SESSIONS=-5\nSESSIONS_PER_ADDRESS=many\n[POLICY]\nTARGETS=SELF\nOWNER_ONLY=true",
       {":2: warning: LIMITS/UDP_SESSIONS=-5 is negative (0 means no limit); the default 1024 applies",
        ":3: warning: LIMITS/SESSIONS_PER_ADDRESS=many is not an integer; the default 128 applies",
        ":5: warning: POLICY/TARGETS=SELF is neither ANY nor PEER; ANY applies",
        ":6: warning: POLICY/OWNER_ONLY=true is not an integer (0 or 1); the default 0 applies"}},
      {"[LIMITS]\nUDP_BYTES_PER_PLAYER=1400\nUDP_DATAGRAMS_PER_PLAYER=-1\nBYTES_PER_REDIRECTOR=16383",
       {":2: warning: LIMITS/UDP_BYTES_PER_PLAYER=1400 is below 1500 a second, too little for any game to "
        "get through (0 means no cap)",
        ":3: warning: LIMITS/UDP_DATAGRAMS_PER_PLAYER=-1 is negative (0 means no limit); the default 2000 "
        "applies",
        ":4: warning: LIMITS/BYTES_PER_REDIRECTOR=16383 is below 16384 a second, too little for any game to "
        "get through (0 means no cap)"}},
      {"[SERVER]\nPORT_MIN=0\nPORT_MAX=x\nANNOUNCE=example.com\n[BOT]\nANNOUNCE=10.1\n[DIABLO2]\nANNOUNCE=0."
       "0.0.0",
       {":2: error: SERVER/PORT_MIN=0 is not a port from 1 to 65535",
        ":3: error: SERVER/PORT_MAX=x is not a port from 1 to 65535",
        ":4: error: SERVER/ANNOUNCE=example.com is not a literal IPv4 address (four decimal numbers; names "
        "are not looked up)",
        ":6: error: BOT/ANNOUNCE=10.1 is not a literal IPv4 address (four decimal numbers; names are not "
        "looked up)",
        ":8: error: DIABLO2/ANNOUNCE=0.0.0.0 is an address remote players cannot reach"}},
      {"[UNKNOWN]\nINCLUDE=10.0.0.0/8,10.0.0.1, 10.0.0.2,,010.0.0.1,1.2.3.4/255.0.0.0/7,10.0.0.1/,"
       "10.0.0.0/255.0.255.0,10.0.0.0/0,\n",
       {":2: warning: UNKNOWN/INCLUDE entry \"10.0.0.0/8\": mask \"8\" is read as 0.0.0.8, which is not a "
        "network mask (for a /8 prefix write 255.0.0.0)",
        ":2: warning: UNKNOWN/INCLUDE entry \" 10.0.0.2\": address \" 10.0.0.2\" does not parse and is read "
        "as 255.255.255.255 (blanks are not allowed in an address list)",
        ":2: warning: UNKNOWN/INCLUDE entry \"\": an empty entry is read as address 255.255.255.255",
        ":2: warning: UNKNOWN/INCLUDE entry \"010.0.0.1\": address \"010.0.0.1\" is read as 8.0.0.1",
        ":2: warning: UNKNOWN/INCLUDE entry \"1.2.3.4/255.0.0.0/7\": mask \"255.0.0.0/7\" does not parse and "
        "is read as 255.255.255.255",
        ":2: warning: UNKNOWN/INCLUDE entry \"10.0.0.1/\": mask \"\" is empty and is read as 255.255.255.255",
        ":2: warning: UNKNOWN/INCLUDE entry \"10.0.0.0/255.0.255.0\": mask \"255.0.255.0\" is read as "
        "255.0.255.0, which is not a network mask",
        ":2: warning: UNKNOWN/INCLUDE entry \"10.0.0.0/0\": mask \"0\" is read as 0.0.0.0"}},
      {"x=1\n[BOT]\nHOST=a\nHOST=b\njust words\n=5\n[Bot]\nHOST=c\n[STARCRAFT\nINCLUDE=" +
           std::string(kMaxValueLength + 1, '1'),
       {":1: warning: a key before the first section; ignored",
        ":4: warning: key HOST again in its section; the one at line 3 counts",
        ":5: error: neither a section, a key nor a comment", ":6: error: no key name before '='",
        ":7: warning: section [BOT] again; only the one at line 2 is read, this one is ignored with its keys",
        ":9: error: section name without ']'",
        ":10: warning: STARCRAFT/INCLUDE is 2048 characters long; only the first 2047 are read",
        ":10: warning: STARCRAFT/INCLUDE entry \"" + std::string(kMaxValueLength, '1') + "\": address \"" +
            std::string(kMaxValueLength, '1') + "\" does not parse and is read as 255.255.255.255"}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(FileChecks(text), expected) << text;
}

// CheckAdmin, CheckPortRange and CheckProfileHosts for |text|, resolved as at start-up.
// Hosts are numeric or fail without asking a name server.
Lines HostChecks(const std::string& text) {
  const TIniFile ini = TIniFile::FromText(text);
  const TConfigSnapshot config = MakeConfigSnapshot(ReadConfig(ini));
  TDiagnostics out("K.ini");
  CheckAdmin(config->Admin, ini, out);
  CheckPortRange(*config, ini, out);
  CheckProfileHosts(*config, ini, out);
  return Formatted(out);
}

const std::string kServer = "[SERVER]\nHOST=192.0.2.5\n";

// Admin settings and port ranges that cannot work are errors; profile hosts
// remote players cannot reach are warned of, unless ANNOUNCE replaces them.
TEST(ConfigCheckTest, SettingsThatCannotWorkAndUnreachableProfileHostsAreNamed) {
  const std::pair<std::string, Lines> cases[] = {
      {kServer + "[ADMIN]\nHOST=127.0.0.1\nPORT=8080\n[UNKNOWN]\nHOST=192.0.2.6", {}},
      {kServer + "[ADMIN]\nHOST=0.0.0.0\nPORT=8080\nTOKEN=secret", {}},
      {kServer + "[ADMIN]\nHOST=0.0.0.0\nPORT=0", {}},
      {kServer + "[ADMIN]\nHOST=192.0.2.5\nPORT=8080",
       {":4: error: ADMIN/HOST=192.0.2.5 is not a loopback address, so the admin port needs a TOKEN; set "
        "ADMIN/TOKEN (or a loopback HOST, or PORT=0)"}},
      {kServer + "PORT_MIN=40010\nPORT_MAX=40000",
       {":3: error: SERVER/PORT_MIN=40010 is above SERVER/PORT_MAX=40000"}},
      {kServer + "PORT_MAX=40000",
       {":3: error: SERVER/PORT_MAX is set without PORT_MIN; set both, or neither to let the system choose "
        "redirector ports"}},
      {kServer + "PORT_MIN=9000\nPORT_MAX=10000\n[ADMIN]\nPORT=9990",
       {":3: warning: the redirector ports 9000-10000 include the control port 9989; redirectors skip it "
        "while the server holds it",
        ":3: warning: the redirector ports 9000-10000 include the admin port 9990; redirectors skip it while "
        "the endpoint holds it"}},
      {kServer + "ANNOUNCE=192.0.2.9\n[HEROES3]\nHOST=127.0.0.2", {}},
      {kServer + "[ADMIN]\nHOST=no..such\nPORT=1",
       {":4: error: ADMIN/HOST=no..such does not resolve to an IPv4 address"}},
      {kServer + "[BOT]\nHOST=no..such\n[HEROES3]\nHOST=127.0.0.2",
       {":4: warning: BOT/HOST=no..such does not resolve to an IPv4 address; every create for this profile "
        "fails",
        ":6: warning: HEROES3/HOST=127.0.0.2 is a loopback address: redirectors of [HEROES3] are announced "
        "there, where remote players cannot reach them; set HOST to the server's public address"}},
      {"[SERVER]\nHOST=127.0.0.1\n[UNKNOWN]\nHOST=192.0.2.6\n[BOT]\nHOST=192.0.2.6\n[HEROES3]\n"
       "HOST=192.0.2.6\n[BNETD]\nHOST=192.0.2.6\n[WARCRAFT3]\nHOST=192.0.2.6\n[DIABLO2]\nHOST=192.0.2.6\n",
       {":2: warning: redirectors of [STARCRAFT] are announced at 127.0.0.1 (SERVER/HOST=127.0.0.1), a "
        "loopback address remote players cannot reach; set HOST in [SERVER] or in that section to the "
        "server's public address"}},
      // Only the listener reports a SERVER/HOST that does not resolve.
      {"[SERVER]\nHOST=::1", {}},
      {"[SERVER]\nHOST=0.0.0.0",
       {":2: warning: redirectors of [UNKNOWN], [BOT], [HEROES3], [BNETD], [WARCRAFT3], [DIABLO2], "
        "[STARCRAFT] are announced at 0.0.0.0 (SERVER/HOST=0.0.0.0), an address remote players cannot reach; "
        "set HOST in [SERVER] or in those sections to the server's public address"}},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(HostChecks(text), expected) << text;
}

// A directory whose default configuration file is missing, and the
// configuration in force before a reload.
class ConfigLoadTest : public testing::Test {
 protected:
  ConfigLoadTest() {
    running_.ServerHost = "192.0.2.5";
    running_.ServerPort = 4000;
    running_.ServerAddr = ::inet_addr("192.0.2.9");  // as it was resolved at start
  }
  TConfigLoad Load(bool named, const TServerConfig* running = nullptr) const {
    return LoadConfiguration({default_file_, named}, running);
  }

  test::TempDir dir_;
  const std::string default_file_ = (dir_.path / "KELVARD.ini").string();
  const std::string file_ = "quorvane: " + default_file_;  // how its lines begin
  TServerConfig running_;
};

TEST_F(ConfigLoadTest, OnlyTheDefaultFileMayBeMissingAndOnlyAtStart) {
  // The defaults' empty hosts may add a warning about the announced address.
  const TConfigLoad missing = Load(false);
  ASSERT_TRUE(missing.Snapshot != nullptr);
  EXPECT_FALSE(missing.Diagnostics.HasErrors());
  EXPECT_EQ(Formatted(missing.Diagnostics).at(0), file_ + " not found; every setting takes its default");
  dir_.Write("kelvard.ini", "");
  EXPECT_EQ(Formatted(Load(false).Diagnostics).at(0),
            file_ +
                " not found; every setting takes its default (there is kelvard.ini: the file name must be "
                "written exactly)");
  EXPECT_TRUE(Load(true).Diagnostics.HasErrors());
  // A file vanished at a reload keeps the settings in force.
  std::filesystem::remove(dir_.path / "kelvard.ini");
  EXPECT_TRUE(Load(false, &running_).Diagnostics.HasErrors());
  // An empty file starts with the defaults (--check and a reload refuse it).
  dir_.Write("KELVARD.ini", "");
  const TConfigLoad empty = Load(false);
  EXPECT_FALSE(empty.Diagnostics.HasErrors());
  EXPECT_EQ(Formatted(empty.Diagnostics).at(0),
            file_ + ": warning: no section in the file; every setting takes its default");
}

TEST_F(ConfigLoadTest, ReloadKeepsWhatOnlyARestartMayChange) {
  // Listener addresses a start could bind: the reload probes them.
  const std::string port = std::to_string(test::FreePort());
  dir_.Write("KELVARD.ini", "[SERVER]\nHOST=127.0.0.1\nPORT=" + port +
                                "\n[UNKNOWN]\nHOST=192.0.2.7\n[LIMITS]\nUDP_SESSIONS=7\n[ADMIN]\nPORT=" +
                                std::to_string(test::FreePort()) + "\n");
  const TConfigLoad reload = Load(false, &running_);
  ASSERT_TRUE(reload.Snapshot != nullptr);
  EXPECT_FALSE(reload.Diagnostics.HasErrors());
  const TServerConfig& next = *reload.Snapshot;
  EXPECT_EQ(std::tie(next.ServerHost, next.ServerPort, next.ServerAddr, next.Admin.Port),
            std::make_tuple("192.0.2.5", 4000, running_.ServerAddr, 0));
  EXPECT_EQ(std::tie(next.ProfileTable[0].Host, next.Limits.UdpSessions), std::make_tuple("192.0.2.7", 7u));
  const Lines lines = Formatted(reload.Diagnostics);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 3),
            (Lines{file_ + ":2: warning: SERVER/HOST changed to \"127.0.0.1\"; it takes effect at the next "
                           "restart, until then \"192.0.2.5\" stays",
                   file_ + ":3: warning: SERVER/PORT changed to " + port +
                       "; it takes effect at the next restart, until then 4000 stays",
                   file_ + ":8: warning: [ADMIN] changed; it takes effect at the next restart, until then "
                           "the admin endpoint keeps its settings"}));
}

// ADMIN/TOKEN_FILE gives the token without its line end, or an error that
// names the file; a reload refuses a file whose token file has gone.
TEST_F(ConfigLoadTest, TokenFileGivesTheTokenOrAnError) {
  const std::string secret = dir_.Write("secret", "s3cret \t\r\n").string();
  const std::string empty = dir_.Write("empty", " \n").string();
  const std::string lines = dir_.Write("lines", "s3cret\nagain\n").string();
  const std::string missing = (dir_.path / "missing").string();
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"TOKEN_FILE=" + secret, "s3cret", ""},
      {"TOKEN=s3cret\nTOKEN_FILE=" + secret, "",
       ":5: error: ADMIN/TOKEN and ADMIN/TOKEN_FILE are both set; keep one of them"},
      {"TOKEN_FILE=" + empty, "", ":4: error: ADMIN/TOKEN_FILE: " + empty + " is empty"},
      {"TOKEN_FILE=" + lines, "",
       ":4: error: ADMIN/TOKEN_FILE: " + lines + " holds more than one line or a control character"},
      {"TOKEN_FILE=" + missing, "",
       ":4: error: cannot read " + missing + " (ADMIN/TOKEN_FILE): No such file or directory"},
  };
  for (const auto& [keys, token, error] : cases) {
    SCOPED_TRACE(keys);
    // A numeric host: nothing to look up.
    dir_.Write("KELVARD.ini", "[SERVER]\nHOST=127.0.0.1\n[ADMIN]\n" + keys + "\n");
    const TConfigLoad load = Load(true);
    ASSERT_TRUE(load.Snapshot != nullptr);
    EXPECT_EQ(load.Snapshot->Admin.Token, token);
    EXPECT_EQ(load.Diagnostics.HasErrors(), !error.empty());
    if (!error.empty()) {
      EXPECT_EQ(Formatted(load.Diagnostics).at(0), file_ + error);
    }
  }
  running_.Admin.TokenFile = secret;
  running_.Admin.Token = "s3cret";
  // The running listener's own address: the reload probes nothing.
  dir_.Write("KELVARD.ini", "[SERVER]\nHOST=192.0.2.5\nPORT=4000\n[ADMIN]\nTOKEN_FILE=" + secret + "\n");
  std::filesystem::remove(secret);
  EXPECT_TRUE(Load(true, &running_).Diagnostics.HasErrors());
}

}  // namespace
}  // namespace quorvane
