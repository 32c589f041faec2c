// The diagnostics keep things for reuse (each condition site's records, scope frames, register
// records) only to be cheap: with the keeping on or off, one workload must
// leave the same coverage table, the same register and the same profiler counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/base.h"
#include "instr_golden.h"

namespace {

// A few thousand operations of the maps, the variant tree, the buffer, the streams and the
// formatter (the golden record's library workload among them); one vmap is left alive, so that
// the register has something to compare. Keys under different parents order by the parents'
// addresses: blocks come from the golden record's arena, so that the trees' shapes are the same
// in every run.
void workload(vmap* kept) {
  rscmng_scp scp;   // as a library caller does: the declared buffer's references go with it
  vmap_set(kept, VMAP_NST);
  vtyp* prn = nullptr;
  _vmap_put_str_str(kept, nullptr, "parent", "ON", &prn, 0);
  char key[64];
  for (int i = 0; i < 300; ++i) {
    std::snprintf(key, sizeof key, "%012X-dev \x83\x5C%d", i * 7919, i);
    vtyp* e = nullptr;
    _vmap_put_str_str(kept, nullptr, key, i % 3 ? "ON" : "OFF", &e, 0);
    vmap_put_str_int(kept, prn, key, i % 4, 0);
    vmap_put_str_str(kept, prn, "chk", "OK", 0);
    vmap_put_str_str(kept, prn, "chk", "-", 0);
    const char* s = nullptr;
    vmap_get_str_str(kept, nullptr, key, &s);
    int32_t n = 0;
    vmap_get_str_int(kept, prn, key, &n);
    vmap_ref_str(kept, nullptr, "nope", nullptr);   // a miss, a failure status
  }
  vmap_itr itr = {};
  vmap_rng_pop_set(kept, nullptr, VMAP_RNG_CTL, &itr);
  vtyp* e = nullptr;
  for (int d = 0; vmap_rng_pop(&itr, &e, d) == 0; d ^= 1) {
  }
  vmap_rng_pop_end(&itr);

  instr::lib_workload();
}

struct cvr_row {
  std::string file, func;
  uint32_t line, count;
  int32_t outcome;
  bool operator==(const cvr_row&) const = default;
};
struct reg_row {
  std::string about, file, fnc;
  int32_t line;
  uint32_t size, lvl, cnt;
  auto operator<=>(const reg_row&) const = default;
};
struct record {
  std::vector<cvr_row> cvr;                     // in creation order, newest first
  std::vector<reg_row> reg;                     // addresses left out (they differ), so sorted
  std::map<std::string, uint32_t> sections;     // per timer, the sections the workload closed
};

std::map<std::string, uint32_t> timer_counts() {
  std::map<std::string, uint32_t> m;
  for (const tmr_rcd* t = tmr_lst(); t != nullptr; t = t->nxt)
    m[std::string(t->file) + ":" + std::to_string(t->line) + ":" + t->msg] = t->cnt;
  return m;
}

int64_t fixed_wall() { return 0; }   // never a report due: its time would decide its sections
// Whether a section's opening took time decides one of its conditions: a clock that moves one
// tick per reading makes that the same in every run.
uint32_t ticks = 0;
uint32_t step_clock() { return ticks++; }

record run(bool keep) {
  instr::arena::on();
  test_cvr_cache_set(keep);
  rscmng_cache_set(keep);
  const auto before = timer_counts();
  test_cvr_clr();
  err_no = 0;
  vmap kept = {};
  workload(&kept);
  record r;
  test_cvr_walk(nullptr, [](const test_cvr_rcd* c, void* a) {
    static_cast<record*>(a)->cvr.push_back({c->file, c->func, c->line, c->count, c->outcome});
    return 0;
  }, &r);
  rscmng_walk(nullptr, [](const rscmng_rcd* c, void* a) {
    static_cast<record*>(a)->reg.push_back({c->about, c->file, c->fnc, c->line, c->size, c->lvl, c->cnt});
    return 0;
  }, &r);
  std::sort(r.reg.begin(), r.reg.end());
  for (const auto& [name, cnt] : timer_counts()) {
    const auto it = before.find(name);
    const uint32_t d = cnt - (it == before.end() ? 0 : it->second);
    if (d != 0) r.sections[name] = d;
  }
  vmap_end(&kept);
  return r;
}

TEST(DiagCaches, KeepingChangesNothingThatIsRecorded) {
  const tmr_wal_fn wal = tmr_wal_set(fixed_wall);
  const tmr_clk_fn clk = tmr_clk_set(step_clock);
  run(true);   // timers join the report list at their first section: that happens once
  const record off = run(false);
  const record on = run(true);
  const record again = run(true);   // the second time with everything kept from the first
  tmr_wal_set(wal);
  tmr_clk_set(clk);

  ASSERT_GT(off.cvr.size(), 300u) << "the workload reaches the library's conditions";
  ASSERT_FALSE(off.reg.empty());
  ASSERT_GT(off.sections.size(), 20u);
  for (const record* r : {&on, &again}) {
    ASSERT_EQ(r->cvr.size(), off.cvr.size());
    for (size_t i = 0; i < off.cvr.size(); ++i)
      ASSERT_TRUE(r->cvr[i] == off.cvr[i]) << i << ": " << off.cvr[i].file << ":" << off.cvr[i].line << " "
                                           << off.cvr[i].outcome << " " << off.cvr[i].count << " against "
                                           << r->cvr[i].file << ":" << r->cvr[i].line << " " << r->cvr[i].outcome
                                           << " " << r->cvr[i].count;
    EXPECT_TRUE(r->reg == off.reg);
    EXPECT_EQ(r->sections, off.sections);
  }
  test_cvr_cache_set(true);
  rscmng_cache_set(true);
}

}  // namespace
