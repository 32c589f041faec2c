// Links, parent reference, insertion-order ring and equal-key chain of a variant node.
#include "base/diag/cvr.h"
#include "base/variant/vtyp.h"

namespace {

constexpr int P = VTYP_PSZ;

// Slot i's offset, -1 for a NULL node, -2 for a slot that does not exist.
int lnk_ofs(const void* node, int i) {
  if (CVR(node == nullptr)) return -1;
  vtyp_lay l;
  __vtyp_lay(node, &l);
  if (CVR(i < 0 || i >= l.lnk_cnt)) return -2;
  return l.lnk + i * P;
}

// The layout of a node that must have the field picked by fld; false if NULL or absent.
bool has_fld(const void* node, vtyp_lay* l, int16_t vtyp_lay::*fld) {
  if (CVR(node == nullptr)) return false;
  __vtyp_lay(node, l);
  return CVR(l->*fld >= 0);
}

}  // namespace

int vtyp_put_lnk(void* node, vtyp* lnk, int i) {
  const int o = lnk_ofs(node, i);
  if (CVR(o < 0)) return CVR(o == -1) ? -1 : 1;
  __vtyp_wr_ptr(node, o, lnk);
  return 0;
}

int vtyp_get_lnk(const void* node, vtyp** out, int i) {
  const int o = lnk_ofs(node, i);
  if (CVR(o < 0)) return CVR(o == -1) ? -1 : 1;
  *out = static_cast<vtyp*>(__vtyp_rd_ptr(node, o));
  return 0;
}

int vtyp_del_lnk(void* node, int i) {
  const int o = lnk_ofs(node, i);
  if (CVR(o < 0)) return CVR(o == -1) ? -1 : 1;
  vtyp* l = static_cast<vtyp*>(__vtyp_rd_ptr(node, o));
  __vtyp_wr_ptr(node, o, nullptr);
  vtyp_end(l);
  return 0;
}

int vtyp_ref_lnk_val(const void* node, int i, void** out) {
  vtyp* l = nullptr;
  if (CVR(vtyp_get_lnk(node, &l, i) != 0 || l == nullptr)) return -1;
  return vtyp_ref_val(l, out);
}

int vtyp_get_nst(const void* node, vtyp** out) {
  vtyp_lay l;
  if (CVR(!has_fld(node, &l, &vtyp_lay::nst))) return -1;
  *out = static_cast<vtyp*>(__vtyp_rd_ptr(node, l.nst));
  return 0;
}

int vtyp_get_odr(const void* node, vtyp** out_nxt, vtyp** out_prv, vtyp** out_cld_top) {
  vtyp_lay l;
  if (CVR(!has_fld(node, &l, &vtyp_lay::nxt))) return -1;
  if (CVR(out_nxt != nullptr)) *out_nxt = static_cast<vtyp*>(__vtyp_rd_ptr(node, l.nxt));
  if (CVR(out_prv != nullptr)) *out_prv = static_cast<vtyp*>(__vtyp_rd_ptr(node, l.prv));
  if (CVR(out_cld_top != nullptr))
    *out_cld_top = static_cast<vtyp*>(__vtyp_rd_ptr(node, l.cld_top));
  return 0;
}

int vtyp_put_odr_cld_top(void* node, vtyp* cld) {
  vtyp_lay l;
  if (CVR(!has_fld(node, &l, &vtyp_lay::nxt))) return -1;
  __vtyp_wr_ptr(node, l.cld_top, cld);
  return 0;
}

int vtyp_ins_odr_bck(void* first, void* node) {
  vtyp_lay la;
  vtyp_lay ln;
  if (CVR(!has_fld(first, &la, &vtyp_lay::nxt) || !has_fld(node, &ln, &vtyp_lay::nxt)))
    return -1;
  void* last = __vtyp_rd_ptr(first, la.prv);
  __vtyp_wr_ptr(node, ln.nxt, first);
  __vtyp_wr_ptr(node, ln.prv, last);
  __vtyp_wr_ptr(first, la.prv, node);
  vtyp_lay ll;
  if (CVR(has_fld(last, &ll, &vtyp_lay::nxt))) __vtyp_wr_ptr(last, ll.nxt, node);
  return 0;
}

int vtyp_cut_odr(void* node) {
  vtyp_lay l;
  if (CVR(!has_fld(node, &l, &vtyp_lay::nxt))) return -1;
  void* x = __vtyp_rd_ptr(node, l.nxt);
  void* p = __vtyp_rd_ptr(node, l.prv);
  vtyp_lay lx;
  vtyp_lay lp;
  if (CVR(has_fld(x, &lx, &vtyp_lay::prv))) __vtyp_wr_ptr(x, lx.prv, p);
  if (CVR(has_fld(p, &lp, &vtyp_lay::nxt))) __vtyp_wr_ptr(p, lp.nxt, x);
  __vtyp_wr_ptr(node, l.prv, node);
  __vtyp_wr_ptr(node, l.nxt, node);
  return 0;
}

int vtyp_get_equ(const void* node, vtyp** out) {
  vtyp_lay l;
  if (CVR(!has_fld(node, &l, &vtyp_lay::equ))) return -1;
  *out = static_cast<vtyp*>(__vtyp_rd_ptr(node, l.equ));
  return 0;
}

int vtyp_put_equ(void* node, vtyp* nxt) {
  vtyp_lay l;
  if (CVR(!has_fld(node, &l, &vtyp_lay::equ))) return -1;
  __vtyp_wr_ptr(node, l.equ, nxt);
  return 0;
}
