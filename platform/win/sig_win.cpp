// Requests to end the program on Windows: the console's control events.
#include <windows.h>

#include <cstdlib>

#include "platform/process.h"
#include "platform/sig.h"
#include "platform/win/sig_win.h"

namespace {

volatile LONG req = 0;    // the control event, plus 1
volatile LONG done = 0;   // the program has run its exit handlers

}  // namespace

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI sig_win_ctl(DWORD type) {
  InterlockedCompareExchange(&req, static_cast<LONG>(type) + 1, 0);
  prc_kill_all();
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) return TRUE;
  // Close, logoff, shutdown: the system ends the process once this returns (or after 5 s). The
  // main thread notices the request at its next wait (at most 100 ms away, or when a search of
  // the radio ends) and runs the exit handlers meanwhile.
  for (int i = 0; i < 45 && done == 0; ++i) Sleep(100);
  return TRUE;
}

namespace {

// The last exit handler: the others (the library's reports) have run.
void die() {
  if (req == 0) return;
  done = 1;
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Registered before any static object of the program exists, so that it runs after every other
// exit handler.
__attribute__((constructor(101))) void die_reg() { std::atexit(die); }

}  // namespace

void sig_ini() { SetConsoleCtrlHandler(sig_win_ctl, TRUE); }

bool sig_req() { return req != 0; }

void sig_chk() {
  if (req != 0) std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}
