#include "base/diag/tmr.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "test_util.h"

namespace {

uint32_t now_ms = 1000;
uint32_t test_clk() { return now_ms; }
int64_t now_s = 5000;
int64_t test_wal() { return now_s; }

class Tmr : public testing::Test {
 protected:
  void SetUp() override {
    tmr_clk_set(test_clk);
    tmr_wal_set(test_wal);
  }
  void TearDown() override {
    tmr_clk_set(nullptr);
    tmr_wal_set(nullptr);
  }
};

// Timers stay in the report list for good: each test keeps its own in static storage.
tmr_rcd mk(const char* msg) { return tmr_rcd{msg, "t.cpp", 1, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0}; }

std::string report() {
  char* out = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&out, &len);
  tmr_prt(f);
  std::fclose(f);
  std::string s(out, len);
  std::free(out);
  return s;
}

std::string row_of(const std::string& rep, const std::string& msg) {
  const size_t at = rep.find(",(null)," + msg + ",");
  if (at == std::string::npos) return "";
  const size_t bol = rep.rfind('\n', at) + 1;
  return rep.substr(bol, rep.find('\n', at) - bol);
}

TEST_F(Tmr, NestedSectionsSplitOwnAndTotalTime) {
  static tmr_rcd outer = mk("outer"), inner = mk("inner");
  tmr_frm fo = {}, fi = {};
  now_ms = 100;
  tmr_psh(&outer, &fo);
  now_ms = 101;
  tmr_psh(&inner, &fi);
  now_ms = 104;
  tmr_pop(&inner, &fi);
  now_ms = 105;
  tmr_pop(&outer, &fo);
  EXPECT_EQ(outer.ttl, 5u);
  EXPECT_EQ(outer.own, 2u);
  EXPECT_EQ(inner.ttl, 3u);
  EXPECT_EQ(inner.own, 3u);
  EXPECT_EQ(outer.cnt, 1u);
  EXPECT_EQ(outer.flg, TMR_LST) << "closed, listed";
}

// Each opening and each closing reads the clock once; the time between readings is the
// section's.
uint32_t step_clk() { return now_ms++; }

TEST_F(Tmr, OneClockReadingPerOpeningAndClosing) {
  tmr_clk_set(step_clk);
  static tmr_rcd outer = mk("o2"), inner = mk("i2");
  tmr_frm fo = {}, fi = {};
  now_ms = 0;
  tmr_psh(&outer, &fo);  // reads 0
  tmr_psh(&inner, &fi);  // reads 1
  tmr_pop(&inner, &fi);  // reads 2: inner e = 1, outer.cld += 1
  tmr_pop(&outer, &fo);  // reads 3: e = 3
  EXPECT_EQ(now_ms, 4u);
  EXPECT_EQ(inner.ttl, 1u);
  EXPECT_EQ(outer.ttl, 3u);
  EXPECT_EQ(outer.own, 2u);
}

TEST_F(Tmr, RecursiveSectionsCountButAddNoTotal) {
  static tmr_rcd r = mk("rec");
  tmr_frm f1 = {}, f2 = {};
  now_ms = 10;
  tmr_psh(&r, &f1);
  now_ms = 12;
  tmr_psh(&r, &f2);
  EXPECT_EQ(f2.rec, 1u);
  now_ms = 15;
  tmr_pop(&r, &f2);
  EXPECT_TRUE(r.flg & TMR_ACT) << "the outer section is still open";
  now_ms = 20;
  tmr_pop(&r, &f1);
  EXPECT_EQ(r.cnt, 2u);
  EXPECT_EQ(r.ttl, 10u);
  EXPECT_EQ(r.own, 3u + 7u);
  EXPECT_EQ(r.ttl_max, 10u);
  EXPECT_EQ(r.ttl_min, 3u);
  EXPECT_EQ(r.own_max, 7u);
  EXPECT_EQ(r.own_min, 3u);
  EXPECT_FALSE(r.flg & TMR_ACT);
}

TEST_F(Tmr, AClockThatWentBackOnceStopsNoTimer) {
  static tmr_rcd t = mk("back");
  tmr_frm f = {};
  now_ms = 500;
  tmr_psh(&t, &f);
  now_ms = 400;
  tmr_pop(&t, &f);
  EXPECT_EQ(t.cnt, 0u);
  for (int i = 0; i < 10; ++i) {
    tmr_frm g = {};
    tmr_psh(&t, &g);
    now_ms += 5;
    tmr_pop(&t, &g);
  }
  EXPECT_EQ(t.cnt, 10u);
  EXPECT_EQ(t.ttl, 50u) << "later sections were taken for recursive ones";
  EXPECT_EQ(t.flg & TMR_ACT, 0u);
}

TEST(TmrClock, MillisecondsOfThePreciseClockSinceTheStart) {
  const tmr_clk_fn real = tmr_clk_set(nullptr);
  // Counted from the process's start, not the machine's: at most this process's age.
  std::ifstream stat("/proc/self/stat");
  std::string field;
  for (int i = 0; i < 22; ++i) stat >> field;   // starttime, in clock ticks since boot
  const uint64_t start_ms = std::stoull(field) * 1000 / static_cast<uint64_t>(sysconf(_SC_CLK_TCK));
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t boot_ms = static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
  const uint32_t first = real();
  EXPECT_LE(first, boot_ms - start_ms + 20);
  // Steps of one millisecond, not of the coarse clock's several.
  uint32_t prev = first, small_steps = 0;
  for (int changes = 0; changes < 20;) {
    const uint32_t t = real();
    if (t == prev) continue;
    small_steps += t - prev < 4 ? 1 : 0;
    prev = t;
    ++changes;
  }
  EXPECT_GT(small_steps, 0u);
}

TEST_F(Tmr, ReportListsClosedTimersWithTheExactFormat) {
  static tmr_rcd open_only = mk("never_closed"), a = mk("fmt_a"), bad = mk("fmt_anomaly");
  tmr_frm fo = {}, fa = {}, fb = {};
  now_ms = 50;
  tmr_psh(&open_only, &fo);
  tmr_psh(&a, &fa);
  now_ms = 53;
  tmr_pop(&a, &fa);
  tmr_psh(&a, &fa);
  now_ms = 54;
  tmr_pop(&a, &fa);
  tmr_psh(&bad, &fb);
  now_ms = 40;  // the clock went backwards: closed but not counted
  tmr_pop(&bad, &fb);
  const std::string rep = report();
  EXPECT_EQ(rep.rfind("sorce,func,msg,count,total[ms],max_total[ms],min_total[ms],own[ms],"
                      "max_own[ms],min_own[ms],ave_total[ms],ave_own[ms]\n", 0), 0u);
  EXPECT_EQ(row_of(rep, "never_closed"), "");
  EXPECT_EQ(row_of(rep, "fmt_a"), "t.cpp(1),(null),fmt_a,2,4,3,1,4,3,1,2.000000e+00,2.000000e+00");
  EXPECT_EQ(row_of(rep, "fmt_anomaly"), "t.cpp(1),(null),fmt_anomaly,0,0,0,0,0,0,0,-,-");
  EXPECT_LT(rep.find("fmt_anomaly"), rep.find("fmt_a,")) << "newest listed first";
  now_ms = 60;
  tmr_pop(&open_only, &fo);
}

TEST_F(Tmr, PeriodicReportAtMostOncePerInterval) {
  tu::tmp_dir dir;
  const std::string path = dir.file("r.txt");
  int64_t last = 0;
  auto wrote = [&] {
    const bool w = tu::exists(path);
    std::filesystem::remove(path);
    return w;
  };
  now_s = 1000;
  tmr_prt_aut(path.c_str(), 10, &last);
  EXPECT_TRUE(wrote());
  EXPECT_EQ(last, 1000);
  for (now_s = 1001; now_s < 1010; ++now_s) {
    tmr_prt_aut(path.c_str(), 10, &last);
    EXPECT_FALSE(wrote()) << now_s;
  }
  tmr_prt_aut(path.c_str(), 10, &last);
  EXPECT_TRUE(wrote());
  now_s = 1011;
  tmr_prt_aut(path.c_str(), 0, &last);  // interval 0 means 1
  EXPECT_TRUE(wrote());
  tmr_prt_aut(path.c_str(), 0, &last);
  EXPECT_FALSE(wrote());
}

TEST_F(Tmr, ARecordWithItsFunctionAndAReportFileThatCannotBeMade) {
  static tmr_rcd named{"named_sec", "n.cpp", 7, "named_fn", nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
  tmr_frm f = {};
  now_ms = 10;
  tmr_psh(&named, &f);
  now_ms = 12;
  tmr_pop(&named, &f);
  const std::string rep = report();
  EXPECT_NE(rep.find("\nn.cpp(7),named_fn,named_sec,1,2,2,2,2,2,2,"), std::string::npos) << rep;
  // A report that is due but cannot be written is skipped until the next interval.
  int64_t last = 0;
  now_s = 2000;
  EXPECT_EQ(tmr_prt_aut("/nonexistent-kestrel/dir/r.txt", 10, &last), 0);
  EXPECT_EQ(last, 2000);
}

TEST(TmrExit, FinalReportCarriesTheCalibrationRows) {
  tu::tmp_dir dir;
  const std::string path = dir.file("final.txt");
  ASSERT_EQ(tu::in_child([&] {
    setenv("BAS_TMR_PATH", path.c_str(), 1);
    int64_t last = 0;
    tmr_prt_aut(nullptr, 1, &last);  // registers the exit handler
    std::filesystem::remove(path);
    return 0;
  }), 0);
  const std::string rep = tu::slurp(path);
  const std::string r1 = row_of(rep, "tmr_prt_ext1");
  const std::string r2 = row_of(rep, "tmr_prt_ext2");
  EXPECT_NE(r1.find("),(null),tmr_prt_ext1,1000,"), std::string::npos) << rep;
  EXPECT_NE(r2.find("),(null),tmr_prt_ext2,1000,"), std::string::npos) << rep;
  EXPECT_EQ(r1.rfind("base/diag/tmr.cpp(", 0), 0u) << r1;
}

}  // namespace
