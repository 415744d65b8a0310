#include "tools/CtlProcess.h"

#include <sys/wait.h>

#include <cstdio>
#include <memory>

namespace quorvane::test {
namespace {

std::string ReadAll(std::FILE* file) {
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, n);
  return text;
}

}  // namespace

TCtlRun RunCtl(const std::string& args, const std::function<void()>& serve, const std::string& env) {
  TCtlRun run;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> errors(std::tmpfile(), std::fclose);
  if (!errors) return run;
  const std::string command = "exec env " + env + " timeout 20 " QUORVANE_CTL_EXE " " + args + " 2>/dev/fd/" +
                              std::to_string(::fileno(errors.get()));
  std::FILE* output = ::popen(command.c_str(), "re");
  if (output == nullptr) return run;
  if (serve) serve();
  run.Out = ReadAll(output);  // ends with the tool's output, which "timeout 20" bounds
  const int status = ::pclose(output);
  run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::rewind(errors.get());
  run.Err = ReadAll(errors.get());
  return run;
}

}  // namespace quorvane::test
