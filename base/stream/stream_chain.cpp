// Chain stream: concatenation of any number of streams moved into it.
#include "base/stream/stream.h"

#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"

int stream_chain(stream* strm) {
  TMR_SEC();
  rscmng_scp scp;
  stream_chn* chn = nullptr;
  if (CVR(_malloc0(&chn, static_cast<int>(sizeof(stream_chn))) != 0)) return __stream_fail();
  chn->bck = &chn->top;
  if (CVR(stream_set(strm, chn, &STREAM_OPS_CHAIN) != 0)) {
    const int32_t st = err_no;
    _free(&chn);
    err_no = st;
    return __stream_fail();
  }
  return err_ok();
}

int stream_chain_pop(void* chain, void* out) {
  TMR_SEC();
  rscmng_scp scp;
  auto* chn = static_cast<stream_chn*>(chain);
  if (CVR(chn == nullptr)) return __stream_fail();
  while (CVR(chn->top != nullptr)) {
    stream_mbr* mbr = chn->top;
    if (CVR(stream_pop(&mbr->strm, out) == 0)) return err_ok();
    // Exhausted or failing: either way the member is done with.
    stream_mbr* nxt = mbr->nxt;
    stream_end(&mbr->strm);
    _free(&mbr);
    chn->top = nxt;
  }
  err_no = ERR_EOD;
  return err_no;
}

int stream_chain_psh(void* chain, const void* in) {
  TMR_SEC();
  rscmng_scp scp;
  auto* chn = static_cast<stream_chn*>(chain);
  // The pushed object is emptied: the chain takes its source over.
  auto* src = static_cast<stream*>(const_cast<void*>(in));
  if (CVR(chn == nullptr || src == nullptr)) return __stream_fail();
  if (CVR(chn->top == nullptr)) chn->bck = &chn->top;
  stream_mbr* mbr = nullptr;
  if (CVR(_malloc0(&mbr, static_cast<int>(sizeof(stream_mbr))) != 0)) return __stream_fail();
  mbr->strm = *src;
  *src = stream{};
  if (CVR((mbr->strm.flg & STREAM_OWN) != 0)) {
    _free(&src);
    mbr->strm.flg &= ~STREAM_OWN;
  }
  *chn->bck = mbr;
  chn->bck = &mbr->nxt;
  return err_ok();
}

void stream_chain_end(void* chain) {
  TMR_SEC();
  rscmng_scp scp;
  auto* chn = static_cast<stream_chn*>(chain);
  if (CVR(chn == nullptr)) return;
  stream_mbr* mbr = chn->top;
  while (CVR(mbr != nullptr)) {
    stream_mbr* nxt = mbr->nxt;
    stream_end(&mbr->strm);
    _free(&mbr);
    mbr = nxt;
  }
  _free(&chn);
}
