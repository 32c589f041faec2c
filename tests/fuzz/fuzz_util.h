// Shared by the fuzz targets: character streams over byte strings, and the resource register
// as a leak check of its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "base/base.h"

namespace fz {

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

// Blocks the library holds (unscoped registrations).
inline size_t blocks() {
  size_t n = 0;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    if (r->lvl == 0 && r->about != nullptr && r->about[0] != 'f') ++*static_cast<size_t*>(a);
    return 0;
  }, &n);
  return n;
}

// The bytes up to the first NUL (a text of the library ends there).
inline std::string upto_nul(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  return s.substr(0, s.find('\0'));
}

}  // namespace fz
