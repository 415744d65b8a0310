// The silent abort: thrown to give up on a control connection. The session
// loop catches it and ends the session without printing anything.
#pragma once

namespace quorvane {

struct TSilentAbort {};

}  // namespace quorvane
