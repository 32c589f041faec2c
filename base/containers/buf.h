// Growable buffer: a pointer handle with four hidden header words before it.
#pragma once
#include <cstdint>

// Header word indices below the handle: ((uintptr_t*)buf)[-(k+1)].
inline constexpr int BUF_SIZ = 0;   // element size in bytes
inline constexpr int BUF_LEN = 1;   // element count / fixed capacity / logical length
inline constexpr int BUF_POS = 2;   // cursor; linked queue: the last element
inline constexpr int BUF_FLG = 3;   // flags below

inline constexpr uintptr_t BUF_END = 0x1;
inline constexpr uintptr_t BUF_PTR = 0x2;
inline constexpr uintptr_t BUF_VAR = 0x4;
inline constexpr uintptr_t BUF_LNK = 0x8;
inline constexpr uintptr_t BUF_QUE = 0x400;
inline constexpr int BUF_EXP_SHF = 8;          // capacity exponent in bits 8 to 13
inline constexpr uintptr_t BUF_EXP_MSK = 0x3F00;

// The declared form, in address order; its handle is &_p.
struct buf_var {
  uintptr_t flg;
  uintptr_t pos;
  uintptr_t len;
  uintptr_t siz;
  void* _p;
};

int buf_ref(void* buf, uint32_t index, uint32_t n, void** out);
int buf_psh(void* buf, const void* src);
int buf_pop(void* buf, void* dst);
int buf_get(void* buf, uint32_t index, void* dst);
int buf_rst(void* buf);
void buf_end(void* buf);
int _buf_vptr(void* buf, void* out);
int buf_ini(void* buf, uint32_t siz);

// Declaration support: registers the record and the header words it sets as references
// of the declaring scope, initialises them, and returns the handle (&rec->_p).
void* __buf_dcl(buf_var* rec, uintptr_t siz, uintptr_t flg, const char* rec_txt,
                const char* siz_txt, const char* len_txt, const char* pos_txt,
                const char* flg_txt, const char* file, int line);

#define __BUF_DCL(kind, name, esiz, flags)                                          \
  buf_var kind##name{};                                                             \
  [[maybe_unused]] void* name =                                                     \
      __buf_dcl(&kind##name, (esiz), (flags), "REF(" #kind #name ")",               \
                "REF(((uintptr_t*)(" #kind #name "._p))[-(0+1)])",                  \
                "REF(((uintptr_t*)(" #kind #name "._p))[-(1+1)])",                  \
                "REF(((uintptr_t*)(" #kind #name "._p))[-(2+1)])",                  \
                "REF(((uintptr_t*)(" #kind #name "._p))[-(3+1)])", __FILE__, __LINE__)

// A growable array: __VARBUF(str_buf, 1); declares the record __VARBUF_str_buf and the
// handle str_buf. Its registrations last as long as the declaring scope.
#define __VARBUF(name, esiz) __BUF_DCL(__VARBUF_, name, esiz, BUF_PTR | BUF_VAR)
// A linked stack of separately allocated elements.
#define __LNKBUF(name, esiz) __BUF_DCL(__LNKBUF_, name, esiz, BUF_PTR | BUF_LNK)
