// The admin endpoint through the real thing: an in-process requests server
// with its relay engine and an admin endpoint on 127.0.0.1 (system-chosen
// ports), spoken to with raw HTTP bytes, with the real quorvane-ctl, and
// with a headless browser.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "admin/AdminServer.h"
#include "app/ChildProcess.h"
#include "requests/RedirectorFactory.h"
#include "requests/ServerFixture.h"
#include "runtime/Clock.h"
#include "servers/ConnectFailures.h"
#include "servers/UDPRedirector.h"
#include "tools/CtlExitCode.h"

namespace quorvane::test {
namespace {

using TJson = nlohmann::json;

struct HttpReply {
  int Status = 0;
  std::string Head;
  std::string Body;
};

// Everything |fd| receives until the peer closes (or resets) it; nothing
// when it falls silent for 10 s.
std::optional<std::string> ReadToClose(int fd) {
  std::string data;
  char buffer[65536];
  while (WaitFd(fd, POLLIN, -1, 10000) == TWaitResult::kReady) {
    const ssize_t n = RecvSome(fd, buffer, sizeof buffer);
    if (n <= 0) return data;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// Sends |request| (raw bytes) on a connection of its own from |from|
// (network order) and reads the answer to the server's close.
std::optional<HttpReply> Exchange(std::uint16_t port, const std::string& request,
                                  std::uint32_t from = Loopback()) {
  const TUniqueFd fd = ConnectFrom(from, port);
  if (!fd) return std::nullopt;
  // As much as fits at once: the server may stop reading a request early.
  SendSome(fd.Get(), request.data(), request.size(), MSG_DONTWAIT);
  const std::string data = ReadToClose(fd.Get()).value_or("");
  const std::size_t end = data.find("\r\n\r\n");
  if (!data.starts_with("HTTP/1.1 ") || end == std::string::npos) return std::nullopt;
  return HttpReply{std::atoi(data.c_str() + 9), data.substr(0, end + 2), data.substr(end + 4)};
}

HttpReply Http(std::uint16_t port, const std::string& method, const std::string& path,
               const std::string& headers = "", std::uint32_t from = Loopback()) {
  const auto reply = Exchange(port,
                              method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                  "\r\n" + headers + "\r\n",
                              from);
  EXPECT_TRUE(reply) << method << " " << path << ": no answer";
  return reply.value_or(HttpReply{});
}

TJson Json(std::uint16_t port, const std::string& path) {
  const HttpReply reply = Http(port, "GET", path);
  EXPECT_EQ(reply.Status, 200) << path << ": " << reply.Body;
  return TJson::parse(reply.Body, nullptr, false);
}

// Parses the Prometheus text format strictly: every family has one HELP
// and one TYPE line, every sample belongs to a family declared before it,
// all samples of a family carry the same label names, counters end in
// _total, and no series appears twice. Returns "name{labels}" -> value;
// |problem| says what was wrong.
std::map<std::string, double> ParseMetrics(const std::string& text, std::string* problem) {
  static const std::regex kComment(R"(# (HELP|TYPE) (\w+) (.*))");
  static const std::regex kSample(R"(((\w+)(\{(.*)\})?) (\S+))");
  static const std::regex kLabel(R"((\w+)="(?:[^"\\]|\\.)*")");
  std::map<std::string, double> samples;
  std::map<std::string, std::string> helped, typed, labels;  // family -> help, type, label names
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_match(line, m, kComment)) {
      const std::string name = m[2], type = m[3];
      if (!(m[1] == "HELP" ? helped : typed).emplace(name, type).second) *problem = "second " + line;
      if (m[1] == "TYPE" &&
          (!helped.contains(name) || (type != "counter" && type != "gauge" && type != "histogram") ||
           (type == "counter" && !name.ends_with("_total"))))
        *problem = "bad TYPE: " + line;
      continue;
    }
    const std::string name = std::regex_match(line, m, kSample) ? m[2].str() : "";
    // A histogram's samples are named after its family with a suffix.
    const auto family = typed.find(name.substr(0, name.rfind('_')));
    const bool histogram = family != typed.end() && family->second == "histogram" &&
                           (name.ends_with("_bucket") || name.ends_with("_sum") || name.ends_with("_count"));
    if (name.empty() || !(typed.contains(name) || histogram)) {
      *problem = "sample of no declared family: " + line;
      continue;
    }
    const std::string inner = m[4], value = m[5];
    std::string names;
    for (std::sregex_iterator it(inner.begin(), inner.end(), kLabel), end; it != end; ++it)
      names += (*it)[1].str() + ",";
    if (labels.emplace(name, names).first->second != names)
      *problem = "labels unlike the family's others: " + line;
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (*end != '\0' || !samples.emplace(m[1], number).second) *problem = "bad or repeated sample: " + line;
  }
  return samples;
}

std::map<std::string, double> Metrics(std::uint16_t port) {
  const HttpReply reply = Http(port, "GET", "/metrics");
  EXPECT_EQ(reply.Status, 200);
  EXPECT_NE(reply.Head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << reply.Head;
  std::string problem;
  auto samples = ParseMetrics(reply.Body, &problem);
  EXPECT_EQ(problem, "");
  return samples;
}

// Expects each key of |expected| in |actual| with the same value.
void ExpectFields(const TJson& actual, const TJson& expected) {
  for (const auto& [key, value] : expected.items()) EXPECT_EQ(actual.value(key, TJson()), value) << key;
}

bool EchoesThroughTcp(int fd, const std::string& data) {
  return SendAll(fd, data) && RecvExact(fd, data.size()) == data;
}

class AdminServerTest : public ServerFixture {
 protected:
  void SetUp() override {
    ServerFixture::SetUp();
    // Redirectors of every profile listen on loopback only.
    for (auto& profile : config_.ProfileTable) profile.Host = "127.0.0.1";
  }
  void TearDown() override {
    if (admin_) admin_->Stop();
    admin_.reset();
    ServerFixture::TearDown();
  }

  // Replaces the relay engine with one whose loops' clock moves only when
  // the test moves now_.
  void FreezeLoopClock() {
    now_ = 0;
    engine_->Stop();
    engine_ = std::make_unique<TRelayEngine>(0, TLoopClock{[] { return now_.load(); }, {}});
    ASSERT_TRUE(engine_->Start());
  }
  // Lets every loop see the clock moved.
  void TurnLoops() {
    for (std::size_t i = 0; i < engine_->LoopCount(); ++i) engine_->Loop(i).RunSync([] {});
  }
  // Starts the requests server, then the admin endpoint with |token|;
  // |peer_is_local| and |connection_ms| replace the defaults when given.
  void StartAll(const std::string& token = "", bool (*peer_is_local)(std::uint32_t) = nullptr,
                int connection_ms = 0) {
    StartServer();
    admin_ = std::make_unique<TAdminServer>(*server_, engine_.get(),
                                            TAdminSettings{.Token = token, .TokenFile = ""});
    ASSERT_GE(admin_->Socket(), 0);
    if (peer_is_local) admin_->SetPeerIsLocal(peer_is_local);
    if (connection_ms) admin_->SetConnectionMs(connection_ms);
    ASSERT_TRUE(admin_->Start());
    admin_port_ = admin_->BoundPort();
  }

  static inline std::atomic<std::int64_t> now_{0};
  std::unique_ptr<TAdminServer> admin_;
  std::uint16_t admin_port_ = 0;
};

// Session a (registered as BNETD) owns a TCP and a UDP redirector, session
// b a TCP one; a redirector deleted by b, then a's end, take theirs off.
TEST_F(AdminServerTest, ListsDescribeEachRedirectorAndSessionUntilTheyGo) {
  StartAll();
  ControlClient a(port_), b(port_);
  ASSERT_TRUE(a.Send(RegisterPacket("BNETD")));
  ASSERT_TRUE(a.Receive());
  const TNatReply a_tcp = a.Nat(kNatCreate, kProtoTcp, Loopback(), 6112);
  const TNatReply a_udp = a.Nat(kNatCreate, 17, Loopback(), 6113);
  const TNatReply b_tcp = b.Nat(kNatCreate, kProtoTcp, Loopback(), 7000);
  for (const TNatReply& reply : {a_tcp, a_udp, b_tcp}) ASSERT_EQ(reply.Status, kNatOk);
  const auto redirectors = [&] { return Json(admin_port_, "/api/redirectors")["redirectors"]; };
  const auto sessions = [&] { return Json(admin_port_, "/api/sessions")["sessions"]; };
  TJson listed = redirectors();
  ASSERT_EQ(listed.size(), 3u) << listed;
  ExpectFields(listed[0],
               TJson::parse(R"({"proto":6,"kind":"tcp","last_activity":null,"players":0,"held":0})"));
  const std::pair<const char*, int> ends[] = {
      {"target", 6112}, {"public", a_tcp.PublicPort()}, {"owner", LocalPort(a.Fd())}};
  for (const auto& [end, port] : ends)
    EXPECT_EQ(listed[0][end], (TJson{{"address", "127.0.0.1"}, {"port", port}})) << end;
  EXPECT_EQ(listed[0]["created_at"].get<std::string>().size(), 20u);  // 2026-12-06T23:40:00Z
  ExpectFields(listed[1], {{"proto", 17}, {"kind", "udp"}});
  listed = sessions();
  ASSERT_EQ(listed.size(), 2u) << listed;
  const TJson& session_a = listed[0]["peer"]["port"] == LocalPort(a.Fd()) ? listed[0] : listed[1];
  ExpectFields(
      session_a,
      {{"registered", true}, {"name", "BNETD"}, {"version", kProtocolVersion}, {"profile", kBnetdProfile}});
  ASSERT_EQ(session_a["redirectors"].size(), 2u);
  EXPECT_EQ(session_a["redirectors"][1]["public"]["port"], a_udp.PublicPort());
  {
    // A name is whatever bytes a Register carried; the list stays JSON.
    ControlClient c(port_);
    ASSERT_TRUE(c.Send(RegisterPacket("\xff\xfe<b>")));
    ASSERT_TRUE(c.Receive());
    EXPECT_EQ(sessions().size(), 3u);
  }

  EXPECT_EQ(b.Nat(kNatDelete, 17, Loopback(), 6113).Status, kNatOk);
  listed = redirectors();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0]["target"]["port"], 6112);
  EXPECT_EQ(listed[1]["target"]["port"], 7000);
  a.Close();
  ASSERT_TRUE(WaitUntil([&] { return ClientCount() == 1; }));
  listed = redirectors();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["public"]["port"], b_tcp.PublicPort());
  listed = sessions();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["registered"], false);
  EXPECT_EQ(listed[0]["redirectors"].size(), 1u);
  ExpectFields(Json(admin_port_, "/api/status"),
               {{"sessions", {{"open", 1}, {"accepted", 3}}}, {"redirectors", {{"tcp", 1}, {"udp", 0}}}});
}

// One session creates a TCP and a UDP redirector (and the TCP one again)
// and relays 1000 bytes and 3 datagrams through them, on loops whose clock
// the test moves.
class AdminMetricsTest : public AdminServerTest {
 protected:
  void SetUp() override {
    AdminServerTest::SetUp();
    FreezeLoopClock();
    StartAll();
    client_ = std::make_unique<ControlClient>(port_);
    const TNatReply tcp = client_->Nat(kNatCreate, kProtoTcp, Loopback(), tcp_echo_.Port());
    const TNatReply udp = client_->Nat(kNatCreate, 17, Loopback(), udp_echo_.Port());
    for (const TNatReply& reply : {tcp, udp}) ASSERT_EQ(reply.Status, kNatOk);
    EXPECT_EQ(client_->Nat(kNatCreate, kProtoTcp, Loopback(), tcp_echo_.Port()).Status, kNatOk);  // reused
    relayed_ = ConnectLoopback(tcp.PublicPort());
    ASSERT_TRUE(EchoesThroughTcp(relayed_.Get(), std::string(1000, 'x')));
    const TUniqueFd peer = BindUdpLoopback(&peer_port_);
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(SendDatagram(peer.Get(), "ping!", udp.PublicPort()));
      ASSERT_EQ(RecvDatagram(peer.Get()), "ping!");
    }
    // The relays count right after they pass the bytes on.
    ASSERT_TRUE(WaitUntil([&] {
      during_ = Metrics(admin_port_);
      return during_[R"(quorvane_relayed_bytes_total{proto="tcp",direction="from_target"})"] == 1000 &&
             during_[R"(quorvane_relayed_datagrams_total{direction="from_target"})"] == 3;
    }));
  }

  TcpEchoServer tcp_echo_;
  UdpEchoServer udp_echo_;
  std::unique_ptr<ControlClient> client_;
  TUniqueFd relayed_;
  std::uint16_t peer_port_ = 0;  // the UDP player's
  std::map<std::string, double> during_;
};

TEST_F(AdminMetricsTest, MetricsHaveEveryFamilyAndCountTrafficWithoutGoingBack) {
  const std::pair<const char*, double> counted[] = {
      {"quorvane_sessions_open", 1},
      {"quorvane_sessions_accepted_total", 1},
      {R"(quorvane_requests_total{type="nat_request"})", 3},
      {R"(quorvane_nat_requests_total{action="create"})", 3},
      {R"(quorvane_creates_total{outcome="created"})", 2},
      {R"(quorvane_creates_total{outcome="reused"})", 1},
      {R"(quorvane_redirectors_open{proto="tcp"})", 1},
      {R"(quorvane_redirectors_open{proto="udp"})", 1},
      {"quorvane_tcp_relays_open", 1},
      {"quorvane_tcp_relays_total", 1},
      {R"(quorvane_relayed_bytes_total{proto="tcp",direction="to_target"})", 1000},
      {R"(quorvane_relayed_bytes_total{proto="tcp",direction="from_target"})", 1000},
      {R"(quorvane_relayed_bytes_total{proto="udp",direction="to_target"})", 15},
      {R"(quorvane_relayed_datagrams_total{direction="from_target"})", 3},
      {"quorvane_udp_sessions_open", 1},
      {"quorvane_udp_sessions_total", 1},
      {"quorvane_udp_datagrams_capped_total", 0},
      {"quorvane_tcp_relays_held_total", 0},
      {R"(quorvane_relay_lifetime_seconds_bucket{proto="tcp",le="+Inf"})", 0},
      {R"(quorvane_relay_lifetime_seconds_bucket{proto="udp",le="28800"})", 0},
      {R"(quorvane_tcp_connect_wait_seconds_bucket{le="0.001"})", 1},  // on the loops' still clock
      {R"(quorvane_refusals_total{work="udp_sessions",reason="DESCRIPTOR_RESERVE"})", 0},
      {"quorvane_log_lines_dropped_total", 0},
      {R"(quorvane_build_info{version=")" QUORVANE_VERSION R"(",commit=")" QUORVANE_COMMIT R"("})", 1}};
  for (const auto& [series, value] : counted) EXPECT_EQ(during_.at(series), value) << series;
  // The process as the kernel sees it, started before now; its descriptors.
  const auto sampled = [&](const char* series) { return during_.contains(series) ? during_.at(series) : -1; };
  for (const char* series : {"process_cpu_seconds_total", "process_resident_memory_bytes", "process_open_fds",
                             "process_max_fds", "process_start_time_seconds", "quorvane_descriptors_open"})
    EXPECT_GT(sampled(series), 0) << series;
  EXPECT_LT(sampled("process_open_fds"), sampled("process_max_fds"));
  EXPECT_GE(sampled("quorvane_descriptors_limit"), 0);
  EXPECT_LE(sampled("process_start_time_seconds"), static_cast<double>(WallMs()) / 1000);

  // The UDP redirector goes, by its name in the lists, and the TCP relay
  // ends: what they relayed stays counted.
  const std::string udp = "/api/redirectors/udp/127.0.0.1/" + std::to_string(udp_echo_.Port());
  EXPECT_EQ(Http(admin_port_, "DELETE", udp).Status, 204);
  client_->Close();
  ASSERT_TRUE(WaitUntil([&] { return RedirectorCount() == 0 && ClientCount() == 0; }));
  const auto after = Metrics(admin_port_);
  for (const auto& [series, value] : during_)
    EXPECT_TRUE(series.find("_total") == std::string::npos || after.at(series) >= value) << series;
  EXPECT_EQ(after.at(R"(quorvane_relayed_datagrams_total{direction="to_target"})"), 3);
  EXPECT_EQ(after.at("quorvane_udp_sessions_open"), 0);
  EXPECT_EQ(after.at("quorvane_sessions_open"), 0);
}

TEST_F(AdminMetricsTest, PlayersAreListedUnderTheirRedirectorUntilTheyEndAndTheirWaitsAreCounted) {
  // Proto, target port, the player's port, bytes and datagrams each way.
  const std::tuple<std::string, std::uint16_t, std::uint16_t, int, int> players[] = {
      {"tcp", tcp_echo_.Port(), LocalPort(relayed_.Get()), 1000, 0},
      {"17", udp_echo_.Port(), peer_port_, 15, 3}};
  const auto path = [](const std::string& proto, std::uint16_t port) {
    return "/api/redirectors/" + proto + "/127.0.0.1/" + std::to_string(port) + "/players";
  };
  for (const auto& [proto, target, remote, bytes, datagrams] : players) {
    SCOPED_TRACE(proto);
    TJson listed = Json(admin_port_, path(proto, target));
    EXPECT_EQ(listed["redirector"]["target"], "127.0.0.1:" + std::to_string(target));
    ASSERT_EQ(listed["players"].size(), 1u) << listed;
    TJson& player = listed["players"][0];
    EXPECT_EQ(player["started_at"].get<std::string>().size(), 20u);
    player.erase("started_at");
    player.erase("last_activity");
    EXPECT_EQ(player, (TJson{{"remote", "127.0.0.1:" + std::to_string(remote)},
                             {"bytes_to_target", bytes},
                             {"bytes_from_target", bytes},
                             {"datagrams_to_target", datagrams},
                             {"datagrams_from_target", datagrams},
                             {"connecting", false},
                             {"held", false}}));
  }
  const TJson redirectors = Json(admin_port_, "/api/redirectors")["redirectors"];
  for (const TJson& r : redirectors) EXPECT_EQ(r["players"], 1) << r;
  const TJson status = Json(admin_port_, "/api/status");
  EXPECT_EQ(status["players"], 2);
  EXPECT_EQ(status["waits"]["connect"]["count"], 1);
  EXPECT_EQ(status["waits"]["answer"]["count"], 1);
  EXPECT_TRUE(status["waits"]["tcp_lifetime"]["p50_ms"].is_null());
  EXPECT_EQ(during_.at("quorvane_tcp_connect_wait_seconds_count"), 1);
  EXPECT_EQ(during_.at(R"(quorvane_udp_answer_wait_seconds_bucket{le="+Inf"})"), 1);

  // The TCP player leaves and the UDP one falls silent past its time-out.
  relayed_.Reset();
  now_ = kUdpRedirectorTimeoutMs + 1;
  EXPECT_TRUE(WaitUntil([&] {
    TurnLoops();
    return Json(admin_port_, "/api/status")["players"] == 0;
  }));
  for (const auto& [proto, target, remote, bytes, datagrams] : players)
    EXPECT_EQ(Json(admin_port_, path(proto, target))["players"], TJson::array()) << proto;
  const auto after = Metrics(admin_port_);
  for (const char* proto : {"tcp", "udp"}) {
    const std::string labels = std::string("{proto=\"") + proto + "\"";
    EXPECT_EQ(after.at("quorvane_relay_lifetime_seconds_count" + labels + "}"), 1) << proto;
    EXPECT_EQ(after.at("quorvane_relay_lifetime_seconds_bucket" + labels + ",le=\"+Inf\"}"), 1) << proto;
  }
}

// Players the target fails: refused by a TCP target (a bound port nobody
// listens on), and never answered by a UDP one. The loops' clock moves only
// when the test moves it, so that the UDP session expires at once.
TEST_F(AdminServerTest, PlayersTheTargetFailsAreCountedShownAndLoggedOncePerInterval) {
  FreezeLoopClock();
  StartAll();
  ControlClient client(port_);
  const TUniqueFd closed = OpenTcpSocket();
  ASSERT_TRUE(BindTo(closed.Get(), Loopback(), 0));
  std::uint16_t silent_port = 0;
  const TUniqueFd silent = BindUdpLoopback(&silent_port);
  const TNatReply tcp = client.Nat(kNatCreate, kProtoTcp, Loopback(), LocalPort(closed.Get()));
  const TNatReply udp = client.Nat(kNatCreate, 17, Loopback(), silent_port);
  for (const TNatReply& reply : {tcp, udp}) ASSERT_EQ(reply.Status, kNatOk);

  const std::string line = "TCP Redirector at 127.0.0.1:" + std::to_string(tcp.PublicPort()) +
                           " cannot reach 127.0.0.1:" + std::to_string(LocalPort(closed.Get())) +
                           ": Connection refused (1 player in the last 10 s)";
  for (int player = 0; player < 2; ++player)
    EXPECT_TRUE(ClosedWithoutData(ConnectLoopback(tcp.PublicPort()).Get()));
  // The second failure waits for the interval's end, or a flush.
  EXPECT_EQ(log_.Count(line), 1);
  TConnectFailureLog::FlushAll();
  EXPECT_EQ(log_.Count(line), 2);

  std::uint16_t player_port = 0;
  const TUniqueFd player = BindUdpLoopback(&player_port);
  ASSERT_TRUE(SendDatagram(player.Get(), "anyone?", udp.PublicPort()));
  ASSERT_EQ(RecvDatagram(silent.Get()), "anyone?");
  now_ = kUnconfirmedTimeoutMs + 1;
  TJson redirectors;
  EXPECT_TRUE(WaitUntil([&] {
    TurnLoops();
    redirectors = Json(admin_port_, "/api/redirectors")["redirectors"];
    return redirectors[1]["unanswered"] == 1;
  }));
  ExpectFields(redirectors[0], {{"opened", 0}, {"failed", 2}});
  ExpectFields(redirectors[0]["last_failure"], {{"reason", "refused"}, {"error", "Connection refused"}});
  EXPECT_TRUE(redirectors[1]["last_failure"].is_null());
  const auto metrics = Metrics(admin_port_);
  EXPECT_EQ(metrics.at(R"(quorvane_relay_connect_failures_total{proto="tcp",reason="refused"})"), 2);
  EXPECT_EQ(metrics.at(R"(quorvane_relay_connect_failures_total{proto="tcp",reason="timed_out"})"), 0);
  EXPECT_EQ(metrics.at("quorvane_udp_sessions_unanswered_total"), 1);
}

TEST_F(AdminServerTest, EveryRequestButThePageNeedsTheRightTokenAlsoFromCtl) {
  StartAll("s3cret");
  ControlClient client(port_);
  const TNatReply created = client.Nat(kNatCreate, kProtoTcp, Loopback(), 6112);
  ASSERT_EQ(created.Status, kNatOk);
  const std::string key = "/api/redirectors/6/127.0.0.1/6112";
  // Each route is guarded; which headers carry the token is AdminAccess's table.
  for (const std::string path :
       {"/metrics", "/api/redirectors", "/api/sessions", "/api/status", "/nowhere"}) {
    for (const std::string header : {"", "Authorization: Bearer wrong\r\n"}) {
      const HttpReply reply = Http(admin_port_, "GET", path, header);
      EXPECT_EQ(reply.Status, 401) << path << " with " << header;
      EXPECT_NE(reply.Head.find("WWW-Authenticate: Bearer"), std::string::npos);
    }
    for (const std::string header :
         {"Authorization: Bearer s3cret\r\n", "authorization: bearer  s3cret \r\n"})
      EXPECT_EQ(Http(admin_port_, "GET", path, header).Status, path == "/nowhere" ? 404 : 200) << header;
  }
  EXPECT_EQ(Http(admin_port_, "DELETE", key, "Authorization: Bearer wrong\r\n").Status, 401);
  EXPECT_EQ(RedirectorCount(), 1u);

  // The page is static and carries no data; its script brings the token.
  const HttpReply page = Http(admin_port_, "GET", "/");
  EXPECT_EQ(page.Status, 200);
  EXPECT_NE(page.Head.find("Content-Type: text/html"), std::string::npos);
  EXPECT_NE(page.Body.find("Authorization"), std::string::npos);
  EXPECT_EQ(page.Body.find(std::to_string(created.PublicPort())), std::string::npos);

  // quorvane-ctl reads the real endpoint's documents (its refusals are
  // CtlAdmin's, against a fake endpoint).
  const std::string admin = "--admin 127.0.0.1:" + std::to_string(admin_port_);
  const std::pair<std::string, std::string> reads[] = {
      {"list", "\ntcp    127.0.0.1:6112  127.0.0.1:" + std::to_string(created.PublicPort())},
      {"status", "redirectors:        1 tcp, 0 udp"},
      {"sessions", "\n127.0.0.1:" + std::to_string(LocalPort(client.Fd())) + "  -  "}};
  for (const auto& [command, line] : reads) {
    const TCtlRun run = RunCtl(admin + " --token s3cret " + command);
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find(line), std::string::npos) << run.Out;
  }

  // With the token, a change may come from anywhere.
  EXPECT_EQ(Http(admin_port_, "DELETE", key, "Authorization: Bearer s3cret\r\n").Status, 204);
  EXPECT_EQ(RedirectorCount(), 0u);
}

bool OnlyFirstLoopbackIsLocal(std::uint32_t addr) { return addr == Loopback(); }

// An endpoint without a token, told that only 127.0.0.1 is local, so that
// 127.0.0.2 stands for a remote peer (every test peer is on loopback); an
// owner session with a TCP redirector to an echo server.
TEST_F(AdminServerTest, DeleteIsRefusedFromARemotePeerANameOrABadKeyAndOtherwiseDestroysLikeADeleteRequest) {
  StartAll("", OnlyFirstLoopbackIsLocal);
  TcpEchoServer echo;
  ControlClient owner(port_);
  const TNatReply created = owner.Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port());
  ASSERT_EQ(created.Status, kNatOk);
  const std::string key = "/api/redirectors/tcp/127.0.0.1/" + std::to_string(echo.Port());
  const std::uint32_t other = htonl(0x7f000002);
  // Reading is open without a token; changing is not, from a remote peer,
  // nor through a name that could have been pointed at this machine.
  EXPECT_EQ(Http(admin_port_, "GET", "/api/redirectors", "", other).Status, 200);
  EXPECT_EQ(Http(admin_port_, "DELETE", key, "", other).Status, 403);
  for (const std::string method : {"GET ", "DELETE "}) {
    const auto reply = Exchange(admin_port_, method + key + " HTTP/1.1\r\nHost: attacker.example:80\r\n\r\n");
    EXPECT_EQ(reply.value_or(HttpReply{}).Status, 403) << method;
  }
  // Each segment is checked whole after decoding, also past a NUL; # stands
  // for the port of the redirector that a lax parse would delete.
  for (std::string bad :
       {"256/127.0.0.1/#", "x/127.0.0.1/#", "TCP/127.0.0.1/#", "6%00/127.0.0.1/#", "6/127.0.0/#",
        "6/127.0.0.1%00junk/#", "6/127.0.0.1%20/#", "6/127.0.0.1x/#", "6/127.0.0.1/#%00", "6/127.0.0.1/#a",
        "6/127.0.0.1/%20#", "6/127.0.0.1/0", "6/127.0.0.1/70000"}) {
    bad = std::regex_replace(bad, std::regex("#"), std::to_string(echo.Port()));
    EXPECT_EQ(Http(admin_port_, "DELETE", "/api/redirectors/" + bad).Status, 400) << bad;
    EXPECT_EQ(Http(admin_port_, "GET", "/api/redirectors/" + bad + "/players").Status, 400) << bad;
  }
  const std::string udp_key = "/api/redirectors/udp/127.0.0.1/" + std::to_string(echo.Port());
  EXPECT_EQ(Http(admin_port_, "DELETE", udp_key).Status, 404);
  EXPECT_EQ(Http(admin_port_, "GET", udp_key + "/players").Status, 404);
  EXPECT_EQ(Json(admin_port_, key + "/players")["players"], TJson::array());
  EXPECT_EQ(RedirectorCount(), 1u);

  const TUniqueFd relayed = ConnectLoopback(created.PublicPort());
  ASSERT_TRUE(EchoesThroughTcp(relayed.Get(), "before"));
  // quorvane-ctl finds the player through the real endpoint.
  const std::string admin = "--admin 127.0.0.1:" + std::to_string(admin_port_) + " ";
  const std::string target = "127.0.0.1 " + std::to_string(echo.Port());
  const TCtlRun players = RunCtl(admin + "players tcp " + target);
  EXPECT_EQ(players.Code, ctl::kExitOk) << players.Err;
  EXPECT_NE(players.Out.find("\n127.0.0.1:" + std::to_string(LocalPort(relayed.Get())) + "  "),
            std::string::npos)
      << players.Out;

  EXPECT_EQ(Http(admin_port_, "DELETE", key).Status, 204);
  EXPECT_TRUE(log_.Contains("TCP Redirector at 127.0.0.1:" + std::to_string(created.PublicPort()) +
                            " destroyed: deleted by the admin endpoint"));
  // The port is closed when the answer comes; the relay outlives it, as
  // after a delete request, and the owner's session goes on.
  EXPECT_FALSE(ConnectLoopback(created.PublicPort()));
  EXPECT_TRUE(EchoesThroughTcp(relayed.Get(), "after"));
  EXPECT_TRUE(owner.Answers());
  EXPECT_EQ(owner.Nat(kNatQuery, kProtoTcp, Loopback(), echo.Port()).Status, kNatNotFound);
  EXPECT_EQ(Http(admin_port_, "DELETE", key).Status, 404);
  EXPECT_EQ(owner.Nat(kNatCreate, kProtoTcp, Loopback(), echo.Port()).Status, kNatOk);

  // quorvane-ctl removes it the same way, and finds none the second time.
  const TCtlRun removed = RunCtl(admin + "remove tcp " + target);
  EXPECT_EQ(removed.Code, 0) << removed.Err;
  EXPECT_EQ(removed.Out, "remove tcp 127.0.0.1:" + std::to_string(echo.Port()) + ": ok\n");
  EXPECT_EQ(RedirectorCount(), 0u);
  const TCtlRun again = RunCtl("--json " + admin + "remove tcp " + target);
  EXPECT_EQ(again.Code, ctl::kExitNotFound) << again.Err;
  EXPECT_EQ(TJson::parse(again.Out, nullptr, false)["result"], "not_found") << again.Out;
}

TEST_F(AdminServerTest, SlowHeadsHoldNoWorkerAndOneAddressOnlyItsShare) {
  StartAll();
  ControlClient player(port_);
  // Requests that never end, from two addresses up to their share: more
  // than there are workers. One more from such an address is turned away
  // at once, while another address is served.
  std::vector<TUniqueFd> slow;
  for (const std::uint32_t from : {Loopback(), htonl(0x7f000003)}) {
    for (std::uint32_t i = 0; i < kAdminConnectionsPerAddress; ++i) {
      slow.push_back(ConnectFrom(from, admin_port_));
      ASSERT_TRUE(SendAll(slow.back().Get(), "GET /api/status HTTP/1.1\r\nHost: 127.0"));
    }
  }
  const TUniqueFd turned_away = ConnectLoopback(admin_port_);
  const auto busy = ReadToClose(turned_away.Get());
  ASSERT_TRUE(busy);
  EXPECT_EQ(busy->rfind("HTTP/1.1 503 ", 0), 0u) << *busy;
  EXPECT_EQ(Http(admin_port_, "GET", "/api/status", "", htonl(0x7f000002)).Status, 200);
  EXPECT_TRUE(player.Answers());  // the control port never waits for the admin endpoint
  slow.clear();
  EXPECT_TRUE(WaitUntil([&] {
    return Exchange(admin_port_, "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
               .value_or(HttpReply{})
               .Status == 200;
  }));
}

TEST_F(AdminServerTest, OversizedRequestsAreCutOffAndAWrongMethodGets405) {
  StartAll();
  // A request head beyond the bound is cut off, not read on without end.
  const auto huge = Exchange(
      admin_port_, "GET /api/status HTTP/1.1\r\nX-Filler: " + std::string(std::size_t{64} * 1024, 'a'));
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->Status, 400);
  // No request takes a body: a method the path takes is refused for it
  // (413); one the path does not take gets 405 whatever body it announces,
  // within the bound or beyond it. Request line, body, status, Allow.
  const std::string small = "Content-Length: 5\r\n\r\nhello";
  const std::string large = "Content-Length: 100000\r\n\r\n" + std::string(100000, 'b');
  const std::tuple<std::string, std::string, int, const char*> cases[] = {
      {"DELETE /api/redirectors/6/127.0.0.1/1", large, 413, ""},
      {"POST /metrics", "\r\n", 405, "GET, HEAD"},
      {"PUT /api/status", small, 405, "GET, HEAD"},
      {"DELETE /", large, 405, "GET, HEAD"},
      {"DELETE /api/sessions", "\r\n", 405, "GET, HEAD"},
      {"GET /api/redirectors/tcp/127.0.0.1/1", "\r\n", 405, "DELETE"},
      {"POST /api/redirectors/udp/127.0.0.1/1", small, 405, "DELETE"},
      {"DELETE /api/redirectors/udp/127.0.0.1/1/players", "\r\n", 405, "GET, HEAD"},
      {"POST /api/redirectors/6/127.0.0.1/1/players", small, 405, "GET, HEAD"},
      {"GET /api/redirectors/6/127.0.0.1/1/players/x", "\r\n", 404, ""},
      {"POST /nowhere", small, 404, ""}};
  for (const auto& [line, body, status, allow] : cases) {
    const auto reply = Exchange(admin_port_, line + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + body);
    ASSERT_TRUE(reply) << line;
    EXPECT_EQ(reply->Status, status) << line;
    EXPECT_EQ(reply->Head.find(std::string("\r\nAllow: ") + allow + "\r\n") != std::string::npos,
              *allow != '\0')
        << line << ": " << reply->Head;
  }
}

TEST_F(AdminServerTest, SilentClientIsCutAtItsDeadline) {
  StartAll("", nullptr, 300);
  ControlClient player(port_);
  const TUniqueFd slow = ConnectLoopback(admin_port_);
  ASSERT_TRUE(SendAll(slow.Get(), "GET /api/status HTTP/1.1\r\n"));
  EXPECT_TRUE(ClosedWithoutData(slow.Get(), 10s));
  EXPECT_EQ(Http(admin_port_, "GET", "/api/status").Status, 200);
  EXPECT_TRUE(player.Answers());
}

TEST_F(AdminServerTest, PortZeroStartsNoEndpointAndAPortInUseIsAStartupFailure) {
  StartServer();
  std::unique_ptr<TAdminServer> admin;
  TAdminSettings settings;
  EXPECT_TRUE(StartAdminEndpoint(*server_, engine_.get(), settings, admin) && admin == nullptr);
  std::uint16_t taken = 0;
  const TUniqueFd occupant = ListenLoopback(&taken);
  settings.Port = taken;
  EXPECT_TRUE(!StartAdminEndpoint(*server_, engine_.get(), settings, admin) && admin == nullptr);
  EXPECT_TRUE(log_.Contains("quorvane: cannot listen on 127.0.0.1:" + std::to_string(taken) +
                            " (admin): Address already in use"));
}

// The page as a person sees it: a real browser runs its script against the
// running endpoint, and what it renders must list the redirector just made.
TEST_F(AdminServerTest, StatusPageInAHeadlessBrowserListsARedirectorCreatedJustBefore) {
  if (std::system("command -v chromium >/dev/null") != 0)
    GTEST_SKIP() << "chromium is not installed (apt-get install chromium): the page is not checked";
  StartAll();
  ControlClient client(port_);
  ASSERT_TRUE(client.Send(RegisterPacket("BNETD")));
  ASSERT_TRUE(client.Receive());
  const TNatReply created = client.Nat(kNatCreate, 17, Loopback(), 6113);
  ASSERT_EQ(created.Status, kNatOk);

  const TempDir profile;
  const std::string command =
      "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync --disable-dev-shm-usage "
      "--user-data-dir=" +
      profile.path.string() +
      " --virtual-time-budget=5000 --dump-dom http://127.0.0.1:" + std::to_string(admin_port_) +
      "/ 2>/dev/null";
  std::string dom;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (const std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) dom.append(buffer, n);
    ::pclose(pipe);
  }
  EXPECT_NE(dom.find("<td>127.0.0.1:" + std::to_string(created.PublicPort()) + "</td>"), std::string::npos)
      << dom;
  EXPECT_NE(dom.find("<td>BNETD</td>"), std::string::npos);
  EXPECT_NE(dom.find("updated "), std::string::npos);
}

}  // namespace
}  // namespace quorvane::test
