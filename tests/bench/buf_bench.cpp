// Cost of the buffer's element operations, registrations included.
#include <benchmark/benchmark.h>

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
BENCHMARK(BM_buf_psh_byte);

}  // namespace
