// Client side of the control protocol, for operators and scripts.
//
// TCtlClient is one TCP control session: it connects with a time-out, sends
// packets built by the codec and reads back exactly one 220-byte packet per
// call, each within the same time-out. It is single-threaded and blocking; every
// wait is a poll() that also watches an optional wake descriptor, so that a
// signal (delivered through a signalfd) ends any wait at once.
//
// The command line of quorvane-ctl is parsed here too, as a pure function, so
// that it can be tested without a process or a socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "requests/RequestPacket.h"
#include "runtime/Net.h"

namespace quorvane::ctl {

inline constexpr std::uint16_t kDefaultServerPort = 9989;
inline constexpr int kDefaultTimeoutMs = 5000;
inline constexpr std::uint8_t kProtoUdp = 17;

// Process exit codes of quorvane-ctl (documented in its --help).
enum TExitCode : int {
  kExitOk = 0,
  kExitUsage = 2,        // bad command line
  kExitRefused = 3,      // the server refused the registration
  kExitNatFailed = 4,    // a NAT request failed or found nothing
  kExitConnection = 5,   // could not connect, or the session broke
  kExitTimeout = 6,      // no reply within the time-out
  kExitProtocol = 7,     // a reply that does not fit the protocol
  kExitInterrupted = 8,  // SIGINT/SIGTERM before every command was answered
};

// Why a TCtlClient call gave no result.
enum class TCtlFailure { kNone, kConnect, kClosed, kTimeout, kProtocol, kInterrupted };

struct TCtlError {
  TCtlFailure Kind = TCtlFailure::kNone;
  std::string Message;  // human-readable, without a trailing newline
};

// An accepted or refused registration. When Reply.Status is 0, Entries holds
// the address-list entries that followed it: the exclude list, then the
// include list, in the order they came.
struct TRegisterResult {
  TRegisterReply Reply;
  std::vector<TAddressEntry> Entries;
};

// One control session. Not thread-safe: one thread owns and uses it.
class TCtlClient final {
 public:
  // |timeout_ms| bounds connecting and the arrival of each reply packet.
  // |wake_fd| (not owned; -1 for none): once it is readable, any wait ends
  // with kInterrupted. The caller keeps it open for the client's lifetime.
  explicit TCtlClient(int timeout_ms, int wake_fd = -1);
  TCtlClient(const TCtlClient&) = delete;
  TCtlClient& operator=(const TCtlClient&) = delete;

  // Resolves |host| (dotted or a name) and connects. False with Error() set
  // on failure. REQUIRES: not connected yet.
  bool Connect(const std::string& host, std::uint16_t port);

  // The calls below REQUIRE a successful Connect. After a failed call the
  // session may be out of step with the server and should be given up; a
  // refusal by the server (Register or NAT status) is a result, not a failure.

  // Sends one whole packet. False with Error() set when the session broke.
  bool Send(const TRequestPacket& packet);
  // Receives exactly one packet, any type. nullopt with Error() set on
  // time-out, close, interruption, or a packet whose Size is not 220.
  std::optional<TRequestPacket> Receive();

  // Nop with IsReply 0; the answer must be a Nop.
  std::optional<TNop> Nop();
  // Register request; on Status 0 also reads the address-list entries.
  // REQUIRES: |name| has at most 12 characters.
  std::optional<TRegisterResult> Register(std::string_view name, std::uint16_t version);
  // NAT request; |request.Action| must be 0, 1 or 2, since the server answers
  // nothing else and the call would only run into its time-out.
  std::optional<TNatReply> Nat(const TNatRequest& request);

  // Keeps the session open until the wake descriptor fires (kInterrupted) or
  // the server ends the session (kClosed). Stray bytes from the server are
  // read and dropped. Returns why it stopped; Error() tells the same.
  TCtlFailure Hold();

  const TCtlError& Error() const { return error_; }

 private:
  // Waits for |events| on the socket until |deadline_ms| (steady clock, ms;
  // < 0: no limit). Sets Error() when woken (kInterrupted) or when the wait
  // itself fails; a time-out is left to the caller to describe.
  TWaitResult WaitSocket(short events, std::int64_t deadline_ms);
  std::optional<TRequestPacket> ReceiveType(std::uint8_t expected_type);
  // Reads the entries of one address list announced with |count|.
  bool ReceiveList(bool exclude, std::uint8_t count, std::vector<TAddressEntry>* entries);
  bool Fail(TCtlFailure kind, std::string message);

  const int timeout_ms_;
  const int wake_fd_;
  UniqueFd socket_;
  TCtlError error_;
};

// ---- Command line ---------------------------------------------------------

enum class TCommandKind { kNop, kRegister, kQuery, kCreate, kDelete };

// One command of the command line, ready to become one request.
struct TCommand {
  TCommandKind Kind = TCommandKind::kNop;
  std::string Name;                          // register
  std::uint16_t Version = kProtocolVersion;  // register
  std::uint8_t Proto = kProtoTcp;            // query/create/delete
  std::uint32_t Address = 0;                 // network order
  std::uint16_t Port = 0;                    // host order
  std::uint8_t Profile = 0;                  // query/create/delete
};

struct TCtlOptions {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = kDefaultServerPort;
  int TimeoutMs = kDefaultTimeoutMs;
  bool Hold = false;
  bool Help = false;  // --help: print usage, run nothing
  std::vector<TCommand> Commands;
};

struct TParseResult {
  std::optional<TCtlOptions> Options;  // nullopt: Error says what is wrong
  std::string Error;
};

// Parses the arguments after the program name. Global options may stand
// before, between or after the commands; --version and --profile belong to
// the command just before them. Pure: no I/O.
TParseResult ParseCommandLine(const std::vector<std::string_view>& args);

}  // namespace quorvane::ctl
