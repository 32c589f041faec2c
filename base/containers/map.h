// Intrusive ordered map (red/black colouring, top-down lazy repair). Nodes are the
// caller's records; links, key and colour byte sit at byte offsets that may be unaligned.
#pragma once
#include <cstdint>
#include <cstdio>

// > 0 sends the search right, < 0 left, 0 is a match.
using map_cmp_fn = int (*)(const void* key, const void* node_key, void* arg);

struct map_ops {
  map_cmp_fn cmp;
  int (*cpy)(void* node, const void* data, void* arg);   // update in place; 0 = success
  int (*mak)(void** out, const void* data, void* arg);   // new node into *out; 0 = success
  void (*del)(void* node, void* arg);
  void (*prt)(FILE* stream, const void* node, void* arg);
};

struct map {
  void* root;
  const map_ops* ops;
  void* arg;
  int16_t lnk_l, lnk_r;   // byte offsets of the left and right link
  int16_t key_ofs;        // byte offset of the key (in nodes and in put data)
  int16_t clr_ofs;        // byte offset of the colour byte
  uint16_t red;           // red bit within the colour byte
  uint32_t cmp_max;       // most comparisons any single search has made
  uint32_t cmp_cnt;       // comparisons of the latest search
  int32_t rtt_lck;        // searches repair the tree only while this is 0
};

// Put modes.
inline constexpr int MAP_PUT_UPD = 1;    // update only: an absent key inserts nothing
inline constexpr int MAP_PUT_KEEP = 2;   // keep an existing node, hand it back
inline constexpr int MAP_PUT_RPL = 4;    // replace the node object by a new one

// Search position flags.
inline constexpr uint32_t MAP_CUR_FND = 1;   // found
inline constexpr uint32_t MAP_CUR_RGT = 2;   // the last step went right
inline constexpr uint32_t MAP_CUR_RSM = 4;   // resume from prv_lnk / lnk
inline constexpr uint32_t MAP_CUR_BLK = 8;   // deletion: black deficit still to repair

struct map_cur {
  unsigned char* prv_lnk;   // link slot visited before lnk
  unsigned char* lnk;       // slot where the key is or would be inserted
  map_cmp_fn cmp;           // compare override, or NULL for ops->cmp
  uint32_t flg;
};

int map_set(map* m, const map_ops* ops, void* arg, int16_t lnk_l, int16_t lnk_r,
            int16_t key_ofs, int16_t clr_ofs, uint16_t red);
int _map_get(map* m, const void* key, map_cur* cur);
int map_get(map* m, const void* key, void** out);
int map_put(map* m, const void* data, void** out, int mode);
int _map_del(map* m, map_cur* cur, const void* key);
int map_del(map* m, const void* key);
int map_rng(map* m, const void* key, map_cmp_fn cmp_rng, int (*visit)(void* node, void* user),
            void* user);
int map_rtt_lck(map* m, int on);
void map_end(map* m);
// Internal steps: the in-order range walk from a link slot, and the destruction of a subtree.
int _map_rng_fnc(map* m, unsigned char* slot, const void* key, map_cmp_fn cmp_rng,
                 int (*visit)(void* node, void* user), void* user);
void __map_end(map* m, void* node);

// Range iterator: pulls the matching nodes one at a time, in tree order.
struct map_itr_frm {
  map_itr_frm* prv;
  void* nod;
};
struct map_itr {
  ::map* map;
  const void* key;
  map_cmp_fn cmp;
  void* arg;
  map_itr_frm* stk;
};

int _map_rng_pop_set(map* m, const void* key, map_cmp_fn cmp_rng, void* arg, map_itr* itr, int set);
int map_rng_pop_ini(map* m, const void* key, map_cmp_fn cmp_rng, void* arg, map_itr* itr);
int map_rng_pop(map_itr* itr, void** out);
int map_rng_pop_end(map_itr* itr);
int __map_rng_pop_psh_nod(map_itr* itr, void* node, map_itr_frm** stk, int dir);

// Byte-record maps: arg packs (record size << 16) | key length; a node is the record
// followed by room for two links and the colour byte.
extern const map_ops st_map;
inline constexpr int ST_MAP_XTR = 2 * static_cast<int>(sizeof(void*)) + 4;
int st_map_cmp(const void* key, const void* node_key, void* arg);
int st_map_cpy(void* node, const void* data, void* arg);
int st_map_mak(void** out, const void* data, void* arg);
void st_map_del(void* node, void* arg);
void st_map_prt(FILE* stream, const void* node, void* arg);
