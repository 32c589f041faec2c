// The pattern compiler: one left-to-right pass that appends nodes to the term.
#include "base/text/regexp.h"

#include "base/diag/ctoi.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"

namespace {

constexpr uint32_t BSL = 92;

// What the construct before the current character was: a quantifier may only follow an atom.
enum class prv_knd { none, atom, quant, other };

struct cmp_st {
  stream* strm;
  txt_trm* first;
  txt_trm** slot;        // where the next node is linked in
  txt_trm* atom;         // first node of the last atom
  txt_trm* grp;          // BRA of the last group opened
  txt_trm* grp_tail;     // last BRA or KET of that group's chain
  txt_trm* top_tail;     // last top-level KET, or the first node
  bool pending;          // the group was closed; its KETs are linked to the next node
  bool grp_open;
  bool grp_done;         // a group has been closed: no top-level alternative may follow
  prv_knd prv;
};

// A syntax error or an allocation failure: -1, unless a failure code is already set.
int cmp_fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

// The pattern stopped where it cannot: the stream's own status (1 at its end).
int cmp_end() {
  if (CVR(err_no == ERR_OK)) err_no = ERR_EOD;
  return err_no;
}

// Links every KET of the group that starts at bra to n, and every alternative start to the
// next alternative's start (NULL for the last).
void grp_close(txt_trm* bra, txt_trm* n) {
  txt_trm* start = bra;
  for (txt_trm* k = bra->arg.lnk; CVR(k != nullptr);) {
    txt_trm* nk = k->arg.lnk;
    start->arg.lnk = CVR(k->next == n) ? nullptr : k->next;
    k->arg.lnk = n;
    start = k->next;
    k = nk;
  }
}

int app(cmp_st& c, uint32_t kind, uint32_t val, txt_trm** out) {
  txt_trm* n = nullptr;
  if (CVR(_malloc0(&n, static_cast<int>(sizeof *n)) != 0)) return cmp_fail();
  *c.slot = n;
  c.slot = &n->next;
  n->kind = kind;
  n->arg.val = val;
  if (CVR(c.pending)) {
    grp_close(c.grp, n);
    c.pending = false;
  }
  if (CVR(out != nullptr)) *out = n;
  return 0;
}

int pop(cmp_st& c, uint32_t* ch) {
  if (CVR(stream_pop(c.strm, ch) != 0)) return cmp_end();
  return 0;
}

// The C locale's white space, on character codes of any size.
bool is_spc(uint32_t ch) { return ch == 0x20 || (ch >= 9 && ch <= 13); }

int skip_spc(cmp_st& c, uint32_t* ch) {
  while (CVR(is_spc(*ch))) {
    if (CVR(pop(c, ch) != 0)) return err_no;
  }
  return 0;
}

// A run of digits (none reads as 0) that must fit in 32 bits; *ch is the character after it.
int number(cmp_st& c, uint32_t* ch, uint32_t* out) {
  uint64_t v = 0;
  while (CVR(*ch >= '0' && *ch <= '9')) {
    v = v * 10 + static_cast<uint64_t>(ctoi(static_cast<int>(*ch)));
    // A count that wrapped would silently mean another count.
    if (CVR(v > 0xFFFFFFFFu)) return cmp_fail();
    if (CVR(pop(c, ch) != 0)) return err_no;
  }
  *out = static_cast<uint32_t>(v);
  return 0;
}

// {n}, {n,}, {n,m}, white space allowed around the numbers and the comma.
int braces(cmp_st& c) {
  uint32_t ch = 0;
  uint32_t lo = 0;
  uint32_t hi = TRM_UNB;
  if (CVR(pop(c, &ch) != 0 || skip_spc(c, &ch) != 0 || number(c, &ch, &lo) != 0 ||
          skip_spc(c, &ch) != 0))
    return err_no;
  if (CVR(ch == '}')) {
    // Zero occurrences has no node form: the atom would still be matched once.
    if (CVR(lo == 0)) return cmp_fail();
    return app(c, TRM_CNT, lo, nullptr);
  }
  if (CVR(ch != ',')) return cmp_fail();
  if (CVR(pop(c, &ch) != 0 || skip_spc(c, &ch) != 0)) return err_no;
  if (CVR(ch != '}')) {
    if (CVR(number(c, &ch, &hi) != 0 || skip_spc(c, &ch) != 0)) return err_no;
    if (CVR(ch != '}')) return cmp_fail();
    // A count that can never be reached makes a pattern that never matches.
    if (CVR(lo > hi || hi == 0)) return cmp_fail();
  }
  if (CVR(app(c, TRM_CNT | TRM_CNT_MIN, lo, nullptr) != 0)) return err_no;
  return app(c, TRM_CNT | TRM_CNT_MAX, hi, nullptr);
}

int cls(cmp_st& c) {
  uint32_t ch = 0;
  if (CVR(pop(c, &ch) != 0)) return err_no;
  uint32_t neg = 0;
  if (CVR(ch == '^')) {
    neg = TRM_NEG;
    if (CVR(pop(c, &ch) != 0)) return err_no;
  }
  txt_trm* last = nullptr;
  for (;;) {
    if (CVR(ch == ']')) {
      if (CVR(last == nullptr)) return cmp_fail();
      last->kind |= TRM_CLS_END;
      c.prv = prv_knd::atom;
      return 0;
    }
    uint32_t kind = TRM_CHR | neg;
    if (CVR(ch == '-')) {
      // A range needs its lower bound; a bound cannot close one range and open the next
      // (the second range would be lost).
      if (CVR(last == nullptr || (last->kind & TRM_RNG_HI) != 0)) return cmp_fail();
      last->kind |= TRM_RNG_LO;
      kind |= TRM_RNG_HI;
      if (CVR(pop(c, &ch) != 0)) return err_no;
    }
    if (CVR(__regexp_escape(c.strm, &ch) != 0)) return cmp_end();
    txt_trm* n = nullptr;
    if (CVR(app(c, kind, ch, &n) != 0)) return err_no;
    if (CVR(last == nullptr)) c.atom = n;
    last = n;
    if (CVR(pop(c, &ch) != 0)) return err_no;
  }
}

int quant(cmp_st& c, uint32_t ch) {
  // Only an atom can be repeated: a count node anywhere else makes a term the matcher
  // cannot walk.
  if (CVR(c.prv != prv_knd::atom)) return cmp_fail();
  c.prv = prv_knd::quant;
  uint32_t lo = 0;
  uint32_t hi = TRM_UNB;
  if (CVR(ch == '{')) return braces(c);
  if (CVR(ch == '+')) lo = 1;
  if (CVR(ch == '?')) hi = 1;
  if (CVR(ch != '+')) c.atom->kind |= TRM_OPT;
  if (CVR(app(c, TRM_CNT | TRM_CNT_MIN, lo, nullptr) != 0)) return err_no;
  return app(c, TRM_CNT | TRM_CNT_MAX, hi, nullptr);
}

int one(cmp_st& c, uint32_t ch) {
  txt_trm* n = nullptr;
  if (CVR(ch == '$' || ch == '^')) {
    c.prv = prv_knd::other;
    return app(c, CVR(ch == '$') ? TRM_EOL : TRM_BOL, 0, nullptr);
  }
  if (CVR(ch == '(')) {
    // One group at a time: a nested one has no place in the chain of the open one.
    if (CVR(c.grp_open)) return cmp_fail();
    if (CVR(app(c, TRM_BRA, 0, &n) != 0)) return err_no;
    c.grp = c.grp_tail = n;
    c.grp_open = true;
    c.prv = prv_knd::none;
    return 0;
  }
  if (CVR(ch == '|')) {
    // A top-level alternative after a group would be linked into that group's chain.
    if (CVR(!c.grp_open && c.grp_done)) return cmp_fail();
    txt_trm*& tail = CVR(c.grp_open) ? c.grp_tail : c.top_tail;
    if (CVR(app(c, TRM_KET, 0, &n) != 0)) return err_no;
    tail->arg.lnk = n;
    tail = n;
    c.prv = prv_knd::none;
    return app(c, TRM_BRA, 0, nullptr);
  }
  if (CVR(ch == ')')) {
    if (CVR(!c.grp_open)) return cmp_fail();
    if (CVR(app(c, TRM_KET, 0, &n) != 0)) return err_no;
    c.grp_tail->arg.lnk = n;
    c.grp_tail = n;
    c.pending = true;
    c.grp_open = false;
    c.grp_done = true;
    c.prv = prv_knd::other;
    return 0;
  }
  if (CVR(ch == '*' || ch == '+' || ch == '?' || ch == '{')) return quant(c, ch);
  if (CVR(ch == '.')) {
    if (CVR(app(c, TRM_CHR | TRM_CLS_END | TRM_NEG, 10, &c.atom) != 0)) return err_no;
    c.prv = prv_knd::atom;
    return 0;
  }
  if (CVR(ch == '[')) return cls(c);
  if (CVR(__regexp_escape(c.strm, &ch) != 0)) return cmp_end();
  if (CVR(app(c, TRM_CHR | TRM_CLS_END, ch, &c.atom) != 0)) return err_no;
  c.prv = prv_knd::atom;
  return 0;
}

int compile(cmp_st& c) {
  if (CVR(app(c, TRM_BRA, 0, &c.first) != 0)) return err_no;
  c.top_tail = c.first;
  uint32_t ch = 0;
  // An empty pattern compiles to nothing.
  if (CVR(pop(c, &ch) != 0)) return err_no;
  for (;;) {
    if (CVR(one(c, ch) != 0)) return err_no;
    if (CVR(stream_pop(c.strm, &ch) != 0)) break;
  }
  // A failing pattern stream is not the end of the pattern.
  if (CVR(err_code(err_no) != 0)) return err_no;
  // An open group has no KET to leave it by.
  if (CVR(c.grp_open)) return cmp_fail();
  txt_trm* fin = nullptr;
  if (CVR(app(c, TRM_FIN, 0, &fin) != 0)) return err_no;
  txt_trm* start = c.first;
  for (txt_trm* k = c.first->arg.lnk; CVR(k != nullptr);) {
    txt_trm* nk = k->arg.lnk;
    start->arg.lnk = k->next;
    k->arg.lnk = fin;
    start = k->next;
    k = nk;
  }
  return 0;
}

}  // namespace

int __regexp_escape(stream* strm, uint32_t* ch) {
  if (CVR(*ch != BSL)) return 0;
  rscmng_scp scp;
  if (CVR(stream_pop(strm, ch) != 0)) return 1;
  if (CVR(*ch == 'n')) {
    *ch = 10;
  } else if (CVR(*ch == 'r')) {
    *ch = 13;
  } else if (CVR(*ch == 't')) {
    *ch = 9;
  }
  return 0;
}

int regexp_trm(txt_mtc_chk* chk, stream* strm) {
  rscmng_scp scp;
  if (CVR(chk == nullptr)) return cmp_fail();
  chk->trm = nullptr;
  cmp_st c{};
  c.strm = strm;
  c.slot = &c.first;
  if (CVR(compile(c) != 0)) {
    const int32_t st = err_no;
    txt_mtc_trm_end(c.first);
    err_no = st;
    return st;
  }
  chk->trm = c.first;
  return err_ok();
}

int regexp_chk(txt_mtc_chk* chk, stream* strm, const uint32_t* flags) {
  rscmng_scp scp;
  if (CVR(chk == nullptr)) return cmp_fail();
  if (CVR(flags != nullptr)) {
    chk->flg = *flags;
  } else {
    chk->flg |= TXT_MTC_FLG_DEF;
  }
  chk->flg |= TXT_MTC_OWN;
  int32_t st = regexp_trm(chk, strm);
  if (CVR(st != 0 && err_no == ERR_OK)) st = err_no = ERR_FAIL;
  if (CVR(st < 0 && st != static_cast<int32_t>(0x80000000u))) {
    txt_mtc_chk_end(chk);
    err_no = st;
  }
  return st;
}
