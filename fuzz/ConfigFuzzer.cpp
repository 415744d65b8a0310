// Fuzzes reading the configuration file: the INI reader and the loading of
// every section from it, without resolving any host.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/Config.h"
#include "app/IniFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane;
  const TIniFile ini = TIniFile::FromText(std::string_view(reinterpret_cast<const char*>(data), size));
  const TServerConfig config = ReadConfig(ini);
  for (const TSettings& profile : config.ProfileTable) {
    if (profile.IncludeAddrs.size() != profile.IncludeMasks.size()) __builtin_trap();
    if (profile.ExcludeAddrs.size() != profile.ExcludeMasks.size()) __builtin_trap();
    if (profile.Host.size() > kMaxValueLength) __builtin_trap();
  }
  return 0;
}
