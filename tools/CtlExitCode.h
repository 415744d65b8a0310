// Process exit codes of quorvane-ctl, listed in its --help. Scripts depend on
// the numbers: add new codes at the end, never renumber.
#pragma once

namespace quorvane::ctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;        // bad command line, or a target host that does not resolve
inline constexpr int kExitRefused = 3;      // the server refused the registration
inline constexpr int kExitNotFound = 4;     // query or delete: no such redirector (NAT status 3)
inline constexpr int kExitConnection = 5;   // could not connect, or the server closed the connection
inline constexpr int kExitTimeout = 6;      // no answer within the time-out
inline constexpr int kExitProtocol = 7;     // a reply that does not fit the protocol
inline constexpr int kExitInterrupted = 8;  // SIGINT/SIGTERM before every command was answered
inline constexpr int kExitNatFailed =
    9;  // the server failed the request (NAT status 255), e.g. a refused create
inline constexpr int kExitHttpError = 10;  // admin endpoint: an HTTP error status (401, 403, 404, 5xx, ...)

}  // namespace quorvane::ctl
