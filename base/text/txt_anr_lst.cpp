// The analyzer's look-ahead list: elements read lazily from the input, the cursor moves, and
// the structural step over nested groups.
#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"
#include "base/stream/cstream.h"
#include "base/text/txt_anr.h"

namespace {

int anr_fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

// Ends a section with the periodic report, after the section itself has closed.
struct prt_aut {
  ~prt_aut() { tmr_prt_aut(nullptr, 10, nullptr); }
};

inline bool skippable(const txt_anr_elm* e) {
  return (e->typ & TXT_ANR_SKP) != 0 || (e->stt & TXT_ANR_ELM_HID) != 0;
}

// The end of the input (or of the list) is a structural step's plain failure; anything else,
// an allocation that failed, say, is passed on.
int mov_fail(int32_t st) {
  if (CVR(err_code(st) == 0 || err_code(st) == 1)) {
    err_no = ERR_END;
    return err_no;
  }
  err_no = st;
  return st;
}

}  // namespace

int __txt_anr_mak_fct_use_prm_txt(txt_anr_elm** elm, uint32_t typ, char* txt) {
  rscmng_scp scp;
  txt_anr_elm* e = nullptr;
  if (CVR(_malloc0(&e, static_cast<int>(sizeof *e)) != 0)) {
    // The text was handed over: it goes with the element that could not be made.
    const int32_t st = err_no;
    _free(&txt);
    err_no = st;
    return anr_fail();
  }
  e->typ = typ;
  e->txt = txt;
  *elm = e;
  return err_ok();
}

int __txt_anr_mak_fct(txt_anr_elm** elm, uint32_t typ, const char* txt) {
  rscmng_scp scp;
  char* cpy = nullptr;
  // Every element has a text, if only an empty one: its readers do not test for none.
  if (CVR(_malloc_str(&cpy, CVR(txt != nullptr) ? txt : "") != 0)) return anr_fail();
  return __txt_anr_mak_fct_use_prm_txt(elm, typ, cpy);
}

int __txt_anr_mak_fct_by_stm(txt_anr_elm** elm, uint32_t typ, stream* strm) {
  rscmng_scp scp;
  char* txt = nullptr;
  if (CVR(cstream_to_vstr(strm, &txt) != 0)) return anr_fail();
  return __txt_anr_mak_fct_use_prm_txt(elm, typ, txt);
}

void __txt_anr_elm_end(txt_anr* anr, txt_anr_elm* elm) {
  rscmng_scp scp;
  if (CVR(anr != nullptr)) {
    // A merge mark or an engaged rule must not outlive the element it names.
    if (CVR(anr->mrg_top == &elm->nxt)) anr->mrg_top = nullptr;
    if (CVR(anr->mrg_end == &elm->nxt)) anr->mrg_end = nullptr;
    for (txt_anr_rul** r = &anr->rul_on; CVR(*r != nullptr);) {
      if (CVR((*r)->on_elm == elm)) {
        txt_anr_rul* x = *r;
        anr->stt = x->stt_off;
        x->on_elm = nullptr;
        *r = x->on_nxt;
        x->on_nxt = nullptr;
      } else {
        r = &(*r)->on_nxt;
      }
    }
  }
  _free(&elm->txt);
  _free(&elm);
}

int __txt_anr_new(txt_anr* anr) {
  prt_aut aut;
  TMR_SEC();
  rscmng_scp scp;
  txt_anr_elm* cur = anr->elm_cur;
  // Only the last element can have one appended; a list without a cursor is not read on.
  if (CVR((cur == nullptr && anr->elm_top != nullptr) || (cur != nullptr && cur->nxt != nullptr))) {
    err_no = static_cast<int32_t>(0x80000000u);
    return err_no;
  }
  // An input that has ended is not asked again: its end status stands.
  if (CVR(anr->stm_end != 0)) {
    err_no = anr->stm_end;
    return err_no;
  }
  txt_anr_elm rec{};
  if (CVR(stream_pop(anr->stm, &rec) != 0)) {
    anr->stm_end = err_no;
    return err_no;
  }
  txt_anr_elm* e = nullptr;
  if (CVR(__txt_anr_mak_fct(&e, rec.typ, rec.txt) != 0)) return anr_fail();
  if (CVR(cur != nullptr)) {
    cur->nxt = e;
  } else {
    anr->elm_top = e;
    anr->elm_cur = e;
  }
  return err_ok();
}

int txt_anr_top(txt_anr* anr, txt_anr_elm** elm, txt_anr_pos* prv) {
  rscmng_scp scp;
  if (CVR(anr->elm_top == nullptr)) {
    anr->elm_cur = nullptr;
    if (CVR(__txt_anr_new(anr) != 0)) return err_no;
  }
  if (CVR(anr->elm_top == nullptr)) return anr_fail();
  anr->elm_cur = anr->elm_top;
  if (CVR(elm != nullptr)) *elm = anr->elm_top;
  if (CVR(prv != nullptr)) *prv = &anr->elm_top;
  return err_ok();
}

int txt_anr_nxt(txt_anr* anr, txt_anr_elm** elm, txt_anr_pos* prv) {
  rscmng_scp scp;
  txt_anr_elm* cur = anr->elm_cur;
  if (CVR(cur == nullptr || cur->nxt == nullptr)) {
    const int32_t st = __txt_anr_new(anr);
    if (CVR(st != 0)) {
      if (CVR(err_code(st) != 0)) {
        if (CVR(elm != nullptr)) *elm = nullptr;
        anr->elm_cur = nullptr;
      }
      return st;
    }
    if (CVR(cur == nullptr)) {
      // The list was empty: the element read is the first, and the cursor is on it.
      if (CVR(elm != nullptr)) *elm = anr->elm_cur;
      if (CVR(prv != nullptr)) *prv = &anr->elm_top;
      return err_ok();
    }
  }
  if (CVR(prv != nullptr)) *prv = &cur->nxt;
  anr->elm_cur = cur->nxt;
  if (CVR(elm != nullptr)) *elm = cur->nxt;
  return err_ok();
}

int txt_anr_pop(txt_anr* anr) {
  prt_aut aut;
  TMR_SEC();
  rscmng_scp scp;
  // Whether more could be read does not matter here, but an element read and then lost
  // (memory) must not go unnoticed.
  const int32_t rd = __txt_anr_new(anr);
  if (CVR(err_code(rd) < 0)) return rd;
  txt_anr_elm* e = anr->elm_top;
  if (CVR(e == nullptr)) {
    // The read's outcome does not count: nothing to remove is -1 whatever it said.
    anr->elm_cur = nullptr;
    err_no = ERR_FAIL;
    return err_no;
  }
  anr->elm_top = e->nxt;
  anr->elm_cur = anr->elm_top;
  __txt_anr_elm_end(anr, e);
  return err_ok();
}

int __txt_anr_mov_nxt(txt_anr* anr, txt_anr_elm** elm, txt_anr_pos* prv, int skp) {
  rscmng_scp scp;
  txt_anr_elm* e = *elm;
  auto step = [&]() { return txt_anr_nxt(anr, &e, prv); };
  if (CVR(skp != 0 && e != nullptr && skippable(e))) {
    while (CVR(skippable(e))) {
      if (CVR(step() != 0)) return mov_fail(err_no);
    }
    *elm = e;
    return err_ok();
  }
  if (CVR(e == nullptr)) return mov_fail(ERR_END);
  if (CVR(e->typ & TXT_ANR_OPN)) {
    int32_t depth = 0;
    do {
      if (CVR((e->stt & TXT_ANR_ELM_HID) == 0)) {
        if (CVR(e->typ & TXT_ANR_OPN)) ++depth;
        if (CVR(e->typ & TXT_ANR_CLS)) --depth;
      }
      if (CVR(step() != 0)) return mov_fail(err_no);
    } while (CVR(depth != 0));
  } else if (CVR(step() != 0)) {
    return mov_fail(err_no);
  }
  if (CVR(skp != 0)) {
    while (CVR(skippable(e))) {
      if (CVR(step() != 0)) return mov_fail(err_no);
    }
  }
  *elm = e;
  return err_ok();
}

int txt_anr_cvt_bin_stream_set(stream* strm, stream* anr) {
  rscmng_scp scp;
  txt_anr_cvt* c = nullptr;
  if (CVR(_malloc0(&c, static_cast<int>(sizeof *c)) != 0)) return anr_fail();
  c->anr = anr;
  c->cur = "";
  stream_set(&c->bs, &c->cur, &STREAM_OPS_STR_CUR);
  stream_set(&c->cs, &c->bs, &STREAM_OPS_SJIS);
  if (CVR(stream_set(strm, c, &TXT_ANR_CVT_OPS) != 0)) {
    const int32_t st = err_no;
    _free(&c);
    err_no = st;
    return anr_fail();
  }
  return err_ok();
}

int _txt_anr_cvt_bin_stream_pop(void* cvt, void* ch) {
  TMR_SEC();
  rscmng_scp scp;
  auto* c = static_cast<txt_anr_cvt*>(cvt);
  if (CVR(c == nullptr || ch == nullptr)) return anr_fail();
  for (;;) {
    if (CVR(stream_pop(&c->cs, ch) == 0)) return err_ok();
    txt_anr_elm e{};
    do {
      if (CVR(stream_pop(c->anr, &e) != 0)) return err_no;
    } while (CVR((e.stt & TXT_ANR_ELM_HID) != 0));
    c->cur = CVR(e.txt != nullptr) ? e.txt : "";
    if (CVR(stream_rst(&c->cs) != 0)) return anr_fail();
  }
}

void _txt_anr_cvt_bin_stream_end(void* cvt) {
  rscmng_scp scp;
  auto* c = static_cast<txt_anr_cvt*>(cvt);
  if (CVR(c == nullptr)) return;
  stream_end(&c->cs);
  stream_end(c->anr);
  _free(&c);
}
