#include <cstring>

#include "base/containers/map.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"

namespace {

using byte = unsigned char;

inline void* lnk_ld(const void* n, int16_t ofs) {
  void* v;
  std::memcpy(&v, static_cast<const byte*>(n) + ofs, sizeof v);
  return v;
}

int frm_psh(map_itr_frm** stk, void* nod) {
  const map_itr_frm f{*stk, nod};
  map_itr_frm* p = nullptr;
  if (CVR(_malloc_cpy(&p, &f, static_cast<int>(sizeof f)) != 0 || p == nullptr)) return -1;
  *stk = p;
  return 0;
}

// A leftover clean-end status must not make a failure read as the end of the range.
int fail() {
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

}  // namespace

int __map_rng_pop_psh_nod(map_itr* itr, void* node, map_itr_frm** stk, int dir) {
  rscmng_scp scp;
  const ::map* m = itr->map;
  void* n = lnk_ld(node, CVR(dir == 0) ? m->lnk_l : m->lnk_r);
  // Stack every match on the way to the subtree's first match. A node outside the range
  // steers by the compare's sign: one before the run has matches only to its right, one
  // after it only to its left.
  while (CVR(n != nullptr)) {
    const int c = CVR(itr->cmp == nullptr)
                      ? 0
                      : itr->cmp(itr->key, static_cast<byte*>(n) + m->key_ofs, itr->arg);
    if (CVR(c == 0)) {
      if (CVR(frm_psh(stk, n) != 0)) return fail();
      n = lnk_ld(n, m->lnk_l);
    } else {
      n = lnk_ld(n, CVR(c > 0) ? m->lnk_r : m->lnk_l);
    }
  }
  return 0;
}

int _map_rng_pop_set(map* m, const void* key, map_cmp_fn cmp_rng, void* arg, map_itr* itr,
                     int set) {
  rscmng_scp scp;
  itr->map = m;
  itr->key = key;
  itr->cmp = cmp_rng;
  itr->arg = arg;
  itr->stk = nullptr;
  map_rtt_lck(m, 1);

  // The lock is held, so this walk down moves nothing.
  void* n = m->root;
  if (CVR(cmp_rng != nullptr)) {
    while (CVR(n != nullptr)) {
      const int c = cmp_rng(key, static_cast<byte*>(n) + m->key_ofs, arg);
      if (CVR(c == 0)) break;
      n = lnk_ld(n, CVR(c > 0) ? m->lnk_r : m->lnk_l);
    }
  }
  if (CVR(n == nullptr)) {
    if (CVR(set != 0)) {
      err_no = ERR_EOD;
      return ERR_EOD;
    }
    return 0;
  }
  if (CVR(frm_psh(&itr->stk, n) != 0)) return fail();
  return __map_rng_pop_psh_nod(itr, n, &itr->stk, 0);
}

int map_rng_pop_ini(map* m, const void* key, map_cmp_fn cmp_rng, void* arg, map_itr* itr) {
  return _map_rng_pop_set(m, key, cmp_rng, arg, itr, 0);
}

int map_rng_pop(map_itr* itr, void** out) {
  rscmng_scp scp;
  map_itr_frm* top = itr->stk;
  if (CVR(top == nullptr)) {
    err_no = ERR_EOD;
    return ERR_EOD;
  }
  void* n = top->nod;
  if (CVR(n == nullptr)) return fail();
  *out = n;
  itr->stk = top->prv;
  _free(&top);
  return __map_rng_pop_psh_nod(itr, n, &itr->stk, 1);
}

int map_rng_pop_end(map_itr* itr) {
  rscmng_scp scp;
  map_rtt_lck(itr->map, 0);
  while (CVR(itr->stk != nullptr)) {
    map_itr_frm* f = itr->stk;
    itr->stk = f->prv;
    _free(&f);
  }
  return 0;
}
