// The real quorvane executable as the control-port rows run it: a child
// process in a scratch directory with a KELVARD.ini of our own, its control
// port on 127.0.0.1, and the redirectors of every profile the benchmark's
// clients get (they register under names other than BNETD, or not at all)
// listening on 127.0.0.1. Also the client side of its control protocol, on
// blocking sockets whose receives time out (ConnectLoopback and kin).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bench/ChildProcess.h"
#include "requests/RequestPacket.h"

namespace quorvane::bench {

inline constexpr std::uint8_t kProtoUdp = 17;

// The [LIMITS] section we write. Every key is written, so that a row's
// figures match the limits it was measured under whatever the defaults
// become; the values here are the server's defaults.
struct TControlLimits {
  int SessionsPerAddress = 128;
  int RedirectorsPerAddress = 256;
  int ConnectionsPerAddress = 256;
  int UdpSessions = 1024;
  int RequestsPerAddress = 1000;
  // Percent of the descriptors above the reserve that each kind may hold;
  // 0: no share of its own, the reserve alone bounds it.
  int SessionDescriptors = 20;
  int RedirectorDescriptors = 40;
  int RelayDescriptors = 40;
};

class TControlServer {
 public:
  TControlServer() = default;
  TControlServer(const TControlServer&) = delete;
  TControlServer& operator=(const TControlServer&) = delete;
  ~TControlServer() { Stop(); }

  // Starts |server| (the quorvane executable) with |limits| on a free port
  // and waits until it listens; |descriptor_limit| > 0 is its RLIMIT_NOFILE.
  // With |admin|, its admin endpoint listens on 127.0.0.1 too, on another
  // free port. Returns an empty string, or why it did not start. Main
  // thread, once.
  std::string Start(const std::string& server, const TControlLimits& limits, long descriptor_limit = 0,
                    bool admin = false);
  std::uint16_t Port() const { return port_; }
  std::uint16_t AdminPort() const { return admin_port_; }
  pid_t Pid() const { return process_.Pid(); }
  // The last |lines| lines the server wrote that hold |containing|, joined
  // with "; ".
  std::string LogTail(int lines, std::string_view containing = {}) const {
    return dir_ ? dir_->Tail(kLogName, lines, containing) : std::string();
  }
  // Every line the server wrote that holds |containing|.
  std::vector<std::string> LogLines(std::string_view containing) const {
    return dir_ ? dir_->Lines(kLogName, containing) : std::vector<std::string>();
  }
  // Main thread. Idempotent.
  void Stop() { process_.Stop(); }

 private:
  static constexpr const char* kLogName = "server.log";

  std::uint16_t port_ = 0;
  std::uint16_t admin_port_ = 0;  // 0: no admin endpoint
  std::unique_ptr<TScratchDir> dir_;
  TChildProcess process_;
};

// How a control request ended.
enum class TControlAnswer { kAnswered, kClosed, kNoAnswer };

// Sends |request| on |fd| and reads packets until one of type |type| comes,
// into |*answer|; packets of other types (the address entries after a
// Register reply) are skipped. kNoAnswer when a receive timed out.
TControlAnswer AskControl(int fd, const TRequestPacket& request, std::uint8_t type, TRequestPacket* answer);

// Registers the session on |fd| as |name| with our protocol version; the
// reply in |*reply|.
TControlAnswer RegisterSession(int fd, std::string_view name, TRegisterReply* reply);

// Asks on |fd| for a redirector of |proto| to |target|:|target_port|
// (|target| in network order); the reply, whatever its status, in |*reply|.
TControlAnswer CreateRedirector(int fd, std::uint8_t proto, std::uint32_t target, std::uint16_t target_port,
                                TNatReply* reply);

}  // namespace quorvane::bench
