#pragma once

// Fills the command template's placeholders (@addr@, @name@, @onoff@, @time@) and runs the
// result as a child process, waiting for it to end. 0, or the status word on a failure.
int cmd_run(const char* adr, const char* nam, const char* onoff, const char* cmd);
