#include "bench/ControlServer.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "bench/BenchSupport.h"

namespace quorvane::bench {

namespace {

constexpr int kStartTimeoutMs = 5000;

}  // namespace

std::string TControlServer::Start(const std::string& server, const TControlLimits& limits,
                                  long descriptor_limit, bool admin) {
  if (!Executable(server)) return "no server executable at " + server;
  dir_ = std::make_unique<TScratchDir>();
  port_ = FreeLoopbackPort(SOCK_STREAM);
  std::vector<TBoundPort> bound = {{SOCK_STREAM, port_}};
  std::string ini = "[SERVER]\nHOST=127.0.0.1\nPORT=" + std::to_string(port_) +
                    "\n\n[UNKNOWN]\nHOST=127.0.0.1\n\n[LIMITS]\nSESSIONS_PER_ADDRESS=" +
                    std::to_string(limits.SessionsPerAddress) +
                    "\nREDIRECTORS_PER_ADDRESS=" + std::to_string(limits.RedirectorsPerAddress) +
                    "\nCONNECTIONS_PER_ADDRESS=" + std::to_string(limits.ConnectionsPerAddress) +
                    "\nUDP_SESSIONS=" + std::to_string(limits.UdpSessions) +
                    "\nREQUESTS_PER_ADDRESS=" + std::to_string(limits.RequestsPerAddress) +
                    "\nSESSION_DESCRIPTORS=" + std::to_string(limits.SessionDescriptors) +
                    "\nREDIRECTOR_DESCRIPTORS=" + std::to_string(limits.RedirectorDescriptors) +
                    "\nRELAY_DESCRIPTORS=" + std::to_string(limits.RelayDescriptors) + "\n";
  if (admin) {
    admin_port_ = FreeLoopbackPort(SOCK_STREAM);
    if (admin_port_ == 0 || admin_port_ == port_) return "no free port for the admin endpoint";
    ini += "\n[ADMIN]\nHOST=127.0.0.1\nPORT=" + std::to_string(admin_port_) + "\n";
    bound.push_back({SOCK_STREAM, admin_port_});
  }
  if (!dir_->Valid() || port_ == 0 || !dir_->Write("KELVARD.ini", ini) ||
      !process_.Start({server}, dir_->Path(), dir_->Path() + "/" + kLogName, descriptor_limit)) {
    return "the server could not be started";
  }
  if (process_.WaitBound(bound, kStartTimeoutMs)) return {};
  std::string why = "the server did not listen within 5 s: " + LogTail(3);
  process_.Stop();
  return why;
}

TControlAnswer AskControl(int fd, const TRequestPacket& request, std::uint8_t type, TRequestPacket* answer) {
  if (!SendAll(fd, request.data(), request.size())) return TControlAnswer::kClosed;
  for (;;) {
    std::size_t got = 0;
    while (got < answer->size()) {
      const ssize_t n = RecvSome(fd, answer->data() + got, answer->size() - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return TControlAnswer::kNoAnswer;  // SO_RCVTIMEO ran out
      } else {
        return TControlAnswer::kClosed;
      }
    }
    if (PacketType(*answer) == type) return TControlAnswer::kAnswered;
  }
}

TControlAnswer RegisterSession(int fd, std::string_view name, TRegisterReply* reply) {
  TRegisterRequest request;
  request.Version = kProtocolVersion;
  std::copy_n(name.begin(), std::min(name.size(), request.ClientName.size() - 1), request.ClientName.begin());
  TRequestPacket answer{};
  const TControlAnswer result = AskControl(fd, Encode(request), kPacketRegisterReply, &answer);
  if (result == TControlAnswer::kAnswered) *reply = DecodeRegisterReply(answer);
  return result;
}

TControlAnswer CreateRedirector(int fd, std::uint8_t proto, std::uint32_t target, std::uint16_t target_port,
                                TNatReply* reply) {
  TNatRequest request;
  request.Proto = proto;
  request.Action = kNatCreate;
  request.Port = target_port;
  request.Address = target;
  TRequestPacket answer{};
  const TControlAnswer result = AskControl(fd, Encode(request), kPacketNatReply, &answer);
  if (result == TControlAnswer::kAnswered) *reply = DecodeNatReply(answer);
  return result;
}

}  // namespace quorvane::bench
