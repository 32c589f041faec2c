#include "base/diag/malloc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/containers/buf.h"
#include "base/diag/ctoi.h"
#include "base/diag/err.h"
#include "base/diag/mem_log.h"
#include "base/diag/rscmng.h"
#include "base/diag/stkptr.h"
#include "test_util.h"

namespace {

const rscmng_rcd* reg_of(const void* p) {
  static rscmng_rcd hit;
  struct q_t {
    const void* p;
    bool found;
  } q = {p, false};
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    auto* x = static_cast<q_t*>(a);
    if (r->ptr != x->p || r->lvl != 0) return 0;
    hit = *r;
    x->found = true;
    return 1;
  }, &q);
  return q.found ? &hit : nullptr;
}

TEST(Malloc, BlocksAreRegisteredUntilFreed) {
  err_no = 0;
  char* p = nullptr;
  ASSERT_EQ(_malloc(&p, 24), 0);
  const rscmng_rcd* r = reg_of(p);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->size, 24u);
  EXPECT_STREQ(r->fnc, "_malloc");
  EXPECT_STREQ(r->about, "malloc");
  EXPECT_STREQ(r->file, "base/diag/malloc.cpp");
  _free(&p);
  EXPECT_NE(p, nullptr) << "the caller's pointer is left as it was";
  EXPECT_EQ(reg_of(p), nullptr);
}

TEST(Malloc, ZeroFilledAndCopiedBlocks) {
  unsigned char* z = nullptr;
  ASSERT_EQ(_malloc0(&z, 100), 0);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(z[i], 0) << i;
  const char src[] = "copy me";
  char* c = nullptr;
  ASSERT_EQ(_malloc_cpy(&c, src, sizeof src), 0);
  EXPECT_STREQ(c, src);
  EXPECT_NE(reg_of(c), nullptr);
  _free(&z);
  _free(&c);
  EXPECT_EQ(reg_of(z), nullptr);
  EXPECT_EQ(reg_of(c), nullptr);
  // Nothing to copy: no source is read, a block is still made.
  void* e = nullptr;
  ASSERT_EQ(_malloc_cpy(&e, nullptr, 0), 0);
  EXPECT_NE(reg_of(e), nullptr);
  _free(&e);
}

TEST(Malloc, Strings) {
  char* e = nullptr;
  ASSERT_EQ(_malloc_str(&e, ""), 0);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e[0], '\0');
  EXPECT_EQ(reg_of(e)->size, 1u);
  _free(&e);

  err_no = 5;
  char* n = reinterpret_cast<char*>(1);
  EXPECT_EQ(_malloc_str(&n, nullptr), 5);
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(err_no, 5) << "a NULL text leaves the status alone";
  err_no = 0;
}

TEST(Malloc, FailureThenSuccess) {
  err_no = 0;
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(_malloc(&p, -1), -1);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(err_no, -1);
  EXPECT_EQ(_malloc0(&p, -5), -1);
  ASSERT_EQ(_malloc(&p, 8), 0);
  EXPECT_EQ(err_no, 0);
  _free(&p);
}

TEST(Malloc, FreeOfNothingDoesNothing) {
  _free(static_cast<void**>(nullptr));
  _free(static_cast<char**>(nullptr));   // the typed form too
  void* p = nullptr;
  _free(&p);
  // A block the register never saw is released anyway, silently.
  void* raw = std::malloc(4);
  testing::internal::CaptureStderr();
  _free(&raw);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(Malloc, ScopesAroundTheWrappersAreBalanced) {
  const int32_t lvl = rscmng_prc.lvl;
  void* p = nullptr;
  _malloc0(&p, 3);
  _free(&p);
  _malloc0(&p, -3);
  char* s = nullptr;
  _malloc_str(&s, "x");
  _free(&s);
  EXPECT_EQ(rscmng_prc.lvl, lvl);
}

TEST(Ctoi, DigitsAndTheErrorRecord) {
  tu::tmp_dir dir;
  ASSERT_EQ(tu::in_child([&] {
    setenv("BAS_MEMLOG_PATH", dir.file("m.log").c_str(), 1);
    setenv("BAS_MEMLLOG_PATH", dir.file("l.log").c_str(), 1);
    setenv("BAS_TMR_PATH", dir.file("t.txt").c_str(), 1);
    if (freopen(dir.file("err.txt").c_str(), "w", stderr) == nullptr) return 9;
    err_no = 0;
    if (ctoi('7') != 7 || err_no != 0 || mem_log_get(0) != nullptr) return 1;
    if (ctoi('x') != 72 || err_no != -1) return 2;
    err_no = ERR_END;
    ctoi('/');
    if (err_no != ERR_END) return 3;  // a specific failure survives
    err_no = static_cast<int32_t>(0x80000000u);
    ctoi(' ');
    return err_no == -1 ? 0 : 4;  // failure bit without a code does not
  }), 0);
  const std::string log = tu::slurp(dir.file("m.log"));
  EXPECT_NE(log.find("base/diag/ctoi.cpp("), std::string::npos);
  EXPECT_NE(log.find("err_no:-1/0xffffffff prc_cnt:"), std::string::npos);
  EXPECT_NE(log.find(" Error\n"), std::string::npos) << log;
}

TEST(Stkptr, HandsOverOnce) {
  EXPECT_EQ(stkptr(nullptr, nullptr), nullptr);
  int obj = 0, other = 0;
  EXPECT_EQ(stkptr(&obj, nullptr), &obj);
  EXPECT_EQ(stkptr(&other, nullptr), &other) << "an occupied slot is overwritten";
  EXPECT_EQ(stkptr(nullptr, nullptr), &other);
  EXPECT_EQ(stkptr(nullptr, nullptr), nullptr);
}

}  // namespace
