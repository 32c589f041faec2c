// An event command from the call to its end: cmd_run of /bin/true against a bare posix_spawn
// and waitpid of the same program.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include "app/cmd_run.h"

extern char** environ;

namespace {

void BM_cmd_run_true(benchmark::State& st) {
  for (auto _ : st) {
    if (cmd_run("554433221100", "bench", "ON", "/bin/true") != 0) return st.SkipWithError("cmd_run failed");
  }
}
BENCHMARK(BM_cmd_run_true)->Name("cmd_run of /bin/true/kestrel")->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_spawn_true(benchmark::State& st) {
  char prog[] = "/bin/true";
  char* argv[] = {prog, nullptr};
  for (auto _ : st) {
    pid_t pid = -1;
    int status = 0;
    if (posix_spawn(&pid, prog, nullptr, nullptr, argv, environ) != 0 || waitpid(pid, &status, 0) != pid)
      return st.SkipWithError("spawn failed");
  }
}
BENCHMARK(BM_spawn_true)->Name("cmd_run of /bin/true/baseline")->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
