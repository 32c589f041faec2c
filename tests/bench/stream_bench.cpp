// Throughput of the character streams: decoding a text and collecting it back.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "base/base.h"

namespace {

// About 1 MB of valid Shift-JIS: half double-byte characters, no NUL.
std::string sjis_text(size_t bytes) {
  std::mt19937 rng(1);
  std::string s;
  s.reserve(bytes + 1);
  while (s.size() < bytes) {
    if (rng() % 2 == 0) {
      s.push_back(static_cast<char>(rng() % 2 == 0 ? 0x81 + rng() % 31 : 0xE0 + rng() % 16));
      unsigned t;
      do t = 0x40 + rng() % (0xFC - 0x40 + 1);
      while (t == 0x7F);
      s.push_back(static_cast<char>(t));
    } else {
      unsigned b;
      do b = 0x20 + rng() % (0xFF - 0x20 + 1);
      while ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEF));
      s.push_back(static_cast<char>(b));
    }
  }
  return s;
}

void BM_cstream_to_vstr_1MB(benchmark::State& st) {
  const std::string text = sjis_text(1 << 20);
  for (auto _ : st) {
    stream cs{};
    cstream_str_set(&cs, text.c_str());
    char* out = nullptr;
    if (cstream_to_vstr(&cs, &out) != 0 || out == nullptr || text != out) {
      st.SkipWithError("round trip failed");
      break;
    }
    _free(&out);
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_cstream_to_vstr_1MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
