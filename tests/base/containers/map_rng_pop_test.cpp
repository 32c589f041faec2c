#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/containers/map.h"
#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"

namespace {

struct tnod {
  int key;
  tnod* l;
  tnod* r;
  uint8_t clr;
};

int tcmp(const void* k, const void* nk, void*) {
  const int a = *static_cast<const int*>(k);
  const int b = *static_cast<const int*>(nk);
  return (a > b) - (a < b);
}
int tmak(void** out, const void* d, void*) {
  *out = new tnod(*static_cast<const tnod*>(d));
  return 0;
}
void tdel(void* n, void*) { delete static_cast<tnod*>(n); }
const map_ops tops = {tcmp, nullptr, tmak, tdel, nullptr};

struct tmap {
  map m{};
  tmap() {
    map_set(&m, &tops, nullptr, offsetof(tnod, l), offsetof(tnod, r), offsetof(tnod, key),
            offsetof(tnod, clr), 1);
  }
  ~tmap() { map_end(&m); }
  void put(int k) {
    tnod d{k, nullptr, nullptr, 0};
    ASSERT_EQ(map_put(&m, &d, nullptr, 0), 0);
  }
  void get(int k) {
    void* o;
    map_get(&m, &k, &o);
  }
};

std::string shape(const tnod* n) {
  if (n == nullptr) return ".";
  // Appended piece by piece: GCC 12 at -O3 takes "(" + ... for an overlapping copy.
  std::string s = "(";
  s += shape(n->l);
  s += std::to_string(n->key);
  s += n->clr & 1 ? "r" : "b";
  s += shape(n->r);
  s += ")";
  return s;
}
std::string shape(const tmap& t) { return shape(static_cast<const tnod*>(t.m.root)); }

// Pops until the end; fails the test on anything but 0 or 1.
std::vector<int> drain(map_itr* itr) {
  std::vector<int> out;
  for (;;) {
    void* n = nullptr;
    const int r = map_rng_pop(itr, &n);
    if (r == 1) break;
    EXPECT_EQ(r, 0);
    if (r != 0) break;
    out.push_back(static_cast<tnod*>(n)->key);
  }
  return out;
}
std::vector<int> range(int a, int b) {
  std::vector<int> v;
  for (int i = a; i <= b; ++i) v.push_back(i);
  return v;
}
// Keys are parent * 100 + child: a node matches when it has the key's parent.
int by_parent(const void* k, const void* nk, void* arg) {
  EXPECT_EQ(arg, reinterpret_cast<void*>(0x5EED));  // the iterator's own arg
  const int a = *static_cast<const int*>(k) / 100;
  const int b = *static_cast<const int*>(nk) / 100;
  return (a > b) - (a < b);
}
void* const kArg = reinterpret_cast<void*>(0x5EED);

TEST(MapRngPop, EmptyMapEndsAtOnce) {
  tmap t;
  map_itr itr{};
  err_no = 0;
  ASSERT_EQ(map_rng_pop_ini(&t.m, nullptr, nullptr, nullptr, &itr), 0);
  EXPECT_EQ(t.m.rtt_lck, 1);
  void* n = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(map_rng_pop(&itr, &n), 1);
  EXPECT_EQ(err_no, 1);
  EXPECT_EQ(map_rng_pop(&itr, &n), 1);  // stays at the end
  EXPECT_EQ(map_rng_pop_end(&itr), 0);
  EXPECT_EQ(t.m.rtt_lck, 0);
  err_no = 0;
}

TEST(MapRngPop, KeysOneToSevenComeOutInOrderOnce) {
  tmap t;
  for (int k = 1; k <= 7; ++k) t.put(k);
  for (int pass = 0; pass < 2; ++pass) {  // the tall shape, then the repaired one
    map_itr itr{};
    ASSERT_EQ(map_rng_pop_ini(&t.m, nullptr, nullptr, nullptr, &itr), 0);
    EXPECT_EQ(drain(&itr), range(1, 7));
    EXPECT_EQ(err_no, 1);
    map_rng_pop_end(&itr);
    for (int k = 1; k <= 7; ++k) t.get(k);
  }
  err_no = 0;
}

TEST(MapRngPop, NoMatchingNodeWithAndWithoutSet) {
  tmap t;
  for (int k : {101, 102, 301, 302}) t.put(k);
  const int key = 200;

  map_itr a{};
  err_no = 0;
  EXPECT_EQ(_map_rng_pop_set(&t.m, &key, by_parent, kArg, &a, 1), 1);
  EXPECT_EQ(err_no, 1);
  EXPECT_EQ(a.stk, nullptr);
  EXPECT_EQ(t.m.rtt_lck, 1);
  map_rng_pop_end(&a);
  EXPECT_EQ(t.m.rtt_lck, 0);

  map_itr b{};
  err_no = 0;
  EXPECT_EQ(_map_rng_pop_set(&t.m, &key, by_parent, kArg, &b, 0), 0);
  EXPECT_EQ(t.m.rtt_lck, 1);
  void* n = nullptr;
  EXPECT_EQ(map_rng_pop(&b, &n), 1);
  EXPECT_EQ(err_no, 1);
  EXPECT_EQ(t.m.rtt_lck, 1);
  map_rng_pop_end(&b);
  EXPECT_EQ(t.m.rtt_lck, 0);
  err_no = 0;
}

TEST(MapRngPop, LockHeldUntilEnd) {
  tmap t;
  for (int k = 1; k <= 7; ++k) t.put(k);
  const std::string tall = shape(t);
  map_itr itr{};
  ASSERT_EQ(map_rng_pop_ini(&t.m, nullptr, nullptr, nullptr, &itr), 0);
  std::vector<int> got;
  void* n = nullptr;
  while (map_rng_pop(&itr, &n) == 0) {
    got.push_back(static_cast<tnod*>(n)->key);
    for (int k = 1; k <= 7; ++k) t.get(k);  // work between two nodes
    EXPECT_EQ(shape(t), tall);
  }
  EXPECT_EQ(got, range(1, 7));
  for (int k = 1; k <= 7; ++k) t.get(k);
  EXPECT_EQ(shape(t), tall);
  map_rng_pop_end(&itr);
  for (int k = 1; k <= 7; ++k) t.get(k);
  EXPECT_NE(shape(t), tall);
  err_no = 0;
}

TEST(MapRngPop, SeveralIteratorsAtOnce) {
  tmap t;
  for (int k : {4, 2, 6, 1, 3, 5, 7}) t.put(k);
  map_itr a{}, b{};
  map_rng_pop_ini(&t.m, nullptr, nullptr, nullptr, &a);
  map_rng_pop_ini(&t.m, nullptr, nullptr, nullptr, &b);
  EXPECT_EQ(t.m.rtt_lck, 2);
  std::vector<int> ga, gb;
  void* n = nullptr;
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(map_rng_pop(&a, &n), 0);
    ga.push_back(static_cast<tnod*>(n)->key);
    if (i % 2 == 0) {
      ASSERT_EQ(map_rng_pop(&b, &n), 0);
      gb.push_back(static_cast<tnod*>(n)->key);
    }
  }
  map_rng_pop_end(&a);  // frames left in b are freed by its own end
  EXPECT_EQ(t.m.rtt_lck, 1);
  EXPECT_EQ(ga, range(1, 7));
  EXPECT_EQ(gb, range(1, 4));
  map_rng_pop_end(&b);
  EXPECT_EQ(t.m.rtt_lck, 0);
  err_no = 0;
}

TEST(MapRngPop, ContiguousRunsByParentOverManyShapes) {
  std::mt19937 rng(3);
  std::vector<int> ks;
  for (int p = 1; p <= 6; ++p)
    for (int c = 0; c < (p * 7) % 11 + 1; ++c) ks.push_back(p * 100 + c);
  for (int rep = 0; rep < 40; ++rep) {
    std::shuffle(ks.begin(), ks.end(), rng);
    tmap t;
    for (int k : ks) t.put(k);
    for (int i = 0; i < rep; ++i) t.get(ks[i % ks.size()]);  // vary the repair state
    for (int p = 0; p <= 7; ++p) {
      std::vector<int> want;
      for (int k : ks)
        if (k / 100 == p) want.push_back(k);
      std::sort(want.begin(), want.end());
      const int key = p * 100 + 50;
      map_itr itr{};
      const int r = _map_rng_pop_set(&t.m, &key, by_parent, kArg, &itr, 1);
      ASSERT_EQ(r, want.empty() ? 1 : 0);
      EXPECT_EQ(drain(&itr), want) << "rep " << rep << " parent " << p;
      map_rng_pop_end(&itr);
    }
  }
  err_no = 0;
}

TEST(MapRngPop, RunHiddenBelowNodesPastItsEnd) {
  // 400 (root) -> right 602 -> left 500 -> left 402: the rest of the run sits two
  // non-matching steps down, on the left.
  tmap t;
  map_rtt_lck(&t.m, 1);
  for (int k : {400, 602, 500, 402, 401, 403, 501, 300, 399}) t.put(k);
  map_rtt_lck(&t.m, 0);
  const int key = 450;
  map_itr itr{};
  ASSERT_EQ(_map_rng_pop_set(&t.m, &key, by_parent, kArg, &itr, 1), 0);
  EXPECT_EQ(drain(&itr), (std::vector<int>{400, 401, 402, 403}));
  map_rng_pop_end(&itr);
  // And a run hidden below nodes before its start, on the right.
  const int key3 = 350;
  ASSERT_EQ(_map_rng_pop_set(&t.m, &key3, by_parent, kArg, &itr, 1), 0);
  EXPECT_EQ(drain(&itr), (std::vector<int>{300, 399}));
  map_rng_pop_end(&itr);
  err_no = 0;
}

TEST(MapRngPop, CorruptFrameIsAFailure) {
  tmap t;
  t.put(1);
  map_itr itr{};
  map_rng_pop_ini(&t.m, nullptr, nullptr, nullptr, &itr);
  map_itr_frm* bad = nullptr;
  ASSERT_EQ(_malloc0(&bad, static_cast<int>(sizeof *bad)), 0);
  bad->prv = itr.stk;
  itr.stk = bad;
  err_no = 1;  // a leftover clean end must not mask the failure
  void* n = nullptr;
  EXPECT_EQ(map_rng_pop(&itr, &n), -1);
  EXPECT_EQ(err_no, -1);
  EXPECT_EQ(map_rng_pop_end(&itr), 0);
  EXPECT_EQ(itr.stk, nullptr);
  err_no = 0;
}

// ---------------------------------------------------------------------------------------------
// Byte-record maps: six-byte records with a two-byte key, links and colour after the record.

constexpr int kRec = 6, kKey = 2;
void* const kStArg = reinterpret_cast<void*>(static_cast<uintptr_t>((kRec << 16) | kKey));

struct st_fixture : ::testing::Test {
  map m{};
  void SetUp() override {
    map_set(&m, &st_map, kStArg, kRec, kRec + static_cast<int16_t>(sizeof(void*)), 0,
            kRec + 2 * static_cast<int16_t>(sizeof(void*)), 1);
  }
  void TearDown() override { map_end(&m); }
  int put(std::vector<unsigned char> rec, void** out = nullptr, int mode = 0) {
    return map_put(&m, rec.data(), out, mode);
  }
  std::vector<unsigned char> get(unsigned char k0, unsigned char k1) {
    const unsigned char key[2] = {k0, k1};
    void* n = nullptr;
    if (map_get(&m, key, &n) != 0) return {};
    auto* b = static_cast<unsigned char*>(n);
    return {b, b + kRec};
  }
};
using StMap = st_fixture;

TEST_F(StMap, PutGetDelOfByteRecords) {
  void* n = nullptr;
  ASSERT_EQ(put({0x02, 0x01, 0xAA, 0xBB, 0xCC, 0xDD}, &n), 0);
  // The node is a registered block of record size plus the link room.
  EXPECT_EQ(rscmng_chk(nullptr, n, kRec + ST_MAP_XTR, 0, __FILE__, __LINE__, "test", "check"), 0);
  ASSERT_EQ(put({0x01, 0x02, 1, 2, 3, 4}), 0);
  ASSERT_EQ(put({0x01, 0xFF, 5, 6, 7, 8}), 0);
  EXPECT_EQ(get(0x01, 0x02), (std::vector<unsigned char>{0x01, 0x02, 1, 2, 3, 4}));
  EXPECT_TRUE(get(0x03, 0x00).empty());

  // Update in place copies the whole record; replace makes a fresh registered node.
  void* before = nullptr;
  ASSERT_EQ(put({0x02, 0x01, 9, 9, 9, 9}, &before), 0);
  EXPECT_EQ(before, n);
  EXPECT_EQ(get(0x02, 0x01), (std::vector<unsigned char>{0x02, 0x01, 9, 9, 9, 9}));
  void* after = nullptr;
  ASSERT_EQ(put({0x02, 0x01, 7, 7, 7, 7}, &after, MAP_PUT_RPL), 0);
  EXPECT_NE(after, nullptr);
  EXPECT_EQ(get(0x02, 0x01), (std::vector<unsigned char>{0x02, 0x01, 7, 7, 7, 7}));
  EXPECT_EQ(rscmng_chk(nullptr, after, kRec + ST_MAP_XTR, 0, __FILE__, __LINE__, "test", "check"),
            0);

  // Byte order: 01 02 < 01 FF < 02 01.
  map_itr itr{};
  ASSERT_EQ(map_rng_pop_ini(&m, nullptr, nullptr, nullptr, &itr), 0);
  std::vector<unsigned> order;
  void* o = nullptr;
  while (map_rng_pop(&itr, &o) == 0) {
    auto* b = static_cast<unsigned char*>(o);
    order.push_back(b[0] << 8 | b[1]);
  }
  map_rng_pop_end(&itr);
  EXPECT_EQ(order, (std::vector<unsigned>{0x0102, 0x01FF, 0x0201}));

  const unsigned char k[2] = {0x01, 0xFF};
  EXPECT_EQ(map_del(&m, k), 0);
  EXPECT_EQ(map_del(&m, k), 1);
  EXPECT_TRUE(get(0x01, 0xFF).empty());
  EXPECT_EQ(get(0x01, 0x02).size(), static_cast<size_t>(kRec));
  err_no = 0;
}

TEST_F(StMap, PrintsRecordBytesInHex) {
  void* n = nullptr;
  ASSERT_EQ(put({0x0A, 0xFF, 0x00, 0x7E, 0x10, 0xC3}, &n), 0);
  char* text = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&text, &len);
  ASSERT_NE(f, nullptr);
  st_map.prt(f, n, kStArg);
  std::fclose(f);
  EXPECT_STREQ(text, "0A FF 00 7E 10 C3");
  std::free(text);

  // A zero-size record prints nothing; a single byte has no separator.
  text = nullptr;
  f = open_memstream(&text, &len);
  st_map_prt(f, n, reinterpret_cast<void*>(static_cast<uintptr_t>(kKey)));
  st_map_prt(f, n, reinterpret_cast<void*>(static_cast<uintptr_t>(1 << 16)));
  std::fclose(f);
  EXPECT_STREQ(text, "0A");
  std::free(text);
}

TEST_F(StMap, ARecordThatCannotBeMadeIsNotStored) {
  ASSERT_EQ(put({0x01, 0x01, 1, 1, 1, 1}), 0);
  // Every heap call of a put failing in turn: the put fails and stores nothing, or absorbs
  // the failure and stores the record.
  int failed = 0;
  for (uint64_t k = 1;; ++k) {
    err_no = 0;
    const uint64_t c0 = heap_cnt();
    heap_fail_set(k);
    const int r = put({0x05, 0x05, 5, 5, 5, 5});
    heap_fail_set(0);
    if (heap_cnt() - c0 < k) {
      EXPECT_EQ(r, 0);
      break;
    }
    if (r != 0) {
      ++failed;
      EXPECT_EQ(r, -1);
      EXPECT_TRUE(get(0x05, 0x05).empty()) << k;
    } else {
      EXPECT_EQ(get(0x05, 0x05).size(), static_cast<size_t>(kRec)) << k;
      const unsigned char key[2] = {0x05, 0x05};
      ASSERT_EQ(map_del(&m, key), 0);
    }
  }
  EXPECT_GE(failed, 1);
  // An existing key found with KEEP and no out parameter: the record stays as it was.
  EXPECT_EQ(put({0x01, 0x01, 9, 9, 9, 9}, nullptr, MAP_PUT_KEEP), 1);
  EXPECT_EQ(get(0x01, 0x01), (std::vector<unsigned char>{0x01, 0x01, 1, 1, 1, 1}));
  st_map_del(nullptr, kStArg);   // nothing to release
  err_no = 0;
}

}  // namespace
