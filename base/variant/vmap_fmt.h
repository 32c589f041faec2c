// Template formatting: a character stream that yields a template with every "@name@"
// replaced by the value stored under name in a variant map, and "@@" by "@".
#pragma once
#include "base/containers/buf.h"
#include "base/stream/bstream.h"
#include "base/stream/stream.h"
#include "base/variant/vmap.h"

struct vmap_fmt_st {
  vmap* vm;              // read, not owned
  vtyp* prn;             // where names are looked up: always the top level
  stream* tpl;           // template characters; ended with the formatter
  buf_var nam;           // the current placeholder name, Shift-JIS bytes; handle &nam._p
  union {
    const char* cur;     // a text value: cursor of the value byte stream
    int_src num;         // an integer value: the digit stream's state
  } val;
  stream vbs;            // value bytes over val
  stream vcs;            // value characters over vbs
};

int vmap_fmt_stream(stream* out, vmap* vm, stream* tpl);
int _vmap_fmt_stream_pop(void* state, void* out);
void _vmap_fmt_stream_end(void* state);

inline constexpr stream_ops STREAM_OPS_VMAP_FMT{_vmap_fmt_stream_pop, nullptr, _vmap_fmt_stream_end,
                                                nullptr};
