// A child for the event-command tests: appends its arguments, one per line, to the file
// named by its first argument.
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  FILE* f = std::fopen(argv[1], "ab");
  if (f == nullptr) return 3;
  for (int i = 2; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
  std::fprintf(f, "--\n");
  return std::fclose(f) == 0 ? 0 : 4;
}
