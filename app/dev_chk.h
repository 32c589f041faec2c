#pragma once

struct vmap;

// One presence pass over the Bluetooth devices: updates the device table, prints the
// changes and runs the event commands. A failure ends the pass early.
void dev_chk(vmap* tbl);
