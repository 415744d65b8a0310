// Runs the real quorvane-ctl executable for a test and collects what it did.
#pragma once

#include <functional>
#include <string>

namespace quorvane::test {

struct TCtlRun {
  int Code = -1;  // exit code; -1 when it did not exit normally
  std::string Out;
  std::string Err;
};

// Runs quorvane-ctl with |args| (shell words) and |env| (NAME=VALUE words,
// may be empty). |serve| runs on this thread while the tool runs, e.g. to
// answer it on a listener. A run is cut off after 20 s.
TCtlRun RunCtl(const std::string& args, const std::function<void()>& serve = {}, const std::string& env = "");

}  // namespace quorvane::test
