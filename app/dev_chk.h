#pragma once
#include <cstdint>

struct vmap;

// One presence pass over the Bluetooth devices: updates the device table, prints the
// changes and runs the event commands. A failure ends the pass early.
void dev_chk(vmap* tbl);

// The devices a table holds before those OFF longest are dropped (KESTREL_TABLE_MAX).
inline constexpr uint32_t DEV_TBL_MAX = 4096;
void dev_tbl_max_set(uint32_t n);
