#include "base/diag/tmr.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>

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
uint32_t clk_mono() { return static_cast<uint32_t>((mono_ns() - clk_org) / 1000000u); }
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
  aut_busy_ = true;
  TMR_SEC();
  if (CVR(!ext_reg_)) {
    ext_reg_ = true;
    std::atexit(tmr_prt_ext);
  }
  if (CVR(last == nullptr)) last = &last_;
  if (CVR(interval == 0)) interval = 1;
  const int64_t now = wal_();
  if (CVR(now >= *last + interval)) {
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
