#include "bench/ProcessStats.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>

namespace quorvane::bench {

namespace {

// Calls |visit| with the name of every entry of |path| but "." and "..";
// false when the directory cannot be read.
template <class Visit>
bool ForEachEntry(const std::string& path, Visit visit) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return false;
  // One stream per call, read by this thread only.
  while (const dirent* entry = ::readdir(dir)) {  // NOLINT(concurrency-mt-unsafe)
    if (entry->d_name[0] == '.') continue;
    visit(entry->d_name);
  }
  ::closedir(dir);
  return true;
}

// The fields of /proc/<pid>/stat after the command name, which may itself
// hold blanks and parentheses; field 3 (the state) comes first.
std::vector<std::string> StatFields(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::vector<std::string> fields;
  const auto paren = text.rfind(')');
  if (paren == std::string::npos) return fields;
  std::istringstream stream(text.substr(paren + 1));
  for (std::string field; stream >> field;) fields.push_back(field);
  return fields;
}

constexpr std::size_t kParentField = 4 - 3;
constexpr std::size_t kUtimeField = 14 - 3;
constexpr std::size_t kStimeField = 15 - 3;

std::int64_t StatCpuNs(pid_t pid) {
  const std::vector<std::string> fields = StatFields(pid);
  if (fields.size() <= kStimeField) return -1;
  const std::int64_t ticks =
      std::atoll(fields[kUtimeField].c_str()) + std::atoll(fields[kStimeField].c_str());
  return ticks * (1000000000 / ::sysconf(_SC_CLK_TCK));
}

std::int64_t SchedstatNs(pid_t pid) {
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::int64_t total = 0;
  bool any = false;
  ForEachEntry(tasks, [&](const char* task) {
    std::ifstream schedstat(tasks + "/" + task + "/schedstat");
    std::int64_t run_ns = 0;
    if (schedstat >> run_ns) {
      total += run_ns;
      any = true;
    }
  });
  return any ? total : -1;
}

std::int64_t RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return -1;
}

std::int64_t CountEntries(const std::string& path) {
  std::int64_t count = 0;
  return ForEachEntry(path, [&count](const char*) { ++count; }) ? count : -1;
}

// Adds |value| to |*sum| unless it is missing; a sum stays -1 until
// something was read.
void Add(std::int64_t* sum, std::int64_t value) {
  if (value < 0) return;
  *sum = (*sum < 0 ? 0 : *sum) + value;
}

}  // namespace

std::vector<pid_t> ProcessTree(pid_t root) {
  std::vector<pid_t> tree;
  if (root <= 0 || ::kill(root, 0) != 0) return tree;
  tree.push_back(root);
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, parent)
  ForEachEntry("/proc", [&parents](const char* name) {
    char* end = nullptr;
    const long pid = std::strtol(name, &end, 10);
    if (*end != '\0' || pid <= 0) return;
    const std::vector<std::string> fields = StatFields(static_cast<pid_t>(pid));
    if (fields.size() > kParentField) {
      parents.emplace_back(static_cast<pid_t>(pid),
                           static_cast<pid_t>(std::atol(fields[kParentField].c_str())));
    }
  });
  // Breadth first: every process found adds its children.
  for (std::size_t i = 0; i < tree.size(); ++i) {
    for (const auto& [pid, parent] : parents) {
      if (parent == tree[i]) tree.push_back(pid);
    }
  }
  return tree;
}

TProcessSample SampleProcesses(const std::vector<pid_t>& pids) {
  TProcessSample sample;
  for (const pid_t pid : pids) {
    const std::string dir = "/proc/" + std::to_string(pid);
    const std::int64_t stat_ns = StatCpuNs(pid);
    const std::int64_t schedstat_ns = SchedstatNs(pid);
    Add(&sample.CpuNs, schedstat_ns >= 0 ? schedstat_ns : stat_ns);
    Add(&sample.StatCpuNs, stat_ns);
    Add(&sample.RssKib, RssKiB(pid));
    Add(&sample.Threads, CountEntries(dir + "/task"));
    Add(&sample.Descriptors, CountEntries(dir + "/fd"));
  }
  return sample;
}

}  // namespace quorvane::bench
