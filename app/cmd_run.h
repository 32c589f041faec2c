#pragma once

// Fills the command template's placeholders (@addr@, @name@, @onoff@, @time@) and runs the
// result as a child process, waiting for it to end. 0, or the status word on a failure.
int cmd_run(const char* adr, const char* nam, const char* onoff, const char* cmd);

// Each value is stored between these two bytes, so that the filled line tells the values from
// the template's own text. Neither byte occurs in code page 932 text, not even as a trail byte.
inline constexpr char CMD_VAL_BGN = '\xFE';
inline constexpr char CMD_VAL_END = '\xFF';

// The filled line f with its marks taken out, as the process layer must split it (see
// cmd_run.cpp); out holds 2 * strlen(f) + 1 bytes.
void cmd_lit(const char* f, char* out);
