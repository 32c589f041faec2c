// Keyed store of variant pairs: text keys, qualified in a nested vmap by their parent entry,
// each with a text or integer value hanging from the key's link slot 0.
#pragma once
#include <cstdint>

#include "base/containers/map.h"
#include "base/variant/vtyp.h"

// vmap flags.
inline constexpr uint32_t VMAP_NST = 1;   // keys carry their parent entry
inline constexpr uint32_t VMAP_ODR = 2;   // insertion order kept
inline constexpr uint32_t VMAP_EQU = 4;   // equal keys allowed
// Put flag MAP_PUT_RPL (replace the node object) is refused with -1 for an existing key of a
// vmap with any of these flags: the old node carries children (NST), ring neighbours (ODR) or
// the chain of its equal keys (EQU), which would be lost or left pointing at freed memory.

struct vmap {
  ::map map;
  vtyp* first;   // first top-level entry in insertion order
  uint32_t flg;
};

// Iteration request of vmap_rng_pop_set.
inline constexpr uint32_t VMAP_RNG_CTL = 1;   // caller-controlled descent
inline constexpr uint32_t VMAP_RNG_ODR = 2;   // insertion order
// Iterator flags.
inline constexpr uint32_t VMAP_ITR_ODR = 1;
inline constexpr uint32_t VMAP_ITR_CTL = 2;

struct vmap_itr_frm {
  map_itr itr;        // map mode: the range iteration of this level
  vtyp* nxt;          // order mode: the next entry of this level
  vmap_itr_frm* prv;  // the frame below
};

// Caller memory, zero-filled before vmap_rng_pop_set.
struct vmap_itr {
  vmap* vm;
  vmap_itr_frm* stk;
  uint32_t flg;
};

int vmap_set(vmap* vm, uint32_t flg);
void vmap_end(vmap* vm);
int _vmap_put(vmap* vm, const vtyp_pr* pr, vtyp** out, int flg);
int _vmap_put_no_val(vmap* vm, const vtyp_dsc* key, vtyp** out, int flg);
int _vmap_get(vmap* vm, const vtyp_dsc* key, vtyp** out);
int vmap_get_odr(vmap* vm, const vtyp* ent, vtyp** out);
int _vmap_put_str_str(vmap* vm, vtyp* prn, const char* key, const char* val, vtyp** out, int flg);
int vmap_put_str_str(vmap* vm, vtyp* prn, const char* key, const char* val, int flg);
int _vmap_put_str_int(vmap* vm, vtyp* prn, const char* key, int32_t val, vtyp** out, int flg);
int vmap_put_str_int(vmap* vm, vtyp* prn, const char* key, int32_t val, int flg);
int _vmap_put_str_nul(vmap* vm, vtyp* prn, const char* key, vtyp** out, int flg);
int vmap_ref_str(vmap* vm, vtyp* prn, const char* key, vtyp** out);
int vmap_get_str_str(vmap* vm, vtyp* prn, const char* key, const char** out);
int vmap_get_str_int(vmap* vm, vtyp* prn, const char* key, int32_t* out);
int vmap_rng_pop_set(vmap* vm, vtyp* prn, uint32_t req, vmap_itr* itr);
int vmap_rng_pop(vmap_itr* itr, vtyp** out, int descend);
int vmap_rng_pop_end(vmap_itr* itr);
// Removes an entry and every entry under it (in a nested vmap its children, theirs, and so on).
// Only for vmaps that keep no insertion order and no equal keys: -1 for the others (their rings
// and chains would have to be mended).
int vmap_del(vmap* vm, vtyp* ent);
