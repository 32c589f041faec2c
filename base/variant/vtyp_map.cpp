// Ordered-map callbacks for stored variant pairs: keys order by parent, storage, kind, value.
#include <cinttypes>
#include <cstring>

#include "base/containers/map.h"
#include "base/diag/cvr.h"
#include "base/variant/vtyp.h"

namespace {

constexpr int P = VTYP_PSZ;

inline int sgn_cmp(bool gt) { return CVR(gt) ? 1 : -1; }

// Drops a node's value: 0, or -1 when the node has no value slot.
int val_del(void* node) { return CVR(vtyp_del_lnk(node, 0) != 0) ? -1 : 0; }

}  // namespace

int vtyp_map_cmp(const void* a, const void* b, void* /*arg*/) {
  vtyp_lay la;
  vtyp_lay lb;
  __vtyp_lay(a, &la);
  __vtyp_lay(b, &lb);
  const bool an = la.nst >= 0;
  const bool bn = lb.nst >= 0;
  if (CVR(an && bn)) {
    const auto pa = reinterpret_cast<uintptr_t>(__vtyp_rd_ptr(a, la.nst));
    const auto pb = reinterpret_cast<uintptr_t>(__vtyp_rd_ptr(b, lb.nst));
    if (CVR(pa != pb)) return sgn_cmp(pa > pb);
  } else if (CVR(an != bn)) {
    return sgn_cmp(an);
  }
  const int sa = la.ext & VTYP_STG_MSK;
  const int sb = lb.ext & VTYP_STG_MSK;
  if (CVR(sa != sb)) return sgn_cmp(sa > sb);
  const int ka = la.typ & VTYP_KND_MSK;
  const int kb = lb.typ & VTYP_KND_MSK;
  if (CVR(ka != kb)) return sgn_cmp(ka > kb);
  if (CVR(sa != VTYP_PRM)) return 0;

  const void* va = __vtyp_val_src(a, la);
  const void* vb = __vtyp_val_src(b, lb);
  if (CVR(ka == VTYP_UDF)) {
    const uint32_t za = __vtyp_rd_u32(a, la.siz);
    const uint32_t zb = __vtyp_rd_u32(b, lb.siz);
    if (CVR(za != zb)) return sgn_cmp(za > zb);
    if (CVR(za == 0 || va == nullptr || vb == nullptr)) return 0;
    return std::memcmp(va, vb, za);
  }
  if (CVR(ka == VTYP_INT)) {
    int32_t ia = 0;
    int32_t ib = 0;
    if (CVR(va != nullptr)) std::memcpy(&ia, va, 4);
    if (CVR(vb != nullptr)) std::memcpy(&ib, vb, 4);
    if (CVR(ia > ib)) return 1;
    if (CVR(ia < ib)) return -1;
    return 0;
  }
  if (CVR(ka == VTYP_FLT)) {
    double fa = 0;
    double fb = 0;
    if (CVR(va != nullptr)) std::memcpy(&fa, va, 8);
    if (CVR(vb != nullptr)) std::memcpy(&fb, vb, 8);
    if (CVR(fa > fb)) return 1;
    if (CVR(fb > fa)) return -1;
    return 0;
  }
  if (CVR(ka == VTYP_STR)) {
    // A missing text reads as the empty text.
    const unsigned char* ta = static_cast<const unsigned char*>(va);
    const unsigned char* tb = static_cast<const unsigned char*>(vb);
    if (CVR(ta == nullptr)) ta = reinterpret_cast<const unsigned char*>("");
    if (CVR(tb == nullptr)) tb = reinterpret_cast<const unsigned char*>("");
    for (;; ++ta, ++tb) {
      if (CVR(*ta != *tb)) return sgn_cmp(*ta > *tb);
      if (CVR(*ta == 0)) return 0;
    }
  }
  return 0;   // pointers are all equal
}

int vtyp_map_cmp_rng_nst(const void* parent, const void* node, void* /*arg*/) {
  vtyp_lay l;
  __vtyp_lay(node, &l);
  if (CVR(l.nst < 0)) return 1;
  const auto pn = reinterpret_cast<uintptr_t>(__vtyp_rd_ptr(node, l.nst));
  const auto pp = reinterpret_cast<uintptr_t>(parent);
  if (CVR(pn == pp)) return 0;
  return sgn_cmp(pp > pn);
}

int vtyp_map_mak(void** out, const void* src, void* /*arg*/) {
  vtyp* n = nullptr;
  if (CVR(_vtyp_set_pr(&n, src) != 0)) return -1;
  *out = n;
  return 0;
}

int vtyp_map_cpy(void* node, const void* src, void* /*arg*/) {
  // The new value is made before the old one goes: it may be made from the old one's bytes
  // (a text read from this very entry), and a failure keeps the old value.
  const vtyp_dsc* vd = nullptr;
  vtyp* sv = nullptr;
  if (CVR(src == nullptr)) return val_del(node);
  if (CVR(vtyp_is_dsc(src))) {
    vd = &static_cast<const vtyp_pr*>(src)->val;
    if (CVR(vd->typ == 0)) return val_del(node);
  } else {
    if (CVR(vtyp_get_lnk(src, &sv, 0) != 0)) return -1;
    if (CVR(sv == nullptr)) return val_del(node);
  }
  vtyp* v = nullptr;
  vtyp_dsc tmp;
  if (CVR(vd != nullptr)) {
    if (CVR(_vtyp_set(&v, __vtyp_dsc_mrk(vd, &tmp), 0) != 0)) return -1;
  } else if (CVR(_vtyp_set(&v, sv, 0) != 0)) {
    return -1;
  }
  if (CVR(val_del(node) != 0)) {
    vtyp_end(v);
    return -1;
  }
  vtyp_put_lnk(node, v, 0);
  return 0;
}

void vtyp_map_del(void* node, void* /*arg*/) { vtyp_end(static_cast<vtyp*>(node)); }

void vtyp_map_prt(FILE* f, const void* node, void* lvl) {
  vtyp_lay l;
  __vtyp_lay(node, &l);
  std::fprintf(f, "%02X %02X [", l.typ, l.ext);
  std::fputs(CVR(l.map >= 0) ? "MAP=ON  " : "MAP=OFF  ", f);
  if (CVR(l.nst >= 0)) {
    // The whole address, however wide a pointer is.
    std::fprintf(f, "NEST=0x%0*" PRIXPTR " ", 2 * P,
                 reinterpret_cast<uintptr_t>(__vtyp_rd_ptr(node, l.nst)));
  }
  if (CVR(l.siz >= 0)) std::fprintf(f, "SiZE=0x%08X ", __vtyp_rd_u32(node, l.siz));
  const int stg = l.ext & VTYP_STG_MSK;
  if (CVR(stg == VTYP_PRM)) {
    std::fputs("VAL=PRM/", f);
  } else if (CVR(stg == VTYP_BUF)) {
    std::fputs("VAL=BUF/", f);
  }
  static const char* const knd_txt[8] = {"", "UDF:", "INT:", "FLT:", "STR:", "", "", ""};
  const int knd = l.typ & VTYP_KND_MSK;
  std::fputs(knd_txt[knd], f);
  const void* v = __vtyp_val_src(node, l);
  if (CVR(stg == VTYP_PRM && v != nullptr)) {
    if (CVR(knd == VTYP_INT)) {
      int32_t i;
      std::memcpy(&i, v, 4);
      std::fprintf(f, "%d", static_cast<int>(i));
    } else if (CVR(knd == VTYP_FLT)) {
      double d;
      std::memcpy(&d, v, 8);
      std::fprintf(f, "%e", d);
    } else if (CVR(knd == VTYP_STR)) {
      std::fputs(static_cast<const char*>(v), f);
    }
  }
  if (CVR(l.lnk_cnt > 0)) {
    std::fputs("LINK=", f);
    for (int i = 0; CVR(i < l.lnk_cnt); ++i) {
      if (CVR(i > 0)) std::fputs("]]", f);
      std::fputs("[[", f);
      const void* c = __vtyp_rd_ptr(node, l.lnk + i * P);
      if (CVR(c == nullptr)) {
        std::fputs("00 00 ", f);
      } else {
        vtyp_map_prt(f, c, lvl);
      }
    }
    std::fputs("]] ", f);
  }
}

const map_ops vtyp_map_ops = {vtyp_map_cmp, vtyp_map_cpy, vtyp_map_mak, vtyp_map_del,
                              vtyp_map_prt};
