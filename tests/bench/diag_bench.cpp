// What the instrumentation costs every library operation: a coverage report where every site
// of a library-sized table has been recorded both ways, and the resource register's
// operations among 10,000 blocks. Each against the plain C++ way of keeping the same record.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "base/diag/cvr.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"

// Generated: one condition site per line, as many as the library has (cvr_sites.cpp).
extern const int kCvrSites;
int cvr_sites(const unsigned char* v);
int plain_sites(const unsigned char* v, uint32_t (*cnt)[2]);

namespace {

// Inputs that send each site either way, differently from one round to the next.
std::vector<std::vector<unsigned char>> inputs() {
  std::mt19937 rng(7);
  std::vector<std::vector<unsigned char>> in(16, std::vector<unsigned char>(static_cast<size_t>(kCvrSites)));
  for (auto& v : in)
    for (auto& b : v) b = static_cast<unsigned char>(rng() & 1);
  return in;
}

void BM_cvr(benchmark::State& st) {
  const auto in = inputs();
  // Every site recorded both ways before the clock starts: the table is at its full size.
  const std::vector<unsigned char> ones(static_cast<size_t>(kCvrSites), 1), zeros(static_cast<size_t>(kCvrSites), 0);
  cvr_sites(ones.data());
  cvr_sites(zeros.data());
  size_t r = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(cvr_sites(in[r].data()));
    r = (r + 1) % in.size();
  }
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kCvrSites);
}
BENCHMARK(BM_cvr)->Name("coverage report, every site recorded both ways/kestrel");

void BM_cvr_base(benchmark::State& st) {
  const auto in = inputs();
  static uint32_t cnt[4096][2];
  size_t r = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(plain_sites(in[r].data(), cnt));
    r = (r + 1) % in.size();
  }
  benchmark::DoNotOptimize(cnt);
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) * kCvrSites);
}
BENCHMARK(BM_cvr_base)->Name("coverage report, every site recorded both ways/baseline");

constexpr size_t kBlocks = 10000;

struct blocks {
  std::vector<std::vector<unsigned char>> b{kBlocks, std::vector<unsigned char>(32)};
};

void BM_psh_del(benchmark::State& st) {
  blocks bl;
  for (auto& b : bl.b) rscmng_psh(nullptr, b.data(), 32, 0, __FILE__, __LINE__, "bench", "malloc");
  std::vector<unsigned char> probe(32);
  for (auto _ : st) {
    rscmng_psh(nullptr, probe.data(), 32, 0, __FILE__, __LINE__, "bench", "malloc");
    rscmng_del(nullptr, probe.data(), 0, __FILE__, __LINE__, "bench", "free");
  }
  for (auto& b : bl.b) rscmng_del(nullptr, b.data(), 0, __FILE__, __LINE__, "bench", "free");
}
BENCHMARK(BM_psh_del)->Name("rscmng_psh + rscmng_del, 10,000 blocks registered/kestrel");

struct rec {
  uintptr_t end;
  const char* what;
};

void BM_psh_del_base(benchmark::State& st) {
  blocks bl;
  std::map<uintptr_t, rec> m;
  for (auto& b : bl.b) m.emplace(reinterpret_cast<uintptr_t>(b.data()), rec{reinterpret_cast<uintptr_t>(b.data()) + 32, "malloc"});
  std::vector<unsigned char> probe(32);
  const auto p = reinterpret_cast<uintptr_t>(probe.data());
  for (auto _ : st) {
    m.emplace(p, rec{p + 32, "malloc"});
    m.erase(p);
  }
}
BENCHMARK(BM_psh_del_base)->Name("rscmng_psh + rscmng_del, 10,000 blocks registered/baseline");

void BM_chk(benchmark::State& st) {
  blocks bl;
  for (auto& b : bl.b) rscmng_psh(nullptr, b.data(), 32, 0, __FILE__, __LINE__, "bench", "malloc");
  size_t i = 0;
  for (auto _ : st) {
    benchmark::DoNotOptimize(rscmng_chk(nullptr, bl.b[i].data() + 8, 8, 0, __FILE__, __LINE__, "bench", "chk"));
    i = (i + 7919) % kBlocks;
  }
  for (auto& b : bl.b) rscmng_del(nullptr, b.data(), 0, __FILE__, __LINE__, "bench", "free");
}
BENCHMARK(BM_chk)->Name("rscmng_chk, 10,000 blocks registered/kestrel");

void BM_chk_base(benchmark::State& st) {
  blocks bl;
  std::map<uintptr_t, rec> m;
  for (auto& b : bl.b) m.emplace(reinterpret_cast<uintptr_t>(b.data()), rec{reinterpret_cast<uintptr_t>(b.data()) + 32, "malloc"});
  size_t i = 0;
  for (auto _ : st) {
    const auto q = reinterpret_cast<uintptr_t>(bl.b[i].data() + 8);
    auto it = m.upper_bound(q);
    benchmark::DoNotOptimize(it != m.begin() && std::prev(it)->second.end >= q + 8);
    i = (i + 7919) % kBlocks;
  }
}
BENCHMARK(BM_chk_base)->Name("rscmng_chk, 10,000 blocks registered/baseline");

// One profiling section, opened and closed (four clock readings), against timing the same
// span with two readings of the standard steady clock.
void BM_sec(benchmark::State& st) {
  static tmr_rcd t = {"bench", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
  for (auto _ : st) {
    tmr_frm f = {};
    tmr_psh(&t, &f);
    tmr_pop(&t, &f);
  }
  benchmark::DoNotOptimize(t.own);
}
BENCHMARK(BM_sec)->Name("profiler section (tmr_psh + tmr_pop)/kestrel");

void BM_sec_base(benchmark::State& st) {
  using clk = std::chrono::steady_clock;
  clk::duration ttl{};
  for (auto _ : st) {
    const auto t0 = clk::now();
    ttl += clk::now() - t0;
  }
  benchmark::DoNotOptimize(ttl);
}
BENCHMARK(BM_sec_base)->Name("profiler section (tmr_psh + tmr_pop)/baseline");

// One resource-manager scope, opened and closed (each a profiling section of its own), against
// a frame of two pointers from the heap and back.
void BM_scope(benchmark::State& st) {
  for (auto _ : st) {
    rscmng_nst_in(nullptr);
    rscmng_nst_out(nullptr);
  }
}
BENCHMARK(BM_scope)->Name("scope (rscmng_nst_in + rscmng_nst_out)/kestrel");

void BM_scope_base(benchmark::State& st) {
  struct frm {
    frm* prv;
    void* top;
  };
  frm* cur = nullptr;
  for (auto _ : st) {
    cur = new frm{cur, nullptr};
    benchmark::DoNotOptimize(cur);
    frm* f = cur;
    cur = f->prv;
    delete f;
  }
}
BENCHMARK(BM_scope_base)->Name("scope (rscmng_nst_in + rscmng_nst_out)/baseline");

}  // namespace
