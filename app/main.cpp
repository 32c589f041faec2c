#include "app/opt.h"
#include "app/start.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  if (const int st = con_ini(); st != 0) return st;
  if (argc >= 2 && opt_is_hlp(argv[1])) {
    opt_hlp_prt();
    if (argc == 2) return 0;
  }
  return start_up(argc, argv);
}
