#include "base/variant/vmap_fmt.h"

#include <cstring>

#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/stream/cstream.h"

namespace {

constexpr uint32_t AT = '@';

// A failure must not read as the end of the text, whatever status an exhausted value left.
int fmt_fail() { return __stream_fail(); }

// Reads one placeholder's name up to its closing "@" into the name buffer.
// 0: a name (possibly empty); non-zero: the template ended first or a push failed.
int fmt_nam(vmap_fmt_st* st) {
  void* nam = &st->nam._p;
  buf_rst(nam);
  // The name goes in through a Shift-JIS character stream over the buffer, as bytes.
  stream bs = {};
  stream cs = {};
  stream_set(&bs, nam, &STREAM_OPS_BUF);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  for (;;) {
    uint32_t ch = 0;
    if (CVR(stream_pop(st->tpl, &ch) != 0)) return -1;
    if (CVR(ch == AT)) break;
    if (CVR(stream_psh(&cs, &ch) != 0)) return -1;
  }
  if (CVR(st->nam.pos == 0)) return 0;
  const uint32_t nul = 0;
  return stream_psh(&cs, &nul);
}

// Points the value streams at the value stored under the current name.
int fmt_val(vmap_fmt_st* st) {
  vtyp* ent = nullptr;
  vtyp* val = nullptr;
  if (CVR(vmap_ref_str(st->vm, st->prn, static_cast<const char*>(st->nam._p), &ent) != 0 ||
          vtyp_get_lnk(ent, &val, 0) != 0))
    return -1;
  const stream_ops* ops = &STREAM_OPS_STR_CUR;
  if (CVR(val == nullptr)) {
    st->val.cur = "";  // a key stored without a value reads as the empty text
  } else {
    void* v = nullptr;
    const int knd = *reinterpret_cast<const unsigned char*>(val) & 7;
    if (CVR(vtyp_ref_val(val, &v) != 0 || (knd != VTYP_INT && knd != VTYP_STR))) return -1;
    if (CVR(knd == VTYP_INT)) {
      st->val.num = {};
      std::memcpy(&st->val.num.val, v, sizeof st->val.num.val);
      ops = &STREAM_OPS_INT_CUR;
    } else {
      st->val.cur = static_cast<const char*>(v);
    }
  }
  if (CVR(stream_set(&st->vbs, &st->val, ops) != 0)) return -1;
  return stream_rst(&st->vcs);
}

}  // namespace

int vmap_fmt_stream(stream* out, vmap* vm, stream* tpl) {
  rscmng_scp scp;
  std::memset(out, 0, sizeof *out);
  vmap_fmt_st* st = nullptr;
  if (CVR(_malloc0(&st, sizeof *st) != 0)) return err_fail();
  st->vm = vm;
  st->prn = nullptr;
  st->tpl = tpl;
  buf_ini(&st->nam._p, 1);
  stream_set(&st->vbs, &st->val, &STREAM_OPS_STR_CUR);
  stream_set(&st->vcs, &st->vbs, &STREAM_OPS_SJIS);
  // Nothing to yield until the first placeholder rewinds it.
  st->vcs.flg |= STREAM_END;
  if (CVR(stream_set(out, st, &STREAM_OPS_VMAP_FMT) != 0)) {
    buf_end(&st->nam._p);
    _free(&st);
    std::memset(out, 0, sizeof *out);
    return err_fail();
  }
  return err_ok();
}

int _vmap_fmt_stream_pop(void* state, void* out) {
  rscmng_scp scp;
  auto* st = static_cast<vmap_fmt_st*>(state);
  for (;;) {
    if (CVR(stream_chk(&st->vcs) == 0 && stream_pop(&st->vcs, out) == 0)) return err_ok();
    uint32_t ch = 0;
    if (CVR(stream_pop(st->tpl, &ch) != 0)) {
      if (CVR(err_code(err_no) != 0)) return err_no;
      err_no = ERR_EOD;
      return err_no;
    }
    if (CVR(ch != AT)) {
      std::memcpy(out, &ch, sizeof ch);
      return err_ok();
    }
    if (CVR(fmt_nam(st) != 0)) return fmt_fail();
    if (CVR(st->nam.pos == 0)) {  // "@@"
      std::memcpy(out, &AT, sizeof AT);
      return err_ok();
    }
    if (CVR(fmt_val(st) != 0)) return fmt_fail();
  }
}

void _vmap_fmt_stream_end(void* state) {
  rscmng_scp scp;
  auto* st = static_cast<vmap_fmt_st*>(state);
  stream_end(st->tpl);
  stream_end(&st->vcs);
  buf_end(&st->nam._p);
  _free(&st);
}
