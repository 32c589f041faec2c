// A child for the command benchmark: writes the monotonic time at which its main() began.
#include <cstdio>
#include <ctime>

int main(int argc, char** argv) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  if (argc < 2) return 2;
  FILE* f = std::fopen(argv[1], "w");
  if (f == nullptr) return 3;
  std::fprintf(f, "%lld\n", static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec);
  return std::fclose(f) == 0 ? 0 : 4;
}
