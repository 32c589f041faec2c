// The Windows Bluetooth device search (bthprops) for this platform. The search runs on a
// replaceable stack: a scripted one when KESTREL_BT_SIM names a scenario file, otherwise
// the system's own (BlueZ on the system bus on Linux, bthprops on Windows).
#pragma once
#include <cstddef>

#include "platform/windows.h"

#ifdef _WIN32
#include <bluetoothapis.h>

// The system's records, and the program's Find calls under the system's names; only the stack
// of platform/win/bt_win.cpp reaches the system's own calls.
#define BluetoothFindFirstDevice bt_fnd_fst
#define BluetoothFindNextDevice bt_fnd_nxt
#define BluetoothFindDeviceClose bt_fnd_cls
#else

using UCHAR = unsigned char;
using BTH_ADDR = ULONGLONG;
using HBLUETOOTH_DEVICE_FIND = HANDLE;

struct BLUETOOTH_DEVICE_SEARCH_PARAMS {
  DWORD dwSize;  // must be sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS)
  BOOL fReturnAuthenticated;
  BOOL fReturnRemembered;
  BOOL fReturnUnknown;
  BOOL fReturnConnected;
  BOOL fIssueInquiry;
  UCHAR cTimeoutMultiplier;  // inquiry time in units of 1.28 s
  HANDLE hRadio;             // NULL: all radios
};

// Least significant byte first, as the radio sends it.
struct BLUETOOTH_ADDRESS {
  union {
    BTH_ADDR ullLong;
    BYTE rgBytes[6];
  };
};

inline constexpr size_t BLUETOOTH_MAX_NAME_SIZE = 248;  // UTF-16 units, terminator included

struct BLUETOOTH_DEVICE_INFO {
  DWORD dwSize;  // must be sizeof(BLUETOOTH_DEVICE_INFO), 560
  BLUETOOTH_ADDRESS Address;
  ULONG ulClassofDevice;
  BOOL fConnected;
  BOOL fRemembered;
  BOOL fAuthenticated;
  SYSTEMTIME stLastSeen;  // UTC
  SYSTEMTIME stLastUsed;  // UTC; zero when never used
  WCHAR szName[BLUETOOTH_MAX_NAME_SIZE];
};
#endif
// The record crosses the API boundary: its layout is the Windows one.
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, Address) == 8);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, szName) == 64);

// Runs one search (blocking for the inquiry) and fills *pbtdi with the first device found.
// Returns the search handle, or NULL when nothing was found or an argument is wrong
// (null pointer, dwSize of either record not its size).
HBLUETOOTH_DEVICE_FIND BluetoothFindFirstDevice(const BLUETOOTH_DEVICE_SEARCH_PARAMS* pbtsp,
                                                BLUETOOTH_DEVICE_INFO* pbtdi);
// Fills *pbtdi with the next device of the search: TRUE, or FALSE when there is none left,
// the handle is not an open search, or pbtdi is wrong.
BOOL BluetoothFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* pbtdi);
// Ends the search: TRUE, or FALSE when the handle is not an open search.
BOOL BluetoothFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind);
