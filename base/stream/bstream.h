// Byte streams: a NUL-terminated text, the decimal text of a 32-bit integer (produced
// without a buffer), and a C library file.
#pragma once
#include <cstdint>
#include <cstdio>

#include "base/stream/stream.h"

// Integer source: val is read as signed or unsigned by the table bound over it.
struct int_src {
  int32_t val;
  uint32_t ctl;   // bits 0-3 digits still to produce (0 before the first), bit 4 done
};
inline constexpr uint32_t INT_SRC_DIG = 0xF;
inline constexpr uint32_t INT_SRC_DONE = 0x10;

// Text source: a cursor (const char*) to the next byte; the text is never copied.
int stream_pop_str(void* cur, void* out);
int stream_pop_int(void* src, void* out);
int stream_pop_uint(void* src, void* out);
// File source: a FILE*. The end of the file is reported as a failure (-1).
int stream_pop_file(void* file, void* out);
int stream_psh_file(void* file, const void* in);
// Unregisters and closes the file; the close result.
int stream_end_file(void* file);
void __stream_end_file(void* file);
int stream_rst_file(void* file);

// strm NULL: the new stream object goes to the hand-over slot (see stream_set).
// The text must outlive the stream.
int bstream_str_set(stream* strm, const char* str);
int bstream_int_set(stream* strm, int32_t n);

inline constexpr stream_ops STREAM_OPS_FILE{stream_pop_file, stream_psh_file, __stream_end_file,
                                            stream_rst_file};
inline constexpr stream_ops STREAM_OPS_FILE_OPEN{stream_pop_file, stream_psh_file, nullptr,
                                                 stream_rst_file};
// Own cursor block, freed at end (bstream_str_set).
inline constexpr stream_ops STREAM_OPS_STR{stream_pop_str, nullptr, __stream_free_src, nullptr};
// The caller's cursor variable: const char* cur = text; stream_set(&s, &cur, &STREAM_OPS_STR_CUR).
inline constexpr stream_ops STREAM_OPS_STR_CUR{stream_pop_str, nullptr, nullptr, nullptr};
inline constexpr stream_ops STREAM_OPS_INT{stream_pop_int, nullptr, __stream_free_src, nullptr};
inline constexpr stream_ops STREAM_OPS_INT_CUR{stream_pop_int, nullptr, nullptr, nullptr};
inline constexpr stream_ops STREAM_OPS_UINT{stream_pop_uint, nullptr, __stream_free_src, nullptr};
