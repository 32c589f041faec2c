// The stack of a machine without a Bluetooth radio.
#include <cstdio>

#include "platform/bt_stk.h"

namespace {

class bt_none final : public bt_stk {
 public:
  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) override {
    // The inquiry time passes as if a radio searched; at least one inquiry unit, so a caller
    // that searches in a loop (with a zero multiplier, say) does not spin.
    const uint64_t units = prm.cTimeoutMultiplier > 0 ? prm.cTimeoutMultiplier : 1;
    if (!told_) {
      // Otherwise nothing would tell "no devices nearby" from "no Bluetooth at all".
      std::fprintf(stderr,
                   "kestrel: no Bluetooth stack can be used here: every search waits %.2f s and finds "
                   "nothing. To watch a simulated stack instead, set KESTREL_BT_SIM to a scenario file "
                   "(see examples/demo.scn).\n",
                   static_cast<double>(units * bt_unit_ms()) / 1000);
      std::fflush(stderr);
      told_ = true;
    }
    bt_slp_ms(units * bt_unit_ms());
    return nullptr;
  }

 private:
  bool told_ = false;
};

}  // namespace

std::unique_ptr<bt_stk> bt_none_mak() { return std::make_unique<bt_none>(); }
