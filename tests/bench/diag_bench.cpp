// Cost of the instrumentation every library operation pays.
#include <benchmark/benchmark.h>

#include <vector>

#include "base/diag/cvr.h"
#include "base/diag/rscmng.h"

namespace {

void BM_cvr_existing_record(benchmark::State& st) {
  int x = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(CVR(x == 0));
  }
}
BENCHMARK(BM_cvr_existing_record);

void BM_rscmng_psh_del_10k(benchmark::State& st) {
  std::vector<std::vector<unsigned char>> blocks(10000, std::vector<unsigned char>(32));
  for (auto& b : blocks) rscmng_psh(nullptr, b.data(), 32, 0, __FILE__, __LINE__, "bench", "malloc");
  std::vector<unsigned char> probe(32);
  for (auto _ : st) {
    rscmng_psh(nullptr, probe.data(), 32, 0, __FILE__, __LINE__, "bench", "malloc");
    rscmng_del(nullptr, probe.data(), 0, __FILE__, __LINE__, "bench", "free");
  }
  for (auto& b : blocks) rscmng_del(nullptr, b.data(), 0, __FILE__, __LINE__, "bench", "free");
}
BENCHMARK(BM_rscmng_psh_del_10k);

void BM_rscmng_chk_10k(benchmark::State& st) {
  std::vector<std::vector<unsigned char>> blocks(10000, std::vector<unsigned char>(32));
  for (auto& b : blocks) rscmng_psh(nullptr, b.data(), 32, 0, __FILE__, __LINE__, "bench", "malloc");
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(rscmng_chk(nullptr, blocks[i].data() + 8, 8, 0, __FILE__, __LINE__, "bench", "chk"));
    i = (i + 7919) % blocks.size();
  }
  for (auto& b : blocks) rscmng_del(nullptr, b.data(), 0, __FILE__, __LINE__, "bench", "free");
}
BENCHMARK(BM_rscmng_chk_10k);

}  // namespace
