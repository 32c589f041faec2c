// Shared by the notation tests: reading a text into a vmap, writing a vmap out, and a vmap's
// entries as paths and values that tests can compare.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"
#include "cstr_util.h"
#include "base/stream/stream_fixture.h"

namespace vt {

using tu::cstr;

using path = std::vector<std::string>;
// Every entry: its path from the top (its parents' keys, then its own) and its value, an
// integer as its decimal text; none for a key without value.
using entries = std::map<path, std::optional<std::string>>;

inline std::string key_txt(const vtyp* ent) {
  void* v = nullptr;
  EXPECT_EQ(vtyp_ref_val(ent, &v), 0);
  return v != nullptr ? static_cast<const char*>(v) : "<none>";
}

inline path path_of(const vtyp* ent) {
  path p;
  for (const vtyp* e = ent; e != nullptr;) {
    p.insert(p.begin(), key_txt(e));
    vtyp* up = nullptr;
    if (vtyp_get_nst(e, &up) != 0) break;
    e = up;
  }
  return p;
}

inline std::optional<std::string> val_of(const vtyp* ent) {
  vtyp* v = nullptr;
  if (vtyp_get_lnk(ent, &v, 0) != 0 || v == nullptr) return std::nullopt;
  vtyp_lay l;
  __vtyp_lay(v, &l);
  void* p = nullptr;
  EXPECT_EQ(vtyp_ref_val(v, &p), 0);
  if ((l.typ & VTYP_KND_MSK) == VTYP_INT) {
    int32_t n;
    std::memcpy(&n, p, sizeof n);
    return std::to_string(n);
  }
  EXPECT_EQ(l.typ & VTYP_KND_MSK, VTYP_STR);
  return std::string(static_cast<const char*>(p));
}

inline entries entries_of(vmap* vm) {
  entries e;
  vmap_itr itr{};
  EXPECT_EQ(vmap_rng_pop_set(vm, nullptr, VMAP_RNG_CTL, &itr), 0);
  vtyp* ent = nullptr;
  while (vmap_rng_pop(&itr, &ent, 1) == 0) e[path_of(ent)] = val_of(ent);
  vmap_rng_pop_end(&itr);
  return e;
}

// Expected entries written compactly: {"x/y", "1"} or {"x", nullptr} for a key without value.
inline entries E(std::initializer_list<std::pair<const char*, const char*>> l) {
  entries e;
  for (const auto& [k, v] : l) {
    path p;
    std::string s = k;
    for (size_t at; (at = s.find('/')) != std::string::npos; s.erase(0, at + 1))
      p.push_back(s.substr(0, at));
    p.push_back(s);
    e[p] = v != nullptr ? std::optional<std::string>(v) : std::nullopt;
  }
  return e;
}

struct parsed {
  int32_t st;
  int32_t err;   // err_no after the call
  entries ent;
};

// Reads text into a fresh vmap (nested or flat) with the parser flags.
inline parsed parse(const std::string& text, bool nested, uint32_t flg = 0) {
  vmap vm{};
  EXPECT_EQ(vmap_set(&vm, nested ? VMAP_NST : 0), 0);
  cstr in(text);
  parsed r{};
  r.st = _vmap_cstream(&vm, nullptr, &in.cs, flg);
  r.err = err_no;
  r.ent = entries_of(&vm);
  vmap_end(&vm);
  return r;
}

// What a character stream yields, as Shift-JIS bytes; its end status to *st. Ends it.
inline std::string text_of(stream* s, int32_t* st = nullptr) {
  char* out = nullptr;
  const int32_t r = cstream_to_vstr(s, &out);
  if (st != nullptr) *st = r;
  std::string t = out != nullptr ? out : "";
  _free(&out);
  return t;
}

// A vmap written through the vmap-to-text stream.
inline std::string write(vmap* vm, uint32_t flg, uint32_t req = VMAP_RNG_CTL, vtyp* prn = nullptr,
                         uint32_t ind = 0, int32_t* st = nullptr) {
  cstream_vtyp_opt opt{0, 0, ind, flg};
  stream s{};
  const int32_t r = cstream_vmap_set(&s, vm, prn, req, &opt);
  EXPECT_EQ(r, 0);
  if (r != 0) return "";
  return text_of(&s, st);
}

}  // namespace vt
