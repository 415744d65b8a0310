#include "bench/RelaySystems.h"

#include <sys/socket.h>

#include <utility>

#include "bench/BenchSupport.h"
#include "bench/ProcessStats.h"

namespace quorvane::bench {

namespace {

// A program that has not bound its ports by then has failed to start.
constexpr int kStartTimeoutMs = 5000;
// Ports are picked free and handed over, so another program may take one
// in between; a start that fails is tried again with new ports.
constexpr int kStartAttempts = 3;
constexpr int kLogLines = 3;
constexpr const char* kLogName = "out.log";

std::string Port(std::uint16_t port) { return std::to_string(port); }

int SocketType(TProto proto) { return proto == TProto::kTcp ? SOCK_STREAM : SOCK_DGRAM; }

// rinetd: one process, one thread; TCP and UDP rules.
class TRinetd final : public TPeerSystem {
 public:
  static constexpr const char* kProgram = "/usr/sbin/rinetd";
  explicit TRinetd(int workers) : TPeerSystem("rinetd", true, workers) {}

 protected:
  std::vector<std::string> Configure(const TScratchDir& dir,
                                     const std::vector<TListener>& listeners) const override {
    std::string conf = "pidlogfile " + dir.Path() + "/rinetd.pid\n";
    for (const TListener& l : listeners) {
      if (l.Proto == TProto::kTcp) {
        conf += "127.0.0.1 " + Port(l.Port) + " 127.0.0.1 " + Port(l.TargetPort) + "\n";
      } else {
        // The time-out outlasts every run, as the other systems' do.
        conf += "127.0.0.1 " + Port(l.Port) + "/udp 127.0.0.1 " + Port(l.TargetPort) + "/udp [timeout=600]\n";
      }
    }
    dir.Write("rinetd.conf", conf);
    return {kProgram, "-f", "-c", dir.Path() + "/rinetd.conf"};
  }
};

// haproxy in TCP mode: one process, |workers| threads; no UDP.
class THaproxy final : public TPeerSystem {
 public:
  static constexpr const char* kProgram = "/usr/sbin/haproxy";
  explicit THaproxy(int workers) : TPeerSystem("haproxy", false, workers) {
    DropUdp("haproxy relays no UDP");
  }

 protected:
  std::vector<std::string> Configure(const TScratchDir& dir,
                                     const std::vector<TListener>& listeners) const override {
    std::string conf =
        "global\n"
        "  nbthread " +
        std::to_string(Workers()) +
        "\n"
        "defaults\n"
        "  mode tcp\n"
        "  timeout connect 10s\n"
        "  timeout client 1h\n"
        "  timeout server 1h\n";
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      const TListener& l = listeners[i];
      if (l.Proto != TProto::kTcp) continue;
      conf += "listen relay" + std::to_string(i) + "\n  bind 127.0.0.1:" + Port(l.Port) +
              "\n  server target 127.0.0.1:" + Port(l.TargetPort) + "\n";
    }
    dir.Write("haproxy.cfg", conf);
    // -db: in the foreground, no master process.
    return {kProgram, "-db", "-f", dir.Path() + "/haproxy.cfg"};
  }
};

// nginx's stream module: a master and |workers| worker processes; TCP and
// UDP.
class TNginx final : public TPeerSystem {
 public:
  static constexpr const char* kProgram = "/usr/sbin/nginx";
  static constexpr const char* kStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";
  explicit TNginx(int workers) : TPeerSystem("nginx", true, workers) {}

 protected:
  std::vector<std::string> Configure(const TScratchDir& dir,
                                     const std::vector<TListener>& listeners) const override {
    const std::string log = dir.Path() + "/" + kLogName;
    std::string conf = "daemon off;\nmaster_process on;\nworker_processes " + std::to_string(Workers()) +
                       ";\npid " + dir.Path() + "/nginx.pid;\nerror_log " + log + " warn;\nload_module " +
                       kStreamModule + ";\nevents { worker_connections 8192; }\nstream {\n";
    for (const TListener& l : listeners) {
      conf += "  server { listen 127.0.0.1:" + Port(l.Port) + (l.Proto == TProto::kUdp ? " udp" : "") +
              "; proxy_pass 127.0.0.1:" + Port(l.TargetPort) + "; proxy_timeout 10m; }\n";
    }
    conf += "}\n";
    dir.Write("nginx.conf", conf);
    return {kProgram, "-p", dir.Path() + "/", "-c", dir.Path() + "/nginx.conf", "-e", log};
  }
};

}  // namespace

void TRelaySystem::DropUdp(std::string why) {
  carries_udp_ = false;
  no_udp_reason_ = std::move(why);
}

std::vector<std::uint16_t> TDirectSystem::Open(const std::vector<TForward>& forwards) {
  std::vector<std::uint16_t> ports;
  ports.reserve(forwards.size());
  for (const TForward& f : forwards) ports.push_back(f.TargetPort);
  return ports;
}

std::vector<std::uint16_t> TQuorvaneSystem::Open(const std::vector<TForward>& forwards) {
  std::vector<std::uint16_t> ports;
  for (const TForward& f : forwards) {
    const std::uint16_t port =
        f.Proto == TProto::kTcp ? host_.AddTcp(f.TargetPort) : host_.AddUdp(f.TargetPort);
    if (port != 0) open_.push_back(port);
    ports.push_back(port);
  }
  return ports;
}

void TQuorvaneSystem::Close() {
  for (const std::uint16_t port : open_) host_.Drop(port);
  open_.clear();
}

std::vector<std::uint16_t> TPeerSystem::Open(const std::vector<TForward>& forwards) {
  failure_.clear();
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    std::vector<TListener> listeners;
    listeners.reserve(forwards.size());
    for (const TForward& f : forwards) {
      listeners.push_back({f.Proto, FreeLoopbackPort(SocketType(f.Proto)), f.TargetPort});
    }
    dir_ = std::make_unique<TScratchDir>();
    if (!dir_->Valid()) {
      failure_ = "no scratch directory under /tmp";
      break;
    }
    if (!process_.Start(Configure(*dir_, listeners), dir_->Path(), dir_->Path() + "/" + kLogName)) {
      failure_ = "could not be started";
      break;
    }
    std::vector<TBoundPort> bound;
    bound.reserve(listeners.size());
    for (const TListener& l : listeners) bound.push_back({SocketType(l.Proto), l.Port});
    if (process_.WaitBound(bound, kStartTimeoutMs)) {
      failure_.clear();
      std::vector<std::uint16_t> ports;
      ports.reserve(listeners.size());
      for (const TListener& l : listeners) ports.push_back(l.Port);
      return ports;
    }
    const std::string log = dir_->Tail(kLogName, kLogLines);
    failure_ = process_.Running() ? "did not bind its ports within 5 s"
                                  : "ended at start" + (log.empty() ? std::string() : ": " + log);
    Close();
  }
  return std::vector<std::uint16_t>(forwards.size(), 0);
}

void TPeerSystem::Close() {
  process_.Stop();
  dir_.reset();
}

std::vector<std::unique_ptr<TRelaySystem>> InstalledPeers(int workers, std::vector<std::string>* notes) {
  std::vector<std::unique_ptr<TRelaySystem>> peers;
  const auto missing = [notes](const char* name, const char* path, const char* package) {
    notes->push_back(std::string(name) + " is not installed (no " + path + "; Debian package " + package +
                     "): its column is left out");
  };
  if (Executable(TRinetd::kProgram)) {
    peers.push_back(std::make_unique<TRinetd>(workers));
  } else {
    missing("rinetd", TRinetd::kProgram, "rinetd");
  }
  if (Executable(THaproxy::kProgram)) {
    peers.push_back(std::make_unique<THaproxy>(workers));
  } else {
    missing("haproxy", THaproxy::kProgram, "haproxy");
  }
  if (!Executable(TNginx::kProgram)) {
    missing("nginx", TNginx::kProgram, "nginx-light");
  } else if (::access(TNginx::kStreamModule, R_OK) != 0) {
    missing("nginx's stream module", TNginx::kStreamModule, "libnginx-mod-stream");
  } else {
    peers.push_back(std::make_unique<TNginx>(workers));
  }
  return peers;
}

}  // namespace quorvane::bench
