// quorvane-ctl: its command line as a pure function, its client against
// replies scripted on a loopback socket, and the real executable's exit status.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstdio>
#include <iterator>
#include <sstream>

#include "TestSupport.h"
#include "requests/RequestPacket.h"
#include "servers/AddressHelpers.h"
#include "tools/CtlClient.h"

namespace quorvane::ctl {
namespace {

using namespace quorvane::test;

std::string Bytes(const TRequestPacket& packet) { return {packet.begin(), packet.end()}; }

// |line| (split at spaces) parsed: "host:port timeout [hold] | kind name vN proto addr:port pN"...
std::string ParseToText(const std::string& line) {
  std::istringstream words(line);
  const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
  const TParseResult r = ParseCommandLine({args.begin(), args.end()});
  if (!r.Options) return "error: " + r.Error;
  std::ostringstream text;
  text << r.Options->Host << ":" << r.Options->Port << " " << r.Options->TimeoutMs
       << (r.Options->Hold ? " hold" : "");
  for (const TCommand& c : r.Options->Commands)
    text << " | " << static_cast<int>(c.Kind) << " " << c.Name << " v" << c.Version << " " << int{c.Proto}
         << " " << AddrToStr(c.Address) << ":" << c.Port << " p" << int{c.Profile};
  return text.str();
}

TEST(CtlCommandLine, GoodLinesParseAndBadOnesNameTheCulprit) {
  EXPECT_EQ(ParseToText("nop"), "127.0.0.1:9989 5000 | 0  v4 6 0.0.0.0:0 p0");
  EXPECT_EQ(ParseToText("--server localhost:7000 --timeout 250 register BNETD --version 5 create 47 "
                        "192.168.0.10 6112 --profile 7 delete TCP 1.2.3.4 65535 --hold"),
            "localhost:7000 250 hold | 1 BNETD v5 6 0.0.0.0:0 p0 | 3  v4 47 192.168.0.10:6112 p7"
            " | 4  v4 6 1.2.3.4:65535 p0");
  // Bad lines as "ARGS|a piece of the complaint", separated by ';'.
  std::istringstream bad(
      "|no command;ping|'ping';register --version 4|NAME;register ABCDEFGHIJKLM|longer than 12;"
      "nop --version 4|--version;--profile 1 create tcp 1.2.3.4 1|--profile;create tcp 1.2.3.4|PROTO;"
      "create 256 1.2.3.4 1|'256';create tcp localhost 1|'localhost';create tcp 1.2.3.4 65536|'65536';"
      "create tcp 1.2.3.4 80x|'80x';create tcp 1.2.3.4 1 --profile|needs a value;--hold=1 nop|'--hold=1';"
      "--server localhost:0 nop|'localhost:0';--timeout 0 nop|'0'");
  for (std::string c; std::getline(bad, c, ';');) {
    const std::string text = ParseToText(c.substr(0, c.find('|')));
    EXPECT_TRUE(text.rfind("error: ", 0) == 0 && text.find(c.substr(c.find('|') + 1)) < text.size()) << c;
  }
}

// A connected client and the server's end of its session, for scripted replies.
struct Session {
  explicit Session(int timeout_ms = 5000, int wake_fd = -1) : client(timeout_ms, wake_fd) {
    EXPECT_TRUE(client.Connect("localhost", port)) << client.Error().Message;
    server = AcceptWithin(listener.get());
  }
  std::uint16_t port = 0;
  UniqueFd listener = ListenLoopback(&port);
  TCtlClient client;
  UniqueFd server;
};

TEST(CtlClient, RegisterReadsEveryEntryAndStaysInStepWithLaterReplies) {
  Session s;
  // 300 entries are announced as 44: reading only 44 would leave 256 to be taken for replies.
  std::string replies = Bytes(Encode(TRegisterReply{kProtocolVersion, kRegisterOk, 300 % 256, 1}));
  replies += Bytes(Encode(TAddressEntry{1, 0, 0, Loopback(), 6112, kProtoTcp, 1}));
  for (std::uint16_t i = 0; i < 300; ++i) replies += Bytes(Encode(TAddressEntry{300, i}));
  std::thread feeder([&] { SendAll(s.server.get(), replies + Bytes(Encode(TNop{1}))); });
  const auto result = s.client.Register("BNETD", 4);
  EXPECT_TRUE(s.client.Nop()) << s.client.Error().Message;
  ::shutdown(s.server.get(), SHUT_WR);  // frees the feeder should the client have stopped reading
  feeder.join();
  ASSERT_EQ(result ? result->Entries.size() : 0, 301u);
  EXPECT_EQ(result->Entries[0].Exclude, 1);  // the exclude list comes first
  EXPECT_EQ(result->Entries[300].EntryIndex, 299);
}

TEST(CtlClient, NatPortGoesOutLittleEndianAndPublicPortComesBackInHostOrder) {
  Session s;
  ASSERT_TRUE(SendAll(s.server.get(), Bytes(Encode(TNatReply{kNatOk, PublicPortBytes(htons(40123)), 7}))));
  const auto reply = s.client.Nat(TNatRequest{kProtoTcp, kNatCreate, 8080, Loopback(), 3});
  EXPECT_EQ(reply.value_or(TNatReply{}).PublicPort(), 40123) << s.client.Error().Message;
  EXPECT_EQ(RecvExact(s.server.get(), kPacketSize).value_or("").substr(6, 2), "\x90\x1F");  // 8080 = 0x1F90
}

TEST(CtlClient, AWakeEndsTheWaitForAReplyAtOnce) {
  TEvent wake;
  Session woken(20000, wake.Fd());  // a missed wake fails as a time-out
  wake.Set();
  EXPECT_FALSE(woken.client.Nop());
  EXPECT_EQ(woken.client.Error().Kind, TCtlFailure::kInterrupted);
}

TEST(CtlExe, ExitStatusNamesTheFailure) {
  std::uint16_t port = 0;
  const UniqueFd listener = ListenLoopback(&port);
  const UniqueFd bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // never listens
  ASSERT_TRUE(BindTo(bound.get(), Loopback(), 0));
  const std::string server = "--server=127.0.0.1:" + std::to_string(port) + " ";
  // Arguments, replies of the server, exit code, exact output, part of the complaint ("": none).
  const std::tuple<std::string, std::string, int, const char*, const char*> cases[] = {
      {"create tcp 1.2.3.4", "", kExitUsage, "", "usage: quorvane-ctl"},
      {server + "create tcp 127.0.0.1 8080 --profile 7 nop",
       Bytes(Encode(TNatReply{kNatOk, PublicPortBytes(htons(40123)), Loopback()})) + Bytes(Encode(TNop{1})),
       kExitOk, "create tcp 127.0.0.1:8080 profile 7: ok, public 127.0.0.1:40123\nnop: reply\n", ""},
      {server + "register old --version 3 nop", Bytes(Encode(TRegisterReply{4, kRegisterTooOld, 0, 0})),
       kExitRefused, "register: refused, version too old (server version 4)\n", ""},
      // A NAT failure leaves the session usable: the commands after it run.
      {server + "query udp 127.0.0.1 8080 nop", Bytes(Encode(TNatReply{})) + Bytes(Encode(TNop{1})),
       kExitNatFailed, "query udp 127.0.0.1:8080: not found\nnop: reply\n", ""},
      {"--server=127.0.0.1:" + std::to_string(LocalPort(bound.get())) + " nop", "", kExitConnection, "",
       "Connection refused"},
      {server + "--timeout 200 nop", "", kExitTimeout, "", "nop: no reply within 200 ms"}};
  for (const auto& [args, replies, code, out, err] : cases) {
    std::FILE* errors = std::tmpfile();
    ASSERT_TRUE(errors);
    const std::string errors_fd = std::to_string(::fileno(errors));
    std::FILE* output =
        ::popen(("exec timeout 20 " QUORVANE_CTL_EXE " " + args + " 2>/dev/fd/" + errors_fd).c_str(), "re");
    ASSERT_TRUE(output);
    UniqueFd session = args.rfind(server, 0) == 0 ? AcceptWithin(listener.get()) : UniqueFd();
    EXPECT_TRUE(!session || SendAll(session.get(), replies));
    char buffer[4096];  // fread waits for the end of the output, which "timeout 20" bounds
    const std::string printed(buffer, std::fread(buffer, 1, sizeof buffer, output));
    const int status = ::pclose(output);
    std::rewind(errors);
    const std::string complaint(buffer, std::fread(buffer, 1, sizeof buffer, errors));
    std::fclose(errors);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, code) << args << ": " << complaint;
    EXPECT_EQ(printed, out) << args;
    EXPECT_TRUE(*err ? complaint.find(err) != std::string::npos : complaint.empty()) << complaint;
  }
}

}  // namespace
}  // namespace quorvane::ctl
