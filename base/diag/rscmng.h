// Resource manager: register of live heap blocks and files, and nesting scopes whose
// short-lived registrations are dropped when the scope closes.
#pragma once
#include <cstdint>
#include <cstdio>

#include "base/containers/map.h"

struct rscmng_key {
  uintptr_t bgn;
  uintptr_t end;   // one past the block; not part of the order
  uint32_t lvl;
};

struct rscmng_rcd {
  const char* about;
  const char* file;
  int32_t line;
  const char* fnc;
  void* ptr;
  uint32_t size;
  uint32_t lvl;
  uint64_t prc_cnt;
  rscmng_key key;
  uint32_t cnt;
  rscmng_rcd* nxt;     // next in the scope frame's list
  rscmng_rcd** pprv;   // the pointer that points here in the scope list; NULL unscoped
  rscmng_rcd* lnk_l;
  rscmng_rcd* lnk_r;
  uint8_t clr;
};

struct rscmng_nst {
  rscmng_nst* prv;
  rscmng_rcd* top;
  int32_t lvl;   // the level the frame was opened at: a close takes only its own frame
};

struct rscmng {
  int32_t lvl;
  ::map map;
  rscmng_nst* nst_top;
  uint32_t flags;
  rscmng_nst* nst_free;   // closed frames kept for the next scopes, linked through prv
};

extern rscmng rscmng_prc;   // the process instance; NULL selects it everywhere

void* rscmng_psh(rscmng* mng, void* ptr, uint32_t size, uint32_t lvl, const char* file, int line,
                 const char* fnc, const char* about);
int rscmng_del(rscmng* mng, const void* ptr, uint32_t lvl, const char* file, int line,
               const char* fnc, const char* about);
int rscmng_chk(rscmng* mng, const void* ptr, uint32_t size, int report, const char* file, int line,
               const char* fnc, const char* about);
void rscmng_nst_in(rscmng* mng);
void rscmng_nst_out(rscmng* mng);

int __rscmng_map_ini(rscmng* mng);
int __rscmng_map_cmp(const void* a, const void* b, void* arg);
int __rscmng_map_cmp_rng(const void* q, const void* k, void* arg);
int __rscmng_map_cmp_rng_fnc(void* node, void* q);
int __rscmng_map_mak(void** out, const void* image, void* arg);
void __rscmng_map_del(void* node, void* arg);
void __rscmng_map_prt(FILE* stream, const void* node, void* arg);
void __rscmng_log_prt(FILE* stream, const void* payload);

// Reader: every record, in register order (high to low addresses); stops when fn
// returns non-zero. Nothing is recorded or registered meanwhile.
int rscmng_walk(rscmng* mng, int (*fn)(const rscmng_rcd* rcd, void* arg), void* arg);

// Tests only: whether closed scope frames and removed register records are kept for reuse
// instead of going back to the heap (on at start). Off, every frame and record is a heap call,
// and what was kept is given back.
void rscmng_cache_set(bool on);

// The level that scoped registrations of the current scope carry.
inline uint32_t rscmng_lvl() { return static_cast<uint32_t>(rscmng_prc.lvl); }

// Opens a scope for the life of the object: closed on every path out.
struct rscmng_scp {
  rscmng_scp() { rscmng_nst_in(nullptr); }
  ~rscmng_scp() { rscmng_nst_out(nullptr); }
  rscmng_scp(const rscmng_scp&) = delete;
  rscmng_scp& operator=(const rscmng_scp&) = delete;
};
