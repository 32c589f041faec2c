// A Shift-JIS character stream over its own copy of a text, built in place: the way tests and
// fuzz targets hand a text to the library's readers.
#pragma once
#include <string>
#include <utility>

#include "base/base.h"

namespace tu {

struct cstr {
  std::string txt;
  const char* cur;
  stream bs{};
  stream cs{};
  explicit cstr(std::string s) : txt(std::move(s)), cur(txt.c_str()) {
    stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  }
  cstr(const cstr&) = delete;
  cstr& operator=(const cstr&) = delete;
};

}  // namespace tu
