#include "base/diag/malloc.h"

#include <cstdlib>
#include <cstring>

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/heap.h"
#include "base/diag/rscmng.h"
#include "base/diag/tmr.h"

int _malloc(void** out, int size) {
  // A negative size is no size: it must fail, not wrap into a huge request.
  void* p = CVR(size >= 0) ? heap_alc(static_cast<size_t>(size)) : nullptr;
  *out = rscmng_psh(nullptr, p, static_cast<uint32_t>(size), 0, __FILE__, __LINE__, "_malloc",
                    "malloc");
  if (CVR(*out == nullptr)) {
    err_no = ERR_FAIL;
    return err_no;
  }
  return err_ok();
}

int _malloc0(void** out, int size) {
  {
    rscmng_scp scp;
    if (CVR(_malloc(out, size) != 0)) return err_fail();
  }
  std::memset(*out, 0, static_cast<size_t>(size));
  return err_ok();
}

int _malloc_cpy(void** out, const void* src, int size) {
  TMR_SEC();
  {
    rscmng_scp scp;
    if (CVR(_malloc(out, size) != 0)) return err_fail();
  }
  // An empty copy may come without a source at all.
  if (CVR(size > 0)) std::memcpy(*out, src, static_cast<size_t>(size));
  return err_ok();
}

int _malloc_str(char** out, const char* str) {
  TMR_SEC();
  if (CVR(str == nullptr)) {
    *out = nullptr;
    return err_no;
  }
  const size_t n = std::strlen(str);
  void* p = nullptr;
  {
    rscmng_scp scp;
    // The copy's size must fit the registered size word.
    if (CVR(n >= 0x7FFFFFFFu || _malloc(&p, static_cast<int>(n + 1)) != 0)) {
      *out = nullptr;
      return err_fail();
    }
  }
  std::memcpy(p, str, n + 1);
  *out = static_cast<char*>(p);
  return err_ok();
}

void _free(void** pp) {
  if (CVR(pp != nullptr && *pp != nullptr)) {
    TMR_SEC();
    rscmng_del(nullptr, *pp, 0, __FILE__, __LINE__, "_free", "free");
    heap_fre(*pp);
  }
}
