#include "base/diag/cvr.h"
#include "base/diag/heap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cvr_spell.h"
#include "test_util.h"

namespace {

const test_cvr_rcd* find(const test_cvr_tbl* t, const char* file, uint32_t line, int outcome) {
  for (const test_cvr_rcd* r = t->odr_top; r != nullptr; r = r->odr_nxt)
    if (r->line == line && r->outcome == outcome && std::strcmp(r->file, file) == 0) return r;
  return nullptr;
}

int records(const test_cvr_tbl* t) {
  int n = 0;
  test_cvr_walk(t, [](const test_cvr_rcd*, void* a) { return ++*static_cast<int*>(a), 0; }, &n);
  return n;
}

TEST(CvrRecorder, CountsPerFileLineAndOutcome) {
  test_cvr_tbl t = {};
  ASSERT_EQ(_test_cvr_pas(&t, 1, "a.cpp", 10, "f", "test_coverage"), 0);
  const test_cvr_rcd* r = find(&t, "a.cpp", 10, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->count, 1u);
  EXPECT_EQ(r->flags, TEST_CVR_VALID | TEST_CVR_CREATED);
  EXPECT_STREQ(r->name, "test_coverage");

  _test_cvr_pas(&t, 1, "a.cpp", 10, "f", "test_coverage");
  EXPECT_EQ(r->count, 2u);
  _test_cvr_pas(&t, 2, "a.cpp", 10, "f", "test_coverage");
  EXPECT_EQ(records(&t), 2);
  EXPECT_EQ(find(&t, "a.cpp", 10, 2)->count, 1u);
  EXPECT_EQ(t.odr_top, find(&t, "a.cpp", 10, 2)) << "newest first";
}

TEST(CvrRecorder, FileTextsCompareByContentAndFuncIsNotPartOfTheKey) {
  test_cvr_tbl t = {};
  char f1[] = "same.cpp";
  char f2[] = "same.cpp";
  _test_cvr_pas(&t, 1, f1, 7, "first", "test_coverage");
  _test_cvr_pas(&t, 1, f2, 7, "second", "test_coverage");
  EXPECT_EQ(records(&t), 1);
  const test_cvr_rcd* r = find(&t, "same.cpp", 7, 1);
  EXPECT_EQ(r->count, 2u);
  EXPECT_STREQ(r->func, "first");
  _test_cvr_pas(&t, 1, "other.cpp", 7, "first", "test_coverage");
  EXPECT_EQ(records(&t), 2);
}

TEST(CvrRecorder, LinesSharingABucketStayDistinct) {
  test_cvr_tbl t = {};
  t.flags = 1;
  _test_cvr_pas(&t, 1, "b.cpp", 5, "f", "test_coverage");
  _test_cvr_pas(&t, 1, "b.cpp", 132, "f", "test_coverage");
  _test_cvr_pas(&t, 1, "b.cpp", 5, "f", "test_coverage");
  EXPECT_EQ(t.flags & 1, 0u);
  EXPECT_EQ(records(&t), 2);
  EXPECT_EQ(find(&t, "b.cpp", 5, 1)->count, 2u);
  EXPECT_EQ(find(&t, "b.cpp", 132, 1)->count, 1u);
  ASSERT_NE(t.bkt[5], nullptr);
  EXPECT_EQ(t.bkt[5]->line, 132u);
  EXPECT_EQ(t.bkt[5]->hsh_nxt->line, 5u);
  for (uint32_t b = 0; b < TEST_CVR_BKT; ++b) {
    if (b != 5) {
      EXPECT_EQ(t.bkt[b], nullptr);
    }
  }
}

TEST(CvrRecorder, NothingIsRecordedWhileBusy) {
  test_cvr_tbl t = {};
  ++dbg_busy;
  EXPECT_EQ(_test_cvr_pas(&t, 1, "c.cpp", 1, "f", "test_coverage"), 0);
  --dbg_busy;
  EXPECT_EQ(records(&t), 0);
  EXPECT_EQ(dbg_busy, 0u);
}

TEST(CvrRecorder, NullTableIsTheProcessTable) {
  EXPECT_EQ(find(&test_cvr_prc, "null-table.cpp", 3, 2), nullptr);
  _test_cvr_pas(nullptr, 2, "null-table.cpp", 3, "f", "test_coverage");
  const test_cvr_rcd* r = find(&test_cvr_prc, "null-table.cpp", 3, 2);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->count, 1u);
}

int side_effects = 0;
bool probe(bool v) {
  ++side_effects;
  return v;
}

TEST(CvrMacro, EvaluatesOnceAndReportsTheOutcomeWithTheFunctionName) {
  side_effects = 0;
  const uint32_t line = __LINE__ + 1;
  const bool t = CVR(probe(true));
  EXPECT_TRUE(t);
  EXPECT_EQ(side_effects, 1);
  const test_cvr_rcd* r = find(&test_cvr_prc, __FILE__, line, 1);
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->func, "TestBody");
  EXPECT_EQ(std::string(__FILE__).rfind("tests/", 0), 0u) << "paths are repository-relative";

  int loops = 0;
  const uint32_t wline = __LINE__ + 1;
  while (CVR(loops < 3)) ++loops;
  EXPECT_EQ(find(&test_cvr_prc, __FILE__, wline, 1)->count, 3u);
  EXPECT_EQ(find(&test_cvr_prc, __FILE__, wline, 2)->count, 1u);
}

TEST(CvrMacro, AHeaderConditionKeepsARecordPerSpellingOfItsPath) {
  test_cvr_clr();
  cvr_spell_probe(true);
  cvr_spell_other(true);
  cvr_spell_other(true);
  cvr_spell_probe(true);
  std::vector<std::pair<std::string, uint32_t>> got;
  test_cvr_walk(nullptr, [](const test_cvr_rcd* r, void* a) {
    if (std::strstr(r->file, "cvr_spell.h") != nullptr)
      static_cast<decltype(got)*>(a)->emplace_back(r->file, r->count);
    return 0;
  }, &got);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_NE(got[0].first, got[1].first);
  EXPECT_EQ(got[0].second + got[1].second, 4u);
  EXPECT_EQ(got[0].second, 2u);
}

TEST(CvrDump, WritesTheTableAtExitWhenAsked) {
  tu::tmp_dir dir;
  const std::string path = dir.file("cvr.csv");
  const int st = tu::in_child([&] {
    setenv("BAS_CVR_PATH", path.c_str(), 1);
    _test_cvr_pas(nullptr, 1, "dump.cpp", 42, "dumper", "test_coverage");
    _test_cvr_pas(nullptr, 1, "dump.cpp", 42, "dumper", "test_coverage");
    return 0;
  });
  ASSERT_EQ(st, 0);
  const std::string csv = tu::slurp(path);
  EXPECT_EQ(csv.rfind("file,line,function,outcome,count\n", 0), 0u);
  EXPECT_NE(csv.find("\ndump.cpp,42,dumper,1,2\n"), std::string::npos) << csv;
}

TEST(CvrDump, PercentPIsTheProcessId) {
  // Every process of a test run keeps its own table.
  tu::tmp_dir dir;
  long pid = 0;
  const int st = tu::in_child([&] {
    setenv("BAS_CVR_PATH", dir.file("cvr-%p.csv").c_str(), 1);
    _test_cvr_pas(nullptr, 2, "dump.cpp", 44, "dumper", "test_coverage");
    std::FILE* f = std::fopen(dir.file("pid").c_str(), "w");
    std::fprintf(f, "%ld", static_cast<long>(getpid()));
    std::fclose(f);
    return 0;
  });
  ASSERT_EQ(st, 0);
  pid = std::stol(tu::slurp(dir.file("pid")));
  const std::string csv = tu::slurp(dir.file("cvr-" + std::to_string(pid) + ".csv"));
  EXPECT_NE(csv.find("\ndump.cpp,44,dumper,2,1\n"), std::string::npos) << csv;
}

TEST(CvrDump, NoFileWithoutThePath) {
  tu::tmp_dir dir;
  const int st = tu::in_child([&] {
    unsetenv("BAS_CVR_PATH");
    if (chdir(dir.path().c_str()) != 0) return 3;
    _test_cvr_pas(nullptr, 1, "dump.cpp", 43, "dumper", "test_coverage");
    return 0;
  });
  ASSERT_EQ(st, 0);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(CvrRecorder, TheWalkStopsWhenItsFunctionSaysSo) {
  test_cvr_tbl t{};
  for (uint32_t line = 1; line <= 3; ++line)
    ASSERT_EQ(_test_cvr_pas(&t, 1, "w.cpp", line, "f", "test_coverage"), 0);
  int seen = 0;
  EXPECT_EQ(test_cvr_walk(&t, [](const test_cvr_rcd*, void* a) {
    return ++*static_cast<int*>(a) == 2 ? 1 : 0;
  }, &seen), 1);
  EXPECT_EQ(seen, 2);
  seen = 0;
  EXPECT_EQ(test_cvr_walk(&t, [](const test_cvr_rcd*, void* a) { return ++*static_cast<int*>(a), 0; },
                          &seen), 0);
  EXPECT_EQ(seen, 3);
}

TEST(CvrDump, AFileThatCannotBeMadeIsReported) {
  test_cvr_tbl t{};
  ASSERT_EQ(_test_cvr_pas(&t, 1, "d.cpp", 1, "f", "test_coverage"), 0);
  EXPECT_EQ(test_cvr_dump(&t, "/nonexistent-kestrel/dir/cvr.csv"), -1);
}

TEST(CvrRecorder, ARecordThatCannotBeMadeIsReported) {
  // Records come from blocks of many; the call that needs a new block while the heap fails
  // records nothing and says so, and the next one records again.
  test_cvr_tbl t{};
  uint32_t line = 1;
  int r = 0;
  for (; line < 5000 && r == 0; ++line) {
    heap_fail_set(1);
    r = _test_cvr_pas(&t, 1, "h.cpp", line, "f", "test_coverage");
    heap_fail_set(0);
  }
  ASSERT_EQ(r, -1);
  EXPECT_EQ(find(&t, "h.cpp", line - 1, 1), nullptr);
  EXPECT_EQ(_test_cvr_pas(&t, 1, "h.cpp", line - 1, "f", "test_coverage"), 0);
  EXPECT_NE(find(&t, "h.cpp", line - 1, 1), nullptr);
}

}  // namespace
