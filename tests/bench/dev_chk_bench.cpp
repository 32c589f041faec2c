// One presence pass (enumeration and sweep, every device reported, no commands) over tables of
// 10 to 100,000 devices, against the same work done with a std::map in plain C++.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "bench/instr_count.h"
#include "app/dev_chk.h"
#include "app/opt.h"
#include "base/base.h"
#include "platform/bluetooth.h"
#include "platform/bt_stk.h"
#include "platform/crt_text.h"

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

// Standard output goes to the null device for the life of the object.
struct quiet {
  FILE* saved = stdout;
  quiet() { stdout = std::fopen("/dev/null", "w"); }
  ~quiet() {
    std::fclose(stdout);
    stdout = saved;
  }
};

void BM_dev_chk(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  opt_rcd = {4, 3, "", "", 1, 0, 0, 0};
  bt_stk_set(std::make_unique<bench_stk>(n));
  quiet q;
  vmap tbl = {};
  vmap_set(&tbl, VMAP_NST);
  dev_chk(&tbl);  // every device becomes an entry
  for (auto _ : st) dev_chk(&tbl);
  // What one pass makes the instrumentation do, per device.
  bench::instr_per(st, "device", n, [&] { dev_chk(&tbl); });
  vmap_end(&tbl);
  bt_stk_set(nullptr);
  st.counters["devices"] = n;
}

// The same pass in a few lines of plain C++: the same search, the same key, the same states.
struct ent {
  bool on;
  bool chk;
  int32_t cnt;
};

void base_pass(std::map<std::string, ent>& m, int32_t c) {
  BLUETOOTH_DEVICE_SEARCH_PARAMS sp = {};
  sp.dwSize = sizeof sp;
  sp.fReturnAuthenticated = sp.fReturnRemembered = sp.fReturnUnknown = sp.fReturnConnected = TRUE;
  sp.fIssueInquiry = TRUE;
  sp.cTimeoutMultiplier = 4;
  BLUETOOTH_DEVICE_INFO inf = {};
  inf.dwSize = sizeof inf;
  if (HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&sp, &inf); h != nullptr) {
    do {
      char nam[243];
      char key[256];
      const BYTE* b = inf.Address.rgBytes;
      crt_ls_cnv(nam, sizeof nam, inf.szName, BLUETOOTH_MAX_NAME_SIZE);
      std::snprintf(key, sizeof key, "%02X%02X%02X%02X%02X%02X-%s", b[0], b[1], b[2], b[3], b[4], b[5], nam);
      const bool present = inf.fConnected || !inf.fRemembered;
      auto it = m.find(key);
      if (present) {
        if (it == m.end()) {
          m.emplace(key, ent{true, true, c});
          std::printf("%s=ON\n", key);
        } else {
          if (!it->second.on) std::printf("%s=ON\n", key);
          it->second = {true, true, c};
        }
      } else if (it != m.end()) {
        if (it->second.on && it->second.cnt > 0) {
          --it->second.cnt;
        } else if (it->second.on) {
          it->second.on = false;
          std::printf("%s=OFF\n", key);
        }
        it->second.chk = true;
      }
    } while (BluetoothFindNextDevice(h, &inf));
    BluetoothFindDeviceClose(h);
  }
  for (auto& [k, e] : m) {
    if (e.chk) {
      e.chk = false;
    } else if (e.on && e.cnt > 0) {
      --e.cnt;
    } else if (e.on) {
      e.on = false;
      std::printf("%s=OFF\n", k.c_str());
    }
  }
}

void BM_dev_chk_base(benchmark::State& st) {
  const int n = static_cast<int>(st.range(0));
  bt_stk_set(std::make_unique<bench_stk>(n));
  quiet q;
  std::map<std::string, ent> m;
  base_pass(m, 3);
  for (auto _ : st) base_pass(m, 3);
  bt_stk_set(nullptr);
  st.counters["devices"] = n;
}

// Each repetition builds its table anew: fewer of them for the largest.
#define PASS_ROWS(n, name, reps)                                                              \
  BENCHMARK(BM_dev_chk)->Name("dev_chk pass, " name " devices/kestrel")->Arg(n)->Repetitions(reps) \
      ->Unit(benchmark::kMillisecond);                                                        \
  BENCHMARK(BM_dev_chk_base)->Name("dev_chk pass, " name " devices/baseline")->Arg(n)          \
      ->Repetitions(reps)->Unit(benchmark::kMillisecond)
PASS_ROWS(10, "10", 5);
PASS_ROWS(1000, "1,000", 5);
PASS_ROWS(10000, "10,000", 5);
PASS_ROWS(100000, "100,000", 3);

}  // namespace
