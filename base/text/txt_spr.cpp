// The splitter: the first pattern that takes a token's first character decides the token.
#include "base/text/txt_spr.h"

#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"
#include "base/text/regexp.h"
#include "base/text/txt_anr.h"

namespace {

// -1 unless a failure code is already set.
int spr_fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

inline void* hnd(buf_var& b) { return &b._p; }
inline uint32_t len(const buf_var& b) { return static_cast<uint32_t>(b.pos); }
inline const char* txt(const buf_var& b) { return static_cast<const char*>(b._p); }

// Appends n bytes at the buffer's cursor. The buffer is asked for room only when its storage
// is full (it then grows to the next power of two): a buffer operation per character cost more
// than all the splitting.
int bytes_psh(buf_var& b, const void* src, uint32_t n) {
  const auto at = static_cast<uint32_t>(b.pos);
  const uint64_t cap = CVR(b._p != nullptr) ? uint64_t{1} << ((b.flg & BUF_EXP_MSK) >> BUF_EXP_SHF) : 0;
  void* p = nullptr;
  if (CVR(at + uint64_t{n} <= cap)) {
    p = static_cast<unsigned char*>(b._p) + at;
  } else if (CVR(buf_ref(hnd(b), at, n, &p) != 0)) {
    return spr_fail();
  }
  std::memcpy(p, src, n);
  b.pos = at + n;
  return 0;
}

// Empties a token buffer, keeping its storage (what buf_rst does to the splitter's own record,
// without a buffer operation per token).
inline void txt_rst(buf_var& b) {
  b.pos = 0;
  b.flg &= ~BUF_END;
}

// A character goes in as its Shift-JIS bytes: the lead byte, then the trail byte if any.
inline uint32_t chr_len(uint32_t ch) { return CVR(((ch >> 8) & 0xFF) != 0) ? 2 : 1; }

int chr_psh(buf_var& b, uint32_t ch) {
  const unsigned char two[2] = {static_cast<unsigned char>(ch & 0xFF),
                                static_cast<unsigned char>((ch >> 8) & 0xFF)};
  return bytes_psh(b, two, chr_len(ch));
}

int nul_psh(buf_var& b) {
  const unsigned char nul = 0;
  return bytes_psh(b, &nul, 1);
}

// The bytes of the unfinished token become gathered text.
int chk_to_txt(struct txt_spr* s) {
  const uint32_t n = len(s->buf_chk);
  if (CVR(n != 0 && bytes_psh(s->buf_txt, txt(s->buf_chk), n) != 0)) return err_no;
  txt_rst(s->buf_chk);
  return 0;
}

// Gathered text goes out first; the pattern's token is then held back for the next call.
int out(struct txt_spr* s, txt_spr_rgx* e, txt_spr_tok* tok) {
  const bool gathered = CVR(len(s->buf_txt) != 0);
  if (CVR(nul_psh(s->buf_chk) != 0 || nul_psh(s->buf_txt) != 0)) return err_no;
  if (CVR(gathered)) {
    *tok = {0, txt(s->buf_txt)};
    s->flg |= TXT_SPR_HLD;
  } else {
    *tok = {e->typ, txt(s->buf_chk)};
    s->flg &= ~TXT_SPR_HLD;
  }
  s->flg |= TXT_SPR_RET;
  return err_ok();
}

// The token of e is complete: its variable is set, its checker made ready for the next one.
int done(struct txt_spr* s, txt_spr_rgx* e, txt_spr_tok* tok, bool first) {
  if (CVR(e->set_nam != nullptr)) {
    if (CVR(first && vmap_put_str_int(&s->cnd_map, nullptr, "dq", 999, 0) != 0)) return spr_fail();
    if (CVR(vmap_put_str_int(&s->cnd_map, nullptr, e->set_nam, e->set_val, 0) != 0))
      return spr_fail();
  }
  txt_mtc_chk_rst(&e->chk);
  return out(s, e, tok);
}

// Whether a conditional pattern may be tried now; a variable not yet set reads as 0.
int eligible(struct txt_spr* s, const txt_spr_rgx* e, bool* yes) {
  *yes = true;
  if (CVR(e->cnd_nam == nullptr)) return 0;
  int32_t v = 0;
  if (CVR(vmap_get_str_int(&s->cnd_map, nullptr, e->cnd_nam, &v) != 0)) {
    if (CVR(vmap_put_str_int(&s->cnd_map, nullptr, e->cnd_nam, 0, 0) != 0)) return spr_fail();
    v = 0;
  }
  *yes = CVR(v == e->cnd_val);
  return 0;
}

inline bool matched(const txt_mtc_chk& c) { return (c.stt & TXT_MTC_STT_MTC) != 0; }

// Characters of a non-empty match: the characters of an empty one make no token.
inline uint32_t mtc_len(const txt_mtc_chk& c) {
  return CVR(matched(c) && c.mtc_end > c.mtc_top) ? c.mtc_end - c.mtc_top : 0;
}

inline uint32_t* cod(struct txt_spr* s) { return static_cast<uint32_t*>(s->buf_cod._p); }
inline uint32_t cod_len(const struct txt_spr* s) { return static_cast<uint32_t>(s->buf_cod.pos / 4); }

// The next character: one read before and given back, else one from the stream. *end when
// the stream has ended; a stream that fails ends the call with its failure.
int chr_pop(struct txt_spr* s, uint32_t* ch, bool* end) {
  *end = false;
  if (CVR(s->cod_rd < cod_len(s))) {
    *ch = cod(s)[s->cod_rd++];
    ++s->chr_cnt;
    return 0;
  }
  if (CVR(stream_chk(s->stm) != 0)) {
    *end = true;
    return 0;
  }
  if (CVR(stream_pop(s->stm, ch) != 0)) {
    if (CVR(err_code(err_no) != 0)) return err_no;
    *end = true;
    return 0;
  }
  if (CVR(bytes_psh(s->buf_cod, ch, 4) != 0)) return err_no;
  ++s->cod_rd;
  ++s->chr_cnt;
  return 0;
}

// Characters from here on belong to no token yet: the ones before are dropped, and those
// still to be read again move to the front.
void cod_cut(struct txt_spr* s) {
  const uint32_t n = cod_len(s) - s->cod_rd;
  if (CVR(n != 0 && s->cod_rd != 0))
    std::memmove(cod(s), cod(s) + s->cod_rd, n * sizeof(uint32_t));
  s->buf_cod.pos = n * 4;
  s->cod_top = 0;
  s->cod_rd = 0;
}

// The token's text is its first n characters; the ones after them are read again.
void chk_cut(struct txt_spr* s, uint32_t n) {
  uint32_t bytes = 0;
  for (uint32_t i = 0; CVR(i < n); ++i) bytes += chr_len(cod(s)[s->cod_top + i]);
  s->buf_chk.pos = bytes;
  s->chr_cnt -= s->cod_rd - (s->cod_top + n);
  s->cod_rd = s->cod_top + n;
}

// The committed pattern has no live thread left (killed: by the last character read, else
// by the end of the input). A non-empty match is its token, of a type other than 0, or
// gathered text with type 0; without one, what it read is gathered text and the character
// that killed it is read again. 1 when the call goes on reading, else its status.
int over(struct txt_spr* s, txt_spr_tok* tok, bool killed) {
  txt_spr_rgx* e = s->rgx_cur;
  const uint32_t m = mtc_len(e->chk);
  txt_mtc_chk_rst(&e->chk);
  if (CVR(m != 0)) {
    chk_cut(s, m);
    // A token the end of the input ends keeps its type, whatever it is, and sets nothing.
    if (CVR(!killed)) {
      cod_cut(s);
      return out(s, e, tok);
    }
    if (CVR(e->typ != 0)) {
      cod_cut(s);
      return done(s, e, tok, false);
    }
  } else if (CVR(killed)) {
    chk_cut(s, s->cod_rd - s->cod_top - 1);
  }
  if (CVR(chk_to_txt(s) != 0)) return err_no;
  s->rgx_cur = nullptr;
  cod_cut(s);
  return 1;
}

int at_end(struct txt_spr* s, txt_spr_tok* tok) {
  if (CVR(len(s->buf_txt) == 0)) {
    err_no = ERR_END;
    return err_no;
  }
  if (CVR(nul_psh(s->buf_txt) != 0)) return err_no;
  *tok = {0, txt(s->buf_txt)};
  s->flg &= ~TXT_SPR_HLD;
  s->flg |= TXT_SPR_RET;
  return err_ok();
}

}  // namespace

int txt_spr_set(struct txt_spr* spr, stream* strm) {
  rscmng_scp scp;
  if (CVR(spr == nullptr)) return spr_fail();
  std::memset(spr, 0, sizeof *spr);
  spr->stm = strm;
  if (CVR(buf_ini(hnd(spr->buf_chk), 1) != 0 || buf_ini(hnd(spr->buf_txt), 1) != 0 ||
          buf_ini(hnd(spr->buf_cod), 1) != 0 || vmap_set(&spr->cnd_map, 0) != 0)) {
    std::memset(spr, 0, sizeof *spr);
    return spr_fail();
  }
  spr->rgx_end = &spr->rgx_top;
  return err_ok();
}

int txt_spr_psh_lst_regexp(struct txt_spr* spr, uint32_t typ, stream* pattern,
                           const uint32_t* flags, const char* cnd_nam, int32_t cnd_val,
                           const char* set_nam, int32_t set_val) {
  rscmng_scp scp;
  if (CVR(spr == nullptr || spr->rgx_end == nullptr)) return spr_fail();
  txt_spr_rgx* e = nullptr;
  if (CVR(_malloc0(&e, static_cast<int>(sizeof *e)) != 0)) return spr_fail();
  const int32_t st = regexp_trm(&e->chk, pattern);
  if (CVR(st != 0)) {
    _free(&e);
    err_no = st;
    return st;
  }
  txt_mtc_chk_set(&e->chk, e->chk.trm, flags);
  e->chk.flg |= TXT_MTC_OWN;
  if (CVR(_malloc_str(&e->cnd_nam, cnd_nam) != 0 || _malloc_str(&e->set_nam, set_nam) != 0)) {
    // A half-built entry is released; the list stays as it was.
    const int32_t f = err_no;
    txt_mtc_chk_end(&e->chk);
    _free(&e->cnd_nam);
    _free(&e->set_nam);
    _free(&e);
    err_no = f;
    return spr_fail();
  }
  e->cnd_val = cnd_val;
  e->set_val = set_val;
  e->typ = typ;
  e->fst_all = CVR(__txt_mtc_fst(e->chk.trm, e->fst, &e->fst_big) != 0);
  *spr->rgx_end = e;
  spr->rgx_end = &e->nxt;
  return err_ok();
}

int txt_spr(struct txt_spr* spr, txt_spr_tok* tok) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(spr == nullptr || tok == nullptr)) return spr_fail();
  struct txt_spr* s = spr;
  if (CVR(s->flg & TXT_SPR_HLD)) {
    if (CVR(s->rgx_cur == nullptr)) return spr_fail();
    s->flg &= ~TXT_SPR_HLD;
    *tok = {s->rgx_cur->typ, txt(s->buf_chk)};
    return err_ok();
  }
  if (CVR(s->flg & TXT_SPR_RET)) {
    s->flg &= ~TXT_SPR_RET;
    txt_rst(s->buf_chk);
    txt_rst(s->buf_txt);
    s->rgx_cur = nullptr;
  }
  if (CVR(s->cod_rd == cod_len(s) && stream_chk(s->stm) != 0)) {
    err_no = ERR_END;
    return err_no;
  }
  for (;;) {
    uint32_t ch = 0;
    bool end = false;
    if (CVR(chr_pop(s, &ch, &end) != 0)) return err_no;
    txt_spr_rgx* e = s->rgx_cur;
    if (CVR(end)) {
      if (CVR(e == nullptr)) return at_end(s, tok);
      // Threads live at the end may still end the match.
      if (CVR(e->chk.thd != nullptr && txt_mtc_wrd(&e->chk, 0) != 0)) return spr_fail();
      const int r = over(s, tok, false);
      if (CVR(r != 1)) return r;
      continue;
    }
    const uint32_t pos = s->chr_cnt - 1;

    if (CVR(e != nullptr)) {
      if (CVR(txt_mtc_wrd(&e->chk, ch) != 0)) return spr_fail();
      if (CVR(chr_psh(s->buf_chk, ch) != 0)) return err_no;
      if (CVR(e->chk.thd != nullptr)) continue;
      const int r = over(s, tok, true);
      if (CVR(r != 1)) return r;
      continue;
    }

    for (e = s->rgx_top; CVR(e != nullptr); e = e->nxt) {
      bool yes = true;
      if (CVR(eligible(s, e, &yes) != 0)) return err_no;
      if (CVR(!yes)) continue;
      // A pattern that cannot begin with this character would only be left without a match
      // and without a thread, which is not worth a step.
      if (CVR(!e->fst_all &&
              (ch < 256 ? ((e->fst[ch >> 5] >> (ch & 31)) & 1) == 0 : !e->fst_big)))
        continue;
      e->chk.pos = pos;
      e->chk.flg &= ~TXT_MTC_NEW;
      if (CVR(txt_mtc_wrd(&e->chk, ch) != 0)) return spr_fail();
      if (CVR(mtc_len(e->chk) != 0 || e->chk.thd != nullptr)) {
        // The token is anchored at this character.
        e->chk.flg |= TXT_MTC_NEW;
        s->rgx_cur = e;
        break;
      }
      // An empty match takes nothing.
      txt_mtc_chk_rst(&e->chk);
    }
    if (CVR(e == nullptr)) {
      if (CVR(chr_psh(s->buf_txt, ch) != 0)) return err_no;
      // Nothing before the next character is read again.
      if (CVR(s->cod_rd == cod_len(s))) {
        s->buf_cod.pos = 0;
        s->cod_rd = 0;
      }
      s->cod_top = s->cod_rd;
      continue;
    }
    s->cod_top = s->cod_rd - 1;
    if (CVR(chr_psh(s->buf_chk, ch) != 0)) return err_no;
    if (CVR(mtc_len(e->chk) != 0 && e->chk.thd == nullptr)) {
      cod_cut(s);
      return done(s, e, tok, true);
    }
  }
}

void txt_spr_end(struct txt_spr* spr) {
  rscmng_scp scp;
  if (CVR(spr == nullptr)) return;
  for (txt_spr_rgx* e = spr->rgx_top; CVR(e != nullptr);) {
    txt_spr_rgx* nx = e->nxt;
    txt_mtc_chk_end(&e->chk);
    _free(&e->cnd_nam);
    _free(&e->set_nam);
    _free(&e);
    e = nx;
  }
  buf_end(hnd(spr->buf_chk));
  buf_end(hnd(spr->buf_txt));
  buf_end(hnd(spr->buf_cod));
  vmap_end(&spr->cnd_map);
  std::memset(spr, 0, sizeof *spr);
}

int _txt_spr_for_anr_stream_pop(void* spr, void* elm) {
  TMR_SEC();
  rscmng_scp scp;
  txt_spr_tok tok{};
  if (CVR(elm == nullptr || txt_spr(static_cast<struct txt_spr*>(spr), &tok) != 0))
    return spr_fail();
  txt_anr_elm e{};
  e.typ = tok.typ;
  e.txt = const_cast<char*>(tok.txt);
  std::memcpy(elm, &e, sizeof e);
  return err_ok();
}

int txt_spr_for_anr_stream_set(stream* strm, struct txt_spr* spr) {
  if (CVR(strm == nullptr)) return spr_fail();
  strm->src = spr;
  strm->ops = &TXT_SPR_ANR_OPS;
  strm->flg = STREAM_BND;
  return err_ok();
}

int __txt_spr_stream_pop(void* spr, void* tok) {
  return txt_spr(static_cast<struct txt_spr*>(spr), static_cast<txt_spr_tok*>(tok));
}

void __txt_spr_stream_end(void* spr) { txt_spr_end(static_cast<struct txt_spr*>(spr)); }
