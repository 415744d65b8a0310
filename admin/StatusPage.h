// The status page, admin/StatusPage.html compiled in by the build: one
// self-contained document (inline style and script, system fonts, nothing
// fetched but its own JSON), so that it works where there is no internet.
#pragma once

#include <cstddef>

namespace quorvane::admin {

extern const char kStatusPage[];
extern const std::size_t kStatusPageSize;  // without the terminating NUL

}  // namespace quorvane::admin
