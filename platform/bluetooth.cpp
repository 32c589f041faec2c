// The Find calls over the chosen stack; the one place that decides which stack runs.
#include "platform/bluetooth.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_set>

#include "platform/bt_stk.h"
#include "platform/sig.h"

namespace {

struct bt_ste {
  std::unique_ptr<bt_stk> stk;
  std::unordered_set<bt_fnd*> fnd;  // open searches: a handle is valid only while listed here
};

// Never destroyed: exit handlers may still search after the static destructors ran.
bt_ste& ste() {
  static bt_ste& s = *new bt_ste;
  return s;
}

bt_stk& stk() {
  bt_ste& s = ste();
  if (!s.stk) {
    const char* pth = std::getenv("KESTREL_BT_SIM");
#ifdef _WIN32
    s.stk = pth != nullptr && *pth != '\0' ? bt_sim_mak(pth) : bt_win_mak();
#else
    s.stk = pth != nullptr && *pth != '\0' ? bt_sim_mak(pth) : bt_bluez_mak();
#endif
  }
  return *s.stk;
}

bool inf_ok(const BLUETOOTH_DEVICE_INFO* inf) {
  return inf != nullptr && inf->dwSize == sizeof(BLUETOOTH_DEVICE_INFO);
}

// Whether the search asked for a device like the one in `inf`.
bool wnt(const BLUETOOTH_DEVICE_SEARCH_PARAMS& p, const BLUETOOTH_DEVICE_INFO& inf) {
  return (p.fReturnAuthenticated && inf.fAuthenticated) || (p.fReturnRemembered && inf.fRemembered) ||
         (p.fReturnConnected && inf.fConnected) ||
         (p.fReturnUnknown && !inf.fRemembered && !inf.fAuthenticated);
}

// A search that hands out only the devices its parameters ask for.
class fnd_flt final : public bt_fnd {
 public:
  fnd_flt(std::unique_ptr<bt_fnd> src, const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm)
      : src_(std::move(src)), prm_(prm) {}
  bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
    while (src_->nxt(inf)) {
      if (wnt(prm_, inf)) return true;
    }
    return false;
  }

 private:
  std::unique_ptr<bt_fnd> src_;
  BLUETOOTH_DEVICE_SEARCH_PARAMS prm_;
};

}  // namespace

void bt_stk_set(std::unique_ptr<bt_stk> s) {
  bt_ste& st = ste();
  for (bt_fnd* f : st.fnd) delete f;
  st.fnd.clear();
  st.stk = std::move(s);
}

uint64_t bt_unit_ms() {
  static const uint64_t ms = [] {
    const char* v = std::getenv("KESTREL_BT_UNIT_MS");
    if (v == nullptr) return uint64_t{1280};
    char* end = nullptr;
    const unsigned long long n = std::strtoull(v, &end, 10);
    return *end == '\0' && n >= 1 && n <= 1280 ? uint64_t{n} : uint64_t{1280};
  }();
  return ms;
}

void bt_slp_ms(uint64_t ms) {
  sig_chk();
  if (ms == 0) return;  // even a past deadline would cost the timer slack
#ifdef _WIN32
  // Sleep is cut short by nothing: in steps, to see a request to end (it comes on another
  // thread) within a tenth of a second.
  for (; ms > 100; ms -= 100) {
    Sleep(100);
    sig_chk();
  }
  Sleep(static_cast<DWORD>(ms));
  sig_chk();
#else
  // Against an absolute deadline, so a signal cannot stretch or cut the wait.
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += static_cast<time_t>(ms / 1000);
  end.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (end.tv_nsec >= 1000000000L) end.tv_sec += 1, end.tv_nsec -= 1000000000L;
  // A request to end the program cuts it short: the program ends here, not after a search
  // that would report nothing.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) sig_chk();
#endif
}

void bt_inf_set(BLUETOOTH_DEVICE_INFO& inf, const BYTE (&adr)[6], BYTE flg, const char16_t* nam,
                size_t nam_len) {
  static_assert(sizeof(WCHAR) == sizeof(char16_t));
  const DWORD sz = inf.dwSize;
  std::memset(&inf, 0, sizeof inf);
  inf.dwSize = sz;
  std::memcpy(inf.Address.rgBytes, adr, sizeof adr);
  inf.fConnected = (flg & BT_DEV_CON) != 0;
  inf.fRemembered = (flg & BT_DEV_REM) != 0;
  inf.fAuthenticated = (flg & BT_DEV_AUT) != 0;
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  SYSTEMTIME& t = inf.stLastSeen;
  t.wYear = static_cast<WORD>(tm.tm_year + 1900);
  t.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  t.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  t.wDay = static_cast<WORD>(tm.tm_mday);
  t.wHour = static_cast<WORD>(tm.tm_hour);
  t.wMinute = static_cast<WORD>(tm.tm_min);
  t.wSecond = static_cast<WORD>(tm.tm_sec);
  if (inf.fConnected) inf.stLastUsed = t;
  if (nam_len > BLUETOOTH_MAX_NAME_SIZE - 1) nam_len = BLUETOOTH_MAX_NAME_SIZE - 1;
  std::memcpy(inf.szName, nam, nam_len * sizeof(WCHAR));
}

HBLUETOOTH_DEVICE_FIND BluetoothFindFirstDevice(const BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                                BLUETOOTH_DEVICE_INFO* pbtdi) {
  // A record of another size comes from another build of the API: refuse it before searching.
  if (pbtsp == nullptr || pbtsp->dwSize != sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) || !inf_ok(pbtdi)) {
    return nullptr;
  }
  std::unique_ptr<bt_fnd> src = stk().srch(*pbtsp);
  if (!src) return nullptr;
  auto f = std::make_unique<fnd_flt>(std::move(src), *pbtsp);
  if (!f->nxt(*pbtdi)) return nullptr;
  ste().fnd.insert(f.get());
  return f.release();
}

BOOL BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi) {
  auto* f = static_cast<bt_fnd*>(hFind);
  if (ste().fnd.count(f) == 0 || !inf_ok(pbtdi)) return FALSE;
  return f->nxt(*pbtdi) ? TRUE : FALSE;
}

BOOL BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind) {
  auto* f = static_cast<bt_fnd*>(hFind);
  if (ste().fnd.erase(f) == 0) return FALSE;
  delete f;
  return TRUE;
}

void bt_say::down(const std::string& why) {
  if (ste_ != ste::down) {
    std::fprintf(stderr,
                 "kestrel: Bluetooth unavailable: %s. Each pass waits the inquiry time and looks again; "
                 "set KESTREL_BT_SIM to a scenario file to watch a simulated stack instead.\n",
                 why.c_str());
    std::fflush(stderr);
  }
  ste_ = ste::down;
}

void bt_say::up(const std::string& on) {
  if (ste_ == ste::down) {
    std::fprintf(stderr, "kestrel: Bluetooth available again: searching on %s.\n", on.c_str());
    std::fflush(stderr);
  }
  ste_ = ste::up;
}

std::string bt_quo(const char* s, size_t n, size_t max) {
  std::string r = "\"";
  for (size_t i = 0; i < n && i < max; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      r += static_cast<char>(c);
    } else {
      char e[8];
      std::snprintf(e, sizeof e, "\\x%02X", c);
      r += e;
    }
  }
  if (n > max) r += "...";
  return r + "\"";
}
