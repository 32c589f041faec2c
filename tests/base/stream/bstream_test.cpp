// Byte streams: texts, integer texts, files and the file destination check.
#include "base/stream/bstream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>

#include "base/base.h"
#include "stream_fixture.h"
#include "test_util.h"

namespace {

class BstreamText : public st::Fixture {};
class BstreamInt : public st::Fixture {};
class BstreamFile : public st::Fixture {};

TEST_F(BstreamText, OwnCursorBlock) {
  stream s{};
  ASSERT_EQ(bstream_str_set(&s, "ab"), 0);
  EXPECT_EQ(s.ops, &STREAM_OPS_STR);
  int32_t r;
  EXPECT_EQ(st::drain_bytes(&s, &r), "ab");
  EXPECT_EQ(r, ERR_EOD);
  stream_end(&s);   // frees the cursor block

  ASSERT_EQ(bstream_str_set(&s, ""), 0);
  unsigned char b = 0x55;
  EXPECT_EQ(stream_pop(&s, &b), ERR_EOD);
  EXPECT_EQ(b, 0x55);
  stream_end(&s);

  ASSERT_EQ(bstream_str_set(nullptr, "z"), 0);
  auto* o = static_cast<stream*>(stkptr(nullptr, nullptr));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(st::drain_bytes(o, &r), "z");
  stream_end(o);
}

TEST_F(BstreamText, CallersCursorAndBytesAboveTheAsciiRange) {
  const std::string text = st::bytes({0x82, 0xA0, 0xFF, 0x41});
  const char* cur = text.c_str();
  stream s{};
  stream_set(&s, &cur, &STREAM_OPS_STR_CUR);
  int32_t r;
  EXPECT_EQ(st::drain_bytes(&s, &r), text);
  EXPECT_EQ(cur, text.c_str() + text.size());   // the caller's variable is the cursor
  stream_end(&s);
  EXPECT_NE(s.flg & STREAM_BND, 0u);

  const char* nul = nullptr;
  unsigned char b = 0;
  EXPECT_EQ(stream_pop_str(&nul, &b), ERR_FAIL);
  err_no = ERR_EOD;
  EXPECT_EQ(stream_pop_str(nullptr, &b), ERR_FAIL);
}

std::string int_text(int32_t n, int32_t* st) {
  stream s{};
  if (bstream_int_set(&s, n) != 0) return "?";
  std::string t = st::drain_bytes(&s, st);
  stream_end(&s);
  return t;
}

std::string uint_text(uint32_t n, int32_t* st) {
  int_src* src = nullptr;
  if (_malloc0(&src, sizeof *src) != 0) return "?";
  src->val = static_cast<int32_t>(n);
  stream s{};
  stream_set(&s, src, &STREAM_OPS_UINT);
  std::string t = st::drain_bytes(&s, st);
  stream_end(&s);
  return t;
}

TEST_F(BstreamInt, Extremes) {
  int32_t r = 0;
  EXPECT_EQ(int_text(0, &r), "0");
  EXPECT_EQ(r, ERR_EOD);
  EXPECT_EQ(int_text(-45, &r), "-45");
  EXPECT_EQ(int_text(9, &r), "9");
  EXPECT_EQ(int_text(10, &r), "10");
  EXPECT_EQ(int_text(-1, &r), "-1");
  EXPECT_EQ(int_text(1000000000, &r), "1000000000");
  EXPECT_EQ(int_text(INT32_MAX, &r), "2147483647");
  EXPECT_EQ(int_text(INT32_MIN, &r), "-2147483648");
  EXPECT_EQ(r, ERR_EOD);
  EXPECT_EQ(uint_text(UINT32_MAX, &r), "4294967295");
  EXPECT_EQ(uint_text(0x80000000u, &r), "2147483648");
  EXPECT_EQ(uint_text(0, &r), "0");
}

TEST_F(BstreamInt, MatchesTheLibraryFormatting) {
  std::mt19937 rng(20240607);
  for (int i = 0; i < 2000; ++i) {
    const uint32_t u = rng() >> (rng() % 32);
    int32_t r;
    const auto n = static_cast<int32_t>(rng());
    ASSERT_EQ(int_text(n, &r), std::to_string(n));
    ASSERT_EQ(uint_text(u, &r), std::to_string(u));
  }
}

TEST_F(BstreamInt, CallersStateAndDoneIsSticky) {
  int_src src{-7, 0};
  stream s{};
  stream_set(&s, &src, &STREAM_OPS_INT_CUR);
  int32_t r;
  EXPECT_EQ(st::drain_bytes(&s, &r), "-7");
  unsigned char b = 0;
  EXPECT_EQ(stream_pop_int(&src, &b), ERR_EOD);
  EXPECT_EQ(stream_pop_int(&src, &b), ERR_EOD);
  src = int_src{123, 0};   // reused by resetting the state
  stream_rst(&s);
  EXPECT_EQ(st::drain_bytes(&s, &r), "123");
  EXPECT_EQ(stream_pop_int(nullptr, &b), ERR_FAIL);
  EXPECT_EQ(stream_pop_uint(nullptr, &b), ERR_FAIL);
}

// A file opened and registered the way the library registers the files it opens.
FILE* open_reg(const std::string& path, const char* mode) {
  FILE* f = std::fopen(path.c_str(), mode);
  if (f != nullptr) rscmng_psh(nullptr, f, 1, 0, __FILE__, __LINE__, "open_reg", "fopen");
  return f;
}

bool registered(const void* p) {
  for (const st::reg_ent& e : st::snapshot()) {
    if (e.bgn == reinterpret_cast<uintptr_t>(p) && e.lvl == 0) return true;
  }
  return false;
}

TEST_F(BstreamFile, ReadPastTheEndFailsAndEnds) {
  tu::tmp_dir d;
  const std::string path = d.file("in.bin");
  {
    FILE* w = std::fopen(path.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    std::fputs("xy", w);
    std::fclose(w);
  }
  FILE* f = open_reg(path, "rb");
  ASSERT_NE(f, nullptr);
  stream s{};
  stream_set(&s, f, &STREAM_OPS_FILE);
  unsigned char* dst = nullptr;   // a registered destination
  ASSERT_EQ(_malloc(&dst, 1), 0);
  EXPECT_EQ(stream_pop(&s, dst), 0);
  EXPECT_EQ(*dst, 'x');
  EXPECT_EQ(stream_pop(&s, dst), 0);
  EXPECT_EQ(*dst, 'y');
  EXPECT_EQ(stream_pop(&s, dst), ERR_FAIL);   // the end of a file reads as a failure
  EXPECT_NE(s.flg & STREAM_END, 0u);
  EXPECT_EQ(stream_pop(&s, dst), ERR_FAIL);
  EXPECT_EQ(stream_rst(&s), 0);   // rewinds the file
  EXPECT_EQ(stream_pop(&s, dst), 0);
  EXPECT_EQ(*dst, 'x');
  _free(&dst);
  EXPECT_TRUE(registered(f));
  stream_end(&s);   // closes and unregisters
  EXPECT_FALSE(registered(f));
}

TEST_F(BstreamFile, WriteThroughTheFileLeftOpen) {
  tu::tmp_dir d;
  const std::string path = d.file("out.bin");
  FILE* f = open_reg(path, "w+b");
  ASSERT_NE(f, nullptr);
  stream s{};
  stream_set(&s, f, &STREAM_OPS_FILE_OPEN);
  for (unsigned char c : st::bytes({0x82, 0xA0, 0x00, 0x41})) ASSERT_EQ(stream_psh(&s, &c), 0);
  stream_end(&s);   // no end slot: the file stays open
  EXPECT_TRUE(registered(f));
  EXPECT_EQ(std::fputc('!', f), '!');
  EXPECT_EQ(stream_end_file(f), 0);
  EXPECT_FALSE(registered(f));
  EXPECT_EQ(tu::slurp(path), st::bytes({0x82, 0xA0, 0x00, 0x41, '!'}));

  // A file opened for reading refuses pushes.
  FILE* ro = open_reg(path, "rb");
  ASSERT_NE(ro, nullptr);
  stream_set(&s, ro, &STREAM_OPS_FILE);
  const unsigned char c = 'q';
  EXPECT_EQ(stream_psh(&s, &c), ERR_END);
  stream_end(&s);
  EXPECT_FALSE(registered(ro));

  unsigned char b = 0;
  err_no = 0;
  EXPECT_EQ(stream_pop_file(nullptr, &b), ERR_FAIL);
  EXPECT_EQ(stream_psh_file(nullptr, &b), ERR_FAIL);
  EXPECT_EQ(stream_rst_file(nullptr), ERR_FAIL);
}

// A destination outside every registered block is logged but the byte is delivered.
// Runs in a child: the memory log is process-wide and writes files.
TEST_F(BstreamFile, UnregisteredDestinationIsLogged) {
  tu::tmp_dir d;
  const std::string path = d.file("in.bin");
  {
    FILE* w = std::fopen(path.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    std::fputs("pq", w);
    std::fclose(w);
  }
  const std::string log = d.file("memlog.log");
  const int rc = tu::in_child([&]() -> int {
    setenv("BAS_MEMLOG_PATH", log.c_str(), 1);
    setenv("BAS_MEMLLOG_PATH", d.file("memlightlog.log").c_str(), 1);
    std::freopen("/dev/null", "w", stderr);
    FILE* f = open_reg(path, "rb");
    if (f == nullptr) return 10;
    stream s{};
    stream_set(&s, f, &STREAM_OPS_FILE);
    int n0 = 0;
    while (mem_log_get(n0) != nullptr) ++n0;
    unsigned char* reg = nullptr;
    if (_malloc(&reg, 1) != 0) return 11;
    const int r1 = stream_pop(&s, reg);
    const unsigned char b1 = *reg;
    _free(&reg);
    const bool quiet = mem_log_get(n0) == nullptr;   // a registered destination is not logged
    unsigned char local = 0;                         // never registered
    const int r2 = stream_pop(&s, &local);
    const int32_t e2 = err_no;
    stream_end(&s);
    if (r1 != 0 || b1 != 'p' || !quiet) return 12;
    if (r2 != 0 || e2 != 0 || local != 'q') return 13;
    const mem_log_rcd* rec = mem_log_get(n0);
    if (rec == nullptr || mem_log_get(n0 + 1) != nullptr) return 14;
    if (rec->file == nullptr || std::string(rec->file) != "base/stream/bstream.cpp") return 15;
    return 0;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_NE(tu::slurp(log).find("stream_pop_file"), std::string::npos);
}

TEST_F(BstreamFile, EndingNoFileOrAFileThatCannotBeFlushed) {
  err_no = 0;
  EXPECT_EQ(stream_end_file(nullptr), -1);
  EXPECT_EQ(err_no, -1);
#ifdef __linux__
  // The last write is only flushed by the close, and there is no room for it.
  FILE* f = std::fopen("/dev/full", "w");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fputc('x', f), 'x');
  err_no = 0;
  EXPECT_NE(stream_end_file(f), 0);
  EXPECT_EQ(err_no, -1);
#endif
}

}  // namespace
