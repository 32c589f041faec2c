// The diagnostics files (memory log, profiler report, coverage table) are written wherever the
// program runs, a directory that other users may write to as well.
#pragma once
#include <cstdio>

// Opens path for writing (truncated, created if missing), as a file another user may have
// prepared must not be opened: a symbolic link as its last component is not followed, anything
// but a regular file is refused, a new file is readable and writable by its owner only (0600),
// and no child inherits the descriptor (close-on-exec; on Windows not inheritable; binary there).
// NULL when it cannot be opened so.
FILE* diag_fopen(const char* path);
