#include "base/diag/rscmng.h"

#include <cinttypes>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/mem_log.h"
#include "base/diag/tmr.h"

rscmng rscmng_prc = {10, {}, nullptr, 0, nullptr};

namespace {

constexpr map_ops rscmng_ops = {__rscmng_map_cmp, nullptr, __rscmng_map_mak, __rscmng_map_del,
                                __rscmng_map_prt};

// The range search key: a byte range and the record that contains it.
struct rscmng_qry {
  uintptr_t bgn;
  uintptr_t end;
  rscmng_rcd* found;
};

// What a memory-log record of the manager carries.
struct rscmng_log {
  const void* ptr;
  uintptr_t size;
  const char* fnc;
  const char* about;
};
static_assert(sizeof(rscmng_log) <= MEM_LOG_PAY);

constexpr int PTR_HEX = 2 * static_cast<int>(sizeof(void*));

// Scopes open and close around every library call, and register records come and go with
// every block: both are kept for reuse rather than taken from the heap each time. Records are
// kept up to a bound, frames as deep as scopes have nested.
bool cache_on = true;
constexpr size_t RCD_KEEP = 4096;
rscmng_rcd* rcd_free = nullptr;   // linked through nxt
size_t rcd_free_n = 0;

// The keeping is the manager's own upkeep: like its work on the register, it is not recorded
// (whether a frame is kept or allocated must not show in the coverage table).
rscmng_nst* nst_new(rscmng* mng) {
  ++dbg_busy;
  rscmng_nst* f = mng->nst_free;
  if (CVR(f != nullptr)) {
    mng->nst_free = f->prv;
  } else {
    f = static_cast<rscmng_nst*>(heap_alc(sizeof(rscmng_nst)));
  }
  --dbg_busy;
  return f;
}

void nst_drop(rscmng* mng, rscmng_nst* f) {
  ++dbg_busy;
  if (CVR(cache_on)) {
    f->prv = mng->nst_free;
    mng->nst_free = f;
  } else {
    heap_fre(f);
  }
  --dbg_busy;
}

inline rscmng* rscmng_sel(rscmng* mng) { return CVR(mng == nullptr) ? &rscmng_prc : mng; }
inline uintptr_t adr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

tmr_rcd tmr_psh_ = {"rscmng_psh", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
tmr_rcd tmr_chk_ = {"rscmng_chk", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
tmr_rcd tmr_del_ = {"rscmng_del", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
tmr_rcd tmr_in_ = {"rscmng_nst_in", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};
tmr_rcd tmr_out_ = {"rscmng_nst_out", __FILE__, __LINE__, nullptr, nullptr, 0, 0, 0, 0, 0, 0, 0, 0};

void rscmng_log_psh(int* slot, const char* file, int line, const void* ptr, uintptr_t size,
                    const char* fnc, const char* about) {
  const rscmng_log pay = {ptr, size, fnc, about};
  mem_log_psh(slot, err_no, file, line, &pay, sizeof pay, __rscmng_log_prt);
}

// The record with the greatest key at or below (bgn, lvl), in address order and then level;
// NULL when there is none. Reads the tree as it stands, without repairing it.
rscmng_rcd* rcd_at_or_below(const rscmng* mng, uintptr_t bgn, uint32_t lvl) {
  rscmng_rcd* best = nullptr;
  auto* n = static_cast<rscmng_rcd*>(mng->map.root);
  while (CVR(n != nullptr)) {
    // Lower keys lie to the right.
    if (CVR(n->key.bgn < bgn || (n->key.bgn == bgn && n->key.lvl <= lvl))) {
      best = n;
      n = n->lnk_l;
    } else {
      n = n->lnk_r;
    }
  }
  return best;
}

// The range search takes the records that hold a range to be one run in the tree's order;
// a reference inside a block, rotated above it, breaks that run. Walking down from the
// nearest start at or below the range, over the references, to the first block settles it:
// blocks never overlap, and a reference lies inside a block or in storage of its own.
rscmng_rcd* rcd_holding(const rscmng* mng, uintptr_t bgn, uintptr_t end) {
  rscmng_rcd* r = rcd_at_or_below(mng, bgn, UINT32_MAX);
  while (CVR(r != nullptr)) {
    if (CVR(r->key.bgn <= bgn && end <= r->key.end)) return r;
    if (CVR(r->key.lvl == 0)) return nullptr;
    r = rcd_at_or_below(mng, r->key.bgn, r->key.lvl - 1);   // the next lower key
  }
  return nullptr;
}

void rscmng_log_out() {
  if (CVR(stderr != nullptr)) {
    mem_log_prt();
    std::fflush(stderr);
  }
}

}  // namespace

int __rscmng_map_cmp(const void* a, const void* b, void*) {
  const auto* x = static_cast<const rscmng_key*>(a);
  const auto* y = static_cast<const rscmng_key*>(b);
  if (CVR(x->bgn < y->bgn)) return 1;
  if (CVR(x->bgn > y->bgn)) return -1;
  if (CVR(x->lvl < y->lvl)) return 1;
  if (CVR(x->lvl > y->lvl)) return -1;
  return 0;
}

int __rscmng_map_cmp_rng(const void* q, const void* k, void*) {
  const auto* x = static_cast<const rscmng_qry*>(q);
  const auto* y = static_cast<const rscmng_key*>(k);
  if (CVR(x->bgn >= y->bgn && x->end <= y->end)) return 0;
  if (CVR(x->bgn < y->bgn)) return 1;
  if (CVR(x->bgn > y->bgn)) return -1;
  return 0;
}

int __rscmng_map_cmp_rng_fnc(void* node, void* q) {
  auto* r = static_cast<rscmng_rcd*>(node);
  auto* x = static_cast<rscmng_qry*>(q);
  if (CVR(x->bgn >= r->key.bgn && x->end <= r->key.end)) {
    x->found = r;
    return 1;
  }
  return 0;
}

int __rscmng_map_mak(void** out, const void* image, void*) {
  // The register's own nodes are plain heap: registering them would recurse.
  auto* r = rcd_free;
  if (CVR(r != nullptr)) {
    rcd_free = r->nxt;
    --rcd_free_n;
  } else {
    r = static_cast<rscmng_rcd*>(heap_alc(sizeof(rscmng_rcd)));
    if (CVR(r == nullptr)) return -1;
  }
  *r = *static_cast<const rscmng_rcd*>(image);
  *out = r;
  return 0;
}

void __rscmng_map_del(void* node, void*) {
  if (CVR(node == nullptr)) return;
  if (CVR(cache_on && rcd_free_n < RCD_KEEP)) {
    auto* r = static_cast<rscmng_rcd*>(node);
    r->nxt = rcd_free;
    rcd_free = r;
    ++rcd_free_n;
  } else {
    heap_fre(node);
  }
}

void __rscmng_map_prt(FILE* stream, const void* node, void*) {
  const auto* r = static_cast<const rscmng_rcd*>(node);
  const src_pos pos = {r->about, r->file, r->line, r->fnc};
  __src_pos_fprint(stream, &pos);
  std::fprintf(stream, ",%0*" PRIxPTR ",%0*" PRIxPTR ",%u,", PTR_HEX, r->key.bgn, PTR_HEX,
               r->key.end, r->key.lvl);
  std::fprintf(stream, "%lld\n", static_cast<long long>(r->prc_cnt));
}

void __rscmng_log_prt(FILE* stream, const void* payload) {
  rscmng_log l;
  std::memcpy(&l, payload, sizeof l);
  std::fprintf(stream, "fnc=%s ptr=0x%0*" PRIxPTR " size=%u about=%s", l.fnc, PTR_HEX, adr(l.ptr),
               static_cast<unsigned>(l.size), l.about);
}

int __rscmng_map_ini(rscmng* mng) {
  if (CVR(mng->map.ops == nullptr)) {
    const int r = map_set(&mng->map, &rscmng_ops, nullptr, offsetof(rscmng_rcd, lnk_l),
                          offsetof(rscmng_rcd, lnk_r), offsetof(rscmng_rcd, key),
                          offsetof(rscmng_rcd, clr), 1);
    if (CVR(r != 0)) return 1;
  }
  return 0;
}

void* rscmng_psh(rscmng* mng, void* ptr, uint32_t size, uint32_t lvl, const char* file, int line,
                 const char* fnc, const char* about) {
  mng = rscmng_sel(mng);
  if (CVR(dbg_busy != 0)) return ptr;
  ++dbg_busy;
  if (CVR(ptr == nullptr)) {
    --dbg_busy;
    return nullptr;
  }
  tmr_frm frm = {};
  tmr_psh(&tmr_psh_, &frm);
  auto leave = [&] {
    tmr_pop(&tmr_psh_, &frm);
    --dbg_busy;
    return ptr;
  };
  if (CVR(__rscmng_map_ini(mng) != 0)) return leave();

  rscmng_rcd img = {};
  img.about = about;
  img.file = file;
  img.line = line;
  img.fnc = fnc;
  img.ptr = ptr;
  img.size = size;
  img.lvl = lvl;
  img.key = {adr(ptr), adr(ptr) + size, lvl};
  img.cnt = 1;
  img.prc_cnt = __prc_cnt(nullptr);

  void* node = nullptr;
  const int put = map_put(&mng->map, &img, &node, MAP_PUT_KEEP);
  auto* r = static_cast<rscmng_rcd*>(node);
  if (CVR(put == 1)) {
    ++r->cnt;
  } else if (CVR(put != 0)) {
    return leave();
  } else if (CVR(lvl > 0)) {
    // No frame of the current level (none opened, or opening it failed): one of its own, which
    // the close of this level takes.
    if (CVR(mng->nst_top == nullptr || mng->nst_top->lvl != mng->lvl)) {
      rscmng_nst* f = nst_new(mng);
      if (CVR(f == nullptr)) return leave();
      *f = {mng->nst_top, nullptr, mng->lvl};
      mng->nst_top = f;
    }
    rscmng_nst* f = mng->nst_top;
    r->nxt = f->top;
    r->pprv = &f->top;
    if (CVR(f->top != nullptr)) f->top->pprv = &r->nxt;
    f->top = r;
  } else {
    r->nxt = nullptr;
    r->pprv = nullptr;
  }
  tmr_pop(&tmr_psh_, &frm);
  tmr_prt_aut(nullptr, 10, nullptr);
  --dbg_busy;
  return ptr;
}

int rscmng_chk(rscmng* mng, const void* ptr, uint32_t size, int report, const char* file, int line,
               const char* fnc, const char* about) {
  mng = rscmng_sel(mng);
  if (CVR(dbg_busy != 0)) return 0;
  ++dbg_busy;
  if (CVR(ptr == nullptr)) {
    --dbg_busy;
    return 1;
  }
  tmr_frm frm = {};
  tmr_psh(&tmr_chk_, &frm);
  if (CVR(size == 0)) size = 1;
  rscmng_qry q = {adr(ptr), adr(ptr) + size, nullptr};
  if (CVR(__rscmng_map_ini(mng) != 0)) {
    tmr_pop(&tmr_chk_, &frm);
    --dbg_busy;
    return -1;
  }
  map_rng(&mng->map, &q, __rscmng_map_cmp_rng, __rscmng_map_cmp_rng_fnc, &q);
  if (CVR(q.found == nullptr)) q.found = rcd_holding(mng, q.bgn, q.end);
  if (CVR(q.found == nullptr && report != 0)) {
    static int slot = 0;
    rscmng_log_psh(&slot, file, line, ptr, size, fnc, about);
    rscmng_log_out();
    err_no = ERR_FAIL;
  }
  tmr_pop(&tmr_chk_, &frm);
  tmr_prt_aut(nullptr, 10, nullptr);
  mng->flags &= ~1u;
  --dbg_busy;
  return CVR(q.found != nullptr) ? 0 : 1;
}

int rscmng_del(rscmng* mng, const void* ptr, uint32_t lvl, const char* file, int line,
               const char* fnc, const char* about) {
  mng = rscmng_sel(mng);
  if (CVR(dbg_busy != 0)) return 0;
  ++dbg_busy;
  tmr_frm frm = {};
  tmr_psh(&tmr_del_, &frm);
  const rscmng_key key = {adr(ptr), adr(ptr), lvl};
  int res = 1;
  void* node = nullptr;
  if (CVR(__rscmng_map_ini(mng) == 0 && map_get(&mng->map, &key, &node) == 0)) {
    auto* r = static_cast<rscmng_rcd*>(node);
    if (CVR(lvl != 0 && r->pprv != nullptr)) {
      *r->pprv = r->nxt;
      if (CVR(r->nxt != nullptr)) r->nxt->pprv = r->pprv;
    }
    if (CVR(map_del(&mng->map, &key) != 0)) {
      static int slot = 0;
      rscmng_log_psh(&slot, file, line, ptr, 0, fnc, about);
      rscmng_log_out();
      rscmng_log_out();
    } else {
      res = 0;
    }
  }
  --dbg_busy;
  tmr_pop(&tmr_del_, &frm);
  return res;
}

void rscmng_nst_in(rscmng* mng) {
  tmr_frm frm = {};
  tmr_psh(&tmr_in_, &frm);
  mng = rscmng_sel(mng);
  ++mng->lvl;
  rscmng_nst* f = nst_new(mng);
  if (CVR(f != nullptr)) {
    *f = {mng->nst_top, nullptr, mng->lvl};
    mng->nst_top = f;
  }
  tmr_pop(&tmr_in_, &frm);
}

void rscmng_nst_out(rscmng* mng) {
  tmr_frm frm = {};
  tmr_psh(&tmr_out_, &frm);
  mng = rscmng_sel(mng);
  const int32_t lvl = mng->lvl--;
  // A frame of an outer level stays: the one of this level was never made.
  if (CVR(mng->nst_top != nullptr && mng->nst_top->lvl == lvl && __rscmng_map_ini(mng) == 0)) {
    rscmng_nst* f = mng->nst_top;
    mng->nst_top = f->prv;
    rscmng_rcd* r = f->top;
    nst_drop(mng, f);
    // The register's own upkeep is not recorded, as in the other operations on it.
    ++dbg_busy;
    while (CVR(r != nullptr)) {
      rscmng_rcd* nxt = r->nxt;
      const rscmng_key key = r->key;
      map_del(&mng->map, &key);
      r = nxt;
    }
    --dbg_busy;
  }
  tmr_pop(&tmr_out_, &frm);
}

int rscmng_walk(rscmng* mng, int (*fn)(const rscmng_rcd* rcd, void* arg), void* arg) {
  mng = rscmng_sel(mng);
  if (CVR(mng->map.ops == nullptr)) return 0;
  struct ctx_t {
    int (*fn)(const rscmng_rcd*, void*);
    void* arg;
  } ctx = {fn, arg};
  ++dbg_busy;
  const int r = map_rng(&mng->map, nullptr, nullptr, [](void* node, void* c) {
    auto* x = static_cast<ctx_t*>(c);
    return x->fn(static_cast<const rscmng_rcd*>(node), x->arg);
  }, &ctx);
  --dbg_busy;
  return r;
}

void rscmng_cache_set(bool on) {
  cache_on = on;
  while (CVR(rcd_free != nullptr)) {
    rscmng_rcd* r = rcd_free;
    rcd_free = r->nxt;
    heap_fre(r);
  }
  rcd_free_n = 0;
  while (CVR(rscmng_prc.nst_free != nullptr)) {
    rscmng_nst* f = rscmng_prc.nst_free;
    rscmng_prc.nst_free = f->prv;
    heap_fre(f);
  }
}
