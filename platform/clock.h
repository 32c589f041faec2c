// The machine's monotonic clock, for waits and rates that must not follow the wall clock.
#pragma once
#include <cstdint>

// Milliseconds since some fixed moment; never goes back.
uint64_t mono_ms();
