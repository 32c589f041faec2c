#include <cstdio>
#include <cstring>

#include "app/opt.h"
#include "app/start.h"
#include "kestrel_version.h"
#include "platform/console.h"
#include "platform/sig.h"

int main(int argc, char** argv) {
  sig_ini();
  if (const int st = con_ini(); st != 0) return st;
  if (argc >= 2 && opt_is_usage(argv[1])) {
    opt_usage_prt();
    return 0;
  }
  if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("kestrel %s\n", KESTREL_VERSION);
    return 0;
  }
  if (argc >= 2 && opt_is_hlp(argv[1])) {
    opt_hlp_prt();
    if (argc == 2) return 0;
  }
  // A failed start-up returns its status word, which is the exit status as it stands: on
  // Windows all 32 bits; on Linux its low 8 bits (0x80000001 gives 1, -1 gives 255).
  return start_up(argc, argv);
}
