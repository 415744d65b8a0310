#include "admin/AdminHttp.h"

#include <chrono>

namespace quorvane::admin {

std::int64_t SteadyNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace quorvane::admin
