#include "app/ConfigCheck.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <string_view>
#include <system_error>

#include "app/Config.h"
#include "runtime/Net.h"
#include "servers/AddressHelpers.h"

namespace quorvane {
namespace {

// What a key holds, and so how its text is judged.
enum class TValueKind : std::uint8_t {
  kText,         // anything goes
  kHost,         // judged once resolved (CheckProfileHosts)
  kPort,         // integer, low 16 bits kept
  kFlag,         // integer, non-zero is true
  kLimit,        // integer >= 0
  kCap,          // integer >= 0, and 0 or at least the key's Floor
  kPercent,      // integer 0 to 100
  kAddressList,  // addr[/mask],...
  kTargets,      // ANY or PEER
  kRangePort,    // empty, or an integer 1 to 65535; else an error
  kAnnounce,     // empty, or a literal IPv4 address; else an error
};

struct TKnownKey {
  std::string_view Name;
  TValueKind Kind;
  std::int32_t Default = 0;  // integer kinds
  // kCap: a rate so low that players could not play; warned of, as a
  // mistake in the unit or a missing digit is the likelier story.
  std::int32_t Floor = 0;
};

// UDP_BYTES_PER_PLAYER: a datagram larger than a player's whole second
// never passes, and an Ethernet frame's worth must. The rest: below these
// no game's traffic gets through at its own pace.
constexpr std::int32_t kLeastUdpDatagrams = 100;
constexpr std::int32_t kLeastUdpBytes = 1500;
constexpr std::int32_t kLeastTcpBytes = 16384;

struct TKnownSection {
  std::string_view Name;
  std::vector<TKnownKey> Keys;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Every section and key the server reads, as ReadConfig reads them.
const std::vector<TKnownSection>& KnownSections() {
  static const std::vector<TKnownSection> kSections = [] {
    const TLimits limits;
    const std::vector<TKnownKey> profile_keys = {
        {"ENABLED", TValueKind::kFlag, 0},     {"HOST", TValueKind::kHost},
        {"ANNOUNCE", TValueKind::kAnnounce},   {"INCLUDE", TValueKind::kAddressList},
        {"EXCLUDE", TValueKind::kAddressList}, {"PORT", TValueKind::kPort, kDefaultProfilePort}};
    std::vector<TKnownSection> all = {
        {kServerSection,
         {{"HOST", TValueKind::kHost},
          {"PORT", TValueKind::kPort, kDefaultServerPort},
          {"PORT_MIN", TValueKind::kRangePort},
          {"PORT_MAX", TValueKind::kRangePort},
          {"ANNOUNCE", TValueKind::kAnnounce}}},
        {kLimitsSection,
         {{"SESSIONS_PER_ADDRESS", TValueKind::kLimit, static_cast<std::int32_t>(limits.SessionsPerAddress)},
          {"REDIRECTORS_PER_ADDRESS", TValueKind::kLimit,
           static_cast<std::int32_t>(limits.RedirectorsPerAddress)},
          {"CONNECTIONS_PER_ADDRESS", TValueKind::kLimit,
           static_cast<std::int32_t>(limits.ConnectionsPerAddress)},
          {"UDP_SESSIONS", TValueKind::kLimit, static_cast<std::int32_t>(limits.UdpSessions)},
          {"REQUESTS_PER_ADDRESS", TValueKind::kLimit, static_cast<std::int32_t>(limits.RequestsPerAddress)},
          {"SESSION_DESCRIPTORS", TValueKind::kPercent, static_cast<std::int32_t>(limits.SessionDescriptors)},
          {"REDIRECTOR_DESCRIPTORS", TValueKind::kPercent,
           static_cast<std::int32_t>(limits.RedirectorDescriptors)},
          {"RELAY_DESCRIPTORS", TValueKind::kPercent, static_cast<std::int32_t>(limits.RelayDescriptors)},
          {"UDP_DATAGRAMS_PER_PLAYER", TValueKind::kCap,
           static_cast<std::int32_t>(limits.UdpDatagramsPerPlayer), kLeastUdpDatagrams},
          {"UDP_BYTES_PER_PLAYER", TValueKind::kCap, static_cast<std::int32_t>(limits.UdpBytesPerPlayer),
           kLeastUdpBytes},
          {"TCP_BYTES_PER_PLAYER", TValueKind::kCap, static_cast<std::int32_t>(limits.TcpBytesPerPlayer),
           kLeastTcpBytes},
          {"BYTES_PER_REDIRECTOR", TValueKind::kCap, static_cast<std::int32_t>(limits.BytesPerRedirector),
           kLeastTcpBytes}}},
        {kPolicySection,
         {{"TARGETS", TValueKind::kTargets},
          {"DENY", TValueKind::kAddressList},
          {"OWNER_ONLY", TValueKind::kFlag, 0}}},
        {kAdminSection,
         {{"HOST", TValueKind::kText},
          {"PORT", TValueKind::kPort, 0},
          {"TOKEN", TValueKind::kText},
          {"TOKEN_FILE", TValueKind::kText}}},
    };
    for (std::string_view name : ProfileSections) {
      if (std::none_of(all.begin(), all.end(), [name](const TKnownSection& s) { return s.Name == name; })) {
        all.push_back({name, profile_keys});
      }
    }
    return all;
  }();
  return kSections;
}

// Edit distance, for "did you mean": small names only.
std::size_t Distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      const bool same = std::toupper(static_cast<unsigned char>(a[i - 1])) ==
                        std::toupper(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean X?)" for the nearest of |names| within two edits, or "".
template <class Names, class NameOf>
std::string Suggestion(std::string_view written, const Names& names, NameOf name_of, std::string_view open,
                       std::string_view close) {
  constexpr std::size_t kMaxEdits = 2;
  std::string_view best;
  std::size_t best_distance = kMaxEdits + 1;
  for (const auto& candidate : names) {
    const std::size_t d = Distance(written, name_of(candidate));
    if (d < best_distance) {
      best_distance = d;
      best = name_of(candidate);
    }
  }
  if (best.empty()) return {};
  return " (did you mean " + std::string(open) + std::string(best) + std::string(close) + "?)";
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string RightTrimmed(std::string_view text) {
  const std::size_t last = text.find_last_not_of(" \t");
  return std::string(last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1));
}

bool IsNetworkMask(std::uint32_t mask_net) {
  const std::uint32_t inverted = ~ntohl(mask_net);
  return (inverted & (inverted + 1)) == 0;
}

// The dotted mask of a prefix length written where a mask belongs ("8"),
// or "" when |text| is no such length.
std::string MaskForPrefix(std::string_view text) {
  std::int32_t bits = 0;
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  if (text.empty() || text.size() > 2 || !std::all_of(text.begin(), text.end(), digit) ||
      !IsIniInteger(text, &bits) || bits > 32) {
    return {};
  }
  const std::uint32_t host = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
  return AddrToStr(htonl(host));
}

// One address or mask text of a list entry, as the dotted conversion
// (inet_addr) reads it.
void CheckDotted(std::string_view what, std::string_view text, bool is_mask, const std::string& where,
                 int line, TDiagnostics& out) {
  const std::string prefix = where + ": " + std::string(what) + " " + Quoted(text);
  in_addr parsed{};
  if (text.empty()) {
    out.Warn(line, prefix + " is empty and is read as 255.255.255.255");
    return;
  }
  if (::inet_aton(std::string(text).c_str(), &parsed) == 0) {
    const bool blank = text.find_first_of(" \t") != std::string_view::npos;
    out.Warn(line, prefix + " does not parse and is read as 255.255.255.255" +
                       (blank ? " (blanks are not allowed in an address list)" : ""));
    return;
  }
  const std::string read_as = AddrToStr(parsed.s_addr);
  const bool rewritten = read_as != RightTrimmed(text);
  if (is_mask && !IsNetworkMask(parsed.s_addr)) {
    const std::string mask = MaskForPrefix(text);
    out.Warn(line, prefix + " is read as " + read_as + ", which is not a network mask" +
                       (mask.empty() ? "" : " (for a /" + std::string(text) + " prefix write " + mask + ")"));
  } else if (rewritten) {
    out.Warn(line, prefix + " is read as " + read_as);
  }
}

void CheckAddressList(std::string_view section, std::string_view key, std::string_view value, int line,
                      TDiagnostics& out) {
  for (const TAddressListEntry& entry : SplitAddressList(value)) {
    const std::string where = std::string(section) + "/" + std::string(key) + " entry " + Quoted(entry.Text);
    if (entry.Text.empty()) {
      out.Warn(line, where + ": an empty entry is read as address 255.255.255.255");
      continue;
    }
    CheckDotted("address", entry.Address, false, where, line, out);
    if (entry.HasMask) CheckDotted("mask", entry.Mask, true, where, line, out);
  }
}

// A name is refused rather than looked up: the announced address must not
// change with what a name server says at the next reload.
void CheckAnnounce(const std::string& shown, const std::string& value, int line, TDiagnostics& out) {
  if (value.empty()) return;
  in_addr parsed{};
  if (::inet_pton(AF_INET, value.c_str(), &parsed) != 1) {
    out.Error(line, shown + " is not a literal IPv4 address (four decimal numbers; names are not looked up)");
  } else if (AnnounceableAddr(value) == 0) {
    out.Error(line, shown + " is an address remote players cannot reach");
  } else if ((ntohl(parsed.s_addr) >> 24) == 127) {
    out.Warn(line, shown + " is a loopback address, where remote players cannot reach redirectors");
  }
}

void CheckValue(const TIniFile& ini, std::string_view section, const TKnownKey& rule, const TIniKey& key,
                TDiagnostics& out) {
  const std::string name = std::string(section) + "/" + std::string(rule.Name);
  if (key.Value.size() > kMaxValueLength) {
    out.Warn(key.Line, name + " is " + std::to_string(key.Value.size()) +
                           " characters long; only the first " + std::to_string(kMaxValueLength) +
                           " are read");
  }
  const std::string value = key.Value.substr(0, kMaxValueLength);
  const std::string shown = name + "=" + value;
  std::int32_t number = 0;
  const bool integer = IsIniInteger(value, &number);
  const std::string default_applies = "; the default " + std::to_string(rule.Default) + " applies";
  switch (rule.Kind) {
    case TValueKind::kText:
    case TValueKind::kHost:
      break;
    case TValueKind::kPort:
      // A profile reads PORT only together with a non-empty EXCLUDE.
      if (section != kServerSection && section != kAdminSection &&
          ini.ReadString(section, "EXCLUDE", "").empty()) {
        break;
      }
      if (!value.empty() && !integer) {
        out.Warn(key.Line, shown + " is not an integer" + default_applies);
      } else if (integer && (number < 0 || number > 0xFFFF)) {
        out.Warn(key.Line,
                 shown + " is not a port (0-65535); its low 16 bits give " +
                     std::to_string(static_cast<std::uint16_t>(static_cast<std::uint32_t>(number))));
      }
      break;
    case TValueKind::kFlag:
      if (!value.empty() && !integer)
        out.Warn(key.Line, shown + " is not an integer (0 or 1)" + default_applies);
      break;
    case TValueKind::kLimit:
    case TValueKind::kCap:
      if (!value.empty() && !integer) {
        out.Warn(key.Line, shown + " is not an integer" + default_applies);
      } else if (integer && number < 0) {
        out.Warn(key.Line, shown + " is negative (0 means no limit)" + default_applies);
      } else if (integer && number > 0 && number < rule.Floor) {
        out.Warn(key.Line, shown + " is below " + std::to_string(rule.Floor) +
                               " a second, too little for any game to get through (0 means no cap)");
      }
      break;
    case TValueKind::kPercent:
      if ((!value.empty() && !integer) || (integer && (number < 0 || number > 100))) {
        out.Warn(key.Line, shown + " is not a percentage from 0 to 100" + default_applies);
      }
      break;
    case TValueKind::kAddressList:
      CheckAddressList(section, rule.Name, value, key.Line, out);
      break;
    case TValueKind::kTargets:
      if (!value.empty() && !EqualsNoCase(value, "ANY") && !EqualsNoCase(value, "PEER")) {
        out.Warn(key.Line, shown + " is neither ANY nor PEER; ANY applies");
      }
      break;
    case TValueKind::kRangePort:
      // An error, not a default: ports the firewall does not expect would
      // be announced to every player.
      if (!value.empty() && (!integer || number < 1 || number > 0xFFFF)) {
        out.Error(key.Line, shown + " is not a port from 1 to 65535");
      }
      break;
    case TValueKind::kAnnounce:
      CheckAnnounce(shown, value, key.Line, out);
      break;
  }
}

// A line that is neither a section, a key nor a comment is what a file cut
// short or written over by something else looks like, so it is an error:
// reading on past it would apply the half that survived. A start has always
// run such a file, ignoring the line, and still does, with a warning.
void CheckSkippedLine(const TIniSkippedLine& skipped, bool broken_lines_fail, TDiagnostics& out) {
  const auto broken = [&](const std::string& what) {
    if (broken_lines_fail) {
      out.Error(skipped.Line, what);
    } else {
      out.Warn(skipped.Line, what + "; ignored, but a reload or --check refuses the file");
    }
  };
  switch (skipped.Reason) {
    case TIniSkip::kOutsideSection:
      out.Warn(skipped.Line, "a key before the first section; ignored");
      break;
    case TIniSkip::kNoEquals:
      broken("neither a section, a key nor a comment");
      break;
    case TIniSkip::kEmptyKey:
      broken("no key name before '='");
      break;
    case TIniSkip::kRepeatedSection:
      out.Warn(skipped.Line, "section [" + Upper(skipped.Name) + "] again; only the one at line " +
                                 std::to_string(skipped.FirstLine) +
                                 " is read, this one is ignored with its keys");
      break;
    case TIniSkip::kRepeatedKey:
      out.Warn(skipped.Line, "key " + Upper(skipped.Name) + " again in its section; the one at line " +
                                 std::to_string(skipped.FirstLine) + " counts");
      break;
    case TIniSkip::kUnclosedSection:
      broken("section name without ']'");
      break;
  }
}

// Not reachable from other machines when announced to them.
bool Unreachable(std::uint32_t addr_net) {
  return addr_net == kAddrNone || addr_net == 0 || (ntohl(addr_net) >> 24) == 127;
}

bool IsLoopback(std::uint32_t addr_net) { return (ntohl(addr_net) >> 24) == 127; }

}  // namespace

// Redirectors of a profile are announced at the profile's own address, or
// at ServerAddr when it binds every local address.
void CheckProfileHosts(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out) {
  std::vector<std::string_view> seen;
  std::string falling_back;  // sections announced at an unreachable ServerAddr
  for (std::size_t i = 0; i < kProfileCount; ++i) {
    const std::string_view section = ProfileSections[i];
    if (std::find(seen.begin(), seen.end(), section) != seen.end()) continue;
    seen.push_back(section);
    const TSettings& profile = config.ProfileTable[i];
    const std::string host = std::string(section) + "/HOST=" + profile.Host;
    const int line = ini.LineOf(section, "HOST");
    if (profile.HostAddr == kAddrNone) {
      out.Warn(line, host + " does not resolve to an IPv4 address; every create for this profile fails");
    } else if (AnnouncedAddr(config, static_cast<std::uint8_t>(i), 0) != 0) {
      // Replies carry ANNOUNCE, whatever the listener's address.
    } else if (profile.HostAddr != 0 && IsLoopback(profile.HostAddr)) {
      out.Warn(line, host + " is a loopback address: redirectors of [" + std::string(section) +
                         "] are announced there, where remote players cannot reach them; set HOST to the "
                         "server's public address");
    } else if (profile.HostAddr == 0 && Unreachable(config.ServerAddr)) {
      falling_back += (falling_back.empty() ? "[" : ", [") + std::string(section) + "]";
    }
  }
  // An unresolvable SERVER/HOST is the listener's error already.
  if (falling_back.empty() || (!config.ServerHost.empty() && config.ServerAddr == kAddrNone)) return;
  std::string source;
  if (!config.ServerHost.empty()) {
    source = "SERVER/HOST=" + config.ServerHost;
  } else if (config.ServerAddr == kAddrNone) {
    source = "this machine's name does not resolve";
  } else {
    source = "what this machine's name resolves to";
  }
  const std::string kind = IsLoopback(config.ServerAddr) ? "a loopback address" : "an address";
  out.Warn(ini.LineOf(kServerSection, "HOST"),
           "redirectors of " + falling_back + " are announced at " + AddrToStr(config.ServerAddr) + " (" +
               source + "), " + kind + " remote players cannot reach; set HOST in [SERVER] or in " +
               (falling_back.find(',') == std::string::npos ? "that section" : "those sections") +
               " to the server's public address");
}

void CheckShares(const TLimits& limits, const TIniFile& ini, TDiagnostics& out) {
  const std::uint32_t sum =
      limits.SessionDescriptors + limits.RedirectorDescriptors + limits.RelayDescriptors;
  if (sum <= 100) return;
  const TIniSection* section = ini.FindSection(kLimitsSection);
  out.Warn(section == nullptr ? kWholeFile : section->Line,
           "the descriptor shares (SESSION_, REDIRECTOR_ and RELAY_DESCRIPTORS) add up to " +
               std::to_string(sum) + "%: one kind can then take descriptors another needs");
}

void CheckPortRange(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out) {
  const std::string min_text = ini.ReadString(kServerSection, "PORT_MIN", "");
  const std::string max_text = ini.ReadString(kServerSection, "PORT_MAX", "");
  if (min_text.empty() != max_text.empty()) {
    const bool has_min = !min_text.empty();
    out.Error(ini.LineOf(kServerSection, has_min ? "PORT_MIN" : "PORT_MAX"),
              std::string(has_min ? "SERVER/PORT_MIN is set without PORT_MAX"
                                  : "SERVER/PORT_MAX is set without PORT_MIN") +
                  "; set both, or neither to let the system choose redirector ports");
    return;
  }
  const std::int32_t min = ParseIniInteger(min_text, 0);
  const std::int32_t max = ParseIniInteger(max_text, 0);
  const int line = ini.LineOf(kServerSection, "PORT_MIN");
  if (min >= 1 && max <= 0xFFFF && min > max) {
    out.Error(line,
              "SERVER/PORT_MIN=" + std::to_string(min) + " is above SERVER/PORT_MAX=" + std::to_string(max));
  }
  if (config.PortMin == 0) return;
  const auto inside = [&config](std::uint16_t port) {
    return port != 0 && port >= config.PortMin && port <= config.PortMax;
  };
  const std::string range =
      "the redirector ports " + std::to_string(config.PortMin) + "-" + std::to_string(config.PortMax);
  if (inside(config.ServerPort)) {
    out.Warn(line, range + " include the control port " + std::to_string(config.ServerPort) +
                       "; redirectors skip it while the server holds it");
  }
  if (inside(config.Admin.Port)) {
    out.Warn(line, range + " include the admin port " + std::to_string(config.Admin.Port) +
                       "; redirectors skip it while the endpoint holds it");
  }
}

void CheckAdmin(const TAdminSettings& admin, const TIniFile& ini, TDiagnostics& out) {
  if (admin.Port == 0) return;
  const int line = ini.LineOf(kAdminSection, "HOST");
  const std::string host = "ADMIN/HOST=" + admin.Host;
  // An empty host is every local address, so reachable from outside. A
  // TOKEN_FILE that gave no token has its own error already.
  const std::uint32_t addr = admin.Host.empty() ? 0 : ResolveHost(admin.Host);
  if (addr == kAddrNone) {
    out.Error(line, host + " does not resolve to an IPv4 address");
  } else if (!IsLoopback(addr) && admin.Token.empty() && admin.TokenFile.empty()) {
    out.Error(line, host +
                        " is not a loopback address, so the admin port needs a TOKEN; set ADMIN/TOKEN "
                        "(or a loopback HOST, or PORT=0)");
  }
}

void CheckIniFile(const TIniFile& ini, bool broken_lines_fail, TDiagnostics& out) {
  const std::size_t first = out.Items().size();
  for (const TIniSkippedLine& skipped : ini.SkippedLines()) CheckSkippedLine(skipped, broken_lines_fail, out);
  const auto& known = KnownSections();
  for (const TIniSection& section : ini.Sections()) {
    const auto known_section = std::find_if(known.begin(), known.end(), [&](const TKnownSection& s) {
      return EqualsNoCase(s.Name, section.Name);
    });
    if (known_section == known.end()) {
      out.Warn(section.Line,
               "unknown section [" + section.Name + "]; ignored with its keys" +
                   Suggestion(
                       section.Name, known, [](const TKnownSection& s) { return s.Name; }, "[", "]"));
      continue;
    }
    for (const TIniKey& key : section.Keys) {
      const auto known_key = std::find_if(known_section->Keys.begin(), known_section->Keys.end(),
                                          [&](const TKnownKey& k) { return EqualsNoCase(k.Name, key.Name); });
      if (known_key == known_section->Keys.end()) {
        out.Warn(key.Line,
                 "unknown key " + std::string(known_section->Name) + "/" + key.Name + "; ignored" +
                     Suggestion(
                         key.Name, known_section->Keys, [](const TKnownKey& k) { return k.Name; }, "", ""));
        continue;
      }
      CheckValue(ini, known_section->Name, *known_key, key, out);
    }
  }
  out.SortByLine(first);
}

namespace {

// "HOST:PORT" as the listener binds it; an empty host is every address.
std::string Endpoint(const std::string& host, std::uint16_t port) {
  return (host.empty() ? "0.0.0.0" : host) + ":" + std::to_string(port);
}

// Binds a socket to |addr|:|port| and closes it again, without listening.
// A port in use is only a note: --check and a reload run while the server
// holds its own ports, and the start itself still fails on a held one.
void ProbeBind(std::uint32_t addr, std::uint16_t port, const std::string& where, TDiagnostics& out) {
  const TUniqueFd fd = OpenTcpSocket();
  // As the listeners do, so that connections in TIME_WAIT do not count
  // against the port; a live listener on it still does.
  const int on = 1;
  if (fd) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (fd && BindTo(fd.Get(), addr, port)) return;
  const int error = errno;
  if (error == EADDRINUSE) {
    out.Note(kNoFile, where +
                          " is in use now: right for a running server's own port, but a start fails "
                          "while it is held");
  } else {
    out.Error(kNoFile, "cannot listen on " + where + ": " + std::generic_category().message(error));
  }
}

}  // namespace

void ReportListenFailure(const TServerConfig& config, const TIniFile& ini, int error, TDiagnostics& out) {
  if (!config.ServerHost.empty() && config.ServerAddr == kAddrNone) {
    out.Error(ini.LineOf(kServerSection, "HOST"),
              "SERVER/HOST=" + config.ServerHost + " does not resolve to an IPv4 address; nothing listens");
    return;
  }
  out.Error(kNoFile, "cannot listen on " + Endpoint(config.ServerHost, config.ServerPort) + ": " +
                         std::generic_category().message(error));
}

void ProbeControlAddress(const TServerConfig& config, const TIniFile& ini, TDiagnostics& out) {
  if (!config.ServerHost.empty() && config.ServerAddr == kAddrNone) {
    out.Error(ini.LineOf(kServerSection, "HOST"), "SERVER/HOST=" + config.ServerHost +
                                                      " does not resolve to an IPv4 address; a start would "
                                                      "listen nowhere");
    return;
  }
  ProbeBind(config.ServerHost.empty() ? INADDR_ANY : config.ServerAddr, config.ServerPort,
            Endpoint(config.ServerHost, config.ServerPort), out);
}

void ProbeAdminAddress(const TAdminSettings& admin, TDiagnostics& out) {
  const std::uint32_t addr = admin.Host.empty() ? INADDR_ANY : ResolveHost(admin.Host);
  // An unresolvable host is CheckAdmin's error already.
  if (admin.Port == 0 || addr == kAddrNone) return;
  ProbeBind(addr, admin.Port, Endpoint(admin.Host, admin.Port) + " (admin)", out);
}

}  // namespace quorvane
