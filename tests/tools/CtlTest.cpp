// quorvane-ctl: its command line as a pure function, its client against
// replies scripted on a loopback socket, and the real executable's output and
// exit status.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <iterator>
#include <sstream>

#include "TestSupport.h"
#include "app/ChildProcess.h"
#include "requests/RequestPacket.h"
#include "servers/AddressHelpers.h"
#include "tools/CtlClient.h"
#include "tools/CtlCommandLine.h"
#include "tools/CtlExitCode.h"

namespace quorvane::ctl {
namespace {

using namespace quorvane::test;

std::string Bytes(const TRequestPacket& packet) { return {packet.begin(), packet.end()}; }

// |line| (split at spaces) parsed: "host:port timeout [hold] [json] [admin host:port token] | kind name vN
// proto addr-or-name:port pN"...
std::string ParseToText(const std::string& line) {
  std::istringstream words(line);
  const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
  const TParseResult r = ParseCommandLine({args.begin(), args.end()});
  if (!r.Options) return "error: " + r.Error;
  const TCtlOptions& o = *r.Options;
  std::ostringstream text;
  text << o.Host << ":" << o.Port << " " << o.TimeoutMs << (o.Hold ? " hold" : "") << (o.Json ? " json" : "")
       << " admin " << o.AdminHost << ":" << o.AdminPort << " " << o.Token;
  for (const TCommand& c : o.Commands)
    text << " | " << static_cast<int>(c.Kind) << " " << c.Name << " v" << c.Version << " " << int{c.Proto}
         << " " << (c.TargetHost.empty() ? AddrToStr(c.Address) : c.TargetHost) << ":" << c.Port << " p"
         << int{c.Profile};
  return text.str();
}

TEST(CtlCommandLine, GoodLinesParseToTheirCommands) {
  EXPECT_EQ(ParseToText("nop"), "127.0.0.1:9989 5000 admin 127.0.0.1:9990  | 0  v4 6 0.0.0.0:0 p0");
  EXPECT_EQ(ParseToText("--server localhost:7000 --timeout 250 register BNETD --protocol 5 create 47 "
                        "192.168.0.10 6112 --profile 7 delete TCP localhost 65535 --hold"),
            "localhost:7000 250 hold admin 127.0.0.1:9990  | 1 BNETD v5 6 0.0.0.0:0 p0 | 3  v4 47 "
            "192.168.0.10:6112 p7 | 4  v4 6 localhost:65535 p0");
  EXPECT_EQ(
      ParseToText("--json list --admin=localhost:8080 --token s3cret status sessions remove udp 10.0.0.1 53 "
                  "players tcp localhost 80"),
      "127.0.0.1:9989 5000 json admin localhost:8080 s3cret | 5  v4 6 0.0.0.0:0 p0 | 6  v4 6 0.0.0.0:0 p0"
      " | 7  v4 6 0.0.0.0:0 p0 | 8  v4 17 10.0.0.1:53 p0 | 9  v4 6 localhost:80 p0");
  EXPECT_TRUE(ParseCommandLine({"register", "X", "-V"}).Options.value_or(TCtlOptions{}).ShowVersion);
}

TEST(CtlCommandLine, BadLinesNameTheCulprit) {
  // Bad lines as "ARGS|a piece of the complaint", separated by ';'.
  std::istringstream bad(
      "|no command;ping|'ping';register --protocol 4|NAME;register ABCDEFGHIJKLM|longer than 12;"
      "register X --version 3|--protocol N;nop --protocol 4|--protocol;--version=3|--protocol N;"
      "--profile 1 create tcp 1.2.3.4 1|--profile;create tcp 1.2.3.4|PROTO;"
      "create 256 1.2.3.4 1|'256';create tcp 999.1.1.1 1|'999.1.1.1';create tcp a/b 1|'a/b';"
      "create tcp 1.2.3.4 65536|'65536';"
      "create tcp 1.2.3.4 80x|'80x';create tcp 1.2.3.4 1 --profile|needs a value;--hold=1 nop|'--hold=1';"
      "--server localhost:0 nop|'localhost:0';--timeout 0 nop|'0';sessions --hold|--hold;"
      "remove tcp 1.2.3.4 1 --profile 2|--profile;--admin 127.0.0.1 list|HOST:PORT");
  for (std::string c; std::getline(bad, c, ';');) {
    const std::string text = ParseToText(c.substr(0, c.find('|')));
    EXPECT_TRUE(text.rfind("error: ", 0) == 0 && text.find(c.substr(c.find('|') + 1)) < text.size()) << c;
  }
}

// A connected client and the server's end of its session, for scripted replies.
struct Session {
  explicit Session(int timeout_ms = 5000, int wake_fd = -1) : client(timeout_ms, wake_fd) {
    EXPECT_TRUE(client.Connect("localhost", port)) << client.Error().Message;
    server = AcceptWithin(listener.Get());
  }
  std::uint16_t port = 0;
  TUniqueFd listener = ListenLoopback(&port);
  TCtlClient client;
  TUniqueFd server;
};

TEST(CtlClient, RegisterReadsEveryEntrySoLaterRepliesStayInStep) {
  Session s;
  // 300 entries are announced as 44: reading only 44 would leave 256 to be taken for replies.
  std::string replies = Bytes(Encode(TRegisterReply{kProtocolVersion, kRegisterOk, 300 % 256, 1}));
  replies += Bytes(Encode(TAddressEntry{1, 0, 0, Loopback(), 6112, kProtoTcp, 1}));
  for (std::uint16_t i = 0; i < 300; ++i) replies += Bytes(Encode(TAddressEntry{300, i}));
  std::thread feeder([&] { SendAll(s.server.Get(), replies + Bytes(Encode(TNop{1}))); });
  const auto result = s.client.Register("BNETD", 4);
  EXPECT_TRUE(s.client.Nop()) << s.client.Error().Message;
  ::shutdown(s.server.Get(), SHUT_WR);  // frees the feeder should the client have stopped reading
  feeder.join();
  ASSERT_EQ(result ? result->Entries.size() : 0, 301u);
  EXPECT_EQ(result->Entries[0].Exclude, 1);  // the exclude list comes first
  EXPECT_EQ(result->Entries[300].EntryIndex, 299);
}

TEST(CtlClient, AWakeEndsTheWaitForAReplyAtOnce) {
  TEvent wake;
  Session woken(20000, wake.Fd());  // a missed wake fails as a time-out
  wake.Set();
  EXPECT_FALSE(woken.client.Nop());
  EXPECT_EQ(woken.client.Error().Kind, TCtlFailure::kInterrupted);
}

TEST(CtlExe, HelpListsEveryExitCode) {
  const std::string help = RunCtl("--help").Out;
  for (const int code : {kExitOk, kExitUsage, kExitRefused, kExitNotFound, kExitConnection, kExitTimeout,
                         kExitProtocol, kExitInterrupted, kExitNatFailed, kExitHttpError}) {
    EXPECT_NE(help.find("\n  " + std::to_string(code) + " "), std::string::npos) << code;
  }
}

TEST(CtlExe, ExitStatusNamesTheFailure) {
  std::uint16_t port = 0;
  const TUniqueFd listener = ListenLoopback(&port);
  const TUniqueFd bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // never listens
  ASSERT_TRUE(BindTo(bound.Get(), Loopback(), 0));
  const std::string server = "--server=127.0.0.1:" + std::to_string(port) + " ";
  const std::string commit = QUORVANE_COMMIT;
  const std::string version =
      "quorvane-ctl " QUORVANE_VERSION + (commit.empty() ? "" : " (commit " + commit + ")") + "\n";
  // Arguments, replies of the server, exit code, exact output, part of the complaint ("": none).
  // A usage mistake is one line with a pointer to help.
  const std::tuple<std::string, std::string, int, std::string, const char*> cases[] = {
      {"--version", "", kExitOk, version, ""},
      {"create tcp 1.2.3.4", "", kExitUsage, "",
       "quorvane-ctl: create needs PROTO HOST PORT\nTry 'quorvane-ctl --help'.\n"},
      {"register NAME --version 3", "", kExitUsage, "", "--protocol N"},  // -V is not a register option
      {server + "create tcp localhost 8080 --profile 7 nop",
       Bytes(Encode(TNatReply{kNatOk, PublicPortBytes(htons(40123)), Loopback()})) + Bytes(Encode(TNop{1})),
       kExitOk, "create tcp 127.0.0.1:8080 profile 7: ok, public 127.0.0.1:40123\nnop: reply\n", ""},
      {server + "register old --protocol 3 nop", Bytes(Encode(TRegisterReply{4, kRegisterTooOld, 0, 0})),
       kExitRefused, "register: refused, version too old (server version 4)\n", ""},
      // A NAT failure leaves the session usable: the commands after it run.
      {server + "query udp 127.0.0.1 8080 nop",
       Bytes(Encode(TNatReply{kNatNotFound, {}, 0})) + Bytes(Encode(TNop{1})), kExitNotFound,
       "query udp 127.0.0.1:8080: not found\nnop: reply\n", ""},
      // A create the server refuses is not taken for a redirector that is not there.
      {server + "create tcp 127.0.0.1 8080 nop",
       Bytes(Encode(TNatReply{kNatFailed, {}, 0})) + Bytes(Encode(TNop{1})), kExitNatFailed,
       "create tcp 127.0.0.1:8080: failed\nnop: reply\n", ""},
      {"--server=127.0.0.1:" + std::to_string(LocalPort(bound.Get())) + " nop", "", kExitConnection, "",
       "Connection refused"},
      {server + "--timeout 200 nop", "", kExitTimeout, "", "nop: no reply within 200 ms"},
      // With --json each reply is one object on a line of its own.
      {server + "--json register BNETD create udp 127.0.0.1 8080 delete tcp 127.0.0.1 9",
       Bytes(Encode(TRegisterReply{kProtocolVersion, kRegisterOk, 0, 1})) +
           Bytes(Encode(TAddressEntry{1, 0, htonl(0xFFFFFF00), htonl(0x0A000000), 6112, kProtoTcp, 1})) +
           Bytes(Encode(TNatReply{kNatOk, PublicPortBytes(htons(40123)), Loopback()})) +
           Bytes(Encode(TNatReply{kNatNotFound, {}, 0})),
       kExitNotFound,
       R"({"command":"register","name":"BNETD","protocol":4,"status":0,"result":"ok","server_version":4,)"
       R"("entries":[{"list":"exclude","index":0,"count":1,"address":"10.0.0.0","mask":"255.255.255.0",)"
       R"("port":6112,"proto":6}]})"
       "\n"
       R"({"command":"create","proto":17,"kind":"udp","target":{"address":"127.0.0.1","port":8080},)"
       R"("profile":0,"status":0,"result":"ok","public":{"address":"127.0.0.1","port":40123}})"
       "\n"
       R"({"command":"delete","proto":6,"kind":"tcp","target":{"address":"127.0.0.1","port":9},)"
       R"("profile":0,"status":3,"result":"not_found","public":null})"
       "\n",
       ""}};
  for (const auto& [args, replies, code, out, err] : cases) {
    TUniqueFd session;  // open until the tool has ended
    std::string first;  // the first request
    const TCtlRun run = RunCtl(args, [&, &args = args, &replies = replies] {
      if (args.rfind(server, 0) == 0) session = AcceptWithin(listener.Get());
      EXPECT_TRUE(!session || SendAll(session.Get(), replies));
      if (session) first = RecvExact(session.Get(), kPacketSize).value_or("");
    });
    // A target named localhost goes out as 127.0.0.1, after its port in
    // little-endian order (8080 = 0x1F90).
    EXPECT_TRUE(args.find(" localhost ") == std::string::npos ||
                first.substr(6, 6) == std::string("\x90\x1F\x7f\0\0\x01", 6))
        << args;
    EXPECT_EQ(run.Code, code) << args << ": " << run.Err;
    EXPECT_EQ(run.Out, out) << args;
    // A complaint ending in a newline is the whole of standard error.
    const std::string e = err;
    EXPECT_TRUE(e.ends_with('\n') ? run.Err == e
                : e.empty()       ? run.Err.empty()
                                  : run.Err.find(e) != std::string::npos)
        << args << ": " << run.Err;
  }
}

}  // namespace
}  // namespace quorvane::ctl
