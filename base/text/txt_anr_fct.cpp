// The analyzer's factors: what each kind tests or moves while its rule is matched, the
// position it records, and what it does when the rule fires.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/containers/buf.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"
#include "base/stream/cstream.h"
#include "base/text/txt_anr.h"
#include "base/variant/vmap_fmt.h"

namespace {

enum : int { FAIL = 0, PASS = 1 };

// A failure of a factor is never the end of the input: a status that reads as an end (a
// refused push, say, when a buffer could not grow) becomes -1, or the stream's reader would
// take the failure for the end of the text. Other failures stand.
int act_fail() {
  if (CVR(err_code(err_no) == 0 || err_code(err_no) == 1)) err_no = ERR_FAIL;
  return err_no;
}

// A move that ran out of elements fails the factor; any other failure ends the analysis.
int moved(int32_t st) {
  if (CVR(st == 0)) return PASS;
  if (CVR(err_code(st) == 0 || err_code(st) == 1)) return FAIL;
  return st;
}

inline bool hidden(const txt_anr_elm* e) { return (e->stt & TXT_ANR_ELM_HID) != 0; }

// A character stream over a text, built in place.
struct txt_cs {
  const char* cur;
  stream bs{};
  stream cs{};
  explicit txt_cs(const char* t) : cur(CVR(t != nullptr) ? t : "") {
    stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  }
};

// The element test of kinds 0 to 3: its type, and a match of the factor's text inside its text.
int tst(txt_anr_fct* f, const txt_anr_elm* e) {
  if (CVR(f->val != TXT_ANR_ANY && e->typ != f->val)) return FAIL;
  if (CVR(f->chk.trm == nullptr)) return PASS;
  static tmr_rcd sec_rcd{"__txt_anr txt_mtc", __FILE__, __LINE__, nullptr, nullptr,
                         0, 0, 0, 0, 0, 0, 0, 0};
  tmr_sec sec{sec_rcd};
  txt_cs in(e->txt);
  const int32_t st = txt_mtc(&f->chk, &in.cs);
  txt_mtc_chk_rst(&f->chk);
  if (CVR(st == 0)) return PASS;
  // An anchored checker fails as soon as its last thread dies: no match. Otherwise a failure
  // of the matcher is one (memory) and ends the analysis.
  if (CVR(st == ERR_END || (f->chk.flg & TXT_MTC_ANC) != 0)) {
    err_ok();
    return FAIL;
  }
  err_no = st;
  return st;
}

struct saved {
  txt_anr_elm* cursor;
  txt_anr_elm* cur;
  txt_anr_pos prv;
};
saved save(const txt_anr_ctx* c) { return {c->anr->elm_cur, c->cur, c->prv}; }
void back(txt_anr_ctx* c, const saved& s) {
  c->anr->elm_cur = s.cursor;
  c->cur = s.cur;
  c->prv = s.prv;
}

int nxt(txt_anr_ctx* c) { return moved(txt_anr_nxt(c->anr, &c->cur, &c->prv)); }

// Kinds 2 and 3: the first element from here on, group by group, that passes the test.
int find(txt_anr_ctx* c, txt_anr_fct* f, bool stay) {
  const saved s = save(c);
  int r = FAIL;
  for (;;) {
    if (CVR(c->cur == nullptr)) break;
    r = tst(f, c->cur);
    if (CVR(r != FAIL)) break;
    r = moved(__txt_anr_mov_nxt(c->anr, &c->cur, &c->prv, 1));
    if (CVR(r != PASS)) break;
    r = FAIL;
  }
  if (CVR(r != PASS || !stay)) back(c, s);
  return r;
}

// Kinds 7 and 8: out of the enclosing group, past its closer or onto it.
int leave(txt_anr_ctx* c, bool past) {
  int32_t depth = 1;
  for (;;) {
    txt_anr_elm* e = c->cur;
    if (CVR(e == nullptr)) return FAIL;
    if (CVR((e->typ & TXT_ANR_SKP) == 0)) {
      if (CVR(e->typ & TXT_ANR_OPN)) ++depth;
      if (CVR(e->typ & TXT_ANR_CLS)) --depth;
    }
    if (CVR(depth == 0 && !past)) return PASS;
    const saved s = save(c);
    const int r = nxt(c);
    if (CVR(depth == 0)) {
      // A closer that ends the input: the factor passes on it.
      if (CVR(r == FAIL)) {
        back(c, s);
        return PASS;
      }
      return r;
    }
    if (CVR(r != PASS)) return r;
  }
}

// Kind 10's position: after the matching closer when the current element opens a group
// (the current element itself when the input ends first), else after the current element.
int group_end(txt_anr_ctx* c, txt_anr_pos* at) {
  *at = &c->cur->nxt;
  if (CVR((c->cur->typ & TXT_ANR_OPN) == 0)) return PASS;
  const saved s = save(c);
  int32_t depth = 0;
  int r = PASS;
  for (;;) {
    const txt_anr_elm* e = c->cur;
    if (CVR(!hidden(e))) {
      if (CVR(e->typ & TXT_ANR_OPN)) ++depth;
      if (CVR(e->typ & TXT_ANR_CLS)) --depth;
    }
    if (CVR(depth == 0)) {
      *at = &c->cur->nxt;
      break;
    }
    r = nxt(c);
    if (CVR(r != PASS)) break;
  }
  back(c, s);
  // The end of the input leaves the position at the current element.
  if (CVR(r == FAIL)) return PASS;
  return r;
}

int var_find(txt_anr_ctx* c, txt_anr_fct* f) {
  txt_anr* a = c->anr;
  const char* name = f->txt;
  if (CVR(name == nullptr || *name == 0)) {
    if (CVR(c->cur == nullptr)) return FAIL;
    name = c->cur->txt;
  }
  vtyp* v = nullptr;
  if (CVR(vmap_ref_str(&a->var_map, a->var_prn, name, &v) != 0)) {
    v = nullptr;
    if (CVR(f->val != 0)) {
      if (CVR(vmap_put_str_str(&a->var_map, a->var_prn, name, "", 0) != 0)) return act_fail();
      if (CVR(vmap_ref_str(&a->var_map, a->var_prn, name, &v) != 0)) return act_fail();
    }
  }
  err_ok();
  if (CVR(v == nullptr)) return FAIL;
  a->var_cur = v;
  f->var = v;
  f->var_prn = a->var_prn;
  return PASS;
}

int ins(txt_anr_pos at, txt_anr_elm* e) {
  e->stt = TXT_ANR_ELM_INS;
  e->nxt = *at;
  *at = e;
  return err_ok();
}

// The factor's text expanded as a template over the variables.
int tpl_stream(txt_anr* a, txt_cs* tpl, stream* out) {
  return vmap_fmt_stream(out, &a->var_map, &tpl->cs);
}

int fil_close(txt_anr* a) {
  FILE* f = a->fil;
  a->fil = nullptr;
  rscmng_del(nullptr, f, 0, __FILE__, __LINE__, "__txt_anr_fct_act", "fclose");
  if (CVR(std::fclose(f) != 0)) return -1;
  return 0;
}

int fil_open(txt_anr* a, const char* name, const char* mode) {
  if (CVR(a->fil != nullptr)) fil_close(a);
  if (CVR(name == nullptr)) return act_fail();
  a->fil = static_cast<FILE*>(rscmng_psh(nullptr, std::fopen(name, mode), sizeof(FILE), 0,
                                         __FILE__, __LINE__, "__txt_anr_fct_act", "fopen"));
  if (CVR(a->fil == nullptr)) return act_fail();
  return err_ok();
}

// Kinds 24 to 26: the current variable takes a value.
int var_put(txt_anr_ctx* c, const txt_anr_fct* f) {
  txt_anr* a = c->anr;
  vtyp* var = a->var_cur;
  if (CVR(var == nullptr)) return act_fail();
  const char* text = f->txt;
  if (CVR(text == nullptr || *text == 0)) {
    if (CVR(*f->at == nullptr)) return act_fail();
    text = (*f->at)->txt;
  }
  if (CVR(f->knd == 26)) {
    vtyp* old = nullptr;
    if (CVR(vtyp_get_lnk(var, &old, 0) == 0 && old != nullptr)) {
      vtyp_lay l;
      __vtyp_lay(old, &l);
      void* p = nullptr;
      if (CVR((l.typ & VTYP_KND_MSK) == VTYP_INT && vtyp_ref_val(old, &p) == 0)) {
        int32_t n = 0;
        std::memcpy(&n, p, sizeof n);
        n = static_cast<int32_t>(static_cast<uint32_t>(n) +
                                 static_cast<uint32_t>(std::atoi(text)));
        std::memcpy(p, &n, sizeof n);
        a->var_cur = nullptr;
        return err_ok();
      }
    }
  }
  vtyp_dsc d{};
  int32_t n = 0;
  if (CVR(f->knd == 24)) {
    d.typ = VTYP_STR;
    d.val = text;
  } else {
    n = std::atoi(text);
    d.typ = VTYP_INT;
    d.val = &n;
  }
  // The new value is made first: a failure leaves the old one in place.
  vtyp* v = nullptr;
  if (CVR(vtyp_set(&v, &d) != 0)) return act_fail();
  vtyp_del_lnk(var, 0);
  if (CVR(vtyp_put_lnk(var, v, 0) != 0)) {
    vtyp_end(v);
    return act_fail();
  }
  a->var_cur = nullptr;
  return err_ok();
}

int merge(txt_anr* a, uint32_t typ) {
  if (CVR(a->mrg_top == nullptr || *a->mrg_top == nullptr || a->mrg_end == nullptr))
    return act_fail();
  __VARBUF(mrg_buf, 1);
  const txt_anr_elm* last = *a->mrg_end;
  for (txt_anr_elm* e = *a->mrg_top; CVR(e != nullptr); e = e->nxt) {
    if (CVR(!hidden(e))) {
      for (const char* p = e->txt; CVR(p != nullptr && *p != 0); ++p) {
        if (CVR(buf_psh(mrg_buf, p) != 0)) {
          buf_end(mrg_buf);
          return act_fail();
        }
      }
      e->stt |= TXT_ANR_ELM_HID;
    }
    if (CVR(e == last)) break;
  }
  const char nul = 0;
  char* txt = nullptr;
  if (CVR(buf_psh(mrg_buf, &nul) != 0 || _buf_vptr(mrg_buf, &txt) != 0)) {
    buf_end(mrg_buf);
    return act_fail();
  }
  txt_anr_elm* n = nullptr;
  if (CVR(__txt_anr_mak_fct_use_prm_txt(&n, typ, txt) != 0)) return act_fail();
  return ins(a->mrg_end, n);
}

// ---- matching, one function per group of kinds ----

int m_test(txt_anr_ctx* c, txt_anr_fct* f) {
  if (CVR(c->cur == nullptr)) return FAIL;
  const int r = tst(f, c->cur);
  if (CVR(r < 0)) return r;
  // Kind 1 passes where the test fails.
  if (CVR((r == PASS) == (f->knd == 0))) return PASS;
  return FAIL;
}
int m_find(txt_anr_ctx* c, txt_anr_fct* f) { return find(c, f, CVR(f->knd == 3)); }
int m_step(txt_anr_ctx* c, txt_anr_fct*) {
  return moved(__txt_anr_mov_nxt(c->anr, &c->cur, &c->prv, 1));
}
int m_next(txt_anr_ctx* c, txt_anr_fct*) { return nxt(c); }
int m_open(txt_anr_ctx* c, txt_anr_fct*) {
  if (CVR(c->cur == nullptr || (c->cur->typ & TXT_ANR_OPN) == 0)) return FAIL;
  int r = nxt(c);
  while (CVR(r == PASS && (c->cur->typ & TXT_ANR_SKP) != 0)) r = nxt(c);
  return r;
}
int m_leave(txt_anr_ctx* c, txt_anr_fct* f) { return leave(c, CVR(f->knd == 7)); }
int m_group(txt_anr_ctx* c, txt_anr_fct* f) {
  if (CVR(c->cur == nullptr)) return FAIL;
  return group_end(c, &f->at);
}
int m_here(txt_anr_ctx* c, txt_anr_fct* f) {
  if (CVR(c->cur == nullptr)) return FAIL;
  f->at = &c->cur->nxt;
  return PASS;
}
int m_prv(txt_anr_ctx* c, txt_anr_fct* f) {
  f->at = c->prv;
  return PASS;
}
int m_print(txt_anr_ctx*, txt_anr_fct* f) {
  std::printf("%s\n", CVR(f->txt != nullptr) ? f->txt : "");
  return PASS;
}
int m_pass(txt_anr_ctx*, txt_anr_fct*) { return PASS; }
int m_var(txt_anr_ctx* c, txt_anr_fct* f) { return var_find(c, f); }
int m_has_var(txt_anr_ctx* c, txt_anr_fct* f) {
  f->at = c->prv;
  if (CVR(c->anr->var_cur != nullptr)) return PASS;
  return FAIL;
}

using mtc_fn = int (*)(txt_anr_ctx*, txt_anr_fct*);
constexpr mtc_fn MTC[TXT_ANR_KND_MAX + 1] = {
    m_test,  m_test,  m_find,  m_find,    m_step,    m_next,    m_open,  m_leave,
    m_leave, m_prv,   m_group, m_here,    m_prv,     m_group,   m_here,  m_prv,
    m_prv,   m_print, m_pass,  m_pass,    m_pass,    m_pass,    m_pass,  m_var,
    m_has_var, m_has_var, m_has_var, m_prv, m_prv, m_prv};

// ---- actions ----

int a_none(txt_anr_ctx*, txt_anr_fct*) { return err_ok(); }
int a_at(txt_anr_ctx*, txt_anr_fct* f) {
  txt_anr_elm* e = nullptr;
  if (CVR(f->at != nullptr)) e = *f->at;
  if (CVR(e == nullptr)) return act_fail();
  if (CVR(f->knd == 9)) {
    e->typ = f->val;
  } else {
    e->stt |= TXT_ANR_ELM_HID;
  }
  return err_ok();
}
int a_ins(txt_anr_ctx*, txt_anr_fct* f) {
  txt_anr_elm* e = nullptr;
  if (CVR(__txt_anr_mak_fct(&e, f->val, f->txt) != 0)) return act_fail();
  return ins(f->at, e);
}
int a_ins_tpl(txt_anr_ctx* c, txt_anr_fct* f) {
  txt_cs tpl(f->txt);
  stream fs{};
  txt_anr_elm* e = nullptr;
  if (CVR(tpl_stream(c->anr, &tpl, &fs) != 0 || __txt_anr_mak_fct_by_stm(&e, f->val, &fs) != 0))
    return act_fail();
  return ins(f->at, e);
}
int a_print(txt_anr_ctx*, txt_anr_fct* f) {
  std::printf("%s\n", CVR(f->txt != nullptr) ? f->txt : "");
  return err_ok();
}
int a_open(txt_anr_ctx* c, txt_anr_fct* f) {
  return fil_open(c->anr, f->txt, CVR(f->knd == 18) ? "w" : "a");
}
int a_close(txt_anr_ctx* c, txt_anr_fct*) {
  if (CVR(c->anr->fil == nullptr || fil_close(c->anr) != 0)) return act_fail();
  return err_ok();
}
int a_write(txt_anr_ctx* c, txt_anr_fct* f) {
  FILE* fil = c->anr->fil;
  if (CVR(fil == nullptr || std::fputs(CVR(f->txt != nullptr) ? f->txt : "", fil) < 0))
    return act_fail();
  return err_ok();
}
int a_write_tpl(txt_anr_ctx* c, txt_anr_fct* f) {
  if (CVR(c->anr->fil == nullptr)) return act_fail();
  txt_cs tpl(f->txt);
  stream fs{};
  if (CVR(tpl_stream(c->anr, &tpl, &fs) != 0 || cstream_to_fil(&fs, c->anr->fil) != 0))
    return act_fail();
  return err_ok();
}
int a_var(txt_anr_ctx* c, txt_anr_fct* f) {
  c->anr->var_cur = f->var;
  c->anr->var_prn = f->var_prn;
  return err_ok();
}
int a_var_put(txt_anr_ctx* c, txt_anr_fct* f) { return var_put(c, f); }
int a_mrg_top(txt_anr_ctx* c, txt_anr_fct* f) {
  c->anr->mrg_top = f->at;
  return err_ok();
}
int a_mrg_end(txt_anr_ctx* c, txt_anr_fct* f) {
  c->anr->mrg_end = f->at;
  return err_ok();
}
int a_merge(txt_anr_ctx* c, txt_anr_fct* f) { return merge(c->anr, f->val); }

constexpr mtc_fn ACT[TXT_ANR_KND_MAX + 1] = {
    a_none,  a_none,      a_none,    a_none,      a_none,  a_none,    a_none,
    a_none,  a_none,      a_at,      a_ins,       a_ins,   a_ins,     a_ins_tpl,
    a_ins_tpl, a_ins_tpl, a_at,      a_print,     a_open,  a_open,    a_close,
    a_write, a_write_tpl, a_var,     a_var_put,   a_var_put, a_var_put, a_mrg_top,
    a_mrg_end, a_merge};

}  // namespace

int __txt_anr_fct_mtc(txt_anr_ctx* c, txt_anr_fct* f) {
  rscmng_scp scp;
  // Kinds above the last fail.
  if (CVR(f->knd > TXT_ANR_KND_MAX)) return FAIL;
  return MTC[f->knd](c, f);
}

int __txt_anr_fct_act(txt_anr_ctx* c, txt_anr_fct* f) {
  rscmng_scp scp;
  if (CVR(f->knd > TXT_ANR_KND_MAX)) return err_ok();
  return ACT[f->knd](c, f);
}
