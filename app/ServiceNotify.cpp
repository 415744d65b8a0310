#include "app/ServiceNotify.h"

#ifdef QUORVANE_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>

#include <ctime>
#endif

namespace quorvane::service {

#ifdef QUORVANE_HAVE_SYSTEMD

bool NotifyBuiltIn() { return true; }

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyReloading() {
  // Newer managers match the reload to its signal by this time stamp; older
  // ones ignore it.
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                                  static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
  sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
}

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }

#else

bool NotifyBuiltIn() { return false; }
void NotifyReady() {}
void NotifyReloading() {}
void NotifyStopping() {}

#endif

}  // namespace quorvane::service
