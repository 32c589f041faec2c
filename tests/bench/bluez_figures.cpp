// Figures of kestrel on BlueZ, measured against the BlueZ mock on a private bus (no radio):
//   1. the time from a paired device's connection to its ON line, at the real inquiry unit;
//   2. kestrel's CPU time per pass, and its resident memory after 100 and N (1,000) passes,
//      with 50 devices in range (each heard at every pass);
//   3. the time of a pass at the real inquiry unit, without paging and with two paged targets
//      that never answer (the stack in this process, its sockets a stand-in that waits out each
//      page's deadline as a radio whose page goes unanswered does).
// Not a test: it prints what it measured. Run it from a build with benchmarks:
//   build/rel/tests/bench/bluez_figures [trials [N]]
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/run_prog.h"
#include "bz_mock.h"
#include "platform/bt_bluez.h"
#include "platform/bt_stk.h"
#include "test_util.h"

namespace {

// kestrel's standard output, line by line as it comes.
class lines {
 public:
  explicit lines(int fd) : fd_(fd) {}
  // The next line, or "" after `ms` without one.
  std::string next(int ms) {
    const int64_t end = tu::now_ms() + ms;
    for (;;) {
      const size_t lf = buf_.find('\n');
      if (lf != std::string::npos) {
        std::string l = buf_.substr(0, lf + 1);
        buf_.erase(0, lf + 1);
        return l;
      }
      const int64_t left = end - tu::now_ms();
      pollfd p = {fd_, POLLIN, 0};
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return "";
      char b[4096];
      const ssize_t n = read(fd_, b, sizeof b);
      if (n <= 0) return "";
      buf_.append(b, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buf_;
};

// User + system CPU seconds and resident kB of a running process.
double cpu_s(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string s((std::istreambuf_iterator<char>(f)), {});
  std::istringstream in(s.substr(s.rfind(')') + 2));
  std::string tok;
  unsigned long long ut = 0, st = 0;
  for (int i = 3; i <= 15; ++i) {
    in >> tok;
    if (i == 14) ut = std::stoull(tok);
    if (i == 15) st = std::stoull(tok);
  }
  return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long rss_kb(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string l;
  while (std::getline(f, l))
    if (l.rfind("VmRSS:", 0) == 0) return std::atol(l.c_str() + 6);
  return -1;
}

std::string adr_of(int i) {
  char t[24];
  std::snprintf(t, sizeof t, "00:11:22:33:%02X:%02X", (i >> 8) & 0xFF, i & 0xFF);
  return t;
}

std::vector<std::string> env(const tu::bz_mock& bz, const tu::tmp_dir& dir, const char* unit_ms) {
  std::vector<std::string> e = {bz.env(), "KESTREL_BT_SIM=", "BAS_TMR_PATH=" + dir.file("t.txt"),
                                "BAS_MEMLOG_PATH=" + dir.file("m.log"), "BAS_MEMLLOG_PATH=" + dir.file("l.log")};
  if (unit_ms != nullptr) e.push_back(std::string("KESTREL_BT_UNIT_MS=") + unit_ms);
  return e;
}

// Sockets that never connect: a pipe's read end, never writable and, with its write end kept
// open, never hung up, so the wait runs to its deadline in a real poll.
std::map<int, int> pipe_w;  // read end -> write end
const bt_l2_api ABSENT = {
    [] {
      int p[2];
      if (pipe2(p, O_CLOEXEC) != 0) return -errno;
      pipe_w[p[0]] = p[1];
      return p[0];
    },
    [](int, const BYTE(&)[6]) { return 0; },
    [](int, const BYTE(&)[6], uint16_t) { return -EINPROGRESS; },
    [](int fd, int ms) {
      pollfd p = {fd, POLLOUT, 0};
      const int r = poll(&p, 1, ms);
      return r >= 0 ? r : -errno;
    },
    [](int) { return ETIMEDOUT; },
    [](int fd) {
      close(pipe_w[fd]);
      pipe_w.erase(fd);
      close(fd);
    },
};

// Seconds per search of the default inquiry, the stack in this process, over `n` searches.
double pass_s(const char* page, int n) {
  if (page != nullptr) setenv("KESTREL_BT_PAGE", page, 1);
  else unsetenv("KESTREL_BT_PAGE");
  bt_stk_set(bt_bluez_mak(ABSENT));
  BLUETOOTH_DEVICE_SEARCH_PARAMS p{};
  p.dwSize = sizeof p;
  p.fReturnAuthenticated = p.fReturnRemembered = p.fReturnUnknown = p.fReturnConnected = TRUE;
  p.fIssueInquiry = TRUE;
  p.cTimeoutMultiplier = 4;
  BLUETOOTH_DEVICE_INFO inf{};
  inf.dwSize = sizeof inf;
  const int64_t t0 = tu::now_ms();
  for (int i = 0; i < n; ++i)
    if (HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf); h != nullptr) BluetoothFindDeviceClose(h);
  bt_stk_set(nullptr);
  return static_cast<double>(tu::now_ms() - t0) / 1000 / n;
}

int fail(const std::string& why) {
  std::fprintf(stderr, "bluez_figures: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int trials = std::max(1, argc > 1 ? std::atoi(argv[1]) : 8);
  const int passes = std::max(200, argc > 2 ? std::atoi(argv[2]) : 1000);
  tu::tmp_dir dir;

  // 1. Connection to ON line, with the default inquiry (4 x 1.28 s per pass).
  std::vector<double> lat;
  {
    tu::bz_mock bz;
    if (!bz.ok() || !bz.add_adapter("hci0")) return fail(bz.err());
    for (int i = 0; i < trials; ++i)
      if (!bz.add_dev("hci0", adr_of(i), "dev" + std::to_string(i)) || !bz.pair("hci0", adr_of(i)))
        return fail(bz.err());
    tu::spawned_prog k = tu::spawn_prog({}, env(bz, dir, nullptr));
    if (k.pid <= 0 || !bz.wait_passes("hci0", 1)) return fail("kestrel did not start searching");
    lines out(k.out);
    std::mt19937 rnd(42);
    for (int i = 0; i < trials; ++i) {
      // At a moment of the pass that has nothing to do with it.
      usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 5120)(rnd)) * 1000);
      const int64_t t0 = tu::now_ms();
      if (!bz.connect("hci0", adr_of(i))) return fail(bz.err());
      const std::string l = out.next(30000);
      if (l.find("=ON") == std::string::npos) return fail("no ON line: " + l);
      lat.push_back(static_cast<double>(tu::now_ms() - t0) / 1000);
    }
    kill(k.pid, SIGKILL);
    waitpid(k.pid, nullptr, 0);
  }

  // 2. Passes with 50 devices in range, short inquiry units so that 1,000 passes take a minute.
  constexpr int DEVS = 50;
  const char* unit = "10";
  double cpu100 = 0, cpu_n = 0, sec = 0;
  long rss100 = 0, rss_n = 0;
  int on = 0;
  {
    tu::bz_mock bz;
    if (!bz.ok() || !bz.add_adapter("hci0")) return fail(bz.err());
    for (int i = 0; i < DEVS; ++i) {
      if (!bz.add_dev("hci0", adr_of(i), "device " + std::to_string(i))) return fail(bz.err());
      bz.in_range("hci0", adr_of(i), true);
    }
    tu::spawned_prog k = tu::spawn_prog({}, env(bz, dir, unit));
    if (k.pid <= 0 || !bz.wait_passes("hci0", 100, 120000)) return fail("kestrel did not search");
    cpu100 = cpu_s(k.pid), rss100 = rss_kb(k.pid);
    const int64_t t0 = tu::now_ms();
    if (!bz.wait_passes("hci0", passes, passes * 1000)) return fail("kestrel stopped searching");
    cpu_n = cpu_s(k.pid), rss_n = rss_kb(k.pid);
    sec = static_cast<double>(tu::now_ms() - t0) / 1000;
    lines out(k.out);
    for (std::string l; !(l = out.next(100)).empty();) on += l.find("=ON") != std::string::npos;
    kill(k.pid, SIGKILL);
    waitpid(k.pid, nullptr, 0);
  }

  // 3. A pass with two absent paging targets, against one without paging.
  constexpr int PAGED_PASSES = 3;
  double plain = 0, paged = 0;
  {
    tu::bz_mock bz;
    if (!bz.ok() || !bz.add_adapter("hci0")) return fail(bz.err());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bz.addr().c_str(), 1);
    unsetenv("KESTREL_BT_UNIT_MS");
    unsetenv("KESTREL_BT_REST");
    plain = pass_s(nullptr, PAGED_PASSES);
    paged = pass_s("5C:E9:1E:07:B4:C1,5C:E9:1E:07:B4:C2", PAGED_PASSES);
  }

  std::sort(lat.begin(), lat.end());
  std::printf("connection to ON line, /t default (4 x 1.28 s), %d trials: min %.2f s, median %.2f s, max %.2f s\n",
              trials, lat.front(), lat[lat.size() / 2], lat.back());
  std::printf("%d devices in range, KESTREL_BT_UNIT_MS=%s: %d ON lines; passes 100 to %d took %.1f s\n", DEVS,
              unit, on, passes, sec);
  std::printf("CPU time per pass (passes 100 to %d): %.3f ms\n", passes, (cpu_n - cpu100) * 1000 / (passes - 100));
  std::printf("resident memory: %ld kB after 100 passes, %ld kB after %d passes\n", rss100, rss_n, passes);
  std::printf("pass time, /t default, mean of %d: %.2f s without paging, %.2f s with two absent paging targets\n",
              PAGED_PASSES, plain, paged);
  return 0;
}
