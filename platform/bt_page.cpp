// A page by L2CAP connection, over the kernel's Bluetooth sockets or a stand-in.
#include "platform/bt_page.h"

#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sig.h"

namespace {

// The kernel's L2CAP socket ABI, which never changes: declared here so that the build needs no
// libbluetooth-dev (<bluetooth/l2cap.h> has the same).
constexpr int BTPROTO_L2CAP = 0;
struct sockaddr_l2 {
  sa_family_t l2_family;
  unsigned short l2_psm;   // little-endian
  BYTE l2_bdaddr[6];       // least significant byte first, as the record holds it
  unsigned short l2_cid;
  uint8_t l2_bdaddr_type;  // 0: BR/EDR
};
static_assert(sizeof(sockaddr_l2) == 14);

sockaddr_l2 l2_adr(const BYTE (&adr)[6], uint16_t psm) {
  sockaddr_l2 a{};
  a.l2_family = AF_BLUETOOTH;
  const BYTE le[2] = {static_cast<BYTE>(psm & 0xFF), static_cast<BYTE>(psm >> 8)};
  std::memcpy(&a.l2_psm, le, sizeof le);
  std::memcpy(a.l2_bdaddr, adr, sizeof adr);
  return a;
}

int sys_sock() {
  const int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, BTPROTO_L2CAP);
  return fd >= 0 ? fd : -errno;
}
int sys_bind(int fd, const BYTE (&adp)[6]) {
  const sockaddr_l2 a = l2_adr(adp, 0);
  return bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : -errno;
}
int sys_conn(int fd, const BYTE (&dev)[6], uint16_t psm) {
  const sockaddr_l2 a = l2_adr(dev, psm);
  return connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? 0 : -errno;
}
int sys_wait(int fd, int ms) {
  pollfd p = {fd, POLLOUT, 0};
  const int r = poll(&p, 1, ms);
  return r >= 0 ? r : -errno;
}
int sys_err(int fd) {
  int e = 0;
  socklen_t n = sizeof e;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, &e, &n) == 0 ? e : errno;
}
void sys_cls(int fd) { close(fd); }

int64_t now_ms() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000;
}

// What a failed call says of paging as a whole.
bt_pg kind(int e) {
  switch (e) {
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
    case ESOCKTNOSUPPORT:
      return bt_pg::no_sup;
    case EACCES:
    case EPERM:
      return bt_pg::no_perm;
    default:
      return bt_pg::quiet;  // this target, this time: an adapter gone, a full descriptor table
  }
}

}  // namespace

const bt_l2_api& bt_l2_sys() {
  static const bt_l2_api api = {sys_sock, sys_bind, sys_conn, sys_wait, sys_err, sys_cls};
  return api;
}

bt_pg bt_l2_probe(const bt_l2_api& api, int& why) {
  const int fd = api.sock();
  if (fd < 0) return why = -fd, kind(-fd);
  api.cls(fd);
  return bt_pg::ans;
}

bt_pg bt_page(const bt_l2_api& api, const BYTE (&adp)[6], const BYTE (&dev)[6], int ms, int& why) {
  const int fd = api.sock();
  if (fd < 0) return why = -fd, kind(-fd);
  struct cls_end {
    const bt_l2_api& a;
    int fd;
    ~cls_end() { a.cls(fd); }
  } cls_end_{api, fd};
  int r = api.bind(fd, adp);
  if (r < 0) return why = -r, kind(-r);
  r = api.conn(fd, dev, BT_PSM_SDP);
  // Refused: the device answered the page, it just offers no such channel to us.
  if (r == 0 || r == -ECONNREFUSED) return bt_pg::ans;
  if (r != -EINPROGRESS) return why = -r, kind(-r);
  const int64_t end = now_ms() + ms;
  for (;;) {
    const int64_t left = end - now_ms();
    if (left <= 0) return bt_pg::quiet;
    r = api.wait(fd, static_cast<int>(left));
    if (r == 0) return bt_pg::quiet;
    if (r > 0) break;
    if (r != -EINTR) return bt_pg::quiet;
    sig_chk();  // a request to end the program ends it here, not after the page
  }
  const int e = api.err(fd);
  return e == 0 || e == ECONNREFUSED ? bt_pg::ans : bt_pg::quiet;
}
