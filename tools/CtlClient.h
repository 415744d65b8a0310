// TCtlClient: one TCP control session of quorvane-ctl, for operators and
// scripts. It sends packets built by the codec and reads back exactly one
// 220-byte packet per call, each within the connection's time-out. It is
// single-threaded and blocking; every wait watches the wake descriptor of its
// TCtlConnection, so a signal ends any wait at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "requests/RequestPacket.h"
#include "tools/CtlConnection.h"

namespace quorvane::ctl {

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

  const TCtlError& Error() const { return connection_.Error(); }

 private:
  std::optional<TRequestPacket> ReceiveType(std::uint8_t expected_type);
  // Reads the entries of one address list announced with |count|.
  bool ReceiveList(bool exclude, std::uint8_t count, std::vector<TAddressEntry>* entries);

  TCtlConnection connection_;
};

}  // namespace quorvane::ctl
