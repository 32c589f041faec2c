// Text analyzer: a rule-driven rewriter of a stream of elements (typed texts). Rules are
// matched against a look-ahead list before its first element is handed on; the analyzer is
// itself a stream, so analyzers chain.
#pragma once
#include <cstdint>
#include <cstdio>

#include "base/stream/stream.h"
#include "base/text/txt_mtc.h"
#include "base/text/txt_spr.h"
#include "base/variant/vmap.h"

struct txt_anr_elm {
  txt_anr_elm* nxt;
  uintptr_t rsv;   // 0
  uint32_t typ;
  char* txt;       // the element's own NUL-terminated copy
  uint32_t stt;    // TXT_ANR_ELM_*
};

inline constexpr uint32_t TXT_ANR_ELM_DON = 0x01;  // the rules ran with it at the head
inline constexpr uint32_t TXT_ANR_ELM_INS = 0x02;  // inserted by a rule
inline constexpr uint32_t TXT_ANR_ELM_HID = 0x04;  // deleted: skipped by the stream and the merge

// Type bits the analyzer reads itself; the rest is the caller's.
inline constexpr uint32_t TXT_ANR_OPN = 0x80000000u;  // opens a nested group
inline constexpr uint32_t TXT_ANR_CLS = 0x40000000u;  // closes one
inline constexpr uint32_t TXT_ANR_SKP = 0x20000000u;  // blank-like
inline constexpr uint32_t TXT_ANR_ANY = 0xFFFFFFFFu;  // a test's type: any

// A position is a link slot: the list's head slot, or an element's nxt (the place after it).
// The element at a position is the one the slot holds.
using txt_anr_pos = txt_anr_elm**;

struct txt_anr_fct {
  txt_anr_fct* nxt;
  uint32_t knd;
  uint32_t val;       // the type tested (TXT_ANR_ANY: any) or given
  char* txt;
  txt_mtc_chk chk;    // txt compiled, for the tests of kinds 0 to 3
  txt_anr_pos at;     // the position recorded while matching
  vtyp* var;          // kind 23: the variable found, and the parent it was looked up under
  vtyp* var_prn;
};

inline constexpr uint32_t TXT_ANR_KND_MAX = 29;

struct txt_anr_rul {
  txt_anr_rul* nxt;
  txt_anr_fct* fct_top;
  txt_anr_elm* on_elm;   // where the rule's last match ended while it is engaged
  txt_anr_rul* on_nxt;   // the next rule on the engaged stack
  uint32_t stt_req;
  uint32_t stt_set;
  uint32_t stt_off;
};

struct txt_anr {
  stream* stm;
  txt_anr_elm* elm_top;
  txt_anr_elm* elm_cur;
  txt_anr_rul* rul_top;
  txt_anr_rul** rul_end;
  txt_anr_fct** fct_end;
  uint32_t stt;
  txt_anr_rul* rul_on;
  FILE* fil;
  vmap var_map;
  vtyp* var_cur;
  vtyp* var_prn;
  txt_anr_pos mrg_top;
  txt_anr_pos mrg_end;
  uint32_t flg;        // TXT_ANR_*
  int32_t stm_end;     // the input's end status, once it has ended
};

inline constexpr uint32_t TXT_ANR_OUT = 0x01;  // an element was handed on
inline constexpr uint32_t TXT_ANR_HIT = 0x02;  // a rule fired in the last analysis

int txt_anr_set(txt_anr* anr, struct txt_spr* spr);
int _txt_anr_set(txt_anr* anr, stream* strm);
// prm: NULL or {stt_req, stt_set, stt_off}.
int txt_anr_chk_add_lst(txt_anr* anr, const uint32_t* prm);
int txt_anr_chk_add_fct(txt_anr* anr, uint32_t knd, uint32_t val, const char* txt,
                        const uint32_t* flags);
int _txt_anr(txt_anr* anr, txt_anr_elm** elm);
int _txt_anr_stream_pop(void* anr, void* elm);
int txt_anr_stream_set(stream* strm, txt_anr* anr);
void txt_anr_end(txt_anr* anr);
void __txt_anr_stream_end(void* anr);

inline constexpr stream_ops TXT_ANR_OPS{_txt_anr_stream_pop, nullptr, __txt_anr_stream_end,
                                        nullptr};

// The look-ahead list.
int __txt_anr_new(txt_anr* anr);
int txt_anr_top(txt_anr* anr, txt_anr_elm** elm, txt_anr_pos* prv);
int txt_anr_nxt(txt_anr* anr, txt_anr_elm** elm, txt_anr_pos* prv);
int txt_anr_pop(txt_anr* anr);
int __txt_anr_mov_nxt(txt_anr* anr, txt_anr_elm** elm, txt_anr_pos* prv, int skp);
int __txt_anr_mak_fct(txt_anr_elm** elm, uint32_t typ, const char* txt);
int __txt_anr_mak_fct_use_prm_txt(txt_anr_elm** elm, uint32_t typ, char* txt);
int __txt_anr_mak_fct_by_stm(txt_anr_elm** elm, uint32_t typ, stream* strm);
void __txt_anr_elm_end(txt_anr* anr, txt_anr_elm* elm);
int __txt_anr(txt_anr* anr);

// Where a rule's matching stands: the current element and the position before it (the
// cursor stands on cur).
struct txt_anr_ctx {
  txt_anr* anr;
  txt_anr_elm* cur;
  txt_anr_pos prv;
};
// A factor while its rule is matched: 1 passes, 0 fails, a failure status ends the analysis.
int __txt_anr_fct_mtc(txt_anr_ctx* ctx, txt_anr_fct* fct);
// A factor's action once its rule fires: 0, or the status that ends the analysis.
int __txt_anr_fct_act(txt_anr_ctx* ctx, txt_anr_fct* fct);

// A character stream over the texts of an analyzer stream's elements.
struct txt_anr_cvt {
  stream* anr;        // ended with this stream
  const char* cur;    // the text the inner streams read
  stream bs;          // bytes of cur
  stream cs;          // characters of bs
};
int txt_anr_cvt_bin_stream_set(stream* strm, stream* anr);
int _txt_anr_cvt_bin_stream_pop(void* cvt, void* ch);
void _txt_anr_cvt_bin_stream_end(void* cvt);

inline constexpr stream_ops TXT_ANR_CVT_OPS{_txt_anr_cvt_bin_stream_pop, nullptr,
                                            _txt_anr_cvt_bin_stream_end, nullptr};
