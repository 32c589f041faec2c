// A byte pushed into a growable buffer, registrations included, against std::vector.
#include <benchmark/benchmark.h>

#include <vector>

#include "base/base.h"

namespace {

void BM_buf_psh_byte(benchmark::State& st) {
  __VARBUF(b, 1);
  const unsigned char c = 'x';
  for (auto _ : st) {
    if (buf_psh(b, &c) != 0) st.SkipWithError("push failed");
    // Rewind now and then so the bench measures pushes, not an ever larger block.
    if (__VARBUF_b.pos >= 4096) buf_rst(b);
  }
  buf_end(b);
}
BENCHMARK(BM_buf_psh_byte)->Name("buf_psh of one byte/kestrel");

void BM_vector_push_byte(benchmark::State& st) {
  std::vector<unsigned char> v;
  const unsigned char c = 'x';
  for (auto _ : st) {
    v.push_back(c);
    benchmark::DoNotOptimize(v.data());
    if (v.size() >= 4096) v.clear();
  }
}
BENCHMARK(BM_vector_push_byte)->Name("buf_psh of one byte/baseline");

}  // namespace
