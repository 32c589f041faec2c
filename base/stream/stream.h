// Streams: a source pointer bound to a table of four operations. Byte streams move one
// byte per call, character streams one 32-bit character code; a stream's source may be
// another stream, and a chain concatenates streams.
#pragma once
#include <cstdint>

#include "base/containers/buf.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"

// Any slot may be NULL. pop/psh/rst: 0 = done; non-zero = nothing moved (a clean end when
// err_no is left 0 or 1, a failure when it carries a failure code).
struct stream_ops {
  int (*pop)(void* src, void* out);
  int (*psh)(void* src, const void* in);
  void (*end)(void* src);
  int (*rst)(void* src);
};

struct stream {
  void* src;
  const stream_ops* ops;
  uintptr_t flg;
};
static_assert(sizeof(stream) == 3 * sizeof(void*), "a stream is three words");

inline constexpr uintptr_t STREAM_BND = 0x1;   // bound by stream_set
inline constexpr uintptr_t STREAM_END = 0x2;   // last pop/push refused: blocked until stream_rst
inline constexpr uintptr_t STREAM_OWN = 0x4;   // allocated by stream_set, freed by stream_end

// Chain source: members are moved-in stream objects followed by a link.
struct stream_mbr {
  stream strm;
  stream_mbr* nxt;
};
struct stream_chn {
  stream_mbr* top;   // first member, NULL when empty
  stream_mbr** bck;  // link word to fill when appending
};

// strm NULL: a new owned object is allocated and left in the hand-over slot (stkptr) with
// stream_end as its release; take it with stkptr(NULL, NULL).
int stream_set(stream* strm, void* src, const stream_ops* ops);
int stream_pop(stream* strm, void* out);
int stream_psh(stream* strm, const void* in);
void stream_end(stream* strm);
// 0 if usable (object, source and table present, bound, not ended), else -1. A predicate:
// err_no is left alone.
int stream_chk(const stream* strm);
int stream_rst(stream* strm);

// Chain: pushing a stream moves it in (the pushed object is emptied, freed if owned);
// popping drains the members in order, ending and freeing each one as it runs out.
int stream_chain(stream* strm);
int stream_chain_pop(void* chain, void* out);
int stream_chain_psh(void* chain, const void* in);
void stream_chain_end(void* chain);

// Adapters whose source is another stream object, or a block to free.
void __stream_end_src(void* src);
int __stream_rst_src(void* src);
int __stream_pop_src(void* src, void* out);
int __stream_psh_src(void* src, const void* in);
void __stream_free_src(void* src);

inline constexpr stream_ops STREAM_OPS_CHAIN{stream_chain_pop, stream_chain_psh, stream_chain_end,
                                             nullptr};
// Source: a buffer handle; one element per call.
inline constexpr stream_ops STREAM_OPS_BUF{buf_pop, buf_psh, buf_end, buf_rst};
// Source: another stream, passed through unchanged (not ended with this one).
inline constexpr stream_ops STREAM_OPS_SRC{__stream_pop_src, __stream_psh_src, nullptr,
                                           __stream_rst_src};

// A failure that keeps an earlier failure code but not a stale end status: a leftover 1
// must not make a failure read as a clean end.
inline int32_t __stream_fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}
