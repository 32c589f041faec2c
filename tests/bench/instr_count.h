// What an operation makes the instrumentation do: condition reports, profiling sections (four
// clock readings each) and resource-manager scopes, counted from the recorders' own tables.
// Their costs (diag_bench) times these counts are the floor under the operation's time.
#pragma once
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base/base.h"

namespace bench {

inline uint64_t reports() {
  uint64_t n = 0;
  ++dbg_busy;
  test_cvr_walk(nullptr, [](const test_cvr_rcd* r, void* a) {
    *static_cast<uint64_t*>(a) += r->count;
    return 0;
  }, &n);
  --dbg_busy;
  return n;
}

// Sections closed so far (a section the clock could not measure is closed but not counted:
// rare enough here not to matter).
struct sec_cnt {
  uint64_t all = 0, scopes = 0;
};
inline sec_cnt sections() {
  sec_cnt s;
  for (const tmr_rcd* t = tmr_lst(); t != nullptr; t = t->nxt) {
    s.all += t->cnt;
    if (std::strcmp(t->msg, "rscmng_nst_in") == 0) s.scopes += t->cnt;
  }
  return s;
}

// The three counts of one run of f, per unit, as the benchmark's counters.
template <class F>
void instr_per(benchmark::State& st, const char* unit, double units, F f) {
  const uint64_t r0 = reports();
  const sec_cnt s0 = sections();
  f();
  const uint64_t r1 = reports();
  const sec_cnt s1 = sections();
  st.counters[std::string("reports/") + unit] = static_cast<double>(r1 - r0) / units;
  st.counters[std::string("sections/") + unit] = static_cast<double>(s1.all - s0.all) / units;
  st.counters[std::string("scopes/") + unit] = static_cast<double>(s1.scopes - s0.scopes) / units;
}

}  // namespace bench
