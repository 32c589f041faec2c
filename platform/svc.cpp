#include "platform/svc.h"

#ifdef _WIN32
void svc_ready() {}
void svc_alive() {}
#else
#include <systemd/sd-daemon.h>

#include <cstdint>

#include "platform/clock.h"

namespace {

// The watchdog's interval, read once: 0 without one.
uint64_t dog_usec() {
  static const uint64_t us = [] {
    uint64_t u = 0;
    return sd_watchdog_enabled(0, &u) > 0 ? u : uint64_t{0};
  }();
  return us;
}

}  // namespace

void svc_ready() { sd_notify(0, "READY=1"); }

void svc_alive() {
  static uint64_t last = 0;
  if (dog_usec() == 0) return;
  const uint64_t now = mono_ms();
  if (last != 0 && now - last < 1000) return;
  last = now;
  sd_notify(0, "WATCHDOG=1");
}
#endif
