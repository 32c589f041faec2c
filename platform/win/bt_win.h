// The Bluetooth stack of a Windows machine: the system's own Find calls (bthprops).
//
// One search is one BluetoothFindFirstDevice with the caller's parameters, then Next until
// the system has no more, then Close. A search that asks for an inquiry takes the inquiry
// time (cTimeoutMultiplier x 1.28 s, at least one unit) even when the system gives up at once
// (no radio, or a multiplier above 48, which the system refuses): a watcher that searches
// pass after pass would otherwise spin at full speed and count every device down to OFF
// within milliseconds.
//
// A search that fails for want of a radio, or with an error of the system's, says why on
// standard error, in the words of the Linux stack: once when the stack becomes unusable, and
// once more when it searches again. Finding nothing with a radio there is no failure.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/bt_stk.h"

// The system calls a stack uses, and its clock and sleep: the system's by default. The Find
// calls leave their error in GetLastError, as the system's do.
struct bt_win_api {
  HBLUETOOTH_DEVICE_FIND(WINAPI* fst)(BLUETOOTH_DEVICE_SEARCH_PARAMS*, BLUETOOTH_DEVICE_INFO*);
  BOOL(WINAPI* nxt)(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO*);
  BOOL(WINAPI* cls)(HBLUETOOTH_DEVICE_FIND);
  // The radios: ERROR_SUCCESS and their names ("AA:BB:CC:DD:EE:FF, ...") in `on`, or the
  // system's error; ERROR_NO_MORE_ITEMS when there is none.
  DWORD (*rad)(std::string& on);
  uint64_t (*now_ms)();       // a monotonic clock
  void (*slp_ms)(uint64_t);   // sleeps that long
};
bt_win_api bt_win_sys();

// The milliseconds a search with these parameters must take at least.
uint64_t bt_win_inq_ms(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm);

std::unique_ptr<bt_stk> bt_win_mak(const bt_win_api& api);
