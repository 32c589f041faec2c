// The Bluetooth stack of a Linux machine: BlueZ (bluetoothd) on the system bus, through sd-bus.
//
// One search: every adapter gets the discovery filter for classic Bluetooth ("bredr", as the
// Windows search covers only that) and a discovery, the bus is served for the inquiry time,
// then discovery stops. Reported: every paired device, with its connected flag; every other
// device that is connected or was seen during this search's window (added, or its RSSI
// changed, while discovery ran). A device BlueZ merely keeps from an earlier search is not,
// nor an unpaired one with a random (LE) address, which another program's scan may have found.
// With paging on, a paged target that answers counts as connected (paired) or found (unpaired).
// A /t above 48 searches not at all, as Windows refuses it: the search waits the inquiry time.
//
// No bus, no bluetoothd or no adapter: the search waits the inquiry time and finds nothing;
// the next one starts again from a fresh look at the bus (a new connection if the old one
// broke). The stack says so on standard error once when it becomes unusable and once when it
// is back, never once per search.
//
// Options from the environment, read at the first search (a bad value ends the program with
// one line on standard error and status 2, as the watcher's own variables do):
//   KESTREL_BT_PAGE  "paired" and/or addresses, comma-separated: after the inquiry, each of
//                    these that is neither connected nor heard is paged (platform/bt_page.h).
//   KESTREL_BT_REST  seconds the radio stays idle before each search.
#pragma once
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/bluetooth.h"
#include "platform/bt_page.h"

class bt_stk;
// The BlueZ stack paging through `l2` (bt_bluez_mak() pages through the kernel's sockets).
std::unique_ptr<bt_stk> bt_bluez_mak(const bt_l2_api& l2);

struct bt_bz_cfg {
  bool pg_all = false;                     // page every paired device
  std::vector<std::array<BYTE, 6>> pg_adr;  // and these, least significant byte first
  uint32_t rest_s = 0;
};
inline constexpr uint32_t BT_REST_MAX_S = 3600;
// Reads the two variables' values (nullptr or "": unset) into `cfg`: false, with the line to
// print in `err`, when one cannot be read.
bool bt_bz_cfg_rd(const char* page, const char* rest, bt_bz_cfg& cfg, std::string& err);

// The name a device is shown with: the alias the user gave it (one that is neither its name
// nor BlueZ's default alias, the address with dashes), else its name, else nothing, as the
// Windows search shows a device whose name it has not read.
std::string bt_bz_shown(const std::string& nam, bool has_nam, const std::string& als, const std::string& adr);

// "AA:BB:CC:DD:EE:FF" (hex digits of either case) into least-significant-first bytes:
// rgBytes[0] = 0xFF. False, with `adr` untouched, when the text is not of that form.
bool bt_bz_adr(const char* txt, BYTE (&adr)[6]);

// A UTF-8 device name as the device record holds it: UTF-16, at most
// BLUETOOTH_MAX_NAME_SIZE - 1 units, cut before the first character that would not fit (a
// surrogate pair is never split). Each maximal ill-formed piece of the input (a stray byte, a
// cut-short sequence, an encoded surrogate, an overlong form) becomes one U+FFFD, which the
// console shows as '?'.
std::u16string bt_bz_nam(const char* utf8);
