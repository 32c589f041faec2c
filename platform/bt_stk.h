// Inside the Bluetooth search: the stacks behind the Find calls and how they are chosen.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/bluetooth.h"

// One open search: hands out the devices it found, one per call.
class bt_fnd {
 public:
  virtual ~bt_fnd() = default;
  // Fills everything of `inf` but dwSize with the next device; false when none is left.
  virtual bool nxt(BLUETOOTH_DEVICE_INFO& inf) = 0;
};

class bt_stk {
 public:
  virtual ~bt_stk() = default;
  // Runs one search, blocking for its inquiry; nullptr when it found nothing.
  virtual std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) = 0;
};

#ifdef _WIN32
// The stack of a Windows machine: its own Find calls (see win/bt_win.h).
std::unique_ptr<bt_stk> bt_win_mak();
#else
// The stack of a Linux machine: BlueZ on the system bus (see bt_bluez.h).
std::unique_ptr<bt_stk> bt_bluez_mak();
#endif
// The scripted stack over the scenario file at `pth` (see bt_sim.h).
std::unique_ptr<bt_stk> bt_sim_mak(const char* pth);

// Replaces the stack of the Find calls and closes every open search. nullptr: the next search
// chooses again from the environment.
void bt_stk_set(std::unique_ptr<bt_stk> stk);

// Sleeps `ms` milliseconds, signals notwithstanding; a request to end the program
// (platform/sig.h) ends it here.
void bt_slp_ms(uint64_t ms);
// The inquiry unit in milliseconds: 1280, as the radio counts it. Tests that must run many
// passes of a real-time stack may shorten it with KESTREL_BT_UNIT_MS (1 to 1280).
uint64_t bt_unit_ms();

// `n` bytes of untrusted text (a scenario line, an environment value) quoted for a one-line
// message: printable ASCII kept, every other byte and the quote and backslash as \xNN, cut
// after `max` bytes with "...".
std::string bt_quo(const char* s, size_t n, size_t max);

// Whether a stack can be used, said on standard error once each time that changes: a watcher
// without a radio would otherwise say it every pass. The same words on every system.
class bt_say {
 public:
  void down(const std::string& why);  // "Bluetooth unavailable: <why>. ..."
  void up(const std::string& on);     // "Bluetooth available again: searching on <on>." after a down
  bool is_down() const { return ste_ == ste::down; }

 private:
  enum class ste { unk, up, down };
  ste ste_ = ste::unk;
};

// Fills a device record (all but dwSize) the way the stacks report a device.
inline constexpr BYTE BT_DEV_CON = 1;  // connected
inline constexpr BYTE BT_DEV_REM = 2;  // remembered (paired)
inline constexpr BYTE BT_DEV_AUT = 4;  // authenticated
// `nam`: UTF-16, as the record holds it.
void bt_inf_set(BLUETOOTH_DEVICE_INFO& inf, const BYTE (&adr)[6], BYTE flg, const char16_t* nam,
                size_t nam_len);
