// Tells the service manager how the server is doing (the sd_notify
// protocol), when the build has libsystemd and the process runs under a
// manager that asked for it (NOTIFY_SOCKET). Without libsystemd every call
// does nothing, so callers never need to know which build they are in.
#pragma once

namespace quorvane::service {

// Whether this build can notify at all.
bool NotifyBuiltIn();

// Each may be called from any thread; a failed notification is ignored, as
// the server runs the same with or without a manager listening.
void NotifyReady();      // the control port listens, or a reload has ended
void NotifyReloading();  // a reload begins; NotifyReady() follows it
void NotifyStopping();   // a stop has begun

}  // namespace quorvane::service
