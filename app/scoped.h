#pragma once
#include "base/diag/rscmng.h"

// Runs one library call inside a resource-manager scope of its own.
template <class F>
auto scoped(F&& f) {
  rscmng_scp scp;
  return f();
}
