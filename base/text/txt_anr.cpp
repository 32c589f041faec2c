// The analyzer: set-up, rules and factors, handing elements on, and the analysis that runs
// every rule against the list before its first element goes.
#include "base/text/txt_anr.h"

#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"
#include "base/stream/cstream.h"
#include "base/text/regexp.h"

namespace {

int anr_fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

struct prt_aut {
  ~prt_aut() { tmr_prt_aut(nullptr, 10, nullptr); }
};

// A profiling section of its own name for the rest of the block.
#define TMR_SEC_NAMED(msg)                                                       \
  static tmr_rcd tmr_rcd_nmd_{msg, __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, \
                              0, 0, 0, 0, 0};                                   \
  tmr_sec tmr_sec_nmd_ { tmr_rcd_nmd_ }

void rul_end(txt_anr_rul* r) {
  for (txt_anr_fct* f = r->fct_top; CVR(f != nullptr);) {
    txt_anr_fct* nx = f->nxt;
    txt_mtc_chk_end(&f->chk);
    _free(&f->txt);
    _free(&f);
    f = nx;
  }
  _free(&r);
}

// Releases every engaged rule whose match ended at one of the two elements.
void release(txt_anr* anr, const txt_anr_elm* a, const txt_anr_elm* b) {
  TMR_SEC_NAMED("__txt_anr end roop");
  for (txt_anr_rul** r = &anr->rul_on; CVR(*r != nullptr);) {
    txt_anr_rul* x = *r;
    if (CVR(x->on_elm == a || x->on_elm == b)) {
      anr->stt = x->stt_off;
      x->on_elm = nullptr;
      *r = x->on_nxt;
      x->on_nxt = nullptr;
    } else {
      r = &x->on_nxt;
    }
  }
}

}  // namespace

int txt_anr_set(txt_anr* anr, struct txt_spr* spr) {
  rscmng_scp scp;
  if (CVR(anr == nullptr)) return anr_fail();
  std::memset(anr, 0, sizeof *anr);
  stream* s = nullptr;
  if (CVR(_malloc(&s, static_cast<int>(sizeof *s)) != 0)) return anr_fail();
  txt_spr_for_anr_stream_set(s, spr);
  s->flg |= STREAM_OWN;
  anr->stm = s;
  if (CVR(vmap_set(&anr->var_map, 0) != 0)) {
    const int32_t st = err_no;
    stream_end(s);
    std::memset(anr, 0, sizeof *anr);
    err_no = st;
    return anr_fail();
  }
  return err_ok();
}

int _txt_anr_set(txt_anr* anr, stream* strm) {
  rscmng_scp scp;
  if (CVR(anr == nullptr)) {
    stream_end(strm);
    return anr_fail();
  }
  std::memset(anr, 0, sizeof *anr);
  anr->stm = strm;
  if (CVR(vmap_set(&anr->var_map, 0) != 0)) {
    const int32_t st = err_no;
    stream_end(strm);
    std::memset(anr, 0, sizeof *anr);
    err_no = st;
    return anr_fail();
  }
  return err_ok();
}

int txt_anr_chk_add_lst(txt_anr* anr, const uint32_t* prm) {
  rscmng_scp scp;
  if (CVR(anr == nullptr)) return anr_fail();
  txt_anr_rul* r = nullptr;
  if (CVR(_malloc0(&r, static_cast<int>(sizeof *r)) != 0)) return anr_fail();
  if (CVR(prm != nullptr)) {
    r->stt_req = prm[0];
    r->stt_set = prm[1];
    r->stt_off = prm[2];
  }
  if (CVR(anr->rul_end == nullptr)) anr->rul_end = &anr->rul_top;
  *anr->rul_end = r;
  anr->rul_end = &r->nxt;
  anr->fct_end = &r->fct_top;
  return err_ok();
}

int txt_anr_chk_add_fct(txt_anr* anr, uint32_t knd, uint32_t val, const char* txt,
                        const uint32_t* flags) {
  rscmng_scp scp;
  if (CVR(anr == nullptr || anr->fct_end == nullptr)) return anr_fail();
  txt_anr_fct* f = nullptr;
  if (CVR(_malloc0(&f, static_cast<int>(sizeof *f)) != 0)) return anr_fail();
  f->knd = knd;
  f->val = val;
  if (CVR(_malloc_str(&f->txt, txt) != 0)) {
    _free(&f);
    return anr_fail();
  }
  // An empty text holds the empty match everywhere: such a test looks at the type only.
  if (CVR(knd < 4 && txt != nullptr && *txt != 0)) {
    const char* cur = txt;
    stream bs{};
    stream cs{};
    stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
    const int32_t st = regexp_chk(&f->chk, &cs, flags);
    if (CVR(st != 0)) {
      txt_mtc_chk_end(&f->chk);
      _free(&f->txt);
      _free(&f);
      err_no = st;
      return st;
    }
  }
  *anr->fct_end = f;
  anr->fct_end = &f->nxt;
  return err_ok();
}

int __txt_anr(txt_anr* anr) {
  prt_aut aut;
  TMR_SEC_NAMED("__txt_anr");
  rscmng_scp scp;
  anr->flg &= ~TXT_ANR_HIT;
  txt_anr_elm* const head = anr->elm_top;
  for (txt_anr_rul* r = anr->rul_top; CVR(r != nullptr); r = r->nxt) {
    if (CVR(r->stt_req != anr->stt || r->on_elm != nullptr)) continue;
    txt_anr_ctx c{anr, nullptr, nullptr};
    if (CVR(txt_anr_top(anr, &c.cur, &c.prv) != 0)) return anr_fail();
    int m = 1;
    for (txt_anr_fct* f = r->fct_top; CVR(f != nullptr); f = f->nxt) {
      m = __txt_anr_fct_mtc(&c, f);
      if (CVR(m != 1)) break;
    }
    if (CVR(m < 0)) return m;
    if (CVR(m == 0)) continue;
    r->on_elm = c.cur;
    r->on_nxt = anr->rul_on;
    anr->rul_on = r;
    anr->stt = r->stt_set;
    for (txt_anr_fct* f = r->fct_top; CVR(f != nullptr); f = f->nxt) {
      if (CVR(__txt_anr_fct_act(&c, f) != 0)) return anr_fail();
    }
    anr->flg |= TXT_ANR_HIT;
  }
  if (CVR(anr->rul_on != nullptr)) {
    txt_anr_elm* first = nullptr;
    if (CVR(txt_anr_top(anr, &first, nullptr) != 0)) return anr_fail();
    // A rule engaged on the element analysed is released with the rules engaged on the
    // first element, also when a rule has put an element in front of it.
    release(anr, first, head);
  }
  return err_ok();
}

int _txt_anr(txt_anr* anr, txt_anr_elm** elm) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(anr == nullptr)) return anr_fail();
  anr->flg &= ~TXT_ANR_HIT;
  if (CVR(anr->flg & TXT_ANR_OUT)) {
    // After the end every call reports the end again.
    if (CVR(anr->elm_top == nullptr && anr->stm_end != 0)) {
      err_no = anr->stm_end;
      return err_no;
    }
    if (CVR(txt_anr_pop(anr) != 0)) return anr_fail();
  } else {
    anr->flg |= TXT_ANR_OUT;
  }
  txt_anr_elm* e = nullptr;
  if (CVR(txt_anr_top(anr, &e, nullptr) != 0)) return err_no;
  // What the rules inserted counts as analyzed: a rule that fires on its own insertion would
  // insert for ever.
  if (CVR((e->stt & (TXT_ANR_ELM_DON | TXT_ANR_ELM_INS)) == 0)) {
    if (CVR(__txt_anr(anr) != 0)) return anr_fail();
    e->stt |= TXT_ANR_ELM_DON;
  }
  if (CVR(elm != nullptr && txt_anr_top(anr, elm, nullptr) != 0)) return err_no;
  return err_ok();
}

int _txt_anr_stream_pop(void* anr, void* elm) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(elm == nullptr)) return anr_fail();
  for (;;) {
    txt_anr_elm* e = nullptr;
    if (CVR(_txt_anr(static_cast<txt_anr*>(anr), &e) != 0)) return err_no;
    if (CVR((e->stt & TXT_ANR_ELM_HID) == 0)) {
      std::memcpy(elm, e, sizeof *e);
      return err_ok();
    }
  }
}

int txt_anr_stream_set(stream* strm, txt_anr* anr) {
  rscmng_scp scp;
  return stream_set(strm, anr, &TXT_ANR_OPS);
}

void txt_anr_end(txt_anr* anr) {
  rscmng_scp scp;
  if (CVR(anr == nullptr)) return;
  stream_end(anr->stm);
  for (txt_anr_elm* e = anr->elm_top; CVR(e != nullptr);) {
    txt_anr_elm* nx = e->nxt;
    __txt_anr_elm_end(nullptr, e);
    e = nx;
  }
  for (txt_anr_rul* r = anr->rul_top; CVR(r != nullptr);) {
    txt_anr_rul* nx = r->nxt;
    rul_end(r);
    r = nx;
  }
  if (CVR(anr->fil != nullptr)) {
    rscmng_del(nullptr, anr->fil, 0, __FILE__, __LINE__, "txt_anr_end", "fclose");
    std::fclose(anr->fil);
  }
  vmap_end(&anr->var_map);
  std::memset(anr, 0, sizeof *anr);
}

void __txt_anr_stream_end(void* anr) { txt_anr_end(static_cast<txt_anr*>(anr)); }
