#include "base/variant/vmap.h"

#include <cstring>

#include "base/containers/buf.h"
#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"

namespace {

constexpr int P = VTYP_PSZ;
constexpr uint8_t KEY_MRK = VTYP_EXT | VTYP_LNK | VTYP_MAP;
constexpr uint8_t KEY_EXT_OK = VTYP_DSC | VTYP_ODR | VTYP_EQU;

// A failure keeps an earlier failure code; a clean-end mark left by an earlier iteration is
// not one, so it must not pass for this call's result.
int fail() {
  err_fail();
  if (CVR(err_no >= 0)) err_no = ERR_FAIL;
  return err_no;
}

// Every key of one vmap gets the same header, so lookups compare like with like, and a
// fresh key starts with no links, no ring neighbours and no chain of its own.
void key_mrk(const vmap* vm, vtyp_dsc* k) {
  k->typ = static_cast<uint8_t>((k->typ & VTYP_KND_MSK) | KEY_MRK);
  if (CVR(vm->flg & VMAP_NST)) k->typ |= VTYP_NST;
  k->ext = VTYP_DSC;
  if (CVR(vm->flg & VMAP_ODR)) k->ext |= VTYP_ODR;
  if (CVR(vm->flg & VMAP_EQU)) k->ext |= VTYP_EQU;
  k->ext2 = 0;
  std::memset(k->lnk, 0, sizeof k->lnk);
  k->nxt = k->prv = k->cld_top = k->equ = nullptr;
}

// The first entry of the level under prn (the top level for NULL).
int lvl_head(vmap* vm, vtyp* prn, vtyp** out) {
  if (CVR(prn == nullptr)) {
    *out = vm->first;
    return 0;
  }
  return vtyp_get_odr(prn, nullptr, nullptr, out);
}

// Links a new entry in at the back of its level; an entry already there keeps its place.
int odr_add(vmap* vm, vtyp* prn, vtyp* ent) {
  vtyp* head = nullptr;
  if (CVR(lvl_head(vm, prn, &head) != 0)) return -1;
  if (CVR(head == nullptr)) {
    if (CVR(prn == nullptr)) {
      vm->first = ent;
      return 0;
    }
    return vtyp_put_odr_cld_top(prn, ent);
  }
  if (CVR(head == ent)) return 0;
  vtyp* nx = nullptr;
  if (CVR(vtyp_get_odr(ent, &nx, nullptr, nullptr) != 0)) return -1;
  if (CVR(nx != ent)) return 0;   // already linked into the ring
  return vtyp_ins_odr_bck(head, ent);
}

// The put worker; d is already marked. Without a value, d->val is all zero.
int put(vmap* vm, vtyp_pr* d, vtyp** out, int flg, bool no_val) {
  // Replacing a node object would leave its children and ring neighbours pointing at freed
  // memory, and would free the entries of its equal-key chain with it; where node identity
  // carries structure, only a new key may take that path.
  if (CVR((flg & MAP_PUT_RPL) && (vm->flg & (VMAP_NST | VMAP_ODR | VMAP_EQU)))) {
    void* old = nullptr;
    if (CVR(map_get(&vm->map, &d->key, &old) == 0)) return fail();
  }
  void* ent = nullptr;
  const int r = map_put(&vm->map, d, &ent, flg);
  if (CVR(r != 0)) {
    if (CVR(r == 1 && (vm->flg & VMAP_EQU) && (flg & MAP_PUT_KEEP) && ent != nullptr)) {
      vtyp* last = static_cast<vtyp*>(ent);
      vtyp* nx = nullptr;
      while (CVR(vtyp_get_equ(last, &nx) == 0 && nx != nullptr)) last = nx;
      vtyp* nn = nullptr;
      int rr;
      if (CVR(no_val)) {
        rr = vtyp_set(&nn, &d->key);
      } else {
        rr = vtyp_set_pr(&nn, d);
      }
      if (CVR(rr != 0)) return fail();
      vtyp_put_equ(last, nn);
      // The caller gets the entry just stored, and it takes its own place in the order.
      ent = nn;
    } else {
      return fail();
    }
  }
  if (CVR(vm->flg & VMAP_ODR)) {
    vtyp* prn = nullptr;
    if (CVR(vm->flg & VMAP_NST)) prn = d->key.nst;
    if (CVR(odr_add(vm, prn, static_cast<vtyp*>(ent)) != 0)) return fail();
  }
  if (CVR(out != nullptr)) *out = static_cast<vtyp*>(ent);
  return err_ok();
}

}  // namespace

int vmap_set(vmap* vm, uint32_t flg) {
  std::memset(vm, 0, sizeof *vm);
  vm->flg = flg;
  // The tree links are the key node's map words, right after its header bytes.
  int16_t a = 1;
  if (CVR(flg & (VMAP_ODR | VMAP_EQU))) a = 2;
  if (CVR(map_set(&vm->map, &vtyp_map_ops, vm, a, static_cast<int16_t>(a + P), 0, 0, 0x80) != 0))
    return fail();
  return err_ok();
}

void vmap_end(vmap* vm) {
  rscmng_scp scp;
  map_end(&vm->map);
  std::memset(vm, 0, sizeof *vm);
}

int _vmap_put(vmap* vm, const vtyp_pr* pr, vtyp** out, int flg) {
  rscmng_scp scp;
  vtyp_pr d = *pr;
  // Anything beyond the marks would move the key's fields away from where the map expects.
  if (CVR((d.key.typ & VTYP_EXT) && (d.key.ext & ~KEY_EXT_OK))) return fail();
  key_mrk(vm, &d.key);
  if (CVR(!(d.val.typ & VTYP_EXT))) d.val.ext = 0;
  d.val.typ |= VTYP_EXT;
  d.val.ext |= VTYP_DSC;
  return put(vm, &d, out, flg, false);
}

int _vmap_put_no_val(vmap* vm, const vtyp_dsc* key, vtyp** out, int flg) {
  rscmng_scp scp;
  if (CVR(key->ext != 0)) return fail();
  // Made as a pair with an empty value, so the map's make and copy see the same record.
  vtyp_pr d{};
  d.key = *key;
  key_mrk(vm, &d.key);
  return put(vm, &d, out, flg, true);
}

int _vmap_get(vmap* vm, const vtyp_dsc* key, vtyp** out) {
  rscmng_scp scp;
  if (CVR(key->ext != 0)) return fail();
  vtyp_dsc k = *key;
  key_mrk(vm, &k);
  void* n = nullptr;
  if (CVR(map_get(&vm->map, &k, &n) != 0)) return fail();
  if (CVR(out != nullptr)) *out = static_cast<vtyp*>(n);
  return err_ok();
}

int vmap_get_odr(vmap* vm, const vtyp* ent, vtyp** out) {
  if (CVR(!(vm->flg & VMAP_ODR))) return fail();
  if (CVR(lvl_head(vm, const_cast<vtyp*>(ent), out) != 0)) return fail();
  return err_ok();
}

int _vmap_put_str_str(vmap* vm, vtyp* prn, const char* key, const char* val, vtyp** out,
                      int flg) {
  rscmng_scp scp;
  vtyp_pr d{};
  d.key.typ = VTYP_STR;
  d.key.nst = prn;
  d.key.val = key;
  d.val.typ = VTYP_STR;
  d.val.val = val;
  return _vmap_put(vm, &d, out, flg);
}

int vmap_put_str_str(vmap* vm, vtyp* prn, const char* key, const char* val, int flg) {
  return _vmap_put_str_str(vm, prn, key, val, nullptr, flg);
}

int _vmap_put_str_int(vmap* vm, vtyp* prn, const char* key, int32_t val, vtyp** out, int flg) {
  rscmng_scp scp;
  vtyp_pr d{};
  d.key.typ = VTYP_STR;
  d.key.nst = prn;
  d.key.val = key;
  d.val.typ = VTYP_INT;
  d.val.val = &val;
  return _vmap_put(vm, &d, out, flg);
}

int vmap_put_str_int(vmap* vm, vtyp* prn, const char* key, int32_t val, int flg) {
  return _vmap_put_str_int(vm, prn, key, val, nullptr, flg);
}

int _vmap_put_str_nul(vmap* vm, vtyp* prn, const char* key, vtyp** out, int flg) {
  rscmng_scp scp;
  vtyp_dsc k{};
  k.typ = VTYP_STR;
  k.nst = prn;
  k.val = key;
  return _vmap_put_no_val(vm, &k, out, flg);
}

int vmap_ref_str(vmap* vm, vtyp* prn, const char* key, vtyp** out) {
  rscmng_scp scp;
  vtyp_dsc k{};
  k.typ = VTYP_STR;
  k.nst = prn;
  k.val = key;
  return _vmap_get(vm, &k, out);
}

namespace {

// The value node of a key, if it has one of kind knd.
int val_of(vmap* vm, vtyp* prn, const char* key, int knd, void** out) {
  vtyp* ent = nullptr;
  vtyp* v = nullptr;
  if (CVR(vmap_ref_str(vm, prn, key, &ent) != 0)) return -1;
  if (CVR(vtyp_get_lnk(ent, &v, 0) != 0 || v == nullptr)) return -1;
  vtyp_lay l;
  __vtyp_lay(v, &l);
  if (CVR((l.typ & VTYP_KND_MSK) != knd)) return -1;
  return vtyp_ref_val(v, out);
}

}  // namespace

int vmap_get_str_str(vmap* vm, vtyp* prn, const char* key, const char** out) {
  rscmng_scp scp;
  void* v = nullptr;
  if (CVR(val_of(vm, prn, key, VTYP_STR, &v) != 0)) return fail();
  *out = static_cast<const char*>(v);
  return err_ok();
}

int vmap_get_str_int(vmap* vm, vtyp* prn, const char* key, int32_t* out) {
  rscmng_scp scp;
  void* v = nullptr;
  if (CVR(val_of(vm, prn, key, VTYP_INT, &v) != 0)) return fail();
  std::memcpy(out, v, sizeof *out);
  return err_ok();
}

namespace {

// Pushes the frame of the level under prn (NULL: the top level); top for the first frame.
int frm_psh(vmap_itr* itr, vtyp* prn, bool top) {
  vmap_itr_frm* f = nullptr;
  if (CVR(_malloc0(&f, static_cast<int>(sizeof *f)) != 0)) return -1;
  vmap* vm = itr->vm;
  int r = 0;
  if (CVR(itr->flg & VMAP_ITR_ODR)) {
    r = lvl_head(vm, prn, &f->nxt);
  } else if (CVR(vm->flg & VMAP_NST)) {
    r = map_rng_pop_ini(&vm->map, prn, vtyp_map_cmp_rng_nst, nullptr, &f->itr);
  } else if (CVR(top)) {
    r = map_rng_pop_ini(&vm->map, nullptr, nullptr, nullptr, &f->itr);
  }
  // A flat vmap's entries have no children: their frame stays empty (no map iteration).
  if (CVR(r != 0)) {
    if (CVR(f->itr.map != nullptr)) map_rng_pop_end(&f->itr);
    _free(&f);
    return -1;
  }
  f->prv = itr->stk;
  itr->stk = f;
  return 0;
}

void frm_pop(vmap_itr* itr) {
  vmap_itr_frm* f = itr->stk;
  if (CVR(f->itr.map != nullptr)) map_rng_pop_end(&f->itr);
  itr->stk = f->prv;
  _free(&f);
}

}  // namespace

int vmap_rng_pop_set(vmap* vm, vtyp* prn, uint32_t req, vmap_itr* itr) {
  rscmng_scp scp;
  if (CVR((req & VMAP_RNG_ODR) && !(vm->flg & VMAP_ODR))) return fail();
  itr->vm = vm;
  itr->stk = nullptr;
  itr->flg = 0;
  if (CVR(req & VMAP_RNG_CTL)) itr->flg |= VMAP_ITR_CTL;
  if (CVR(req & VMAP_RNG_ODR)) itr->flg |= VMAP_ITR_ODR;
  if (CVR(frm_psh(itr, prn, true) != 0)) return fail();
  return err_ok();
}

int vmap_rng_pop(vmap_itr* itr, vtyp** out, int descend) {
  rscmng_scp scp;
  const bool ctl = CVR(itr->flg & VMAP_ITR_CTL);
  for (;;) {
    vmap_itr_frm* f = itr->stk;
    if (CVR(f == nullptr)) {
      err_no = ERR_EOD;
      return 1;
    }
    const bool go = CVR(!ctl || descend != 0);
    if (CVR(itr->flg & VMAP_ITR_ODR)) {
      if (CVR(go && f->nxt != nullptr)) {
        vtyp* e = f->nxt;
        vtyp* nx = nullptr;
        vtyp* prn = nullptr;
        vtyp* head = nullptr;
        vtyp_get_odr(e, &nx, nullptr, nullptr);
        if (CVR(vtyp_get_nst(e, &prn) != 0)) prn = nullptr;
        if (CVR(lvl_head(itr->vm, prn, &head) != 0 || nx == head)) nx = nullptr;
        f->nxt = nx;   // back at the level's first entry: the ring is done
        if (CVR(frm_psh(itr, e, false) != 0)) return fail();
        *out = e;
        return err_ok();
      }
    } else if (CVR(go && f->itr.map != nullptr)) {
      void* e = nullptr;
      const int r = map_rng_pop(&f->itr, &e);
      if (CVR(r == 0)) {
        if (CVR(ctl && frm_psh(itr, static_cast<vtyp*>(e), false) != 0)) return fail();
        *out = static_cast<vtyp*>(e);
        return err_ok();
      }
      if (CVR(r < 0)) return fail();
    }
    frm_pop(itr);
    if (CVR(descend == 0)) descend = 1;
  }
}

int vmap_rng_pop_end(vmap_itr* itr) {
  rscmng_scp scp;
  while (CVR(itr->stk != nullptr)) frm_pop(itr);
  return err_ok();
}

int vmap_del(vmap* vm, vtyp* ent) {
  rscmng_scp scp;
  if (CVR(vm == nullptr || ent == nullptr || (vm->flg & (VMAP_ODR | VMAP_EQU)) != 0)) return fail();
  if (CVR(vm->flg & VMAP_NST)) {
    // The children first, gathered before any goes: removing nodes under an open iteration would
    // pull the tree from under it. A child whose parent was freed would pass for a child of
    // whatever entry is made at that address next.
    __VARBUF(kids, sizeof(vtyp*));
    vmap_itr itr = {};
    int st = vmap_rng_pop_set(vm, ent, 0, &itr);
    vtyp* c = nullptr;
    while (CVR(st == 0 && (st = vmap_rng_pop(&itr, &c, 1)) == 0)) {
      if (CVR(buf_psh(kids, &c) != 0)) st = -1;
    }
    vmap_rng_pop_end(&itr);
    buf_rst(kids);
    bool ok = CVR(st == ERR_EOD);
    while (CVR(ok && buf_pop(kids, &c) == 0)) ok = CVR(vmap_del(vm, c) == 0);
    buf_end(kids);
    if (CVR(!ok)) return fail();
  }
  if (CVR(map_del(&vm->map, ent) != 0)) return fail();
  return err_ok();
}
