// Requests to end the program: SIGTERM, SIGINT and SIGHUP (on Windows Ctrl-C, Ctrl-Break and
// the console's close, logoff and shutdown). A request ends the running event command with
// everything it started at once; the program itself ends at its next wait, or between two
// passes, never in the middle of one: its exit handlers run (profiler report, memory log), then
// it ends as killed by that signal (on Windows with STATUS_CONTROL_C_EXIT), so that a shell or a
// service manager sees what it expects.
#pragma once

// Installs the handlers; the first thing the program does.
void sig_ini();
// Ends the program as above when a request has come; returns at once otherwise.
void sig_chk();
// Whether a request has come.
bool sig_req();
