// Shared by the fuzz targets: character streams over byte strings, and the resource register
// as a leak check of its own.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"
#include "tests/cstr_util.h"

namespace fz {

using tu::cstr;

// Blocks the library holds (unscoped registrations).
inline size_t blocks() {
  size_t n = 0;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    if (r->lvl == 0 && r->about != nullptr && r->about[0] != 'f') ++*static_cast<size_t*>(a);
    return 0;
  }, &n);
  return n;
}

// A text as the Shift-JIS decoder reads it, one string per character: a lead byte takes the
// byte after it, and a lone lead byte at the very end is no character.
inline std::vector<std::string> chars_of(const std::string& s) {
  std::vector<std::string> v;
  for (size_t i = 0; i < s.size(); ++i) {
    if (sjis_lead(static_cast<unsigned char>(s[i]))) {
      if (i + 1 == s.size()) break;
      v.push_back(s.substr(i++, 2));
    } else {
      v.push_back(s.substr(i, 1));
    }
  }
  return v;
}

// The same text as bytes again, the lone lead byte at the end dropped.
inline std::string decoded(const std::string& s) {
  std::string d;
  for (const std::string& c : chars_of(s)) d += c;
  return d;
}

// The bytes up to the first NUL (a text of the library ends there).
inline std::string upto_nul(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  return s.substr(0, s.find('\0'));
}

}  // namespace fz
