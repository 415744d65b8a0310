// quorvane-ctl: runs control commands on one session and prints each reply
// decoded, one line per packet. Replies go to standard output (also the
// refusals and failures the server answers with); failures of the tool itself
// (connection, time-out, malformed reply, bad arguments) go to standard error.
//
// SIGINT and SIGTERM are blocked and read through a signalfd that every wait
// of the client watches, so an interrupt ends any wait at once and --hold
// can release its session cleanly.
#include <signal.h>
#include <sys/signalfd.h>

#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "servers/AddressHelpers.h"
#include "tools/CtlClient.h"

namespace quorvane::ctl {
namespace {

constexpr char kUsage[] =
    R"(usage: quorvane-ctl [--server HOST:PORT] [--timeout MS] [--hold] COMMAND...

Runs the commands in order on one control session and prints every reply.

Commands:
  nop                             ask for a Nop reply
  register NAME [--version N]     register as NAME (at most 12 characters) with
                                  protocol version N (default 4); prints the
                                  address-list entries that follow
  query  PROTO ADDRESS PORT [--profile N]   find the redirector for ADDRESS:PORT
  create PROTO ADDRESS PORT [--profile N]   create it, or get the existing one
  delete PROTO ADDRESS PORT [--profile N]   delete it
      PROTO is tcp, udp or a protocol number 0-255; ADDRESS is dotted IPv4;
      PORT is 0-65535; --profile N (0-255) picks the game profile of a
      create when the session registered as BNETD.

Options:
  --server HOST:PORT  server to talk to (default 127.0.0.1:9989)
  --timeout MS        limit for connecting and for each reply (default 5000)
  --hold              after the commands, keep the session open until SIGINT
                      or SIGTERM: the server removes a session's redirectors
                      when the session ends
  --help              show this text

Exit status:
  0  every command succeeded (with --hold: and the session was released)
  2  bad command line
  3  the server refused the registration
  4  a NAT request failed or found no redirector
  5  could not connect, or the server closed the session
  6  no reply within the time-out
  7  a reply that does not fit the protocol
  8  interrupted by SIGINT or SIGTERM before every command was answered
)";

std::string ProtoName(std::uint8_t proto) {
  if (proto == kProtoTcp) return "tcp";
  if (proto == kProtoUdp) return "udp";
  return "proto " + std::to_string(proto);
}

std::string Endpoint(std::uint32_t addr_net, std::uint16_t port) {
  return AddrToStr(addr_net) + ":" + std::to_string(port);
}

// How a command introduces its reply line: "create tcp 127.0.0.1:8080".
std::string Describe(const TCommand& command) {
  switch (command.Kind) {
    case TCommandKind::kNop:
      return "nop";
    case TCommandKind::kRegister:
      return "register";
    case TCommandKind::kQuery:
    case TCommandKind::kCreate:
    case TCommandKind::kDelete:
      break;
  }
  const char* verb = command.Kind == TCommandKind::kQuery    ? "query"
                     : command.Kind == TCommandKind::kCreate ? "create"
                                                             : "delete";
  std::string text =
      std::string(verb) + " " + ProtoName(command.Proto) + " " + Endpoint(command.Address, command.Port);
  if (command.Profile != 0) text += " profile " + std::to_string(command.Profile);
  return text;
}

int ExitCodeOf(TCtlFailure failure) {
  switch (failure) {
    case TCtlFailure::kTimeout:
      return kExitTimeout;
    case TCtlFailure::kProtocol:
      return kExitProtocol;
    case TCtlFailure::kInterrupted:
      return kExitInterrupted;
    default:
      return kExitConnection;
  }
}

int ReportFailure(const std::string& context, const TCtlError& error) {
  std::cerr << "quorvane-ctl: " << context << (context.empty() ? "" : ": ") << error.Message << std::endl;
  return ExitCodeOf(error.Kind);
}

int PrintRegister(const TRegisterResult& result) {
  const TRegisterReply& reply = result.Reply;
  if (reply.Status != kRegisterOk) {
    std::cout << "register: refused, "
              << (reply.Status == kRegisterTooOld ? std::string("version too old")
                                                  : "status " + std::to_string(reply.Status))
              << " (server version " << reply.Version << ")" << std::endl;
    return kExitRefused;
  }
  std::cout << "register: ok (version " << reply.Version << ", " << int{reply.IncludeCount} << " include, "
            << int{reply.ExcludeCount} << " exclude)" << std::endl;
  for (const TAddressEntry& entry : result.Entries) {
    std::cout << "  " << (entry.Exclude != 0 ? "exclude " : "include ") << entry.EntryIndex << "/"
              << entry.EntryCount << ": " << AddrToStr(entry.Address) << "/" << AddrToStr(entry.Mask)
              << " port " << entry.Port;
    if (entry.Proto != kProtoTcp) std::cout << " proto " << int{entry.Proto};
    std::cout << std::endl;
  }
  return kExitOk;
}

int PrintNat(const TCommand& command, const TNatReply& reply) {
  std::cout << Describe(command) << ": ";
  switch (reply.Status) {
    case kNatOk:
      // A delete reply's address and port carry nothing.
      if (command.Kind == TCommandKind::kDelete) {
        std::cout << "ok" << std::endl;
      } else {
        std::cout << "ok, public " << Endpoint(reply.Address, reply.PublicPort()) << std::endl;
      }
      return kExitOk;
    case kNatNotFound:
      std::cout << "not found" << std::endl;
      return kExitNatFailed;
    case kNatFailed:
      std::cout << "failed" << std::endl;
      return kExitNatFailed;
    default:
      std::cout << "unknown status " << int{reply.Status} << std::endl;
      return kExitNatFailed;
  }
}

int Execute(TCtlClient& client, const TCommand& command) {
  switch (command.Kind) {
    case TCommandKind::kNop: {
      const auto reply = client.Nop();
      if (!reply) return ReportFailure(Describe(command), client.Error());
      std::cout << "nop: reply" << std::endl;
      return kExitOk;
    }
    case TCommandKind::kRegister: {
      const auto result = client.Register(command.Name, command.Version);
      return result ? PrintRegister(*result) : ReportFailure(Describe(command), client.Error());
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
      return reply ? PrintNat(command, *reply) : ReportFailure(Describe(command), client.Error());
    }
  }
  return kExitOk;
}

int Run(const TCtlOptions& options, int wake_fd) {
  TCtlClient client(options.TimeoutMs, wake_fd);
  if (!client.Connect(options.Host, options.Port)) return ReportFailure("", client.Error());
  int result = kExitOk;
  for (const TCommand& command : options.Commands) {
    const int code = Execute(client, command);
    if (result == kExitOk) result = code;
    // A NAT failure leaves the session usable; a refused registration ends
    // it on the server's side, and anything else leaves it broken.
    if (code != kExitOk && code != kExitNatFailed) return code;
  }
  if (result != kExitOk || !options.Hold) return result;
  std::cerr << "quorvane-ctl: holding the session; SIGINT or SIGTERM releases it" << std::endl;
  if (client.Hold() == TCtlFailure::kInterrupted) return kExitOk;
  return ReportFailure("", client.Error());
}

// Blocks SIGINT and SIGTERM and returns a signalfd that reports them, or -1
// (with the signals left as they were) when that is not possible.
int OpenSignalFd() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) return -1;
  const int fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) sigprocmask(SIG_UNBLOCK, &signals, nullptr);
  return fd;
}

}  // namespace
}  // namespace quorvane::ctl

int main(int argc, char** argv) {
  using namespace quorvane::ctl;
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const TParseResult parsed = ParseCommandLine(args);
  if (!parsed.Options) {
    std::cerr << "quorvane-ctl: " << parsed.Error << "\n\n" << kUsage;
    return kExitUsage;
  }
  if (parsed.Options->Help) {
    std::cout << kUsage;
    return kExitOk;
  }
  const quorvane::UniqueFd signals(OpenSignalFd());
  return Run(*parsed.Options, signals.get());
}
