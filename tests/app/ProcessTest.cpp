// The real server executable: start-up lines, what it says when something
// is wrong, its command line and the stop signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "app/ChildProcess.h"
#include "requests/RequestPacket.h"
#include "requests/ServerFixture.h"
#include "tools/CtlClient.h"
#include "tools/CtlExitCode.h"

namespace quorvane::test {
namespace {

const std::string kBanner = "Quorvane by Ostrevan v0.4";

// Every line the server adds on standard error says who speaks.
void ExpectPrefixed(const std::vector<std::string>& lines) {
  for (const auto& line : lines) EXPECT_EQ(line.rfind("quorvane: ", 0), 0u) << line;
}

// What cannot be used ends the process with 1 and a line that says why:
// before it listens, or (a control port it cannot have) once it tried.
// --check judges the file and listens on nothing: a port in use is what it
// meets beside a running server, a note and not an error; an address not on
// this host, or an empty file, is an error.
TEST(ProcessTest, ConfigurationThatCannotBeUsedStopsTheServerAndCheckJudgesItListeningOnNothing) {
  std::uint16_t taken = 0;
  const TUniqueFd occupant = ListenLoopback(&taken);
  ASSERT_TRUE(occupant.Valid());
  const std::uint16_t port = FreePort();
  const std::string held = std::to_string(taken);
  TempDir dir;
  std::filesystem::create_directory(dir.path / "KELVARD.ini");
  const std::string missing = (dir.path / "missing.ini").string();
  dir.Write("admin.ini", ServerIni(port, "[ADMIN]\nHOST=0.0.0.0\nPORT=" + std::to_string(port) + "\n"));
  dir.Write("good.ini", ServerIni(port));
  dir.Write("taken.ini", ServerIni(taken));
  dir.Write("ipv6.ini", "[SERVER]\nHOST=::1\nPORT=" + std::to_string(port) + "\n");
  dir.Write("warned.ini", ServerIni(port, "[UNKNOWN]\nHOST=127.0.0.1\nFOO=1\n"));
  dir.Write("held.ini", ServerIni(taken, "[ADMIN]\nPORT=" + held + "\n"));
  dir.Write("elsewhere.ini", ServerIni(port, "[ADMIN]\nHOST=192.0.2.1\nTOKEN=t\nPORT=" + held + "\n"));
  dir.Write("empty.ini", "");
  const std::string exe = QUORVANE_EXE;
  const struct {
    int exit_code;
    std::vector<std::string> args;
    std::string error;  // the start of a line
    std::vector<std::string> out = {kBanner};
  } cases[] = {
      {1, {exe}, "quorvane: cannot read KELVARD.ini: Is a directory"},
      {1, {exe, "-c", missing}, "quorvane: cannot read " + missing + ": No such file or directory"},
      {1,
       {exe, "--config", "admin.ini"},
       "quorvane: admin.ini:5: error: ADMIN/HOST=0.0.0.0 is not a loopback address, so the admin port needs "
       "a TOKEN; set ADMIN/TOKEN (or a loopback HOST, or PORT=0)"},
      // A limit that leaves nothing beside the reserve: started, the server
      // would refuse every session.
      {1,
       {"/bin/sh", "-c", "ulimit -n 64 && exec \"$0\" \"$@\"", exe, "-c", "good.ini"},
       "quorvane: descriptor limit 64 is too small: the reserve keeps 64 free and the server needs at "
       "least "},
      {1,
       {exe, "-c", "taken.ini"},
       "quorvane: cannot listen on 127.0.0.1:" + held + ": Address already in use",
       {kBanner, StartLine(taken), "Closing server"}},
      {1,
       {exe, "-c", "ipv6.ini"},
       "quorvane: ipv6.ini:2: error: SERVER/HOST=::1 does not resolve to an IPv4 address; nothing listens",
       {kBanner, "NAT Server started at 255.255.255.255:" + std::to_string(port), "Closing server"}},
      {0,
       {exe, "--check", "-c", "warned.ini"},
       "quorvane: warned.ini:6: warning: unknown key UNKNOWN/FOO",
       {}},
      {0,
       {exe, "--check", "-c", "held.ini"},
       "quorvane: 127.0.0.1:" + held +
           " (admin) is in use now: right for a running server's own port, but a start fails while it is "
           "held",
       {}},
      {1,
       {exe, "--check", "-c", "elsewhere.ini"},
       "quorvane: cannot listen on 192.0.2.1:" + held + " (admin): Cannot assign requested address",
       {}},
      {1, {exe, "--check", "-c", "empty.ini"}, "quorvane: empty.ini: error: no section in the file", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    ChildProcess server(c.args, dir.path);
    EXPECT_EQ(server.WaitExit(), c.exit_code);
    EXPECT_EQ(server.Lines(), c.out);
    EXPECT_TRUE(std::any_of(server.ErrLines().begin(), server.ErrLines().end(),
                            [&](const std::string& line) { return line.starts_with(c.error); }));
    ExpectPrefixed(server.ErrLines());
    if (c.args.size() == 4 && c.args[1] == "--check" && !server.ErrLines().empty()) {
      const std::string verdict = c.exit_code == 0 ? ": configuration OK" : ": configuration has errors";
      EXPECT_EQ(server.ErrLines().back(), "quorvane: " + c.args[3] + verdict);
    }
  }
  // The checked files' port was bound for a moment only, never listened on.
  TUniqueFd again(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_TRUE(BindTo(again.Get(), Loopback(), port));
}

TEST(ProcessTest, WarningsPointAtTheirLineWhileTheServerServes) {
  const std::uint16_t port = FreePort();
  ServerProcess server(port, "[UNKNOWN]\nHOST=no..such\n[SERVR]\nPORT=abc\n");
  ASSERT_TRUE(server.Serving());
  TcpEchoServer echo;
  ControlClient client(port);
  // Profile 0 (UNKNOWN) has a host that does not resolve: every create fails.
  EXPECT_EQ(client.Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port()).Status, kNatFailed);
  ASSERT_TRUE(server.WaitForLine("TCP Redirector not created"));
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);

  const std::vector<std::string> errors = {
      "quorvane: KELVARD.ini:6: warning: unknown section [SERVR]; ignored with its keys (did you mean "
      "[SERVER]?)",
      "quorvane: KELVARD.ini:5: warning: UNKNOWN/HOST=no..such does not resolve to an IPv4 address; every "
      "create for this profile fails",
      "quorvane: KELVARD.ini:2: warning: redirectors of [BOT], [HEROES3], [BNETD], [WARCRAFT3], [DIABLO2], "
      "[STARCRAFT] are announced at 127.0.0.1 (SERVER/HOST=127.0.0.1), a loopback address remote players "
      "cannot reach; set HOST in [SERVER] or in those sections to the server's public address",
      "TCP Redirector for 127.0.0.1:" + std::to_string(echo.Port()) +
          " not created: UNKNOWN/HOST=no..such does not resolve to an IPv4 address"};
  EXPECT_EQ(server.ErrLines(), errors);
  // Standard output keeps exactly its own lines.
  for (const auto& line : server.Lines()) EXPECT_EQ(line.find("quorvane: "), std::string::npos) << line;
}

// JOURNAL_STREAM naming the very pipe that is standard error puts each
// diagnostic's syslog priority first; naming another file (here standard
// output) changes nothing. --timestamps puts the time before the lines of
// both streams, except under the journal. Each stop signal ends the server
// with success, its session closed before it exits, with the file named on
// the command line both ways and read from anywhere.
TEST(ProcessTest, DiagnosticsCarryTheirPriorityUnderTheJournalAndTimestampsOtherwiseAndStopSignalsSucceed) {
  const std::regex timestamp(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z )");
  TempDir dir;
  const std::string file = (dir.path / "elsewhere.ini").string();
  const struct {
    const char* name;
    const char* journal_fd;  // the descriptor whose device and inode JOURNAL_STREAM holds
    std::vector<std::string> args;
    bool priorities;
    bool timestamps;
    int stop;
  } cases[] = {
      {"journal", "2", {"--config=" + file}, true, false, SIGTERM},
      {"journal, which keeps its own times", "2", {"--timestamps", "-c", file}, true, false, SIGINT},
      {"journal on standard output only", "1", {"-c", file}, false, false, SIGTERM},
      {"timestamps", "1", {"--timestamps", "--config=" + file}, false, true, SIGINT},
  };
  const auto says = [](const std::vector<std::string>& lines, const std::string& end) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.ends_with(end); });
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::uint16_t port = FreePort();
    dir.Write("elsewhere.ini", ServerIni(port, "[UNKNOWN]\nFOO=1\n"));
    std::vector<std::string> args = {"/bin/sh", "-c",
                                     std::string("export JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/") +
                                         c.journal_fd + ") && exec \"$0\" \"$@\"",
                                     QUORVANE_EXE};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ChildProcess server(args, "/");
    ASSERT_TRUE(server.WaitUntil([&] { return says(server.Lines(), StartLine(port)); }));
    const TUniqueFd client = ConnectLoopback(port);
    ASSERT_TRUE(client.Valid());
    const std::string client_address = "127.0.0.1:" + std::to_string(LocalPort(client.Get()));
    ASSERT_TRUE(server.WaitUntil([&] { return says(server.Lines(), "New client from: " + client_address); }));
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitUntil([&] { return says(server.ErrLines(), "configuration reloaded"); }));
    server.Signal(c.stop);
    EXPECT_EQ(server.WaitExit(), 0);

    // The lines with what the format put before them checked and taken off.
    const auto plain = [&](std::vector<std::string> lines, bool diagnostics) {
      for (std::string& line : lines) {
        if (c.priorities && diagnostics) {
          EXPECT_TRUE(line.starts_with(line.find(": warning: ") != std::string::npos ? "<4>" : "<5>"))
              << line;
          line.erase(0, 3);
        }
        std::smatch time;
        EXPECT_EQ(std::regex_search(line, time, timestamp), c.timestamps) << line;
        line.erase(0, static_cast<std::size_t>(time.length()));
      }
      return lines;
    };
    // The session was ended before the process exited, not cut off by it.
    EXPECT_EQ(plain(server.Lines(), false),
              (std::vector<std::string>{kBanner, StartLine(port), "New client from: " + client_address,
                                        "Closing server", "Closing thread for: " + client_address}));
    const std::vector<std::string> errors = plain(server.ErrLines(), true);
    ExpectPrefixed(errors);
    EXPECT_TRUE(says(errors, "warning: unknown key UNKNOWN/FOO; ignored"));
    EXPECT_EQ(errors.back(), "quorvane: " + file + ": configuration reloaded");
  }
}

// The file install and the package put in /etc, on loopback, run as systemd
// runs it with the admin token as a credential (LoadCredential=).
TEST(ProcessTest, PackagedConfigurationRefusesLoopbackTargetsAndTakesTheTokenCredential) {
  const std::uint16_t port = FreePort();
  const std::uint16_t admin_port = FreePort();
  std::ifstream packaged(QUORVANE_EXAMPLE_CONFIG);
  std::string ini{std::istreambuf_iterator<char>(packaged), {}};
  // The first empty HOST is [SERVER]'s, and PORT=9989 and PORT=0 are only
  // [SERVER]'s and [ADMIN]'s.
  const std::pair<std::string, std::string> edits[] = {
      {"\nHOST=\n", "\nHOST=127.0.0.1\n"},
      {"\nPORT=9989\n", "\nPORT=" + std::to_string(port) + "\n"},
      {"\nPORT=0\n", "\nPORT=" + std::to_string(admin_port) + "\n"},
      {"\nTOKEN_FILE=\n", "\nTOKEN_FILE=admin-token\n"}};
  for (const auto& [from, to] : edits) {
    const std::size_t at = ini.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    ini.replace(at, from.size(), to);
  }
  TempDir dir;
  TempDir credentials;
  credentials.Write("admin-token", "s3cret \n");
  ChildProcess server({QUORVANE_EXE, "-c", dir.Write("etc.ini", ini).string()}, dir.path,
                      {"CREDENTIALS_DIRECTORY=" + credentials.path.string()});
  ASSERT_TRUE(server.WaitForLine(StartLine(port)));

  TcpEchoServer echo;
  ctl::TCtlClient client(5000);
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  ASSERT_TRUE(client.Register("BNETD", 4).has_value());
  EXPECT_EQ(client.Nat({kProtoTcp, kNatCreate, echo.Port(), Loopback(), 0}).value_or(TNatReply{}).Status,
            kNatFailed);
  const std::string admin = "--admin 127.0.0.1:" + std::to_string(admin_port) + " status";
  EXPECT_EQ(RunCtl(admin + " --token s3cret").Code, ctl::kExitOk);
  EXPECT_EQ(RunCtl(admin + " --token s3cret-").Code, ctl::kExitHttpError);
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_TRUE(HasLine(server.ErrLines(), "Refused 1 create from 127.0.0.1 (DENY: 127.0.0.1:" +
                                             std::to_string(echo.Port()) + ")"));
  // No diagnostic about the deny list or the token, and the token unsaid.
  for (const auto& line : server.ErrLines())
    EXPECT_FALSE(std::regex_search(line, std::regex("^quorvane: .*(DENY|TOKEN)"))) << line;
  EXPECT_EQ((server.Out() + server.Err()).find("s3cret"), std::string::npos);
}

// A mistake is one line with the usage exit; -V is the banner with the
// commit; --help names the check option.
TEST(ProcessTest, CommandLineMistakeVersionAndHelpAnswerWithoutServing) {
  ChildProcess wrong({QUORVANE_EXE, "--frob"}, "/");
  EXPECT_EQ(wrong.WaitExit(), 2);
  EXPECT_TRUE(wrong.Lines().empty());
  EXPECT_EQ(wrong.ErrLines(),
            (std::vector<std::string>{"quorvane: The following argument was not expected: --frob",
                                      "Try 'quorvane --help'."}));
  ChildProcess version({QUORVANE_EXE, "-V"}, "/");
  EXPECT_EQ(version.WaitExit(), 0);
  EXPECT_TRUE(version.Lines().size() == 1 && version.Out().starts_with(kBanner + " (commit "))
      << version.Out();
  ChildProcess help({QUORVANE_EXE, "--help"}, "/");
  EXPECT_EQ(help.WaitExit(), 0);
  EXPECT_NE(help.Out().find("--check"), std::string::npos);
}

// A client holds a TCP and a UDP redirector; then nobody reads the server's
// standard output while it answers a flood. Answers go on, and the stop
// signal still ends the server and every redirector the client holds.
TEST(ProcessTest, StopBySignalClosesEveryRedirectorAClientHoldsAndStalledOutputStopsNothing) {
  const std::uint16_t port = FreePort();
  // No share per address: the flood is answered as fast as it is sent.
  ServerProcess server(port, "[UNKNOWN]\nHOST=127.0.0.1\n[LIMITS]\nREQUESTS_PER_ADDRESS=0\n");
  ASSERT_TRUE(server.Serving());
  TcpEchoServer tcp_echo;
  UdpEchoServer udp_echo;
  ChildProcess ctl({QUORVANE_CTL_EXE, "--server", "127.0.0.1:" + std::to_string(port), "create", "tcp",
                    "127.0.0.1", std::to_string(tcp_echo.Port()), "create", "udp", "127.0.0.1",
                    std::to_string(udp_echo.Port()), "--hold"},
                   "/");
  // The public ports quorvane-ctl prints for its creates.
  const std::regex created(
      R"(create tcp .*public 127\.0\.0\.1:(\d+)\ncreate udp .*public 127\.0\.0\.1:(\d+)\n)");
  std::smatch ports;
  ASSERT_TRUE(ctl.WaitUntil([&] { return std::regex_search(ctl.Out(), ports, created); }));
  const auto tcp_public = static_cast<std::uint16_t>(std::stoi(ports[1]));
  const auto udp_public = static_cast<std::uint16_t>(std::stoi(ports[2]));

  TUniqueFd relayed = ConnectLoopback(tcp_public);
  ASSERT_TRUE(SendAll(relayed.Get(), "hello") && RecvExact(relayed.Get(), 5) == "hello");
  std::uint16_t peer_port = 0;
  TUniqueFd peer = BindUdpLoopback(&peer_port);
  ASSERT_TRUE(SendDatagram(peer.Get(), "hi", udp_public) && RecvDatagram(peer.Get()) == "hi");

  // From here on nobody reads the server's standard output. 20,000 "Nop
  // request" lines: far more than the pipe (64 KiB) and the log queue
  // together hold. Each answer follows its line, so the last answer means
  // every line has been logged.
  std::string batch;
  for (int i = 0; i < 1000; ++i) batch += Bytes(Encode(TNop{0}));
  const TUniqueFd flooder = ConnectLoopback(port);
  ASSERT_TRUE(flooder.Valid());
  for (int sent = 0; sent < 20000; sent += 1000) {
    ASSERT_TRUE(SendAll(flooder.Get(), batch));
    ASSERT_TRUE(RecvExact(flooder.Get(), batch.size(), 10000ms)) << "no answers after " << sent << " Nops";
  }
  ControlClient player(port);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(player.Answers(10000ms)) << i;

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExitUnread(10000ms), 0);
  // The holding client sees its session closed by the server.
  EXPECT_EQ(ctl.WaitExit(), 5);
  EXPECT_FALSE(ConnectLoopback(tcp_public).Valid());
  TUniqueFd rebind(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  EXPECT_TRUE(BindTo(rebind.Get(), Loopback(), udp_public));
  EXPECT_TRUE(ClosedWithoutData(relayed.Get()));
}

}  // namespace
}  // namespace quorvane::test
