// A child for the event-command tests: appends its arguments, one per line, to the file
// named by its first argument. With ARGV_DUMP_TO set it stands in for another program under
// that program's name: the file is the one the variable names, and the name it was started
// under (without its directory) comes first, then every argument.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const char* to = std::getenv("ARGV_DUMP_TO");
  int first = 2;
  if (to != nullptr && *to != '\0') {
    first = 1;
  } else {
    if (argc < 2) return 2;
    to = argv[1];
  }
  FILE* f = std::fopen(to, "ab");
  if (f == nullptr) return 3;
  if (first == 1) {
    const char* slash = std::strrchr(argv[0], '/');
    std::fprintf(f, "%s\n", slash != nullptr ? slash + 1 : argv[0]);
  }
  for (int i = first; i < argc; ++i) std::fprintf(f, "%s\n", argv[i]);
  std::fprintf(f, "--\n");
  return std::fclose(f) == 0 ? 0 : 4;
}
