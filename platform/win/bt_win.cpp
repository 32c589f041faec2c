// The system's Find calls as a stack, with the inquiry time kept when they give up early.
#include "platform/win/bt_win.h"

// From here on the names are the system's calls.
#undef BluetoothFindFirstDevice
#undef BluetoothFindNextDevice
#undef BluetoothFindDeviceClose

namespace {

uint64_t tick_ms() { return GetTickCount64(); }

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
    if (h != nullptr) return std::make_unique<fnd_win>(api_, h, inf);
    // Nothing, or a refusal: the rest of the inquiry time passes here.
    const uint64_t took = api_.now_ms() - t0;
    const uint64_t want = bt_win_inq_ms(prm);
    if (took < want) api_.slp_ms(want - took);
    return nullptr;
  }

 private:
  bt_win_api api_;
};

}  // namespace

bt_win_api bt_win_sys() {
  return {BluetoothFindFirstDevice, BluetoothFindNextDevice, BluetoothFindDeviceClose, tick_ms, bt_slp_ms};
}

uint64_t bt_win_inq_ms(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) {
  if (!prm.fIssueInquiry) return 0;
  const uint64_t units = prm.cTimeoutMultiplier == 0 ? 1 : prm.cTimeoutMultiplier;
  return units * bt_unit_ms();
}

std::unique_ptr<bt_stk> bt_win_mak(const bt_win_api& api) { return std::make_unique<stk_win>(api); }

std::unique_ptr<bt_stk> bt_win_mak() { return bt_win_mak(bt_win_sys()); }
