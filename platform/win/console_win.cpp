// The console of a Windows console program: its bytes as the program writes them.
#include "platform/console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int con_ini() {
  // The program writes "\n" and means one byte: the runtime's text mode would make it "\r\n"
  // on a file or a pipe, and a reader would see other bytes than the program wrote. The same
  // holds for the files the library writes (its logs, the profiler's report).
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  _fmode = _O_BINARY;

  const char* set = std::getenv("KESTREL_CHARSET");
  if (set == nullptr || *set == '\0' || _stricmp(set, "CP932") == 0) return 0;
  std::fprintf(stderr, "kestrel: KESTREL_CHARSET: unknown character set \"%s\"\n", set);
  return 2;
}
