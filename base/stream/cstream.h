// Character streams: one 32-bit Shift-JIS character code per call, decoded from and
// encoded into an underlying byte stream; search-and-replace; collectors.
#pragma once
#include <cstdint>
#include <cstdio>

#include "base/stream/bstream.h"
#include "base/stream/stream.h"

// Character code: a single byte is its value; a double-byte character is
// lead + 256 * trail. 0 ends a text.
// Lead bytes 0x81-0x9F and 0xE0-0xFC, one bit per byte value (only the low byte counts).
// Code page 932 uses the rows from 0xF0 up as well (NEC and IBM extensions: 髙 is FB FC).
inline constexpr uint32_t SJIS_LEAD_MAP[8] = {0, 0, 0, 0, 0xFFFFFFFEu, 0, 0, 0x1FFFFFFFu};
constexpr bool sjis_lead(uint32_t b) { return ((SJIS_LEAD_MAP[(b & 0xFF) >> 5] >> (b & 31)) & 1) != 0; }
static_assert(sjis_lead(0x81) && sjis_lead(0x9F) && sjis_lead(0xE0) && sjis_lead(0xEF));
static_assert(sjis_lead(0xF0) && sjis_lead(0xFA) && sjis_lead(0xFC));
static_assert(!sjis_lead(0x80) && !sjis_lead(0xA0) && !sjis_lead(0xDF) && !sjis_lead(0xFD) &&
              !sjis_lead(0xFF));

// Source: a byte stream object; out/in point at a uint32_t character.
int stream_pop_btoc_sjis(void* bstrm, void* out);
int stream_psh_btoc_sjis(void* bstrm, const void* in);

// The character stream owns its byte stream (ending it ends that). bstrm NULL: the byte
// stream is taken from the hand-over slot. strm NULL: the new object goes to the slot.
int cstream_default_btoc_set(stream* strm, stream* bstrm);
// The text is not copied and must outlive the stream.
int cstream_str_set(stream* strm, const char* str);
int cstream_int_set(stream* strm, int32_t n);

// Replacement state: a look-ahead window of the pattern's length over the input.
struct cstream_rep {
  uint32_t* fnd;      // pattern, 0-terminated
  char* rep;          // replacement text
  uint32_t* win;      // ring of cnt characters
  uint32_t win_top;
  uint32_t win_len;
  uint32_t cnt;
  stream* in;         // ended with this stream
  const char* rep_cur;
  stream rep_bstrm;   // text over rep_cur
  stream rep_cstrm;   // characters of the replacement still to deliver
};

// Delivers in with every occurrence of fnd's characters replaced by rep's, left to right
// without overlaps. fnd and rep are collected and ended by the call, whatever its result;
// in is owned by the new stream (on failure it is left to the caller). An empty pattern
// is refused (-1).
int cstream_replace(stream* strm, stream* in, stream* fnd, stream* rep);
int cstream_replace_pop(void* state, void* out);
void cstream_replace_end(void* state);

// Collectors: read in to its end and end it. The first word of out receives a heap block
// (free it with _free): a NUL-terminated Shift-JIS text, or a 0-terminated array of
// character codes. On failure it is NULL.
int cstream_to_vstr(stream* in, void* out);
int cstream_to_vcstr(stream* in, void* out);
// Writes the characters encoded, without a terminator; the file stays open.
int cstream_to_fil(stream* in, FILE* file);

inline constexpr stream_ops STREAM_OPS_SJIS{stream_pop_btoc_sjis, stream_psh_btoc_sjis,
                                            __stream_end_src, __stream_rst_src};
inline constexpr stream_ops STREAM_OPS_REPLACE{cstream_replace_pop, nullptr, cstream_replace_end,
                                               nullptr};
