// The notation reader: the statuses of malformed statements, values, quoting and escapes,
// paths and groups in a nested vmap, the parser flags, and every heap call failing in turn.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "alloc_util.h"
#include "base/diag/heap.h"
#include "vtext_util.h"

namespace {

using vt::E;
using vt::parse;

class VmapCstream : public st::Fixture {};

constexpr bool FLAT = false, NESTED = true;

struct cas {
  const char* txt;
  bool nested;
  uint32_t flg;
  int32_t st;
  vt::entries want;
};

void check(const std::vector<cas>& cases) {
  for (const cas& c : cases) {
    const vt::parsed r = parse(c.txt, c.nested, c.flg);
    EXPECT_EQ(r.st, c.st) << "'" << c.txt << "' " << (c.nested ? "nested" : "flat") << " flags " << c.flg;
    EXPECT_EQ(r.err, c.st) << "'" << c.txt << "': the status word carries the result";
    EXPECT_EQ(r.ent, c.want) << "'" << c.txt << "'";
  }
}

TEST_F(VmapCstream, StatementsAndTheirStatuses) {
  check({
      {"t=5", FLAT, 0, 0, E({{"t", "5"}})},
      {"fp", FLAT, 0, 0, E({{"fp", nullptr}})},
      {"", FLAT, 0, 0, E({})},
      {"?", FLAT, 0, 0, E({})},   // no pattern takes it: dropped
      {"h", FLAT, 0, 0, E({{"h", nullptr}})},
      {"a=1;b=2", FLAT, 0, 0, E({{"a", "1"}, {"b", "2"}})},
      {"a=1\nb=2\n", FLAT, 0, 0, E({{"a", "1"}, {"b", "2"}})},
      {"#a=1", FLAT, 0, 0, E({{"a", "1"}})},
      {"a=1;a=2", FLAT, 0, 0, E({{"a", "2"}})},
      // A sign cannot begin a statement, a value must be a word, and something must follow "=".
      {"=5", FLAT, 0, ERR_END, E({})},
      {";a", FLAT, 0, ERR_END, E({})},
      {"/t", FLAT, 0, ERR_END, E({})},
      {"\"a b\"=1;\"\"", FLAT, 0, 0, E({{"a b", "1"}, {"", nullptr}})},   // quoted keys
      {"a=", FLAT, 0, ERR_END, E({})},
      {"a= ", FLAT, 0, ERR_END, E({})},
      {"a==1", FLAT, 0, ERR_END, E({})},
      {"a=;b", FLAT, 0, ERR_END, E({})},
      {"a=\\q", FLAT, 0, ERR_END, E({})},   // an escape that stands for nothing
      {"a=\"open", FLAT, 0, ERR_END, E({})},
      {"b=1;a=-", FLAT, 0, ERR_END, E({{"b", "1"}})},
      // After a value only a separator or a bracket: a word there fails, and what was
      // stored before stays.
      {"a=1 b=2", FLAT, 0, -1, E({{"a", "1"}})},
      {"t=5.x", FLAT, 0, -1, E({{"t", "5"}})},
      {"a=1#", FLAT, 0, -1, E({{"a", "1"}})},
      {"a=1/b", FLAT, 0, -1, E({{"a", "1"}})},
      {"]", FLAT, 0, -1, E({})},
      {"]", NESTED, 0, -1, E({})},
      {"a=1]", NESTED, 0, -1, E({{"a", "1"}})},
  });
}

TEST_F(VmapCstream, ValuesQuotesAndEscapes) {
  check({
      {"cmdon=\"notepad.exe @name@\"", FLAT, 0, 0, E({{"cmdon", "notepad.exe @name@"}})},
      // Unquoted, the dot is dropped and the word after the value fails.
      {"cmdon=notepad.exe", FLAT, 0, -1, E({{"cmdon", "notepad"}})},
      {"cmdon=\"a\\\"b\"", FLAT, 0, 0, E({{"cmdon", "a\"b"}})},
      {"x=\"\\\\ \\/ \\t \\n\"", FLAT, 0, 0, E({{"x", "\\ / \t \n"}})},
      {"x=\"a/b=c;[d]#\te\r\"", FLAT, 0, 0, E({{"x", "a/b=c;[d]#\te\r"}})},
      {"x=\"\"", FLAT, 0, 0, E({{"x", ""}})},
      {"x=\"\\q\"", FLAT, 0, 0, E({{"x", "\\q"}})},   // an unknown escape inside quotes stays
      // Outside quotes an escape is a word of its own.
      {"x=\\n", FLAT, 0, 0, E({{"x", "\n"}})},
      {"x=\\\"", FLAT, 0, 0, E({{"x", "\""}})},
      // Shift-JIS: あ (82 A0) and ソ, whose trail byte is a backslash.
      {"x=\"\x82\xA0\x83\x5C\"", FLAT, 0, 0, E({{"x", "\x82\xA0\x83\x5C"}})},
      {"x=\x82\xA0", FLAT, 0, ERR_END, E({})},   // unquoted it is dropped: nothing after "="
      {"a=\"1\" ; b = \"2\"", FLAT, 0, 0, E({{"a", "1"}, {"b", "2"}})},
  });
}

TEST_F(VmapCstream, AWordWithoutValueTakesTheTokenAfterIt) {
  // Scripts may rely on it: the token after a key without value is dropped, whatever it is.
  check({
      {"a b", FLAT, 0, 0, E({{"a", nullptr}})},
      {"a b c", FLAT, 0, 0, E({{"a", nullptr}, {"c", nullptr}})},
      {"a = 1", FLAT, 0, 0, E({{"a", "1"}})},   // blanks are dropped: this is a value
      {"a;=", FLAT, 0, ERR_END, E({{"a", nullptr}})},
  });
}

TEST_F(VmapCstream, PathsAndGroups) {
  check({
      // A flat vmap has no paths: the slash separates two keys.
      {"a/b", FLAT, 0, 0, E({{"a", nullptr}, {"b", nullptr}})},
      {"x/y=1", NESTED, 0, 0, E({{"x", nullptr}, {"x/y", "1"}})},
      {"x=0;x/y=1", NESTED, 0, 0, E({{"x", "0"}, {"x/y", "1"}})},
      {"a/b/c=1;a/b/d", NESTED, 0, 0,
       E({{"a", nullptr}, {"a/b", nullptr}, {"a/b/c", "1"}, {"a/b/d", nullptr}})},
      {"x=1[y=2]z", NESTED, 0, 0, E({{"x", "1"}, {"x/y", "2"}, {"z", nullptr}})},
      {"a[b[c=1]d]e", NESTED, 0, 0,
       E({{"a", nullptr}, {"a/b", nullptr}, {"a/b/c", "1"}, {"a/d", nullptr}, {"e", nullptr}})},
      {"a=1\n[\n\tb=2\n\t[\n\t\tc=\"x y\"\n\t]\n]\nd\n", NESTED, 0, 0,
       E({{"a", "1"}, {"a/b", "2"}, {"a/b/c", "x y"}, {"d", nullptr}})},
      // Paths inside a group start from the group.
      {"a[b/c=1]", NESTED, 0, 0, E({{"a", nullptr}, {"a/b", nullptr}, {"a/b/c", "1"}})},
      {"a=1[b=2]]", NESTED, 0, -1, E({{"a", "1"}, {"a/b", "2"}})},
      // A path needs a word after every slash.
      {"x/=1", NESTED, 0, -1, E({{"x", nullptr}})},
      {"x/", NESTED, 0, -1, E({{"x", nullptr}})},
      // A flat vmap cannot close a group: its keys have no parent.
      {"a=1[b=2]", FLAT, 0, -1, E({{"a", "1"}, {"b", "2"}})},
  });
}

TEST_F(VmapCstream, UnderAParentEntry) {
  vmap vm{};
  ASSERT_EQ(vmap_set(&vm, VMAP_NST), 0);
  vtyp* top = nullptr;
  ASSERT_EQ(_vmap_put_str_nul(&vm, nullptr, "top", &top, 0), 0);
  {
    vt::cstr in("a=1[b]c");
    EXPECT_EQ(_vmap_cstream(&vm, top, &in.cs, 0), 0);
  }
  {
    // The group a statement is in may close; the caller's level may not.
    vt::cstr in("d]");
    EXPECT_EQ(_vmap_cstream(&vm, top, &in.cs, 0), -1);
  }
  EXPECT_EQ(vt::entries_of(&vm), E({{"top", nullptr}, {"top/a", "1"}, {"top/a/b", nullptr},
                                     {"top/c", nullptr}, {"top/d", nullptr}}));
  vmap_end(&vm);
}

TEST_F(VmapCstream, ParserFlags) {
  check({
      // Bit 0: the first line end ends the parse, also the one that ends a statement.
      {"a=1\nb=2", FLAT, VMAP_CSTM_LIN, 0, E({{"a", "1"}})},
      {"a\nb", FLAT, VMAP_CSTM_LIN, 0, E({{"a", nullptr}})},
      {"\nb", FLAT, VMAP_CSTM_LIN, 0, E({})},
      {"a=1;b=2\n=", FLAT, VMAP_CSTM_LIN, 0, E({{"a", "1"}, {"b", "2"}})},
      {"a=1\n=", FLAT, 0, ERR_END, E({{"a", "1"}})},
      // Bit 1: a word without value is an error.
      {"fp", FLAT, VMAP_CSTM_VAL, -1, E({})},
      {"a=1;b", FLAT, VMAP_CSTM_VAL, -1, E({{"a", "1"}})},
      {"a=1;b=2", FLAT, VMAP_CSTM_VAL, 0, E({{"a", "1"}, {"b", "2"}})},
      {"a=1\nb\nc", FLAT, VMAP_CSTM_LIN | VMAP_CSTM_VAL, 0, E({{"a", "1"}})},
  });
}

TEST_F(VmapCstream, MissingArguments) {
  vmap vm{};
  ASSERT_EQ(vmap_set(&vm, 0), 0);
  vt::cstr in("a=1");
  EXPECT_EQ(_vmap_cstream(nullptr, nullptr, &in.cs, 0), -1);
  EXPECT_EQ(_vmap_cstream(&vm, nullptr, nullptr, 0), -1);
  EXPECT_EQ(err_no, -1);
  EXPECT_EQ(vt::entries_of(&vm), E({}));
  vmap_end(&vm);
}

// ---- every heap call failing in turn ----


const char* const RICH = "cmdon=\"notepad.exe \\\"@name@\\\"\";fp\n#x\na/b=1[c=\\n;d]e;x=\"\x82\xA0\"";

// The reader over RICH into a nested vmap with the k-th heap call failing; k = 0: none. What
// the run gave and whether it made fewer than k heap calls.
std::pair<vt::parsed, bool> run_failing(uint64_t k) {
  vmap vm{};
  EXPECT_EQ(vmap_set(&vm, VMAP_NST), 0);
  err_no = 0;
  vt::parsed r{};
  bool short_run;
  {
    vt::cstr in(RICH);
    heap_fail_set(k);
    const uint64_t before = heap_cnt();
    r.st = _vmap_cstream(&vm, nullptr, &in.cs, 0);
    short_run = heap_cnt() - before < k;
    heap_fail_set(0);
  }
  r.err = err_no;
  r.ent = vt::entries_of(&vm);
  vmap_end(&vm);
  return {r, short_run};
}

TEST_F(VmapCstream, EveryHeapCallFailingInTurn) {
  const size_t before = tu::lib_blocks();
  const vt::parsed base = run_failing(0).first;
  ASSERT_EQ(base.st, 0);
  ASSERT_EQ(base.ent.size(), 9u);
  int failed = 0;
  for (uint64_t k = 1;; ++k) {
    const auto [got, short_run] = run_failing(k);
    EXPECT_EQ(tu::lib_blocks(), before) << "blocks left with heap call " << k << " failing";
    if (short_run) {
      EXPECT_EQ(got.st, 0);
      EXPECT_EQ(got.ent, base.ent);
      std::printf("%llu heap calls, %d failures reported as -1\n",
                  static_cast<unsigned long long>(k - 1), failed);
      break;
    }
    if (got.st == -1) {
      ++failed;
      EXPECT_EQ(got.err, -1);
      // What was stored is what the whole run stores, as far as it got.
      for (const auto& [p, v] : got.ent) EXPECT_EQ(base.ent.count(p), 1u) << k;
    } else {
      EXPECT_EQ(got.st, 0) << "heap call " << k << ": only -1 or success";
      EXPECT_EQ(got.ent, base.ent) << "heap call " << k << " failed, the run went on";
    }
  }
  EXPECT_GT(failed, 100);
}


}  // namespace
