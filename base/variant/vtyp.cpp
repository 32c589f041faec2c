#include "base/variant/vtyp.h"

#include <cstdlib>
#include <cstring>

#include "base/containers/buf.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/rscmng.h"

namespace {

constexpr int P = VTYP_PSZ;

inline const unsigned char* bytes(const void* p) { return static_cast<const unsigned char*>(p); }
inline unsigned char* bytes(void* p) { return static_cast<unsigned char*>(p); }

inline int16_t dsc_ofs(size_t o) { return static_cast<int16_t>(o); }

}  // namespace

bool vtyp_is_dsc(const void* rec) {
  const unsigned char* b = bytes(rec);
  return CVR((b[0] & VTYP_EXT) && (b[1] & VTYP_DSC));
}

void __vtyp_lay(const void* rec, vtyp_lay* lay) {
  const unsigned char* b = bytes(rec);
  *lay = vtyp_lay{};
  lay->typ = b[0];
  lay->map = lay->lnk = lay->nst = lay->nxt = lay->prv = lay->cld_top = lay->equ = lay->siz =
      lay->val = -1;
  int p = 1;   // packed position, just after the kind byte
  if (CVR(lay->typ & VTYP_EXT)) {
    lay->ext = b[1];
    ++p;
    if (CVR(lay->ext & VTYP_EXT2)) {
      lay->ext2 = b[2];
      ++p;
    }
  }
  lay->dsc = CVR(lay->ext & VTYP_DSC);   // ext is 0 unless present
  if (CVR(lay->typ & VTYP_LNK)) lay->lnk_cnt = 1 + static_cast<int>(CVR(lay->ext2 & VTYP_LNK2));
  const int knd = lay->typ & VTYP_KND_MSK;

  if (CVR(lay->dsc)) {
    // Fixed places; a descriptor has no map words of its own.
    if (CVR(lay->lnk_cnt > 0)) lay->lnk = dsc_ofs(offsetof(vtyp_dsc, lnk));
    if (CVR(lay->typ & VTYP_NST)) lay->nst = dsc_ofs(offsetof(vtyp_dsc, nst));
    if (CVR(lay->ext & VTYP_ODR)) {
      lay->nxt = dsc_ofs(offsetof(vtyp_dsc, nxt));
      lay->prv = dsc_ofs(offsetof(vtyp_dsc, prv));
      lay->cld_top = dsc_ofs(offsetof(vtyp_dsc, cld_top));
    }
    if (CVR(lay->ext & VTYP_EQU)) lay->equ = dsc_ofs(offsetof(vtyp_dsc, equ));
    if (CVR(knd == VTYP_UDF || knd == VTYP_STR)) lay->siz = dsc_ofs(offsetof(vtyp_dsc, siz));
    lay->val = dsc_ofs(offsetof(vtyp_dsc, val));
    return;
  }

  if (CVR(lay->typ & VTYP_MAP)) {
    lay->map = static_cast<int16_t>(p);
    p += 2 * P;
  }
  if (CVR(lay->lnk_cnt > 0)) {
    lay->lnk = static_cast<int16_t>(p);
    p += P * lay->lnk_cnt;
  }
  if (CVR(lay->typ & VTYP_NST)) {
    lay->nst = static_cast<int16_t>(p);
    p += P;
  }
  if (CVR(lay->ext & VTYP_ODR)) {
    lay->nxt = static_cast<int16_t>(p);
    lay->prv = static_cast<int16_t>(p + P);
    lay->cld_top = static_cast<int16_t>(p + 2 * P);
    p += 3 * P;
  }
  if (CVR(lay->ext & VTYP_EQU)) {
    lay->equ = static_cast<int16_t>(p);
    p += P;
  }
  if (CVR(knd == VTYP_UDF || knd == VTYP_STR)) {
    lay->siz = static_cast<int16_t>(p);
    p += 4;
  }
  lay->val = static_cast<int16_t>(p);
}

const void* __vtyp_val_src(const void* rec, const vtyp_lay& lay) {
  if (CVR(lay.dsc)) return __vtyp_rd_ptr(rec, lay.val);
  // A packed pointer node's value is the pointer it holds, not the place holding it.
  if (CVR((lay.typ & VTYP_KND_MSK) == VTYP_PTR && (lay.ext & VTYP_STG_MSK) == VTYP_PRM))
    return __vtyp_rd_ptr(rec, lay.val);
  return bytes(rec) + lay.val;
}

int _vtyp_set(void* out, const void* src, int dsc) {
  vtyp_lay sl;
  __vtyp_lay(src, &sl);
  uint8_t k = sl.typ;
  uint8_t e = sl.ext;
  const uint8_t x = sl.ext2;
  const int knd = k & VTYP_KND_MSK;
  if (CVR(knd < VTYP_UDF || knd > VTYP_PTR)) return 1;

  // An ext byte that would carry nothing is dropped.
  if (CVR(e == 0 || e == VTYP_DSC)) {
    k = static_cast<uint8_t>(k & ~VTYP_EXT);
    e = 0;
  }
  if (CVR(dsc != 0)) {
    k |= VTYP_EXT;
    e |= VTYP_DSC;
  } else {
    e = static_cast<uint8_t>(e & ~VTYP_DSC);
  }

  // The new record's layout, from a scratch header.
  unsigned char hdr[3] = {k, e, x};
  vtyp_lay nl;
  __vtyp_lay(hdr, &nl);
  const void* sval = __vtyp_val_src(src, sl);
  uint32_t ssiz = 0;
  if (CVR(sl.siz >= 0)) ssiz = __vtyp_rd_u32(src, sl.siz);

  const int stg = e & VTYP_STG_MSK;
  uint64_t vsiz = 0;      // value bytes copied or zeroed
  uint64_t area = 0;      // value area bytes
  uint32_t siz_fld = 0;   // what the siz field will hold
  if (CVR(stg == VTYP_PRM)) {
    if (CVR(knd == VTYP_UDF)) {
      vsiz = ssiz;
    } else if (CVR(knd == VTYP_INT)) {
      vsiz = 4;
    } else if (CVR(knd == VTYP_FLT)) {
      vsiz = 8;
    } else if (CVR(knd == VTYP_PTR)) {
      vsiz = P;
    } else {
      // A text reserves at least its own length, and siz as a minimum capacity; with no
      // text at all it still holds the empty text.
      vsiz = 1;
      if (CVR(sval != nullptr)) vsiz = std::strlen(static_cast<const char*>(sval)) + 1;
      if (CVR(ssiz > vsiz)) vsiz = ssiz;
    }
    area = vsiz;
    siz_fld = static_cast<uint32_t>(vsiz);
  } else if (CVR(stg == VTYP_BUF)) {
    if (CVR(!sl.dsc || sval == nullptr)) return -1;
    area = VTYP_BUF_SIZ;
    siz_fld = ssiz;
  } else {
    return -1;
  }
  if (CVR(vsiz > UINT32_MAX)) return -1;   // a text longer than siz can describe

  if (CVR(dsc != 0)) {
    // Built aside first, so that out may be src itself.
    vtyp_dsc d{};
    d.typ = k;
    d.ext = e;
    d.ext2 = x;
    for (int i = 0; CVR(i < nl.lnk_cnt && i < sl.lnk_cnt); ++i)
      d.lnk[i] = static_cast<vtyp*>(__vtyp_rd_ptr(src, sl.lnk + i * P));
    if (CVR(nl.nst >= 0 && sl.nst >= 0)) d.nst = static_cast<vtyp*>(__vtyp_rd_ptr(src, sl.nst));
    if (CVR(nl.nxt >= 0 && sl.nxt >= 0)) {
      d.nxt = static_cast<vtyp*>(__vtyp_rd_ptr(src, sl.nxt));
      d.prv = static_cast<vtyp*>(__vtyp_rd_ptr(src, sl.prv));
      d.cld_top = static_cast<vtyp*>(__vtyp_rd_ptr(src, sl.cld_top));
    }
    if (CVR(nl.equ >= 0 && sl.equ >= 0)) d.equ = static_cast<vtyp*>(__vtyp_rd_ptr(src, sl.equ));
    d.siz = siz_fld;
    d.val = sval;
    std::memcpy(out, &d, sizeof d);
    return 0;
  }

  const uint64_t total = static_cast<uint64_t>(nl.val) + area;
  if (CVR(total > UINT32_MAX)) return -1;
  unsigned char* n = static_cast<unsigned char*>(heap_alc(static_cast<size_t>(total)));
  n = static_cast<unsigned char*>(rscmng_psh(nullptr, n, static_cast<uint32_t>(total), 0,
                                             __FILE__, __LINE__, "_vtyp_set", "malloc"));
  if (CVR(n == nullptr)) return -1;

  n[0] = k;
  if (CVR(k & VTYP_EXT)) n[1] = e;
  if (CVR((k & VTYP_EXT) && (e & VTYP_EXT2))) n[2] = x;
  if (CVR(nl.map >= 0)) std::memset(n + nl.map, 0, 2 * P);

  // A copy of a stored node owns nothing and belongs to no list yet: taking over the
  // source's owned links or its ring neighbours would free them twice or break the ring.
  const bool fresh = !sl.dsc;
  for (int i = 0; CVR(i < nl.lnk_cnt); ++i) {
    void* l = nullptr;
    if (CVR(!fresh && i < sl.lnk_cnt)) l = __vtyp_rd_ptr(src, sl.lnk + i * P);
    __vtyp_wr_ptr(n, nl.lnk + i * P, l);
  }
  if (CVR(nl.nst >= 0)) {
    void* p = nullptr;
    if (CVR(sl.nst >= 0)) p = __vtyp_rd_ptr(src, sl.nst);
    __vtyp_wr_ptr(n, nl.nst, p);
  }
  if (CVR(nl.nxt >= 0)) {
    void* sn = nullptr;
    void* sp = nullptr;
    void* sc = nullptr;
    if (CVR(sl.nxt >= 0)) {
      sn = __vtyp_rd_ptr(src, sl.nxt);
      sp = __vtyp_rd_ptr(src, sl.prv);
      sc = __vtyp_rd_ptr(src, sl.cld_top);
    }
    if (CVR(fresh || (sn == nullptr && sp == nullptr))) {
      sn = n;
      sp = n;
    }
    __vtyp_wr_ptr(n, nl.nxt, sn);
    __vtyp_wr_ptr(n, nl.prv, sp);
    __vtyp_wr_ptr(n, nl.cld_top, sc);
  }
  if (CVR(nl.equ >= 0)) {
    void* q = nullptr;
    if (CVR(!fresh && sl.equ >= 0)) q = __vtyp_rd_ptr(src, sl.equ);
    __vtyp_wr_ptr(n, nl.equ, q);
  }
  if (CVR(nl.siz >= 0)) std::memcpy(n + nl.siz, &siz_fld, 4);

  unsigned char* v = n + nl.val;
  if (CVR(stg == VTYP_PRM)) {
    if (CVR(sval == nullptr)) {
      std::memset(v, 0, static_cast<size_t>(vsiz));
    } else if (CVR(knd == VTYP_STR)) {
      const size_t len = std::strlen(static_cast<const char*>(sval)) + 1;
      std::memcpy(v, sval, len);
      std::memset(v + len, 0, static_cast<size_t>(vsiz) - len);
    } else if (CVR(knd == VTYP_PTR)) {
      __vtyp_wr_ptr(v, 0, sval);
    } else {
      std::memcpy(v, sval, static_cast<size_t>(vsiz));
    }
  } else {
    std::memset(v, 0, VTYP_BUF_SIZ);
    vtyp_buf_ini_fn ini;
    std::memcpy(&ini, &sval, sizeof ini);
    int r;
    {
      // Node operations leave the status word alone; the initialiser is a library call.
      const int32_t st = err_no;
      rscmng_scp scp;
      r = ini(v + VTYP_BUF_HDL, siz_fld);
      err_no = st;
    }
    if (CVR(r != 0)) {
      rscmng_del(nullptr, n, 0, __FILE__, __LINE__, "_vtyp_set", "free");
      heap_fre(n);
      return -1;
    }
  }
  std::memcpy(out, &n, sizeof n);
  return 0;
}

const vtyp_dsc* __vtyp_dsc_mrk(const vtyp_dsc* dsc, vtyp_dsc* tmp) {
  if (CVR(vtyp_is_dsc(dsc))) return dsc;
  *tmp = *dsc;
  if (CVR(!(tmp->typ & VTYP_EXT))) tmp->ext = 0;
  tmp->typ |= VTYP_EXT;
  tmp->ext |= VTYP_DSC;
  return tmp;
}

int vtyp_set(vtyp** out, const vtyp_dsc* dsc) {
  if (CVR(dsc == nullptr)) return -1;
  const int knd = dsc->typ & VTYP_KND_MSK;
  if (CVR(knd < VTYP_UDF || knd > VTYP_PTR)) return 1;
  vtyp_dsc cpy;
  return CVR(_vtyp_set(out, __vtyp_dsc_mrk(dsc, &cpy), 0) != 0) ? -1 : 0;
}

int _vtyp_set_pr(vtyp** out, const void* src) {
  if (CVR(src == nullptr)) return -1;
  vtyp* key = nullptr;
  if (CVR(!vtyp_is_dsc(src))) {
    // A stored pair: copy the value node, then the key, then hang one on the other.
    vtyp* v = nullptr;
    if (CVR(vtyp_get_lnk(src, &v, 0) != 0)) return -1;
    vtyp* vc = nullptr;
    if (CVR(v != nullptr && _vtyp_set(&vc, v, 0) != 0)) return -1;
    if (CVR(_vtyp_set(&key, src, 0) != 0)) {
      vtyp_end(vc);
      return -1;
    }
    if (CVR(vtyp_put_lnk(key, vc, 0) != 0)) {
      vtyp_end(vc);
      vtyp_end(key);
      return -1;
    }
    *out = key;
    return 0;
  }
  const vtyp_pr* pr = static_cast<const vtyp_pr*>(src);
  vtyp_dsc kc = pr->key;
  kc.typ |= VTYP_LNK;
  kc.lnk[0] = nullptr;
  // An unmarked value descriptor would otherwise be read as a packed node.
  vtyp_dsc vc;
  if (CVR(pr->val.typ != 0 && _vtyp_set(&kc.lnk[0], __vtyp_dsc_mrk(&pr->val, &vc), 0) != 0))
    return -1;
  if (CVR(_vtyp_set(&key, &kc, 0) != 0)) {
    vtyp_end(kc.lnk[0]);
    return -1;
  }
  *out = key;
  return 0;
}

int vtyp_set_pr(vtyp** out, const vtyp_pr* pr) {
  if (CVR(pr == nullptr)) return -1;
  const vtyp_pr* use = pr;
  vtyp_pr cpy;
  if (CVR(!((pr->key.typ & VTYP_LNK) && vtyp_is_dsc(&pr->key) && vtyp_is_dsc(&pr->val)))) {
    cpy = *pr;
    // A bit of an ext byte counts only when the byte is present.
    if (CVR(!(cpy.key.typ & VTYP_EXT))) cpy.key.ext = 0;
    if (CVR(!(cpy.val.typ & VTYP_EXT))) cpy.val.ext = 0;
    cpy.key.typ |= VTYP_LNK | VTYP_EXT;
    cpy.key.ext |= VTYP_DSC;
    cpy.val.typ |= VTYP_EXT;
    cpy.val.ext |= VTYP_DSC;
    use = &cpy;
  }
  return CVR(_vtyp_set_pr(out, use) != 0) ? -1 : 0;
}

void vtyp_end(vtyp* node) {
  if (CVR(node == nullptr)) return;
  // A descriptor is the caller's memory: there is nothing here to release.
  if (CVR(vtyp_is_dsc(node))) return;
  vtyp_lay l;
  __vtyp_lay(node, &l);
  unsigned char* n = bytes(static_cast<void*>(node));
  if (CVR((l.typ & VTYP_EXT) && (l.ext & VTYP_STG_MSK) == VTYP_BUF)) {
    rscmng_scp scp;
    buf_end(n + l.val + VTYP_BUF_HDL);
  }
  for (int i = 0; CVR(i < l.lnk_cnt); ++i)
    vtyp_end(static_cast<vtyp*>(__vtyp_rd_ptr(n, l.lnk + i * P)));
  if (CVR(l.equ >= 0)) {
    // The chain goes one node at a time, without recursing down its length.
    vtyp* e = static_cast<vtyp*>(__vtyp_rd_ptr(n, l.equ));
    while (CVR(e != nullptr)) {
      vtyp* nx = nullptr;
      if (CVR(vtyp_get_equ(e, &nx) == 0)) vtyp_put_equ(e, nullptr);
      vtyp_end(e);
      e = nx;
    }
  }
  if (CVR(l.nxt >= 0)) vtyp_cut_odr(node);
  rscmng_del(nullptr, node, 0, __FILE__, __LINE__, "vtyp_end", "free");
  heap_fre(node);
}

int vtyp_ref_val(const void* node, void** out) {
  if (CVR(node == nullptr)) return -1;
  vtyp_lay l;
  __vtyp_lay(node, &l);
  if (CVR(l.dsc)) {
    *out = __vtyp_rd_ptr(node, l.val);
  } else {
    *out = const_cast<unsigned char*>(bytes(node)) + l.val;
  }
  return 0;
}
