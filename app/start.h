#pragma once
#include <cstdint>

struct vmap;

// Runs the watcher; returns only when start-up fails, with the exit status.
int start_up(int argc, char** argv);

// Fills the options map from the leading "/" arguments; 0 or the failure status.
int opt_scn(vmap* opts, int argc, char** argv);
// Reads the eight options back from the options map into opt_rcd, in table order, and
// sets cmd_use.
void opt_rd(vmap* opts);
// A decimal integer text: an optional sign and digits, the whole text, within 32 bits.
bool opt_int_txt(const char* txt, int32_t* out);
