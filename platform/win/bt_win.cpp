// The system's Find calls as a stack, with the inquiry time kept when they give up early.
#include "platform/win/bt_win.h"

// From here on the names are the system's calls.
#undef BluetoothFindFirstDevice
#undef BluetoothFindNextDevice
#undef BluetoothFindDeviceClose

#include <cstdio>

namespace {

uint64_t tick_ms() { return GetTickCount64(); }

// Each radio by its address: the system has no short name like BlueZ's "hci0".
DWORD sys_rad(std::string& on) {
  on.clear();
  BLUETOOTH_FIND_RADIO_PARAMS p = {sizeof p};
  HANDLE r = nullptr;
  HBLUETOOTH_RADIO_FIND f = BluetoothFindFirstRadio(&p, &r);
  if (f == nullptr) {
    const DWORD e = GetLastError();
    return e == ERROR_SUCCESS ? ERROR_NO_MORE_ITEMS : e;
  }
  int n = 0;
  do {
    BLUETOOTH_RADIO_INFO inf = {};
    inf.dwSize = sizeof inf;
    char nam[24];
    if (BluetoothGetRadioInfo(r, &inf) == ERROR_SUCCESS) {
      const BYTE* b = inf.address.rgBytes;
      std::snprintf(nam, sizeof nam, "%02X:%02X:%02X:%02X:%02X:%02X", b[5], b[4], b[3], b[2], b[1], b[0]);
    } else {
      std::snprintf(nam, sizeof nam, "radio %d", n + 1);
    }
    CloseHandle(r);
    on += (n++ == 0 ? "" : ", ") + std::string(nam);
  } while (BluetoothFindNextRadio(f, &r));
  BluetoothFindRadioClose(f);
  return ERROR_SUCCESS;
}

// The system's message for `e` on one line, without the full stop the caller's sentence
// goes on from; the code too, which is what a search for the message needs.
std::string sys_txt(DWORD e) {
  char* buf = nullptr;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, e, 0, reinterpret_cast<LPSTR>(&buf), 0, nullptr);
  std::string t;
  // Bytes below 0x40 are never the second byte of a double-byte character: safe in any ANSI
  // code page.
  for (DWORD i = 0; i < n; ++i) {
    const char c = buf[i] == '\r' || buf[i] == '\n' || buf[i] == '\t' ? ' ' : buf[i];
    if (c != ' ' || (!t.empty() && t.back() != ' ')) t += c;
  }
  if (buf != nullptr) LocalFree(buf);
  while (!t.empty() && (t.back() == ' ' || t.back() == '.')) t.pop_back();
  const std::string code = "error " + std::to_string(e);
  return t.empty() ? code : t + " (" + code + ")";
}

class fnd_win final : public bt_fnd {
 public:
  fnd_win(const bt_win_api& api, HBLUETOOTH_DEVICE_FIND h, const BLUETOOTH_DEVICE_INFO& fst)
      : api_(api), h_(h), fst_(fst) {}
  ~fnd_win() override { api_.cls(h_); }
  bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
    if (have_fst_) {
      have_fst_ = false;
      const DWORD sz = inf.dwSize;
      inf = fst_;
      inf.dwSize = sz;
      return true;
    }
    BLUETOOTH_DEVICE_INFO d = {};
    d.dwSize = sizeof d;
    if (!api_.nxt(h_, &d)) return false;
    const DWORD sz = inf.dwSize;
    inf = d;
    inf.dwSize = sz;
    return true;
  }

 private:
  bt_win_api api_;
  HBLUETOOTH_DEVICE_FIND h_;
  BLUETOOTH_DEVICE_INFO fst_;
  bool have_fst_ = true;
};

class stk_win final : public bt_stk {
 public:
  explicit stk_win(const bt_win_api& api) : api_(api) {}
  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) override {
    const uint64_t t0 = api_.now_ms();
    BLUETOOTH_DEVICE_INFO inf = {};
    inf.dwSize = sizeof inf;
    BLUETOOTH_DEVICE_SEARCH_PARAMS p = prm;  // the system's declaration takes it writable
    HBLUETOOTH_DEVICE_FIND h = api_.fst(&p, &inf);
    const DWORD fst_err = h == nullptr ? GetLastError() : ERROR_SUCCESS;
    std::string on, why;
    if (h == nullptr) {
      // The search says ERROR_NO_MORE_ITEMS whether it found nothing or had no radio to search
      // with; only the radios tell the two apart.
      const DWORD e = api_.rad(on);
      if (e == ERROR_NO_MORE_ITEMS) {
        why = "no Bluetooth adapter";
      } else if (e != ERROR_SUCCESS) {
        why = sys_txt(e);
      } else if (fst_err != ERROR_NO_MORE_ITEMS && fst_err != ERROR_SUCCESS && fst_err != ERROR_INVALID_PARAMETER) {
        // A refused search with a radio there (a /t above 48) is no missing stack.
        why = sys_txt(fst_err);
      }
    } else if (say_.is_down()) {
      api_.rad(on);
    }
    say(why, on);
    if (h != nullptr) return std::make_unique<fnd_win>(api_, h, inf);
    // Nothing, or a refusal: the rest of the inquiry time passes here.
    const uint64_t took = api_.now_ms() - t0;
    const uint64_t want = bt_win_inq_ms(prm);
    if (took < want) api_.slp_ms(want - took);
    return nullptr;
  }

 private:
  void say(const std::string& why, const std::string& on) {
    if (!why.empty())
      say_.down(why);
    else
      say_.up(on.empty() ? "all radios" : on);
  }

  bt_win_api api_;
  bt_say say_;
};

}  // namespace

bt_win_api bt_win_sys() {
  return {BluetoothFindFirstDevice, BluetoothFindNextDevice, BluetoothFindDeviceClose, sys_rad, tick_ms, bt_slp_ms};
}

uint64_t bt_win_inq_ms(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) {
  if (!prm.fIssueInquiry) return 0;
  const uint64_t units = prm.cTimeoutMultiplier == 0 ? 1 : prm.cTimeoutMultiplier;
  return units * bt_unit_ms();
}

std::unique_ptr<bt_stk> bt_win_mak(const bt_win_api& api) { return std::make_unique<stk_win>(api); }

std::unique_ptr<bt_stk> bt_win_mak() { return bt_win_mak(bt_win_sys()); }
