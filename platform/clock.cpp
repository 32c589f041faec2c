#include "platform/clock.h"

#ifdef _WIN32
#include <windows.h>

uint64_t mono_ms() { return GetTickCount64(); }
#else
#include <time.h>

uint64_t mono_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}
#endif
