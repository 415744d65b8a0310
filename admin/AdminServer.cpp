#include "admin/AdminServer.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <string_view>
#include <system_error>

#include "admin/AdminHttp.h"
#include "admin/AdminViews.h"
#include "requests/RequestPacket.h"
#include "requests/RequestsServer.h"
#include "runtime/Clock.h"
#include "runtime/FdBudget.h"
#include "runtime/Log.h"
#include "runtime/LoopThread.h"

namespace quorvane {
namespace admin {

// One thread of the endpoint's pool: serves queued connections one at a
// time until it is terminated.
class TAdminWorker final : public TThread {
 public:
  explicit TAdminWorker(TAdminServer& owner) : owner_(owner) {}
  ~TAdminWorker() override = default;

 protected:
  void Execute() override {
    while (!Terminated()) {
      auto connection = owner_.TakeConnection(WakeFd());
      if (!connection) continue;
      owner_.Serve(*connection, WakeFd());
      owner_.Served();
    }
  }

 private:
  TAdminServer& owner_;
};

namespace {

constexpr std::string_view kJson = "application/json";
constexpr std::string_view kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
// The page may load nothing but itself and ask nothing but its own origin.
constexpr std::string_view kPagePolicy =
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; connect-src 'self'; "
    "img-src data:; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";
// What a connection refused for being one too many is told, sent without
// waiting: it fits any socket buffer.
constexpr std::string_view kBusyReply =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Tells |fd| it is one too many and closes it.
void Refuse(TUniqueFd& fd) {
  SendSome(fd.Get(), kBusyReply.data(), kBusyReply.size(), MSG_DONTWAIT);
  ShutdownAndClose(fd);
}

void Error(httplib::Response& res, int status, std::string_view message) {
  res.status = status;
  res.set_content(nlohmann::json{{"error", message}}.dump(), std::string(kJson));
}

// A dotted IPv4 address (network order), or nullopt. Path segments come
// percent-decoded and may hold any byte: one that inet_pton() would not
// see, past a NUL, must not pass.
std::optional<std::uint32_t> ParseAddress(const std::string& text) {
  in_addr addr{};
  if (text.find_first_not_of("0123456789.") != std::string::npos ||
      ::inet_pton(AF_INET, text.c_str(), &addr) != 1) {
    return std::nullopt;
  }
  return addr.s_addr;
}

// A decimal number of digits only, no larger than |max|, or nullopt.
std::optional<std::uint32_t> ParseNumber(const std::string& text, std::uint32_t max) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value > max) return std::nullopt;
  return value;
}

// A protocol as the lists name it (tcp, udp) or as its number.
std::optional<std::uint32_t> ParseProto(const std::string& text) {
  if (text == "tcp") return kProtoTcp;
  if (text == "udp") return kProtoUdp;
  return ParseNumber(text, 255);
}

// The documents, each a fresh snapshot rendered with no lock held.
struct TView {
  const char* Path;
  std::string (*Render)(const TAdminSnapshot&);
  std::string_view Type;
};
constexpr TView kViews[] = {{"/metrics", MetricsText, kMetricsType},
                            {"/api/redirectors", RedirectorsJson, kJson},
                            {"/api/sessions", SessionsJson, kJson},
                            {"/api/status", StatusJson, kJson}};
// One redirector, by its key, and its players.
constexpr const char* kRedirectorPath = R"(/api/redirectors/([^/]+)/([^/]+)/([^/]+))";
constexpr const char* kPlayersPath = R"(/api/redirectors/([^/]+)/([^/]+)/([^/]+)/players)";
struct TKeyRoute {
  const char* Pattern;
  std::string_view Allowed;
};
constexpr TKeyRoute kKeyRoutes[] = {{kRedirectorPath, "DELETE"}, {kPlayersPath, "GET, HEAD"}};

// The methods |path| takes, as an Allow header lists them; empty for a
// path the endpoint does not serve. The library answers HEAD wherever it
// answers GET.
std::string_view AllowedMethods(const std::string& path) {
  static const std::vector<std::regex> kKeyRoutePatterns = [] {
    std::vector<std::regex> patterns;
    for (const TKeyRoute& route : kKeyRoutes) patterns.emplace_back(route.Pattern);
    return patterns;
  }();
  const bool view =
      std::any_of(std::begin(kViews), std::end(kViews), [&](const TView& v) { return path == v.Path; });
  if (view || path == "/") return "GET, HEAD";
  for (std::size_t i = 0; i < kKeyRoutePatterns.size(); ++i)
    if (std::regex_match(path, kKeyRoutePatterns[i])) return kKeyRoutes[i].Allowed;
  return {};
}

// The key of a redirector path's match, or nullopt after a 400 answer.
std::optional<TRedirectorKey> ParseKey(const httplib::Request& req, httplib::Response& res) {
  const auto proto = ParseProto(req.matches[1]);
  const auto address = ParseAddress(req.matches[2]);
  const auto port = ParseNumber(req.matches[3], 65535);
  if (!proto || !address || !port || *port == 0) {
    Error(res, 400, "expected /api/redirectors/<tcp, udp or proto 0-255>/<IPv4 address>/<port 1-65535>");
    return std::nullopt;
  }
  return TRedirectorKey{*proto, *address, static_cast<std::uint16_t>(*port)};
}

bool Allows(std::string_view allowed, const std::string& method) {
  for (std::size_t begin = 0; begin < allowed.size();) {
    const std::size_t end = std::min(allowed.find(", ", begin), allowed.size());
    if (allowed.substr(begin, end - begin) == method) return true;
    begin = end + 2;
  }
  return false;
}

}  // namespace
}  // namespace admin

// A connection whose request the accept loop is reading.
// Qualified: within TAdminServer the bare name is TTCPServer's private base.
class TAdminServer::TIncoming final : private quorvane::TLoopWatch, private TLoopTimer {
 public:
  TIncoming(TAdminServer& owner, TConnection connection)
      : owner_(owner), connection_(std::move(connection)) {}
  TIncoming(const TIncoming&) = delete;
  TIncoming& operator=(const TIncoming&) = delete;
  ~TIncoming() { StopReading(); }

  // False when the loop cannot watch it.
  bool Start(int head_ms) {
    owner_.accept_loop_.ArmAfter(*this, head_ms);
    return owner_.accept_loop_.Watch(*this, connection_.Fd.Get(), EPOLLIN);
  }
  // Leaves the loop; the connection goes to the caller.
  TConnection Release() {
    StopReading();
    return std::move(connection_);
  }

 private:
  void StopReading() {
    owner_.accept_loop_.Disarm(*this);
    owner_.accept_loop_.Unwatch(*this);
  }
  void OnReady(std::uint32_t /*events*/) override {
    std::string& request = connection_.Request;
    char buffer[4096];
    for (;;) {
      const std::size_t room = kAdminMaxRequestBytes - request.size();
      const ssize_t n = RecvSome(connection_.Fd.Get(), buffer, std::min(sizeof buffer, room));
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) return owner_.Finish(*this, false);
      const std::size_t searched = request.size();
      request.append(buffer, static_cast<std::size_t>(n));
      if (whole_size_ == 0) whole_size_ = admin::RequestSize(request, searched);
      // A request cut off at the bound goes on too: the parser answers it.
      if (request.size() == kAdminMaxRequestBytes || (whole_size_ != 0 && request.size() >= whole_size_)) {
        return owner_.Finish(*this, true);
      }
    }
  }
  void OnTimer() override { owner_.Finish(*this, false); }

  TAdminServer& owner_;
  TConnection connection_;
  std::size_t whole_size_ = 0;  // of the request, once its head has ended
};

TAdminServer::TAdminServer(TRequestsServer& server, const TRelayEngine* engine,
                           const TAdminSettings& settings)
    : TTCPServer(settings.Host, settings.Port),
      server_(server),
      engine_(engine),
      token_(settings.Token),
      started_at_ms_(WallMs()),
      router_(std::make_unique<admin::TAdminRouter>()) {
  if (Socket() < 0) return;
  if (const auto local = LocalAddress(Socket())) bound_port_ = ntohs(local->sin_port);
  AddRoutes();
}

TAdminServer::~TAdminServer() { Stop(); }

bool TAdminServer::Start() {
  running_ = true;
  for (std::size_t i = 0; i < kAdminWorkers; ++i) {
    auto worker = std::make_unique<admin::TAdminWorker>(*this);
    worker->SetName("admin worker " + std::to_string(i + 1));
    if (!worker->Resume()) {
      Stop();
      return false;
    }
    workers_.push_back(std::move(worker));
  }
  acceptor_ = std::make_unique<TLoopThread>(accept_loop_);
  acceptor_->SetName("admin endpoint");
  bool accepting = false;
  if (acceptor_->Resume()) {
    accept_loop_.AwaitRunning();
    accept_loop_.RunSync([&] { accepting = TTCPServer::Start(accept_loop_); });
  }
  if (!accepting) {
    Stop();
    return false;
  }
  return true;
}

void TAdminServer::Stop() {
  if (!running_) return;
  running_ = false;
  if (acceptor_ && acceptor_->Started()) {
    accept_loop_.RunSync([this] {
      Close();
      incoming_.clear();
    });
    acceptor_->Terminate();
    acceptor_->WaitFor();
  } else {
    Close();
  }
  for (auto& worker : workers_) worker->Terminate();
  for (auto& worker : workers_) worker->WaitFor();
  workers_.clear();
  TMutexLock lock(mu_);
  waiting_.clear();
  has_waiting_.Reset();
}

void TAdminServer::ProcessConnection(TUniqueFd accepted) {
  // The admin endpoint yields to the players: it never takes the last
  // descriptors the control port and the relays keep in reserve.
  if (!fd_budget::HasRoom()) {
    ShutdownAndClose(accepted);
    return;
  }
  const sockaddr_in& peer = AcceptedPeer();
  TAddressSlot slot = per_address_.TryAcquire(peer.sin_addr.s_addr, kAdminConnectionsPerAddress);
  if (!slot || incoming_.size() >= kAdminMaxReading) {
    admin::Refuse(accepted);
    return;
  }
  // The deadline runs from here, so that time spent being read and queued
  // counts too.
  auto incoming = std::make_unique<TIncoming>(
      *this, TConnection{std::move(accepted), peer, SteadyMs() + connection_ms_, {}, std::move(slot)});
  // Not watched, it closes the connection as it goes.
  if (!incoming->Start(std::min(kAdminHeadMs, connection_ms_))) return;
  TIncoming* const key = incoming.get();
  incoming_.emplace(key, std::move(incoming));
}

void TAdminServer::Finish(TIncoming& incoming, bool whole) {
  TConnection connection = incoming.Release();
  incoming_.erase(&incoming);
  if (!whole) {
    ShutdownAndClose(connection.Fd);
    return;
  }
  {
    TMutexLock lock(mu_);
    // Counted with the connections being served, so that the bound does
    // not depend on how quickly the workers took theirs.
    if (waiting_.size() + serving_ < kAdminWorkers + kAdminMaxWaiting) {
      waiting_.push_back(std::move(connection));
      has_waiting_.Set();
      return;
    }
  }
  admin::Refuse(connection.Fd);
}

void TAdminServer::Served() {
  TMutexLock lock(mu_);
  --serving_;
}

std::optional<TAdminServer::TConnection> TAdminServer::TakeConnection(int wake_fd) {
  pollfd fds[2] = {{has_waiting_.Fd(), POLLIN, 0}, {wake_fd, POLLIN, 0}};
  if (PollRetry(fds, 2, -1) <= 0 || fds[1].revents != 0) return std::nullopt;
  TMutexLock lock(mu_);
  if (waiting_.empty()) return std::nullopt;  // another worker was quicker
  TConnection connection = std::move(waiting_.front());
  waiting_.pop_front();
  ++serving_;
  if (waiting_.empty()) has_waiting_.Reset();
  return connection;
}

void TAdminServer::Serve(TConnection& connection, int wake_fd) {
  admin::TAdminStream stream(connection.Fd.Get(), connection.Peer, connection.Request, connection.DeadlineMs,
                             wake_fd);
  router_->ServeOne(stream);
  ShutdownAndClose(connection.Fd);
}

void TAdminServer::AddRoutes() {
  using httplib::Request;
  using httplib::Response;
  admin::TAdminRouter& router = *router_;
  // No request takes a body: one announced with a method the path takes is
  // refused (413), and what the stream lets through of it is read and
  // dropped. A method the path does not take gets 405 before any body is
  // looked at, however large the body announced.
  router.set_payload_max_length(0);
  router.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});

  router.set_pre_routing_handler([this](const Request& req, Response& res) {
    // A method a path does not take changes nothing: it is answered 405
    // rather than sent looking for a token or a loopback peer.
    const std::string_view allowed = admin::AllowedMethods(req.path);
    const bool method_allowed = allowed.empty() || admin::Allows(allowed, req.method);
    admin::TAdminRequest ask;
    ask.StatusPage = (req.method == "GET" || req.method == "HEAD") && req.path == "/";
    ask.Changes = method_allowed && req.method != "GET" && req.method != "HEAD";
    ask.PeerIsLocal = peer_is_local_(admin::ParseAddress(req.remote_addr).value_or(0));
    ask.HostIsLiteral = admin::HostIsLiteral(req.get_header_value("Host"));
    ask.TokenSet = !token_.empty();
    ask.TokenMatches =
        ask.TokenSet && admin::BearerTokenMatches(req.get_header_value("Authorization"), token_);
    switch (admin::Authorize(ask)) {
      case admin::TAdminVerdict::kAllow:
        break;
      case admin::TAdminVerdict::kUnauthorized:
        res.set_header("WWW-Authenticate", "Bearer realm=\"quorvane\"");
        admin::Error(res, 401, "a bearer token is required");
        return httplib::Server::HandlerResponse::Handled;
      case admin::TAdminVerdict::kForbidden:
        admin::Error(res, 403,
                     ask.HostIsLiteral
                         ? "changes need a token or a loopback peer"
                         : "without a token, address the endpoint by its IP address or localhost");
        return httplib::Server::HandlerResponse::Handled;
    }
    // Both answered before the library looks at a body, so that a body
    // does not turn them into a 413.
    if (allowed.empty()) {
      admin::Error(res, 404, "not found");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!method_allowed) {
      res.set_header("Allow", std::string(allowed));
      admin::Error(res, 405, req.method + " is not allowed here, only " + std::string(allowed));
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  router.Get("/", [](const Request&, Response& res) {
    res.set_header("Content-Security-Policy", std::string(admin::kPagePolicy));
    res.set_content(admin::StatusPageText(), "text/html; charset=utf-8");
  });
  for (const admin::TView& view : admin::kViews) {
    router.Get(view.Path, [this, view](const Request&, Response& res) {
      res.set_content(view.Render(admin::TakeSnapshot(server_, engine_, started_at_ms_)),
                      std::string(view.Type));
    });
  }
  router.Delete(admin::kRedirectorPath, [this](const Request& req, Response& res) {
    const auto key = admin::ParseKey(req, res);
    if (!key) return;
    if (!server_.Nat().DeleteByKey(key->Proto, key->Address, key->Port)) {
      return admin::Error(res, 404, "no such redirector");
    }
    res.status = 204;
  });
  router.Get(admin::kPlayersPath, [this](const Request& req, Response& res) {
    const auto key = admin::ParseKey(req, res);
    if (!key) return;
    const auto players = admin::TakePlayers(server_, *key);
    if (!players) return admin::Error(res, 404, "no such redirector");
    res.set_content(admin::PlayersJson(*players), std::string(admin::kJson));
  });
}

bool StartAdminEndpoint(TRequestsServer& server, const TRelayEngine* engine, const TAdminSettings& settings,
                        std::unique_ptr<TAdminServer>& admin) {
  admin.reset();
  if (settings.Port == 0) return true;
  auto endpoint = std::make_unique<TAdminServer>(server, engine, settings);
  const std::string where = settings.Host + ":" + std::to_string(settings.Port);
  if (endpoint->Socket() < 0) {
    LogError("quorvane: cannot listen on ", where,
             " (admin): ", std::generic_category().message(endpoint->SetupError()));
    return false;
  }
  if (!endpoint->Start()) {
    LogError("quorvane: cannot start the threads of the admin endpoint on ", where);
    return false;
  }
  admin = std::move(endpoint);
  return true;
}

}  // namespace quorvane
