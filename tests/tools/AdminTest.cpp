// quorvane-ctl list, sessions, status and players against a small admin
// endpoint faked on 127.0.0.1: the tables and totals it prints, the JSON
// passed through, the token, and an exit code of its own for each way the
// endpoint can fail, also when --json reports the failure. The real
// endpoint's documents reach quorvane-ctl in tests/admin.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "TestSupport.h"
#include "app/ChildProcess.h"
#include "tools/CtlExitCode.h"

namespace quorvane::ctl {
namespace {

using namespace quorvane::test;

const char kRedirectors[] = R"({"redirectors":[
 {"proto":6,"kind":"tcp","target":{"address":"192.168.0.10","port":6112},
  "public":{"address":"203.0.113.7","port":40123},"owner":{"address":"192.168.0.10","port":50312},
  "created_at":"2026-12-06T23:40:00Z","open":3,"opened":10,"bytes_to_target":123,"bytes_from_target":456789,
  "datagrams_to_target":0,"datagrams_from_target":0,"last_activity":"2026-12-06T23:41:00Z",
  "players":3,"dropped":0,"held":2},
 {"proto":17,"kind":"udp","target":{"address":"10.1.2.3","port":53},
  "public":{"address":"203.0.113.7","port":5},"owner":{"address":"10.1.2.3","port":1},
  "created_at":"2026-12-06T23:42:00Z","open":0,"opened":0,"bytes_to_target":0,"bytes_from_target":0,
  "datagrams_to_target":0,"datagrams_from_target":0,"last_activity":null,"players":0,"dropped":70,"held":0}]})";

const char kPlayers[] =
    R"({"redirector":{"proto":17,"kind":"udp","target":"10.1.2.3:53","public":"203.0.113.7:5"},
 "players":[{"remote":"198.51.100.7:5555","started_at":"2026-12-06T23:42:00Z",
  "last_activity":"2026-12-06T23:42:05Z","bytes_to_target":3000,"bytes_from_target":40,
  "datagrams_to_target":2,"datagrams_from_target":1,"connecting":false,"held":true}]})";

const char kSessions[] = R"({"sessions":[
 {"peer":{"address":"192.168.0.10","port":50312},"registered":true,"name":"BNETD\u001b[2J","version":4,
  "profile":6,"connected_at":"2026-12-06T23:40:00Z","redirectors":[{},{}]},
 {"peer":{"address":"10.1.2.3","port":1},"registered":false,"name":"","version":0,"profile":0,
  "connected_at":"2026-12-06T23:42:00Z","redirectors":[]}]})";

const char kStatus[] = R"({"version":"0.4","commit":"abc1234","started_at":"2026-12-06T23:40:00Z",
 "uptime_seconds":3725,"sessions":{"open":2,"accepted":5},"redirectors":{"tcp":1,"udp":2},
 "tcp_relays":{"open":3,"total":9},"udp_sessions":{"open":4,"expired":1,"evicted":0},
 "bytes":{"to_target":1,"from_target":2048},"datagrams":{"to_target":3,"from_target":4},
 "refusals":{"SESSIONS_PER_ADDRESS":0,"REDIRECTORS_PER_ADDRESS":0,"CONNECTIONS_PER_ADDRESS":0,
 "DESCRIPTOR_RESERVE":0,"THREADS":0,"TARGETS":2,"DENY":7,"OWNER_ONLY":0},"log_lines_dropped":0,
 "descriptors":{"open":30,"limit":1048576}})";

// Answers each GET on its own connection, then closes it, as the real
// endpoint does for "Connection: close". Without the bearer token: 401.
// /api/status comes chunked, /api/redirectors with a Content-Length.
class FakeAdmin {
 public:
  explicit FakeAdmin(std::string token) : token_(std::move(token)) {
    thread_ = std::thread([this] { Serve(); });
  }
  ~FakeAdmin() {
    stop_.Set();
    thread_.join();
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void Serve() {
    for (;;) {
      if (WaitFd(listener_.Get(), POLLIN, stop_.Fd(), -1) != TWaitResult::kReady) return;
      const TUniqueFd connection(::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      std::string request;
      while (connection && request.find("\r\n\r\n") == std::string::npos) {
        if (WaitFd(connection.Get(), POLLIN, stop_.Fd(), 5000) != TWaitResult::kReady) return;
        char buffer[4096];
        const ssize_t n = RecvSome(connection.Get(), buffer, sizeof buffer);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      SendAll(connection.Get(), Reply(request));
    }
  }

  std::string Reply(const std::string& request) const {
    if (request.find("\r\nAuthorization: Bearer " + token_ + "\r\n") == std::string::npos)
      return "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n";
    const std::pair<std::string, std::string> documents[] = {
        {"/api/redirectors", kRedirectors},
        {"/api/sessions", kSessions},
        {"/api/redirectors/udp/10.1.2.3/53/players", kPlayers}};
    for (const auto& [path, document] : documents)
      if (request.starts_with("GET " + path + " HTTP/1.1\r\n"))
        return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(document.size()) + "\r\n\r\n" + document;
    if (request.rfind("GET /api/status HTTP/1.1\r\n", 0) == 0) {
      const std::string body = kStatus;
      const std::size_t half = body.size() / 2;
      const auto chunk = [](const std::string& data) {
        char size[16];
        std::snprintf(size, sizeof size, "%zx", data.size());
        return std::string(size) + "\r\n" + data + "\r\n";
      };
      return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunk(body.substr(0, half)) +
             chunk(body.substr(half)) + "0\r\n\r\n";
    }
    return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
  }

  const std::string token_;
  std::uint16_t port_ = 0;
  TUniqueFd listener_ = ListenLoopback(&port_);
  TEvent stop_;
  std::thread thread_;
};

TEST(CtlAdmin, ListTableStatusTotalsAndJsonMatchTheEndpointsDocuments) {
  FakeAdmin admin("s3cret");
  // Arguments, environment, exact output. A name's control characters do not
  // reach the terminal; the token may come from the environment, out of sight
  // of the process list.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"--token s3cret list", "",
       "PROTO  TARGET             PUBLIC             OWNER               OPEN  OPENED  TO-TARGET  FROM-TARGET"
       "  CAPPED  CREATED               LAST-ACTIVITY\n"
       "tcp    192.168.0.10:6112  203.0.113.7:40123  192.168.0.10:50312     3      10      123 B    446.1 KiB"
       "  2 held  2026-12-06T23:40:00Z  2026-12-06T23:41:00Z\n"
       "udp    10.1.2.3:53        203.0.113.7:5      10.1.2.3:1             0       0   0 B/0 dg     0 B/0 dg"
       "   70 dg  2026-12-06T23:42:00Z  -\n"},
      {"--token s3cret players udp 10.1.2.3 53", "",
       "REMOTE             STARTED               LAST-ACTIVITY            TO-TARGET  FROM-TARGET  STATE\n"
       "198.51.100.7:5555  2026-12-06T23:42:00Z  2026-12-06T23:42:05Z  2.9 KiB/2 dg    40 B/1 dg  held\n"},
      {"--token s3cret sessions", "",
       "PEER                NAME       VERSION  PROFILE  CONNECTED             REDIRECTORS\n"
       "192.168.0.10:50312  BNETD?[2J        4        6  2026-12-06T23:40:00Z            2\n"
       "10.1.2.3:1          -                -        0  2026-12-06T23:42:00Z            0\n"},
      {"status", "QUORVANE_ADMIN_TOKEN=s3cret",
       "version:            0.4 (commit abc1234)\n"
       "up:                 1h 2m 5s, since 2026-12-06T23:40:00Z\n"
       "sessions:           2 open, 5 accepted\n"
       "redirectors:        1 tcp, 2 udp\n"
       "tcp relays:         3 open, 9 in total\n"
       "udp sessions:       4 open, 1 expired, 0 evicted\n"
       "to targets:         1 B, 3 datagrams\n"
       "from targets:       2.0 KiB, 4 datagrams\n"
       "refusals:           TARGETS 2, DENY 7\n"
       "descriptors:        30 open, limit 1048576\n"
       "log lines dropped:  0\n"},
      // --json passes the endpoint's documents through, one per line.
      {"--json --token s3cret list status", "",
       nlohmann::ordered_json::parse(kRedirectors).dump() + "\n" +
           nlohmann::ordered_json::parse(kStatus).dump() + "\n"}};
  for (const auto& [args, env, out] : cases) {
    const TCtlRun run = RunCtl("--admin " + admin.Address() + " " + args, {}, env);
    EXPECT_EQ(run.Code, kExitOk) << args << ": " << run.Err;
    EXPECT_EQ(run.Out, out) << args;
  }
}

TEST(CtlAdmin, EachWayTheEndpointFailsHasItsOwnExitCode) {
  FakeAdmin admin("s3cret");
  const TUniqueFd bound(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));  // never listens
  ASSERT_TRUE(BindTo(bound.Get(), Loopback(), 0));
  std::uint16_t silent_port = 0;
  const TUniqueFd silent = ListenLoopback(&silent_port);  // the kernel completes handshakes; nobody answers
  const std::tuple<std::string, int, std::string> cases[] = {
      {"--admin " + admin.Address() + " list", kExitHttpError, "HTTP 401 Unauthorized (no token given"},
      {"--admin " + admin.Address() + " --token wrong status", kExitHttpError, "HTTP 401"},
      {"--admin 127.0.0.1:" + std::to_string(LocalPort(bound.Get())) + " list", kExitConnection,
       "Connection refused"},
      {"--admin 127.0.0.1:" + std::to_string(silent_port) + " --timeout 300 list", kExitTimeout,
       "list: no reply within 300 ms"},
      // With --json a failure is an object on standard output.
      {"--json --admin " + admin.Address() + " sessions", kExitHttpError,
       R"({"command":"sessions","error":")" + admin.Address() +
           R"( answered HTTP 401 Unauthorized (no token)"},
      {"--json --admin " + admin.Address() + " --token wrong remove tcp 127.0.0.1 1", kExitHttpError,
       R"x( (wrong token?)","status":401})x"},
      {"--admin " + admin.Address() + " --token s3cret players tcp 10.1.2.3 53", kExitNotFound,
       "quorvane-ctl: players tcp 10.1.2.3:53: no such redirector\n"},
      {"--json --admin 127.0.0.1:" + std::to_string(LocalPort(bound.Get())) + " status", kExitConnection,
       R"({"command":"status","error":"cannot connect)"}};
  for (const auto& [args, code, complaint] : cases) {
    const TCtlRun run = RunCtl(args);
    const bool json = args.starts_with("--json");
    EXPECT_EQ(run.Code, code) << args << ": " << run.Err;
    EXPECT_EQ(json ? run.Err : run.Out, "") << args;
    EXPECT_NE((json ? run.Out : run.Err).find(complaint), std::string::npos)
        << args << ": " << run.Out << run.Err;
  }
}

}  // namespace
}  // namespace quorvane::ctl
