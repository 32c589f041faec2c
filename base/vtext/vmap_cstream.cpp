// The notation reader: a splitter cuts the text into tokens, three analyzers replace escapes,
// merge quoted strings and drop blanks, and a statement loop stores what is left.
#include "base/vtext/vmap_cstream.h"

#include <cstring>
#include <iterator>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/stream/cstream.h"
#include "base/text/txt_spr.h"

namespace {

struct pat {
  uint32_t typ;
  const char* txt;
};
// The first pattern that takes a token's first character decides the token: the order is
// the priority.
constexpr pat PATTERNS[] = {
    {VMAP_TOK_WRD, "[a-zA-Z0-9_]+"}, {VMAP_TOK_ESC, "\\\\."}, {VMAP_TOK_HSH, "#"},
    {VMAP_TOK_SLS, "/"},             {VMAP_TOK_EQU, "="},     {VMAP_TOK_QUO, "\""},
    {VMAP_TOK_OPN, "\\["},           {VMAP_TOK_CLS, "\\]"},   {VMAP_TOK_SEM, ";"},
    {VMAP_TOK_LIN, "\n"},            {VMAP_TOK_BLK, "[ \t]+"}};

struct fct {
  uint32_t knd;
  uint32_t val;
  const char* txt;
};
// Factor kinds of the analyzer used here.
constexpr uint32_t IS = 0, FIND = 3, STEP = 4, HIDE = 16, INS_AFT = 11, MRG_TOP = 27,
                   MRG_END = 28, MRG = 29;

// Escapes: the escape token is hidden and a word holding the character it stands for put
// after it. Any other escape stays an escape token.
constexpr fct ESC_N[] = {{IS, VMAP_TOK_ESC, "\\\\n"}, {HIDE, 0, nullptr}, {INS_AFT, VMAP_TOK_WRD, "\n"}};
constexpr fct ESC_T[] = {{IS, VMAP_TOK_ESC, "\\\\t"}, {HIDE, 0, nullptr}, {INS_AFT, VMAP_TOK_WRD, "\t"}};
constexpr fct ESC_Q[] = {{IS, VMAP_TOK_ESC, "\\\\\""}, {HIDE, 0, nullptr}, {INS_AFT, VMAP_TOK_WRD, "\""}};
constexpr fct ESC_B[] = {{IS, VMAP_TOK_ESC, "\\\\\\\\"}, {HIDE, 0, nullptr}, {INS_AFT, VMAP_TOK_WRD, "\\"}};
constexpr fct ESC_S[] = {{IS, VMAP_TOK_ESC, "\\\\/"}, {HIDE, 0, nullptr}, {INS_AFT, VMAP_TOK_WRD, "/"}};
// A quote, everything up to the next quote, and that quote: one word of what stood between.
constexpr fct QUOTED[] = {{IS, VMAP_TOK_QUO, nullptr}, {HIDE, 0, nullptr}, {MRG_TOP, 0, nullptr},
                          {STEP, 0, nullptr},          {FIND, VMAP_TOK_QUO, nullptr},
                          {HIDE, 0, nullptr},          {MRG_END, 0, nullptr},
                          {MRG, VMAP_TOK_WRD, nullptr}};
// Blank runs and text no pattern took.
constexpr fct BLANKS[] = {{IS, VMAP_TOK_BLK, nullptr}, {HIDE, 0, nullptr}};
constexpr fct OTHERS[] = {{IS, 0, nullptr}, {HIDE, 0, nullptr}};

struct rul {
  const fct* f;
  int n;
};
template <int N>
constexpr rul R(const fct (&f)[N]) {
  return {f, N};
}
constexpr rul STAGE1[] = {R(ESC_N), R(ESC_T), R(ESC_Q), R(ESC_B), R(ESC_S)};
constexpr rul STAGE2[] = {R(QUOTED)};
constexpr rul STAGE3[] = {R(BLANKS), R(OTHERS)};

// The splitter, the three analyzers over it and the streams between them.
struct chain {
  struct txt_spr spr;
  txt_anr a1, a2, a3;
  stream s1, s2, out;
};

template <int N>
int rules(txt_anr* a, const rul (&rs)[N]) {
  for (int i = 0; CVR(i < N); ++i) {
    if (CVR(txt_anr_chk_add_lst(a, nullptr) != 0)) return -1;
    for (int k = 0; CVR(k < rs[i].n); ++k) {
      const fct& f = rs[i].f[k];
      if (CVR(txt_anr_chk_add_fct(a, f.knd, f.val, f.txt, nullptr) != 0)) return -1;
    }
  }
  return 0;
}

int chn_set(chain* c, stream* in) {
  std::memset(c, 0, sizeof *c);
  if (CVR(txt_spr_set(&c->spr, in) != 0)) return -1;
  for (size_t i = 0; CVR(i < std::size(PATTERNS)); ++i) {
    const pat& p = PATTERNS[i];
    // The pattern text is read through a character stream built here over the constant.
    const char* cur = p.txt;
    stream bs{};
    stream cs{};
    stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
    if (CVR(txt_spr_psh_lst_regexp(&c->spr, p.typ, &cs, nullptr, nullptr, 0, nullptr, 0) != 0))
      return -1;
  }
  if (CVR(txt_anr_set(&c->a1, &c->spr) != 0 || rules(&c->a1, STAGE1) != 0)) return -1;
  if (CVR(txt_anr_stream_set(&c->s1, &c->a1) != 0)) return -1;
  if (CVR(_txt_anr_set(&c->a2, &c->s1) != 0 || rules(&c->a2, STAGE2) != 0)) return -1;
  if (CVR(txt_anr_stream_set(&c->s2, &c->a2) != 0)) return -1;
  if (CVR(_txt_anr_set(&c->a3, &c->s2) != 0 || rules(&c->a3, STAGE3) != 0)) return -1;
  if (CVR(txt_anr_stream_set(&c->out, &c->a3) != 0)) return -1;
  return 0;
}

// Whatever was built is ended, from the last stream down: ending a stream ends everything
// upstream of it, and each record's own end is then a no-op on its zeroed record.
void chn_end(chain* c) {
  stream_end(&c->out);
  txt_anr_end(&c->a3);
  txt_anr_end(&c->a2);
  txt_anr_end(&c->a1);
  txt_spr_end(&c->spr);
}

bool is_end(int32_t st) { return st == ERR_END || st == ERR_EOD; }

void tok_pop(stream* toks, vmap_frmm_tok* tok) { tok->st = stream_pop(toks, &tok->elm); }

// The key text is the current token's, which the next pop frees: a copy of it is kept.
int key_cpy(char** key, const vmap_frmm_tok* tok) {
  _free(key);
  *key = nullptr;
  return _malloc_str(key, tok->elm.txt);
}

int wrd(vmap* vm, stream* toks, vmap_frmm_tok* tok, vmap_frmm_stt* stt, char** key) {
  vtyp* prn = stt->cur;
  vtyp* ent = nullptr;
  if (CVR(key_cpy(key, tok) != 0)) return -1;
  tok_pop(toks, tok);
  if (CVR(tok->st != 0 && !is_end(tok->st))) return -1;
  // A path: every word followed by a slash names an entry, made without value if missing,
  // under which the next word goes.
  if (CVR(vm->flg & VMAP_NST)) {
    while (CVR(tok->st == 0 && tok->elm.typ == VMAP_TOK_SLS)) {
      if (CVR(vmap_ref_str(vm, prn, *key, &ent) != 0 &&
              _vmap_put_str_nul(vm, prn, *key, &ent, 0) != 0))
        return -1;
      prn = ent;
      tok_pop(toks, tok);
      if (CVR(tok->st != 0 || tok->elm.typ != VMAP_TOK_WRD)) return -1;
      if (CVR(key_cpy(key, tok) != 0)) return -1;
      tok_pop(toks, tok);
      if (CVR(tok->st != 0 && !is_end(tok->st))) return -1;
    }
  }
  if (CVR(tok->st == 0 && tok->elm.typ == VMAP_TOK_EQU)) {
    tok_pop(toks, tok);
    if (CVR(tok->st != 0)) return CVR(is_end(tok->st)) ? ERR_END : -1;
    if (CVR(tok->elm.typ != VMAP_TOK_WRD)) return ERR_END;
    if (CVR(_vmap_put_str_str(vm, prn, *key, tok->elm.txt, &ent, 0) != 0)) return -1;
    stt->anchor = ent;
    tok_pop(toks, tok);
    if (CVR(tok->st != 0)) return CVR(is_end(tok->st)) ? 0 : -1;
    // Only a separator or a bracket may follow a value.
    return CVR(tok->elm.typ & VMAP_TOK_AFT) ? 0 : -1;
  }
  if (CVR(stt->flg & VMAP_CSTM_VAL)) return -1;
  if (CVR(_vmap_put_str_nul(vm, prn, *key, &ent, 0) != 0)) return -1;
  stt->anchor = ent;
  return 0;
}

// Statements until the text ends: 0, or the status that ended the parse.
int stm_loop(vmap* vm, stream* toks, vmap_frmm_stt* stt) {
  vmap_frmm_tok tok{};
  tok_pop(toks, &tok);
  for (;;) {
    if (CVR(tok.st != 0)) return CVR(is_end(tok.st)) ? 0 : -1;
    const uint32_t typ = tok.elm.typ;
    if (CVR(typ == VMAP_TOK_WRD)) {
      const int32_t r = _vmap_frmm_cstm_fnc_wrd(vm, toks, &tok, stt);
      if (CVR(r != 0)) return r;
      // The token after a statement is its separator and goes, unless it is a bracket, or a
      // line end that is to end the parse; so does a word after a word without value.
      if (CVR(tok.st == 0 && ((tok.elm.typ & VMAP_TOK_BRK) ||
                              (tok.elm.typ == VMAP_TOK_LIN && (stt->flg & VMAP_CSTM_LIN)))))
        continue;
      if (CVR(tok.st == 0)) tok_pop(toks, &tok);
      continue;
    }
    if (CVR(typ == VMAP_TOK_OPN)) {
      stt->cur = stt->anchor;
    } else if (CVR(typ == VMAP_TOK_CLS)) {
      vtyp* up = nullptr;
      if (CVR(stt->cur == nullptr || stt->cur == stt->root)) return -1;
      // A flat vmap's keys have no parent field: a group cannot be closed there.
      if (CVR(vtyp_get_nst(stt->cur, &up) != 0)) return -1;
      stt->cur = up;
    } else if (CVR(typ == VMAP_TOK_LIN)) {
      if (CVR(stt->flg & VMAP_CSTM_LIN)) return 0;
    } else if (CVR(typ != VMAP_TOK_HSH)) {
      return ERR_END;   // cannot begin a statement
    }
    tok_pop(toks, &tok);
  }
}

}  // namespace

int _vmap_frmm_cstm_fnc_wrd(vmap* vm, stream* toks, vmap_frmm_tok* tok, vmap_frmm_stt* stt) {
  rscmng_scp scp;
  char* key = nullptr;
  const int32_t r = wrd(vm, toks, tok, stt, &key);
  _free(&key);
  if (CVR(r == 0)) return err_ok();
  err_no = r;
  return r;
}

int _vmap_cstream(vmap* vm, vtyp* prn, stream* in, uint32_t flg) {
  rscmng_scp scp;
  chain c;
  std::memset(&c, 0, sizeof c);
  int32_t r = -1;
  if (CVR(vm != nullptr && in != nullptr && chn_set(&c, in) == 0)) {
    vmap_frmm_stt stt{prn, prn, prn, flg};
    r = stm_loop(vm, &c.out, &stt);
  }
  chn_end(&c);
  if (CVR(r == 0)) return err_ok();
  // Only the two failure statuses of the notation are given out.
  r = CVR(r == ERR_END) ? ERR_END : ERR_FAIL;
  err_no = r;
  return r;
}
