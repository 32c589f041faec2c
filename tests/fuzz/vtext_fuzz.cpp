// The notation reader over arbitrary text, into a flat and a nested vmap, and what it read
// written out again and read back. Checked: no crash, no leak, one of the three statuses with
// the status word the same, the same entries after writing in group and in path mode and
// reading again, every block given back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/opt.h"
#include "fuzz_util.h"

namespace {

using path = std::vector<std::string>;
// Every entry: the keys from the top down to its own, and its value if it has one.
struct val {
  bool has;
  std::string txt;
  bool operator==(const val& o) const { return has == o.has && txt == o.txt; }
};
using entries = std::map<path, val>;

entries entries_of(vmap* vm) {
  entries e;
  vmap_itr itr{};
  if (vmap_rng_pop_set(vm, nullptr, VMAP_RNG_CTL, &itr) != 0) std::abort();
  vtyp* ent = nullptr;
  while (vmap_rng_pop(&itr, &ent, 1) == 0) {
    path p;
    for (const vtyp* k = ent; k != nullptr;) {
      void* t = nullptr;
      if (vtyp_ref_val(k, &t) != 0) std::abort();
      p.insert(p.begin(), static_cast<const char*>(t));
      vtyp* up = nullptr;
      if (vtyp_get_nst(k, &up) != 0) break;
      k = up;
    }
    val v{false, ""};
    vtyp* n = nullptr;
    if (vtyp_get_lnk(ent, &n, 0) == 0 && n != nullptr) {
      void* t = nullptr;
      if (vtyp_ref_val(n, &t) != 0) std::abort();
      v = {true, static_cast<const char*>(t)};   // the reader stores texts only
    }
    e[p] = v;
  }
  vmap_rng_pop_end(&itr);
  return e;
}

// Reads text into a fresh vmap; the status and the entries.
int32_t read_into(vmap* vm, uint32_t vmap_flg, const std::string& text) {
  if (vmap_set(vm, vmap_flg) != 0) std::abort();
  fz::cstr in(text);
  err_no = 0;
  const int32_t st = _vmap_cstream(vm, nullptr, &in.cs, 0);
  if (st != 0 && st != ERR_END && st != ERR_FAIL) std::abort();
  if (err_no != st) std::abort();
  return st;
}

std::string write(vmap* vm, uint32_t mode) {
  cstream_vtyp_opt opt{0, 0, 0, mode};
  stream s{};
  if (cstream_vmap_set(&s, vm, nullptr, VMAP_RNG_CTL, &opt) != 0) std::abort();
  char* out = nullptr;
  if (cstream_to_vstr(&s, &out) != 0) std::abort();
  std::string t = out;
  _free(&out);
  return t;
}

void one(uint32_t vmap_flg, const std::string& text) {
  vmap vm{};
  const int32_t st = read_into(&vm, vmap_flg, text);
  // What the option scan tells a person agrees with the reader on every text.
  std::string why;
  if (vmap_flg == 0 && opt_why(text.c_str(), &why) != st) std::abort();
  const entries want = entries_of(&vm);
  for (const uint32_t mode : {CSTREAM_VTYP_GRP, 0u}) {
    const std::string back = write(&vm, mode);
    vmap again{};
    if (read_into(&again, vmap_flg, back) != 0) std::abort();
    if (entries_of(&again) != want) std::abort();
    vmap_end(&again);
  }
  vmap_end(&vm);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text = fz::upto_nul(data, size);
  if (text.size() > 1024) return 0;
  const size_t before = fz::blocks();
  one(0, text);
  one(VMAP_NST, text);
  if (fz::blocks() != before) std::abort();
  return 0;
}
