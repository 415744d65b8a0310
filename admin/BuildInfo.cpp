// Compiled alone with the build's identity, so that a new commit rebuilds
// this file only.
#include "admin/AdminViews.h"

#ifndef QUORVANE_VERSION
#error "QUORVANE_VERSION comes from the quorvane_build_info target"
#endif

namespace quorvane::admin {

const char* BuildVersion() { return QUORVANE_VERSION; }
const char* BuildCommit() { return QUORVANE_COMMIT; }

}  // namespace quorvane::admin
