// Throughput of the character streams: 1 MB of Shift-JIS decoded and collected back into a
// text, against a plain byte loop that decodes the same text into codes and encodes it back.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "base/base.h"

namespace {

constexpr bool lead(unsigned b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// About 1 MB of valid code page 932 text: half double-byte characters, no NUL.
const std::string& sjis_text() {
  static const std::string s = [] {
    std::mt19937 rng(1);
    std::string t;
    t.reserve((1 << 20) + 1);
    while (t.size() < (1 << 20)) {
      if (rng() % 2 == 0) {
        unsigned l;
        do l = 0x81 + rng() % (0xFC - 0x81 + 1);
        while (!lead(l));
        t.push_back(static_cast<char>(l));
        unsigned tr;
        do tr = 0x40 + rng() % (0xFC - 0x40 + 1);
        while (tr == 0x7F);
        t.push_back(static_cast<char>(tr));
      } else {
        unsigned b;
        do b = 0x20 + rng() % (0xFF - 0x20 + 1);
        while (lead(b));
        t.push_back(static_cast<char>(b));
      }
    }
    return t;
  }();
  return s;
}

void BM_collect(benchmark::State& st) {
  const std::string& text = sjis_text();
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
BENCHMARK(BM_collect)->Name("cstream_to_vstr over cstream_str_set, 1 MB Shift-JIS/kestrel")->Unit(benchmark::kMillisecond);

void BM_collect_base(benchmark::State& st) {
  const std::string& text = sjis_text();
  for (auto _ : st) {
    std::string out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.c_str());
    while (*p != 0) {
      uint32_t c = *p++;
      if (lead(c) && *p != 0) c |= static_cast<uint32_t>(*p++) << 8;
      out.push_back(static_cast<char>(c & 0xFF));
      if (c >> 8 != 0) out.push_back(static_cast<char>(c >> 8));
    }
    if (out != text) {
      st.SkipWithError("round trip failed");
      break;
    }
  }
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_collect_base)->Name("cstream_to_vstr over cstream_str_set, 1 MB Shift-JIS/baseline")->Unit(benchmark::kMillisecond);

}  // namespace
