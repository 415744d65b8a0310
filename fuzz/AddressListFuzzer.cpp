// Fuzzes the address-list parser: every entry yields one address and one
// mask, and there are never more entries than commas plus one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "app/Config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorvane;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::uint32_t> addrs;
  std::vector<std::uint32_t> masks;
  ParseAddressList(text, addrs, masks);
  if (addrs.size() != masks.size()) __builtin_trap();
  if (addrs.size() > static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')) + 1)
    __builtin_trap();
  return 0;
}
