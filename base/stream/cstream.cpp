// Shift-JIS character streams, search-and-replace, and the collectors.
#include "base/stream/cstream.h"

#include <bit>
#include <cstring>

#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/stkptr.h"
#include "base/diag/tmr.h"

// Bytes are popped straight into the character: the lead byte must land in bits 0-7.
static_assert(std::endian::native == std::endian::little);

int stream_pop_btoc_sjis(void* bstrm, void* out) {
  TMR_SEC();
  rscmng_scp scp;
  auto* bs = static_cast<stream*>(bstrm);
  if (CVR(bs == nullptr || out == nullptr)) return __stream_fail();
  uint32_t chr = 0;
  // Registered so that a byte source that checks its destination (a file) finds it.
  rscmng_psh(nullptr, &chr, sizeof chr, rscmng_lvl(), __FILE__, __LINE__, __func__, "REF(chr)");
  auto* b = reinterpret_cast<unsigned char*>(&chr);
  // Not delivered: the byte stream's status stands (1 at a clean end).
  if (CVR(stream_pop(bs, &b[0]) != 0)) return err_fail();
  if (CVR(sjis_lead(b[0]))) {
    // A lead byte without its trail byte is dropped; the byte stream's status stands.
    if (CVR(stream_pop(bs, &b[1]) != 0)) return err_fail();
  }
  std::memcpy(out, &chr, sizeof chr);
  return err_ok();
}

int stream_psh_btoc_sjis(void* bstrm, const void* in) {
  TMR_SEC();
  rscmng_scp scp;
  auto* bs = static_cast<stream*>(bstrm);
  if (CVR(bs == nullptr || in == nullptr)) return __stream_fail();
  uint32_t chr;
  std::memcpy(&chr, in, sizeof chr);
  const auto lo = static_cast<unsigned char>(chr & 0xFF);
  const auto hi = static_cast<unsigned char>((chr >> 8) & 0xFF);
  if (CVR(stream_psh(bs, &lo) != 0)) return __stream_fail();
  if (CVR(hi != 0)) {
    if (CVR(stream_psh(bs, &hi) != 0)) return __stream_fail();
  }
  return err_ok();
}

int cstream_default_btoc_set(stream* strm, stream* bstrm) {
  TMR_SEC();
  rscmng_scp scp;
  const bool taken = bstrm == nullptr;
  if (CVR(taken)) {
    bstrm = static_cast<stream*>(stkptr(nullptr, nullptr));
    if (CVR(bstrm == nullptr)) return __stream_fail();
  }
  if (CVR(stream_set(strm, bstrm, &STREAM_OPS_SJIS) != 0)) {
    // A byte stream taken from the slot has no other owner left.
    const int32_t st = err_no;
    if (CVR(taken)) stream_end(bstrm);
    err_no = st;
    return __stream_fail();
  }
  return err_ok();
}

int cstream_str_set(stream* strm, const char* str) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(bstream_str_set(nullptr, str) != 0)) return err_no;
  return cstream_default_btoc_set(strm, nullptr);
}

int cstream_int_set(stream* strm, int32_t n) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(bstream_int_set(nullptr, n) != 0)) return err_no;
  return cstream_default_btoc_set(strm, nullptr);
}

// Releases a replacement state that never got bound; keeps the failure status.
static int rep_fail(cstream_rep* st) {
  const int32_t e = err_no;
  _free(&st->fnd);
  _free(&st->rep);
  _free(&st->win);
  _free(&st);
  err_no = e;
  return __stream_fail();
}

int cstream_replace(stream* strm, stream* in, stream* fnd, stream* rep) {
  TMR_SEC();
  rscmng_scp scp;
  cstream_rep* st = nullptr;
  if (CVR(_malloc0(&st, static_cast<int>(sizeof *st)) != 0)) {
    const int32_t e = err_no;
    stream_end(fnd);
    stream_end(rep);
    err_no = e;
    return __stream_fail();
  }
  if (CVR(cstream_to_vcstr(fnd, &st->fnd) != 0)) {
    const int32_t e = err_no;
    stream_end(rep);
    err_no = e;
    return rep_fail(st);
  }
  uint32_t n = 0;
  while (CVR(st->fnd[n] != 0)) ++n;
  st->cnt = n;
  if (CVR(cstream_to_vstr(rep, &st->rep) != 0)) return rep_fail(st);
  // An empty pattern would match forever without reading the input.
  if (CVR(n == 0 || n > 0x1FFFFFFFu)) {
    err_no = ERR_FAIL;
    return rep_fail(st);
  }
  if (CVR(_malloc(&st->win, static_cast<int>(n * sizeof(uint32_t))) != 0)) return rep_fail(st);
  st->in = in;
  if (CVR(stream_set(strm, st, &STREAM_OPS_REPLACE) != 0)) return rep_fail(st);
  return err_ok();
}

int cstream_replace_pop(void* state, void* out) {
  TMR_SEC();
  rscmng_scp scp;
  auto* s = static_cast<cstream_rep*>(state);
  if (CVR(s == nullptr || out == nullptr || s->cnt == 0)) return __stream_fail();
  uint32_t chr = 0;
  for (;;) {
    if (CVR(stream_chk(&s->rep_cstrm) == 0 && stream_pop(&s->rep_cstrm, &chr) == 0)) break;
    // A failing input counts as its end.
    while (CVR(s->win_len < s->cnt)) {
      if (CVR(stream_pop(s->in, &s->win[(s->win_top + s->win_len) % s->cnt]) != 0)) break;
      ++s->win_len;
    }
    if (CVR(s->win_len == s->cnt)) {
      bool match = true;
      for (uint32_t i = 0; CVR(i < s->cnt); ++i) {
        if (CVR(s->win[(s->win_top + i) % s->cnt] != s->fnd[i])) {
          match = false;
          break;
        }
      }
      if (CVR(match)) {
        // The matched characters are dropped and never searched again; the replacement
        // is delivered from the next round on.
        stream_end(&s->rep_cstrm);
        s->rep_cur = s->rep;
        stream_set(&s->rep_bstrm, &s->rep_cur, &STREAM_OPS_STR_CUR);
        stream_set(&s->rep_cstrm, &s->rep_bstrm, &STREAM_OPS_SJIS);
        s->win_top = 0;
        s->win_len = 0;
        continue;
      }
    } else if (CVR(s->win_len == 0)) {
      err_no = ERR_EOD;
      return err_no;
    }
    chr = s->win[s->win_top];
    s->win_top = (s->win_top + 1) % s->cnt;
    --s->win_len;
    break;
  }
  std::memcpy(out, &chr, sizeof chr);
  return err_ok();
}

void cstream_replace_end(void* state) {
  TMR_SEC();
  rscmng_scp scp;
  auto* s = static_cast<cstream_rep*>(state);
  if (CVR(s == nullptr)) return;
  stream_end(s->in);
  stream_end(&s->rep_cstrm);
  _free(&s->fnd);
  _free(&s->rep);
  _free(&s->win);
  _free(&s);
}

static void out_clr(void* out) {
  void* nul = nullptr;
  std::memcpy(out, &nul, sizeof nul);
}

// Moves every character of in into psh: 0 at a clean end, else the failure status (a
// failure code of in is kept; a refused push fails with -1).
template <class Psh>
static int32_t drain(stream* in, Psh psh) {
  for (uint32_t chr = 0;;) {
    if (CVR(stream_pop(in, &chr) != 0)) return CVR(err_code(err_no) != 0) ? err_no : 0;
    if (CVR(psh(chr) != 0)) return __stream_fail();
  }
}

int cstream_to_vstr(stream* in, void* out) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(out == nullptr)) {
    stream_end(in);
    return __stream_fail();
  }
  out_clr(out);
  __VARBUF(str_buf, 1);
  stream bbs{};
  stream cs{};
  stream_set(&bbs, str_buf, &STREAM_OPS_BUF);
  stream_set(&cs, &bbs, &STREAM_OPS_SJIS);
  int32_t st = drain(in, [&](uint32_t chr) { return stream_psh(&cs, &chr); });
  if (CVR(st == 0)) {
    const uint32_t nul = 0;
    st = CVR(stream_psh(&cs, &nul) != 0 || _buf_vptr(str_buf, out) != 0) ? __stream_fail() : err_ok();
  }
  // Ends the buffer too; storage already handed over is not freed.
  stream_end(in);
  stream_end(&cs);
  err_no = st;
  return st;
}

int cstream_to_vcstr(stream* in, void* out) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(out == nullptr)) {
    stream_end(in);
    return __stream_fail();
  }
  out_clr(out);
  __VARBUF(chr_buf, sizeof(uint32_t));
  int32_t st = drain(in, [&](uint32_t chr) { return buf_psh(chr_buf, &chr); });
  if (CVR(st == 0)) {
    const uint32_t nul = 0;
    st = CVR(buf_psh(chr_buf, &nul) != 0 || _buf_vptr(chr_buf, out) != 0) ? __stream_fail() : err_ok();
  }
  stream_end(in);
  // Frees the storage when it was not handed over (a failure).
  buf_end(chr_buf);
  err_no = st;
  return st;
}

int cstream_to_fil(stream* in, FILE* file) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(file == nullptr)) {
    stream_end(in);
    return __stream_fail();
  }
  stream fbs{};
  stream cs{};
  stream_set(&fbs, file, &STREAM_OPS_FILE_OPEN);
  stream_set(&cs, &fbs, &STREAM_OPS_SJIS);
  int32_t st = drain(in, [&](uint32_t chr) { return stream_psh(&cs, &chr); });
  if (CVR(st == 0)) st = err_ok();
  stream_end(in);
  stream_end(&cs);   // the file table has no end: the file stays open
  err_no = st;
  return st;
}
