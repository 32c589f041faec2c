// One presence pass (enumeration and sweep) over a table of 10, 1,000 and 10,000 devices,
// all reported by a stack that answers at once; and the heap a device entry takes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/dev_chk.h"
#include "app/opt.h"
#include "base/base.h"
#include "platform/bt_stk.h"

namespace {

// Reports the same n devices on every search, half of them paired and connected.
class bench_stk final : public bt_stk {
 public:
  explicit bench_stk(int n) : n_(n) {}
  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS&) override {
    return std::make_unique<fnd>(n_);
  }

 private:
  class fnd final : public bt_fnd {
   public:
    explicit fnd(int n) : n_(n) {}
    bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
      if (i_ == n_) return false;
      const BYTE adr[6] = {BYTE(i_), BYTE(i_ >> 8), BYTE(i_ >> 16), 0x1A, 0x2B, 0x3C};
      char name[32];
      const int len = std::snprintf(name, sizeof name, "device %d", i_);
      WCHAR w[32];
      for (int k = 0; k < len; ++k) w[k] = static_cast<WCHAR>(name[k]);
      bt_inf_set(inf, adr, i_ % 2 == 0 ? BT_DEV_CON | BT_DEV_REM : 0, w, static_cast<size_t>(len));
      ++i_;
      return true;
    }

   private:
    int n_;
    int i_ = 0;
  };
  int n_;
};

uint64_t registered_bytes() {
  uint64_t sum = 0;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    if (r->lvl == 0) *static_cast<uint64_t*>(a) += r->size;
    return 0;
  }, &sum);
  return sum;
}

long long now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void BM_dev_chk_pass(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  opt_rcd = {4, 3, "", "", 1, 0, 0, 0};
  bt_stk_set(std::make_unique<bench_stk>(n));
  FILE* saved = stdout;
  stdout = std::fopen("/dev/null", "w");
  vmap tbl = {};
  vmap_set(&tbl, VMAP_NST);
  const uint64_t before = registered_bytes();
  dev_chk(&tbl);  // every device becomes an entry
  const double per_dev = static_cast<double>(registered_bytes() - before) / n;
  std::vector<double> us;
  for (auto _ : st) {
    const long long t0 = now_ns();
    dev_chk(&tbl);
    us.push_back((now_ns() - t0) / 1000.0);
  }
  vmap_end(&tbl);
  std::fclose(stdout);
  stdout = saved;
  bt_stk_set(nullptr);
  std::sort(us.begin(), us.end());
  st.counters["median_us"] = us[us.size() / 2];
  st.counters["heap_bytes_per_device"] = per_dev;
}
BENCHMARK(BM_dev_chk_pass)->Arg(10)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_dev_chk_pass)->Arg(10000)->Iterations(21)->Unit(benchmark::kMicrosecond);

}  // namespace
