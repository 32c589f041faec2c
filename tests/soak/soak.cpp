// The watcher over a long run: devices come and go and change their names, one in ten with a
// hostile name, and every change runs a command through a stand-in program. Every so many passes
// it prints the register's blocks and bytes, the resident size, the open descriptors, the
// children left, the condition reports and the time per pass; with --check it fails (status 1)
// unless all but the time stay flat after the warm-up.
// --churn: hostile churn instead, every device under a new name in every pass (no commands), the
// table held to --max devices (KESTREL_TABLE_MAX): the work per pass (condition reports) must
// stay flat too.
//   soak [--passes N] [--every N] [--devices N] [--churn] [--max N] [--check] STAND_IN
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/dev_chk.h"
#include "app/opt.h"
#include "base/base.h"
#include "base/diag/cvr.h"
#include "platform/bt_stk.h"

namespace {

// Names a device takes in turn; one device in ten has hostile ones.
const std::vector<std::u16string> plain_names = {u"phone", u"Pixel 8", u"スピーカー"};
const std::vector<std::u16string> hostile_names = {
    u"x=ON\n060504030201-evil",  u"q\" \"--injected", u"ends in \\", u"\\\\\"", u"@time@ @@ @",
    u"tab\tcr\resc\x1B[2J",      u"ソ\\", u"髙ⅰ﨑", u"\U0001F600 emoji", std::u16string(300, u'L'),
    u"$(touch /tmp/kestrel-soak-pwned)", u"`id`;|&",
};

struct churn_stk final : bt_stk {
  int devices;
  bool fresh;   // every device under a new name in every pass
  uint64_t pass = 0;
  churn_stk(int n, bool f) : devices(n), fresh(f) {}

  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS&) override {
    ++pass;
    auto f = std::make_unique<fnd>();
    for (int d = 0; fresh && d < devices; ++d) {
      char n[32];
      const int len = std::snprintf(n, sizeof n, "churn %012llx-%03d", static_cast<unsigned long long>(pass), d);
      std::u16string nam(n, n + len);
      BYTE adr[6] = {BYTE(d), BYTE(d >> 8), 0x5C, 0x22, 0xA0, 0xFF};
      f->devs.push_back({});
      BLUETOOTH_DEVICE_INFO& inf = f->devs.back();
      inf.dwSize = sizeof inf;
      bt_inf_set(inf, adr, 0, nam.data(), nam.size());
    }
    for (int d = 0; !fresh && d < devices; ++d) {
      // Device d is away for a few passes out of every d % 17 + 5, paired ones switched off
      // instead, and takes its next name every 29 passes (all of them within 400 passes).
      const uint64_t period = static_cast<uint64_t>(d % 17 + 5);
      const bool away = pass % period < static_cast<uint64_t>(d % 3 + 1);
      const bool paired = d % 4 == 0;
      if (away && !paired) continue;
      const auto& names = d % 10 == 0 ? hostile_names : plain_names;
      const std::u16string& nam = names[(pass / 29 + static_cast<uint64_t>(d)) % names.size()];
      BYTE adr[6] = {BYTE(d), BYTE(d >> 8), 0x5C, 0x22, 0xA0, 0xFF};
      const BYTE flg = paired ? (away ? BT_DEV_REM : BT_DEV_REM | BT_DEV_CON) : 0;
      f->devs.push_back({});
      BLUETOOTH_DEVICE_INFO& inf = f->devs.back();
      inf.dwSize = sizeof inf;
      bt_inf_set(inf, adr, flg, reinterpret_cast<const WCHAR*>(nam.data()), nam.size());
    }
    if (f->devs.empty()) return nullptr;
    return f;
  }

  struct fnd final : bt_fnd {
    std::vector<BLUETOOTH_DEVICE_INFO> devs;
    size_t i = 0;
    bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
      if (i == devs.size()) return false;
      const DWORD sz = inf.dwSize;
      inf = devs[i++];
      inf.dwSize = sz;
      return true;
    }
  };
};

struct figures {
  uint64_t reports = 0;   // condition reports so far: the work done
  size_t blocks = 0;
  uint64_t bytes = 0;
  long rss_kb = 0;
  int fds = 0;
  bool children = false;
};

figures measure() {
  figures f;
  ++dbg_busy;
  test_cvr_walk(nullptr, [](const test_cvr_rcd* r, void* a) {
    static_cast<figures*>(a)->reports += r->count;
    return 0;
  }, &f);
  --dbg_busy;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    auto* x = static_cast<figures*>(a);
    ++x->blocks;
    x->bytes += r->size;
    return 0;
  }, &f);
  if (FILE* s = std::fopen("/proc/self/statm", "r")) {
    long pages = 0, res = 0;
    if (std::fscanf(s, "%ld %ld", &pages, &res) == 2) f.rss_kb = res * (sysconf(_SC_PAGESIZE) / 1024);
    std::fclose(s);
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) f.fds += e->d_name[0] != '.';
    closedir(d);
  }
  int st = 0;
  f.children = !(waitpid(-1, &st, WNOHANG) == -1 && errno == ECHILD);
  return f;
}

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  long passes = 100000, every = 10000, devices = 60, max = DEV_TBL_MAX, rss_slack = 512;
  bool check = false, churn = false;
  const char* stand_in = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--passes" && i + 1 < argc) passes = std::atol(argv[++i]);
    else if (a == "--every" && i + 1 < argc) every = std::atol(argv[++i]);
    else if (a == "--devices" && i + 1 < argc) devices = std::atol(argv[++i]);
    else if (a == "--check") check = true;
    else if (a == "--churn") churn = true;
    else if (a == "--max" && i + 1 < argc) max = std::atol(argv[++i]);
    else if (a == "--rss-slack" && i + 1 < argc) rss_slack = std::atol(argv[++i]);
    else stand_in = argv[i];
  }
  if (stand_in == nullptr || passes < 2 * every || every < 400 || max < 1 || rss_slack < 0) {
    std::fprintf(stderr,
                 "usage: soak [--passes N] [--every N] [--devices N] [--churn] [--max N] [--rss-slack kB] [--check] "
                 "STAND_IN\n");
    return 2;
  }
  // The commands see every placeholder, quoted and not.
  static std::string on, off;
  on = std::string(stand_in) + " /dev/null \"@name@\" @addr@ @onoff@ \"@time@\" @name@";
  off = on;
  opt_rcd = {4, 2, on.c_str(), off.c_str(), 1, churn ? 0 : 1, 1, 1};
  dev_tbl_max_set(static_cast<uint32_t>(max));
  bt_stk_set(std::make_unique<churn_stk>(static_cast<int>(devices), churn));
  // The lines go nowhere: the soak is about what the watcher keeps, not what it prints.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) return 2;

  vmap tbl = {};
  if (vmap_set(&tbl, VMAP_NST) != 0) return 2;
  std::fprintf(stderr, "%10s %8s %10s %9s %5s %8s %12s %12s\n", "passes", "blocks", "bytes", "rss[kB]", "fds",
               "children", "reports/pass", "ms per pass");
  figures warm{};
  figures last{};
  uint64_t warm_rate = 0;
  const char* why = nullptr;   // the first figure that did not stay flat
  double t0 = now_s();
  for (long p = 1; p <= passes; ++p) {
    dev_chk(&tbl);
    if (p % every != 0) continue;
    const figures f = measure();
    const double ms = (now_s() - t0) * 1000.0 / static_cast<double>(every);
    const uint64_t rate = (f.reports - last.reports) / static_cast<uint64_t>(every);
    last = f;
    std::fprintf(stderr, "%10ld %8zu %10llu %9ld %5d %8s %12llu %12.3f\n", p, f.blocks,
                 static_cast<unsigned long long>(f.bytes), f.rss_kb, f.fds, f.children ? "yes" : "none",
                 static_cast<unsigned long long>(rate), ms);
    if (p == every) {
      warm = f;   // the table has every key by now (every must be 400 or more)
    } else if (p == 2 * every) {
      warm_rate = rate;   // the first interval whole after the warm-up
    }
    if (p > every) {
      // Under churn the work per pass must not grow with the names seen: within a tenth.
      if (churn && warm_rate != 0 && rate > warm_rate + warm_rate / 10 && why == nullptr) why = "reports per pass";
      // Only the state texts change size ("ON", "OFF"): a byte per device at the most. The
      // allocator may hold a few pages more or less.
      const uint64_t db = f.bytes > warm.bytes ? f.bytes - warm.bytes : warm.bytes - f.bytes;
      const char* w = f.blocks != warm.blocks                     ? "blocks"
                      : db > static_cast<uint64_t>(3 * devices)   ? "bytes"
                      : f.fds != warm.fds                         ? "descriptors"
                      : f.children                                ? "children"
                      : f.rss_kb > warm.rss_kb + rss_slack        ? "resident size"
                                                                  : nullptr;
      if (why == nullptr) why = w;
    }
    t0 = now_s();
  }
  vmap_end(&tbl);
  bt_stk_set(nullptr);
  if (check && why != nullptr) {
    std::fprintf(stderr, "soak: not flat after the warm-up: %s\n", why);
    return 1;
  }
  return 0;
}
