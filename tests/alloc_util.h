// Every heap call of a run failing in turn, the library's own blocks and the diagnostics'
// alike: the run must end with a failure status (-1, or a more specific one that was set
// first, such as the 0x80000001 of a refused push into a buffer that could not grow) or absorb
// the failure and come out as the clean run does, give every block back, and not crash.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "base/base.h"

namespace tu {

// What a run came to: its status and whatever it made, written out.
using outcome = std::pair<int32_t, std::string>;

// Blocks the library holds (unscoped registrations; files it keeps open aside).
inline size_t lib_blocks() {
  size_t n = 0;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    if (r->lvl == 0 && std::string(r->about) != "fopen") ++*static_cast<size_t*>(a);
    return 0;
  }, &n);
  return n;
}

// Runs fn with its k-th heap call failing, for k = 1, 2, ... until a run makes fewer than k.
// Returns how many runs ended with a failure status.
inline int every_heap_call(const std::function<outcome()>& fn, const std::string& what) {
  err_no = 0;
  const outcome base = fn();
  EXPECT_EQ(base.first, 0) << what << " must succeed without failures";
  int failed = 0;
  for (uint64_t k = 1;; ++k) {
    const size_t before = lib_blocks();
    err_no = 0;
    const uint64_t c0 = heap_cnt();
    heap_fail_set(k);
    const outcome got = fn();
    heap_fail_set(0);
    const bool fired = heap_cnt() - c0 >= k;
    EXPECT_EQ(lib_blocks(), before) << what << ": blocks left with heap call " << k << " failing";
    if (!fired) {
      EXPECT_EQ(got, base) << what << ": the run without a failure";
      std::printf("%s: %llu heap calls, %d of them failing the run with its status\n", what.c_str(),
                  static_cast<unsigned long long>(k - 1), failed);
      break;
    }
    if (err_code(got.first) != 0) {
      ++failed;
    } else {
      EXPECT_EQ(got, base) << what << ": heap call " << k << " failed, the run went on and must then change nothing";
    }
  }
  return failed;
}

}  // namespace tu
