// Process exit codes of quorvane-ctl, listed in its --help. Scripts depend on
// the numbers: add new codes at the end, never renumber.
#pragma once

namespace quorvane::ctl {

enum TExitCode : int {
  kExitOk = 0,
  kExitUsage = 2,        // bad command line, or a target host that does not resolve
  kExitRefused = 3,      // the server refused the registration
  kExitNotFound = 4,     // query or delete: no such redirector (NAT status 3)
  kExitConnection = 5,   // could not connect, or the server closed the connection
  kExitTimeout = 6,      // no answer within the time-out
  kExitProtocol = 7,     // a reply that does not fit the protocol
  kExitInterrupted = 8,  // SIGINT/SIGTERM before every command was answered
  kExitNatFailed = 9,    // the server failed the request (NAT status 255), e.g. a refused create
  kExitHttpError = 10,   // admin endpoint: an HTTP error status (401, 403, 404, 5xx, ...)
};

}  // namespace quorvane::ctl
