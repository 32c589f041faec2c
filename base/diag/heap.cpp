#include "base/diag/heap.h"

#include <cstdlib>

#include "base/diag/cvr.h"

namespace {

uint64_t alc_cnt = 0;
uint64_t fail_at = 0;   // the count at which an allocation fails; 0 = none (counts start at 1)

// Counts one allocation; true when this is the one to fail, which it does once. No branch
// of its own: its callers report the outcome.
inline bool alc_fails() {
  const bool f = ++alc_cnt == fail_at;
  fail_at *= static_cast<uint64_t>(!f);
  return f;
}

constexpr heap_ops RUNTIME = {std::malloc, std::calloc, std::realloc, std::free};
const heap_ops* ops_ = &RUNTIME;

}  // namespace

void* heap_alc(size_t n) {
  if (CVR(alc_fails())) return nullptr;
  return ops_->alc(n);
}

void* heap_alc0(size_t cnt, size_t siz) {
  if (CVR(alc_fails())) return nullptr;
  return ops_->alc0(cnt, siz);
}

void* heap_rea(void* p, size_t n) {
  if (CVR(alc_fails())) return nullptr;
  return ops_->rea(p, n);
}

void heap_fre(void* p) { ops_->fre(p); }

void heap_ops_set(const heap_ops* ops) { ops_ = CVR(ops != nullptr) ? ops : &RUNTIME; }

void heap_fail_set(uint64_t k) {
  if (CVR(k == 0)) {
    fail_at = 0;
  } else {
    fail_at = alc_cnt + k;
  }
}

uint64_t heap_cnt() { return alc_cnt; }
