#include "tools/CtlCommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <initializer_list>

#include "servers/AddressHelpers.h"

namespace quorvane::ctl {
namespace {

constexpr int kMaxTimeoutMs = 3600000;

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

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

// A word that can only be meant as a host name: letters, digits, '-', '_'
// and '.', with at least one character that is no digit or dot, so that a
// mistyped dotted address is reported as such rather than looked up.
bool LooksLikeHostName(std::string_view text) {
  const auto name_char = [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '_' || c == '.'; };
  const auto not_dotted = [](unsigned char c) { return !std::isdigit(c) && c != '.'; };
  return !text.empty() && text.size() <= 253 && std::all_of(text.begin(), text.end(), name_char) &&
         std::any_of(text.begin(), text.end(), not_dotted);
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
        if (options_.Help || options_.ShowVersion) return {options_, {}};
      } else {
        ParseCommand(word);
      }
    }
    if (error_.empty()) CheckWhole();
    if (!error_.empty()) return {std::nullopt, error_};
    return {options_, {}};
  }

 private:
  // What only the whole line can tell.
  void CheckWhole() {
    const auto& commands = options_.Commands;
    const bool control = std::any_of(commands.begin(), commands.end(),
                                     [](const TCommand& c) { return !IsAdminCommand(c.Kind); });
    if (commands.empty()) {
      error_ = "no command given";
    } else if (options_.Hold && !control) {
      error_ = "--hold keeps a control session open, and the admin commands open none";
    }
  }

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
    const bool flag = !inline_value;
    if ((name == "--help" || name == "-h") && flag) {
      options_.Help = true;
    } else if ((name == "--version" || name == "-V") && flag) {
      // Register's protocol version was once given as "--version N";
      // without this hint the N would be taken for an unknown command.
      if (next_ < args_.size() && ParseNumber(args_[next_], 65535)) {
        error_ = "--version takes no value; the protocol version of register is given as --protocol N";
      } else {
        options_.ShowVersion = true;
      }
    } else if (name == "--version") {
      error_ = "--version takes no value; the protocol version of register is given as --protocol N";
    } else if (name == "--hold" && flag) {
      options_.Hold = true;
    } else if (name == "--json" && flag) {
      options_.Json = true;
    } else if (name == "--server" || name == "--admin") {
      const auto value = Value(name, inline_value);
      if (value && name == "--server") ParseEndpoint(name, *value, &options_.Host, &options_.Port);
      if (value && name == "--admin") ParseEndpoint(name, *value, &options_.AdminHost, &options_.AdminPort);
    } else if (name == "--token") {
      const auto value = Value(name, inline_value);
      if (value && !IsValidToken(*value)) {
        error_ = "bad --token (printable characters without blanks)";
      } else if (value) {
        options_.Token = std::string(*value);
      }
    } else if (name == "--timeout") {
      if (const auto ms = NumberValue(name, inline_value, 1, kMaxTimeoutMs))
        options_.TimeoutMs = static_cast<int>(*ms);
    } else if (name == "--protocol") {
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

  void ParseEndpoint(std::string_view name, std::string_view value, std::string* host, std::uint16_t* port) {
    const auto colon = value.rfind(':');
    const auto number =
        colon == std::string_view::npos ? std::nullopt : ParseNumber(value.substr(colon + 1), 65535);
    if (colon == 0 || !number || *number == 0) {
      error_ = "bad " + std::string(name) + " " + Quoted(value) + " (HOST:PORT, port 1-65535)";
      return;
    }
    *host = std::string(value.substr(0, colon));
    *port = static_cast<std::uint16_t>(*number);
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
    } else if (word == "list" || word == "status" || word == "sessions") {
      command.Kind = word == "list"     ? TCommandKind::kList
                     : word == "status" ? TCommandKind::kStatus
                                        : TCommandKind::kSessions;
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
    } else if (word == "query" || word == "create" || word == "delete" || word == "remove" ||
               word == "players") {
      const auto operands = Operands(word, 3, "PROTO HOST PORT");
      if (!operands) return;
      command.Kind = word == "query"    ? TCommandKind::kQuery
                     : word == "create" ? TCommandKind::kCreate
                     : word == "delete" ? TCommandKind::kDelete
                     : word == "remove" ? TCommandKind::kRemove
                                        : TCommandKind::kPlayers;
      const std::string_view host = (*operands)[1];
      const auto proto = ParseProto((*operands)[0]);
      const auto address = ParseAddress(host);
      const auto port = ParseNumber((*operands)[2], 65535);
      if (!proto) {
        error_ = "bad protocol " + Quoted((*operands)[0]) + " (tcp, udp or 0-255)";
      } else if (!address && !LooksLikeHostName(host)) {
        error_ = "bad host " + Quoted(host) + " (dotted IPv4, e.g. 192.168.0.10, or a host name)";
      } else if (!port) {
        error_ = "bad port " + Quoted((*operands)[2]) + " (0-65535)";
      }
      if (!error_.empty()) return;
      command.Proto = *proto;
      if (address) {
        command.Address = *address;
      } else {
        command.TargetHost = std::string(host);
      }
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

bool IsAdminCommand(TCommandKind kind) {
  return kind == TCommandKind::kList || kind == TCommandKind::kStatus || kind == TCommandKind::kSessions ||
         kind == TCommandKind::kRemove || kind == TCommandKind::kPlayers;
}

TParseResult ParseCommandLine(const std::vector<std::string_view>& args) { return TParser(args).Run(); }

bool IsValidToken(std::string_view token) {
  return !token.empty() &&
         std::all_of(token.begin(), token.end(), [](unsigned char c) { return c > 32 && c < 127; });
}

bool ResolveTargets(TCtlOptions* options, std::string* error) {
  for (TCommand& command : options->Commands) {
    if (command.TargetHost.empty()) continue;
    command.Address = ResolveHost(command.TargetHost);
    if (command.Address == kAddrNone) {
      *error = "cannot resolve host " + Quoted(command.TargetHost) + " to an IPv4 address";
      return false;
    }
  }
  return true;
}

}  // namespace quorvane::ctl
