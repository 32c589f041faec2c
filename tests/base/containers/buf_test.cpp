#include "base/containers/buf.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/malloc.h"
#include "base/diag/mem_log.h"
#include "base/diag/rscmng.h"

namespace {

uintptr_t hdr(void* b, int k) { return static_cast<uintptr_t*>(b)[-(k + 1)]; }
uint32_t expo(void* b) { return static_cast<uint32_t>((hdr(b, BUF_FLG) & BUF_EXP_MSK) >> BUF_EXP_SHF); }
void* storage(void* b) { return *static_cast<void**>(b); }
void* node_of(void* el) { return static_cast<char*>(el) - sizeof(void*); }

std::vector<rscmng_rcd> records() {
  std::vector<rscmng_rcd> v;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    static_cast<std::vector<rscmng_rcd>*>(a)->push_back(*r);
    return 0;
  }, &v);
  return v;
}
std::optional<rscmng_rcd> record_of(uintptr_t p, uint32_t lvl = 0) {
  for (const rscmng_rcd& r : records())
    if (reinterpret_cast<uintptr_t>(r.ptr) == p && r.lvl == lvl) return r;
  return std::nullopt;
}
std::optional<rscmng_rcd> record_of(const void* p, uint32_t lvl = 0) {
  return record_of(reinterpret_cast<uintptr_t>(p), lvl);
}
// What an operation registers for its own duration: header-word and element references,
// or any scoped record deeper than the test's own scope.
int transient_refs() {
  int n = 0;
  for (const rscmng_rcd& r : records()) {
    const std::string_view about = r.about;
    n += about.starts_with("REF(((uintptr_t*)(buf))") || about.starts_with("PTR(") ||
         (r.lvl != 0 && r.lvl > rscmng_lvl());
  }
  return n;
}

struct inline4 {
  uintptr_t flg, pos, len, siz;
  alignas(uintptr_t) unsigned char data[4];
};

class Buf : public ::testing::Test {
 protected:
  void SetUp() override { err_no = 0; }
  rscmng_scp scp;   // declarations made by a test belong to this scope
};

TEST_F(Buf, GrowableArrayDoublesItsRegisteredStorage) {
  __VARBUF(b, 1);
  EXPECT_EQ(hdr(b, BUF_FLG), BUF_PTR | BUF_VAR);
  const uint32_t want_e[] = {1, 1, 2, 2, 3};
  for (int i = 0; i < 5; ++i) {
    const char c = static_cast<char>('a' + i);
    ASSERT_EQ(buf_psh(b, &c), 0);
    EXPECT_EQ(expo(b), want_e[i]) << "push " << i + 1;
    auto r = record_of(storage(b));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size, 1u << want_e[i]);
    EXPECT_STREQ(r->fnc, "buf_ref");
    EXPECT_STREQ(r->about, i < 2 ? "malloc" : "realloc") << "push " << i + 1;
  }
  EXPECT_EQ(hdr(b, BUF_LEN), 5u);
  EXPECT_EQ(hdr(b, BUF_POS), 5u);
  EXPECT_EQ(std::memcmp(storage(b), "abcde", 5), 0);   // survives reallocation
  void* const blk = storage(b);
  buf_end(b);
  EXPECT_EQ(storage(b), nullptr);
  EXPECT_FALSE(record_of(blk).has_value());

  __VARBUF(w, 4);
  for (uint32_t i = 0; i <= 128; ++i) ASSERT_EQ(buf_psh(w, &i), 0);
  EXPECT_EQ(hdr(w, BUF_FLG), BUF_PTR | BUF_VAR | (uintptr_t{8} << BUF_EXP_SHF));
  uint32_t v = 0;
  ASSERT_EQ(buf_get(w, 127, &v), 0);
  EXPECT_EQ(v, 127u);
  buf_end(w);
}

TEST_F(Buf, GetAndRefPastLengthExtendTheArray) {
  __VARBUF(b, 2);
  for (uint16_t v : {11, 22, 33}) ASSERT_EQ(buf_psh(b, &v), 0);
  uint16_t v = 0;
  EXPECT_EQ(buf_get(b, 9, &v), 0);
  EXPECT_EQ(hdr(b, BUF_LEN), 10u);
  EXPECT_EQ(expo(b), 4u);
  EXPECT_EQ(hdr(b, BUF_POS), 3u);
  ASSERT_EQ(buf_get(b, 2, &v), 0);
  EXPECT_EQ(v, 33);
  void* p = nullptr;
  ASSERT_EQ(buf_ref(b, 12, 4, &p), 0);   // 12..15 fit
  EXPECT_EQ(expo(b), 4u);
  EXPECT_EQ(p, static_cast<char*>(storage(b)) + 24);
  buf_end(b);
}

TEST_F(Buf, CursorEndAndRewind) {
  __VARBUF(b, 1);
  char dst = 'z';
  EXPECT_EQ(buf_pop(b, &dst), ERR_END);   // nothing written yet
  EXPECT_EQ(buf_psh(b, "x"), ERR_END);    // the end blocks writes as well
  EXPECT_EQ(buf_rst(b), 0);
  for (char c : {'p', 'q', 'r'}) ASSERT_EQ(buf_psh(b, &c), 0);
  buf_rst(b);
  for (char want : {'p', 'q', 'r'}) {
    EXPECT_FALSE(hdr(b, BUF_FLG) & BUF_END);
    ASSERT_EQ(buf_pop(b, &dst), 0);
    EXPECT_EQ(dst, want);
  }
  EXPECT_TRUE(hdr(b, BUF_FLG) & BUF_END);
  dst = 'z';
  EXPECT_EQ(static_cast<uint32_t>(buf_pop(b, &dst)), 0x80000001u);
  EXPECT_EQ(dst, 'z');
  buf_rst(b);
  err_no = ERR_FAIL;
  EXPECT_EQ(buf_pop(b, &dst), 0);   // a success clears an earlier status
  buf_end(b);
}

TEST_F(Buf, OversizeRequestsFailAndLeaveTheBufferUnchanged) {
  // 2 x 0x80000001 bytes, 16 x 0x10000000 bytes, and index ranges that wrap 32 bits.
  const struct { uint32_t siz, idx, n; } cases[] = {
      {0x80000001u, 0, 1}, {0x10000000u, 15, 1}, {1, 0xFFFFFFFFu, 1}, {1, 0xFFFFFFF0u, 0x20}};
  for (const auto& c : cases) {
    uintptr_t rec[5];
    void* b = &rec[4];
    ASSERT_EQ(buf_ini(b, c.siz), 0);
    if (c.siz == 1) {
      ASSERT_EQ(buf_psh(b, "a"), 0);
    }
    const std::vector<uintptr_t> before(rec, rec + 5);
    void* out = nullptr;
    EXPECT_EQ(buf_ref(b, c.idx, c.n, &out), ERR_FAIL) << std::hex << c.siz << " " << c.idx;
    EXPECT_EQ(std::vector<uintptr_t>(rec, rec + 5), before);
    err_no = ERR_END;   // an earlier, more specific failure survives
    EXPECT_EQ(buf_ref(b, c.idx, c.n, &out), ERR_END);
    err_no = 0;
    buf_end(b);
  }
}

// Heap exhaustion, made real by capping the address space (run in a child process).
bool failed_growth_keeps_old_block() {
  __VARBUF(b, 1u << 20);
  const std::vector<char> e(1u << 20, 'e');
  bool ok = buf_psh(b, e.data()) == 0;
  void* const blk = storage(b);
  const uintptr_t flg = hdr(b, BUF_FLG), len = hdr(b, BUF_LEN);
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    ok = ok && std::fscanf(f, "%ld", &pages) == 1;
    std::fclose(f);
  }
  const rlim_t cap = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (32u << 20);
  const rlimit lim{cap, cap};
  ok = ok && setrlimit(RLIMIT_AS, &lim) == 0;
  void* out = nullptr;
  ok = ok && buf_ref(b, 1000, 1, &out) == ERR_FAIL;   // 1 GiB does not fit
  ok = ok && storage(b) == blk && hdr(b, BUF_FLG) == flg && hdr(b, BUF_LEN) == len;
  const auto r = record_of(blk);
  ok = ok && r.has_value() && r->size == (2u << 20);
  return ok && static_cast<char*>(blk)[(1u << 20) - 1] == 'e';
}

TEST_F(Buf, FailedGrowthKeepsTheOldBlockRegistered) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocator aborts instead of failing under an address cap";
#endif
  EXPECT_EXIT(_exit(failed_growth_keeps_old_block() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(Buf, LinkedStackAndQueueOrder) {
  __LNKBUF(s, 4);
  __LNKBUF(q, 4);
  __LNKBUF_q.flg |= BUF_QUE;
  EXPECT_EQ(hdr(s, BUF_FLG), 10u);
  std::vector<void*> nodes;
  for (int32_t v : {1, 2, 3}) {
    ASSERT_EQ(buf_psh(s, &v), 0);
    ASSERT_EQ(buf_psh(q, &v), 0);
    nodes.push_back(node_of(storage(s)));
    auto r = record_of(nodes.back());
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size, 4 + sizeof(void*));
    EXPECT_STREQ(r->fnc, "buf_psh");
  }
  void* last = nullptr;
  ASSERT_EQ(buf_ref(q, 0xFFFFFFFFu, 1, &last), 0);
  EXPECT_EQ(*static_cast<int32_t*>(last), 3);
  int32_t v = 0;
  ASSERT_EQ(buf_get(s, 1, &v), 0);
  EXPECT_EQ(v, 2);
  for (int32_t want : {3, 2, 1}) {
    ASSERT_EQ(buf_pop(s, &v), 0);
    EXPECT_EQ(v, want);
  }
  for (int32_t want : {1, 2, 3}) {
    ASSERT_EQ(buf_pop(q, &v), 0);
    EXPECT_EQ(v, want);
  }
  for (void* n : nodes) EXPECT_FALSE(record_of(n).has_value());
  EXPECT_EQ(hdr(q, BUF_POS), 0u);   // emptied queue has no last element
  v = 77;
  EXPECT_EQ(buf_pop(s, &v), ERR_END);
  EXPECT_EQ(v, 77);
  EXPECT_EQ(buf_psh(s, &v), ERR_END);   // until rewound
  buf_rst(s);
  ASSERT_EQ(buf_psh(s, &v), 0);
  v = 9;
  EXPECT_EQ(buf_get(s, 3, &v), ERR_END);   // no element there: nothing copied
  EXPECT_EQ(v, 9);
  buf_end(s);
  buf_end(q);
}

TEST_F(Buf, LinkedEndFreesEveryNodeAndEmptiesTheList) {
  __LNKBUF(q, 2);
  __LNKBUF_q.flg |= BUF_QUE;
  std::vector<void*> nodes;
  for (uint16_t v : {1, 2, 3}) {
    ASSERT_EQ(buf_psh(q, &v), 0);
    nodes.push_back(node_of(reinterpret_cast<void*>(hdr(q, BUF_POS))));
  }
  buf_end(q);
  for (void* n : nodes) EXPECT_FALSE(record_of(n).has_value());
  EXPECT_EQ(hdr(q, BUF_LEN), 0u);
  EXPECT_EQ(hdr(q, BUF_POS), 0u);
  uint16_t v = 8;   // usable again without touching freed nodes
  ASSERT_EQ(buf_psh(q, &v), 0);
  ASSERT_EQ(buf_pop(q, &v), 0);
  EXPECT_EQ(v, 8);
  buf_end(q);
}

TEST_F(Buf, InlineBufferFillsUpAndOwnsNothing) {
  inline4 r{0, 0, 4, 1, {}};
  for (unsigned char c = 1; c <= 4; ++c) {
    EXPECT_FALSE(r.flg & BUF_END);
    ASSERT_EQ(buf_psh(r.data, &c), 0);
  }
  EXPECT_TRUE(r.flg & BUF_END);   // the last slot was written
  EXPECT_EQ(buf_psh(r.data, "x"), ERR_END);
  const unsigned char want[4] = {1, 2, 3, 4};
  EXPECT_EQ(std::memcmp(r.data, want, 4), 0);
  void* out = nullptr;
  err_no = 0;
  EXPECT_EQ(buf_ref(r.data, 2, 3, &out), ERR_FAIL);
  err_no = 0;
  ASSERT_EQ(buf_ref(r.data, 3, 1, &out), 0);
  EXPECT_EQ(out, &r.data[3]);
  buf_end(r.data);
  EXPECT_EQ(r.len, 4u);
}

TEST_F(Buf, NothingThereToReach) {
  // An empty linked buffer has no element to refer to.
  __LNKBUF(s, 4);
  void* out = nullptr;
  err_no = 0;
  EXPECT_EQ(buf_ref(s, 0, 1, &out), ERR_FAIL);
  // An inline buffer does not reach past its capacity.
  inline4 r{0, 0, 4, 1, {}};
  unsigned char c = 0;
  err_no = 0;
  EXPECT_EQ(buf_get(r.data, 4, &c), ERR_FAIL);
  // A pointer buffer not declared growable does not grow.
  __BUF_DCL(__FIXBUF_, f, 1, BUF_PTR);
  err_no = 0;
  EXPECT_EQ(buf_psh(f, "x"), ERR_FAIL);
  EXPECT_EQ(hdr(f, BUF_LEN), 0u);
  EXPECT_EQ(storage(f), nullptr);
  buf_end(f);
  buf_end(s);
}

TEST_F(Buf, AFailedGrowthOrNodeLeavesTheBufferAsItWas) {
  // Every heap call of one push failing in turn, into a full growable buffer (its growth) and
  // into a linked buffer (its node): a refused push changes nothing, and once the failures
  // stop the buffer grows.
  int refused = 0;
  for (uint64_t k = 1;; ++k) {
    __VARBUF(b, 1);
    ASSERT_EQ(buf_psh(b, "a"), 0);
    const uintptr_t full = uintptr_t{1} << expo(b);
    while (hdr(b, BUF_LEN) < full) ASSERT_EQ(buf_psh(b, "a"), 0);
    void* before = storage(b);
    err_no = 0;
    const uint64_t c0 = heap_cnt();
    heap_fail_set(k);
    const int32_t st = buf_psh(b, "b");
    const bool fired = heap_cnt() - c0 >= k;
    heap_fail_set(0);
    if (st != 0) {
      EXPECT_TRUE(fired) << "a push refused without a failure, heap call " << k;
      EXPECT_EQ(hdr(b, BUF_LEN), full);
      EXPECT_EQ(storage(b), before);
      ++refused;
    } else {
      EXPECT_EQ(hdr(b, BUF_LEN), full + 1);
    }
    buf_end(b);
    if (!fired) break;
  }
  EXPECT_GT(refused, 0) << "the growth itself failed at some heap call";
  refused = 0;
  for (uint64_t k = 1;; ++k) {
    __LNKBUF(l, 4);
    const int32_t one = 1, two = 2;
    ASSERT_EQ(buf_psh(l, &one), 0);
    err_no = 0;
    const uint64_t c0 = heap_cnt();
    heap_fail_set(k);
    const int32_t st = buf_psh(l, &two);
    const bool fired = heap_cnt() - c0 >= k;
    heap_fail_set(0);
    EXPECT_EQ(hdr(l, BUF_LEN), st == 0 ? 2u : 1u) << "heap call " << k;
    if (st != 0) {
      EXPECT_TRUE(fired) << "a push refused without a failure, heap call " << k;
      int32_t got = 0;
      ASSERT_EQ(buf_get(l, 0, &got), 0);
      EXPECT_EQ(got, 1);
      ++refused;
    }
    buf_end(l);
    if (!fired) break;
  }
  EXPECT_GT(refused, 0) << "the node itself failed at some heap call";
  err_no = 0;
}

TEST_F(Buf, HandOverKeepsTheAllocationRecord) {
  __VARBUF(b, 1);
  void* out = &out;
  EXPECT_EQ(_buf_vptr(b, &out), ERR_FAIL);   // never allocated
  EXPECT_EQ(out, nullptr);
  for (char c : {'h', 'i', '!'}) ASSERT_EQ(buf_psh(b, &c), 0);
  void* const blk = storage(b);
  const auto before = record_of(blk);
  ASSERT_TRUE(before.has_value());
  err_no = 0;
  EXPECT_EQ(_buf_vptr(b, &out), 0);
  EXPECT_EQ(out, blk);
  EXPECT_EQ(storage(b), nullptr);
  buf_end(b);   // no longer the owner
  const auto after = record_of(blk);
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->prc_cnt, before->prc_cnt);   // the same record
  EXPECT_EQ(std::memcmp(out, "hi!", 3), 0);
  _free(&out);
  EXPECT_FALSE(record_of(blk).has_value());

  // Neither an inline buffer nor a list has one block to hand over.
  inline4 r{0, 0, 4, 1, {7, 7, 7, 7}};
  out = &out;
  EXPECT_EQ(_buf_vptr(r.data, &out), ERR_FAIL);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(r.data[0], 7);
  __LNKBUF(s, 1);
  ASSERT_EQ(buf_psh(s, "k"), 0);
  void* const first = storage(s);
  EXPECT_EQ(_buf_vptr(s, &out), ERR_FAIL);
  EXPECT_EQ(storage(s), first);
  buf_end(s);
}

TEST_F(Buf, DeclarationRegistersForTheDeclaringScope) {
  const uint32_t outer = rscmng_lvl();
  uintptr_t rec_addr = 0;   // an address only: the record is gone when checked
  {
    rscmng_scp inner;
    const uint32_t lvl = rscmng_lvl();
    __VARBUF(str_buf, 1);
    rec_addr = reinterpret_cast<uintptr_t>(&__VARBUF_str_buf);
    EXPECT_EQ(str_buf, &__VARBUF_str_buf._p);
    auto rec = record_of(rec_addr, lvl);
    ASSERT_TRUE(rec.has_value());
    EXPECT_STREQ(rec->about, "REF(__VARBUF_str_buf)");
    EXPECT_EQ(rec->size, sizeof(buf_var));
    auto w0 = record_of(&__VARBUF_str_buf.siz, lvl);
    ASSERT_TRUE(w0.has_value());
    EXPECT_STREQ(w0->about, "REF(((uintptr_t*)(__VARBUF_str_buf._p))[-(0+1)])");
    EXPECT_EQ(w0->size, sizeof(uintptr_t));
    __LNKBUF(nst_stk, 4);
    EXPECT_EQ(nst_stk, &__LNKBUF_nst_stk._p);
    auto lrec = record_of(&__LNKBUF_nst_stk, lvl);
    ASSERT_TRUE(lrec.has_value());
    EXPECT_STREQ(lrec->about, "REF(__LNKBUF_nst_stk)");
  }
  EXPECT_FALSE(record_of(rec_addr, outer + 1).has_value());
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
    for (v = 0; v < 5; ++v) ASSERT_EQ(buf_psh(h, &v), 0);
    EXPECT_EQ(transient_refs(), 0) << "push";
    ASSERT_EQ(buf_get(h, 2, &v), 0);
    ASSERT_EQ(buf_ref(h, 1, 1, &out), 0);
    buf_rst(h);
    ASSERT_EQ(buf_pop(h, &v), 0);
    EXPECT_EQ(transient_refs(), 0) << "get, ref, rst, pop";
    buf_ref(h, 0xFFFFFFFFu, 0x10, &out);
    while (buf_pop(h, &v) == 0) {
    }
    EXPECT_EQ(buf_psh(h, &v), ERR_END);
    EXPECT_EQ(transient_refs(), 0) << "failure and end paths";
    buf_rst(h);
  }
  EXPECT_EQ(_buf_vptr(b, &out), 0);
  _free(&out);
  for (void* h : {b, s, q}) buf_end(h);
  EXPECT_EQ(buf_ini(b, 1), 0);
  EXPECT_EQ(hdr(b, BUF_FLG), BUF_PTR | BUF_VAR);
  EXPECT_EQ(transient_refs(), 0) << "vptr, end, ini";

  // They did register: at least four header words and both sides of the copy.
  const uint64_t c0 = __prc_cnt(nullptr);
  ASSERT_EQ(buf_psh(b, "b"), 0);
  EXPECT_GE(__prc_cnt(nullptr) - c0 - 1, 6u);
  buf_end(b);
}

}  // namespace
