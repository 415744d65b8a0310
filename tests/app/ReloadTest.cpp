// SIGHUP on the real server: a new file applies to requests from then on,
// a broken one changes nothing, and neither a reload nor one stuck in a read
// keeps the server from stopping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "app/ChildProcess.h"
#include "app/ServiceNotify.h"
#include "requests/RequestPacket.h"
#include "servers/AddressHelpers.h"
#include "tools/CtlClient.h"

namespace quorvane::test {
namespace {

constexpr std::uint8_t kProtoUdp = 17;
const std::string kReloaded = "quorvane: KELVARD.ini: configuration reloaded";
const std::string kNotReloaded = "quorvane: KELVARD.ini: error: not reloaded; the settings in force stay";

// The public address of a create of |proto| to 127.0.0.1:|target|, or "" on failure.
std::string CreatedAt(ctl::TCtlClient& client, std::uint8_t proto, std::uint16_t target,
                      std::uint16_t* public_port = nullptr) {
  const auto reply = client.Nat({proto, kNatCreate, target, Loopback(), 0});
  if (!reply || reply->Status != kNatOk) return "";
  if (public_port != nullptr) *public_port = reply->PublicPort();
  return AddrToStr(reply->Address);
}

// Writes |text| over the server's file and sends SIGHUP: true once one more
// |verdict| line has come.
bool Reload(ServerProcess& server, const std::string& text, const std::string& verdict) {
  const auto count = [&] { return std::count(server.ErrLines().begin(), server.ErrLines().end(), verdict); };
  const auto before = count();
  server.Write("KELVARD.ini", text);
  server.Signal(SIGHUP);
  return server.WaitUntil([&] { return count() == before + 1; });
}

// A server whose profile 0 announces 127.0.0.1, with a TCP redirector made
// before any reload; its file is rewritten and SIGHUP sent, reload by reload.
TEST(ReloadTest, ReloadsApplyOnlyGoodFilesToNewCreatesAndTheServerStillStopsCleanly) {
  const std::uint16_t port = FreePort();
  ServerProcess server(port, "[UNKNOWN]\nHOST=127.0.0.1\n");
  ASSERT_TRUE(server.Serving());
  TcpEchoServer echo;
  ctl::TCtlClient client(5000);
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  std::uint16_t first_port = 0;
  EXPECT_EQ(CreatedAt(client, kProtoTcp, echo.Port(), &first_port), "127.0.0.1");
  const auto reload = [&](std::uint16_t new_port, const std::string& more_ini, const std::string& verdict) {
    return Reload(server, ServerIni(new_port, more_ini), verdict);
  };

  // A file with an error changes nothing.
  ASSERT_TRUE(reload(port, "[UNKNOWN]\nHOST=127.0.0.3\n[ADMIN]\nHOST=0.0.0.0\nPORT=1\n", kNotReloaded));
  EXPECT_EQ(CreatedAt(client, kProtoUdp, echo.Port() ^ 1), "127.0.0.1");

  // A good one applies to new creates; the redirector made before keeps relaying.
  ASSERT_TRUE(reload(port, "[UNKNOWN]\nHOST=127.0.0.2\n", kReloaded));
  EXPECT_EQ(CreatedAt(client, kProtoUdp, echo.Port()), "127.0.0.2");
  TUniqueFd relayed = ConnectLoopback(first_port);
  ASSERT_TRUE(SendAll(relayed.Get(), "still"));
  EXPECT_EQ(RecvExact(relayed.Get(), 5), "still");

  // The control port waits for a restart while the rest applies.
  const std::uint16_t other_port = FreePort();
  ASSERT_TRUE(reload(other_port, "[UNKNOWN]\nHOST=127.0.0.3\n", kReloaded));
  EXPECT_TRUE(HasLine(server.ErrLines(), "quorvane: KELVARD.ini:3: warning: SERVER/PORT changed to " +
                                             std::to_string(other_port) +
                                             "; it takes effect at the next restart, until then " +
                                             std::to_string(port) + " stays"));
  ctl::TCtlClient late(5000);
  ASSERT_TRUE(late.Connect("127.0.0.1", port));
  EXPECT_EQ(CreatedAt(late, kProtoUdp, echo.Port() ^ 2), "127.0.0.3");

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_TRUE(HasLine(server.Lines(), "Closing server"));
}

// Files --check refuses apply nothing, the policy in force least of all: an
// empty one, one written over by something else, ones cut short mid-line,
// and one whose SERVER/HOST the next start could not listen on. A good file
// that weakens the policy applies, and says what it changed.
TEST(ReloadTest, RefusedFilesKeepThePolicyAndAnAppliedOneNamesEachChange) {
  const std::uint16_t port = FreePort();
  const std::string profile = "[UNKNOWN]\nHOST=127.0.0.1\n";
  ServerProcess server(port, profile + "[POLICY]\nDENY=127.0.0.0/255.0.0.0\n");
  ASSERT_TRUE(server.Serving());
  ctl::TCtlClient client(5000);
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  const std::uint16_t target = FreePort();
  ASSERT_EQ(CreatedAt(client, kProtoUdp, target), "");
  const std::string open = ServerIni(
      port, profile + "[LIMITS]\nSESSIONS_PER_ADDRESS=64\nUDP_BYTES_PER_PLAYER=0\n[POLICY]\nDENY=\n");
  const std::pair<std::string, std::string> refused[] = {
      {"empty", ""},
      {"written over", "#!/bin/sh\nexec true\n"},
      {"cut in a section name", open + "[POLI"},
      {"cut before '='", ServerIni(port, profile + "[POLICY]\nTARGETS=ANY\nDENY")},
      {"SERVER/HOST without IPv4",
       "[SERVER]\nHOST=::1\nPORT=" + std::to_string(port) + "\n[POLICY]\nDENY=\n"},
  };
  for (const auto& [name, text] : refused) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(Reload(server, text, kNotReloaded));
    EXPECT_EQ(CreatedAt(client, kProtoUdp, target), "");
  }

  ASSERT_TRUE(Reload(server, open, kReloaded));
  std::vector<std::string> changes;
  std::copy_if(server.ErrLines().begin(), server.ErrLines().end(), std::back_inserter(changes),
               [](const std::string& line) { return line.find(" -> ") != std::string::npos; });
  const std::vector<std::string> expected = {
      "quorvane: KELVARD.ini: LIMITS/SESSIONS_PER_ADDRESS: 128 -> 64",
      "quorvane: KELVARD.ini: LIMITS/UDP_BYTES_PER_PLAYER: 4194304 -> 0",
      "quorvane: KELVARD.ini: POLICY/DENY: \"127.0.0.0/255.0.0.0\" -> \"\""};
  EXPECT_EQ(changes, expected);
  EXPECT_EQ(CreatedAt(client, kProtoUdp, target), "127.0.0.1");
}

TEST(ReloadTest, StopIsNotHeldUpByAReloadThatCannotFinish) {
  ServerProcess server(FreePort());
  ASSERT_TRUE(server.Serving());
  const auto file = server.path / "KELVARD.ini";

  // The reload opens a pipe in place of the file and waits for its writer,
  // then for bytes that never come: as a reload would wait for a resolver
  // that does not answer.
  std::filesystem::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  server.Signal(SIGHUP);
  TUniqueFd writer;
  // Opening the writing end without blocking succeeds only once a reader has it open.
  ASSERT_TRUE(WaitUntil(
      [&] {
        writer.Reset(::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        return writer.Valid();
      },
      10000ms));

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_TRUE(HasLine(server.Lines(), "Closing server"));
}

// A datagram socket standing in for the service manager's notification socket.
struct NotifySocket {
  explicit NotifySocket(const std::filesystem::path& at) : path(at) {
    fd.Reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound = ::bind(fd.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  }
  // The next notification within the time-out, or "".
  std::string Next() {
    pollfd p{fd.Get(), POLLIN, 0};
    if (PollRetry(&p, 1, 10000) <= 0) return "";
    char buffer[512];
    const ssize_t n = ::recv(fd.Get(), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }
  std::filesystem::path path;
  TUniqueFd fd;
  bool bound = false;
};

TEST(ReloadTest, ServiceManagerHearsEveryStateChange) {
  if (!service::NotifyBuiltIn()) GTEST_SKIP() << "built without libsystemd";
  const std::uint16_t port = FreePort();
  TempDir dir;
  NotifySocket manager(dir.path / "notify");
  ASSERT_TRUE(manager.bound);
  ServerProcess server(port, "", {QUORVANE_EXE}, {"NOTIFY_SOCKET=" + manager.path.string()});

  EXPECT_EQ(manager.Next(), "READY=1");
  // Ready means the control port already takes connections.
  EXPECT_TRUE(ConnectLoopback(port).Valid());
  server.Signal(SIGHUP);
  EXPECT_EQ(manager.Next().rfind("RELOADING=1\n", 0), 0u);
  EXPECT_EQ(manager.Next(), "READY=1");
  server.Signal(SIGTERM);
  EXPECT_EQ(manager.Next(), "STOPPING=1");
  EXPECT_EQ(server.WaitExit(), 0);
}

}  // namespace
}  // namespace quorvane::test
