#include "base/containers/map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "base/diag/err.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Plain aligned nodes for the shape tests.

struct tnod {
  int key;
  int val;
  tnod* l;
  tnod* r;
  uint8_t clr;
};

struct tctx {
  int mak_cnt = 0;
  int del_cnt = 0;
  int cpy_cnt = 0;
  bool mak_fail = false;
  bool cpy_fail = false;
  std::vector<int> del_keys;
  std::vector<tnod*> live;
};

int tcmp(const void* k, const void* nk, void*) {
  const int a = *static_cast<const int*>(k);
  const int b = *static_cast<const int*>(nk);
  return (a > b) - (a < b);
}
int tcpy(void* n, const void* d, void* arg) {
  auto* c = static_cast<tctx*>(arg);
  ++c->cpy_cnt;
  if (c->cpy_fail) return -1;
  static_cast<tnod*>(n)->val = static_cast<const tnod*>(d)->val;
  return 0;
}
int tmak(void** out, const void* d, void* arg) {
  auto* c = static_cast<tctx*>(arg);
  ++c->mak_cnt;
  if (c->mak_fail) return -1;
  auto* n = new tnod(*static_cast<const tnod*>(d));
  n->l = n->r = reinterpret_cast<tnod*>(0x1);  // garbage the map must overwrite
  n->clr = 0;
  c->live.push_back(n);
  *out = n;
  return 0;
}
void tdel(void* n, void* arg) {
  auto* c = static_cast<tctx*>(arg);
  ++c->del_cnt;
  c->del_keys.push_back(static_cast<tnod*>(n)->key);
  c->live.erase(std::find(c->live.begin(), c->live.end(), static_cast<tnod*>(n)));
  delete static_cast<tnod*>(n);
}
const map_ops tops = {tcmp, tcpy, tmak, tdel, nullptr};

struct tmap {
  tctx ctx;
  map m{};
  tmap() {
    map_set(&m, &tops, &ctx, offsetof(tnod, l), offsetof(tnod, r), offsetof(tnod, key),
            offsetof(tnod, clr), 1);
  }
  ~tmap() { map_end(&m); }
  int put(int key, int val = 0, int mode = 0, tnod** out = nullptr) {
    tnod d{key, val, nullptr, nullptr, 0};
    void* o = nullptr;
    const int r = map_put(&m, &d, &o, mode);
    if (out != nullptr) *out = static_cast<tnod*>(o);
    return r;
  }
  tnod* get(int key) {
    void* o = nullptr;
    return map_get(&m, &key, &o) == 0 ? static_cast<tnod*>(o) : nullptr;
  }
  tnod* root() const { return static_cast<tnod*>(m.root); }
};

int height(const tnod* n) { return n == nullptr ? 0 : 1 + std::max(height(n->l), height(n->r)); }
void inorder(const tnod* n, std::vector<int>& out) {
  if (n == nullptr) return;
  inorder(n->l, out);
  out.push_back(n->key);
  inorder(n->r, out);
}
std::vector<int> keys(const tmap& t) {
  std::vector<int> v;
  inorder(t.root(), v);
  return v;
}
// Structure and colours, for "did anything move" checks.
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
std::vector<int> range(int a, int b) {
  std::vector<int> v;
  for (int i = a; i <= b; ++i) v.push_back(i);
  return v;
}

TEST(MapShape, AscendingInsertsThenLookupsRepairTheTree) {
  tmap t;
  for (int k = 1; k <= 7; ++k) ASSERT_EQ(t.put(k), 0);
  EXPECT_EQ(t.root()->key, 2);
  EXPECT_EQ(height(t.root()), 5);
  EXPECT_EQ(keys(t), range(1, 7));

  for (int k = 1; k <= 7; ++k) {
    tnod* n = t.get(k);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->key, k);
  }
  EXPECT_EQ(t.root()->key, 4);
  EXPECT_EQ(height(t.root()), 3);
  EXPECT_EQ(keys(t), range(1, 7));
  EXPECT_EQ(t.m.cmp_max, 4u);
  EXPECT_EQ(t.ctx.mak_cnt, 7);
  EXPECT_EQ(t.ctx.del_cnt, 0);
}

TEST(MapShape, RotationLockFreezesTheShape) {
  tmap t;
  for (int k = 1; k <= 7; ++k) t.put(k);
  const std::string before = shape(t.root());
  map_rtt_lck(&t.m, 1);
  map_rtt_lck(&t.m, 1);
  EXPECT_EQ(t.m.rtt_lck, 2);
  for (int round = 0; round < 3; ++round)
    for (int k = 0; k <= 8; ++k) t.get(k);
  map_rtt_lck(&t.m, 0);
  for (int k = 1; k <= 7; ++k) t.get(k);
  EXPECT_EQ(shape(t.root()), before);
  map_rtt_lck(&t.m, 0);
  EXPECT_EQ(t.m.rtt_lck, 0);
  for (int k = 1; k <= 7; ++k) t.get(k);
  EXPECT_NE(shape(t.root()), before);
  EXPECT_EQ(keys(t), range(1, 7));
}

TEST(MapShape, EndDeletesEveryNodeParentFirstAndKeepsCounters) {
  tmap t;
  for (int k : {5, 3, 8, 1, 4, 7, 9, 2, 6}) t.put(k);
  for (int k = 1; k <= 9; ++k) t.get(k);
  map_rtt_lck(&t.m, 1);
  const int root_key = t.root()->key;
  const uint32_t cmp_max = t.m.cmp_max;
  map_end(&t.m);
  EXPECT_EQ(t.root(), nullptr);
  EXPECT_EQ(t.ctx.del_cnt, 9);
  EXPECT_TRUE(t.ctx.live.empty());
  ASSERT_FALSE(t.ctx.del_keys.empty());
  EXPECT_EQ(t.ctx.del_keys.front(), root_key);
  EXPECT_EQ(t.m.cmp_max, cmp_max);
  EXPECT_EQ(t.m.rtt_lck, 1);
  map_end(&t.m);  // empty: nothing more to delete
  EXPECT_EQ(t.ctx.del_cnt, 9);
}

// ---------------------------------------------------------------------------------------------
// Put modes.

TEST(MapPut, DefaultModeInsertsThenUpdatesInPlace) {
  tmap t;
  tnod* a = nullptr;
  ASSERT_EQ(t.put(7, 70, 0, &a), 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->key, 7);
  tnod* b = nullptr;
  ASSERT_EQ(t.put(7, 71, 0, &b), 0);
  EXPECT_EQ(b, a);
  EXPECT_EQ(a->val, 71);
  EXPECT_EQ(t.ctx.mak_cnt, 1);
  EXPECT_EQ(t.ctx.cpy_cnt, 1);
  EXPECT_EQ(t.put(8, 80), 0);  // out may be NULL
  EXPECT_EQ(keys(t), (std::vector<int>{7, 8}));
}

TEST(MapPut, UpdateOnlyInsertsNothing) {
  tmap t;
  tnod* o = reinterpret_cast<tnod*>(0x10);
  EXPECT_EQ(t.put(4, 40, MAP_PUT_UPD, &o), 1);
  EXPECT_EQ(t.root(), nullptr);
  EXPECT_EQ(t.ctx.mak_cnt, 0);
  t.put(4, 40);
  EXPECT_EQ(t.put(4, 41, MAP_PUT_UPD, &o), 0);
  EXPECT_EQ(o->val, 41);
  EXPECT_EQ(t.ctx.mak_cnt, 1);
}

TEST(MapPut, KeepExistingHandsBackTheOldNode) {
  tmap t;
  tnod* first = nullptr;
  ASSERT_EQ(t.put(4, 40, MAP_PUT_KEEP, &first), 0);
  tnod* o = nullptr;
  EXPECT_EQ(t.put(4, 99, MAP_PUT_KEEP, &o), 1);
  EXPECT_EQ(o, first);
  EXPECT_EQ(first->val, 40);
  EXPECT_EQ(t.ctx.cpy_cnt, 0);
  EXPECT_EQ(t.ctx.mak_cnt, 1);
}

struct rpl_watch {
  tmap* t;
  tnod* old;
  tnod* neu = nullptr;
  bool new_linked_at_del = false;
  bool old_linked_at_del = true;
};
rpl_watch* g_watch = nullptr;

bool reachable(const tnod* n, const tnod* x) {
  return n != nullptr && (n == x || reachable(n->l, x) || reachable(n->r, x));
}
void watch_del(void* n, void* arg) {
  if (g_watch != nullptr && n == g_watch->old) {
    g_watch->new_linked_at_del = reachable(g_watch->t->root(), g_watch->neu);
    g_watch->old_linked_at_del = reachable(g_watch->t->root(), g_watch->old);
  }
  tdel(n, arg);
}
int watch_mak(void** out, const void* d, void* arg) {
  const int r = tmak(out, d, arg);
  if (g_watch != nullptr && r == 0) g_watch->neu = static_cast<tnod*>(*out);
  return r;
}

TEST(MapPut, ReplaceTakesOverLinksAndColourThenDeletesTheOldNode) {
  const map_ops ops = {tcmp, tcpy, watch_mak, watch_del, nullptr};
  tmap t;
  t.m.ops = &ops;
  for (int k = 1; k <= 9; ++k) t.put(k, k * 10);
  for (int k = 1; k <= 9; ++k) t.get(k);
  // Replace an inner node; the lock keeps the search from moving it after the snapshot.
  map_rtt_lck(&t.m, 1);
  tnod* old = t.root()->l;
  const tnod snap = *old;
  rpl_watch w{&t, old};
  g_watch = &w;
  tnod* o = nullptr;
  ASSERT_EQ(t.put(old->key, 500, MAP_PUT_RPL, &o), 0);
  g_watch = nullptr;
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o, w.neu);
  EXPECT_NE(o, old);
  EXPECT_EQ(o->val, 500);
  EXPECT_EQ(o->l, snap.l);
  EXPECT_EQ(o->r, snap.r);
  EXPECT_EQ(o->clr & 1, snap.clr & 1);
  EXPECT_TRUE(w.new_linked_at_del);
  EXPECT_FALSE(w.old_linked_at_del);
  EXPECT_EQ(t.ctx.del_cnt, 1);
  EXPECT_EQ(t.ctx.cpy_cnt, 0);
  EXPECT_EQ(keys(t), range(1, 9));
  EXPECT_EQ(t.root()->l, o);
  map_rtt_lck(&t.m, 0);

  // Replace mode on an absent key is a plain insert.
  EXPECT_EQ(t.put(20, 1, MAP_PUT_RPL), 0);
  EXPECT_NE(t.get(20), nullptr);
}

TEST(MapPut, CallbackFailuresLinkInNothingAndRemoveNothing) {
  tmap t;
  for (int k = 1; k <= 5; ++k) t.put(k, k);
  const std::vector<int> before = keys(t);

  t.ctx.mak_fail = true;
  tnod* o = nullptr;
  EXPECT_EQ(t.put(9, 9, 0, &o), -1);
  EXPECT_EQ(o, nullptr);
  EXPECT_EQ(t.put(3, 33, MAP_PUT_RPL), -1);
  EXPECT_EQ(keys(t), before);
  EXPECT_EQ(t.ctx.del_cnt, 0);
  EXPECT_EQ(t.get(3)->val, 3);
  t.ctx.mak_fail = false;

  t.ctx.cpy_fail = true;
  EXPECT_EQ(t.put(3, 33), -1);
  t.ctx.cpy_fail = false;

  // A map without an update operation refuses an in-place update.
  const map_ops no_cpy = {tcmp, nullptr, tmak, tdel, nullptr};
  t.m.ops = &no_cpy;
  EXPECT_EQ(t.put(3, 34), -1);
  EXPECT_EQ(t.get(3)->val, 3);
  EXPECT_EQ(keys(t), before);
  t.m.ops = &tops;
}

TEST(MapPut, LeavesStatusWordAlone) {
  err_no = 0x1234;
  tmap t;
  t.put(1);
  t.put(1, 0, MAP_PUT_KEEP);
  t.put(2, 0, MAP_PUT_UPD);
  t.ctx.mak_fail = true;
  t.put(3);
  t.ctx.mak_fail = false;
  t.get(9);
  int k = 1;
  map_del(&t.m, &k);
  map_del(&t.m, &k);
  EXPECT_EQ(err_no, 0x1234);
  err_no = 0;
}

// ---------------------------------------------------------------------------------------------
// Deletion. Trees are built under the rotation lock so their shape is the insertion order's.

void build_locked(tmap& t, std::initializer_list<int> ks) {
  map_rtt_lck(&t.m, 1);
  for (int k : ks) t.put(k);
  map_rtt_lck(&t.m, 0);
}
void paint(tnod* n, bool red) { n->clr = red ? 1 : 0; }

TEST(MapDel, AbsentKeyAndSingleRoot) {
  tmap t;
  int k = 1;
  EXPECT_EQ(map_del(&t.m, &k), 1);
  t.put(1);
  k = 2;
  EXPECT_EQ(map_del(&t.m, &k), 1);
  EXPECT_EQ(t.ctx.del_cnt, 0);
  k = 1;
  EXPECT_EQ(map_del(&t.m, &k), 0);
  EXPECT_EQ(t.root(), nullptr);
  EXPECT_EQ(t.ctx.del_cnt, 1);
  EXPECT_EQ(map_del(&t.m, &k), 1);
}

TEST(MapDel, TwoChildrenTakesThePredecessor) {
  tmap t;
  build_locked(t, {4, 2, 6, 1, 3, 5, 7});
  int k = 4;
  ASSERT_EQ(map_del(&t.m, &k), 0);
  EXPECT_EQ(t.ctx.del_keys, std::vector<int>{4});
  ASSERT_EQ(t.root()->key, 3);
  EXPECT_EQ(t.root()->l->key, 2);
  EXPECT_EQ(t.root()->r->key, 6);
  EXPECT_EQ(t.root()->l->r, nullptr);
  EXPECT_EQ(keys(t), (std::vector<int>{1, 2, 3, 5, 6, 7}));

  // Predecessor is the left child itself (no right child): it moves up with its left subtree.
  k = 2;
  ASSERT_EQ(map_del(&t.m, &k), 0);
  EXPECT_EQ(t.root()->l->key, 1);
  EXPECT_EQ(keys(t), (std::vector<int>{1, 3, 5, 6, 7}));

  // No left child: the right subtree moves up.
  k = 1;
  ASSERT_EQ(map_del(&t.m, &k), 0);
  k = 3;
  ASSERT_EQ(map_del(&t.m, &k), 0);
  EXPECT_EQ(t.root()->key, 6);
  EXPECT_EQ(keys(t), (std::vector<int>{5, 6, 7}));
  EXPECT_EQ(t.ctx.live.size(), 3u);
}

TEST(MapDel, PredecessorLeavesItsLeftSubtreeBehind) {
  tmap t;
  build_locked(t, {8, 4, 12, 2, 6, 5});
  int k = 8;
  ASSERT_EQ(map_del(&t.m, &k), 0);
  tnod* r = t.root();
  ASSERT_EQ(r->key, 6);
  ASSERT_EQ(r->l->key, 4);
  EXPECT_EQ(r->r->key, 12);
  ASSERT_NE(r->l->r, nullptr);
  EXPECT_EQ(r->l->r->key, 5);
  EXPECT_EQ(keys(t), (std::vector<int>{2, 4, 5, 6, 12}));
}

TEST(MapDel, BlackPredecessorIsRepairedAtTheFirstRedAncestor) {
  tmap t;
  build_locked(t, {8, 4, 12, 2, 6, 5});
  for (tnod* n : t.ctx.live) paint(n, false);
  paint(t.root()->l, true);  // 4 red, predecessor 6 black
  int k = 8;
  ASSERT_EQ(map_del(&t.m, &k), 0);
  tnod* r = t.root();
  ASSERT_EQ(r->key, 6);
  EXPECT_EQ(r->clr & 1, 0);        // keeps its own colour
  EXPECT_EQ(r->l->clr & 1, 0);     // 4 absorbed the deficit
  EXPECT_EQ(r->l->l->clr & 1, 1);  // 2
  EXPECT_EQ(r->l->r->clr & 1, 1);  // 5
  EXPECT_EQ(r->r->clr & 1, 0);     // 12 untouched

  // A red predecessor leaves no deficit: nothing is recoloured.
  tmap u;
  build_locked(u, {8, 4, 12, 2, 6});
  for (tnod* n : u.ctx.live) paint(n, false);
  paint(u.root()->l, true);
  paint(u.root()->l->r, true);
  ASSERT_EQ(map_del(&u.m, &k), 0);
  EXPECT_EQ(shape(u.root()), "(((.2b.)4r.)6r(.12b.))");
}

// ---------------------------------------------------------------------------------------------
// Range walk.

struct visit_log {
  std::vector<int> keys;
  int stop_after = -1;
};
int log_visit(void* n, void* user) {
  auto* v = static_cast<visit_log*>(user);
  v->keys.push_back(static_cast<tnod*>(n)->key);
  return static_cast<int>(v->keys.size()) == v->stop_after;
}
// Keys grouped by tens: a node matches when it is in the key's group.
int by_tens(const void* k, const void* nk, void*) {
  const int a = *static_cast<const int*>(k) / 10;
  const int b = *static_cast<const int*>(nk) / 10;
  return (a > b) - (a < b);
}

TEST(MapRng, WholeMapInOrderAndEarlyStop) {
  tmap t;
  visit_log v;
  EXPECT_EQ(map_rng(&t.m, nullptr, nullptr, log_visit, &v), 0);
  EXPECT_TRUE(v.keys.empty());
  for (int k : {5, 9, 1, 7, 3, 8, 2, 6, 4}) t.put(k);
  EXPECT_EQ(map_rng(&t.m, nullptr, nullptr, log_visit, &v), 0);
  EXPECT_EQ(v.keys, range(1, 9));

  visit_log s;
  s.stop_after = 1;
  EXPECT_EQ(map_rng(&t.m, nullptr, nullptr, log_visit, &s), 1);
  EXPECT_EQ(s.keys, std::vector<int>{1});

  visit_log s3;
  s3.stop_after = 3;
  int key = 0;
  EXPECT_EQ(map_rng(&t.m, &key, by_tens, log_visit, &s3), 1);
  EXPECT_EQ(s3.keys, range(1, 3));
}

TEST(MapRng, RangeCompareVisitsExactlyTheRun) {
  std::mt19937 rng(7);
  std::vector<int> ks = range(0, 59);
  for (int rep = 0; rep < 20; ++rep) {
    std::shuffle(ks.begin(), ks.end(), rng);
    tmap t;
    for (int k : ks) t.put(k);
    for (int g = 0; g < 6; ++g) {
      visit_log v;
      const int key = g * 10 + 5;
      ASSERT_EQ(map_rng(&t.m, &key, by_tens, log_visit, &v), 0);
      ASSERT_EQ(v.keys, range(g * 10, g * 10 + 9)) << "rep " << rep << " group " << g;
    }
    visit_log none;
    const int key = 95;
    EXPECT_EQ(map_rng(&t.m, &key, by_tens, log_visit, &none), 1);
    EXPECT_TRUE(none.keys.empty());
    EXPECT_EQ(keys(t), range(0, 59));
  }
}

// ---------------------------------------------------------------------------------------------
// Randomized model check with packed byte records: the colour byte shares bits with a tag,
// links and key sit at odd offsets.

struct pk_layout {
  int16_t a;  // left link offset
  int16_t lnk_r() const { return static_cast<int16_t>(a + sizeof(void*)); }
  int16_t key() const { return static_cast<int16_t>(a + 2 * sizeof(void*)); }
  int16_t val() const { return static_cast<int16_t>(key() + 4); }
  size_t size() const { return static_cast<size_t>(val() + 4); }
};
constexpr uint8_t PK_RED = 0x80;
constexpr uint8_t PK_TAG = 0x35;

struct pk_ctx {
  pk_layout lay;
  long live = 0;
};
int rd_i32(const void* p) {
  int v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
int pk_cmp(const void* k, const void* nk, void*) {
  const int a = rd_i32(k), b = rd_i32(nk);
  return (a > b) - (a < b);
}
int pk_cpy(void* n, const void* d, void* arg) {
  const auto& l = static_cast<pk_ctx*>(arg)->lay;
  std::memcpy(static_cast<char*>(n) + l.val(), static_cast<const char*>(d) + l.val(), 4);
  return 0;
}
int pk_mak(void** out, const void* d, void* arg) {
  auto* c = static_cast<pk_ctx*>(arg);
  auto* n = static_cast<unsigned char*>(std::malloc(c->lay.size()));
  std::memcpy(n, d, c->lay.size());
  ++c->live;
  *out = n;
  return 0;
}
void pk_del(void* n, void* arg) {
  --static_cast<pk_ctx*>(arg)->live;
  std::free(n);
}
const map_ops pk_ops = {pk_cmp, pk_cpy, pk_mak, pk_del, nullptr};

void* pk_lnk(const void* n, int16_t ofs) {
  void* v;
  std::memcpy(&v, static_cast<const char*>(n) + ofs, sizeof v);
  return v;
}
// In-order walk of the test's own, checking tags on the way.
void pk_walk(const map& m, const void* n, std::vector<std::pair<int, int>>& out, bool& tags_ok,
             int depth, int& h) {
  if (n == nullptr) return;
  h = std::max(h, depth);
  const auto* b = static_cast<const unsigned char*>(n);
  tags_ok = tags_ok && (b[0] & 0x7F) == PK_TAG;
  pk_walk(m, pk_lnk(n, m.lnk_l), out, tags_ok, depth + 1, h);
  out.emplace_back(rd_i32(b + m.key_ofs), rd_i32(b + m.key_ofs + 4));
  pk_walk(m, pk_lnk(n, m.lnk_r), out, tags_ok, depth + 1, h);
}

struct pk_map {
  pk_ctx ctx;
  map m{};
  std::vector<unsigned char> rec;
  explicit pk_map(int16_t a) {
    ctx.lay.a = a;
    rec.assign(ctx.lay.size(), 0);
    rec[0] = PK_TAG | PK_RED;  // the map must set the red bit itself, not copy it
    map_set(&m, &pk_ops, &ctx, a, ctx.lay.lnk_r(), ctx.lay.key(), 0, PK_RED);
  }
  ~pk_map() { map_end(&m); }
  const unsigned char* data(int key, int val) {
    std::memcpy(rec.data() + ctx.lay.key(), &key, 4);
    std::memcpy(rec.data() + ctx.lay.val(), &val, 4);
    return rec.data();
  }
};

int pk_rng_visit(void* n, void* user) {
  auto* p = static_cast<std::pair<const map*, std::vector<int>*>*>(user);
  p->second->push_back(rd_i32(static_cast<char*>(n) + p->first->key_ofs));
  return 0;
}
// Matches keys within [lo, lo + 3].
int pk_rng_cmp(const void* k, const void* nk, void*) {
  const int lo = rd_i32(k), x = rd_i32(nk);
  return x < lo ? 1 : (x > lo + 3 ? -1 : 0);
}

class MapModel : public ::testing::TestWithParam<int> {};

TEST_P(MapModel, MatchesStdMapOverMixedOperations) {
  pk_map pm(static_cast<int16_t>(GetParam()));
  std::map<int, int> model;
  std::mt19937 rng(20240611u + GetParam());
  constexpr int kKeys = 48;
  std::uniform_int_distribution<int> key_d(0, kKeys - 1), op_d(0, 99);
  std::vector<std::pair<int, int>> seen;
  for (int step = 0; step < 100000; ++step) {
    const int k = key_d(rng);
    const int op = op_d(rng);
    const int v = step;
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op) + " key " +
                 std::to_string(k));
    const bool present = model.count(k) != 0;
    if (op < 35) {
      const int mode = op < 20 ? 0 : op < 25 ? MAP_PUT_UPD : op < 30 ? MAP_PUT_KEEP : MAP_PUT_RPL;
      void* out = nullptr;
      const int r = map_put(&pm.m, pm.data(k, v), &out, mode);
      if (mode == MAP_PUT_UPD && !present) {
        ASSERT_EQ(r, 1);
      } else if (mode == MAP_PUT_KEEP && present) {
        ASSERT_EQ(r, 1);
        ASSERT_EQ(rd_i32(static_cast<char*>(out) + pm.m.key_ofs + 4), model[k]);
      } else {
        ASSERT_EQ(r, 0);
        model[k] = v;
        ASSERT_EQ(rd_i32(static_cast<char*>(out) + pm.m.key_ofs), k);
      }
    } else if (op < 65) {
      ASSERT_EQ(map_del(&pm.m, pm.data(k, 0) + pm.m.key_ofs), present ? 0 : 1);
      model.erase(k);
    } else if (op < 92) {
      void* out = nullptr;
      const int r = map_get(&pm.m, pm.data(k, 0) + pm.m.key_ofs, &out);
      ASSERT_EQ(r, present ? 0 : 1);
      if (present) {
        ASSERT_EQ(rd_i32(static_cast<char*>(out) + pm.m.key_ofs + 4), model[k]);
      }
    } else {
      std::vector<int> got, want;
      std::pair<const map*, std::vector<int>*> u{&pm.m, &got};
      for (auto it = model.lower_bound(k); it != model.end() && it->first <= k + 3; ++it)
        want.push_back(it->first);
      const int r = map_rng(&pm.m, pm.data(k, 0) + pm.m.key_ofs, pk_rng_cmp, pk_rng_visit, &u);
      ASSERT_EQ(r, want.empty() ? 1 : 0);
      ASSERT_EQ(got, want);
    }
    seen.clear();
    bool tags_ok = true;
    int h = 0;
    pk_walk(pm.m, pm.m.root, seen, tags_ok, 1, h);
    ASSERT_TRUE(tags_ok);
    ASSERT_EQ(seen.size(), model.size());
    ASSERT_EQ(seen, (std::vector<std::pair<int, int>>(model.begin(), model.end())));
    ASSERT_EQ(pm.ctx.live, static_cast<long>(model.size()));
  }
}
INSTANTIATE_TEST_SUITE_P(UnalignedLinks, MapModel, ::testing::Values(1, 2));

// Size figures for a large random map: printed, and held to a loose sanity bound.
TEST(MapScale, HundredThousandRandomKeys) {
  pk_map pm(1);
  std::mt19937 rng(99);
  std::vector<int> ks(100000);
  for (size_t i = 0; i < ks.size(); ++i) ks[i] = static_cast<int>(i) * 7;
  std::shuffle(ks.begin(), ks.end(), rng);
  for (int k : ks) ASSERT_EQ(map_put(&pm.m, pm.data(k, k), nullptr, 0), 0);
  std::vector<std::pair<int, int>> seen;
  bool tags_ok = true;
  int h1 = 0;
  pk_walk(pm.m, pm.m.root, seen, tags_ok, 1, h1);
  const uint32_t max1 = pm.m.cmp_max;
  for (int k : ks) ASSERT_EQ(map_get(&pm.m, pm.data(k, 0) + pm.m.key_ofs, nullptr), 0);
  seen.clear();
  int h2 = 0;
  pk_walk(pm.m, pm.m.root, seen, tags_ok, 1, h2);
  const uint32_t max2 = pm.m.cmp_max;
  std::printf("after inserts: height %d cmp_max %u; after lookups: height %d cmp_max %u\n", h1,
              max1, h2, max2);
  RecordProperty("height_insert", h1);
  RecordProperty("cmp_max_insert", static_cast<int>(max1));
  RecordProperty("height_lookup", h2);
  RecordProperty("cmp_max_lookup", static_cast<int>(max2));
  ASSERT_EQ(seen.size(), ks.size());
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  // log2(100000) is about 17; a degenerate tree would be thousands deep.
  EXPECT_LT(h1, 60);
  EXPECT_LT(h2, 60);
  EXPECT_GE(max2, max1);
}

}  // namespace
