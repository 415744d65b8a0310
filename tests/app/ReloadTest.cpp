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
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "app/ChildProcess.h"
#include "app/ServiceNotify.h"
#include "requests/RequestPacket.h"
#include "requests/ServerFixture.h"
#include "servers/AddressHelpers.h"

namespace quorvane::test {
namespace {

const std::string kReloaded = "quorvane: KELVARD.ini: configuration reloaded";
const std::string kNotReloaded = "quorvane: KELVARD.ini: error: not reloaded; the settings in force stay";

// The public address of a create of |proto| to 127.0.0.1:|target|, or "" on failure.
std::string CreatedAt(ControlClient& client, std::uint8_t proto, std::uint16_t target,
                      std::uint16_t* public_port = nullptr) {
  const TNatReply reply = client.Nat(kNatCreate, proto, Loopback(), target);
  if (reply.Status != kNatOk) return "";
  if (public_port != nullptr) *public_port = reply.PublicPort();
  return AddrToStr(reply.Address);
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

// Files --check refuses apply nothing, the policy in force least of all: an
// empty one, one written over by something else, ones cut short mid-line, one
// whose SERVER/HOST the next start could not listen on and one with an
// error. A good file applies to new creates only, names each change, and
// leaves the redirectors made before it relaying; the server still stops.
TEST(ReloadTest, ReloadsApplyOnlyGoodFilesToNewCreatesAndTheServerStillStopsCleanly) {
  const std::uint16_t port = FreePort();
  const std::string profile = "[UNKNOWN]\nHOST=127.0.0.1\n";
  ServerProcess server(port, profile + "[POLICY]\nDENY=127.0.0.0/255.0.0.0\n");
  ASSERT_TRUE(server.Serving());
  TcpEchoServer echo;
  ControlClient client(port);
  ASSERT_EQ(CreatedAt(client, kProtoUdp, echo.Port()), "");
  const std::string open = ServerIni(
      port, profile + "[LIMITS]\nSESSIONS_PER_ADDRESS=64\nUDP_BYTES_PER_PLAYER=0\n[POLICY]\nDENY=\n");
  const std::pair<std::string, std::string> refused[] = {
      {"empty", ""},
      {"written over", "#!/bin/sh\nexec true\n"},
      {"cut in a section name", open + "[POLI"},
      {"cut before '='", ServerIni(port, profile + "[POLICY]\nTARGETS=ANY\nDENY")},
      {"SERVER/HOST without IPv4",
       "[SERVER]\nHOST=::1\nPORT=" + std::to_string(port) + "\n[POLICY]\nDENY=\n"},
      {"an error", ServerIni(port, "[UNKNOWN]\nHOST=127.0.0.3\n[ADMIN]\nHOST=0.0.0.0\nPORT=1\n")},
  };
  for (const auto& [name, text] : refused) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(Reload(server, text, kNotReloaded));
    EXPECT_EQ(CreatedAt(client, kProtoUdp, echo.Port()), "");
  }

  ASSERT_TRUE(Reload(server, open, kReloaded));
  std::vector<std::string> changes;
  for (const auto& line : server.ErrLines())
    if (line.find(" -> ") != std::string::npos) changes.push_back(line);
  EXPECT_EQ(changes, (std::vector<std::string>{
                         "quorvane: KELVARD.ini: LIMITS/SESSIONS_PER_ADDRESS: 128 -> 64",
                         "quorvane: KELVARD.ini: LIMITS/UDP_BYTES_PER_PLAYER: 4194304 -> 0",
                         "quorvane: KELVARD.ini: POLICY/DENY: \"127.0.0.0/255.0.0.0\" -> \"\""}));
  std::uint16_t first_port = 0;
  EXPECT_EQ(CreatedAt(client, kProtoTcp, echo.Port(), &first_port), "127.0.0.1");

  // The next good one applies to new creates; the redirector made before keeps relaying.
  ASSERT_TRUE(Reload(server, ServerIni(port, "[UNKNOWN]\nHOST=127.0.0.2\n"), kReloaded));
  EXPECT_EQ(CreatedAt(client, kProtoUdp, echo.Port()), "127.0.0.2");
  TUniqueFd relayed = ConnectLoopback(first_port);
  EXPECT_TRUE(SendAll(relayed.Get(), "still") && RecvExact(relayed.Get(), 5) == "still");

  // The control port waits for a restart while the rest applies.
  const std::uint16_t other_port = FreePort();
  ASSERT_TRUE(Reload(server, ServerIni(other_port, "[UNKNOWN]\nHOST=127.0.0.3\n"), kReloaded));
  EXPECT_TRUE(HasLine(server.ErrLines(), "quorvane: KELVARD.ini:3: warning: SERVER/PORT changed to " +
                                             std::to_string(other_port) +
                                             "; it takes effect at the next restart, until then " +
                                             std::to_string(port) + " stays"));
  ControlClient late(port);
  EXPECT_EQ(CreatedAt(late, kProtoUdp, echo.Port() ^ 2), "127.0.0.3");

  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_TRUE(HasLine(server.Lines(), "Closing server"));
}

// The manager hears every state change, and a stop is not held up by a
// reload that cannot finish: one stuck on a pipe in place of the file, as a
// reload would wait for a resolver that does not answer.
TEST(ReloadTest, ServiceManagerHearsEveryStateChangeAndAStuckReloadHoldsUpNoStop) {
  const std::uint16_t port = FreePort();
  TempDir dir;
  // A datagram socket standing in for the service manager's.
  const TUniqueFd manager(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string notify_path = (dir.path / "notify").string();
  notify_path.copy(addr.sun_path, sizeof addr.sun_path - 1);
  ASSERT_EQ(::bind(manager.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ServerProcess server(port, "", {QUORVANE_EXE}, {"NOTIFY_SOCKET=" + notify_path});
  // Built without libsystemd, the server tells the manager nothing.
  const bool notifies = service::NotifyBuiltIn();
  // The next notification, within the time-out, begins with |state|.
  const auto heard = [&](const std::string& state) {
    if (!notifies) return true;
    char buffer[512];
    pollfd p{manager.Get(), POLLIN, 0};
    if (PollRetry(&p, 1, 10000) != 1) return false;
    const ssize_t n = ::recv(manager.Get(), buffer, sizeof buffer, 0);
    return n > 0 && std::string_view(buffer, static_cast<std::size_t>(n)).starts_with(state);
  };

  EXPECT_TRUE(heard("READY=1"));
  // Ready means the control port already takes connections.
  ASSERT_TRUE(notifies ? ConnectLoopback(port).Valid() : server.Serving());
  server.Signal(SIGHUP);
  EXPECT_TRUE(heard("RELOADING=1\n"));
  EXPECT_TRUE(heard("READY=1"));

  const auto file = server.path / "KELVARD.ini";
  std::filesystem::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
  server.Signal(SIGHUP);
  EXPECT_TRUE(heard("RELOADING=1\n"));
  TUniqueFd writer;
  // Opening the writing end without blocking succeeds only once a reader has it open.
  const auto open_writer = [&] {
    return (writer = TUniqueFd(::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC))).Valid();
  };
  ASSERT_TRUE(WaitUntil(open_writer, 10000ms));
  server.Signal(SIGTERM);
  EXPECT_TRUE(heard("STOPPING=1"));
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_TRUE(HasLine(server.Lines(), "Closing server"));
}

}  // namespace
}  // namespace quorvane::test
