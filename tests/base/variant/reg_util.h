// Reads of the resource register shared by the variant tests.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/diag/rscmng.h"

namespace vtest {

struct reg_blk {
  const void* ptr;
  uint32_t size;
  const char* fnc;
};

// Every unscoped block in the register.
inline std::vector<reg_blk> reg_blocks() {
  std::vector<reg_blk> v;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    if (r->lvl == 0) static_cast<std::vector<reg_blk>*>(a)->push_back({r->ptr, r->size, r->fnc});
    return 0;
  }, &v);
  return v;
}

// The registered size of the block at p, or -1 when p is not registered.
inline int64_t reg_size(const void* p) {
  for (const reg_blk& b : reg_blocks())
    if (b.ptr == p) return b.size;
  return -1;
}

// How many registered blocks were made by the function named fnc.
inline size_t reg_count(const char* fnc) {
  size_t n = 0;
  for (const reg_blk& b : reg_blocks())
    if (b.fnc != nullptr && std::strcmp(b.fnc, fnc) == 0) ++n;
  return n;
}

}  // namespace vtest
