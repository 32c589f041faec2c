// The notation writer: values, keys with their paths, pairs, the output it appends to, a
// whole vmap in group and path mode byte for byte, and every heap call failing in turn.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "alloc_util.h"
#include "base/diag/heap.h"
#include "vtext_util.h"

namespace {

class CstreamVmap : public st::Fixture {
 protected:
  vmap vm{};
  void SetUp() override {
    st::Fixture::SetUp();
    ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
  }
  void TearDown() override {
    vmap_end(&vm);
    st::Fixture::TearDown();
  }
  vtyp* txt(vtyp* prn, const char* k, const char* v) {
    vtyp* e = nullptr;
    EXPECT_EQ(_vmap_put_str_str(&vm, prn, k, v, &e, 0), 0);
    return e;
  }
  vtyp* num(vtyp* prn, const char* k, int32_t v) {
    vtyp* e = nullptr;
    EXPECT_EQ(_vmap_put_str_int(&vm, prn, k, v, &e, 0), 0);
    return e;
  }
  vtyp* nul(vtyp* prn, const char* k) {
    vtyp* e = nullptr;
    EXPECT_EQ(_vmap_put_str_nul(&vm, prn, k, &e, 0), 0);
    return e;
  }
};

vtyp* val_node(vtyp* ent) {
  vtyp* v = nullptr;
  EXPECT_EQ(vtyp_get_lnk(ent, &v, 0), 0);
  return v;
}

// A writer called without an output: the new chain comes through the hand-over slot.
template <class F>
std::string written(F wr, int32_t* st = nullptr) {
  const int32_t r = wr(static_cast<stream*>(nullptr));
  if (st != nullptr) *st = r;
  auto* s = static_cast<stream*>(stkptr(nullptr, nullptr));
  if (r != 0) {
    EXPECT_EQ(s, nullptr) << "nothing handed over on failure";
    return "<failed>";
  }
  EXPECT_NE(s, nullptr);
  return s != nullptr ? vt::text_of(s) : "";
}

const cstream_vtyp_opt OPT{0, 0, 0, 0};

std::string value(vtyp* node, const cstream_vtyp_opt& opt = OPT, int32_t* st = nullptr) {
  return written([&](stream* o) { return cstream_vtyp(o, node, &opt); }, st);
}

TEST_F(CstreamVmap, Values) {
  EXPECT_EQ(value(val_node(txt(nullptr, "k1", "abc_09XY"))), "abc_09XY");
  EXPECT_EQ(value(val_node(txt(nullptr, "k2", "a b"))), "\"a b\"");
  EXPECT_EQ(value(val_node(txt(nullptr, "k3", "q\"b\\s\nz"))), "\"q\\\"b\\\\s\\nz\"");
  // A TAB and a slash are read back as they are inside quotes.
  EXPECT_EQ(value(val_node(txt(nullptr, "k4", "t\ts/x"))), "\"t\ts/x\"");
  // Shift-JIS is always quoted; ソ's trail byte is a backslash but no backslash character.
  EXPECT_EQ(value(val_node(txt(nullptr, "k5", "\x82\xA0\x83\x5C"))), "\"\x82\xA0\x83\x5C\"");
  EXPECT_EQ(value(val_node(txt(nullptr, "k6", "\\\\\""))), "\"\\\\\\\\\\\"\"");
  EXPECT_EQ(value(val_node(num(nullptr, "n1", 42))), "42");
  EXPECT_EQ(value(val_node(num(nullptr, "n2", 0))), "0");
  EXPECT_EQ(value(val_node(num(nullptr, "n3", INT32_MAX))), "2147483647");
  // The key node writes its own text.
  EXPECT_EQ(value(txt(nullptr, "a key", "v")), "\"a key\"");
}

TEST_F(CstreamVmap, TextsTheReaderWouldLoseAreWrittenSoThatTheyReadBack) {
  // The empty text: a pair written as "k=" is not read back at all.
  EXPECT_EQ(value(val_node(txt(nullptr, "e", ""))), "\"\"");
  // A bare minus sign is dropped by the reader: -5 would read back as 5.
  EXPECT_EQ(value(val_node(num(nullptr, "m", -5))), "\"-5\"");
  EXPECT_EQ(value(val_node(num(nullptr, "x", INT32_MIN))), "\"-2147483648\"");
  for (const char* back : {"k=\"\"", "k=\"-5\""}) {
    const vt::parsed r = vt::parse(back, false);
    ASSERT_EQ(r.st, 0) << back;
    EXPECT_EQ(r.ent, vt::E({{"k", back[3] == '"' ? "" : "-5"}})) << back;
  }
}

TEST_F(CstreamVmap, WhatCannotBeWritten) {
  int32_t st = 0;
  EXPECT_EQ(value(nullptr, OPT, &st), "<failed>");
  EXPECT_EQ(st, -1);
  const cstream_vtyp_opt bad{3, 0, 0, 0};
  EXPECT_EQ(value(val_node(txt(nullptr, "k", "v")), bad, &st), "<failed>");
  EXPECT_EQ(st, -1);
  const cstream_vtyp_opt two{2, 7, 0, 0};   // the highest mode; the unused word is unused
  EXPECT_EQ(value(val_node(txt(nullptr, "k", "v")), two), "v");
  // A kind the notation has no form for.
  vtyp_dsc d{};
  const double f = 1.5;
  d.typ = VTYP_FLT;
  d.val = &f;
  vtyp* n = nullptr;
  ASSERT_EQ(vtyp_set(&n, &d), 0);
  EXPECT_EQ(value(n, OPT, &st), "<failed>");
  EXPECT_EQ(st, -1);
  vtyp_end(n);
  // A text ending in a Shift-JIS lead byte would lose it, as value or as key; one whose last
  // character is whole is written.
  EXPECT_EQ(value(val_node(txt(nullptr, "l", "a\x81")), OPT, &st), "<failed>");
  EXPECT_EQ(st, -1);
  EXPECT_EQ(value(txt(nullptr, "\x81", "v"), OPT, &st), "<failed>");
  EXPECT_EQ(value(val_node(txt(nullptr, "w", "a\x81\x81"))), "\"a\x81\x81\"");
}

TEST_F(CstreamVmap, KeysAndPairs) {
  vtyp* x = nul(nullptr, "x");
  vtyp* y = txt(x, "y y", "1");
  vtyp* z = num(y, "z", -2);
  vtyp* w = nul(y, "w");
  const cstream_vtyp_opt path{0, 0, 2, 0};
  const cstream_vtyp_opt grp{0, 0, 1, CSTREAM_VTYP_GRP};
  auto key = [](vtyp* k, const cstream_vtyp_opt& o) {
    return written([&](stream* s) { return cstream_vtyp_key(s, k, &o); });
  };
  auto pair = [](vtyp* k, const cstream_vtyp_opt& o) {
    return written([&](stream* s) { return cstream_vtyp_pr(s, k, &o); });
  };
  EXPECT_EQ(key(x, OPT), "x");
  EXPECT_EQ(key(z, OPT), "x/\"y y\"/z");
  EXPECT_EQ(key(z, path), "\t\tx/\"y y\"/z");
  EXPECT_EQ(key(z, grp), "\tz");
  EXPECT_EQ(pair(z, OPT), "x/\"y y\"/z=\"-2\"");
  EXPECT_EQ(pair(y, grp), "\t\"y y\"=1");
  // A key without value is the word alone.
  EXPECT_EQ(pair(w, OPT), "x/\"y y\"/w");
  EXPECT_EQ(pair(x, OPT), "x");
}

TEST_F(CstreamVmap, TheOutputItAppendsTo) {
  vtyp* a = txt(nullptr, "a", "1");
  vtyp* b = txt(nullptr, "b", "two words");
  // An unbound stream becomes a chain; a chain takes more members.
  stream out{};
  ASSERT_EQ(cstream_vtyp_pr(&out, a, &OPT), 0);
  ASSERT_EQ(cstream_vtyp_key(&out, b, &OPT), 0);
  EXPECT_EQ(out.ops, &STREAM_OPS_CHAIN);
  // Drained, it still takes members.
  uint32_t ch = 0;
  std::string got;
  while (stream_pop(&out, &ch) == 0) got += static_cast<char>(ch);
  EXPECT_EQ(got, "a=1b");
  ASSERT_EQ(cstream_vtyp(&out, val_node(b), &OPT), 0);
  EXPECT_EQ(vt::text_of(&out), "\"two words\"");
  // Another stream becomes the chain's first member.
  stream pre{};
  ASSERT_EQ(cstream_str_set(&pre, "pre:"), 0);
  ASSERT_EQ(cstream_vtyp_pr(&pre, b, &OPT), 0);
  EXPECT_EQ(vt::text_of(&pre), "pre:b=\"two words\"");
  // Also one the caller got from the hand-over slot, which stays the caller's to end.
  ASSERT_EQ(cstream_str_set(nullptr, "slot:"), 0);
  auto* own = static_cast<stream*>(stkptr(nullptr, nullptr));
  ASSERT_EQ(cstream_vtyp_pr(own, a, &OPT), 0);
  EXPECT_NE(own->flg & STREAM_OWN, 0u);
  EXPECT_EQ(vt::text_of(own), "slot:a=1");   // ending it frees the object
}

TEST_F(CstreamVmap, WhatTheWritersRefuse) {
  int32_t st = 0;
  EXPECT_EQ(written([](stream* o) { return cstream_vtyp_key(o, nullptr, &OPT); }, &st),
            "<failed>");
  EXPECT_EQ(st, -1);
  vtyp* k = txt(nullptr, "k", "v");
  EXPECT_EQ(written([&](stream* o) { return cstream_vtyp_pr(o, k, nullptr); }, &st), "<failed>");
  EXPECT_EQ(st, -1);
  EXPECT_EQ(__cstream_vtyp_chn(nullptr), -1);
  uint32_t ch = 0;
  EXPECT_EQ(_cstream_vmap_pop(nullptr, &ch), -1);
  _cstream_vmap_end(nullptr);
  // A text held in a growable buffer is no value the notation writes.
  vtyp_dsc d{};
  d.typ = VTYP_STR | VTYP_EXT;
  d.ext = VTYP_BUF;
  d.siz = 1;
  vtyp_buf_ini_fn ini = buf_ini;
  std::memcpy(&d.val, &ini, sizeof ini);
  vtyp* b = nullptr;
  ASSERT_EQ(vtyp_set(&b, &d), 0);
  EXPECT_EQ(value(b, OPT, &st), "<failed>");
  EXPECT_EQ(st, -1);
  vtyp_end(b);
}

TEST_F(CstreamVmap, IndentsLongerThanOneRunOfTabsAndAParentWithoutParentField) {
  vtyp* k = txt(nullptr, "k", "v");
  for (const uint32_t n : {15u, 16u, 17u, 40u}) {
    const cstream_vtyp_opt ind{0, 0, n, 0};
    EXPECT_EQ(written([&](stream* o) { return cstream_vtyp_pr(o, k, &ind); }),
              std::string(n, '\t') + "k=v") << n;
  }
  // The path stops at a parent that has no parent field of its own.
  vtyp_dsc pd{};
  pd.typ = VTYP_STR;
  pd.val = "top";
  vtyp* top = nullptr;
  ASSERT_EQ(vtyp_set(&top, &pd), 0);
  vtyp_dsc kd{};
  kd.typ = VTYP_STR | VTYP_NST;
  kd.nst = top;
  kd.val = "leaf";
  vtyp* leaf = nullptr;
  ASSERT_EQ(vtyp_set(&leaf, &kd), 0);
  EXPECT_EQ(written([&](stream* o) { return cstream_vtyp_key(o, leaf, &OPT); }), "top/leaf");
  vtyp_end(leaf);
  vtyp_end(top);
}

// Everything the writers make, with every heap call failing in turn: a pair through the
// hand-over slot, a pair appended to another stream, a whole vmap in group mode whose groups
// are still open at its end.
TEST_F(CstreamVmap, EveryHeapCallFailingInTurn) {
  vtyp* a = txt(nullptr, "a", "q\"b\\s\nz");
  vtyp* b = num(a, "b b", -7);
  txt(txt(b, "c", "1"), "d", "x y");
  const auto run = [&] {
    std::string out;
    const cstream_vtyp_opt ind{0, 0, 2, 0};
    if (cstream_vtyp_pr(nullptr, b, &ind) != 0) return tu::outcome{err_no, out};
    int32_t st = 0;
    out += vt::text_of(static_cast<stream*>(stkptr(nullptr, nullptr)), &st) + "|";
    if (st != 0) return tu::outcome{st, out};
    stream pre{};
    if (cstream_str_set(&pre, "pre:") != 0) return tu::outcome{err_no, out};
    if (cstream_vtyp_pr(&pre, a, &OPT) != 0) {
      const int32_t e = err_no;
      stream_end(&pre);
      return tu::outcome{e, out};
    }
    out += vt::text_of(&pre, &st) + "|";
    if (st != 0) return tu::outcome{st, out};
    const cstream_vtyp_opt grp{0, 0, 0, CSTREAM_VTYP_GRP};
    if (cstream_vmap_set(nullptr, &vm, nullptr, VMAP_RNG_CTL, &grp) != 0)
      return tu::outcome{err_no, out};
    out += vt::text_of(static_cast<stream*>(stkptr(nullptr, nullptr)), &st);
    return tu::outcome{st, out};
  };
  EXPECT_EQ(run(), tu::outcome(0, "\t\ta/\"b b\"=\"-7\"|pre:a=\"q\\\"b\\\\s\\nz\"|"
                                  "a=\"q\\\"b\\\\s\\nz\"\n[\n\t\"b b\"=\"-7\"\n\t[\n\t\tc=1\n"
                                  "\t\t[\n\t\t\td=\"x y\"\n\t\t]\n\t]\n]\n"));
  const int failed = tu::every_heap_call(run, "writers");
  EXPECT_GT(failed, 50);
}

// The tree below in group mode.
const std::string GROUPS = "a=1\n[\n\tb=2\n]\nc\n[\n\td=\"-3\"\n\te\n\t[\n\t\tf=\"x y\"\n\t]\n]\ng=\"\"\n";

class CstreamVmapTree : public CstreamVmap {
 protected:
  void SetUp() override {
    CstreamVmap::SetUp();
    vtyp* a = txt(nullptr, "a", "1");
    txt(a, "b", "2");
    vtyp* c = nul(nullptr, "c");
    num(c, "d", -3);
    vtyp* e = nul(c, "e");
    txt(e, "f", "x y");
    txt(nullptr, "g", "");
  }
};

TEST_F(CstreamVmapTree, GroupMode) {
  EXPECT_EQ(vt::write(&vm, CSTREAM_VTYP_GRP), GROUPS);
  // Groups still open at the end are closed; the caller's indent is not the depth.
  vtyp* g = nullptr;
  ASSERT_EQ(vmap_ref_str(&vm, nullptr, "g", &g), 0);
  txt(txt(g, "h", "3"), "i", "4");
  EXPECT_EQ(vt::write(&vm, CSTREAM_VTYP_GRP, VMAP_RNG_CTL, nullptr, 5),
            GROUPS + "[\n\th=3\n\t[\n\t\ti=4\n\t]\n]\n");
}

TEST_F(CstreamVmapTree, PathMode) {
  EXPECT_EQ(vt::write(&vm, 0),
            "a=1\na/b=2\nc\nc/d=\"-3\"\nc/e\nc/e/f=\"x y\"\ng=\"\"\n");
  EXPECT_EQ(vt::write(&vm, 0, VMAP_RNG_CTL, nullptr, 1),
            "\ta=1\n\ta/b=2\n\tc\n\tc/d=\"-3\"\n\tc/e\n\tc/e/f=\"x y\"\n\tg=\"\"\n");
}

TEST_F(CstreamVmapTree, PartsOfTheTree) {
  // Without descent the iteration stays on its level.
  EXPECT_EQ(vt::write(&vm, CSTREAM_VTYP_GRP, 0), "a=1\nc\ng=\"\"\n");
  vtyp* c = nullptr;
  ASSERT_EQ(vmap_ref_str(&vm, nullptr, "c", &c), 0);
  EXPECT_EQ(vt::write(&vm, CSTREAM_VTYP_GRP, VMAP_RNG_CTL, c), "d=\"-3\"\ne\n[\n\tf=\"x y\"\n]\n");
  EXPECT_EQ(vt::write(&vm, 0, VMAP_RNG_CTL, c), "c/d=\"-3\"\nc/e\nc/e/f=\"x y\"\n");
  // Insertion order needs a vmap that keeps it.
  stream s{};
  EXPECT_EQ(cstream_vmap_set(&s, &vm, nullptr, VMAP_RNG_ODR, &OPT), -1);
  const cstream_vtyp_opt bad{3, 0, 0, 0};
  EXPECT_EQ(cstream_vmap_set(&s, &vm, nullptr, 0, &bad), -1);
}

TEST_F(CstreamVmap, AFlatVmapInGroupMode) {
  vmap flat{};
  ASSERT_EQ(vmap_set(&flat, 0), 0);
  ASSERT_EQ(vmap_put_str_str(&flat, nullptr, "t", "5", 0), 0);
  ASSERT_EQ(_vmap_put_str_nul(&flat, nullptr, "fp", nullptr, 0), 0);
  ASSERT_EQ(vmap_put_str_str(&flat, nullptr, "cmdon", "notify-send \"@name@\"", 0), 0);
  const std::string want = "cmdon=\"notify-send \\\"@name@\\\"\"\nfp\nt=5\n";
  EXPECT_EQ(vt::write(&flat, CSTREAM_VTYP_GRP), want) << "its keys have no parents: no groups";
  EXPECT_EQ(vt::write(&flat, 0), want);
  vmap_end(&flat);
}

TEST_F(CstreamVmapTree, TheEndIsReportedAgainAndAnEmptyMapIsEmpty) {
  cstream_vtyp_opt opt{0, 0, 0, CSTREAM_VTYP_GRP};
  stream s{};
  ASSERT_EQ(cstream_vmap_set(&s, &vm, nullptr, VMAP_RNG_CTL, &opt), 0);
  uint32_t ch = 0;
  size_t n = 0;
  while (_cstream_vmap_pop(s.src, &ch) == 0) ++n;
  EXPECT_EQ(err_no, ERR_EOD);
  EXPECT_EQ(_cstream_vmap_pop(s.src, &ch), 1);
  EXPECT_EQ(n, GROUPS.size());
  stream_end(&s);
  vmap empty{};
  ASSERT_EQ(vmap_set(&empty, VMAP_NST), 0);
  EXPECT_EQ(vt::write(&empty, CSTREAM_VTYP_GRP), "");
  vmap_end(&empty);
}

// ---- every heap call failing in turn ----


TEST_F(CstreamVmapTree, EveryHeapCallFailingInTurn) {
  for (const uint32_t mode : {0u, CSTREAM_VTYP_GRP}) {
    const std::string whole = vt::write(&vm, mode);
    const size_t before = tu::lib_blocks();
    int failed = 0;
    for (uint64_t k = 1;; ++k) {
      err_no = 0;
      cstream_vtyp_opt opt{0, 0, 0, mode};
      stream s{};
      const uint64_t c0 = heap_cnt();
      heap_fail_set(k);
      int32_t st = cstream_vmap_set(&s, &vm, nullptr, VMAP_RNG_CTL, &opt);
      std::string got;
      if (st == 0) got = vt::text_of(&s, &st);
      const bool fired = heap_cnt() - c0 >= k;
      heap_fail_set(0);
      EXPECT_EQ(tu::lib_blocks(), before) << "heap call " << k;
      if (!fired) {
        EXPECT_EQ(st, 0);
        EXPECT_EQ(got, whole);
        std::printf("mode %u: %llu heap calls, %d failures\n", mode,
                    static_cast<unsigned long long>(k - 1), failed);
        break;
      }
      if (st != 0) {
        ++failed;
        EXPECT_NE(err_code(st), 0) << "a failure, not an end: heap call " << k;
        EXPECT_EQ(whole.compare(0, got.size(), got), 0) << "what came out is a beginning";
      } else {
        EXPECT_EQ(got, whole) << "heap call " << k << " failed and the text says nothing";
      }
    }
    EXPECT_GT(failed, 100);
  }
}

}  // namespace
