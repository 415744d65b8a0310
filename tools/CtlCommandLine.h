// The command line of quorvane-ctl, parsed as a pure function so that it can
// be tested without a process or a socket. Names of target hosts are kept as
// text here and resolved by ResolveTargets, the one step that does I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "requests/RequestPacket.h"
#include "requests/Settings.h"

namespace quorvane::ctl {

inline constexpr int kDefaultTimeoutMs = 5000;
// Where the admin commands go without --admin: the port the server's
// documentation suggests for [ADMIN] PORT, on this machine.
inline constexpr char kDefaultAdminHost[] = "127.0.0.1";
inline constexpr std::uint16_t kDefaultAdminPort = 9990;

// Control commands go to --server over the control protocol; kList,
// kStatus, kSessions, kRemove and kPlayers go to --admin over HTTP.
enum class TCommandKind {
  kNop,
  kRegister,
  kQuery,
  kCreate,
  kDelete,
  kList,
  kStatus,
  kSessions,
  kRemove,
  kPlayers
};

// One command of the command line, ready to become one request.
struct TCommand {
  TCommandKind Kind = TCommandKind::kNop;
  std::string Name;                          // register
  std::uint16_t Version = kProtocolVersion;  // register: the protocol version it states
  std::uint8_t Proto = kProtoTcp;            // query/create/delete/remove/players
  std::uint32_t Address = 0;                 // network order; valid once TargetHost is resolved
  std::string TargetHost;                    // a target given as a name; empty when dotted
  std::uint16_t Port = 0;                    // host order
  std::uint8_t Profile = 0;                  // query/create/delete
};

bool IsAdminCommand(TCommandKind kind);

struct TCtlOptions {
  std::string Host = "127.0.0.1";
  std::uint16_t Port = kDefaultServerPort;
  std::string AdminHost = kDefaultAdminHost;
  std::uint16_t AdminPort = kDefaultAdminPort;
  std::string Token;  // bearer token for the admin endpoint; empty: none
  int TimeoutMs = kDefaultTimeoutMs;
  bool Hold = false;
  bool Json = false;
  bool Help = false;         // --help: print usage, run nothing
  bool ShowVersion = false;  // --version: print the version, run nothing
  std::vector<TCommand> Commands;
};

struct TParseResult {
  std::optional<TCtlOptions> Options;  // nullopt: Error says what is wrong
  std::string Error;
};

// Parses the arguments after the program name. Global options may stand
// before, between or after the commands; --protocol and --profile belong to
// the command just before them. Pure: no I/O.
TParseResult ParseCommandLine(const std::vector<std::string_view>& args);

// True when |token| can travel in an Authorization header: printable ASCII
// without blanks, so that no value can add a header line of its own.
bool IsValidToken(std::string_view token);

// Resolves every command's TargetHost into its Address, as --server is
// resolved. False with |error| set for the first name that does not resolve.
bool ResolveTargets(TCtlOptions* options, std::string* error);

}  // namespace quorvane::ctl
