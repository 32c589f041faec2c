// Child process runner: starts a command line, optionally with pipes on its standard streams,
// and later waits for it, stops it if still running and releases every handle.
#pragma once
#include <cstdint>

#include "platform/process.h"

// Pipe flags of _prc_set.
inline constexpr uint32_t PRC_IN = 1;   // pipe on the child's standard input
inline constexpr uint32_t PRC_OUT = 2;  // pipe on its standard output
inline constexpr uint32_t PRC_ERR = 4;  // pipe on its standard error

struct prc {
  HANDLE par[3];            // parent ends: input write end, output read end, error read end
  HANDLE chd[3];            // the child's standard input, output, error
  PROCESS_INFORMATION pi;
  uint32_t flg;             // PRC_IN | PRC_OUT | PRC_ERR as given
};

// Starts the child. With s2 NULL, s1 is the command line; otherwise s1 is the program and s2
// the command line. 0 on success; on failure nothing is left open and the status word is
// returned (-1 unless it already held a failure).
int _prc_set(prc* p, const char* s1, const char* s2, uint32_t flg);

// Finishes the child and releases the handles. wait non-zero waits without limit, 0 at most
// 100 ms; a child still running then is terminated with exit code 0. Returns the child's exit
// code once it has ended by itself, 0 when it had to be terminated.
int _prc_end(prc* p, int wait);
