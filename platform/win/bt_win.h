// The Bluetooth stack of a Windows machine: the system's own Find calls (bthprops).
//
// One search is one BluetoothFindFirstDevice with the caller's parameters, then Next until
// the system has no more, then Close. A search that asks for an inquiry takes the inquiry
// time (cTimeoutMultiplier x 1.28 s, at least one unit) even when the system gives up at once
// (no radio, or a multiplier above 48, which the system refuses): a watcher that searches
// pass after pass would otherwise spin at full speed and count every device down to OFF
// within milliseconds.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/bt_stk.h"

// The system calls a stack uses, and its clock and sleep: the system's by default.
struct bt_win_api {
  HBLUETOOTH_DEVICE_FIND(WINAPI* fst)(BLUETOOTH_DEVICE_SEARCH_PARAMS*, BLUETOOTH_DEVICE_INFO*);
  BOOL(WINAPI* nxt)(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO*);
  BOOL(WINAPI* cls)(HBLUETOOTH_DEVICE_FIND);
  uint64_t (*now_ms)();       // a monotonic clock
  void (*slp_ms)(uint64_t);   // sleeps that long
};
bt_win_api bt_win_sys();

// The milliseconds a search with these parameters must take at least.
uint64_t bt_win_inq_ms(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm);

std::unique_ptr<bt_stk> bt_win_mak(const bt_win_api& api);
