#include "requests/Settings.h"

namespace quorvane {

std::array<TSettings, kProfileCount> ProfileTable;
std::string ServerHost;
std::uint16_t ServerPort = kDefaultServerPort;

}  // namespace quorvane
