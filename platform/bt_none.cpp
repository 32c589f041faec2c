// The stack of a machine without a Bluetooth radio.
#include "platform/bt_stk.h"

namespace {

class bt_none final : public bt_stk {
 public:
  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) override {
    // The inquiry time passes as if a radio searched; at least one inquiry unit, so a caller
    // that searches in a loop (with a zero multiplier, say) does not spin.
    const uint64_t units = prm.cTimeoutMultiplier > 0 ? prm.cTimeoutMultiplier : 1;
    bt_slp_ms(units * 1280);
    return nullptr;
  }
};

}  // namespace

std::unique_ptr<bt_stk> bt_none_mak() { return std::make_unique<bt_none>(); }
