#include "base/diag/stkptr.h"

#include "base/diag/cvr.h"

namespace {
void* obj_ = nullptr;
stkptr_end_fn rel_ = nullptr;
}  // namespace

void* stkptr(void* obj, stkptr_end_fn release) {
  if (CVR(obj != nullptr)) {
    (void)CVR(obj_ != nullptr);  // an occupied slot is overwritten; only noted
    obj_ = obj;
    rel_ = release;
    return obj;
  }
  void* o = obj_;
  obj_ = nullptr;
  rel_ = nullptr;
  return o;
}
