// The console's control handler of platform/sig.h on Windows.
#pragma once
#include <windows.h>

// What the system runs, on a thread of its own, for Ctrl-C, Ctrl-Break and the console's close,
// logoff and shutdown: notes the request and ends every running command with its job. Tests
// call it as the system would.
BOOL WINAPI sig_win_ctl(DWORD type);
