// The matcher: every live thread advances by one character per step, in a fixed order.
#include "base/text/txt_mtc.h"

#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"

// Threads that stand on the same node with the same count do the same from there on, whatever
// their starts; the earliest start wins every comparison a later one could win, so in each
// step only the first thread to reach a state goes on. A step examines the threads in
// nondecreasing order of start (the next list is built in the order the threads are examined,
// the fresh thread of a step comes last), so the first to arrive is the earliest. The table
// holds the states reached in the current step, stamped with it.
struct txt_mtc_ent {
  const txt_trm* nod;
  uint32_t rpt;
  uint32_t stp;   // the step it belongs to; any other value marks a free slot
};

struct txt_mtc_tbl {
  uint32_t cap;   // a power of two
  uint32_t cnt;
  uint32_t stp;
  uint32_t rsv;
  txt_mtc_ent* ent() { return reinterpret_cast<txt_mtc_ent*>(this + 1); }
};

uint32_t txt_mtc_mrg_min = 8;

namespace {

constexpr uint32_t LF = 10;
constexpr uint32_t TBL_MIN = 64;

inline bool is_fin(const txt_trm* n) { return n != nullptr && (n->kind & TRM_FIN) != 0; }

int thd_new(txt_mtc_chk* c, const txt_mtc_thd& img, txt_mtc_thd** out) {
  txt_mtc_thd* t = c->fre;
  if (CVR(t != nullptr)) {
    c->fre = t->nxt;
    *t = img;
    *out = t;
    return 0;
  }
  rscmng_scp scp;
  if (CVR(_malloc_cpy(&t, &img, static_cast<int>(sizeof img)) != 0)) return -1;
  *out = t;
  return 0;
}

inline void thd_put(txt_mtc_chk* c, txt_mtc_thd* t) {
  t->nxt = c->fre;
  c->fre = t;
}

void lst_put(txt_mtc_chk* c, txt_mtc_thd* t) {
  while (CVR(t != nullptr)) {
    txt_mtc_thd* nx = t->nxt;
    thd_put(c, t);
    t = nx;
  }
}

// One step's working state.
struct stp {
  txt_mtc_chk* c;
  txt_mtc_thd* cur;   // threads still to examine at this character
  txt_mtc_thd* nxt;   // threads waiting for the next character, in the order they came
  txt_mtc_thd* end;   // the last of them
  uint32_t p;         // position of the character
  uint32_t ch;
  uint32_t visits;
  bool trk;           // the states reached are being looked up
};

enum : int { GO = 0, FAIL = -1 };

void stp_clr(stp& s) {
  lst_put(s.c, s.cur);
  lst_put(s.c, s.nxt);
  s.cur = s.nxt = s.end = nullptr;
  s.c->thd = nullptr;
}

// Drops the thread at the front of the current list.
inline void drop(stp& s) {
  txt_mtc_thd* t = s.cur;
  s.cur = t->nxt;
  thd_put(s.c, t);
}

inline int cur_psh(stp& s, const txt_trm* nod, uint32_t rpt, uint32_t top) {
  txt_mtc_thd* t = nullptr;
  if (CVR(thd_new(s.c, {s.cur, nod, rpt, top}, &t) != 0)) return FAIL;
  s.cur = t;
  return GO;
}

inline void nxt_psh(stp& s, txt_mtc_thd* t) {
  t->nxt = nullptr;
  if (CVR(s.end != nullptr)) {
    s.end->nxt = t;
  } else {
    s.nxt = t;
  }
  s.end = t;
}

uint32_t ent_hsh(const txt_trm* nod, uint32_t rpt) {
  uint64_t h = reinterpret_cast<uintptr_t>(nod) ^ (uint64_t{rpt} << 32);
  h *= 0x9E3779B97F4A7C15ull;
  return static_cast<uint32_t>(h >> 32);
}

// Makes room for one more state of this step; false when the table cannot grow (states are
// then not looked up, which changes nothing but the work done).
bool tbl_room(txt_mtc_chk* c) {
  txt_mtc_tbl* t = c->tbl;
  if (CVR(t != nullptr && (t->cnt + 1) * 2 <= t->cap)) return true;
  const uint32_t cap = CVR(t == nullptr) ? TBL_MIN : t->cap * 2;
  if (CVR(cap > 0x100000u)) return false;
  txt_mtc_tbl* n = nullptr;
  {
    rscmng_scp scp;
    const int32_t st = err_no;
    if (CVR(_malloc0(&n, static_cast<int>(sizeof *n + cap * sizeof(txt_mtc_ent))) != 0)) {
      err_no = st;
      return false;
    }
  }
  n->cap = cap;
  n->stp = 1;
  if (CVR(t != nullptr)) {
    n->stp = t->stp;
    for (uint32_t i = 0; CVR(i < t->cap); ++i) {
      const txt_mtc_ent& e = t->ent()[i];
      if (CVR(e.stp != t->stp)) continue;
      uint32_t j = ent_hsh(e.nod, e.rpt) & (cap - 1);
      while (CVR(n->ent()[j].stp == n->stp)) j = (j + 1) & (cap - 1);
      n->ent()[j] = e;
      ++n->cnt;
    }
    _free(&t);
  }
  c->tbl = n;
  return true;
}

bool trk_begin(txt_mtc_chk* c) {
  if (CVR(!tbl_room(c))) return false;
  txt_mtc_tbl* t = c->tbl;
  // A new stamp empties the table; after a wrap the old stamps must go for real.
  if (CVR(++t->stp == 0)) {
    std::memset(t->ent(), 0, t->cap * sizeof(txt_mtc_ent));
    t->stp = 1;
  }
  t->cnt = 0;
  return true;
}

// Whether an earlier thread of this step already stood on the state of t; records it if not.
// Short steps are not looked up at all: there the look-ups cost more than they save.
bool seen(stp& s, const txt_mtc_thd* t) {
  txt_mtc_chk* c = s.c;
  if (CVR(!s.trk)) {
    if (CVR(++s.visits <= txt_mtc_mrg_min || (c->flg & TXT_MTC_LIT) != 0)) return false;
    s.trk = trk_begin(c);
    if (CVR(!s.trk)) return false;
  }
  if (CVR(!tbl_room(c))) return false;
  txt_mtc_tbl* tb = c->tbl;
  uint32_t j = ent_hsh(t->nod, t->rpt) & (tb->cap - 1);
  for (;; j = (j + 1) & (tb->cap - 1)) {
    txt_mtc_ent& x = tb->ent()[j];
    if (CVR(x.stp != tb->stp)) {
      x = {t->nod, t->rpt, tb->stp};
      ++tb->cnt;
      return false;
    }
    if (CVR(x.nod == t->nod && x.rpt == t->rpt)) return true;
  }
}

// Records a match of a thread that started at top, ending at end: the leftmost start wins;
// from the same start the longest end in longest mode, else the shortest.
void rec(stp& s, uint32_t top, uint32_t end) {
  txt_mtc_chk* c = s.c;
  bool take = CVR((c->stt & TXT_MTC_STT_MTC) == 0 || top < c->mtc_top);
  if (CVR(!take && top == c->mtc_top)) {
    take = CVR(c->flg & TXT_MTC_LNG) ? end > c->mtc_end : end < c->mtc_end;
  }
  if (CVR(take)) {
    c->stt |= TXT_MTC_STT_MTC;
    c->mtc_top = top;
    c->mtc_end = end;
  }
}

// Whether a thread can no longer change the outcome at position p: an anchored checker keeps
// the start of its run only, a recorded match beats every later start, and without the
// longest bit also every end of its own start from p on.
inline bool beaten(const txt_mtc_chk* c, const txt_mtc_thd* t, uint32_t p) {
  if (CVR((c->stt & TXT_MTC_STT_ANC) != 0 && t->top != c->org)) return true;
  if (CVR((c->stt & TXT_MTC_STT_MTC) == 0)) return false;
  if (CVR(t->top != c->mtc_top)) return CVR(t->top > c->mtc_top);
  return CVR((c->flg & TXT_MTC_LNG) == 0 && c->mtc_end <= p);
}

// The node after an atom that may be skipped and its count nodes; NULL for a term that does
// not have that shape.
const txt_trm* skip(const txt_trm* n) {
  if (CVR((n->kind & TRM_CHR) == 0)) return nullptr;
  while (CVR((n->kind & TRM_CLS_END) == 0)) {
    n = n->next;
    if (CVR(n == nullptr)) return nullptr;
  }
  const txt_trm* q = n->next;
  if (CVR(q == nullptr || (q->kind & TRM_CNT) == 0)) return nullptr;
  if (CVR(q->kind & TRM_CNT_MIN)) {
    q = q->next;
    if (CVR(q == nullptr)) return nullptr;
  }
  return q->next;
}

// 1 when the class that starts at m takes ch, 0 when not, -1 for a broken class. *succ: the
// node after the class.
int cls_tst(const txt_trm* m, uint32_t ch, const txt_trm** succ) {
  bool r = CVR((m->kind & TRM_NEG) != 0);
  for (;;) {
    const txt_trm* hi = m;
    if (CVR(m->kind & TRM_RNG_LO)) {
      hi = m->next;
      if (CVR(hi == nullptr || (hi->kind & TRM_RNG_HI) == 0)) return -1;
    }
    // Every hit sets the result anew from the member's own negation.
    if (CVR(m->arg.val <= ch && ch <= hi->arg.val)) r = (m->kind & TRM_NEG) == 0;
    m = hi;
    if (CVR((m->kind & TRM_CLS_END) != 0 || m->next == nullptr)) break;
    m = m->next;
  }
  if (CVR((m->kind & TRM_CLS_END) == 0)) return -1;
  *succ = m->next;
  return static_cast<int>(r);
}

// The thread at the front of the current list tries to consume the character.
int consume(stp& s) {
  txt_mtc_chk* c = s.c;
  txt_mtc_thd* t = s.cur;
  const txt_trm* q = nullptr;
  const int hit = cls_tst(t->nod, s.ch, &q);
  if (CVR(hit < 0 || (hit > 0 && q == nullptr))) return FAIL;
  if (CVR(hit == 0)) {
    drop(s);
    return GO;
  }
  const uint32_t end = s.p + 1;
  if (CVR((q->kind & TRM_CNT) == 0)) {
    t->nod = q;
    t->rpt = 0;
    if (CVR(is_fin(q))) {
      rec(s, t->top, end);
      drop(s);
      return GO;
    }
    s.cur = t->nxt;
    nxt_psh(s, t);
    return GO;
  }
  ++t->rpt;
  if (CVR((q->kind & TRM_CNT_MIN) == 0)) {
    if (CVR(t->rpt == q->arg.val)) {
      t->nod = q->next;
      t->rpt = 0;
      if (CVR(t->nod == nullptr)) return FAIL;
      if (CVR(is_fin(t->nod))) {
        rec(s, t->top, end);
        drop(s);
        return GO;
      }
    }
    s.cur = t->nxt;
    nxt_psh(s, t);
    return GO;
  }
  const txt_trm* mx = q->next;
  if (CVR(mx == nullptr || (mx->kind & TRM_CNT_MAX) == 0 || mx->next == nullptr)) return FAIL;
  const uint32_t lo = q->arg.val;
  const uint32_t hi = mx->arg.val;
  if (CVR(hi == TRM_UNB && (c->flg & TXT_MTC_LIT) == 0)) {
    // Past the minimum of an unbounded repeat, every count behaves alike (until it would
    // reach the unbounded mark, 2^32 characters on): one count lets equal threads merge.
    const uint32_t cap = CVR(lo > 1) ? lo : 1;
    if (CVR(t->rpt > cap)) t->rpt = cap;
  }
  if (CVR(lo <= t->rpt && t->rpt <= hi)) {
    if (CVR(is_fin(mx->next))) {
      rec(s, t->top, end);
    } else {
      txt_mtc_thd* x = nullptr;
      if (CVR(thd_new(c, {nullptr, mx->next, 0, t->top}, &x) != 0)) return FAIL;
      nxt_psh(s, x);
    }
  }
  s.cur = t->nxt;
  if (CVR(t->rpt < hi)) {
    nxt_psh(s, t);
  } else {
    thd_put(c, t);
  }
  return GO;
}

// A thread moved without consuming onto n: a match if n ends the term.
inline int moved(stp& s, txt_mtc_thd* t, const txt_trm* n) {
  t->nod = n;
  if (CVR(n == nullptr)) return FAIL;
  if (CVR(is_fin(n))) {
    rec(s, t->top, s.p);
    drop(s);
  }
  return GO;
}

// A copy of t at the first node of every alternative after the first, at the front, the last
// alternative first; t itself goes on into the first alternative.
int branch(stp& s, txt_mtc_thd* t, const txt_trm* n) {
  t->nod = n->next;
  if (CVR(t->nod == nullptr)) return FAIL;
  for (const txt_trm* a = n->arg.lnk; CVR(a != nullptr); a = a->arg.lnk) {
    if (CVR(cur_psh(s, a->next, t->rpt, t->top) != GO)) return FAIL;
  }
  return GO;
}

int run(stp& s) {
  txt_mtc_chk* c = s.c;
  while (CVR(s.cur != nullptr)) {
    txt_mtc_thd* t = s.cur;
    const txt_trm* n = t->nod;
    ++c->exm;
    if (CVR(n == nullptr)) return FAIL;
    if (CVR(beaten(c, t, s.p) || seen(s, t))) {
      drop(s);
      continue;
    }
    const uint32_t k = n->kind;
    int r = GO;
    if (CVR((k & (TRM_KET | TRM_BRA | TRM_BOL | TRM_EOL)) != 0)) {
      if (CVR(k & TRM_KET)) {
        r = moved(s, t, n->arg.lnk);
      } else if (CVR(k & TRM_BRA)) {
        r = branch(s, t, n);
      } else if (CVR((k & TRM_BOL) != 0 ? (c->stt & TXT_MTC_STT_BOL) != 0 : s.ch == LF)) {
        r = moved(s, t, n->next);
      } else {
        drop(s);
      }
    } else if (CVR((k & TRM_OPT) != 0 && t->rpt == 0)) {
      const txt_trm* a = skip(n);
      if (CVR(a == nullptr)) return FAIL;
      txt_mtc_thd* x = nullptr;
      if (CVR(thd_new(c, {nullptr, n, 0, t->top}, &x) != 0)) return FAIL;
      t->nod = a;
      if (CVR(is_fin(a))) {
        rec(s, t->top, s.p);
        drop(s);
      }
      // The copy that stays on the atom tries the character at once.
      x->nxt = s.cur;
      s.cur = x;
      r = consume(s);
    } else if (CVR(k & TRM_CHR)) {
      r = consume(s);
    } else if (CVR(k & TRM_FIN)) {
      // Reached through an empty last alternative: a match like any other move onto the end.
      rec(s, t->top, s.p);
      drop(s);
    } else {
      return FAIL;
    }
    if (CVR(r != GO)) return r;
  }
  return GO;
}

// End of input: live threads go on as far as they can without a character.
int drain(stp& s) {
  txt_mtc_chk* c = s.c;
  while (CVR(s.cur != nullptr)) {
    txt_mtc_thd* t = s.cur;
    const txt_trm* n = t->nod;
    ++c->exm;
    if (CVR(n == nullptr)) return FAIL;
    if (CVR(beaten(c, t, s.p) || seen(s, t))) {
      drop(s);
      continue;
    }
    const uint32_t k = n->kind;
    if (CVR((k & TRM_OPT) != 0 && t->rpt == 0)) {
      t->nod = skip(n);
      if (CVR(t->nod == nullptr)) return FAIL;
      continue;
    }
    if (CVR(k & TRM_EOL)) {
      t->nod = n->next;
      continue;
    }
    if (CVR(k & TRM_KET)) {
      t->nod = n->arg.lnk;
      continue;
    }
    // Every alternative of a group can still end the match, and so can a line start after a
    // final line feed.
    if (CVR(k & TRM_BRA)) {
      if (CVR(branch(s, t, n) != GO)) return FAIL;
      continue;
    }
    if (CVR((k & TRM_BOL) != 0 && (c->stt & TXT_MTC_STT_BOL) != 0)) {
      t->nod = n->next;
      continue;
    }
    if (CVR(k & TRM_FIN)) rec(s, t->top, c->pos);
    drop(s);
  }
  return GO;
}

// Frees the threads at the tail of the next list that a recorded match beats already: their
// starts are the latest, so they are the last ones.
void nxt_cut(stp& s) {
  txt_mtc_chk* c = s.c;
  if (CVR((c->stt & TXT_MTC_STT_MTC) == 0)) return;
  txt_mtc_thd** at = &s.nxt;
  s.end = nullptr;
  while (CVR(*at != nullptr && !beaten(c, *at, s.p + 1))) {
    s.end = *at;
    at = &(*at)->nxt;
  }
  lst_put(c, *at);
  *at = nullptr;
}

// -1 unless a failure code is already set: a stale end status must not read as the result.
int fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

int mtc_fail(stp& s) {
  const int32_t st = err_no;
  stp_clr(s);
  err_no = st;
  return fail();
}

}  // namespace

namespace {

// The nodes still to look at and those looked at already, for the walk of __txt_mtc_fst: a
// term of many groups is walked without a call per group, each node once however many paths
// lead to it.
struct fst_walk {
  const txt_trm** stk = nullptr;
  uint32_t stk_len = 0, stk_cap = 0;
  const txt_trm** set = nullptr;   // open addressing; cap a power of two
  uint32_t set_cnt = 0, set_cap = 0;

  ~fst_walk() {
    rscmng_scp scp;
    _free(&stk);
    _free(&set);
  }
  static uint32_t hsh(const txt_trm* n) {
    return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(n) * 0x9E3779B97F4A7C15ull) >> 32);
  }
  bool push(const txt_trm* n) {
    if (CVR(stk_len == stk_cap)) {
      const uint32_t cap = CVR(stk_cap == 0) ? 64 : stk_cap * 2;
      const txt_trm** a = nullptr;
      rscmng_scp scp;
      if (CVR(cap > 0x4000000u || _malloc(&a, static_cast<int>(cap * sizeof *a)) != 0)) return false;
      if (CVR(stk_len != 0)) std::memcpy(a, stk, stk_len * sizeof *a);
      _free(&stk);
      stk = a;
      stk_cap = cap;
    }
    stk[stk_len++] = n;
    return true;
  }
  // 1 when n is new (now recorded), 0 when it was seen, -1 when it cannot be recorded.
  int mark(const txt_trm* n) {
    if (CVR((set_cnt + 1) * 2 > set_cap)) {
      const uint32_t cap = CVR(set_cap == 0) ? 64 : set_cap * 2;
      const txt_trm** a = nullptr;
      rscmng_scp scp;
      if (CVR(cap > 0x4000000u || _malloc0(&a, static_cast<int>(cap * sizeof *a)) != 0)) return -1;
      for (uint32_t i = 0; CVR(i < set_cap); ++i) {
        if (CVR(set[i] == nullptr)) continue;
        uint32_t j = hsh(set[i]) & (cap - 1);
        while (CVR(a[j] != nullptr)) j = (j + 1) & (cap - 1);
        a[j] = set[i];
      }
      _free(&set);
      set = a;
      set_cap = cap;
    }
    uint32_t j = hsh(n) & (set_cap - 1);
    for (; CVR(set[j] != nullptr); j = (j + 1) & (set_cap - 1)) {
      if (CVR(set[j] == n)) return 0;
    }
    set[j] = n;
    ++set_cnt;
    return 1;
  }
};

// 0 with the set filled in, 1 when no set can be given.
int fst_of(fst_walk& w, const txt_trm* trm, uint32_t set[8], bool* big) {
  if (CVR(!w.push(trm))) return 1;
  while (CVR(w.stk_len != 0)) {
    const txt_trm* n = w.stk[--w.stk_len];
    if (CVR(n == nullptr)) return 1;
    const int fresh = w.mark(n);
    if (CVR(fresh < 0)) return 1;
    if (CVR(fresh == 0)) continue;
    const uint32_t k = n->kind;
    if (CVR(k & TRM_BRA)) {
      if (CVR(!w.push(n->next))) return 1;
      for (const txt_trm* a = n->arg.lnk; CVR(a != nullptr); a = a->arg.lnk) {
        if (CVR(!w.push(a->next))) return 1;
      }
      continue;
    }
    if (CVR(k & TRM_KET)) {
      if (CVR(!w.push(n->arg.lnk))) return 1;
      continue;
    }
    // An anchor depends on more than the character, and the end means the empty match.
    if (CVR((k & TRM_CHR) == 0)) return 1;
    const txt_trm* succ = nullptr;
    for (uint32_t ch = 0; CVR(ch < 256); ++ch) {
      const int hit = cls_tst(n, ch, &succ);
      if (CVR(hit < 0)) return 1;
      if (CVR(hit > 0)) set[ch >> 5] |= 1u << (ch & 31);
    }
    for (const txt_trm* m = n;; m = m->next) {
      if (CVR((m->kind & TRM_NEG) != 0 || m->arg.val > 0xFF)) *big = true;
      if (CVR(m->kind & TRM_CLS_END)) break;
    }
    if (CVR((k & TRM_OPT) != 0 && !w.push(skip(n)))) return 1;
  }
  return 0;
}

}  // namespace

int __txt_mtc_fst(const txt_trm* trm, uint32_t set[8], bool* big) {
  rscmng_scp scp;
  std::memset(set, 0, 8 * sizeof(uint32_t));
  *big = false;
  const int32_t st = err_no;
  int r;
  {
    fst_walk w;
    r = fst_of(w, trm, set, big);
  }
  // Running out of room only means that no set can be given.
  err_no = st;
  return r;
}

int txt_mtc_chk_set(txt_mtc_chk* chk, txt_trm* trm, const uint32_t* flags) {
  std::memset(chk, 0, sizeof *chk);
  chk->flg = CVR(flags != nullptr) ? *flags : TXT_MTC_FLG_DEF;
  chk->trm = trm;
  return err_ok();
}

int txt_mtc_wrd(txt_mtc_chk* chk, uint32_t ch) {
  TMR_SEC();
  if (CVR(chk == nullptr || chk->trm == nullptr)) return fail();
  stp s{chk, chk->thd, nullptr, nullptr, chk->pos, ch, 0, false};
  chk->thd = nullptr;
  if (CVR(ch == 0)) {
    if (CVR(drain(s) == FAIL)) return mtc_fail(s);
    return err_ok();
  }
  // The first character of a run fixes where an anchored match must start.
  if (CVR(chk->run == 0)) {
    chk->run = 1;
    chk->org = s.p;
  }
  // The fresh thread has the latest start: it goes last.
  if (CVR((chk->flg & TXT_MTC_NEW) == 0 &&
          ((chk->stt & TXT_MTC_STT_ANC) == 0 || s.p == chk->org))) {
    txt_mtc_thd** at = &s.cur;
    while (CVR(*at != nullptr)) at = &(*at)->nxt;
    txt_mtc_thd* t = nullptr;
    if (CVR(thd_new(chk, {nullptr, chk->trm, 0, s.p}, &t) != 0)) return mtc_fail(s);
    *at = t;
  }
  if (CVR(run(s) == FAIL)) return mtc_fail(s);
  nxt_cut(s);
  if (CVR((chk->stt & (TXT_MTC_STT_ANC | TXT_MTC_STT_MTC)) == TXT_MTC_STT_ANC && s.nxt == nullptr))
    return mtc_fail(s);
  chk->thd = s.nxt;
  if (CVR(ch == LF)) {
    chk->stt |= TXT_MTC_STT_BOL;
  } else {
    chk->stt &= ~TXT_MTC_STT_BOL;
  }
  ++chk->pos;
  return err_ok();
}

int txt_mtc(txt_mtc_chk* chk, stream* strm) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(chk == nullptr)) return fail();
  if (CVR(chk->flg & TXT_MTC_ANC)) {
    chk->stt |= TXT_MTC_STT_ANC;
  } else {
    chk->stt &= ~TXT_MTC_STT_ANC;
  }
  chk->stt |= TXT_MTC_STT_BOL;
  for (;;) {
    uint32_t ch = 0;
    if (CVR(stream_pop(strm, &ch) != 0)) {
      // A stream that fails has not ended: its failure is the result.
      if (CVR(err_code(err_no) != 0)) return err_no;
      // Threads still live at the end may still end a match, also a longer one than that
      // recorded (without live threads the mark changes nothing).
      if (CVR(chk->thd != nullptr && txt_mtc_wrd(chk, 0) != 0)) return fail();
      break;
    }
    if (CVR(txt_mtc_wrd(chk, ch) != 0)) return fail();
    // Once a match is recorded, the live threads are those that can still beat it.
    if (CVR((chk->stt & TXT_MTC_STT_MTC) != 0 && chk->thd == nullptr)) break;
  }
  if (CVR(chk->stt & TXT_MTC_STT_MTC)) return err_ok();
  err_no = ERR_END;
  return err_no;
}

void txt_mtc_chk_rst(txt_mtc_chk* chk) {
  if (CVR(chk == nullptr)) return;
  lst_put(chk, chk->thd);
  chk->thd = nullptr;
  chk->stt &= ~TXT_MTC_STT_MTC;
  chk->mtc_top = 0;
  chk->mtc_end = 0;
  chk->run = 0;
  chk->flg &= ~TXT_MTC_NEW;
}

void txt_mtc_chk_end(txt_mtc_chk* chk) {
  if (CVR(chk == nullptr)) return;
  rscmng_scp scp;
  txt_mtc_chk_rst(chk);
  txt_mtc_thd_end(chk->fre);
  _free(&chk->tbl);
  if (CVR(chk->flg & TXT_MTC_OWN)) txt_mtc_trm_end(chk->trm);
  std::memset(chk, 0, sizeof *chk);
}

void txt_mtc_trm_end(txt_trm* trm) {
  rscmng_scp scp;
  while (CVR(trm != nullptr)) {
    txt_trm* nx = trm->next;
    _free(&trm);
    trm = nx;
  }
}

void txt_mtc_thd_end(txt_mtc_thd* thd) {
  rscmng_scp scp;
  while (CVR(thd != nullptr)) {
    txt_mtc_thd* nx = thd->nxt;
    _free(&thd);
    thd = nx;
  }
}
