#include "base/diag/tmr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "base/diag/cvr.h"
#include "base/diag/rscmng.h"

namespace {

uint64_t mono_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// Milliseconds of the monotonic clock since the process started: the processor clock would
// not count the time spent waiting, and the report is about elapsed time. The precise clock,
// since the coarse one moves in steps of several milliseconds; counted from the start, so the
// 32-bit count wraps after 49 days of this process rather than of the machine.
const uint64_t clk_org = mono_ns();
uint32_t clk_ask() { return static_cast<uint32_t>((mono_ns() - clk_org) / 1000000u); }

// Asking the kernel is most of a section's cost. Where the kernel itself keeps the monotonic
// clock with the processor's time-stamp counter, the counter is read instead and turned into
// the kernel's time from two of its readings: the first, and one taken again every so many
// readings (so the rate is measured over the whole run and no drift can build up). The result
// never goes back.
#if defined(__x86_64__) || defined(__i386__)
struct tsc_clk {
  bool use;            // the kernel's clock source is the counter
  bool rated;          // enough time since the first reading to know the rate
  uint64_t tsc0, ns0;  // the first reading
  uint64_t tsc1, ns1;  // the latest
  double ns_per_tick;
  uint32_t left;       // readings until the next one of the kernel's
  uint32_t last;       // the latest result
};
tsc_clk tsc_ = [] {
  tsc_clk t{};
  char src[32] = {};
  // Runs during static initialisation, before the coverage recorder can be relied on; like the
  // recorder's own guards, this probe is not reported.
  if (FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r")) {
    t.use = std::fgets(src, sizeof src, f) != nullptr && std::strncmp(src, "tsc", 3) == 0;
    std::fclose(f);
  }
  t.tsc0 = t.tsc1 = __rdtsc();
  t.ns0 = t.ns1 = mono_ns();
  return t;
}();
bool tsc_on = true;   // tests switch the counter off to compare

constexpr uint32_t TSC_EVERY = 1024;
constexpr uint64_t TSC_RATE_NS = 50000000;   // 50 ms of readings before the rate is trusted

uint32_t clk_tsc() {
  tsc_clk& t = tsc_;
  const uint64_t c = __rdtsc();
  uint64_t ns;
  if (CVR(t.left == 0 || !t.rated)) {
    ns = mono_ns();
    t.tsc1 = c;
    t.ns1 = ns;
    t.left = TSC_EVERY;
    t.rated = ns - t.ns0 >= TSC_RATE_NS && c > t.tsc0;
    if (CVR(t.rated)) t.ns_per_tick = static_cast<double>(ns - t.ns0) / static_cast<double>(c - t.tsc0);
  } else {
    --t.left;
    ns = t.ns1 + static_cast<uint64_t>(static_cast<double>(c - t.tsc1) * t.ns_per_tick);
  }
  t.last = std::max(t.last, static_cast<uint32_t>((ns - clk_org) / 1000000u));
  return t.last;
}

// The clock's upkeep is the diagnostics' own work: not recorded (when the kernel is asked
// depends on time, and the record must not).
uint32_t clk_mono() {
  ++dbg_busy;
  const uint32_t t = CVR(tsc_.use && tsc_on) ? clk_tsc() : clk_ask();
  --dbg_busy;
  return t;
}
#else
uint32_t clk_mono() { return clk_ask(); }
#endif
int64_t wal_now() { return static_cast<int64_t>(std::time(nullptr)); }

tmr_clk_fn clk_ = clk_mono;
tmr_wal_fn wal_ = wal_now;

tmr_frm* cur_ = nullptr;
tmr_rcd* lst_ = nullptr;
int64_t last_ = 0;
bool ext_reg_ = false;
bool aut_busy_ = false;

// The profiler runs around every library operation, so its bookkeeping is arithmetic rather
// than branches (each branch would be a condition report as well).

// a where on is set, else b.
inline uint32_t pick(bool on, uint32_t a, uint32_t b) {
  const uint32_t m = 0u - static_cast<uint32_t>(on);
  return (a & m) | (b & ~m);
}

// The first value sets both extremes; later ones widen them.
inline void ext_upd(uint32_t v, uint32_t& mx, uint32_t& mn, bool first) {
  mx = pick(first, v, std::max(mx, v));
  mn = pick(first, v, std::min(mn, v));
}

}  // namespace

void tmr_cache_set(bool on) {
#if defined(__x86_64__) || defined(__i386__)
  tsc_on = on;
#else
  (void)on;
#endif
}

tmr_clk_fn tmr_clk_set(tmr_clk_fn fn) {
  const tmr_clk_fn old = clk_;
  clk_ = CVR(fn != nullptr) ? fn : clk_mono;
  return old;
}

tmr_wal_fn tmr_wal_set(tmr_wal_fn fn) {
  const tmr_wal_fn old = wal_;
  wal_ = CVR(fn != nullptr) ? fn : wal_now;
  return old;
}

tmr_rcd* tmr_lst() { return lst_; }

// One clock reading opens a section and one closes it: the reading is most of a section's
// cost, and the few instructions of the profiler's own around it are far below the
// millisecond the report counts in.
void tmr_psh(tmr_rcd* tmr, tmr_frm* frm) {
  frm->cld = 0;
  frm->rec = static_cast<uint32_t>((tmr->flg & TMR_ACT) != 0);
  tmr->flg |= TMR_ACT;
  frm->prv = cur_;
  cur_ = frm;
  frm->bgn = clk_();
}

void tmr_pop(tmr_rcd* tmr, tmr_frm* frm) {
  const uint32_t t = clk_();
  if (CVR(!(tmr->flg & TMR_LST))) {
    tmr->nxt = lst_;
    lst_ = tmr;
    tmr->flg |= TMR_LST;
  }
  const uint32_t e = t - frm->bgn;
  const bool top = frm->rec == 0;
  if (CVR(!(t < frm->bgn || e < frm->cld))) {
    if (CVR(frm->prv != nullptr)) frm->prv->cld += e;
    tmr->ttl += pick(top, e, 0);
    const bool first = tmr->cnt == 0;
    ext_upd(e, tmr->ttl_max, tmr->ttl_min, first);
    const uint32_t o = e - frm->cld;
    tmr->own += o;
    ext_upd(o, tmr->own_max, tmr->own_min, first);
    ++tmr->cnt;
  }
  // Also for a section the clock could not measure (it went back): a timer left active would
  // count every later section as recursive and its total would stop for good.
  tmr->flg &= ~pick(top, TMR_ACT, 0);
  cur_ = frm->prv;
}

int tmr_prt(FILE* stream) {
  std::fputs("sorce,func,msg,count,total[ms],max_total[ms],min_total[ms],own[ms],max_own[ms],"
             "min_own[ms],ave_total[ms],ave_own[ms]\n", stream);
  for (const tmr_rcd* t = lst_; CVR(t != nullptr); t = t->nxt) {
    std::fprintf(stream, "%s(%d),%s,%s", t->file, t->line, CVR(t->fnc != nullptr) ? t->fnc : "(null)",
                 t->msg);
    std::fprintf(stream, ",%u,%u,%u,%u,%u,%u,%u,", t->cnt, t->ttl, t->ttl_max, t->ttl_min, t->own,
                 t->own_max, t->own_min);
    if (CVR(t->cnt == 0))
      std::fputs("-,-\n", stream);
    else
      std::fprintf(stream, "%e,%e\n", static_cast<double>(t->ttl) / t->cnt,
                   static_cast<double>(t->own) / t->cnt);
  }
  return 0;
}

int tmr_prt_aut(const char* path, uint32_t interval, int64_t* last) {
  // Registering the report file can land here again; one report at a time.
  if (CVR(aut_busy_)) return 0;
  if (CVR(!ext_reg_)) {
    ext_reg_ = true;
    std::atexit(tmr_prt_ext);
  }
  if (CVR(last == nullptr)) last = &last_;
  if (CVR(interval == 0)) interval = 1;
  // This runs after every registration, and a report is due every few seconds at most: the
  // deadline is looked at before a section is opened for the report.
  const int64_t now = wal_();
  if (CVR(now < *last + interval)) return 0;
  aut_busy_ = true;
  TMR_SEC();
  {
    // Looked up only when a report is due: this runs after every registration.
    if (CVR(path == nullptr)) {
      const char* env = std::getenv("BAS_TMR_PATH");
      path = CVR(env != nullptr && *env != '\0') ? env : "_bas_tmr.txt";
    }
    FILE* f = static_cast<FILE*>(rscmng_psh(nullptr, std::fopen(path, "w"), sizeof(FILE), 0,
                                            __FILE__, __LINE__, "tmr_prt_aut", "fopen"));
    if (CVR(f != nullptr)) {
      tmr_prt(f);
      rscmng_del(nullptr, f, 0, __FILE__, __LINE__, "tmr_prt_aut", "fclose");
      std::fclose(f);
    }
    *last = wal_();
  }
  aut_busy_ = false;
  return 0;
}

void tmr_prt_ext() {
  static tmr_rcd ext1 = {"tmr_prt_ext1", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
  static tmr_rcd ext2 = {"tmr_prt_ext2", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
  for (int i = 0; CVR(i < 1000); ++i) {
    tmr_frm f1 = {};
    tmr_frm f2 = {};
    tmr_psh(&ext1, &f1);
    tmr_psh(&ext2, &f2);
    tmr_pop(&ext2, &f2);
    tmr_pop(&ext1, &f1);
  }
  int64_t never = 0;
  tmr_prt_aut(nullptr, 0, &never);
}
