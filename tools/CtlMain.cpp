// quorvane-ctl: runs control commands on one session and prints each reply
// decoded, one line per packet (or one JSON object per reply with --json);
// list, status, sessions, remove and players go to a server's admin endpoint over
// HTTP. Replies go to standard output (also the refusals and failures the
// server answers with); failures of the tool itself (connection, time-out,
// malformed reply, an HTTP error) go to standard error, or with --json to
// standard output as JSON objects. A bad command line always goes to
// standard error.
//
// SIGINT and SIGTERM are blocked and read through a signalfd that every wait
// of the clients watches, so an interrupt ends any wait at once and --hold
// can release its session cleanly.
#include <signal.h>
#include <sys/signalfd.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/Net.h"
#include "tools/AdminCommands.h"
#include "tools/CtlClient.h"
#include "tools/CtlCommandLine.h"
#include "tools/CtlExitCode.h"
#include "tools/CtlReport.h"

#ifndef QUORVANE_VERSION
#error "the build defines QUORVANE_VERSION (and QUORVANE_COMMIT, empty when unknown)"
#endif

namespace quorvane::ctl {
namespace {

constexpr char kTokenVariable[] = "QUORVANE_ADMIN_TOKEN";

constexpr char kUsage[] =
    R"(usage: quorvane-ctl [OPTION]... COMMAND...

Runs the control commands in order on one control session and prints every
reply; the admin commands ask a running server's admin endpoint instead.

Control commands (to --server):
  nop                             ask for a Nop reply
  register NAME [--protocol N]    register as NAME (at most 12 characters),
                                  stating protocol version N (default 4);
                                  prints the address-list entries that follow
  query  PROTO HOST PORT [--profile N]   find the redirector for HOST:PORT
  create PROTO HOST PORT [--profile N]   create it, or get the existing one
  delete PROTO HOST PORT [--profile N]   delete it
      PROTO is tcp, udp or a protocol number 0-255; HOST is a dotted IPv4
      address or a name, resolved here as for --server; PORT is 0-65535;
      --profile N (0-255) picks the game profile of a create when the
      session registered as BNETD.

Admin commands (to --admin, over HTTP):
  list                            the server's redirectors, as a table
  sessions                        the server's control sessions, as a table
  status                          the server's totals
  remove PROTO HOST PORT          destroy that redirector, whichever session
                                  owns it (delete asks as a client would)
  players PROTO HOST PORT         that redirector's players (its TCP relays
                                  or UDP sessions), as a table

Options:
  --server HOST:PORT  control port to talk to (default 127.0.0.1:9989)
  --admin HOST:PORT   admin endpoint for the admin commands (default
                      127.0.0.1:9990)
  --token TOKEN       bearer token for the admin endpoint (default: the
                      environment variable QUORVANE_ADMIN_TOKEN, which keeps
                      it out of the process list)
  --timeout MS        limit for connecting and for each reply (default 5000)
  --json              print each reply as one JSON object on a line of its
                      own; list, sessions, status and players print the
                      endpoint's JSON; failures too are objects on standard output:
                      {"command": ..., "error": ..., "status": HTTP status}
  --hold              after the commands, keep the control session open until
                      SIGINT or SIGTERM: the server removes a session's
                      redirectors when the session ends
  -h, --help          show this text
  -V, --version       show the version of quorvane-ctl

Exit status:
  0   every command succeeded (with --hold: and the session was released)
  2   bad command line, or a target HOST that does not resolve
  3   the server refused the registration
  4   query, delete, remove or players: no such redirector
  5   could not connect (refused, unreachable, unknown host), or the server
      closed the connection
  6   no answer within the time-out
  7   a reply that does not fit the protocol
  8   interrupted by SIGINT or SIGTERM before every command was answered
  9   the server failed the request (status 255), e.g. it refused a create
  10  the admin endpoint answered with an HTTP error (401 or 403: the token
      is missing or wrong; 404, 5xx, ...)
The first failure decides the status. After 4 or 9 the session goes on with
the next command; after any other failure nothing more is run.
)";

int Usage(const std::string& reason) {
  std::cerr << "quorvane-ctl: " << reason << "\nTry 'quorvane-ctl --help'." << std::endl;
  return kExitUsage;
}

int Execute(TCtlClient& client, const TCommand& command, bool json) {
  const auto failed = [&] { return ReportFailure(&command, client.Error(), json, std::cout, std::cerr); };
  switch (command.Kind) {
    case TCommandKind::kNop:
      return client.Nop() ? PrintNop(json, std::cout) : failed();
    case TCommandKind::kRegister: {
      const auto result = client.Register(command.Name, command.Version);
      return result ? PrintRegister(command, *result, json, std::cout) : failed();
    }
    case TCommandKind::kQuery:
    case TCommandKind::kCreate:
    case TCommandKind::kDelete: {
      TNatRequest request;
      request.Proto = command.Proto;
      request.Action = command.Kind == TCommandKind::kQuery    ? kNatQuery
                       : command.Kind == TCommandKind::kCreate ? kNatCreate
                                                               : kNatDelete;
      request.Port = command.Port;
      request.Address = command.Address;
      request.Profile = command.Profile;
      const auto reply = client.Nat(request);
      return reply ? PrintNat(command, *reply, json, std::cout) : failed();
    }
    case TCommandKind::kList:
    case TCommandKind::kStatus:
    case TCommandKind::kSessions:
    case TCommandKind::kRemove:
    case TCommandKind::kPlayers:
      break;  // not control commands
  }
  return kExitOk;
}

int Run(const TCtlOptions& options, int wake_fd) {
  // The control session opens at the first control command, so that a run
  // of admin commands alone never touches the control port.
  std::optional<TCtlClient> client;
  int result = kExitOk;
  for (const TCommand& command : options.Commands) {
    int code = kExitOk;
    if (IsAdminCommand(command.Kind)) {
      code = RunAdminCommand(options, command, wake_fd, std::cout, std::cerr);
    } else {
      if (!client) {
        client.emplace(options.TimeoutMs, wake_fd);
        if (!client->Connect(options.Host, options.Port))
          return ReportFailure(nullptr, client->Error(), options.Json, std::cout, std::cerr);
      }
      code = Execute(*client, command, options.Json);
    }
    if (result == kExitOk) result = code;
    // A NAT failure leaves the session usable; a refused registration ends
    // it on the server's side, and anything else leaves it broken.
    if (code != kExitOk && code != kExitNotFound && code != kExitNatFailed) return code;
  }
  if (result != kExitOk || !options.Hold) return result;
  std::cerr << "quorvane-ctl: holding the session; SIGINT or SIGTERM releases it" << std::endl;
  if (client->Hold() == TCtlFailure::kInterrupted) return kExitOk;
  return ReportFailure(nullptr, client->Error(), options.Json, std::cout, std::cerr);
}

// Blocks SIGINT and SIGTERM and returns a signalfd that reports them, or -1
// (with the signals left as they were) when that is not possible.
int OpenSignalFd() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return -1;
  const int fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  return fd;
}

}  // namespace
}  // namespace quorvane::ctl

int main(int argc, char** argv) {
  using namespace quorvane::ctl;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  TParseResult parsed = ParseCommandLine(args);
  if (!parsed.Options) return Usage(parsed.Error);
  TCtlOptions& options = *parsed.Options;
  if (options.Help) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (options.ShowVersion) {
    const std::string_view commit = QUORVANE_COMMIT;
    std::cout << "quorvane-ctl " << QUORVANE_VERSION
              << (commit.empty() ? std::string() : " (commit " + std::string(commit) + ")") << std::endl;
    return kExitOk;
  }
  if (options.Token.empty()) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before any thread could exist
    if (const char* token = std::getenv(kTokenVariable); token != nullptr && *token != '\0') {
      if (!IsValidToken(token))
        return Usage(std::string("bad ") + kTokenVariable + " (printable characters without blanks)");
      options.Token = token;
    }
  }
  std::string error;
  if (!ResolveTargets(&options, &error)) {
    std::cerr << "quorvane-ctl: " << error << std::endl;
    return kExitUsage;
  }
  const quorvane::TUniqueFd signals(OpenSignalFd());
  return Run(options, signals.Get());
}
