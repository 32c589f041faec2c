#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "alloc_util.h"
#include "base/base.h"
#include "base/variant/vmap.h"
#include "reg_util.h"

namespace {

std::string key_of(const vtyp* e) {
  void* v = nullptr;
  EXPECT_EQ(vtyp_ref_val(e, &v), 0);
  return static_cast<const char*>(v);
}

// Every entry an iteration gives; descend is passed as given, after a first 1.
std::vector<vtyp*> iterate(vmap* vm, vtyp* prn, uint32_t req, int descend = 1) {
  vmap_itr itr{};
  std::vector<vtyp*> out;
  EXPECT_EQ(vmap_rng_pop_set(vm, prn, req, &itr), 0);
  vtyp* e = nullptr;
  int d = 1;
  while (vmap_rng_pop(&itr, &e, d) == 0) {
    out.push_back(e);
    d = descend;
  }
  EXPECT_EQ(err_no, ERR_EOD);
  EXPECT_EQ(vmap_rng_pop_end(&itr), 0);
  return out;
}

std::string keys(const std::vector<vtyp*>& v) {
  std::string s;
  for (vtyp* e : v) s += key_of(e) + ",";
  return s;
}

TEST(Vmap, TypedPutsAndReads) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "name", "phone", 0), 0);
  ASSERT_EQ(vmap_put_str_int(&vm, nullptr, "cnt", -7, 0), 0);
  vtyp* nul = nullptr;
  ASSERT_EQ(_vmap_put_str_nul(&vm, nullptr, "fp", &nul, 0), 0);
  const char* s = nullptr;
  int32_t i = 0;
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "name", &s), 0);
  EXPECT_STREQ(s, "phone");
  ASSERT_EQ(vmap_get_str_int(&vm, nullptr, "cnt", &i), 0);
  EXPECT_EQ(i, -7);
  // Kind mismatches and keys without value fail; the key itself is found.
  EXPECT_EQ(vmap_get_str_int(&vm, nullptr, "name", &i), -1);
  EXPECT_EQ(err_no, ERR_FAIL);
  EXPECT_EQ(vmap_get_str_str(&vm, nullptr, "cnt", &s), -1);
  EXPECT_EQ(vmap_get_str_str(&vm, nullptr, "fp", &s), -1);
  EXPECT_EQ(vmap_get_str_int(&vm, nullptr, "fp", &i), -1);
  vtyp* e = nullptr;
  ASSERT_EQ(vmap_ref_str(&vm, nullptr, "fp", &e), 0);
  EXPECT_EQ(err_no, 0);
  EXPECT_EQ(e, nul);
  EXPECT_EQ(vmap_ref_str(&vm, nullptr, "nope", &e), -1);
  // In a flat vmap the parent changes nothing.
  ASSERT_EQ(vmap_get_str_str(&vm, nul, "name", &s), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, nul, "name", "watch", 0), 0);
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "name", &s), 0);
  EXPECT_STREQ(s, "watch");
  EXPECT_EQ(iterate(&vm, nullptr, 0).size(), 3u);
  // Texts given are copied.
  char buf[8] = "abc";
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, buf, buf, 0), 0);
  std::strcpy(buf, "xyz");
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "abc", &s), 0);
  EXPECT_STREQ(s, "abc");
  vmap_end(&vm);
}

TEST(Vmap, FailuresReportTheirStatus) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
  EXPECT_EQ(vmap_put_str_str(&vm, nullptr, "k", "v", MAP_PUT_UPD), -1);   // missing key
  EXPECT_EQ(vmap_ref_str(&vm, nullptr, "k", nullptr), -1);
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "k", "v", MAP_PUT_KEEP), 0);
  EXPECT_EQ(vmap_put_str_str(&vm, nullptr, "k", "w", MAP_PUT_KEEP), -1);   // existing key
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "k", "u", MAP_PUT_UPD), 0);
  const char* s = nullptr;
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "k", &s), 0);
  EXPECT_STREQ(s, "u");
  // A lookup miss after a finished iteration (which leaves the clean-end mark) is still
  // a failure.
  vmap_itr itr{};
  ASSERT_EQ(vmap_rng_pop_set(&vm, nullptr, 0, &itr), 0);
  vtyp* e = nullptr;
  while (vmap_rng_pop(&itr, &e, 1) == 0) {
  }
  ASSERT_EQ(err_no, ERR_EOD);
  EXPECT_EQ(vmap_ref_str(&vm, nullptr, "nope", nullptr), -1);
  EXPECT_EQ(vmap_rng_pop_end(&itr), 0);
  // Descriptors must come unmarked.
  vtyp_dsc k{};
  k.typ = VTYP_STR;
  k.val = "k";
  k.ext = VTYP_ODR;
  EXPECT_EQ(_vmap_get(&vm, &k, &e), -1);
  EXPECT_EQ(_vmap_put_no_val(&vm, &k, &e, 0), -1);
  k.ext = 0;
  ASSERT_EQ(_vmap_get(&vm, &k, &e), 0);
  EXPECT_EQ(key_of(e), "k");
  EXPECT_EQ(vmap_get_odr(&vm, nullptr, &e), -1);
  EXPECT_EQ(vmap_rng_pop_set(&vm, nullptr, VMAP_RNG_ODR, &itr), -1);
  EXPECT_EQ(err_no, ERR_FAIL);
  vmap_end(&vm);
}

TEST(Vmap, ReplacingAValueKeepsEntryAndChildren) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
  vtyp* dev = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "AABBCCDDEEFF-phone", "ON", &dev, 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, dev, "chk", "OK", 0), 0);
  ASSERT_EQ(vmap_put_str_int(&vm, dev, "cnt", 3, 0), 0);
  vtyp* again = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "AABBCCDDEEFF-phone", "OFF", &again, 0), 0);
  EXPECT_EQ(again, dev);
  ASSERT_EQ(vmap_put_str_int(&vm, nullptr, "AABBCCDDEEFF-phone", 1, 0), 0);   // kind change
  ASSERT_EQ(_vmap_put_str_nul(&vm, nullptr, "AABBCCDDEEFF-phone", &again, 0), 0);
  EXPECT_EQ(again, dev);
  int32_t i = 0;
  ASSERT_EQ(vmap_get_str_int(&vm, dev, "cnt", &i), 0);
  EXPECT_EQ(i, 3);
  EXPECT_EQ(keys(iterate(&vm, dev, 0)), "chk,cnt,");
  // The same text under two parents is two entries; the top level sees none of them.
  vtyp* other = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "112233445566-watch", "ON", &other, 0), 0);
  ASSERT_EQ(vmap_put_str_int(&vm, other, "cnt", 9, 0), 0);
  ASSERT_EQ(vmap_get_str_int(&vm, dev, "cnt", &i), 0);
  EXPECT_EQ(i, 3);
  ASSERT_EQ(vmap_get_str_int(&vm, other, "cnt", &i), 0);
  EXPECT_EQ(i, 9);
  EXPECT_EQ(vmap_ref_str(&vm, nullptr, "cnt", nullptr), -1);
  EXPECT_EQ(keys(iterate(&vm, nullptr, 0)), "112233445566-watch,AABBCCDDEEFF-phone,");
  // Replacing the node object would orphan its children: refused, nothing changed.
  EXPECT_EQ(vmap_put_str_str(&vm, nullptr, "AABBCCDDEEFF-phone", "X", MAP_PUT_RPL), -1);
  ASSERT_EQ(vmap_ref_str(&vm, nullptr, "AABBCCDDEEFF-phone", &again), 0);
  EXPECT_EQ(again, dev);
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "new", "X", MAP_PUT_RPL), 0);   // a new key may
  vmap_end(&vm);
}

TEST(Vmap, DeletingAnEntryTakesEverythingUnderItAndNothingElse) {
  vmap vm = {};
  ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
  const size_t blocks0 = vtest::reg_blocks().size();
  vtyp* a = nullptr;
  vtyp* b = nullptr;
  vtyp* a1 = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "a", "ON", &a, 0), 0);
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "b", "ON", &b, 0), 0);
  ASSERT_EQ(_vmap_put_str_int(&vm, a, "cnt", 3, &a1, 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, a1, "deep", "x", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, a, "chk", "OK", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, b, "chk", "-", 0), 0);
  const size_t blocks_b = vtest::reg_blocks().size();
  ASSERT_EQ(vmap_del(&vm, a), 0);
  vtyp* e = nullptr;
  EXPECT_NE(vmap_ref_str(&vm, nullptr, "a", &e), 0);
  const char* t = nullptr;
  EXPECT_EQ(vmap_get_str_str(&vm, b, "chk", &t), 0);
  EXPECT_STREQ(t, "-");
  EXPECT_EQ(vtest::reg_blocks().size(), blocks_b - 8) << "four entries of two nodes each";
  // Made again, the entry has none of its old children.
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "a", "OFF", &a, 0), 0);
  int32_t n = 0;
  EXPECT_NE(vmap_get_str_int(&vm, a, "cnt", &n), 0);
  vmap_end(&vm);
  EXPECT_EQ(vtest::reg_blocks().size(), blocks0 - 0);
  // Rings and chains would need mending: refused.
  for (uint32_t f : {VMAP_ODR, VMAP_EQU}) {
    ASSERT_EQ(vmap_set(&vm, f), 0);
    ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "a", "ON", &a, 0), 0);
    EXPECT_EQ(vmap_del(&vm, a), -1);
    vmap_end(&vm);
  }
}

TEST(Vmap, ValueReadFromTheEntryItselfIsPutBack) {
  // The new value is made from the old one's bytes, so the old one must outlive the copy.
  for (const uint32_t flg : {0u, VMAP_NST}) {
    vmap vm;
    ASSERT_EQ(vmap_set(&vm, flg), 0);
    vtyp* dev = nullptr;
    ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "k", "a longer text than a pointer", &dev, 0), 0);
    ASSERT_EQ(vmap_put_str_str(&vm, dev, "chk", "OK", 0), 0);
    const size_t before = vtest::reg_count("_vtyp_set");
    for (vtyp* prn : {static_cast<vtyp*>(nullptr), dev}) {
      const char* key = prn == nullptr ? "k" : "chk";
      const char* s = nullptr;
      ASSERT_EQ(vmap_get_str_str(&vm, prn, key, &s), 0);
      const std::string want = s;
      ASSERT_EQ(vmap_put_str_str(&vm, prn, key, s, 0), 0);
      ASSERT_EQ(vmap_get_str_str(&vm, prn, key, &s), 0);
      EXPECT_EQ(s, want);
    }
    EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
    vmap_end(&vm);
  }
}

TEST(Vmap, ReplaceNodeInAFlatVmap) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, 0), 0);
  const size_t before = vtest::reg_count("_vtyp_set");
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "k", "v", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "k", "w", MAP_PUT_RPL), 0);
  const char* s = nullptr;
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "k", &s), 0);
  EXPECT_STREQ(s, "w");
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before + 2);
  vmap_end(&vm);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
}

TEST(VmapOrder, RingsFollowInsertionOrder) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST | VMAP_ODR), 0);
  vtyp *b = nullptr, *a = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "b", "1", &b, 0), 0);
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "a", "2", &a, 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "c", "3", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, b, "z", "4", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, b, "y", "5", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, a, "x", "6", 0), 0);
  // Putting an existing key again keeps its place in the order.
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "b", "7", 0), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, b, "z", "8", 0), 0);
  vtyp* first = nullptr;
  ASSERT_EQ(vmap_get_odr(&vm, nullptr, &first), 0);
  EXPECT_EQ(first, b);
  ASSERT_EQ(vmap_get_odr(&vm, b, &first), 0);
  EXPECT_EQ(key_of(first), "z");

  // Order mode descends depth first; map mode stays on its level, in key order.
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_ODR)), "b,z,y,a,x,c,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, 0)), "a,b,c,");
  EXPECT_EQ(keys(iterate(&vm, b, VMAP_RNG_ODR)), "z,y,");
  // Caller-controlled descent: 0 skips the children of the entry given last.
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_ODR | VMAP_RNG_CTL, 0)), "b,a,c,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_CTL, 0)), "a,b,c,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_CTL, 1)), "a,x,b,y,z,c,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_ODR | VMAP_RNG_CTL, 1)), "b,z,y,a,x,c,");

  // Mixed: skip b's children only.
  vmap_itr itr{};
  ASSERT_EQ(vmap_rng_pop_set(&vm, nullptr, VMAP_RNG_CTL, &itr), 0);
  std::string got;
  vtyp* e = nullptr;
  int d = 1;
  while (vmap_rng_pop(&itr, &e, d) == 0) {
    got += key_of(e) + ",";
    d = (key_of(e) == "b") ? 0 : 1;
  }
  vmap_rng_pop_end(&itr);
  EXPECT_EQ(got, "a,x,b,c,");
  vmap_end(&vm);
}

TEST(VmapOrder, FlatVmapHasNoChildrenToDescendInto) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_ODR), 0);
  for (const char* k : {"q", "p", "r"}) ASSERT_EQ(vmap_put_str_str(&vm, nullptr, k, k, 0), 0);
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_CTL, 1)), "p,q,r,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_CTL, 0)), "p,q,r,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_ODR | VMAP_RNG_CTL, 0)), "q,p,r,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_ODR)), "q,p,r,");
  vmap_end(&vm);
}

TEST(VmapOrder, EmptyIterations) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST | VMAP_ODR), 0);
  EXPECT_TRUE(iterate(&vm, nullptr, 0).empty());
  EXPECT_TRUE(iterate(&vm, nullptr, VMAP_RNG_ODR).empty());
  vtyp* leaf = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "leaf", "", &leaf, 0), 0);
  EXPECT_TRUE(iterate(&vm, leaf, 0).empty());
  EXPECT_TRUE(iterate(&vm, leaf, VMAP_RNG_ODR).empty());
  vmap_end(&vm);
}

TEST(VmapEqu, EqualKeysChainBehindTheFirst) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_ODR | VMAP_EQU), 0);
  vtyp *first = nullptr, *second = nullptr, *third = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "k", "1", &first, MAP_PUT_KEEP), 0);
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "m", "x", 0), 0);
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "k", "2", &second, MAP_PUT_KEEP), 0);
  ASSERT_EQ(_vmap_put_str_nul(&vm, nullptr, "k", &third, MAP_PUT_KEEP), 0);
  EXPECT_NE(second, first);
  vtyp* e = nullptr;
  ASSERT_EQ(vtyp_get_equ(first, &e), 0);
  EXPECT_EQ(e, second);
  ASSERT_EQ(vtyp_get_equ(second, &e), 0);
  EXPECT_EQ(e, third);
  void* v = nullptr;
  ASSERT_EQ(vtyp_ref_lnk_val(second, 0, &v), 0);
  EXPECT_STREQ(static_cast<char*>(v), "2");
  EXPECT_EQ(vtyp_ref_lnk_val(third, 0, &v), -1);
  // The lookup finds the first; the order holds them all.
  const char* s = nullptr;
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "k", &s), 0);
  EXPECT_STREQ(s, "1");
  EXPECT_EQ(keys(iterate(&vm, nullptr, VMAP_RNG_ODR)), "k,m,k,k,");
  EXPECT_EQ(keys(iterate(&vm, nullptr, 0)), "k,m,");
  const size_t before = vtest::reg_count("_vtyp_set");
  vmap_end(&vm);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before - 7);
}

TEST(VmapEqu, ReplacingTheNodeOfAChainedKeyIsRefused) {
  // Without equal keys a flat vmap may replace the node; with them the chain would go too.
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_EQU), 0);
  vtyp *first = nullptr, *second = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "k", "1", &first, MAP_PUT_KEEP), 0);
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "k", "2", &second, MAP_PUT_KEEP), 0);
  const size_t before = vtest::reg_count("_vtyp_set");
  EXPECT_EQ(vmap_put_str_str(&vm, nullptr, "k", "3", MAP_PUT_RPL), -1);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), before);
  vtyp* e = nullptr;
  ASSERT_EQ(vmap_ref_str(&vm, nullptr, "k", &e), 0);
  EXPECT_EQ(e, first);
  ASSERT_EQ(vtyp_get_equ(first, &e), 0);
  EXPECT_EQ(e, second);
  void* v = nullptr;
  ASSERT_EQ(vtyp_ref_lnk_val(second, 0, &v), 0);
  EXPECT_STREQ(static_cast<char*>(v), "2");
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "new", "3", MAP_PUT_RPL), 0);   // a new key may
  vmap_end(&vm);
}

// --- model test ----------------------------------------------------------------------

enum class vk { none, str, num };
struct ent {
  vtyp* node;
  vk kind;
  std::string s;
  int32_t i;
};
// Keyed by (parent entry, text); std::string orders as unsigned bytes, like the map.
using level = std::map<std::string, ent>;

struct model {
  std::map<vtyp*, level> lv;
  std::map<vtyp*, std::vector<vtyp*>> odr;
  std::vector<vtyp*> all;

  const ent* find(vtyp* p, const std::string& k) const {
    auto l = lv.find(p);
    if (l == lv.end()) return nullptr;
    auto e = l->second.find(k);
    return e == l->second.end() ? nullptr : &e->second;
  }
  std::vector<vtyp*> level_keys(vtyp* p) const {
    std::vector<vtyp*> v;
    auto l = lv.find(p);
    if (l != lv.end())
      for (auto& [k, e] : l->second) v.push_back(e.node);
    return v;
  }
  void dfs_map(vtyp* p, std::vector<vtyp*>* out) const {
    for (vtyp* n : level_keys(p)) {
      out->push_back(n);
      dfs_map(n, out);
    }
  }
  void dfs_odr(vtyp* p, std::vector<vtyp*>* out) const {
    auto o = odr.find(p);
    if (o == odr.end()) return;
    for (vtyp* n : o->second) {
      out->push_back(n);
      dfs_odr(n, out);
    }
  }
};

void check_key(vmap* vm, const model& m, vtyp* p, const std::string& k) {
  const ent* want = m.find(p, k);
  vtyp* e = nullptr;
  const char* s = nullptr;
  int32_t i = 0;
  if (want == nullptr) {
    ASSERT_NE(vmap_ref_str(vm, p, k.c_str(), &e), 0);
    ASSERT_NE(vmap_get_str_str(vm, p, k.c_str(), &s), 0);
    ASSERT_NE(vmap_get_str_int(vm, p, k.c_str(), &i), 0);
    return;
  }
  ASSERT_EQ(vmap_ref_str(vm, p, k.c_str(), &e), 0);
  ASSERT_EQ(e, want->node);
  ASSERT_EQ(vmap_get_str_str(vm, p, k.c_str(), &s) == 0, want->kind == vk::str);
  ASSERT_EQ(vmap_get_str_int(vm, p, k.c_str(), &i) == 0, want->kind == vk::num);
  if (want->kind == vk::str) {
    ASSERT_EQ(std::string(s), want->s);
  }
  if (want->kind == vk::num) {
    ASSERT_EQ(i, want->i);
  }
  vtyp* v = nullptr;
  ASSERT_EQ(vtyp_get_lnk(e, &v, 0), 0);
  ASSERT_EQ(v == nullptr, want->kind == vk::none);
}

TEST(Vmap, PairDescriptorsItRefusesAndAccepts) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST | VMAP_ODR), 0);
  // A key whose ext byte has more than the marks would not lie where the map expects it.
  vtyp_pr pr{};
  pr.key.typ = VTYP_STR | VTYP_EXT;
  pr.key.ext = VTYP_EXT2;
  pr.key.val = "k";
  pr.val.typ = VTYP_STR;
  pr.val.val = "v";
  vtyp* e = nullptr;
  EXPECT_EQ(_vmap_put(&vm, &pr, &e, 0), -1);
  EXPECT_EQ(vmap_ref_str(&vm, nullptr, "k", nullptr), -1) << "nothing stored";
  // The value's own ext byte counts: one with an equal-key field.
  pr.key.ext = VTYP_ODR;
  pr.val.typ = VTYP_STR | VTYP_EXT;
  pr.val.ext = VTYP_EQU;
  ASSERT_EQ(_vmap_put(&vm, &pr, &e, 0), 0);
  vtyp* v = nullptr;
  ASSERT_EQ(vtyp_get_lnk(e, &v, 0), 0);
  vtyp* q = v;   // overwritten by the read
  EXPECT_EQ(vtyp_get_equ(v, &q), 0);
  EXPECT_EQ(q, nullptr);
  const char* s = nullptr;
  ASSERT_EQ(vmap_get_str_str(&vm, nullptr, "k", &s), 0);
  EXPECT_STREQ(s, "v");
  // A lookup that only asks whether the key is there.
  vtyp_dsc k{};
  k.typ = VTYP_STR;
  k.val = "k";
  EXPECT_EQ(_vmap_get(&vm, &k, nullptr), 0);
  vmap_end(&vm);
}

// Nested, ordered entries with equal keys, put and iterated in both orders, with every heap
// call failing in turn.
TEST(VmapLeak, EveryHeapCallFailingInTurn) {
  const auto run = [] {
    vmap vm;
    if (vmap_set(&vm, VMAP_NST | VMAP_ODR | VMAP_EQU) != 0) return tu::outcome{err_no, ""};
    std::string out;
    vtyp *a = nullptr, *b = nullptr;
    int32_t st = _vmap_put_str_str(&vm, nullptr, "a", "1", &a, MAP_PUT_KEEP);
    if (st == 0) st = _vmap_put_str_int(&vm, a, "b", 2, &b, MAP_PUT_KEEP);
    if (st == 0) st = vmap_put_str_str(&vm, a, "c", "3", MAP_PUT_KEEP);
    if (st == 0) st = vmap_put_str_str(&vm, nullptr, "a", "4", MAP_PUT_KEEP);
    if (st == 0) st = _vmap_put_str_nul(&vm, b, "d", nullptr, MAP_PUT_KEEP);
    for (const uint32_t req : {VMAP_RNG_CTL, VMAP_RNG_CTL | VMAP_RNG_ODR}) {
      vmap_itr itr{};
      if (st == 0) st = vmap_rng_pop_set(&vm, nullptr, req, &itr);
      if (st != 0) break;
      vtyp* e = nullptr;
      while ((st = vmap_rng_pop(&itr, &e, 1)) == 0) out += key_of(e) + ",";
      if (st == ERR_EOD) st = 0;
      vmap_rng_pop_end(&itr);
      out += "|";
    }
    vmap_end(&vm);
    return tu::outcome{st, out};
  };
  // Key order shows the first of equal keys; insertion order shows both.
  EXPECT_EQ(run(), tu::outcome(0, "a,b,d,c,|a,b,d,c,a,|"));
  const int failed = tu::every_heap_call(run, "vmap");
  EXPECT_GT(failed, 10);
}

TEST(VmapOrder, ANodeThatKeepsNoOrderHasNoFirstChild) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST | VMAP_ODR), 0);
  vtyp* a = nullptr;
  ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, "a", "1", &a, 0), 0);
  vtyp* e = a;
  ASSERT_EQ(vmap_get_odr(&vm, a, &e), 0);
  EXPECT_EQ(e, nullptr) << "no children yet";
  // A node of no ordered map has no order fields to read.
  vtyp_dsc d{};
  d.typ = VTYP_STR;
  d.val = "plain";
  vtyp* plain = nullptr;
  ASSERT_EQ(vtyp_set(&plain, &d), 0);
  err_no = 0;
  EXPECT_EQ(vmap_get_odr(&vm, plain, &e), -1);
  EXPECT_EQ(err_no, -1);
  vtyp_end(plain);
  vmap_end(&vm);
}

// A level wide enough that its iteration keeps several frames at once, with every heap call
// of the iteration failing in turn: it fails, or gives every key in order.
TEST(VmapLeak, EveryHeapCallOfAWideIterationFailingInTurn) {
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
  std::string all;
  for (int i = 0; i < 40; ++i) {
    // Appended in parts: GCC 12 at -O3 warns falsely (-Wrestrict) on "k" + to_string(...).
    std::string k = "k";
    k += std::to_string(100 + i);
    ASSERT_EQ(vmap_put_str_int(&vm, nullptr, k.c_str(), i, 0), 0);
    all += k + ",";
  }
  const auto run = [&] {
    vmap_itr itr{};
    std::string out;
    int32_t st = vmap_rng_pop_set(&vm, nullptr, 0, &itr);
    if (st == 0) {
      vtyp* e = nullptr;
      while ((st = vmap_rng_pop(&itr, &e, 1)) == 0) out += key_of(e) + ",";
      if (st == ERR_EOD) st = 0;
    }
    vmap_rng_pop_end(&itr);
    return tu::outcome{st, out};
  };
  EXPECT_EQ(run(), tu::outcome(0, all));
  const int failed = tu::every_heap_call(run, "wide iteration");
  EXPECT_GE(failed, 1);
  vmap_end(&vm);
}

TEST(VmapModel, RandomOperationsAgainstAReferenceMap) {
  const size_t blocks_before = vtest::reg_blocks().size();
  vmap vm;
  ASSERT_EQ(vmap_set(&vm, VMAP_NST | VMAP_ODR), 0);
  model m;
  std::mt19937 rng(20240611);
  std::vector<std::string> texts = {"", "a", "b", "ab", "abc", "z", "\x81\x40", "\xFF", "cnt",
                                    "chk", "ON", "OFF"};
  for (int i = 0; i < 12; ++i) texts.push_back(std::string("k").append(std::to_string(i)));
  auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };

  constexpr int kOps = 50000;
  for (int step = 0; step < kOps; ++step) {
    vtyp* p = nullptr;
    if (!m.all.empty() && pick(3) != 0) p = m.all[pick(m.all.size())];
    const std::string& k = texts[pick(texts.size())];
    const int op = static_cast<int>(pick(8));
    const ent* had = m.find(p, k);
    if (op <= 4) {
      const int flg = static_cast<int>(pick(3));
      ent nv{nullptr, vk::none, "", 0};
      vtyp* out = nullptr;
      int r;
      if (op <= 2) {
        nv.kind = vk::str;
        nv.s = std::string("v").append(std::to_string(rng() % 1000));
        r = _vmap_put_str_str(&vm, p, k.c_str(), nv.s.c_str(), &out, flg);
      } else if (op == 3) {
        nv.kind = vk::num;
        nv.i = static_cast<int32_t>(rng());
        r = _vmap_put_str_int(&vm, p, k.c_str(), nv.i, &out, flg);
      } else {
        r = _vmap_put_str_nul(&vm, p, k.c_str(), &out, flg);
      }
      const bool ok = flg == 0 || (flg == MAP_PUT_UPD) == (had != nullptr);
      ASSERT_EQ(r == 0, ok) << "step " << step;
      if (ok) {
        if (had != nullptr) {
          ASSERT_EQ(out, had->node) << "step " << step;   // the entry stays where it is
        } else {
          m.all.push_back(out);
          m.odr[p].push_back(out);
        }
        nv.node = out;
        m.lv[p][k] = nv;
      }
    }
    ASSERT_NO_FATAL_FAILURE(check_key(&vm, m, p, k)) << "step " << step;

    if (step % 16 == 0) {
      // The touched level, in key order and in insertion order.
      ASSERT_EQ(iterate(&vm, p, 0), m.level_keys(p)) << "step " << step;
      std::vector<vtyp*> want_odr;
      if (m.odr.count(p) != 0) want_odr = m.odr[p];
      ASSERT_EQ(iterate(&vm, p, VMAP_RNG_ODR | VMAP_RNG_CTL, 0), want_odr) << "step " << step;
    }
    if (step % 5000 == 4999) {
      std::vector<vtyp*> want;
      m.dfs_map(nullptr, &want);
      ASSERT_EQ(iterate(&vm, nullptr, VMAP_RNG_CTL, 1), want);
      want.clear();
      m.dfs_odr(nullptr, &want);
      ASSERT_EQ(iterate(&vm, nullptr, VMAP_RNG_ODR), want);
    }
  }
  EXPECT_GT(m.all.size(), 1000u);
  vmap_end(&vm);
  // Nothing of the vmap is left in the register.
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), 0u);
  EXPECT_EQ(vtest::reg_blocks().size(), blocks_before);
}

TEST(VmapLeak, EndReleasesEveryBlock) {
  const size_t blocks_before = vtest::reg_blocks().size();
  std::vector<const void*> mine;
  {
    vmap vm;
    ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
    for (int i = 0; i < 50; ++i) {
      vtyp* e = nullptr;
      const std::string k = "dev" + std::to_string(i);
      ASSERT_EQ(_vmap_put_str_str(&vm, nullptr, k.c_str(), "ON", &e, 0), 0);
      ASSERT_EQ(vmap_put_str_str(&vm, e, "chk", "OK", 0), 0);
      ASSERT_EQ(vmap_put_str_int(&vm, e, "cnt", i, 0), 0);
      ASSERT_EQ(vmap_put_str_int(&vm, e, "cnt", i + 1, 0), 0);
      mine.push_back(e);
      vtyp* v = nullptr;
      vtyp_get_lnk(e, &v, 0);
      mine.push_back(v);
    }
    // An iteration abandoned half-way still gives its frames back.
    vmap_itr itr{};
    ASSERT_EQ(vmap_rng_pop_set(&vm, nullptr, VMAP_RNG_CTL, &itr), 0);
    vtyp* e = nullptr;
    for (int i = 0; i < 5; ++i) ASSERT_EQ(vmap_rng_pop(&itr, &e, 1), 0);
    ASSERT_EQ(vmap_rng_pop_end(&itr), 0);
    for (const void* p : mine) EXPECT_GE(vtest::reg_size(p), 0);
    EXPECT_EQ(vtest::reg_count("_vtyp_set"), 50u * 6u);
    vmap_end(&vm);
    EXPECT_EQ(vm.map.root, nullptr);
    EXPECT_EQ(vm.flg, 0u);
  }
  for (const void* p : mine) EXPECT_EQ(vtest::reg_size(p), -1);
  EXPECT_EQ(vtest::reg_count("_vtyp_set"), 0u);
  EXPECT_EQ(vtest::reg_blocks().size(), blocks_before);
}

}  // namespace
