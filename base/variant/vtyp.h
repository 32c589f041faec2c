// Variant node: one typed value plus optional structural fields, in a packed heap form
// (fields laid out back to back as the header bytes say) and a fixed-layout descriptor
// form that callers fill in to say what node they want.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Kind byte.
inline constexpr uint8_t VTYP_KND_MSK = 0x07;
inline constexpr uint8_t VTYP_UDF = 1;   // raw bytes, siz of them
inline constexpr uint8_t VTYP_INT = 2;   // int32_t
inline constexpr uint8_t VTYP_FLT = 3;   // double
inline constexpr uint8_t VTYP_STR = 4;   // NUL-terminated text; siz = reserved bytes
inline constexpr uint8_t VTYP_PTR = 5;   // a pointer, held as such
inline constexpr uint8_t VTYP_EXT = 0x08;
inline constexpr uint8_t VTYP_LNK = 0x10;
inline constexpr uint8_t VTYP_NST = 0x20;
inline constexpr uint8_t VTYP_MAP = 0x40;
inline constexpr uint8_t VTYP_MAP_FLG = 0x80;   // the ordered map's own bit; never tested here

// Ext byte.
inline constexpr uint8_t VTYP_STG_MSK = 0x07;
inline constexpr uint8_t VTYP_PRM = 0;   // value held in the node
inline constexpr uint8_t VTYP_BUF = 1;   // growable-buffer variable held in the node
inline constexpr uint8_t VTYP_EXT2 = 0x08;
inline constexpr uint8_t VTYP_ODR = 0x10;
inline constexpr uint8_t VTYP_EQU = 0x20;
inline constexpr uint8_t VTYP_DSC = 0x80;

// Ext2 byte.
inline constexpr uint8_t VTYP_LNK2 = 0x80;

inline constexpr int VTYP_PSZ = static_cast<int>(sizeof(void*));
// A VTYP_BUF value area: four header words then the data pointer; the handle is the latter.
inline constexpr int VTYP_BUF_SIZ = 5 * VTYP_PSZ;
inline constexpr int VTYP_BUF_HDL = 4 * VTYP_PSZ;

// A packed node. Only ever handled through pointers; its bytes are read with memcpy.
struct vtyp;

// Buffer initialiser carried in a VTYP_BUF descriptor's val: (handle, element size) -> 0 ok.
using vtyp_buf_ini_fn = int (*)(void* buf, uint32_t siz);

// Descriptor: a place for every field; a field counts only when its presence bit is set.
struct vtyp_dsc {
  uint8_t typ;   // kind byte
  uint8_t ext;   // ext byte; VTYP_DSC marks the record as a descriptor
  uint8_t ext2;
  vtyp* lnk[4];
  uint32_t siz;
  vtyp* nst;
  vtyp* nxt;
  vtyp* prv;
  vtyp* cld_top;
  vtyp* equ;
  const void* val;   // the value's bytes; VTYP_PTR: the value itself; VTYP_BUF: the initialiser
};

// A key descriptor followed by its value descriptor.
struct vtyp_pr {
  vtyp_dsc key;
  vtyp_dsc val;
};

// Where each field of a record lies; -1 = absent. For a descriptor, val is the offset of
// the pointer to the value, not of the value.
struct vtyp_lay {
  uint8_t typ, ext, ext2;
  bool dsc;
  int lnk_cnt;
  int16_t map, lnk, nst, nxt, prv, cld_top, equ, siz, val;
};

// The layout of a packed node or descriptor, from its header bytes.
void __vtyp_lay(const void* rec, vtyp_lay* lay);
// The address of the value of a record whose layout is lay (the descriptor's val, a packed
// node's value area; for a packed VTYP_PTR node, the pointer it holds).
const void* __vtyp_val_src(const void* rec, const vtyp_lay& lay);
// Whether a record is a descriptor (VTYP_EXT with VTYP_DSC).
bool vtyp_is_dsc(const void* rec);

// dsc itself when marked as a descriptor, else a marked copy of it in tmp.
const vtyp_dsc* __vtyp_dsc_mrk(const vtyp_dsc* dsc, vtyp_dsc* tmp);

// Field access at a byte offset, unaligned.
inline void* __vtyp_rd_ptr(const void* rec, int ofs) {
  void* p;
  __builtin_memcpy(&p, static_cast<const unsigned char*>(rec) + ofs, sizeof p);
  return p;
}
inline void __vtyp_wr_ptr(void* rec, int ofs, const void* p) {
  __builtin_memcpy(static_cast<unsigned char*>(rec) + ofs, &p, sizeof p);
}
inline uint32_t __vtyp_rd_u32(const void* rec, int ofs) {
  uint32_t v;
  __builtin_memcpy(&v, static_cast<const unsigned char*>(rec) + ofs, sizeof v);
  return v;
}

int _vtyp_set(void* out, const void* src, int dsc);
int vtyp_set(vtyp** out, const vtyp_dsc* dsc);
int _vtyp_set_pr(vtyp** out, const void* src);
int vtyp_set_pr(vtyp** out, const vtyp_pr* pr);
void vtyp_end(vtyp* node);
int vtyp_ref_val(const void* node, void** out);

// Links, nesting, order, equal-key chain. Nodes may be packed or descriptors.
int vtyp_put_lnk(void* node, vtyp* lnk, int i);
int vtyp_get_lnk(const void* node, vtyp** out, int i);
int vtyp_del_lnk(void* node, int i);
int vtyp_ref_lnk_val(const void* node, int i, void** out);
int vtyp_get_nst(const void* node, vtyp** out);
int vtyp_get_odr(const void* node, vtyp** out_nxt, vtyp** out_prv, vtyp** out_cld_top);
int vtyp_put_odr_cld_top(void* node, vtyp* cld);
int vtyp_ins_odr_bck(void* first, void* node);
int vtyp_cut_odr(void* node);
int vtyp_get_equ(const void* node, vtyp** out);
int vtyp_put_equ(void* node, vtyp* nxt);

// Ordered-map callbacks for stored pairs (key node, value in its link slot 0).
struct map_ops;
int vtyp_map_cmp(const void* a, const void* b, void* arg);
int vtyp_map_cmp_rng_nst(const void* parent, const void* node, void* arg);
int vtyp_map_mak(void** out, const void* src, void* arg);
int vtyp_map_cpy(void* node, const void* src, void* arg);
void vtyp_map_del(void* node, void* arg);
void vtyp_map_prt(FILE* stream, const void* node, void* arg);
extern const map_ops vtyp_map_ops;
