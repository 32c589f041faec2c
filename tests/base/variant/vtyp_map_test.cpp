#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "base/base.h"
#include "base/variant/vtyp.h"
#include "reg_util.h"

namespace {

constexpr int P = static_cast<int>(sizeof(void*));

int parents[2];   // addresses used only as parent references
vtyp* const kLo = reinterpret_cast<vtyp*>(&parents[0]);
vtyp* const kHi = reinterpret_cast<vtyp*>(&parents[1]);

// A marked key descriptor (as the variant map builds them).
vtyp_dsc key(uint8_t knd, const void* val, vtyp* prn = nullptr, bool nst = true) {
  vtyp_dsc d{};
  d.typ = static_cast<uint8_t>(knd | VTYP_EXT | VTYP_LNK | VTYP_MAP);
  if (nst) d.typ |= VTYP_NST;
  d.ext = VTYP_DSC;
  d.nst = prn;
  d.val = val;
  return d;
}

// A stored pair made from a key descriptor and an optional value descriptor.
vtyp* stored(const vtyp_dsc& k, const vtyp_dsc* v = nullptr) {
  vtyp_pr pr{};
  pr.key = k;
  if (v != nullptr) pr.val = *v;
  void* n = nullptr;
  EXPECT_EQ(vtyp_map_mak(&n, &pr, nullptr), 0);
  return static_cast<vtyp*>(n);
}

// a sorts before b, both as descriptors and as stored nodes, in both directions.
void expect_before(const vtyp_dsc& a, const vtyp_dsc& b) {
  EXPECT_LT(vtyp_map_cmp(&a, &b, nullptr), 0);
  EXPECT_GT(vtyp_map_cmp(&b, &a, nullptr), 0);
  vtyp* sa = stored(a);
  vtyp* sb = stored(b);
  EXPECT_LT(vtyp_map_cmp(&a, sb, nullptr), 0);
  EXPECT_GT(vtyp_map_cmp(sb, sa, nullptr), 0);
  EXPECT_EQ(vtyp_map_cmp(&a, sa, nullptr), 0);
  EXPECT_EQ(vtyp_map_cmp(sb, &b, nullptr), 0);
  vtyp_map_del(sa, nullptr);
  vtyp_map_del(sb, nullptr);
}

TEST(VtypMapCmp, ParentFirst) {
  expect_before(key(VTYP_STR, "a", kLo), key(VTYP_STR, "b", kLo));
  expect_before(key(VTYP_STR, "b", kLo), key(VTYP_STR, "a", kHi));
  // No parent field sorts before any parent, whatever the texts.
  expect_before(key(VTYP_STR, "z", nullptr, false), key(VTYP_STR, "a", kLo));
  // A NULL parent sorts before every real one.
  expect_before(key(VTYP_STR, "z", nullptr), key(VTYP_STR, "a", kLo));
}

TEST(VtypMapCmp, StorageThenKindThenValue) {
  const int32_t two = 2;
  expect_before(key(VTYP_INT, &two, kLo), key(VTYP_STR, "1", kLo));
  vtyp_dsc buf = key(VTYP_INT, &two, kLo);
  buf.ext |= VTYP_BUF;
  // Buffer storage sorts after held values, and buffer values are all equal.
  const vtyp_dsc s1 = key(VTYP_STR, "1", kLo);
  EXPECT_LT(vtyp_map_cmp(&s1, &buf, nullptr), 0);
  EXPECT_GT(vtyp_map_cmp(&buf, &s1, nullptr), 0);
  vtyp_dsc buf2 = buf;
  const int32_t three = 3;
  buf2.val = &three;
  EXPECT_EQ(vtyp_map_cmp(&buf, &buf2, nullptr), 0);
}

TEST(VtypMapCmp, Values) {
  const int32_t m1 = -1, p1 = 1;
  expect_before(key(VTYP_INT, &m1), key(VTYP_INT, &p1));
  const double f1 = -0.5, f2 = 2.0, nan = std::nan("");
  expect_before(key(VTYP_FLT, &f1), key(VTYP_FLT, &f2));
  vtyp_dsc dn = key(VTYP_FLT, &nan), d2 = key(VTYP_FLT, &f2);
  EXPECT_EQ(vtyp_map_cmp(&dn, &d2, nullptr), 0);
  // Texts compare as unsigned bytes, and a prefix comes first.
  expect_before(key(VTYP_STR, "z"), key(VTYP_STR, "\x81"));
  expect_before(key(VTYP_STR, "ab"), key(VTYP_STR, "abc"));
  expect_before(key(VTYP_STR, ""), key(VTYP_STR, "a"));
  // Raw bytes: size before content.
  const unsigned char big[2] = {0xFF, 0xFF}, small[3] = {0, 0, 0};
  vtyp_dsc u2 = key(VTYP_UDF, big), u3 = key(VTYP_UDF, small);
  u2.siz = 2;
  u3.siz = 3;
  expect_before(u2, u3);
  const unsigned char lo[2] = {1, 2}, hi[2] = {1, 3};
  vtyp_dsc ul = key(VTYP_UDF, lo), uh = key(VTYP_UDF, hi);
  ul.siz = uh.siz = 2;
  expect_before(ul, uh);
  // Pointers are all equal.
  vtyp_dsc pa = key(VTYP_PTR, kLo), pb = key(VTYP_PTR, kHi);
  EXPECT_EQ(vtyp_map_cmp(&pa, &pb, nullptr), 0);
}

TEST(VtypMapCmp, ADescriptorWithoutValueReadsAsTheEmptyValue) {
  // Texts: as the empty text, before any other.
  vtyp_dsc sn = key(VTYP_STR, nullptr);
  vtyp* se = stored(key(VTYP_STR, ""));
  vtyp* sa = stored(key(VTYP_STR, "a"));
  EXPECT_EQ(vtyp_map_cmp(&sn, se, nullptr), 0);
  EXPECT_EQ(vtyp_map_cmp(se, &sn, nullptr), 0);
  EXPECT_LT(vtyp_map_cmp(&sn, sa, nullptr), 0);
  EXPECT_GT(vtyp_map_cmp(sa, &sn, nullptr), 0);
  // Numbers: as 0.
  const int32_t i0 = 0, i5 = 5, im = -5;
  vtyp_dsc in = key(VTYP_INT, nullptr);
  vtyp_dsc i0d = key(VTYP_INT, &i0), i5d = key(VTYP_INT, &i5), imd = key(VTYP_INT, &im);
  EXPECT_EQ(vtyp_map_cmp(&in, &i0d, nullptr), 0);
  EXPECT_LT(vtyp_map_cmp(&in, &i5d, nullptr), 0);
  EXPECT_GT(vtyp_map_cmp(&in, &imd, nullptr), 0);
  EXPECT_LT(vtyp_map_cmp(&imd, &in, nullptr), 0);
  const double f0 = 0.0, f1 = 1.5;
  vtyp_dsc fn = key(VTYP_FLT, nullptr), f0d = key(VTYP_FLT, &f0), f1d = key(VTYP_FLT, &f1);
  EXPECT_EQ(vtyp_map_cmp(&fn, &f0d, nullptr), 0);
  EXPECT_LT(vtyp_map_cmp(&fn, &f1d, nullptr), 0);
  EXPECT_GT(vtyp_map_cmp(&f1d, &fn, nullptr), 0);
  // Raw bytes: equal sizes and nothing to compare, or no bytes at all, are equal.
  const unsigned char b2[2] = {1, 2};
  vtyp_dsc un = key(VTYP_UDF, nullptr), ub = key(VTYP_UDF, b2);
  un.siz = ub.siz = 2;
  EXPECT_EQ(vtyp_map_cmp(&un, &ub, nullptr), 0);
  EXPECT_EQ(vtyp_map_cmp(&ub, &un, nullptr), 0);
  vtyp_dsc z1 = key(VTYP_UDF, b2), z2 = key(VTYP_UDF, nullptr);
  EXPECT_EQ(vtyp_map_cmp(&z1, &z2, nullptr), 0) << "size 0";
  vtyp_map_del(se, nullptr);
  vtyp_map_del(sa, nullptr);
}

TEST(VtypMapCmp, TextKeysOrderAsStdStringDoes) {
  // Random Shift-JIS texts, sharing prefixes often: the compare's sign, descriptor against
  // descriptor and against stored node, is std::string's (which orders unsigned bytes).
  std::mt19937 rng(4321);
  const char* pieces[] = {"a", "A", "z", "0", "-", "\x82\xA0", "\x83\x5C", "\xFA\x40", "\x81", "\xFF", "~", " "};
  auto text = [&] {
    std::string s;
    for (unsigned n = rng() % 6; n > 0; --n) s += pieces[rng() % std::size(pieces)];
    return s;
  };
  for (int i = 0; i < 4000; ++i) {
    const std::string a = text();
    const std::string b = rng() % 3 == 0 ? a + text() : text();
    const int want = (a > b) - (a < b);
    const vtyp_dsc ka = key(VTYP_STR, a.c_str(), kLo);
    const vtyp_dsc kb = key(VTYP_STR, b.c_str(), kLo);
    const int got = vtyp_map_cmp(&ka, &kb, nullptr);
    ASSERT_EQ((got > 0) - (got < 0), want) << a << " / " << b;
    vtyp* sb = stored(kb);
    const int got_n = vtyp_map_cmp(&ka, sb, nullptr);
    vtyp_map_del(sb, nullptr);
    ASSERT_EQ((got_n > 0) - (got_n < 0), want) << a << " / " << b;
  }
}

TEST(VtypMapCmp, RangeSelectsChildrenOfOneParent) {
  vtyp* top = stored(key(VTYP_STR, "t", nullptr));
  vtyp* flat = stored(key(VTYP_STR, "f", nullptr, false));
  vtyp* lo = stored(key(VTYP_STR, "c", kLo));
  vtyp* hi = stored(key(VTYP_STR, "c", kHi));
  EXPECT_EQ(vtyp_map_cmp_rng_nst(kLo, lo, nullptr), 0);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(kLo, hi, nullptr), -1);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(kHi, lo, nullptr), 1);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(kLo, flat, nullptr), 1);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(nullptr, flat, nullptr), 1);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(nullptr, top, nullptr), 0);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(nullptr, lo, nullptr), -1);
  EXPECT_EQ(vtyp_map_cmp_rng_nst(kLo, top, nullptr), 1);
  for (vtyp* n : {top, flat, lo, hi}) vtyp_map_del(n, nullptr);
}

vtyp_dsc val_dsc(uint8_t knd, const void* v) {
  vtyp_dsc d{};
  d.typ = knd | VTYP_EXT;
  d.ext = VTYP_DSC;
  d.val = v;
  return d;
}

TEST(VtypMapCpy, ReplacesTheValueOnly) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_dsc v1 = val_dsc(VTYP_STR, "one");
  vtyp* k = stored(key(VTYP_STR, "k"), &v1);
  vtyp_pr src{};
  src.key = key(VTYP_STR, "k");
  const int32_t nine = 9;
  src.val = val_dsc(VTYP_INT, &nine);
  ASSERT_EQ(vtyp_map_cpy(k, &src, nullptr), 0);
  vtyp* v = nullptr;
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  int32_t got = 0;
  void* pv = nullptr;
  vtyp_ref_val(v, &pv);
  std::memcpy(&got, pv, 4);
  EXPECT_EQ(got, 9);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before + 2);   // old value released

  // From a stored pair: a copy of its value.
  vtyp_dsc v2 = val_dsc(VTYP_STR, "two");
  vtyp* other = stored(key(VTYP_STR, "o"), &v2);
  ASSERT_EQ(vtyp_map_cpy(k, other, nullptr), 0);
  ASSERT_EQ(vtyp_ref_lnk_val(k, 0, &pv), 0);
  EXPECT_STREQ(static_cast<char*>(pv), "two");
  vtyp* ov = nullptr;
  vtyp_get_lnk(other, &ov, 0);
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  EXPECT_NE(v, ov);

  // A value of kind 0, or no source: the key keeps no value.
  src.val = vtyp_dsc{};
  ASSERT_EQ(vtyp_map_cpy(k, &src, nullptr), 0);
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  EXPECT_EQ(v, nullptr);
  ASSERT_EQ(vtyp_map_cpy(other, nullptr, nullptr), 0);
  ASSERT_EQ(vtyp_get_lnk(other, &v, 0), 0);
  EXPECT_EQ(v, nullptr);

  // A source whose value cannot be made leaves the key without one.
  ASSERT_EQ(vtyp_map_cpy(k, other, nullptr), 0);
  src.val = val_dsc(7, "x");
  EXPECT_EQ(vtyp_map_cpy(k, &src, nullptr), -1);
  ASSERT_EQ(vtyp_get_lnk(k, &v, 0), 0);
  EXPECT_EQ(v, nullptr);

  // No slot to hold a value.
  vtyp_dsc plain = val_dsc(VTYP_STR, "p");
  vtyp* np = nullptr;
  ASSERT_EQ(vtyp_set(&np, &plain), 0);
  EXPECT_EQ(vtyp_map_cpy(np, &src, nullptr), -1);
  vtyp_end(np);
  vtyp_map_del(k, nullptr);
  vtyp_map_del(other, nullptr);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

TEST(VtypMapCpy, NodesWithoutSlots) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_dsc plain = val_dsc(VTYP_STR, "p");
  vtyp* np = nullptr;
  ASSERT_EQ(vtyp_set(&np, &plain), 0);
  // A value that could be made has nowhere to go: it is not kept.
  vtyp_pr src{};
  src.key = key(VTYP_STR, "k");
  const int32_t nine = 9;
  src.val = val_dsc(VTYP_INT, &nine);
  EXPECT_EQ(vtyp_map_cpy(np, &src, nullptr), -1);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before + 1);
  // A stored source without slots has no value to give.
  vtyp_dsc v1 = val_dsc(VTYP_STR, "one");
  vtyp* k = stored(key(VTYP_STR, "k"), &v1);
  EXPECT_EQ(vtyp_map_cpy(k, np, nullptr), -1);
  void* pv = nullptr;
  ASSERT_EQ(vtyp_ref_lnk_val(k, 0, &pv), 0);
  EXPECT_STREQ(static_cast<char*>(pv), "one") << "the key keeps its value";
  vtyp_map_del(k, nullptr);
  vtyp_end(np);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

TEST(VtypMapMak, FailsOnInvalidValue) {
  const size_t before = vtest::reg_count("_vtyp_set");
  vtyp_pr pr{};
  pr.key = key(VTYP_STR, "k");
  pr.val = val_dsc(6, "x");
  void* n = nullptr;
  EXPECT_EQ(vtyp_map_mak(&n, &pr, nullptr), -1);
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

std::string dump(const void* node) {
  char* buf = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&buf, &len);
  vtyp_map_prt(f, node, nullptr);
  std::fclose(f);
  std::string s(buf, len);
  std::free(buf);
  return s;
}

TEST(VtypMapPrt, PairDump) {
  const int32_t five = 5;
  vtyp_dsc v = val_dsc(VTYP_INT, &five);
  vtyp* k = stored(key(VTYP_STR, "abc", nullptr, false), &v);
  reinterpret_cast<unsigned char*>(k)[0] |= VTYP_MAP_FLG;   // as the map marks a node
  EXPECT_EQ(dump(k),
            "D4 00 [MAP=ON  SiZE=0x00000004 VAL=PRM/STR:abcLINK=[[02 00 [MAP=OFF  "
            "VAL=PRM/INT:5]] ");
  // A node without links leaves its bracket open.
  vtyp* lone = nullptr;
  vtyp_get_lnk(k, &lone, 0);
  EXPECT_EQ(dump(lone), "02 00 [MAP=OFF  VAL=PRM/INT:5");
  vtyp_map_del(k, nullptr);
}

TEST(VtypMapPrt, ParentAddressInFullWidth) {
  vtyp* prn = reinterpret_cast<vtyp*>(static_cast<uintptr_t>(0x12345678u));
  vtyp_dsc kd = key(VTYP_STR, "x", prn);
  kd.ext |= VTYP_ODR;
  vtyp* k = stored(kd);
  const std::string want =
      P == 8 ? "7C 10 [MAP=ON  NEST=0x0000000012345678 SiZE=0x00000002 VAL=PRM/STR:xLINK=[[00 00 ]] "
             : "7C 10 [MAP=ON  NEST=0x12345678 SiZE=0x00000002 VAL=PRM/STR:xLINK=[[00 00 ]] ";
  EXPECT_EQ(dump(k), want);
  // A descriptor never has map words.
  EXPECT_EQ(dump(&kd).substr(0, 16), "7C 90 [MAP=OFF  ");
  vtyp_map_del(k, nullptr);
}

TEST(VtypMapPrt, OtherKindsAndTwoSlots) {
  const double d = 1.5;
  vtyp_dsc fd = val_dsc(VTYP_FLT, &d);
  fd.typ |= VTYP_LNK;
  fd.ext |= VTYP_EXT2;
  fd.ext2 = VTYP_LNK2;
  vtyp* f = nullptr;
  ASSERT_EQ(vtyp_set(&f, &fd), 0);
  vtyp_dsc pd = val_dsc(VTYP_PTR, kLo);
  vtyp* p = nullptr;
  ASSERT_EQ(vtyp_set(&p, &pd), 0);
  vtyp_put_lnk(f, p, 1);
  EXPECT_EQ(dump(f),
            "1B 08 [MAP=OFF  VAL=PRM/FLT:1.500000e+00LINK=[[00 00 ]][[05 00 [MAP=OFF  VAL=PRM/]] ");
  const unsigned char raw[2] = {1, 2};
  vtyp_dsc ud = val_dsc(VTYP_UDF, raw);
  ud.siz = 2;
  vtyp* u = nullptr;
  ASSERT_EQ(vtyp_set(&u, &ud), 0);
  EXPECT_EQ(dump(u), "01 00 [MAP=OFF  SiZE=0x00000002 VAL=PRM/UDF:");
  vtyp_dsc bd = val_dsc(VTYP_INT, nullptr);
  bd.ext |= VTYP_BUF;
  EXPECT_EQ(dump(&bd), "0A 81 [MAP=OFF  VAL=BUF/INT:");
  // A storage of neither kind names none, and shows no value.
  const int32_t seven = 7;
  vtyp_dsc od = val_dsc(VTYP_INT, &seven);
  od.ext |= 2;
  EXPECT_EQ(dump(&od), "0A 82 [MAP=OFF  INT:");
  vtyp_end(f);
  vtyp_end(u);
}

}  // namespace
