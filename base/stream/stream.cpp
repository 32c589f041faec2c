// Stream core: binding, the generic operations and the adapters over a source stream.
#include "base/stream/stream.h"

#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/stkptr.h"
#include "base/diag/tmr.h"

int stream_set(stream* strm, void* src, const stream_ops* ops) {
  TMR_SEC();
  rscmng_scp scp;
  uintptr_t own = 0;
  if (CVR(strm == nullptr)) {
    if (CVR(_malloc0(&strm, static_cast<int>(sizeof(stream))) != 0)) return __stream_fail();
    own = STREAM_OWN;
    stkptr(strm, __stream_end_src);
  }
  strm->src = src;
  strm->ops = ops;
  strm->flg = STREAM_BND | own;
  return err_ok();
}

int stream_pop(stream* strm, void* out) {
  TMR_SEC();
  if (CVR(strm == nullptr || strm->ops == nullptr || strm->ops->pop == nullptr ||
          (strm->flg & (STREAM_BND | STREAM_END)) != STREAM_BND)) {
    err_no = ERR_FAIL;
    return err_no;
  }
  int r;
  {
    rscmng_scp scp;
    r = strm->ops->pop(strm->src, out);
  }
  if (CVR(r != 0)) {
    strm->flg |= STREAM_END;
    if (CVR(err_no == ERR_OK)) err_no = ERR_EOD;
    return err_no;
  }
  return err_ok();
}

int stream_psh(stream* strm, const void* in) {
  TMR_SEC();
  if (CVR(strm == nullptr || strm->ops == nullptr || strm->ops->psh == nullptr ||
          (strm->flg & (STREAM_BND | STREAM_END)) != STREAM_BND)) {
    err_no = ERR_FAIL;
    return err_no;
  }
  int r;
  {
    rscmng_scp scp;
    r = strm->ops->psh(strm->src, in);
  }
  if (CVR(r != 0)) {
    // Whatever the operation said, a refused push reads as "no room".
    strm->flg |= STREAM_END;
    err_no = ERR_END;
    return err_no;
  }
  return err_ok();
}

void stream_end(stream* strm) {
  TMR_SEC();
  if (CVR(strm == nullptr || strm->src == nullptr || strm->ops == nullptr ||
          (strm->flg & STREAM_BND) == 0 || strm->ops->end == nullptr)) {
    return;
  }
  rscmng_scp scp;
  strm->ops->end(strm->src);
  strm->src = nullptr;
  strm->flg &= ~(STREAM_BND | STREAM_END);
  if (CVR((strm->flg & STREAM_OWN) != 0)) {
    strm->flg &= ~STREAM_OWN;
    _free(&strm);
  }
}

int stream_chk(const stream* strm) {
  if (CVR(strm == nullptr || strm->src == nullptr || strm->ops == nullptr ||
          (strm->flg & (STREAM_BND | STREAM_END)) != STREAM_BND)) {
    return -1;
  }
  return 0;
}

int stream_rst(stream* strm) {
  TMR_SEC();
  // A released or never bound stream has no source to rewind.
  if (CVR(strm == nullptr || strm->ops == nullptr || (strm->flg & STREAM_BND) == 0 ||
          strm->src == nullptr)) {
    err_no = ERR_FAIL;
    return err_no;
  }
  strm->flg &= ~STREAM_END;
  if (CVR(strm->ops->rst != nullptr)) {
    int r;
    {
      rscmng_scp scp;
      r = strm->ops->rst(strm->src);
    }
    if (CVR(r != 0)) return __stream_fail();
  }
  return err_ok();
}

void __stream_end_src(void* src) { stream_end(static_cast<stream*>(src)); }

int __stream_rst_src(void* src) { return stream_rst(static_cast<stream*>(src)); }

int __stream_pop_src(void* src, void* out) { return stream_pop(static_cast<stream*>(src), out); }

int __stream_psh_src(void* src, const void* in) {
  return stream_psh(static_cast<stream*>(src), in);
}

void __stream_free_src(void* src) { _free(&src); }
