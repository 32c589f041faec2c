#include "base/diag/tmr.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
#include <x86intrin.h>
#endif

#include "base/diag/cvr.h"
#include "base/diag/fil.h"
#include "base/diag/rscmng.h"

namespace {

uint64_t mono_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
uint64_t ctr_rd() { return __rdtsc(); }
#else
uint64_t ctr_rd() { return 0; }
#endif

constexpr tmr_ctr_ops CTR_REAL = {ctr_rd, mono_ns};

// Time for the report: milliseconds of the monotonic clock since the process started (the
// processor clock would not count the time spent waiting), the precise clock, since the coarse
// one moves in steps of several milliseconds. The 32-bit count is the low half of a 64-bit
// count, so it wraps after 49.7 days of this process as unsigned arithmetic expects.
//
// Asking the kernel costs most of a section. Where the kernel itself keeps the monotonic clock
// with the processor's time-stamp counter (Linux on x86), the counter is read instead and
// turned into the kernel's nanoseconds: from the latest kernel reading (the anchor) at a rate
// measured over the whole run. A reading behind the anchor (a counter not in step across
// processors, one that restarted at a resume) or too far past it (a jump, or simply a while
// since the anchor) asks the kernel instead and anchors there; a counter that disagrees with
// the kernel over the interval has its rate measured again from scratch.
struct ctr_clk {
  tmr_ctr_ops ops;
  bool use;            // readings come from the counter once it is rated
  bool rated;
  uint64_t c_b, ns_b;  // where the rate is measured from
  uint64_t c_a, ns_a;  // the anchor: the latest kernel reading
  double ns_per_c;
  uint64_t lim;        // counter steps past the anchor that are still interpolated
  uint64_t org;        // the kernel's time at the start
  uint64_t last;       // the latest result: the clock never goes back
};

constexpr uint64_t RATE_NS = 50000000;      // kernel time before a rate is trusted
constexpr uint64_t ANCHOR_NS = 10000000;    // interpolated at most this far from the anchor
constexpr uint64_t SKEW_NS = 100000;        // counter and kernel may part by this much, plus
constexpr uint64_t SKEW_DIV = 1024;         // this share of the interval, before re-rating

void ctr_rst(ctr_clk& k, const tmr_ctr_ops& ops, bool use) {
  k = ctr_clk{};
  k.ops = ops;
  k.use = use;
  k.c_a = k.c_b = ops.ctr();
  k.ns_a = k.ns_b = k.org = k.last = ops.mono();
}

// True where the kernel keeps time by the counter: only then is the counter's rate steady and
// the same on every processor.
bool ctr_usable() {
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
  char src[32] = {};
  bool tsc = false;
  FILE* f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
  if (CVR(f != nullptr)) {
    tsc = CVR(std::fgets(src, sizeof src, f) != nullptr && std::strncmp(src, "tsc", 3) == 0);
    std::fclose(f);
  }
  return tsc;
#else
  return false;
#endif
}

// Set up during static initialisation: the recorder's table and the heap calls it uses need
// none (all of their state is constant-initialised).
ctr_clk clk_k = [] {
  ctr_clk k;
  ctr_rst(k, CTR_REAL, ctr_usable());
  return k;
}();

// A kernel reading ns with the counter at c becomes the anchor.
void ctr_anchor(ctr_clk& k, uint64_t c, uint64_t ns) {
  bool fresh = CVR(c < k.c_a || ns < k.ns_a);
  if (CVR(!fresh && k.rated)) {
    // What the counter says of the interval against what the kernel says.
    const double by_ctr = static_cast<double>(c - k.c_a) * k.ns_per_c;
    const double by_krn = static_cast<double>(ns - k.ns_a);
    const double tol = static_cast<double>(SKEW_NS) + by_krn / SKEW_DIV;
    fresh = CVR(by_ctr > by_krn + tol || by_ctr + tol < by_krn);
  }
  if (CVR(fresh)) {
    k.c_b = c;
    k.ns_b = ns;
    k.rated = false;
  } else if (CVR(ns - k.ns_b >= RATE_NS && c > k.c_b)) {
    k.ns_per_c = static_cast<double>(ns - k.ns_b) / static_cast<double>(c - k.c_b);
    k.lim = static_cast<uint64_t>(static_cast<double>(ANCHOR_NS) / k.ns_per_c);
    k.rated = true;
  }
  k.c_a = c;
  k.ns_a = ns;
}

uint64_t ctr_ns(ctr_clk& k) {
  uint64_t ns;
  if (CVR(k.use)) {
    // The machine's own counter read in place: a call through the table costs a share of a reading.
    const uint64_t c = CVR(k.ops.ctr == ctr_rd) ? ctr_rd() : k.ops.ctr();
    const uint64_t d = c - k.c_a;   // a counter behind the anchor wraps to a huge step
    if (CVR(k.rated && d <= k.lim)) {
      ns = k.ns_a + static_cast<uint64_t>(static_cast<double>(d) * k.ns_per_c);
    } else {
      ns = k.ops.mono();
      ctr_anchor(k, c, ns);
    }
  } else {
    ns = k.ops.mono();
  }
  if (CVR(ns > k.last)) k.last = ns;
  return k.last;
}

// The clock's upkeep is the diagnostics' own work: not recorded (when the kernel is asked
// depends on time, and the record must not).
uint32_t clk_mono() {
  ++dbg_busy;
  const uint64_t ns = ctr_ns(clk_k);
  --dbg_busy;
  return static_cast<uint32_t>((ns - clk_k.org) / 1000000u);
}

int64_t wal_now() { return static_cast<int64_t>(std::time(nullptr)); }

tmr_clk_fn clk_ = clk_mono;
tmr_wal_fn wal_ = wal_now;

tmr_frm* cur_ = nullptr;
tmr_rcd* lst_ = nullptr;
int64_t last_ = 0;
bool ext_reg_ = false;
bool aut_busy_ = false;

inline void ext_upd(uint32_t v, uint32_t& mx, uint32_t& mn, bool first) {
  if (CVR(first)) {
    mx = mn = v;
  } else if (CVR(v > mx)) {
    mx = v;
  } else if (CVR(v < mn)) {
    mn = v;
  }
}

}  // namespace

void tmr_ctr_set(const tmr_ctr_ops* ops, bool use) {
  ++dbg_busy;
  if (CVR(ops == nullptr)) {
    ctr_rst(clk_k, CTR_REAL, use && ctr_usable());
  } else {
    ctr_rst(clk_k, *ops, use);
  }
  --dbg_busy;
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

void tmr_psh(tmr_rcd* tmr, tmr_frm* frm) {
  const uint32_t t0 = clk_();
  frm->cld = 0;
  if (CVR(tmr->flg & TMR_ACT)) {
    frm->rec = 1;
  } else {
    frm->rec = 0;
    tmr->flg |= TMR_ACT;
  }
  frm->prv = cur_;
  cur_ = frm;
  const uint32_t t1 = clk_();
  frm->bgn = t1;
  if (CVR(frm->prv != nullptr && t0 < t1)) frm->prv->cld += t1 - t0;
}

void tmr_pop(tmr_rcd* tmr, tmr_frm* frm) {
  const uint32_t t = clk_();
  if (CVR(!(tmr->flg & TMR_LST))) {
    tmr->nxt = lst_;
    lst_ = tmr;
    tmr->flg |= TMR_LST;
  }
  const uint32_t e = t - frm->bgn;
  if (CVR(!(t < frm->bgn || e < frm->cld))) {
    if (CVR(frm->prv != nullptr)) frm->prv->cld += e;
    if (CVR(frm->rec == 0)) tmr->ttl += e;
    const bool first = CVR(tmr->cnt == 0);
    ext_upd(e, tmr->ttl_max, tmr->ttl_min, first);
    const uint32_t o = e - frm->cld;
    tmr->own += o;
    ext_upd(o, tmr->own_max, tmr->own_min, first);
    ++tmr->cnt;
  }
  // Also for a section the clock could not measure (it went back): a timer left active would
  // count every later section as recursive and its total would stop for good.
  if (CVR(frm->rec == 0)) tmr->flg &= ~TMR_ACT;
  cur_ = frm->prv;
  const uint32_t t2 = clk_();
  if (CVR(cur_ != nullptr && t < t2)) cur_->cld += t2 - t;
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
  aut_busy_ = true;
  TMR_SEC();
  if (CVR(!ext_reg_)) {
    ext_reg_ = true;
    std::atexit(tmr_prt_ext);
  }
  if (CVR(last == nullptr)) last = &last_;
  if (CVR(interval == 0)) interval = 1;
  const int64_t now = wal_();
  // A time before the last report (the clock was set back) counts as due: the report would
  // otherwise wait until the clock caught up again.
  if (CVR(now >= *last + interval || now < *last)) {
    // Looked up only when a report is due: this runs after every registration.
    if (CVR(path == nullptr)) {
      const char* env = std::getenv("BAS_TMR_PATH");
      path = CVR(env != nullptr && *env != '\0') ? env : "_bas_tmr.txt";
    }
    FILE* f = static_cast<FILE*>(rscmng_psh(nullptr, diag_fopen(path), sizeof(FILE), 0,
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
