// Regular expressions: a pattern read from a character stream compiles into a term, the
// node list the matcher walks.
#pragma once
#include <cstdint>

#include "base/stream/stream.h"
#include "base/text/txt_mtc.h"

// Reads the pattern to the stream's end; the term goes to chk->trm (NULL on any failure).
// 1 for an empty or truncated pattern, -1 for one that does not compile.
int regexp_trm(txt_mtc_chk* chk, stream* strm);
// A backslash takes the next character (n, r, t: line feed, carriage return, tab); 1 when
// the pattern ends after the backslash.
int __regexp_escape(stream* strm, uint32_t* ch);
// Prepares a checker that owns the term compiled from the stream; a checker whose pattern
// fails is released.
int regexp_chk(txt_mtc_chk* chk, stream* strm, const uint32_t* flags);
