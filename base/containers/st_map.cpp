#include <cstdlib>
#include <cstring>

#include "base/containers/map.h"
#include "base/diag/cvr.h"
#include "base/diag/heap.h"
#include "base/diag/rscmng.h"

namespace {

// The map's arg word: record size in the high half, key length in the low half.
inline size_t rec_size(void* arg) { return (reinterpret_cast<uintptr_t>(arg) >> 16) & 0xFFFFu; }
inline size_t key_len(void* arg) { return reinterpret_cast<uintptr_t>(arg) & 0xFFFFu; }

}  // namespace

const map_ops st_map = {st_map_cmp, st_map_cpy, st_map_mak, st_map_del, st_map_prt};

int st_map_cmp(const void* key, const void* node_key, void* arg) {
  return std::memcmp(key, node_key, key_len(arg));
}

int st_map_cpy(void* node, const void* data, void* arg) {
  std::memcpy(node, data, rec_size(arg));
  return 0;
}

int st_map_mak(void** out, const void* data, void* arg) {
  rscmng_scp scp;
  const size_t rs = rec_size(arg);
  const size_t n = rs + ST_MAP_XTR;
  auto* p = static_cast<unsigned char*>(heap_alc(n));
  if (CVR(p == nullptr)) return -1;
  rscmng_psh(nullptr, p, static_cast<uint32_t>(n), 0, __FILE__, __LINE__, "st_map_mak", "malloc");
  std::memcpy(p, data, rs);
  std::memset(p + rs, 0, ST_MAP_XTR);  // links and colour start clean
  *out = p;
  return 0;
}

void st_map_del(void* node, void* arg) {
  (void)arg;
  if (CVR(node == nullptr)) return;
  rscmng_scp scp;
  rscmng_del(nullptr, node, 0, __FILE__, __LINE__, "st_map_del", "free");
  heap_fre(node);
}

void st_map_prt(FILE* stream, const void* node, void* arg) {
  const auto* b = static_cast<const unsigned char*>(node);
  const size_t rs = rec_size(arg);
  for (size_t i = 0; CVR(i < rs); ++i) std::fprintf(stream, CVR(i == 0) ? "%02X" : " %02X", b[i]);
}
