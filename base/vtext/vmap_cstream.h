// The variant text notation read into a vmap: keys with text values or none, and in a vmap
// with nested keys paths (a/b=v) and bracketed groups (a=v[b=w;c]).
#pragma once
#include <cstdint>

#include "base/stream/stream.h"
#include "base/text/txt_anr.h"
#include "base/variant/vmap.h"

// Parser flags.
inline constexpr uint32_t VMAP_CSTM_LIN = 1;   // stop at the first line end
inline constexpr uint32_t VMAP_CSTM_VAL = 2;   // a word without value is an error

// Token types of the notation. 0x100: may follow a value; 0x200: a bracket; TXT_ANR_SKP
// (0x20000000): skipped by the analyzers.
inline constexpr uint32_t VMAP_TOK_WRD = 1;
inline constexpr uint32_t VMAP_TOK_ESC = 2;      // a backslash and the character after it
inline constexpr uint32_t VMAP_TOK_HSH = 16;
inline constexpr uint32_t VMAP_TOK_SLS = 17;
inline constexpr uint32_t VMAP_TOK_EQU = 18;
inline constexpr uint32_t VMAP_TOK_QUO = 19;
inline constexpr uint32_t VMAP_TOK_OPN = 788;
inline constexpr uint32_t VMAP_TOK_CLS = 789;
inline constexpr uint32_t VMAP_TOK_SEM = 278;
inline constexpr uint32_t VMAP_TOK_LIN = 0x20000120;
inline constexpr uint32_t VMAP_TOK_BLK = 0x20000021;
inline constexpr uint32_t VMAP_TOK_AFT = 0x100;  // bit: may follow a value
inline constexpr uint32_t VMAP_TOK_BRK = 0x200;  // bit: a bracket

// Where the statements go.
struct vmap_frmm_stt {
  vtyp* root;     // the caller's parent (NULL: the top level)
  vtyp* cur;      // the parent of the next statement's key
  vtyp* anchor;   // the entry of the last statement; an open bracket makes it the parent
  uint32_t flg;   // VMAP_CSTM_*
};

// The current token: an element of the token stream, or its status once it has none.
struct vmap_frmm_tok {
  txt_anr_elm elm;   // its text is valid until the next pop
  int32_t st;        // 0: elm holds a token; an end status (the text is over); a failure
};

// Reads the notation from the character stream in (not ended here) into vm under prn.
// 0: the text has been read; 0x80000001: a token that cannot begin a statement, a value that
// is not a word, or nothing after an equals sign; -1: a structural error or any other
// failure. Entries stored before the failing token stay.
int _vmap_cstream(vmap* vm, vtyp* prn, stream* in, uint32_t flg);
// One statement that begins with the word in tok; leaves the token after it in tok.
int _vmap_frmm_cstm_fnc_wrd(vmap* vm, stream* toks, vmap_frmm_tok* tok, vmap_frmm_stt* stt);
