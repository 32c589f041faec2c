// How long an event command takes to start: from the call of cmd_run to the child's main().
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "app/cmd_run.h"

namespace {

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void BM_cmd_run_to_child_main(benchmark::State& st) {
  char path[] = "/tmp/kestrel-stamp-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return st.SkipWithError("no temporary file");
  close(fd);
  const std::string tpl = std::string(STAMP) + " " + path;
  std::vector<double> us;
  for (auto _ : st) {
    const long long t0 = now_ns();
    if (cmd_run("554433221100", "bench", "ON", tpl.c_str()) != 0) return st.SkipWithError("cmd_run failed");
    long long t1 = 0;
    FILE* f = std::fopen(path, "r");
    if (f == nullptr || std::fscanf(f, "%lld", &t1) != 1) return st.SkipWithError("no stamp");
    std::fclose(f);
    us.push_back((t1 - t0) / 1000.0);
  }
  std::remove(path);
  std::sort(us.begin(), us.end());
  st.counters["median_us"] = us[us.size() / 2];
}
BENCHMARK(BM_cmd_run_to_child_main)->Iterations(100)->Unit(benchmark::kMicrosecond);

void BM_cmd_run_true(benchmark::State& st) {
  std::vector<double> us;
  for (auto _ : st) {
    const long long t0 = now_ns();
    if (cmd_run("554433221100", "bench", "ON", "/bin/true") != 0) return st.SkipWithError("cmd_run failed");
    us.push_back((now_ns() - t0) / 1000.0);
  }
  std::sort(us.begin(), us.end());
  st.counters["median_us"] = us[us.size() / 2];
}
BENCHMARK(BM_cmd_run_true)->Iterations(100)->Unit(benchmark::kMicrosecond);

}  // namespace
