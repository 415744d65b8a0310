// quorvane-ctl: its command line as a pure function, its client against a
// scripted stand-in server on loopback, and the real executable's output and
// exit status against the same stand-in.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "TestSupport.h"
#include "requests/RequestPacket.h"
#include "tools/CtlClient.h"

namespace quorvane::ctl {
namespace {

using namespace quorvane::test;

std::string Bytes(const TRequestPacket& packet) { return {packet.begin(), packet.end()}; }

std::uint32_t Dotted(const char* text) {
  in_addr addr{};
  ::inet_pton(AF_INET, text, &addr);
  return addr.s_addr;
}

// A stand-in for the requests server: one session at a time, each received
// packet answered with what the script returns.
class FakeServer {
 public:
  struct Answer {
    std::string bytes;   // sent as they are (empty: no answer)
    bool close = false;  // then end the session
  };
  using Script = std::function<Answer(const TRequestPacket&)>;

  explicit FakeServer(Script script) : script_(std::move(script)) {
    listener_ = ListenLoopback(&port_);
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeServer() {
    stop_.Set();
    thread_.join();
  }
  std::uint16_t Port() const { return port_; }
  std::vector<TRequestPacket> Requests() {
    std::lock_guard lock(mu_);
    return requests_;
  }
  // Sessions that ended because the client closed them.
  int ClosedByClient() const { return closed_by_client_.load(); }

 private:
  void Serve() {
    while (WaitFd(listener_.get(), POLLIN, stop_.Fd(), -1) == TWaitResult::Ready) {
      UniqueFd session(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (session) ServeSession(session.get());
    }
  }

  void ServeSession(int fd) {
    std::string buffer;
    while (WaitFd(fd, POLLIN, stop_.Fd(), -1) == TWaitResult::Ready) {
      char chunk[512];
      const ssize_t n = RecvSome(fd, chunk, sizeof chunk);
      if (n <= 0) {
        ++closed_by_client_;
        return;
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
      while (buffer.size() >= kPacketSize) {
        TRequestPacket packet;
        std::copy_n(buffer.begin(), kPacketSize, packet.begin());
        buffer.erase(0, kPacketSize);
        {
          std::lock_guard lock(mu_);
          requests_.push_back(packet);
        }
        const Answer answer = script_(packet);
        if (!SendAll(fd, answer.bytes) || answer.close) return;
      }
    }
  }

  Script script_;
  UniqueFd listener_;
  std::uint16_t port_ = 0;
  TEvent stop_;
  std::atomic<int> closed_by_client_{0};
  std::mutex mu_;
  std::vector<TRequestPacket> requests_;  // guarded by mu_
  std::thread thread_;
};

constexpr std::uint16_t kKnownPort = 8080;    // has a redirector
constexpr std::uint16_t kFailingPort = 9999;  // creating one fails
constexpr std::uint16_t kClosingPort = 7777;  // created, then the server ends the session
constexpr std::uint16_t kPublicPort = 40123;

// Answers like a server with one profile (1 exclude, 2 include entries) and
// one TCP redirector for 127.0.0.1:8080, published at 127.0.0.1:40123.
FakeServer::Answer Standard(const TRequestPacket& request) {
  switch (PacketType(request)) {
    case kPacketNop:
      return {Bytes(Encode(TNop{1}))};
    case kPacketRegisterRequest: {
      if (DecodeRegisterRequest(request).Version < kProtocolVersion) {
        return {Bytes(Encode(TRegisterReply{kProtocolVersion, kRegisterTooOld, 0, 0})), true};
      }
      std::string run = Bytes(Encode(TRegisterReply{kProtocolVersion, kRegisterOk, 2, 1}));
      run += Bytes(Encode(TAddressEntry{1, 0, Dotted("255.0.0.0"), Dotted("10.0.0.0"), 6112, kProtoTcp, 1}));
      run += Bytes(
          Encode(TAddressEntry{2, 0, Dotted("255.255.0.0"), Dotted("192.168.0.0"), 6112, kProtoTcp, 0}));
      run += Bytes(
          Encode(TAddressEntry{2, 1, Dotted("255.255.255.255"), Dotted("172.16.0.1"), 6112, kProtoTcp, 0}));
      return {run};
    }
    case kPacketNatRequest: {
      const TNatRequest nat = DecodeNatRequest(request);
      TNatReply reply;
      reply.Status = kNatNotFound;
      reply.PortBytes = EchoPortBytes(nat.Port);
      reply.Address = nat.Address;
      const bool known = nat.Proto == kProtoTcp && (nat.Port == kKnownPort || nat.Port == kClosingPort);
      if (known && nat.Action != kNatDelete) {
        reply.Status = kNatOk;
        reply.PortBytes = PublicPortBytes(htons(kPublicPort));
        reply.Address = Loopback();
      } else if (known) {
        reply.Status = kNatOk;
      } else if (nat.Action == kNatCreate && nat.Port == kFailingPort) {
        reply.Status = kNatFailed;
      }
      return {Bytes(Encode(reply)), nat.Port == kClosingPort};
    }
    default:
      return {};
  }
}

FakeServer::Answer Silent(const TRequestPacket&) { return {}; }

// The parsed command line in one line of text, for compact comparisons.
std::string ParseToText(std::vector<std::string_view> args) {
  const TParseResult result = ParseCommandLine(args);
  if (!result.Options) return "error: " + result.Error;
  const TCtlOptions& o = *result.Options;
  if (o.Help) return "help";
  std::ostringstream text;
  text << o.Host << ":" << o.Port << " timeout " << o.TimeoutMs << (o.Hold ? " hold" : "");
  const char* const names[] = {"nop", "register", "query", "create", "delete"};
  for (const TCommand& c : o.Commands) {
    text << " | " << names[static_cast<int>(c.Kind)];
    if (c.Kind == TCommandKind::kRegister) text << " " << c.Name << " v" << c.Version;
    if (c.Kind > TCommandKind::kRegister) {
      char address[INET_ADDRSTRLEN];
      ::inet_ntop(AF_INET, &c.Address, address, sizeof address);
      text << " " << int{c.Proto} << " " << address << ":" << c.Port << " p" << int{c.Profile};
    }
  }
  return text.str();
}

TEST(CtlCommandLine, AcceptsEveryCommandForm) {
  EXPECT_EQ(ParseToText({"nop"}), "127.0.0.1:9989 timeout 5000 | nop");
  EXPECT_EQ(ParseToText({"--server",     "10.1.2.3:7000", "--timeout", "250",    "register",
                         "BNETD",        "--version",     "5",         "create", "udp",
                         "192.168.0.10", "6112",          "--profile", "7",      "query",
                         "47",           "1.2.3.4",       "0",         "delete", "TCP",
                         "1.2.3.4",      "65535",         "nop",       "--hold"}),
            "10.1.2.3:7000 timeout 250 hold | register BNETD v5 | create 17 192.168.0.10:6112 p7"
            " | query 47 1.2.3.4:0 p0 | delete 6 1.2.3.4:65535 p0 | nop");
  EXPECT_EQ(ParseToText({"--server=localhost:1", "--timeout=1", "register", "ABCDEFGHIJKL"}),
            "localhost:1 timeout 1 | register ABCDEFGHIJKL v4");
  EXPECT_EQ(ParseToText({"--help"}), "help");
  EXPECT_EQ(ParseToText({"nop", "-h", "bogus"}), "help");
}

TEST(CtlCommandLine, RejectsMalformedArgumentsNamingTheCulprit) {
  const struct {
    std::vector<std::string_view> args;
    const char* fragment;
  } cases[] = {
      {{}, "no command"},
      {{"--hold"}, "no command"},
      {{"ping"}, "'ping'"},
      {{"register"}, "NAME"},
      {{"register", "--version", "4"}, "NAME"},
      {{"register", "ABCDEFGHIJKLM"}, "longer than 12"},
      {{"register", "x", "--version", "65536"}, "'65536'"},
      {{"nop", "--version", "4"}, "--version"},
      {{"--profile", "1", "create", "tcp", "1.2.3.4", "1"}, "--profile"},
      {{"create", "tcp", "1.2.3.4"}, "PROTO ADDRESS PORT"},
      {{"create", "icmp", "1.2.3.4", "1"}, "'icmp'"},
      {{"create", "256", "1.2.3.4", "1"}, "'256'"},
      {{"create", "tcp", "1.2.3", "1"}, "'1.2.3'"},
      {{"create", "tcp", "localhost", "1"}, "'localhost'"},
      {{"create", "tcp", "1.2.3.4", "65536"}, "'65536'"},
      {{"create", "tcp", "1.2.3.4", "80x"}, "'80x'"},
      {{"create", "tcp", "1.2.3.4", "-1"}, "PROTO ADDRESS PORT"},
      {{"create", "tcp", "1.2.3.4", "1", "--profile", "256"}, "'256'"},
      {{"create", "tcp", "1.2.3.4", "1", "--profile"}, "needs a value"},
      {{"--server", "localhost", "nop"}, "'localhost'"},
      {{"--server", "localhost:0", "nop"}, "'localhost:0'"},
      {{"--server", ":80", "nop"}, "':80'"},
      {{"--timeout", "0", "nop"}, "'0'"},
      {{"--timeout", "abc", "nop"}, "'abc'"},
      {{"--hold=1", "nop"}, "'--hold=1'"},
      {{"--bogus", "nop"}, "'--bogus'"},
  };
  for (const auto& c : cases) {
    const TParseResult result = ParseCommandLine(c.args);
    std::string line;
    for (const auto arg : c.args) line += std::string(arg) + " ";
    EXPECT_FALSE(result.Options) << line;
    EXPECT_NE(result.Error.find(c.fragment), std::string::npos) << line << "-> " << result.Error;
  }
}

TEST(CtlClient, RegisterReadsTheReplyAndBothAddressListsInOrder) {
  FakeServer server(Standard);
  TCtlClient client(5000);
  ASSERT_TRUE(client.Connect("127.0.0.1", server.Port())) << client.Error().Message;
  const auto result = client.Register("BNETD", 4);
  ASSERT_TRUE(result) << client.Error().Message;
  EXPECT_EQ(result->Reply.Status, kRegisterOk);
  EXPECT_EQ(result->Reply.IncludeCount, 2);
  EXPECT_EQ(result->Reply.ExcludeCount, 1);
  ASSERT_EQ(result->Entries.size(), 3u);
  EXPECT_EQ(result->Entries[0].Exclude, 1);
  EXPECT_EQ(result->Entries[0].Address, Dotted("10.0.0.0"));
  EXPECT_EQ(result->Entries[0].Port, 6112);
  EXPECT_EQ(result->Entries[1].Address, Dotted("192.168.0.0"));
  EXPECT_EQ(result->Entries[2].EntryIndex, 1);
  EXPECT_EQ(result->Entries[2].Exclude, 0);

  // The session stays framed: the next request gets its own reply.
  EXPECT_TRUE(client.Nop()) << client.Error().Message;
  const auto sent = server.Requests();
  ASSERT_EQ(sent.size(), 2u);
  const TRegisterRequest request = DecodeRegisterRequest(sent[0]);
  EXPECT_EQ(request.Version, 4);
  EXPECT_EQ(request.Name(), "BNETD");
  EXPECT_EQ(DecodeNop(sent[1]).IsReply, 0);

  // A list of 300 is announced as 44 (the count is kept modulo 256); reading
  // only 44 entries would leave 256 in the stream to be taken for replies.
  FakeServer long_list([](const TRequestPacket& request) {
    if (PacketType(request) == kPacketNop) return FakeServer::Answer{Bytes(Encode(TNop{1}))};
    std::string run = Bytes(Encode(TRegisterReply{kProtocolVersion, kRegisterOk, 300 % 256, 0}));
    for (std::uint16_t i = 0; i < 300; ++i)
      run += Bytes(Encode(TAddressEntry{300, i, 0, 0, 0, kProtoTcp, 0}));
    return FakeServer::Answer{run};
  });
  TCtlClient long_client(5000);
  ASSERT_TRUE(long_client.Connect("127.0.0.1", long_list.Port()));
  const auto long_result = long_client.Register("x", 4);
  ASSERT_TRUE(long_result) << long_client.Error().Message;
  EXPECT_EQ(long_result->Entries.size(), 300u);
  EXPECT_TRUE(long_client.Nop()) << long_client.Error().Message;
}

TEST(CtlClient, NatPortGoesOutLittleEndianAndPublicPortComesBackInHostOrder) {
  FakeServer server(Standard);
  TCtlClient client(5000);
  ASSERT_TRUE(client.Connect("localhost", server.Port())) << client.Error().Message;
  const auto created = client.Nat(TNatRequest{kProtoTcp, kNatCreate, kKnownPort, Loopback(), 3});
  ASSERT_TRUE(created) << client.Error().Message;
  EXPECT_EQ(created->Status, kNatOk);
  EXPECT_EQ(created->PublicPort(), kPublicPort);
  EXPECT_EQ(created->Address, Loopback());
  const auto missing = client.Nat(TNatRequest{kProtoUdp, kNatQuery, kKnownPort, Loopback(), 0});
  ASSERT_TRUE(missing) << client.Error().Message;
  EXPECT_EQ(missing->Status, kNatNotFound);

  const TRequestPacket wire = server.Requests().at(0);
  EXPECT_EQ(wire[4], kProtoTcp);
  EXPECT_EQ(wire[5], kNatCreate);
  EXPECT_EQ(wire[6], 0x90);  // 8080 = 0x1F90, low byte first
  EXPECT_EQ(wire[7], 0x1F);
  EXPECT_EQ(wire[12], 3);
}

TEST(CtlClient, FailuresAreToldApartInsteadOfHanging) {
  // Nothing listens on a bound but not listening socket: refused at once.
  UniqueFd bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(BindTo(bound.get(), Loopback(), 0));
  TCtlClient refused(5000);
  EXPECT_FALSE(refused.Connect("127.0.0.1", LocalPort(bound.get())));
  EXPECT_EQ(refused.Error().Kind, TCtlFailure::kConnect);

  FakeServer silent(Silent);
  TCtlClient waiting(200);
  ASSERT_TRUE(waiting.Connect("127.0.0.1", silent.Port()));
  EXPECT_FALSE(waiting.Nop());
  EXPECT_EQ(waiting.Error().Kind, TCtlFailure::kTimeout);

  TEvent wake;
  TCtlClient woken(60000, wake.Fd());
  ASSERT_TRUE(woken.Connect("127.0.0.1", silent.Port()));
  wake.Set();
  EXPECT_FALSE(woken.Nop());
  EXPECT_EQ(woken.Error().Kind, TCtlFailure::kInterrupted);

  FakeServer half([](const TRequestPacket&) {
    return FakeServer::Answer{Bytes(Encode(TNop{1})).substr(0, 100), true};
  });
  TCtlClient cut(5000);
  ASSERT_TRUE(cut.Connect("127.0.0.1", half.Port()));
  EXPECT_FALSE(cut.Nop());
  EXPECT_EQ(cut.Error().Kind, TCtlFailure::kClosed);

  FakeServer confused([](const TRequestPacket&) { return FakeServer::Answer{Bytes(Encode(TNatReply{}))}; });
  TCtlClient wrong(5000);
  ASSERT_TRUE(wrong.Connect("127.0.0.1", confused.Port()));
  EXPECT_FALSE(wrong.Nop());
  EXPECT_EQ(wrong.Error().Kind, TCtlFailure::kProtocol);
}

// One run of the real quorvane-ctl with its output captured in files.
class CtlProcess {
 public:
  explicit CtlProcess(const std::vector<std::string>& args)
      : out_(OpenTemp(&out_path_)), err_(OpenTemp(&err_path_)) {
    std::vector<char*> argv{const_cast<char*>(QUORVANE_CTL_EXE)};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err_.get(), 2);
    if (posix_spawn(&pid_, QUORVANE_CTL_EXE, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~CtlProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
    }
    ::unlink(out_path_.c_str());
    ::unlink(err_path_.c_str());
  }

  // Exit code, or -1 when it did not exit by itself within |limit|.
  int Wait(std::chrono::milliseconds limit = 20000ms) {
    exited_ = exited_ || WaitUntil([&] { return ::waitpid(pid_, &status_, WNOHANG) == pid_; }, limit);
    return exited_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  std::string Out() const { return Read(out_path_); }
  std::string Err() const { return Read(err_path_); }

 private:
  static UniqueFd OpenTemp(std::string* path) {
    std::string pattern = testing::TempDir() + "ctl-XXXXXX";
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    *path = pattern;
    return fd;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string out_path_, err_path_;
  UniqueFd out_, err_;
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
};

std::string ServerArg(const FakeServer& server) {
  return "--server=127.0.0.1:" + std::to_string(server.Port());
}

TEST(CtlExe, PrintsEveryReplyDecodedOneLineEach) {
  FakeServer server(Standard);
  CtlProcess ctl({ServerArg(server), "nop", "register", "BNETD", "create", "tcp", "127.0.0.1", "8080",
                  "--profile", "7", "delete", "tcp", "127.0.0.1", "8080"});
  EXPECT_EQ(ctl.Wait(), kExitOk) << ctl.Err();
  EXPECT_EQ(ctl.Out(),
            "nop: reply\n"
            "register: ok (version 4, 2 include, 1 exclude)\n"
            "  exclude 0/1: 10.0.0.0/255.0.0.0 port 6112\n"
            "  include 0/2: 192.168.0.0/255.255.0.0 port 6112\n"
            "  include 1/2: 172.16.0.1/255.255.255.255 port 6112\n"
            "create tcp 127.0.0.1:8080 profile 7: ok, public 127.0.0.1:40123\n"
            "delete tcp 127.0.0.1:8080: ok\n");
  EXPECT_EQ(ctl.Err(), "");
  EXPECT_EQ(server.Requests().size(), 4u);
}

TEST(CtlExe, ExitStatusNamesTheFailure) {
  FakeServer server(Standard);
  FakeServer silent(Silent);
  UniqueFd bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_TRUE(BindTo(bound.get(), Loopback(), 0));
  const std::string nobody = "--server=127.0.0.1:" + std::to_string(LocalPort(bound.get()));
  const struct {
    std::vector<std::string> args;
    int code;
    const char* out;
    const char* err;
  } cases[] = {
      {{"create", "tcp", "1.2.3.4"}, kExitUsage, "", "usage: quorvane-ctl"},
      {{ServerArg(server), "register", "old", "--version", "3", "nop"},
       kExitRefused,
       "register: refused, version too old (server version 4)\n",
       ""},
      // A NAT failure leaves the session usable: the commands after it run.
      {{ServerArg(server), "query", "udp", "127.0.0.1", "8080", "create", "17", "10.0.0.1", "9999", "nop"},
       kExitNatFailed,
       "query udp 127.0.0.1:8080: not found\ncreate udp 10.0.0.1:9999: failed\nnop: reply\n",
       ""},
      {{nobody, "nop"}, kExitConnection, "", "Connection refused"},
      {{ServerArg(silent), "--timeout", "200", "nop"}, kExitTimeout, "", "nop: no reply within 200 ms"},
  };
  for (const auto& c : cases) {
    CtlProcess ctl(c.args);
    EXPECT_EQ(ctl.Wait(), c.code) << c.args.back() << ": " << ctl.Err();
    EXPECT_EQ(ctl.Out(), c.out);
    EXPECT_NE(ctl.Err().find(c.err), std::string::npos) << ctl.Err();
  }
}

TEST(CtlExe, HoldKeepsTheSessionUntilASignalOrTheServerEndsIt) {
  FakeServer server(Standard);
  CtlProcess held({ServerArg(server), "--hold", "create", "tcp", "127.0.0.1", "8080"});
  ASSERT_TRUE(WaitUntil([&] { return held.Out().find("ok, public") != std::string::npos; })) << held.Err();
  EXPECT_FALSE(WaitUntil([&] { return server.ClosedByClient() > 0; }, 200ms));
  held.Signal(SIGTERM);
  EXPECT_EQ(held.Wait(), kExitOk) << held.Err();
  EXPECT_TRUE(WaitUntil([&] { return server.ClosedByClient() == 1; }));

  CtlProcess dropped({ServerArg(server), "--hold", "create", "tcp", "127.0.0.1", "7777"});
  EXPECT_EQ(dropped.Wait(), kExitConnection);
  EXPECT_NE(dropped.Err().find("the server closed the session"), std::string::npos) << dropped.Err();

  // A signal also ends a wait for a reply, long before its time-out.
  FakeServer silent(Silent);
  CtlProcess waiting({ServerArg(silent), "--timeout", "600000", "nop"});
  ASSERT_TRUE(WaitUntil([&] { return silent.Requests().size() == 1; }));
  waiting.Signal(SIGINT);
  EXPECT_EQ(waiting.Wait(), kExitInterrupted) << waiting.Err();
}

}  // namespace
}  // namespace quorvane::ctl
