#include "app/start.h"

int start_up(int argc, char** argv) {
  (void)argc;
  (void)argv;
  return 0;
}
