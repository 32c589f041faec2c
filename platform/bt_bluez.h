// The Bluetooth stack of a Linux machine: BlueZ (bluetoothd) on the system bus, through sd-bus.
//
// One search: every adapter gets the discovery filter for classic Bluetooth ("bredr", as the
// Windows search covers only that) and a discovery, the bus is served for the inquiry time,
// then discovery stops. Reported: every paired device, with its connected flag; every other
// device that is connected or was seen during this search's window (added, or its RSSI
// changed, while discovery ran). A device BlueZ merely keeps from an earlier search is not,
// nor an unpaired one with a random (LE) address, which another program's scan may have found.
//
// No bus, no bluetoothd or no adapter: the search waits the inquiry time and finds nothing;
// the next one starts again from a fresh look at the bus (a new connection if the old one
// broke). The stack says so on standard error once when it becomes unusable and once when it
// is back, never once per search.
#pragma once
#include <string>

#include "platform/bluetooth.h"

// "AA:BB:CC:DD:EE:FF" (hex digits of either case) into least-significant-first bytes:
// rgBytes[0] = 0xFF. False, with `adr` untouched, when the text is not of that form.
bool bt_bz_adr(const char* txt, BYTE (&adr)[6]);

// A UTF-8 device name as the device record holds it: UTF-16, at most
// BLUETOOTH_MAX_NAME_SIZE - 1 units, cut before the first character that would not fit (a
// surrogate pair is never split). Each maximal ill-formed piece of the input (a stray byte, a
// cut-short sequence, an encoded surrogate, an overlong form) becomes one U+FFFD, which the
// console shows as '?'.
std::u16string bt_bz_nam(const char* utf8);
