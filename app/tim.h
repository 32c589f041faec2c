#pragma once

// The local time as "%d/%d/%d %02d:%02d:%02d" in one process-wide buffer that each call
// overwrites.
const char* tim_str();
// Prints tim_str() to standard output.
void tim_prt();
