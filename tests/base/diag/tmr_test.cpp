#include "base/diag/tmr.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
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

// The profiler's own time between its clock readings belongs to no section.
uint32_t step_clk() { return now_ms++; }

TEST_F(Tmr, OverheadIsChargedToNoSection) {
  tmr_clk_set(step_clk);
  static tmr_rcd outer = mk("o2"), inner = mk("i2");
  tmr_frm fo = {}, fi = {};
  now_ms = 0;
  tmr_psh(&outer, &fo);  // reads 0, 1: begins at 1
  tmr_psh(&inner, &fi);  // reads 2, 3: outer.cld += 1
  tmr_pop(&inner, &fi);  // reads 4, 5: inner e = 1, outer.cld += 1 + 1
  tmr_pop(&outer, &fo);  // reads 6, 7: e = 5
  EXPECT_EQ(now_ms, 8u);
  EXPECT_EQ(inner.ttl, 1u);
  EXPECT_EQ(outer.ttl, 5u);
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

// The real clock over a fake counter and a fake kernel clock, both counting from a moment of
// the test's choosing; the counter ticks twice a nanosecond.
struct fake_time {
  static inline uint64_t ctr = 0, ns = 0, asked = 0;
  static uint64_t rd_ctr() { return ctr; }
  static uint64_t rd_ns() {
    ++asked;
    return ns;
  }
  static void adv_ns(uint64_t d) {
    ns += d;
    ctr += 2 * d;
  }
};

class TmrCtr : public testing::Test {
 protected:
  static constexpr uint64_t MS = 1000000;
  static constexpr uint64_t HOUR = 3600000 * MS;
  tmr_clk_fn clk = nullptr;

  void SetUp() override {
    fake_time::ctr = 5000000000;
    fake_time::ns = 7 * HOUR;
    static const tmr_ctr_ops ops = {fake_time::rd_ctr, fake_time::rd_ns};
    tmr_ctr_set(&ops, true);
    tmr_clk_set(nullptr);
    clk = tmr_clk_set(nullptr);   // the real clock, over the fakes
    fake_time::adv_ns(60 * MS);   // long enough to know the counter's rate
    clk();
  }
  void TearDown() override { tmr_ctr_set(nullptr, true); }

  // n sections of one millisecond each; the timer's (count, total) afterwards.
  static std::pair<uint32_t, uint32_t> sections(tmr_rcd& t, int n) {
    for (int i = 0; i < n; ++i) {
      tmr_frm f = {};
      tmr_psh(&t, &f);
      fake_time::adv_ns(MS);
      tmr_pop(&t, &f);
    }
    return {t.cnt, t.ttl};
  }
};

TEST_F(TmrCtr, ReadsTheCounterAndAsksTheKernelOnlyNowAndThen) {
  fake_time::asked = 0;
  const uint32_t t0 = clk();
  for (int i = 0; i < 100000; ++i) {
    fake_time::adv_ns(1000);
    clk();
  }
  EXPECT_EQ(clk() - t0, 100u);
  EXPECT_LE(fake_time::asked, 20u) << "the kernel about every 10 ms of 100";
}

// What the counter may do between two readings, while the kernel's clock goes on: a section
// around it measures the kernel's 5 ms, and the sections after it their 1 ms each.
TEST_F(TmrCtr, ACounterThatMisbehavesCostsNoSection) {
  struct jump {
    const char* what;
    void (*to)();
  };
  static const jump jumps[] = {
      {"a step back", [] { fake_time::ctr -= 2000000000; }},
      {"a jump of hours", [] { fake_time::ctr += 2 * 3 * HOUR; }},
      {"a restart near zero", [] { fake_time::ctr = 1000; }},
  };
  static tmr_rcd timers[] = {mk(jumps[0].what), mk(jumps[1].what), mk(jumps[2].what)};
  for (size_t i = 0; i < std::size(jumps); ++i) {
    const jump& j = jumps[i];
    SCOPED_TRACE(j.what);
    tmr_rcd& t = timers[i];
    tmr_frm f = {};
    tmr_psh(&t, &f);
    fake_time::adv_ns(5 * MS);
    j.to();
    tmr_pop(&t, &f);
    EXPECT_EQ(t.ttl, 5u);
    // Past the time the rate takes to be known again, too.
    EXPECT_EQ(sections(t, 100), std::make_pair(101u, 105u));
  }
}

// After 2^32 ms of the process the count wraps as unsigned arithmetic expects: the one section
// across the wrap is not measured, the ones after it are.
TEST_F(TmrCtr, TheMillisecondCountWrapsAndGoesOn) {
  const uint32_t now = clk();
  fake_time::adv_ns((uint64_t{1} << 32) * MS - (uint64_t{now} + 5) * MS);
  EXPECT_EQ(clk(), 0xFFFFFFFBu);
  static tmr_rcd t = mk("wrap");
  EXPECT_EQ(sections(t, 10), std::make_pair(9u, 9u));
  EXPECT_EQ(clk(), 5u);
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
  // The clock set back an hour: due at once, not when it has caught up again.
  now_s = 1011 - 3600;
  tmr_prt_aut(path.c_str(), 10, &last);
  EXPECT_TRUE(wrote());
  EXPECT_EQ(last, now_s);
  tmr_prt_aut(path.c_str(), 10, &last);
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
