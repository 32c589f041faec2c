#pragma once
#include <cstddef>

// Fills the command template's placeholders (@addr@, @name@, @onoff@, @time@) and runs the
// result as a child process, waiting for it to end (see cmd_tmo_set). 0, or the status word on a
// failure; a command that cannot start, or a template with a placeholder it does not know, is
// named on standard error (at most once a minute for one template).
int cmd_run(const char* adr, const char* nam, const char* onoff, const char* cmd);

// Milliseconds a command may run before it is ended with everything it started; 0 (the
// default): no limit. KESTREL_CMD_TIMEOUT gives seconds, 1 to CMD_TMO_MAX_S.
void cmd_tmo_set(unsigned long ms);
inline constexpr int CMD_TMO_MAX_S = 2147483;

// The filled line keeps the values apart from the template's own text with escapes: byte CMD_ESC
// followed by one of the codes below. The template's own 0xFE and 0xFF bytes are escaped too,
// and no value holds either byte, so that nothing of the template or of a value can pass for a
// mark.
inline constexpr char CMD_ESC = '\xFE';
inline constexpr char CMD_ESC_FE = 1;   // the template's byte 0xFE
inline constexpr char CMD_ESC_FF = 2;   // the template's byte 0xFF
inline constexpr char CMD_VAL_BGN = 3;  // a value begins
inline constexpr char CMD_VAL_END = 4;  // a value ends

// The command line the process layer gets from a filled line f (see cmd_run.cpp): the template's
// text as it stands, each value escaped so that the line splits into exactly it. A value's "-"
// at the start of an argument becomes "?" (no value can pass for an option); with batch (the
// program is a batch file or cmd.exe) so do the characters of a value that cmd.exe reads
// specially. out holds 2 * strlen(f) + 1 bytes.
void cmd_lit(const char* f, bool batch, char* out);

// The template checked against the placeholders cmd_run fills: 0 when every one is known; 1 with
// the first unknown one's name (at, len); 2 when an "@" has no closing "@" (at: that "@").
int cmd_tpl_chk(const char* tpl, const char** at, size_t* len);

// When the template has a placeholder cmd_run does not fill (or an unclosed "@"), says so on
// standard error (within the once-a-minute limit of that template) and returns true.
bool cmd_tpl_say(const char* tpl);
