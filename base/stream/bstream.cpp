// Byte streams over a text, the decimal text of an integer, and a C library file.
#include "base/stream/bstream.h"

#include "base/diag/malloc.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"

int stream_pop_str(void* cur, void* out) {
  TMR_SEC();
  auto* c = static_cast<const char**>(cur);
  if (CVR(c == nullptr || *c == nullptr || out == nullptr)) return __stream_fail();
  const auto b = static_cast<unsigned char>(**c);
  if (CVR(b == 0)) {
    err_no = ERR_EOD;   // the terminator is not delivered
    return err_no;
  }
  *static_cast<unsigned char*>(out) = b;
  ++*c;
  return err_ok();
}

static uint32_t dec_digits(uint32_t v) {
  uint32_t d = 1;
  for (; CVR(v >= 10); v /= 10) ++d;
  return d;
}

// One byte of the decimal text; the magnitude is always taken unsigned, so the most
// negative value has its ten digits like any other.
static int int_pop(void* src, void* out, bool sgn) {
  auto* s = static_cast<int_src*>(src);
  auto* o = static_cast<unsigned char*>(out);
  if (CVR(s == nullptr || o == nullptr)) return __stream_fail();
  if (CVR((s->ctl & INT_SRC_DONE) != 0)) {
    err_no = ERR_EOD;
    return err_no;
  }
  uint32_t d = s->ctl & INT_SRC_DIG;
  if (CVR(sgn && d == 0 && s->val < 0)) {
    *o = 0x2D;
    const uint32_t mag = 0u - static_cast<uint32_t>(s->val);
    s->val = static_cast<int32_t>(mag);
    // The digit count marks the sign as done: the magnitude of the most negative value
    // still reads negative.
    s->ctl = (s->ctl & ~INT_SRC_DIG) | dec_digits(mag);
    return err_ok();
  }
  const auto v = static_cast<uint32_t>(s->val);
  if (CVR(d == 0)) d = dec_digits(v);
  uint32_t q = v;
  for (uint32_t i = 1; CVR(i < d); ++i) q /= 10;
  *o = static_cast<unsigned char>(0x30 + q % 10);
  s->ctl = (s->ctl & ~INT_SRC_DIG) | (CVR(d == 1) ? INT_SRC_DONE : d - 1);
  return err_ok();
}

int stream_pop_int(void* src, void* out) {
  TMR_SEC();
  return int_pop(src, out, true);
}

int stream_pop_uint(void* src, void* out) {
  TMR_SEC();
  return int_pop(src, out, false);
}

int stream_pop_file(void* file, void* out) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(file == nullptr || out == nullptr)) return __stream_fail();
  const int c = std::fgetc(static_cast<FILE*>(file));
  if (CVR(c == EOF)) {
    err_no = ERR_FAIL;   // a file reports its end as a failure
    return err_no;
  }
  // A destination outside every registered block is logged; the pop goes on regardless.
  rscmng_chk(nullptr, out, 1, 1, __FILE__, __LINE__, "stream_pop_file", "MEM((uint8_t*)fct)");
  *static_cast<unsigned char*>(out) = static_cast<unsigned char>(c);
  return err_ok();
}

int stream_psh_file(void* file, const void* in) {
  TMR_SEC();
  if (CVR(file == nullptr || in == nullptr ||
          std::fputc(*static_cast<const unsigned char*>(in), static_cast<FILE*>(file)) == EOF)) {
    return __stream_fail();
  }
  return err_ok();
}

int stream_end_file(void* file) {
  TMR_SEC();
  rscmng_scp scp;
  if (CVR(file == nullptr)) return __stream_fail();
  rscmng_del(nullptr, file, 0, __FILE__, __LINE__, "stream_end_file", "fclose");
  const int r = std::fclose(static_cast<FILE*>(file));
  if (CVR(r != 0)) __stream_fail();
  return r;
}

void __stream_end_file(void* file) { stream_end_file(file); }

int stream_rst_file(void* file) {
  TMR_SEC();
  if (CVR(file == nullptr)) return __stream_fail();
  std::rewind(static_cast<FILE*>(file));
  return err_ok();
}

int bstream_str_set(stream* strm, const char* str) {
  TMR_SEC();
  rscmng_scp scp;
  const char** cur = nullptr;
  if (CVR(_malloc_cpy(&cur, &str, static_cast<int>(sizeof str)) != 0)) return __stream_fail();
  if (CVR(stream_set(strm, cur, &STREAM_OPS_STR) != 0)) {
    const int32_t st = err_no;
    _free(&cur);
    err_no = st;
    return __stream_fail();
  }
  return err_ok();
}

int bstream_int_set(stream* strm, int32_t n) {
  TMR_SEC();
  rscmng_scp scp;
  int_src* src = nullptr;
  if (CVR(_malloc0(&src, static_cast<int>(sizeof(int_src))) != 0)) return __stream_fail();
  src->val = n;
  if (CVR(stream_set(strm, src, &STREAM_OPS_INT) != 0)) {
    const int32_t st = err_no;
    _free(&src);
    err_no = st;
    return __stream_fail();
  }
  return err_ok();
}
