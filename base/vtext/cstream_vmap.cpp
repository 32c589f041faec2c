// The vmap-to-text stream: entry after entry as the iteration gives them, one pair a line;
// in group mode the children of an entry between a "[" line and a "]" line, indented.
#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/vtext/cstream_vmap.h"

namespace {

// A bracket line at the current depth.
int brk_psh(cstream_vmap_st* st, const char* txt) {
  if (CVR(__cstream_vtyp_chn(&st->out) != 0 || __cstream_vtyp_tab(&st->out, st->opt.ind) != 0 ||
          __cstream_vtyp_txt(&st->out, txt) != 0))
    return -1;
  return 0;
}

// The parent of an entry; none for the keys of a flat vmap, which have no parent field.
vtyp* prn_of(const vtyp* ent) {
  vtyp* p = nullptr;
  if (CVR(vtyp_get_nst(ent, &p) != 0)) return nullptr;
  return p;
}

// The lines that come before the entry in group mode: a group opens at a first child, and
// the groups the entry is not in close.
int grp_psh(cstream_vmap_st* st, vtyp* ent) {
  vtyp* prn = prn_of(ent);
  if (CVR(prn != nullptr && prn == st->lst)) {
    if (CVR(brk_psh(st, "[\n") != 0)) return -1;
    ++st->opt.ind;
  } else {
    while (CVR(st->grp != prn && st->grp != nullptr)) {
      if (CVR(st->opt.ind > 0)) --st->opt.ind;
      if (CVR(brk_psh(st, "]\n") != 0)) return -1;
      st->grp = prn_of(st->grp);
    }
  }
  st->lst = ent;
  st->grp = prn;
  return 0;
}

}  // namespace

int cstream_vmap_set(stream* strm, vmap* vm, vtyp* prn, uint32_t req, const cstream_vtyp_opt* opt) {
  rscmng_scp scp;
  if (CVR(vm == nullptr || opt == nullptr || opt->fmt >= CSTREAM_VTYP_FMT_END))
    return __stream_fail();
  cstream_vmap_st* st = nullptr;
  if (CVR(_malloc0(&st, static_cast<int>(sizeof *st)) != 0)) return __stream_fail();
  st->opt = *opt;
  if (CVR(opt->flg & CSTREAM_VTYP_GRP)) st->opt.ind = 0;
  if (CVR(vmap_rng_pop_set(vm, prn, req, &st->itr) != 0 ||
          stream_set(strm, st, &STREAM_OPS_VMAP_TXT) != 0)) {
    const int32_t e = err_no;
    vmap_rng_pop_end(&st->itr);
    _free(&st);
    err_no = e;
    return __stream_fail();
  }
  return err_ok();
}

int _cstream_vmap_pop(void* state, void* out) {
  rscmng_scp scp;
  auto* st = static_cast<cstream_vmap_st*>(state);
  if (CVR(st == nullptr || out == nullptr)) return __stream_fail();
  for (;;) {
    // A drained chain stays for the next entry: it takes members again.
    if (CVR(stream_chk(&st->out) == 0 && stream_pop(&st->out, out) == 0)) return err_ok();
    vtyp* ent = nullptr;
    const int r = vmap_rng_pop(&st->itr, &ent, 1);
    if (CVR(r != 0)) {
      if (CVR(r != ERR_EOD)) return __stream_fail();
      if (CVR(st->opt.ind == 0 || !(st->opt.flg & CSTREAM_VTYP_GRP))) {
        err_no = ERR_EOD;
        return err_no;
      }
      // The groups still open close at the end of the text.
      while (CVR(st->opt.ind > 0)) {
        --st->opt.ind;
        if (CVR(brk_psh(st, "]\n") != 0)) return __stream_fail();
      }
      st->grp = nullptr;
      continue;
    }
    if (CVR((st->opt.flg & CSTREAM_VTYP_GRP) && grp_psh(st, ent) != 0)) return __stream_fail();
    if (CVR(cstream_vtyp_pr(&st->out, ent, &st->opt) != 0 ||
            __cstream_vtyp_txt(&st->out, "\n") != 0))
      return __stream_fail();
  }
}

void _cstream_vmap_end(void* state) {
  rscmng_scp scp;
  auto* st = static_cast<cstream_vmap_st*>(state);
  if (CVR(st == nullptr)) return;
  stream_end(&st->out);
  vmap_rng_pop_end(&st->itr);
  _free(&st);
}
