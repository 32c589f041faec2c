#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alloc_util.h"
#include "base/base.h"
#include "base/variant/vtyp.h"
#include "reg_util.h"

namespace {

constexpr int P = static_cast<int>(sizeof(void*));

unsigned char* raw(vtyp* n) { return reinterpret_cast<unsigned char*>(n); }
void* ptr_at(vtyp* n, int ofs) {
  void* p;
  std::memcpy(&p, raw(n) + ofs, sizeof p);
  return p;
}
uint32_t u32_at(vtyp* n, int ofs) {
  uint32_t v;
  std::memcpy(&v, raw(n) + ofs, 4);
  return v;
}

int64_t vtyp_test_size(vtyp* n) { return vtest::reg_size(n); }

vtyp* make(const vtyp_dsc& d) {
  vtyp* n = nullptr;
  EXPECT_EQ(vtyp_set(&n, &d), 0);
  return n;
}

vtyp_dsc str_dsc(const char* s, uint8_t typ = VTYP_STR, uint8_t ext = 0) {
  vtyp_dsc d{};
  d.typ = typ;
  d.ext = ext;
  d.val = s;
  return d;
}

int sentinel_parent;   // an address used only as a parent reference, never dereferenced
vtyp* const kParent = reinterpret_cast<vtyp*>(&sentinel_parent);

// --- layout ---------------------------------------------------------------------------

TEST(VtypLayout, IntegerNodeIsKindByteAndValue) {
  int32_t seven = 7;
  vtyp_dsc d{};
  d.typ = VTYP_INT;
  d.val = &seven;
  vtyp* n = make(d);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(raw(n)[0], 0x02);
  EXPECT_EQ(u32_at(n, 1), 7u);
  EXPECT_EQ(vtyp_test_size(n), 5);
  vtyp_end(n);
}

TEST(VtypLayout, FullTextNodeFollowsFieldOrder) {
  vtyp_dsc d = str_dsc("abc", 0x7C, VTYP_ODR);
  d.nst = kParent;
  vtyp* n = make(d);
  ASSERT_NE(n, nullptr);
  const int map = 2, lnk = map + 2 * P, nst = lnk + P, nxt = nst + P, prv = nxt + P,
            cld = prv + P, siz = cld + P, val = siz + 4;
  EXPECT_EQ(raw(n)[0], 0x7C);
  EXPECT_EQ(raw(n)[1], 0x10);
  EXPECT_EQ(ptr_at(n, map), nullptr);
  EXPECT_EQ(ptr_at(n, map + P), nullptr);
  EXPECT_EQ(ptr_at(n, lnk), nullptr);
  EXPECT_EQ(ptr_at(n, nst), kParent);
  EXPECT_EQ(ptr_at(n, nxt), n);   // alone in its ring
  EXPECT_EQ(ptr_at(n, prv), n);
  EXPECT_EQ(ptr_at(n, cld), nullptr);
  EXPECT_EQ(u32_at(n, siz), 4u);
  EXPECT_STREQ(reinterpret_cast<char*>(raw(n) + val), "abc");
  EXPECT_EQ(vtyp_test_size(n), val + 4);

  vtyp_lay l;
  __vtyp_lay(n, &l);
  EXPECT_EQ(l.map, map);
  EXPECT_EQ(l.lnk, lnk);
  EXPECT_EQ(l.nst, nst);
  EXPECT_EQ(l.nxt, nxt);
  EXPECT_EQ(l.prv, prv);
  EXPECT_EQ(l.cld_top, cld);
  EXPECT_EQ(l.equ, -1);
  EXPECT_EQ(l.siz, siz);
  EXPECT_EQ(l.val, val);
  if (P == 4) {
    // The figures of a build with 4-byte pointers.
    EXPECT_EQ(l.lnk, 10);
    EXPECT_EQ(l.nst, 14);
    EXPECT_EQ(l.nxt, 18);
    EXPECT_EQ(l.prv, 22);
    EXPECT_EQ(l.cld_top, 26);
    EXPECT_EQ(l.siz, 30);
    EXPECT_EQ(l.val, 34);
    EXPECT_EQ(vtyp_test_size(n), 38);
  }
  vtyp_end(n);
}

TEST(VtypLayout, Ext2AndSecondSlotAndEqu) {
  vtyp_dsc d{};
  d.typ = VTYP_INT | VTYP_EXT | VTYP_LNK;
  d.ext = VTYP_EXT2 | VTYP_EQU;
  d.ext2 = VTYP_LNK2;
  int32_t v = -3;
  d.val = &v;
  vtyp* n = make(d);
  vtyp_lay l;
  __vtyp_lay(n, &l);
  EXPECT_EQ(l.lnk_cnt, 2);
  EXPECT_EQ(l.lnk, 3);
  EXPECT_EQ(l.equ, 3 + 2 * P);
  EXPECT_EQ(l.siz, -1);
  EXPECT_EQ(l.val, 3 + 3 * P);
  EXPECT_EQ(raw(n)[2], VTYP_LNK2);
  EXPECT_EQ(vtyp_test_size(n), 3 + 3 * P + 4);
  vtyp* s1 = kParent;
  EXPECT_EQ(vtyp_get_lnk(n, &s1, 1), 0);
  EXPECT_EQ(s1, nullptr);
  vtyp_end(n);
}

// --- making nodes ---------------------------------------------------------------------

TEST(VtypSet, InvalidKindsMakeNothing) {
  const size_t before = vtest::reg_count("_vtyp_set");
  for (uint8_t k : {0, 6, 7}) {
    vtyp_dsc d{};
    d.typ = k;
    vtyp* n = kParent;
    EXPECT_EQ(vtyp_set(&n, &d), 1) << int(k);
    EXPECT_EQ(n, kParent);   // untouched
    d.typ |= VTYP_EXT;
    d.ext = VTYP_DSC;
    EXPECT_EQ(_vtyp_set(&n, &d, 0), 1);
  }
  vtyp* n = nullptr;
  vtyp_dsc d = str_dsc("a", VTYP_STR | VTYP_EXT, 2);   // no such storage
  EXPECT_EQ(vtyp_set(&n, &d), -1);
  d = str_dsc("a");
  d.siz = 0xFFFFFFFFu;   // value offset + siz overflows 32 bits
  EXPECT_EQ(vtyp_set(&n, &d), -1);
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
  // A stored node without a slot is no pair; a descriptor is the caller's, never released.
  vtyp* plain = make(str_dsc("x"));
  EXPECT_EQ(_vtyp_set_pr(&n, plain), -1);
  EXPECT_EQ(n, nullptr);
  vtyp_end(plain);
  d = str_dsc("x", VTYP_STR | VTYP_EXT, VTYP_DSC);
  vtyp_end(reinterpret_cast<vtyp*>(&d));
  EXPECT_EQ(d.typ, VTYP_STR | VTYP_EXT);
}

TEST(VtypSet, EmptyExtByteIsDroppedOthersKept) {
  vtyp_dsc d = str_dsc("x", VTYP_STR | VTYP_EXT, VTYP_DSC);
  vtyp* a = make(d);
  EXPECT_EQ(raw(a)[0], VTYP_STR);   // no ext byte, siz right after the kind byte
  EXPECT_EQ(u32_at(a, 1), 2u);
  d.ext = VTYP_DSC | VTYP_ODR;
  vtyp* b = make(d);
  EXPECT_EQ(raw(b)[0], VTYP_STR | VTYP_EXT);
  EXPECT_EQ(raw(b)[1], VTYP_ODR);
  // An unmarked descriptor's ext byte counts only with VTYP_EXT.
  d = str_dsc("x", VTYP_STR, VTYP_ODR);
  vtyp* c = make(d);
  EXPECT_EQ(raw(c)[0], VTYP_STR);
  vtyp_end(a);
  vtyp_end(b);
  vtyp_end(c);
}

TEST(VtypSet, TextSizeReservesAtLeastSiz) {
  vtyp_dsc d = str_dsc("ab");
  d.siz = 16;
  vtyp* a = make(d);
  EXPECT_EQ(u32_at(a, 1), 16u);
  EXPECT_EQ(vtyp_test_size(a), 5 + 16);
  EXPECT_STREQ(reinterpret_cast<char*>(raw(a) + 5), "ab");
  d = str_dsc("abc");
  vtyp* b = make(d);
  EXPECT_EQ(u32_at(b, 1), 4u);
  // No text at all still reads as the empty text, over at least siz bytes.
  d = str_dsc(nullptr);
  vtyp* c = make(d);
  EXPECT_EQ(u32_at(c, 1), 1u);
  EXPECT_EQ(raw(c)[5], 0);
  d.siz = 8;
  vtyp* e = make(d);
  EXPECT_EQ(u32_at(e, 1), 8u);
  EXPECT_EQ(vtyp_test_size(e), 13);
  for (vtyp* n : {a, b, c, e}) vtyp_end(n);
}

TEST(VtypSet, ValuesOfEachKind) {
  vtyp_dsc d{};
  d.typ = VTYP_INT;   // NULL val: zero
  vtyp* i0 = make(d);
  EXPECT_EQ(vtyp_test_size(i0), 5);
  EXPECT_EQ(u32_at(i0, 1), 0u);

  d.typ = VTYP_UDF;
  d.siz = 3;
  vtyp* u0 = make(d);
  EXPECT_EQ(vtyp_test_size(u0), 1 + 4 + 3);
  EXPECT_EQ(raw(u0)[5] | raw(u0)[6] | raw(u0)[7], 0);
  const unsigned char bytes[3] = {0xAA, 0x00, 0x55};
  d.val = bytes;
  vtyp* u1 = make(d);
  EXPECT_EQ(std::memcmp(raw(u1) + 5, bytes, 3), 0);

  d = {};
  d.typ = VTYP_FLT;
  const double pi = 3.25;
  d.val = &pi;
  vtyp* f = make(d);
  double got;
  std::memcpy(&got, raw(f) + 1, 8);
  EXPECT_EQ(got, 3.25);
  EXPECT_EQ(vtyp_test_size(f), 9);

  d = {};
  d.typ = VTYP_PTR;
  d.val = kParent;   // the pointer is the value
  vtyp* p = make(d);
  EXPECT_EQ(ptr_at(p, 1), kParent);
  EXPECT_EQ(vtyp_test_size(p), 1 + P);
  void* v = nullptr;
  ASSERT_EQ(vtyp_ref_val(p, &v), 0);
  EXPECT_EQ(v, raw(p) + 1);

  // A copy of a stored pointer node carries the pointer it holds.
  vtyp* pc = nullptr;
  ASSERT_EQ(_vtyp_set(&pc, p, 0), 0);
  EXPECT_EQ(ptr_at(pc, 1), kParent);
  // So does a descriptor made of it.
  vtyp_dsc pd{};
  ASSERT_EQ(_vtyp_set(&pd, p, 1), 0);
  EXPECT_EQ(pd.val, kParent);
  for (vtyp* n : {i0, u0, u1, f, p, pc}) vtyp_end(n);
  EXPECT_EQ(vtyp_ref_val(nullptr, &v), -1);
}

TEST(VtypSet, DescriptorOfAStoredNodeRefersToItsValue) {
  vtyp_dsc d = str_dsc("hello", VTYP_STR | VTYP_NST);
  d.nst = kParent;
  vtyp* n = make(d);
  vtyp_dsc o{};
  ASSERT_EQ(_vtyp_set(&o, n, 1), 0);
  EXPECT_EQ(o.typ, VTYP_STR | VTYP_NST | VTYP_EXT);
  EXPECT_EQ(o.ext, VTYP_DSC);
  EXPECT_EQ(o.nst, kParent);
  EXPECT_EQ(o.siz, 6u);
  EXPECT_EQ(o.val, raw(n) + 1 + P + 4);   // no copy
  // And it makes an equal node back.
  vtyp* m = nullptr;
  ASSERT_EQ(_vtyp_set(&m, &o, 0), 0);
  EXPECT_EQ(vtyp_map_cmp(m, n, nullptr), 0);
  vtyp_end(n);
  vtyp_end(m);
}

TEST(VtypSet, DescriptorOfANodeWithEveryField) {
  // Its links, its ring neighbours and its equal-key chain are read, not taken over.
  vtyp_dsc d = str_dsc("k", VTYP_STR | VTYP_EXT | VTYP_LNK | VTYP_NST, VTYP_ODR | VTYP_EQU);
  d.nst = kParent;
  vtyp* a = make(d);
  vtyp* b = make(d);
  vtyp* eq = make(d);
  vtyp* v = make(str_dsc("v"));
  ASSERT_EQ(vtyp_ins_odr_bck(a, b), 0);
  ASSERT_EQ(vtyp_put_equ(a, eq), 0);
  ASSERT_EQ(vtyp_put_lnk(a, v, 0), 0);
  vtyp_dsc o{};
  ASSERT_EQ(_vtyp_set(&o, a, 1), 0);
  EXPECT_EQ(o.lnk[0], v);
  EXPECT_EQ(o.nst, kParent);
  EXPECT_EQ(o.nxt, b);
  EXPECT_EQ(o.prv, b);
  EXPECT_EQ(o.equ, eq);
  EXPECT_EQ(o.val, __vtyp_val_src(a, [&] { vtyp_lay l; __vtyp_lay(a, &l); return l; }()));
  vtyp_end(b);
  vtyp_end(a);   // its value and chain with it
}

TEST(VtypSet, RingNeighboursNamedByADescriptorAreTaken) {
  // A descriptor is the caller's say: the node joins the ring it names (a stored node's copy
  // would start a ring of its own).
  vtyp_dsc d = str_dsc("r", VTYP_STR | VTYP_EXT, VTYP_ODR);
  vtyp* a = make(d);
  d.nxt = a;
  d.prv = a;
  vtyp* b = make(d);
  vtyp *nx = nullptr, *pv = nullptr;
  ASSERT_EQ(vtyp_get_odr(b, &nx, &pv, nullptr), 0);
  EXPECT_EQ(nx, a);
  EXPECT_EQ(pv, a);
  vtyp_end(b);   // cut out: the neighbours it named point at each other again
  ASSERT_EQ(vtyp_get_odr(a, &nx, &pv, nullptr), 0);
  EXPECT_EQ(nx, a);
  vtyp_end(a);
}

TEST(VtypEnd, AChainNodeWithoutItsOwnChainFieldEndsTheChain) {
  vtyp* a = make(str_dsc("a", VTYP_STR | VTYP_EXT, VTYP_EQU));
  vtyp* plain = make(str_dsc("p"));
  const size_t before = vtest::reg_count("_vtyp_set");
  ASSERT_EQ(vtyp_put_equ(a, plain), 0);
  vtyp_end(a);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before - 2);
}

// --- buffer storage -------------------------------------------------------------------

int ini_fails(void*, uint32_t) { return -1; }

TEST(VtypBuf, ValueAreaIsABufferVariable) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_dsc d{};
  d.typ = VTYP_UDF | VTYP_EXT;
  d.ext = VTYP_BUF;
  d.siz = 2;   // element size
  vtyp_buf_ini_fn ini = buf_ini;
  std::memcpy(&d.val, &ini, sizeof ini);
  err_no = ERR_END;   // an earlier failure survives the making of a node
  vtyp* n = make(d);
  ASSERT_NE(n, nullptr);
  EXPECT_EQ(err_no, ERR_END);
  err_no = 0;
  EXPECT_EQ(vtyp_test_size(n), 2 + 4 + 5 * P);
  void* v = nullptr;
  ASSERT_EQ(vtyp_ref_val(n, &v), 0);
  EXPECT_EQ(v, raw(n) + 6);
  // The handle is the data pointer, four words in; the buffer works there and its
  // storage goes with the node.
  void* h = static_cast<unsigned char*>(v) + 4 * P;
  const uint16_t e1 = 0x1234, e2 = 0x5678;
  {
    rscmng_scp scp;
    ASSERT_EQ(buf_psh(h, &e1), 0);
    ASSERT_EQ(buf_psh(h, &e2), 0);
    uint16_t got = 0;
    ASSERT_EQ(buf_get(h, 1, &got), 0);
    EXPECT_EQ(got, e2);
  }
  void* storage = ptr_at(n, 6 + 4 * P);
  EXPECT_GE(vtest::reg_size(storage), 4);
  vtyp_end(n);
  EXPECT_EQ(vtest::reg_size(storage), -1);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

TEST(VtypBuf, FailuresMakeNothing) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_dsc d{};
  d.typ = VTYP_INT | VTYP_EXT;
  d.ext = VTYP_BUF;
  vtyp* n = nullptr;
  EXPECT_EQ(vtyp_set(&n, &d), -1);   // no initialiser
  vtyp_buf_ini_fn ini = ini_fails;
  std::memcpy(&d.val, &ini, sizeof ini);
  EXPECT_EQ(vtyp_set(&n, &d), -1);
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);   // deregistered and freed
  // A buffer node cannot be copied from a stored node.
  ini = buf_ini;
  std::memcpy(&d.val, &ini, sizeof ini);
  vtyp* b = make(d);
  EXPECT_EQ(_vtyp_set(&n, b, 0), -1);
  vtyp_end(b);
}

// --- pairs and release ----------------------------------------------------------------

TEST(VtypPair, FromDescriptorAndCopy) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_pr pr{};
  pr.key = str_dsc("key");
  int32_t five = 5;
  pr.val.typ = VTYP_INT;
  pr.val.val = &five;
  vtyp* k = nullptr;
  ASSERT_EQ(vtyp_set_pr(&k, &pr), 0);
  EXPECT_EQ(raw(k)[0], VTYP_STR | VTYP_LNK);
  vtyp* v = nullptr;
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(raw(v)[0], VTYP_INT);
  EXPECT_EQ(u32_at(v, 1), 5u);

  // A stored pair is copied deep: each copy owns its own value node.
  vtyp* c = nullptr;
  ASSERT_EQ(_vtyp_set_pr(&c, k), 0);
  vtyp* cv = nullptr;
  ASSERT_EQ(vtyp_get_lnk(c, &cv, 0), 0);
  EXPECT_NE(cv, v);
  EXPECT_EQ(u32_at(cv, 1), 5u);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before + 4);
  vtyp_end(k);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before + 2);
  vtyp_end(c);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

TEST(VtypPair, ValueOfKindZero) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_pr pr{};
  pr.key = str_dsc("k");
  vtyp* k = nullptr;
  EXPECT_EQ(vtyp_set_pr(&k, &pr), -1);   // the marked value has no valid kind
  EXPECT_EQ(k, nullptr);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
  pr.key.typ |= VTYP_EXT | VTYP_LNK;
  pr.key.ext = VTYP_DSC;
  ASSERT_EQ(_vtyp_set_pr(&k, &pr), 0);
  vtyp* v = kParent;
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  EXPECT_EQ(v, nullptr);
  vtyp_end(k);
  // A key that cannot be made takes the value node made for it along.
  pr.key.typ = VTYP_EXT | VTYP_LNK | 6;
  pr.val = str_dsc("v", VTYP_STR | VTYP_EXT, VTYP_DSC);
  EXPECT_EQ(_vtyp_set_pr(&k, &pr), -1);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

TEST(VtypPair, CopyOfAStoredNodeOwnsNothingOfTheSource) {
  // Source: a node in a ring of two, with an equal-key chain and a linked value.
  vtyp_dsc d = str_dsc("s", VTYP_STR | VTYP_EXT | VTYP_LNK, VTYP_ODR | VTYP_EQU);
  vtyp* a = make(d);
  vtyp* b = make(d);
  vtyp* eq = make(d);
  ASSERT_EQ(vtyp_ins_odr_bck(a, b), 0);
  ASSERT_EQ(vtyp_put_equ(b, eq), 0);
  ASSERT_EQ(vtyp_put_lnk(b, make(str_dsc("v")), 0), 0);

  vtyp* c = nullptr;
  ASSERT_EQ(_vtyp_set_pr(&c, b), 0);
  vtyp *nx, *pv, *e, *cv, *bv;
  ASSERT_EQ(vtyp_get_odr(c, &nx, &pv, nullptr), 0);
  EXPECT_EQ(nx, c);
  EXPECT_EQ(pv, c);
  ASSERT_EQ(vtyp_get_equ(c, &e), 0);
  EXPECT_EQ(e, nullptr);
  vtyp_get_lnk(c, &cv, 0);
  vtyp_get_lnk(b, &bv, 0);
  EXPECT_NE(cv, bv);
  vtyp_end(c);
  // The source ring is intact.
  ASSERT_EQ(vtyp_get_odr(a, &nx, &pv, nullptr), 0);
  EXPECT_EQ(nx, b);
  EXPECT_EQ(pv, b);
  vtyp_end(b);   // takes eq and its value along, and cuts itself out
  ASSERT_EQ(vtyp_get_odr(a, &nx, &pv, nullptr), 0);
  EXPECT_EQ(nx, a);
  EXPECT_EQ(pv, a);
  vtyp_end(a);
}

TEST(VtypSet, NothingToMakeItFrom) {
  vtyp* n = kParent;
  EXPECT_EQ(vtyp_set(&n, nullptr), -1);
  EXPECT_EQ(vtyp_set_pr(&n, nullptr), -1);
  EXPECT_EQ(_vtyp_set_pr(&n, nullptr), -1);
  EXPECT_EQ(n, kParent) << "nothing written";
  void* v = nullptr;
  EXPECT_EQ(vtyp_ref_val(nullptr, &v), -1);
  // A descriptor's value is where its val points.
  const int32_t seven = 7;
  vtyp_dsc d = str_dsc(nullptr, VTYP_INT | VTYP_EXT, VTYP_DSC);
  d.val = &seven;
  ASSERT_EQ(vtyp_ref_val(&d, &v), 0);
  EXPECT_EQ(v, &seven);
}

TEST(VtypPair, ExtBytesOfAnUnmarkedPairCount) {
  // Both descriptors carry ext bytes of their own: their bits are kept beside the marks.
  vtyp_pr pr{};
  pr.key = str_dsc("k", VTYP_STR | VTYP_EXT, VTYP_ODR);
  const int32_t five = 5;
  pr.val.typ = VTYP_INT | VTYP_EXT;
  pr.val.ext = VTYP_EQU;
  pr.val.val = &five;
  vtyp* k = nullptr;
  ASSERT_EQ(vtyp_set_pr(&k, &pr), 0);
  EXPECT_EQ(raw(k)[0], VTYP_STR | VTYP_EXT | VTYP_LNK);
  EXPECT_EQ(raw(k)[1], VTYP_ODR);
  vtyp *nx = nullptr, *v = nullptr, *e = kParent;
  ASSERT_EQ(vtyp_get_odr(k, &nx, nullptr, nullptr), 0);
  EXPECT_EQ(nx, k) << "a ring of its own";
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(raw(v)[1], VTYP_EQU);
  ASSERT_EQ(vtyp_get_equ(v, &e), 0);
  EXPECT_EQ(e, nullptr);
  vtyp_end(k);
}

// A stored pair copied, and its value given to another stored key, with every heap call
// failing in turn: a failure makes nothing and leaves the other key's value as it was.
TEST(VtypPair, CopiesWithEveryHeapCallFailingInTurn) {
  vtyp_pr pr{};
  pr.key = str_dsc("key", VTYP_STR | VTYP_LNK | VTYP_MAP);
  pr.val = str_dsc("value");
  vtyp* src = nullptr;
  ASSERT_EQ(vtyp_set_pr(&src, &pr), 0);
  pr.val = str_dsc("old");
  vtyp* dst = nullptr;
  ASSERT_EQ(vtyp_set_pr(&dst, &pr), 0);
  const int failed = tu::every_heap_call([&] {
    auto val_of = [](vtyp* k) {
      void* p = nullptr;
      return vtyp_ref_lnk_val(k, 0, &p) == 0 && p != nullptr ? std::string(static_cast<char*>(p))
                                                                : std::string("-");
    };
    std::string out;
    vtyp* c = nullptr;
    if (_vtyp_set_pr(&c, src) != 0) return tu::outcome{-1, out};
    out += val_of(c) + "|";
    vtyp_end(c);
    const int r = vtyp_map_cpy(dst, src, nullptr);
    out += val_of(dst);
    // Back to the old value for the next run.
    vtyp_pr back{};
    back.key = str_dsc("key", VTYP_STR | VTYP_EXT | VTYP_LNK | VTYP_MAP, VTYP_DSC);
    back.val = str_dsc("old", VTYP_STR | VTYP_EXT, VTYP_DSC);
    if (r != 0) {
      EXPECT_EQ(val_of(dst), "old") << "a failed copy keeps the value";
      return tu::outcome{-1, out};
    }
    heap_fail_set(0);
    EXPECT_EQ(vtyp_map_cpy(dst, &back, nullptr), 0);
    return tu::outcome{0, out};
  }, "pair copies");
  EXPECT_EQ(failed, 3) << "the two nodes of the copy, the value given";
  vtyp_end(src);
  vtyp_end(dst);
}

TEST(VtypEnd, ReleasesLinksAndWholeEqualChain) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_end(nullptr);
  vtyp_dsc d = str_dsc("e", VTYP_STR | VTYP_EXT | VTYP_LNK, VTYP_EQU | VTYP_EXT2);
  d.ext2 = VTYP_LNK2;
  vtyp* head = make(d);
  vtyp* cur = head;
  for (int i = 0; i < 200; ++i) {
    vtyp* n = make(d);
    vtyp_put_lnk(n, make(str_dsc("l0")), 0);
    vtyp_put_lnk(n, make(str_dsc("l1")), 1);
    vtyp_put_equ(cur, n);
    cur = n;
  }
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before + 601);
  vtyp_end(head);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

// --- links, nest, order, equal chain --------------------------------------------------

TEST(VtypLnk, Slots) {
  vtyp* one = make(str_dsc("a", VTYP_STR | VTYP_LNK));
  vtyp* none = make(str_dsc("b"));
  vtyp* out = kParent;
  EXPECT_EQ(vtyp_get_lnk(one, &out, 1), 1);
  EXPECT_EQ(vtyp_get_lnk(one, &out, -1), 1);
  EXPECT_EQ(vtyp_get_lnk(none, &out, 0), 1);
  EXPECT_EQ(vtyp_put_lnk(none, nullptr, 0), 1);
  EXPECT_EQ(vtyp_del_lnk(none, 0), 1);
  EXPECT_EQ(vtyp_get_lnk(nullptr, &out, 0), -1);
  EXPECT_EQ(vtyp_put_lnk(nullptr, nullptr, 0), -1);
  EXPECT_EQ(vtyp_del_lnk(nullptr, 0), -1);
  EXPECT_EQ(out, kParent);

  void* v = nullptr;
  EXPECT_EQ(vtyp_del_lnk(one, 0), 0);   // empty slot: nothing to release
  EXPECT_EQ(vtyp_ref_lnk_val(one, 0, &v), -1);
  EXPECT_EQ(vtyp_ref_lnk_val(none, 0, &v), -1);
  vtyp* val = make(str_dsc("val"));
  ASSERT_EQ(vtyp_put_lnk(one, val, 0), 0);
  ASSERT_EQ(vtyp_ref_lnk_val(one, 0, &v), 0);
  EXPECT_STREQ(static_cast<char*>(v), "val");

  // Overwriting a filled slot hands the old node back to the caller.
  vtyp* val2 = make(str_dsc("val2"));
  ASSERT_EQ(vtyp_put_lnk(one, val2, 0), 0);
  EXPECT_GE(vtest::reg_size(val), 0);
  vtyp_end(val);
  ASSERT_EQ(vtyp_del_lnk(one, 0), 0);
  EXPECT_EQ(vtest::reg_size(val2), -1);
  ASSERT_EQ(vtyp_get_lnk(one, &out, 0), 0);
  EXPECT_EQ(out, nullptr);
  vtyp_end(one);
  vtyp_end(none);
}

TEST(VtypLnk, NestAndEquFieldsNeedTheirBits) {
  vtyp_dsc d = str_dsc("n", VTYP_STR | VTYP_NST | VTYP_EXT, VTYP_EQU);
  d.nst = kParent;
  vtyp* n = make(d);
  vtyp* plain = make(str_dsc("p"));
  vtyp* out = nullptr;
  ASSERT_EQ(vtyp_get_nst(n, &out), 0);
  EXPECT_EQ(out, kParent);
  EXPECT_EQ(vtyp_get_nst(plain, &out), -1);
  EXPECT_EQ(vtyp_get_nst(nullptr, &out), -1);
  ASSERT_EQ(vtyp_get_equ(n, &out), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(vtyp_put_equ(plain, n), -1);
  EXPECT_EQ(vtyp_get_equ(plain, &out), -1);
  EXPECT_EQ(vtyp_get_odr(plain, &out, nullptr, nullptr), -1);
  EXPECT_EQ(vtyp_put_odr_cld_top(plain, n), -1);
  EXPECT_EQ(vtyp_cut_odr(plain), -1);
  EXPECT_EQ(vtyp_cut_odr(nullptr), -1);
  // Descriptors answer through their fixed places.
  vtyp_dsc m = d;
  m.typ |= VTYP_EXT;
  m.ext |= VTYP_DSC;
  ASSERT_EQ(vtyp_get_nst(&m, &out), 0);
  EXPECT_EQ(out, kParent);
  m.typ &= static_cast<uint8_t>(~VTYP_NST);
  EXPECT_EQ(vtyp_get_nst(&m, &out), -1);
  ASSERT_EQ(vtyp_put_equ(&m, n), 0);
  EXPECT_EQ(m.equ, n);
  vtyp_end(n);
  vtyp_end(plain);
}

std::string walk(vtyp* first, bool fwd) {
  std::string s;
  vtyp* n = first;
  do {
    void* v;
    vtyp_ref_val(n, &v);
    s += static_cast<char*>(v);
    vtyp* nx;
    if (fwd) {
      vtyp_get_odr(n, &nx, nullptr, nullptr);
    } else {
      vtyp_get_odr(n, nullptr, &nx, nullptr);
    }
    n = nx;
  } while (n != first && s.size() < 100);
  return s;
}

TEST(VtypOdr, RingInsertAndCut) {
  const uint8_t t = VTYP_STR | VTYP_EXT;
  vtyp* a = make(str_dsc("A", t, VTYP_ODR));
  vtyp* b = make(str_dsc("B", t, VTYP_ODR));
  vtyp* c = make(str_dsc("C", t, VTYP_ODR));
  vtyp* x = make(str_dsc("X"));
  EXPECT_EQ(vtyp_ins_odr_bck(a, x), -1);
  EXPECT_EQ(vtyp_ins_odr_bck(nullptr, b), -1);
  EXPECT_EQ(vtyp_ins_odr_bck(a, nullptr), -1);
  EXPECT_EQ(walk(a, true), "A");
  ASSERT_EQ(vtyp_ins_odr_bck(a, b), 0);
  ASSERT_EQ(vtyp_ins_odr_bck(a, c), 0);
  EXPECT_EQ(walk(a, true), "ABC");
  EXPECT_EQ(walk(a, false), "ACB");
  vtyp *nx, *pv;
  vtyp_get_odr(a, nullptr, &pv, nullptr);
  vtyp_get_odr(c, &nx, nullptr, nullptr);
  EXPECT_EQ(pv, c);
  EXPECT_EQ(nx, a);
  EXPECT_EQ(vtyp_get_odr(a, nullptr, nullptr, nullptr), 0);

  ASSERT_EQ(vtyp_cut_odr(b), 0);
  EXPECT_EQ(walk(a, true), "AC");
  EXPECT_EQ(walk(a, false), "AC");
  EXPECT_EQ(walk(b, true), "B");
  EXPECT_EQ(walk(b, false), "B");
  ASSERT_EQ(vtyp_cut_odr(b), 0);   // a lone node stays alone
  EXPECT_EQ(walk(b, true), "B");

  ASSERT_EQ(vtyp_put_odr_cld_top(a, b), 0);
  vtyp* ct = nullptr;
  vtyp_get_odr(a, nullptr, nullptr, &ct);
  EXPECT_EQ(ct, b);
  EXPECT_EQ(walk(a, true), "AC");   // nothing else changed

  // Release cuts: the rest of the ring closes up.
  vtyp_end(c);
  EXPECT_EQ(walk(a, true), "A");
  for (vtyp* n : {a, b, x}) vtyp_end(n);
}

}  // namespace
