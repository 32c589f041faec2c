// Paging one known address: an L2CAP connection to its SDP channel (PSM 1), the way the Linux
// presence tools look for a phone that is in a pocket, paired but neither connected nor
// discoverable. An inquiry never hears such a phone; a page reaches it by its address.
//
// The socket calls sit behind bt_l2_api: the kernel's by default, a stand-in in tests (the
// kernels of the build machines have no Bluetooth sockets).
#pragma once
#include <cstdint>

#include "platform/bluetooth.h"

// The socket calls of one page. Each returns its result, or -errno; none blocks.
struct bt_l2_api {
  int (*sock)();                                       // a non-blocking L2CAP socket
  int (*bind)(int fd, const BYTE (&adp)[6]);           // to the adapter of that address
  int (*conn)(int fd, const BYTE (&dev)[6], uint16_t psm);
  int (*wait)(int fd, int ms);                         // writable: 1; still connecting after ms: 0
  int (*err)(int fd);                                  // the connection's outcome: 0 or an errno
  void (*cls)(int fd);
};
// The kernel's calls.
const bt_l2_api& bt_l2_sys();

enum class bt_pg {
  ans,      // the device answered: connected, or refused the channel
  quiet,    // no answer by the deadline, host down, or no adapter to page from
  no_sup,   // the kernel has no Bluetooth sockets
  no_perm,  // not allowed to open or use them
};
inline constexpr uint16_t BT_PSM_SDP = 1;

// Opens and closes one socket, to learn at start-up whether paging can work at all: ans, no_sup
// or no_perm (with `why`); quiet for a failure that may pass.
bt_pg bt_l2_probe(const bt_l2_api& api, int& why);

// One page of `dev` from adapter `adp`, given at most `ms` milliseconds; the socket is closed
// before it returns. `why` gets the system's words for no_sup and no_perm.
bt_pg bt_page(const bt_l2_api& api, const BYTE (&adp)[6], const BYTE (&dev)[6], int ms, int& why);
