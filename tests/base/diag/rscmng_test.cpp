#include "base/diag/rscmng.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/mem_log.h"
#include "test_util.h"

namespace {

std::vector<rscmng_rcd> snapshot() {
  std::vector<rscmng_rcd> v;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    static_cast<std::vector<rscmng_rcd>*>(a)->push_back(*r);
    return 0;
  }, &v);
  return v;
}

std::vector<rscmng_rcd> records_of(const void* p) {
  std::vector<rscmng_rcd> v;
  for (const rscmng_rcd& r : snapshot())
    if (r.ptr == p) v.push_back(r);
  return v;
}

alignas(16) unsigned char area[256];
unsigned char* const blk = area + 64;

TEST(Rscmng, StartsAtLevelTen) {
  // Nothing in this test program opens a scope that outlives its test.
  EXPECT_EQ(rscmng_prc.lvl, 10);
  rscmng_nst_in(nullptr);
  EXPECT_EQ(rscmng_lvl(), 11u);
  rscmng_nst_out(nullptr);
  EXPECT_EQ(rscmng_lvl(), 10u);
}

TEST(Rscmng, SamePointerOnceAtOneLevelAndTwiceAtTwoLevels) {
  EXPECT_EQ(rscmng_psh(nullptr, blk, 16, 0, "f.cpp", 1, "a", "malloc"), blk);
  EXPECT_EQ(rscmng_psh(nullptr, blk, 32, 0, "g.cpp", 2, "b", "realloc"), blk);
  auto v = records_of(blk);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].cnt, 2u);
  EXPECT_EQ(v[0].size, 16u) << "the first registration's size stays";
  EXPECT_STREQ(v[0].fnc, "a");
  EXPECT_EQ(v[0].key.end, reinterpret_cast<uintptr_t>(blk) + 16);

  rscmng_nst_in(nullptr);
  rscmng_psh(nullptr, blk, 16, rscmng_lvl(), "f.cpp", 3, "c", "REF(x)");
  EXPECT_EQ(records_of(blk).size(), 2u);

  EXPECT_EQ(rscmng_del(nullptr, blk, rscmng_lvl(), "f.cpp", 4, "c", "free"), 0);
  rscmng_nst_out(nullptr);
  EXPECT_EQ(rscmng_del(nullptr, blk, 0, "f.cpp", 5, "a", "free"), 0);
  EXPECT_TRUE(records_of(blk).empty());
  EXPECT_EQ(rscmng_del(nullptr, blk, 0, "f.cpp", 6, "a", "free"), 1);
}

TEST(Rscmng, RangeCheckInsideAndAcrossABlock) {
  const uint64_t ring_before = __prc_cnt(nullptr);
  rscmng_psh(nullptr, blk, 16, 0, "f.cpp", 1, "t", "malloc");
  EXPECT_EQ(rscmng_chk(nullptr, blk + 4, 4, 0, "f.cpp", 2, "t", "chk"), 0);
  EXPECT_EQ(rscmng_chk(nullptr, blk, 16, 0, "f.cpp", 2, "t", "chk"), 0);
  EXPECT_EQ(rscmng_chk(nullptr, blk + 12, 8, 0, "f.cpp", 3, "t", "chk"), 1);
  EXPECT_EQ(rscmng_chk(nullptr, blk + 15, 0, 0, "f.cpp", 4, "t", "chk"), 0) << "size 0 checks one byte";
  EXPECT_EQ(rscmng_chk(nullptr, blk + 16, 0, 0, "f.cpp", 5, "t", "chk"), 1);
  EXPECT_EQ(rscmng_chk(nullptr, blk - 1, 2, 0, "f.cpp", 6, "t", "chk"), 1);
  EXPECT_EQ(rscmng_chk(nullptr, nullptr, 1, 0, "f.cpp", 7, "t", "chk"), 1);
  // Without report a miss logs nothing: only the registration took a sequence number.
  EXPECT_EQ(__prc_cnt(nullptr), ring_before + 2);
  rscmng_del(nullptr, blk, 0, "f.cpp", 8, "t", "free");
}

TEST(Rscmng, RangeCheckFindsTheBlockAmongMany) {
  std::vector<std::vector<unsigned char>> blocks(200, std::vector<unsigned char>(24));
  for (auto& b : blocks) rscmng_psh(nullptr, b.data(), 24, 0, "f.cpp", 1, "t", "malloc");
  for (auto& b : blocks) {
    EXPECT_EQ(rscmng_chk(nullptr, b.data() + 8, 16, 0, "f.cpp", 2, "t", "chk"), 0);
    EXPECT_EQ(rscmng_chk(nullptr, b.data() + 8, 17, 0, "f.cpp", 3, "t", "chk"), 1);
  }
  for (auto& b : blocks) EXPECT_EQ(rscmng_del(nullptr, b.data(), 0, "f.cpp", 4, "t", "free"), 0);
}

TEST(Rscmng, RegisterRunsFromHighToLowAddresses) {
  for (int i = 0; i < 8; ++i) rscmng_psh(nullptr, blk + 8 * i, 8, 0, "f.cpp", 1, "t", "malloc");
  std::vector<uintptr_t> seen;
  for (const rscmng_rcd& r : snapshot()) seen.push_back(r.key.bgn);
  ASSERT_GE(seen.size(), 8u);
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i - 1], seen[i]);
  for (int i = 0; i < 8; ++i) rscmng_del(nullptr, blk + 8 * i, 0, "f.cpp", 2, "t", "free");
}

TEST(Rscmng, ScopeDropsItsRegistrationsOnly) {
  rscmng_nst_in(nullptr);
  const uint32_t lvl = rscmng_lvl();
  rscmng_psh(nullptr, blk, 4, lvl, "f.cpp", 1, "", "REF(a)");
  rscmng_psh(nullptr, blk + 8, 4, lvl, "f.cpp", 2, "", "REF(b)");
  rscmng_psh(nullptr, blk + 16, 4, 0, "f.cpp", 3, "t", "malloc");
  rscmng_nst_in(nullptr);
  rscmng_psh(nullptr, blk + 24, 4, rscmng_lvl(), "f.cpp", 4, "", "REF(c)");
  rscmng_nst_out(nullptr);
  EXPECT_TRUE(records_of(blk + 24).empty());
  EXPECT_EQ(records_of(blk).size(), 1u);
  // Removing one scoped record by hand keeps the scope list intact.
  EXPECT_EQ(rscmng_del(nullptr, blk + 8, lvl, "f.cpp", 5, "", "REF(b)"), 0);
  rscmng_nst_out(nullptr);
  EXPECT_TRUE(records_of(blk).empty());
  EXPECT_TRUE(records_of(blk + 8).empty());
  ASSERT_EQ(records_of(blk + 16).size(), 1u);
  rscmng_del(nullptr, blk + 16, 0, "f.cpp", 6, "t", "free");
}

TEST(Rscmng, ScopedRegistrationWithoutAFrameMakesItsOwn) {
  ASSERT_EQ(rscmng_prc.nst_top, nullptr);
  rscmng_psh(nullptr, blk, 4, 7, "f.cpp", 1, "", "REF(a)");
  ASSERT_NE(rscmng_prc.nst_top, nullptr);
  rscmng_nst_out(nullptr);
  rscmng_nst_in(nullptr);
  EXPECT_EQ(rscmng_prc.nst_top->prv, nullptr);
  EXPECT_TRUE(records_of(blk).empty());
  rscmng_nst_out(nullptr);
  EXPECT_EQ(rscmng_prc.nst_top, nullptr);
}

TEST(Rscmng, NullAndBusyAreNeutral) {
  const size_t n = snapshot().size();
  EXPECT_EQ(rscmng_psh(nullptr, nullptr, 8, 0, "f.cpp", 1, "t", "malloc"), nullptr);
  EXPECT_EQ(snapshot().size(), n);
  ++dbg_busy;
  EXPECT_EQ(rscmng_psh(nullptr, blk, 8, 0, "f.cpp", 1, "t", "malloc"), blk);
  EXPECT_EQ(rscmng_chk(nullptr, blk + 100, 1, 1, "f.cpp", 2, "t", "chk"), 0);
  EXPECT_EQ(rscmng_del(nullptr, blk, 0, "f.cpp", 3, "t", "free"), 0);
  --dbg_busy;
  EXPECT_EQ(snapshot().size(), n);
}

TEST(Rscmng, UnregisteredRemovalIsSilent) {
  unsigned char other[4];
  testing::internal::CaptureStderr();
  EXPECT_EQ(rscmng_del(nullptr, other, 0, "f.cpp", 1, "t", "free"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(mem_log_get(0), nullptr);
}

TEST(Rscmng, ReportedMissLogsAndFails) {
  tu::tmp_dir dir;
  const int st = tu::in_child([&] {
    setenv("BAS_MEMLOG_PATH", dir.file("m.log").c_str(), 1);
    setenv("BAS_MEMLLOG_PATH", dir.file("l.log").c_str(), 1);
    setenv("BAS_TMR_PATH", dir.file("t.txt").c_str(), 1);
    if (freopen(dir.file("err.txt").c_str(), "w", stderr) == nullptr) return 9;
    err_no = 0;
    unsigned char x[4];
    if (rscmng_chk(nullptr, x, 4, 1, "caller.cpp", 77, "user_fn", "MEM(x)") != 1) return 1;
    return err_no == -1 ? 0 : 2;
  });
  ASSERT_EQ(st, 0);
  const std::string err = tu::slurp(dir.file("err.txt"));
  EXPECT_NE(err.find("caller.cpp(77) PRC:???bybase/diag/mem_log.cpp err_no:0/0x0 prc_cnt:"), std::string::npos) << err;
  EXPECT_NE(err.find(" fnc=user_fn ptr=0x"), std::string::npos) << err;
  EXPECT_NE(err.find(" size=4 about=MEM(x)\n"), std::string::npos) << err;
  EXPECT_EQ(tu::slurp(dir.file("m.log")), err);
}

TEST(Rscmng, RecordPrintFormat) {
  rscmng_rcd r = {};
  r.about = "malloc";
  r.file = "base/x.cpp";
  r.line = 12;
  r.fnc = "_malloc";
  r.key = {0x1000, 0x1010, 3};
  r.prc_cnt = 42;
  char* out = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&out, &len);
  __rscmng_map_prt(f, &r, nullptr);
  std::fclose(f);
  const std::string w(2 * sizeof(void*) - 4, '0');
  EXPECT_EQ(std::string(out, len), "base/x.cpp(12),_malloc,malloc," + w + "1000," + w + "1010,3,42\n");
  std::free(out);
}

// A register of its own, so that addresses can be made up freely; released with the object.
struct own_mng {
  rscmng m = {10, {}, nullptr, 0, nullptr};
  ~own_mng() {
    while (m.nst_top != nullptr) rscmng_nst_out(&m);
    map_end(&m.map);
    while (m.nst_free != nullptr) {
      rscmng_nst* f = m.nst_free;
      m.nst_free = f->prv;
      heap_fre(f);
    }
  }
  unsigned char* at(uintptr_t a) const { return reinterpret_cast<unsigned char*>(a); }
  void psh(uintptr_t a, uint32_t n, uint32_t lvl) { rscmng_psh(&m, at(a), n, lvl, "f.cpp", 1, "t", "x"); }
  int chk(uintptr_t a, uint32_t n) { return rscmng_chk(&m, at(a), n, 0, "f.cpp", 2, "t", "chk"); }
};

TEST(RscmngChk, AReferenceRotatedAboveItsBlockHidesNothing) {
  own_mng o;
  const uintptr_t p = 0x100000;
  o.psh(p, 64, 0);
  rscmng_nst_in(&o.m);
  o.psh(p + 8, 4, static_cast<uint32_t>(o.m.lvl));   // a reference of o's scope
  o.psh(p + 4096, 64, 0);
  // Searches that pass the first block on its high side repair the tree around them.
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(o.chk(p + 4096 + 8, 4), 0);
    EXPECT_EQ(o.chk(p + 32, 1), 0) << "round " << i;
    EXPECT_EQ(o.chk(p + 8, 4), 0);
  }
  EXPECT_EQ(o.chk(p + 60, 8), 1);   // runs past the end of the block
  rscmng_nst_out(&o.m);
}

TEST(RscmngChk, AgreesWithAPlainIntervalListOverRandomRuns) {
  struct ivl {
    uintptr_t bgn, end;
    int32_t lvl;   // 0: a block; else the scope level of a reference
  };
  std::mt19937 rng(20261208);
  for (int run = 0; run < 40; ++run) {
    own_mng o;
    std::vector<ivl> live;
    const uintptr_t base = 0x400000;
    auto inside = [&](uintptr_t b, uintptr_t e) {
      for (const ivl& v : live)
        if (v.bgn <= b && e <= v.end) return true;
      return false;
    };
    for (int op = 0; op < 1500; ++op) {
      const unsigned what = rng() % 10;
      if (what < 3) {   // a new block where none is
        const uintptr_t b = base + rng() % 4096, n = 1 + rng() % 96;
        bool free_here = true;
        for (const ivl& v : live) free_here = free_here && (v.lvl != 0 || b + n <= v.bgn || v.end <= b);
        if (!free_here) continue;
        o.psh(b, static_cast<uint32_t>(n), 0);
        live.push_back({b, b + n, 0});
      } else if (what < 5) {   // a reference inside a block, in the current scope
        std::vector<ivl> blocks;
        for (const ivl& v : live)
          if (v.lvl == 0) blocks.push_back(v);
        if (blocks.empty() || o.m.lvl == 10) continue;
        const ivl& bl = blocks[rng() % blocks.size()];
        const uintptr_t off = rng() % (bl.end - bl.bgn), n = 1 + rng() % (bl.end - bl.bgn - off);
        bool dup = false;
        for (const ivl& v : live) dup = dup || (v.bgn == bl.bgn + off && v.lvl == o.m.lvl);
        if (dup) continue;   // one registration per start and level
        o.psh(bl.bgn + off, static_cast<uint32_t>(n), static_cast<uint32_t>(o.m.lvl));
        live.push_back({bl.bgn + off, bl.bgn + off + n, o.m.lvl});
      } else if (what < 6 && o.m.lvl < 16) {
        rscmng_nst_in(&o.m);
      } else if (what < 7 && o.m.lvl > 10) {
        const int32_t l = o.m.lvl;
        rscmng_nst_out(&o.m);
        std::erase_if(live, [&](const ivl& v) { return v.lvl == l; });
      } else if (what < 8) {   // a block goes once no reference points into it
        for (size_t i = 0; i < live.size(); ++i) {
          if (live[i].lvl != 0) continue;
          bool referred = false;
          for (const ivl& v : live) referred = referred || (v.lvl != 0 && v.bgn < live[i].end && live[i].bgn < v.end);
          if (referred) continue;
          EXPECT_EQ(rscmng_del(&o.m, o.at(live[i].bgn), 0, "f.cpp", 3, "t", "free"), 0);
          live.erase(live.begin() + static_cast<long>(i));
          break;
        }
      } else {
        // Mostly inside or around a live record, where the tree's shape matters.
        uintptr_t b = base + rng() % 8400;
        if (!live.empty() && rng() % 4 != 0) b = live[rng() % live.size()].bgn + rng() % 48;
        const uintptr_t n = rng() % 40;
        ASSERT_EQ(o.chk(b, static_cast<uint32_t>(n)), inside(b, b + (n == 0 ? 1 : n)) ? 0 : 1)
            << "run " << run << " op " << op << " [" << std::hex << b << "+" << std::dec << n << ")";
      }
    }
  }
}

TEST(RscmngNst, AFrameThatCouldNotBeMadeClosesNothingOfTheScopeAround) {
  own_mng o;
  const uintptr_t p = 0x200000;
  rscmng_nst_in(&o.m);
  o.psh(p, 4, static_cast<uint32_t>(o.m.lvl));
  heap_fail_set(1);
  rscmng_nst_in(&o.m);   // its frame fails
  EXPECT_EQ(o.m.lvl, 12);
  rscmng_nst_out(&o.m);
  EXPECT_EQ(o.chk(p, 4), 0) << "the close of the inner scope took the outer one's frame";

  // A registration in such a scope gets a frame of its own, which its close takes.
  heap_fail_set(1);
  rscmng_nst_in(&o.m);
  o.psh(p + 8, 4, static_cast<uint32_t>(o.m.lvl));
  EXPECT_EQ(o.chk(p + 8, 4), 0);
  rscmng_nst_out(&o.m);
  EXPECT_EQ(o.chk(p + 8, 4), 1);
  EXPECT_EQ(o.chk(p, 4), 0);
  rscmng_nst_out(&o.m);
  EXPECT_EQ(o.chk(p, 4), 1);
  EXPECT_EQ(o.m.nst_top, nullptr);
  EXPECT_EQ(o.m.lvl, 10);
}

TEST(Rscmng, RegisterNodesAreKeptForReuseOnlyWhileKeepingIsOn) {
  rscmng_rcd img = {};
  img.about = "malloc";
  void* n = nullptr;
  __rscmng_map_del(nullptr, nullptr);   // nothing to release
  rscmng_cache_set(false);
  uint64_t c0 = heap_cnt();
  ASSERT_EQ(__rscmng_map_mak(&n, &img, nullptr), 0);
  EXPECT_EQ(heap_cnt(), c0 + 1);
  EXPECT_STREQ(static_cast<rscmng_rcd*>(n)->about, "malloc");
  __rscmng_map_del(n, nullptr);
  ASSERT_EQ(__rscmng_map_mak(&n, &img, nullptr), 0);
  EXPECT_EQ(heap_cnt(), c0 + 2) << "given back, so made anew";
  __rscmng_map_del(n, nullptr);
  rscmng_cache_set(true);
  ASSERT_EQ(__rscmng_map_mak(&n, &img, nullptr), 0);
  __rscmng_map_del(n, nullptr);
  c0 = heap_cnt();
  ASSERT_EQ(__rscmng_map_mak(&n, &img, nullptr), 0);
  EXPECT_EQ(heap_cnt(), c0) << "kept, so reused";
  __rscmng_map_del(n, nullptr);
  // Without a kept node and without memory, no node is made.
  rscmng_cache_set(false);
  int r = 0;
  for (int i = 0; i < 100 && r == 0; ++i) {
    n = nullptr;
    heap_fail_set(1);
    r = __rscmng_map_mak(&n, &img, nullptr);
    heap_fail_set(0);
    if (r == 0) __rscmng_map_del(n, nullptr);
  }
  EXPECT_EQ(r, -1);
  EXPECT_EQ(n, nullptr);
  rscmng_cache_set(true);
}

}  // namespace
