#include "tools/CtlReport.h"

#include <nlohmann/json.hpp>

#include "servers/AddressHelpers.h"

namespace quorvane::ctl {
namespace {

using TJson = nlohmann::ordered_json;

std::string Endpoint(std::uint32_t addr_net, std::uint16_t port) {
  return AddrToStr(addr_net) + ":" + std::to_string(port);
}

TJson EndpointJson(std::uint32_t addr_net, std::uint16_t port) {
  return TJson{{"address", AddrToStr(addr_net)}, {"port", port}};
}

// Ends a reply: a JSON object on one line of its own.
void PrintJson(const TJson& reply, std::ostream& out) { out << reply.dump() << std::endl; }

}  // namespace

const char* Verb(TCommandKind kind) {
  switch (kind) {
    case TCommandKind::kNop:
      return "nop";
    case TCommandKind::kRegister:
      return "register";
    case TCommandKind::kQuery:
      return "query";
    case TCommandKind::kCreate:
      return "create";
    case TCommandKind::kDelete:
      return "delete";
    case TCommandKind::kList:
      return "list";
    case TCommandKind::kStatus:
      return "status";
    case TCommandKind::kSessions:
      return "sessions";
    case TCommandKind::kRemove:
      return "remove";
    case TCommandKind::kPlayers:
      return "players";
  }
  return "?";
}

std::string ProtoName(std::uint8_t proto) {
  if (proto == kProtoTcp) return "tcp";
  if (proto == kProtoUdp) return "udp";
  return std::to_string(proto);
}

std::string Describe(const TCommand& command) {
  if (command.Kind != TCommandKind::kQuery && command.Kind != TCommandKind::kCreate &&
      command.Kind != TCommandKind::kDelete && command.Kind != TCommandKind::kRemove &&
      command.Kind != TCommandKind::kPlayers) {
    return Verb(command.Kind);
  }
  const bool named = command.Proto == kProtoTcp || command.Proto == kProtoUdp;
  std::string text = std::string(Verb(command.Kind)) + (named ? " " : " proto ") + ProtoName(command.Proto) +
                     " " + Endpoint(command.Address, command.Port);
  if (command.Profile != 0) text += " profile " + std::to_string(command.Profile);
  return text;
}

int PrintNop(bool json, std::ostream& out) {
  if (json) {
    PrintJson({{"command", "nop"}, {"result", "ok"}}, out);
  } else {
    out << "nop: reply" << std::endl;
  }
  return kExitOk;
}

int PrintRegister(const TCommand& command, const TRegisterResult& result, bool json, std::ostream& out) {
  const TRegisterReply& reply = result.Reply;
  const bool ok = reply.Status == kRegisterOk;
  if (json) {
    TJson entries = TJson::array();
    for (const TAddressEntry& entry : result.Entries) {
      entries.push_back({{"list", entry.Exclude != 0 ? "exclude" : "include"},
                         {"index", entry.EntryIndex},
                         {"count", entry.EntryCount},
                         {"address", AddrToStr(entry.Address)},
                         {"mask", AddrToStr(entry.Mask)},
                         {"port", entry.Port},
                         {"proto", entry.Proto}});
    }
    PrintJson({{"command", "register"},
               {"name", command.Name},
               {"protocol", command.Version},
               {"status", reply.Status},
               {"result", ok ? "ok" : "refused"},
               {"server_version", reply.Version},
               {"entries", std::move(entries)}},
              out);
    return ok ? kExitOk : kExitRefused;
  }
  if (!ok) {
    out << "register: refused, "
        << (reply.Status == kRegisterTooOld ? std::string("version too old")
                                            : "status " + std::to_string(reply.Status))
        << " (server version " << reply.Version << ")" << std::endl;
    return kExitRefused;
  }
  out << "register: ok (version " << reply.Version << ", " << int{reply.IncludeCount} << " include, "
      << int{reply.ExcludeCount} << " exclude)" << std::endl;
  for (const TAddressEntry& entry : result.Entries) {
    out << "  " << (entry.Exclude != 0 ? "exclude " : "include ") << entry.EntryIndex << "/"
        << entry.EntryCount << ": " << AddrToStr(entry.Address) << "/" << AddrToStr(entry.Mask) << " port "
        << entry.Port;
    if (entry.Proto != kProtoTcp) out << " proto " << int{entry.Proto};
    out << std::endl;
  }
  return kExitOk;
}

int PrintNat(const TCommand& command, const TNatReply& reply, bool json, std::ostream& out) {
  int code = kExitProtocol;
  const char* result = "unknown";
  switch (reply.Status) {
    case kNatOk:
      code = kExitOk;
      result = "ok";
      break;
    case kNatNotFound:
      code = kExitNotFound;
      result = "not_found";
      break;
    case kNatFailed:
      code = kExitNatFailed;
      result = "failed";
      break;
  }
  // A delete reply's address and port carry nothing, nor do a failure's.
  const bool has_public = code == kExitOk && command.Kind != TCommandKind::kDelete;
  if (json) {
    PrintJson({{"command", Verb(command.Kind)},
               // The server relays as TCP for protocol 6 and as UDP for any other.
               {"proto", command.Proto},
               {"kind", command.Proto == kProtoTcp ? "tcp" : "udp"},
               {"target", EndpointJson(command.Address, command.Port)},
               {"profile", command.Profile},
               {"status", reply.Status},
               {"result", result},
               {"public", has_public ? EndpointJson(reply.Address, reply.PublicPort()) : TJson()}},
              out);
    return code;
  }
  out << Describe(command) << ": ";
  if (has_public) {
    out << "ok, public " << Endpoint(reply.Address, reply.PublicPort()) << std::endl;
  } else if (code == kExitOk) {
    out << "ok" << std::endl;
  } else if (code == kExitNotFound) {
    out << "not found" << std::endl;
  } else if (code == kExitNatFailed) {
    out << "failed" << std::endl;
  } else {
    out << "unknown status " << int{reply.Status} << std::endl;
  }
  return code;
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

int PrintFailure(const TCommand* command, const std::string& message, int code, bool json, std::ostream& out,
                 std::ostream& err, int http_status) {
  if (json) {
    TJson failure = TJson::object();
    if (command != nullptr) failure["command"] = Verb(command->Kind);
    failure["error"] = message;
    if (http_status != 0) failure["status"] = http_status;
    // A message may quote what a peer sent: bytes that are no UTF-8 are replaced.
    out << failure.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  } else {
    err << "quorvane-ctl: " << (command != nullptr ? Describe(*command) + ": " : std::string()) << message
        << std::endl;
  }
  return code;
}

int ReportFailure(const TCommand* command, const TCtlError& error, bool json, std::ostream& out,
                  std::ostream& err) {
  return PrintFailure(command, error.Message, ExitCodeOf(error.Kind), json, out, err);
}

}  // namespace quorvane::ctl
