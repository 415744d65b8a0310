#include "tools/CtlClient.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <initializer_list>

#include "servers/AddressHelpers.h"

namespace quorvane::ctl {
namespace {

constexpr int kMaxTimeoutMs = 3600000;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string ErrnoText(int error) { return std::strerror(error); }

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

TCtlClient::TCtlClient(int timeout_ms, int wake_fd) : timeout_ms_(timeout_ms), wake_fd_(wake_fd) {}

bool TCtlClient::Fail(TCtlFailure kind, std::string message) {
  error_ = TCtlError{kind, std::move(message)};
  return false;
}

TWaitResult TCtlClient::WaitSocket(short events, std::int64_t deadline_ms) {
  const int left = deadline_ms < 0 ? -1 : static_cast<int>(std::max<std::int64_t>(0, deadline_ms - NowMs()));
  const TWaitResult result = WaitFd(socket_.get(), events, wake_fd_, left);
  if (result == TWaitResult::Woken) Fail(TCtlFailure::kInterrupted, "interrupted");
  if (result == TWaitResult::Failed) Fail(TCtlFailure::kClosed, "waiting failed: " + ErrnoText(errno));
  return result;
}

bool TCtlClient::Connect(const std::string& host, std::uint16_t port) {
  assert(!socket_.valid());
  const std::string where = host + ":" + std::to_string(port);
  const std::uint32_t addr = ResolveHost(host);
  if (addr == kAddrNone) return Fail(TCtlFailure::kConnect, "cannot resolve host " + Quoted(host));
  socket_ = OpenTcpSocket();
  if (!socket_) return Fail(TCtlFailure::kConnect, "cannot create a socket: " + ErrnoText(errno));
  const sockaddr_in sa = MakeSockAddr(addr, port);
  if (::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    // The socket is non-blocking: the handshake goes on in the background
    // (also after EINTR) and writability tells when it is over.
    if (errno != EINPROGRESS && errno != EINTR) {
      return Fail(TCtlFailure::kConnect, "cannot connect to " + where + ": " + ErrnoText(errno));
    }
    switch (WaitSocket(POLLOUT, NowMs() + timeout_ms_)) {
      case TWaitResult::Ready:
        break;
      case TWaitResult::TimedOut:
        return Fail(TCtlFailure::kConnect, "cannot connect to " + where + ": no answer within " +
                                               std::to_string(timeout_ms_) + " ms");
      default:
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    if (error != 0)
      return Fail(TCtlFailure::kConnect, "cannot connect to " + where + ": " + ErrnoText(error));
  }
  SetNoDelay(socket_.get());
  return true;
}

bool TCtlClient::Send(const TRequestPacket& packet) {
  const std::int64_t deadline = NowMs() + timeout_ms_;
  std::size_t sent = 0;
  while (sent < packet.size()) {
    const ssize_t n = SendSome(socket_.get(), packet.data() + sent, packet.size() - sent);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      return Fail(TCtlFailure::kClosed, "connection lost: " + ErrnoText(errno));
    }
    const TWaitResult waited = WaitSocket(POLLOUT, deadline);
    if (waited == TWaitResult::TimedOut) {
      return Fail(TCtlFailure::kTimeout,
                  "the server took no data for " + std::to_string(timeout_ms_) + " ms");
    }
    if (waited != TWaitResult::Ready) return false;
  }
  return true;
}

std::optional<TRequestPacket> TCtlClient::Receive() {
  const std::int64_t deadline = NowMs() + timeout_ms_;
  TRequestPacket packet{};
  std::size_t received = 0;
  while (received < packet.size()) {
    const TWaitResult waited = WaitSocket(POLLIN, deadline);
    if (waited == TWaitResult::TimedOut) {
      Fail(TCtlFailure::kTimeout, "no reply within " + std::to_string(timeout_ms_) + " ms");
      return std::nullopt;
    }
    if (waited != TWaitResult::Ready) return std::nullopt;
    const ssize_t n = RecvSome(socket_.get(), packet.data() + received, packet.size() - received);
    if (n > 0) {
      received += static_cast<std::size_t>(n);
    } else if (n == 0) {
      Fail(TCtlFailure::kClosed, received == 0 ? "the server closed the session"
                                               : "the server closed the session in the middle of a reply");
      return std::nullopt;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail(TCtlFailure::kClosed, "connection lost: " + ErrnoText(errno));
      return std::nullopt;
    }
  }
  if (PacketSize(packet) != kPacketSize) {
    Fail(TCtlFailure::kProtocol, "reply with Size " + std::to_string(PacketSize(packet)) + " instead of " +
                                     std::to_string(kPacketSize));
    return std::nullopt;
  }
  return packet;
}

std::optional<TRequestPacket> TCtlClient::ReceiveType(std::uint8_t expected_type) {
  auto packet = Receive();
  if (packet && PacketType(*packet) != expected_type) {
    Fail(TCtlFailure::kProtocol, "reply of type " + std::to_string(PacketType(*packet)) + " where type " +
                                     std::to_string(expected_type) + " was expected");
    return std::nullopt;
  }
  return packet;
}

std::optional<TNop> TCtlClient::Nop() {
  // Only IsReply 0 is answered; anything else would wait for nothing.
  if (!Send(Encode(TNop{0}))) return std::nullopt;
  const auto reply = ReceiveType(kPacketNop);
  if (!reply) return std::nullopt;
  return DecodeNop(*reply);
}

bool TCtlClient::ReceiveList(bool exclude, std::uint8_t count, std::vector<TAddressEntry>* entries) {
  // The reply's counts are taken modulo 256, while every entry carries the
  // full count of its list: the first entry tells how many really follow.
  // (A list of a multiple of 256 entries is announced as empty and cannot be
  // told from one; the protocol leaves no way to see it.)
  std::size_t total = count;
  for (std::size_t index = 0; index < total; ++index) {
    const auto packet = ReceiveType(kPacketAddressEntry);
    if (!packet) return false;
    const TAddressEntry entry = DecodeAddressEntry(*packet);
    if ((entry.Exclude != 0) != exclude) {
      return Fail(TCtlFailure::kProtocol, exclude ? "an include entry where an exclude entry was expected"
                                                  : "an exclude entry where an include entry was expected");
    }
    if (index == 0 && entry.EntryCount > total && entry.EntryCount % 256 == count) total = entry.EntryCount;
    entries->push_back(entry);
  }
  return true;
}

std::optional<TRegisterResult> TCtlClient::Register(std::string_view name, std::uint16_t version) {
  assert(name.size() <= kClientNameSize);
  TRegisterRequest request;
  request.Version = version;
  std::copy(name.begin(), name.end(), request.ClientName.begin());
  if (!Send(Encode(request))) return std::nullopt;
  const auto reply = ReceiveType(kPacketRegisterReply);
  if (!reply) return std::nullopt;
  TRegisterResult result;
  result.Reply = DecodeRegisterReply(*reply);
  if (result.Reply.Status != kRegisterOk) return result;
  // Exclude entries come first, then include entries.
  if (!ReceiveList(true, result.Reply.ExcludeCount, &result.Entries) ||
      !ReceiveList(false, result.Reply.IncludeCount, &result.Entries)) {
    return std::nullopt;
  }
  return result;
}

std::optional<TNatReply> TCtlClient::Nat(const TNatRequest& request) {
  assert(request.Action <= kNatDelete);
  if (!Send(Encode(request))) return std::nullopt;
  const auto reply = ReceiveType(kPacketNatReply);
  if (!reply) return std::nullopt;
  return DecodeNatReply(*reply);
}

TCtlFailure TCtlClient::Hold() {
  for (;;) {
    const TWaitResult waited = WaitSocket(POLLIN, -1);
    if (waited != TWaitResult::Ready) return error_.Kind;
    std::uint8_t scratch[kPacketSize];
    const ssize_t n = RecvSome(socket_.get(), scratch, sizeof scratch);
    if (n == 0) {
      Fail(TCtlFailure::kClosed, "the server closed the session");
      return error_.Kind;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      Fail(TCtlFailure::kClosed, "connection lost: " + ErrnoText(errno));
      return error_.Kind;
    }
  }
}

// ---- Command line ---------------------------------------------------------

namespace {

std::optional<unsigned long> ParseNumber(std::string_view text, unsigned long max) {
  unsigned long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > max) return std::nullopt;
  return value;
}

std::optional<std::uint8_t> ParseProto(std::string_view text) {
  if (text == "tcp" || text == "TCP") return kProtoTcp;
  if (text == "udp" || text == "UDP") return kProtoUdp;
  const auto number = ParseNumber(text, 255);
  if (!number) return std::nullopt;
  return static_cast<std::uint8_t>(*number);
}

std::optional<std::uint32_t> ParseAddress(std::string_view text) {
  // Strict dotted quad: inet_pton takes no short forms and no names.
  in_addr addr{};
  if (::inet_pton(AF_INET, std::string(text).c_str(), &addr) != 1) return std::nullopt;
  return addr.s_addr;
}

bool IsOption(std::string_view word) { return word.size() > 1 && word[0] == '-'; }

// Walks the arguments once; each Parse* consumes what it recognises.
class TParser {
 public:
  explicit TParser(const std::vector<std::string_view>& args) : args_(args) {}

  TParseResult Run() {
    while (error_.empty() && next_ < args_.size()) {
      const std::string_view word = args_[next_++];
      if (IsOption(word)) {
        ParseOption(word);
        if (options_.Help) return {options_, {}};
      } else {
        ParseCommand(word);
      }
    }
    if (error_.empty() && options_.Commands.empty()) error_ = "no command given";
    if (!error_.empty()) return {std::nullopt, error_};
    return {options_, {}};
  }

 private:
  // The value of |name|: after '=' in the same word, or the next word.
  std::optional<std::string_view> Value(std::string_view name, std::optional<std::string_view> inline_value) {
    if (inline_value) return inline_value;
    if (next_ < args_.size()) return args_[next_++];
    error_ = std::string(name) + " needs a value";
    return std::nullopt;
  }

  // The value of |name| as a number in [min, max]; sets the error otherwise.
  std::optional<unsigned long> NumberValue(std::string_view name,
                                           std::optional<std::string_view> inline_value, unsigned long min,
                                           unsigned long max) {
    const auto value = Value(name, inline_value);
    if (!value) return std::nullopt;
    const auto number = ParseNumber(*value, max);
    if (number && *number >= min) return number;
    error_ = "bad " + std::string(name) + " " + Quoted(*value) + " (" + std::to_string(min) + "-" +
             std::to_string(max) + ")";
    return std::nullopt;
  }

  // The command that a command option belongs to, if it is of |kinds|.
  TCommand* Owner(std::string_view name, std::initializer_list<TCommandKind> kinds, const char* place) {
    if (!options_.Commands.empty() &&
        std::find(kinds.begin(), kinds.end(), options_.Commands.back().Kind) != kinds.end()) {
      return &options_.Commands.back();
    }
    error_ = std::string(name) + " belongs right after " + place;
    return nullptr;
  }

  void ParseOption(std::string_view word) {
    std::string_view name = word;
    std::optional<std::string_view> inline_value;
    if (const auto eq = word.find('='); eq != std::string_view::npos) {
      name = word.substr(0, eq);
      inline_value = word.substr(eq + 1);
    }
    if (name == "--help" || name == "-h") {
      options_.Help = true;
    } else if (name == "--hold" && !inline_value) {
      options_.Hold = true;
    } else if (name == "--server") {
      const auto value = Value(name, inline_value);
      if (value) ParseServer(*value);
    } else if (name == "--timeout") {
      if (const auto ms = NumberValue(name, inline_value, 1, kMaxTimeoutMs))
        options_.TimeoutMs = static_cast<int>(*ms);
    } else if (name == "--version") {
      TCommand* command = Owner(name, {TCommandKind::kRegister}, "register NAME");
      const auto number = command ? NumberValue(name, inline_value, 0, 65535) : std::nullopt;
      if (number) command->Version = static_cast<std::uint16_t>(*number);
    } else if (name == "--profile") {
      TCommand* command = Owner(name, {TCommandKind::kQuery, TCommandKind::kCreate, TCommandKind::kDelete},
                                "query, create or delete");
      const auto number = command ? NumberValue(name, inline_value, 0, 255) : std::nullopt;
      if (number) command->Profile = static_cast<std::uint8_t>(*number);
    } else {
      error_ = "unknown option " + Quoted(word);
    }
  }

  void ParseServer(std::string_view value) {
    const auto colon = value.rfind(':');
    const auto port =
        colon == std::string_view::npos ? std::nullopt : ParseNumber(value.substr(colon + 1), 65535);
    if (colon == 0 || !port || *port == 0) {
      error_ = "bad --server " + Quoted(value) + " (HOST:PORT, port 1-65535)";
      return;
    }
    options_.Host = std::string(value.substr(0, colon));
    options_.Port = static_cast<std::uint16_t>(*port);
  }

  // The next |count| words as operands of |command|, or nothing when they
  // are missing.
  std::optional<std::vector<std::string_view>> Operands(std::string_view command, std::size_t count,
                                                        const char* what) {
    if (args_.size() - next_ < count ||
        std::any_of(args_.begin() + static_cast<std::ptrdiff_t>(next_),
                    args_.begin() + static_cast<std::ptrdiff_t>(next_ + count), IsOption)) {
      error_ = std::string(command) + " needs " + what;
      return std::nullopt;
    }
    std::vector<std::string_view> words(args_.begin() + static_cast<std::ptrdiff_t>(next_),
                                        args_.begin() + static_cast<std::ptrdiff_t>(next_ + count));
    next_ += count;
    return words;
  }

  void ParseCommand(std::string_view word) {
    TCommand command;
    if (word == "nop") {
      command.Kind = TCommandKind::kNop;
    } else if (word == "register") {
      const auto operands = Operands(word, 1, "NAME");
      if (!operands) return;
      const std::string_view name = (*operands)[0];
      if (name.size() > kClientNameSize) {
        error_ =
            "name " + Quoted(name) + " is longer than " + std::to_string(kClientNameSize) + " characters";
        return;
      }
      command.Kind = TCommandKind::kRegister;
      command.Name = std::string(name);
    } else if (word == "query" || word == "create" || word == "delete") {
      const auto operands = Operands(word, 3, "PROTO ADDRESS PORT");
      if (!operands) return;
      command.Kind = word == "query"    ? TCommandKind::kQuery
                     : word == "create" ? TCommandKind::kCreate
                                        : TCommandKind::kDelete;
      const auto proto = ParseProto((*operands)[0]);
      const auto address = ParseAddress((*operands)[1]);
      const auto port = ParseNumber((*operands)[2], 65535);
      if (!proto) {
        error_ = "bad protocol " + Quoted((*operands)[0]) + " (tcp, udp or 0-255)";
      } else if (!address) {
        error_ = "bad address " + Quoted((*operands)[1]) + " (dotted IPv4, e.g. 192.168.0.10)";
      } else if (!port) {
        error_ = "bad port " + Quoted((*operands)[2]) + " (0-65535)";
      }
      if (!error_.empty()) return;
      command.Proto = *proto;
      command.Address = *address;
      command.Port = static_cast<std::uint16_t>(*port);
    } else {
      error_ = "unknown command " + Quoted(word);
      return;
    }
    options_.Commands.push_back(std::move(command));
  }

  const std::vector<std::string_view>& args_;
  std::size_t next_ = 0;
  TCtlOptions options_;
  std::string error_;
};

}  // namespace

TParseResult ParseCommandLine(const std::vector<std::string_view>& args) { return TParser(args).Run(); }

}  // namespace quorvane::ctl
