// Text splitter: cuts a character stream into typed tokens with an ordered list of patterns.
// The first pattern that takes a token's first character decides the token, which is then
// exactly that pattern's longest match from there; what it read past the match is read again
// for the next token. Characters no pattern takes are gathered into tokens of type 0.
#pragma once
#include <cstdint>

#include "base/containers/buf.h"
#include "base/stream/stream.h"
#include "base/text/txt_mtc.h"
#include "base/variant/vmap.h"

// One pattern, in registration order.
struct txt_spr_rgx {
  txt_spr_rgx* nxt;
  txt_mtc_chk chk;    // owns the compiled pattern
  char* cnd_nam;      // the pattern is tried only while this variable holds cnd_val
  int32_t cnd_val;
  char* set_nam;      // set to set_val when the pattern yields a token
  int32_t set_val;
  uint32_t typ;       // type of the pattern's tokens
  // The characters that can begin one of its tokens (codes below 256, and whether a larger
  // one can); with fst_all set any character is tried.
  uint32_t fst[8];
  bool fst_big;
  bool fst_all;
};

// The splitter record. The operation that returns its tokens has the same name, so
// after its declaration the record is named as struct txt_spr.
struct txt_spr {
  txt_spr_rgx* rgx_top;
  txt_spr_rgx* rgx_cur;    // the pattern the token being read is committed to
  vmap cnd_map;            // the variables of conditional patterns
  buf_var buf_chk;         // text of the token being read; handle &buf_chk._p
  buf_var buf_txt;         // gathered text no pattern took
  txt_spr_rgx** rgx_end;   // where the next pattern goes; NULL: not set up
  stream* stm;
  // The characters of the token being read and those read past it, which the next token
  // reads again: codes (uint32_t) from index cod_top on; cod_rd is the next to read.
  buf_var buf_cod;
  uint32_t cod_top;
  uint32_t cod_rd;
  uint32_t chr_cnt;        // position of the next character to read
  uint32_t flg;            // TXT_SPR_*
};

inline constexpr uint32_t TXT_SPR_HLD = 0x01;  // the committed pattern's token is held back
inline constexpr uint32_t TXT_SPR_RET = 0x02;  // a token was returned: rewind on the next call

struct txt_spr_tok {
  uint32_t typ;
  const char* txt;   // valid until the next call
};

int txt_spr_set(struct txt_spr* spr, stream* strm);
// flags: the checker's option word (NULL: longest). cnd_nam, set_nam may be NULL.
int txt_spr_psh_lst_regexp(struct txt_spr* spr, uint32_t typ, stream* pattern,
                           const uint32_t* flags, const char* cnd_nam, int32_t cnd_val,
                           const char* set_nam, int32_t set_val);
int txt_spr(struct txt_spr* spr, txt_spr_tok* tok);
void txt_spr_end(struct txt_spr* spr);

// Stream operations: tokens as analyzer elements, or as token records.
int _txt_spr_for_anr_stream_pop(void* spr, void* elm);
int txt_spr_for_anr_stream_set(stream* strm, struct txt_spr* spr);
int __txt_spr_stream_pop(void* spr, void* tok);
void __txt_spr_stream_end(void* spr);

inline constexpr stream_ops TXT_SPR_OPS{__txt_spr_stream_pop, nullptr, __txt_spr_stream_end,
                                        nullptr};
inline constexpr stream_ops TXT_SPR_ANR_OPS{_txt_spr_for_anr_stream_pop, nullptr,
                                            __txt_spr_stream_end, nullptr};
