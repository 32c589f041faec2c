#include "base/containers/buf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/mem_log.h"
#include "base/diag/rscmng.h"

namespace {

uintptr_t hdr(void* b, int k) { return static_cast<uintptr_t*>(b)[-(k + 1)]; }
uint32_t expo(void* b) { return static_cast<uint32_t>((hdr(b, BUF_FLG) & BUF_EXP_MSK) >> BUF_EXP_SHF); }
void* storage(void* b) { return *static_cast<void**>(b); }

std::vector<rscmng_rcd> records() {
  std::vector<rscmng_rcd> v;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    static_cast<std::vector<rscmng_rcd>*>(a)->push_back(*r);
    return 0;
  }, &v);
  return v;
}

std::optional<rscmng_rcd> record_of(const void* p, uint32_t lvl) {
  for (const rscmng_rcd& r : records())
    if (r.ptr == p && r.lvl == lvl) return r;
  return std::nullopt;
}

// Anything an operation registers for its own duration: header-word and element
// references, or any scoped record deeper than the scope the test runs in.
int transient_refs() {
  int n = 0;
  for (const rscmng_rcd& r : records()) {
    const std::string_view about = r.about;
    if (about.starts_with("REF(((uintptr_t*)(buf))") || about.starts_with("PTR(") ||
        (r.lvl != 0 && r.lvl > rscmng_lvl()))
      ++n;
  }
  return n;
}

class Buf : public ::testing::Test {
 protected:
  void SetUp() override { err_no = 0; }
  rscmng_scp scp;   // declarations made by a test belong to this scope
};

// ---- growable arrays ----

TEST_F(Buf, GrowsByPowersOfTwo) {
  __VARBUF(b, 1);
  EXPECT_EQ(hdr(b, BUF_FLG), BUF_PTR | BUF_VAR);
  EXPECT_EQ(storage(b), nullptr);

  const uint32_t want_e[] = {1, 1, 2, 2, 3};
  for (int i = 0; i < 5; ++i) {
    const char c = static_cast<char>('a' + i);
    ASSERT_EQ(buf_psh(b, &c), 0);
    EXPECT_EQ(expo(b), want_e[i]) << "after push " << i + 1;
    // The storage is registered with its whole capacity as a block of the growing call.
    auto r = record_of(storage(b), 0);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size, 1u << want_e[i]);
    EXPECT_STREQ(r->fnc, "buf_ref");
    if (i == 0) EXPECT_STREQ(r->about, "malloc");
    if (i == 2 || i == 4) EXPECT_STREQ(r->about, "realloc");
  }
  EXPECT_EQ(hdr(b, BUF_LEN), 5u);
  EXPECT_EQ(hdr(b, BUF_POS), 5u);
  EXPECT_EQ(hdr(b, BUF_FLG) & ~BUF_EXP_MSK, BUF_PTR | BUF_VAR);   // never full
  EXPECT_EQ(std::memcmp(storage(b), "abcde", 5), 0);   // contents survive reallocation
  buf_end(b);
}

TEST_F(Buf, ExponentIsExactAtTwoHundredFiftySix) {
  __VARBUF(b, 4);
  for (uint32_t i = 0; i < 128; ++i) ASSERT_EQ(buf_psh(b, &i), 0);
  EXPECT_EQ(expo(b), 7u);
  const uint32_t x = 128;
  ASSERT_EQ(buf_psh(b, &x), 0);
  EXPECT_EQ(hdr(b, BUF_FLG) & BUF_EXP_MSK, uintptr_t{8} << BUF_EXP_SHF);
  EXPECT_EQ(hdr(b, BUF_FLG) & ~BUF_EXP_MSK, BUF_PTR | BUF_VAR);
  for (uint32_t i = 0; i <= 128; ++i) {
    uint32_t v = ~0u;
    ASSERT_EQ(buf_get(b, i, &v), 0);
    ASSERT_EQ(v, i);
  }
  buf_end(b);
}

TEST_F(Buf, GetPastLengthExtendsGrowableArray) {
  __VARBUF(b, 2);
  for (uint16_t v : {11, 22, 33}) ASSERT_EQ(buf_psh(b, &v), 0);
  uint16_t v = 0;
  EXPECT_EQ(buf_get(b, 9, &v), 0);
  EXPECT_EQ(hdr(b, BUF_LEN), 10u);
  EXPECT_EQ(expo(b), 4u);
  EXPECT_EQ(hdr(b, BUF_POS), 3u);   // the cursor does not move
  ASSERT_EQ(buf_get(b, 2, &v), 0);
  EXPECT_EQ(v, 33);

  void* p = nullptr;
  ASSERT_EQ(buf_ref(b, 12, 4, &p), 0);   // elements 12..15 fit the capacity
  EXPECT_EQ(expo(b), 4u);
  EXPECT_EQ(p, static_cast<char*>(storage(b)) + 24);
  ASSERT_EQ(buf_ref(b, 16, 1, &p), 0);
  EXPECT_EQ(expo(b), 5u);
  EXPECT_EQ(hdr(b, BUF_LEN), 17u);
  buf_end(b);
}

TEST_F(Buf, CursorEndAndRewind) {
  __VARBUF(b, 1);
  char dst = 'z';
  EXPECT_EQ(buf_pop(b, &dst), ERR_END);   // nothing written yet
  EXPECT_EQ(dst, 'z');
  EXPECT_EQ(err_no, ERR_END);
  EXPECT_TRUE(hdr(b, BUF_FLG) & BUF_END);
  EXPECT_EQ(buf_psh(b, "x"), ERR_END);    // the end blocks writes too
  EXPECT_EQ(buf_rst(b), 0);
  EXPECT_EQ(err_no, 0);

  for (char c : {'p', 'q', 'r'}) ASSERT_EQ(buf_psh(b, &c), 0);
  EXPECT_EQ(buf_rst(b), 0);
  EXPECT_EQ(hdr(b, BUF_POS), 0u);
  for (char want : {'p', 'q', 'r'}) {
    EXPECT_FALSE(hdr(b, BUF_FLG) & BUF_END);
    ASSERT_EQ(buf_pop(b, &dst), 0);
    EXPECT_EQ(dst, want);
  }
  EXPECT_TRUE(hdr(b, BUF_FLG) & BUF_END);
  dst = 'z';
  EXPECT_EQ(buf_pop(b, &dst), ERR_END);
  EXPECT_EQ(dst, 'z');
  EXPECT_EQ(static_cast<uint32_t>(err_no), 0x80000001u);

  // A success clears an earlier status.
  buf_rst(b);
  err_no = ERR_FAIL;
  EXPECT_EQ(buf_pop(b, &dst), 0);
  EXPECT_EQ(err_no, 0);
  buf_end(b);
}

TEST_F(Buf, IndexRangeThatWrapsIsRefused) {
  __VARBUF(b, 1);
  ASSERT_EQ(buf_psh(b, "a"), 0);
  const uintptr_t flg = hdr(b, BUF_FLG), len = hdr(b, BUF_LEN);
  void* const p = storage(b);
  void* out = nullptr;
  EXPECT_EQ(buf_ref(b, 0xFFFFFFFFu, 1, &out), ERR_FAIL);
  err_no = 0;
  EXPECT_EQ(buf_ref(b, 0xFFFFFFF0u, 0x20, &out), ERR_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(hdr(b, BUF_FLG), flg);
  EXPECT_EQ(hdr(b, BUF_LEN), len);
  EXPECT_EQ(storage(b), p);
  buf_end(b);
}

TEST_F(Buf, StorageSizeOverflowFailsAndLeavesBufferUnchanged) {
  for (const uint32_t siz : {0x80000001u, 0x10000000u}) {
    uintptr_t rec[5];
    void* b = &rec[4];
    ASSERT_EQ(buf_ini(b, siz), 0);
    const std::vector<uintptr_t> before(rec, rec + 5);
    void* out = nullptr;
    // 2 x 0x80000001 and 16 x 0x10000000 both exceed a 32-bit byte count.
    const uint32_t idx = siz == 0x80000001u ? 0 : 15;
    EXPECT_EQ(buf_ref(b, idx, 1, &out), ERR_FAIL) << std::hex << siz;
    EXPECT_EQ(std::vector<uintptr_t>(rec, rec + 5), before);
    // An earlier, more specific failure survives.
    err_no = ERR_END;
    EXPECT_EQ(buf_ref(b, idx, 1, &out), ERR_END);
    err_no = 0;
    buf_end(b);
  }
}

// ---- linked buffers ----

TEST_F(Buf, LinkedStackPopsNewestFirst) {
  __LNKBUF(s, 4);
  EXPECT_EQ(hdr(s, BUF_FLG), BUF_PTR | BUF_LNK);
  std::vector<void*> nodes;
  for (int32_t v : {1, 2, 3}) {
    ASSERT_EQ(buf_psh(s, &v), 0);
    nodes.push_back(static_cast<char*>(storage(s)) - sizeof(void*));
    auto r = record_of(nodes.back(), 0);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size, 4 + sizeof(void*));
    EXPECT_STREQ(r->fnc, "buf_psh");
    EXPECT_STREQ(r->about, "malloc");
  }
  EXPECT_EQ(hdr(s, BUF_LEN), 3u);
  int32_t v = 0;
  ASSERT_EQ(buf_get(s, 1, &v), 0);
  EXPECT_EQ(v, 2);
  for (int32_t want : {3, 2, 1}) {
    ASSERT_EQ(buf_pop(s, &v), 0);
    EXPECT_EQ(v, want);
  }
  for (void* n : nodes) EXPECT_FALSE(record_of(n, 0).has_value());
  EXPECT_EQ(storage(s), nullptr);
  EXPECT_EQ(hdr(s, BUF_LEN), 0u);
  v = 77;
  EXPECT_EQ(buf_pop(s, &v), ERR_END);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(buf_psh(s, &v), ERR_END);   // until rewound
  EXPECT_EQ(buf_rst(s), 0);
  EXPECT_EQ(buf_psh(s, &v), 0);
  buf_end(s);
}

TEST_F(Buf, LinkedQueuePopsOldestFirst) {
  __LNKBUF(q, 4);
  __LNKBUF_q.flg |= BUF_QUE;
  for (int round = 0; round < 2; ++round) {
    for (int32_t v : {10, 20, 30}) ASSERT_EQ(buf_psh(q, &v), 0);
    void* last = nullptr;
    ASSERT_EQ(buf_ref(q, 0xFFFFFFFFu, 1, &last), 0);
    EXPECT_EQ(*static_cast<int32_t*>(last), 30);
    EXPECT_EQ(reinterpret_cast<void*>(hdr(q, BUF_POS)), last);
    int32_t v = 0;
    for (int32_t want : {10, 20, 30}) {
      ASSERT_EQ(buf_pop(q, &v), 0);
      EXPECT_EQ(v, want);
    }
    EXPECT_EQ(hdr(q, BUF_POS), 0u);   // emptied: no last element
    EXPECT_EQ(buf_pop(q, &v), ERR_END);
    buf_rst(q);
  }
  buf_end(q);
}

TEST_F(Buf, LinkedReadPastEndCopiesNothing) {
  __LNKBUF(s, 4);
  void* out = &out;
  EXPECT_EQ(buf_ref(s, 0, 1, &out), ERR_FAIL);   // empty list
  err_no = 0;
  int32_t v = 5;
  ASSERT_EQ(buf_psh(s, &v), 0);
  v = 9;
  EXPECT_EQ(buf_get(s, 3, &v), ERR_END);
  EXPECT_EQ(v, 9);
  EXPECT_TRUE(hdr(s, BUF_FLG) & BUF_END);
  buf_end(s);
}

TEST_F(Buf, LinkedEndFreesEveryNodeAndEmptiesTheList) {
  __LNKBUF(q, 2);
  __LNKBUF_q.flg |= BUF_QUE;
  std::vector<void*> nodes;
  for (uint16_t v : {1, 2, 3, 4}) {
    ASSERT_EQ(buf_psh(q, &v), 0);
    nodes.push_back(reinterpret_cast<char*>(hdr(q, BUF_POS)) - sizeof(void*));
  }
  buf_end(q);
  for (void* n : nodes) EXPECT_FALSE(record_of(n, 0).has_value());
  EXPECT_EQ(storage(q), nullptr);
  EXPECT_EQ(hdr(q, BUF_LEN), 0u);
  EXPECT_EQ(hdr(q, BUF_POS), 0u);
  // Usable again without touching freed nodes.
  uint16_t v = 8;
  ASSERT_EQ(buf_psh(q, &v), 0);
  v = 0;
  ASSERT_EQ(buf_pop(q, &v), 0);
  EXPECT_EQ(v, 8);
  buf_end(q);
}

// ---- inline buffers ----

struct inline4 {
  uintptr_t flg, pos, len, siz;
  alignas(uintptr_t) unsigned char data[4];
};

TEST_F(Buf, InlineBufferFillsUpAndRefusesMore) {
  inline4 r{0, 0, 4, 1, {}};
  void* b = r.data;
  for (unsigned char c = 1; c <= 4; ++c) {
    EXPECT_FALSE(r.flg & BUF_END);
    ASSERT_EQ(buf_psh(b, &c), 0);
  }
  EXPECT_TRUE(r.flg & BUF_END);   // the last slot was written
  const unsigned char more = 9;
  EXPECT_EQ(buf_psh(b, &more), ERR_END);
  const unsigned char want[4] = {1, 2, 3, 4};
  EXPECT_EQ(std::memcmp(r.data, want, 4), 0);

  void* out = nullptr;
  err_no = 0;
  EXPECT_EQ(buf_ref(b, 4, 1, &out), ERR_FAIL);
  err_no = 0;
  EXPECT_EQ(buf_ref(b, 2, 3, &out), ERR_FAIL);
  err_no = 0;
  ASSERT_EQ(buf_ref(b, 3, 1, &out), 0);
  EXPECT_EQ(out, &r.data[3]);

  buf_rst(b);
  unsigned char got[4] = {};
  for (auto& g : got) ASSERT_EQ(buf_pop(b, &g), 0);
  EXPECT_EQ(std::memcmp(got, want, 4), 0);

  buf_end(b);   // owns nothing
  EXPECT_EQ(std::memcmp(r.data, want, 4), 0);
  EXPECT_EQ(r.len, 4u);
}

TEST_F(Buf, FixedIndirectArrayIsNeitherGrownNorFreed) {
  unsigned char ext[2] = {};
  struct { uintptr_t flg, pos, len, siz; void* p; } r{BUF_PTR, 0, 2, 1, ext};
  void* b = &r.p;
  for (unsigned char c : {5, 6}) ASSERT_EQ(buf_psh(b, &c), 0);
  EXPECT_TRUE(r.flg & BUF_END);
  EXPECT_EQ(ext[1], 6);
  void* out = nullptr;
  err_no = 0;
  EXPECT_EQ(buf_ref(b, 2, 1, &out), ERR_FAIL);
  buf_end(b);
  EXPECT_EQ(r.p, ext);
}

// ---- hand-over ----

TEST_F(Buf, HandOverKeepsTheAllocationRecord) {
  __VARBUF(b, 1);
  for (char c : {'h', 'i', '!'}) ASSERT_EQ(buf_psh(b, &c), 0);
  void* const blk = storage(b);
  const auto before = record_of(blk, 0);
  ASSERT_TRUE(before.has_value());

  void* out = nullptr;
  err_no = ERR_FAIL;
  EXPECT_EQ(_buf_vptr(b, &out), 0);
  EXPECT_EQ(out, blk);
  EXPECT_EQ(storage(b), nullptr);
  const auto after = record_of(blk, 0);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->prc_cnt, before->prc_cnt);   // the same record, not a new one
  EXPECT_STREQ(after->fnc, "buf_ref");

  buf_end(b);   // no longer the owner: the block must survive
  EXPECT_TRUE(record_of(blk, 0).has_value());
  EXPECT_EQ(std::memcmp(out, "hi!", 3), 0);
  _free(&out);
  EXPECT_FALSE(record_of(blk, 0).has_value());
}

TEST_F(Buf, HandOverWithoutStorageFails) {
  __VARBUF(b, 1);
  void* out = &out;
  EXPECT_EQ(_buf_vptr(b, &out), ERR_FAIL);
  EXPECT_EQ(out, nullptr);

  // Neither an inline buffer nor a list has one block to hand over.
  inline4 r{0, 0, 4, 1, {7, 7, 7, 7}};
  out = &out;
  err_no = 0;
  EXPECT_EQ(_buf_vptr(r.data, &out), ERR_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(r.data[0], 7);

  __LNKBUF(s, 1);
  ASSERT_EQ(buf_psh(s, "k"), 0);
  void* const first = storage(s);
  err_no = 0;
  EXPECT_EQ(_buf_vptr(s, &out), ERR_FAIL);
  EXPECT_EQ(storage(s), first);
  buf_end(s);
}

// ---- initialisation and registrations ----

TEST_F(Buf, IniMakesAnEmptyGrowableArray) {
  uintptr_t rec[5] = {0xdead, 0xdead, 0xdead, 0xdead, 0xdead};
  void* b = &rec[4];
  err_no = ERR_END;
  EXPECT_EQ(buf_ini(b, 3), 0);
  EXPECT_EQ(rec[0], BUF_PTR | BUF_VAR);
  EXPECT_EQ(rec[1], 0u);
  EXPECT_EQ(rec[2], 0u);
  EXPECT_EQ(rec[3], 3u);
  EXPECT_EQ(storage(b), nullptr);
  ASSERT_EQ(buf_psh(b, "xyz"), 0);
  EXPECT_EQ(std::memcmp(storage(b), "xyz", 3), 0);
  buf_end(b);
  EXPECT_EQ(transient_refs(), 0);
}

TEST_F(Buf, DeclarationRegistersForTheDeclaringScope) {
  const uint32_t outer = rscmng_lvl();
  void* rec_addr = nullptr;
  void* siz_addr = nullptr;
  {
    rscmng_scp inner;
    const uint32_t lvl = rscmng_lvl();
    ASSERT_NE(lvl, outer);
    __VARBUF(str_buf, 1);
    rec_addr = &__VARBUF_str_buf;
    siz_addr = &__VARBUF_str_buf.siz;
    EXPECT_EQ(str_buf, &__VARBUF_str_buf._p);
    auto rec = record_of(rec_addr, lvl);
    ASSERT_TRUE(rec.has_value());
    EXPECT_STREQ(rec->about, "REF(__VARBUF_str_buf)");
    EXPECT_EQ(rec->size, sizeof(buf_var));
    auto w0 = record_of(siz_addr, lvl);
    ASSERT_TRUE(w0.has_value());
    EXPECT_STREQ(w0->about, "REF(((uintptr_t*)(__VARBUF_str_buf._p))[-(0+1)])");
    EXPECT_EQ(w0->size, sizeof(uintptr_t));
    auto w1 = record_of(&__VARBUF_str_buf.len, lvl);
    ASSERT_TRUE(w1.has_value());
    EXPECT_STREQ(w1->about, "REF(((uintptr_t*)(__VARBUF_str_buf._p))[-(1+1)])");

    __LNKBUF(nst_stk, 4);
    auto lrec = record_of(&__LNKBUF_nst_stk, lvl);
    ASSERT_TRUE(lrec.has_value());
    EXPECT_STREQ(lrec->about, "REF(__LNKBUF_nst_stk)");
    EXPECT_EQ(__LNKBUF_nst_stk.flg, 10u);
    EXPECT_EQ(__LNKBUF_nst_stk.siz, 4u);
  }
  EXPECT_FALSE(record_of(rec_addr, outer + 1).has_value());
  EXPECT_FALSE(record_of(siz_addr, outer + 1).has_value());
}

TEST_F(Buf, OperationsLeaveNoReferencesBehind) {
  __VARBUF(b, 4);
  __LNKBUF(s, 4);
  __LNKBUF(q, 4);
  __LNKBUF_q.flg |= BUF_QUE;
  ASSERT_EQ(transient_refs(), 0);
  int32_t v = 0;
  void* out = nullptr;
  for (void* h : {b, s, q}) {
    for (int i = 0; i < 5; ++i) {
      v = i;
      ASSERT_EQ(buf_psh(h, &v), 0);
      EXPECT_EQ(transient_refs(), 0) << "push";
    }
    ASSERT_EQ(buf_get(h, 2, &v), 0);
    EXPECT_EQ(transient_refs(), 0) << "get";
    ASSERT_EQ(buf_ref(h, 1, 1, &out), 0);
    EXPECT_EQ(transient_refs(), 0) << "ref";
    buf_rst(h);
    EXPECT_EQ(transient_refs(), 0) << "rst";
    ASSERT_EQ(buf_pop(h, &v), 0);
    EXPECT_EQ(transient_refs(), 0) << "pop";
    // Failure and end paths close their scopes too.
    err_no = 0;
    buf_ref(h, 0xFFFFFFFFu, 0x10, &out);
    EXPECT_EQ(transient_refs(), 0) << "failed ref";
    while (buf_pop(h, &v) == 0) {
    }
    EXPECT_EQ(buf_psh(h, &v), ERR_END);
    EXPECT_EQ(transient_refs(), 0) << "end";
    buf_rst(h);
  }
  void* const blk = storage(b);
  ASSERT_TRUE(record_of(blk, 0).has_value());
  EXPECT_EQ(_buf_vptr(b, &out), 0);
  EXPECT_EQ(transient_refs(), 0) << "vptr";
  _free(&out);
  for (void* h : {b, s, q}) {
    buf_end(h);
    EXPECT_EQ(transient_refs(), 0) << "end";
  }
  EXPECT_EQ(buf_ini(b, 1), 0);
  EXPECT_EQ(transient_refs(), 0) << "ini";
}

TEST_F(Buf, StorageIsRegisteredWhileOwned) {
  __VARBUF(b, 8);
  const uint64_t v = 42;
  ASSERT_EQ(buf_psh(b, &v), 0);
  void* blk = storage(b);
  ASSERT_TRUE(record_of(blk, 0).has_value());
  EXPECT_EQ(rscmng_chk(nullptr, blk, 16, 0, __FILE__, __LINE__, "test", "chk"), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(buf_psh(b, &v), 0);   // moves the block
  void* grown = storage(b);
  auto r = record_of(grown, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->size, 32u);
  if (grown != blk) EXPECT_FALSE(record_of(blk, 0).has_value());
  buf_end(b);
  EXPECT_EQ(storage(b), nullptr);
  EXPECT_FALSE(record_of(grown, 0).has_value());
}

TEST_F(Buf, EveryPushRegistersItsAccesses) {
  __VARBUF(b, 1);
  ASSERT_EQ(buf_psh(b, "a"), 0);
  // Each registration takes one sequence number: four header words and the two sides of
  // the copy at least, beyond what the nested reference makes.
  const uint64_t c0 = __prc_cnt(nullptr);
  ASSERT_EQ(buf_psh(b, "b"), 0);
  const uint64_t c1 = __prc_cnt(nullptr);
  EXPECT_GE(c1 - c0 - 1, 6u);
  buf_end(b);
}

}  // namespace
