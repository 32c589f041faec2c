// Paging known addresses: one page through a stand-in for the kernel's L2CAP sockets, and the
// BlueZ stack paging its targets after the inquiry, against the BlueZ mock.
#include "platform/bt_page.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

#include "bz_mock.h"
#include "platform/bt_bluez.h"
#include "platform/bt_stk.h"
#include "platform/err_cap.h"

namespace {

// What the stand-in's calls answer, per target address ("AA:BB:CC:DD:EE:FF"); the default row
// is a device that answers.
struct act {
  int sock = 0, bind = 0, conn = -EINPROGRESS;
  int wait = 1;      // 1 ready, 0 timed out, -errno
  int intr = 0;      // waits that first come back with -EINTR
  int so_err = 0;
};
struct fake {
  std::map<std::string, act> by;
  act dflt;
  std::string cur;           // the target of the socket being connected
  int intr = 0;              // interruptions left for its waits
  int socks = 0, open = 0, most_open = 0, last_ms = -1, max_ms = 0, waits = 0;
  std::multiset<std::string> paged;
} F;

std::string txt(const BYTE (&a)[6]) {
  char t[18];
  std::snprintf(t, sizeof t, "%02X:%02X:%02X:%02X:%02X:%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
  return t;
}
const act& now() {
  const auto it = F.by.find(F.cur);
  return it != F.by.end() ? it->second : F.dflt;
}

// Real descriptors, so that one left open shows in the process's count.
const bt_l2_api FAKE = {
    [] {
      ++F.socks;
      if (F.dflt.sock < 0) return F.dflt.sock;
      const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      F.most_open = std::max(F.most_open, ++F.open);
      return fd;
    },
    [](int, const BYTE(&)[6]) { return now().bind; },
    [](int, const BYTE(&dev)[6], uint16_t psm) {
      F.cur = txt(dev);
      F.paged.insert(F.cur);
      F.intr = now().intr;
      return psm == BT_PSM_SDP ? now().conn : -EINVAL;
    },
    [](int, int ms) {
      ++F.waits;
      F.last_ms = ms;
      F.max_ms = std::max(F.max_ms, ms);
      if (F.intr-- > 0) return -EINTR;
      return now().wait;
    },
    [](int) { return now().so_err; },
    [](int fd) {
      --F.open;
      close(fd);
    },
};

TEST(BtPage, OnePageAndItsOutcome) {
  const BYTE adp[6] = {5, 4, 3, 2, 1, 0}, dev[6] = {0xC1, 0xB4, 0x07, 0x1E, 0xE9, 0x5C};
  struct row {
    const char* what;
    act a;
    bt_pg want;
    int waits;
  } rows[] = {
      {"connected", {}, bt_pg::ans, 1},
      {"refused later", {.so_err = ECONNREFUSED}, bt_pg::ans, 1},
      {"refused at once", {.conn = -ECONNREFUSED}, bt_pg::ans, 0},
      {"timed out", {.wait = 0}, bt_pg::quiet, 1},
      {"interrupted, then timed out", {.wait = 0, .intr = 2}, bt_pg::quiet, 3},
      {"host down", {.so_err = EHOSTDOWN}, bt_pg::quiet, 1},
      {"adapter gone", {.bind = -EADDRNOTAVAIL}, bt_pg::quiet, 0},
      {"no permission to connect", {.conn = -EACCES}, bt_pg::no_perm, 0},
      {"no permission for a socket", {.sock = -EPERM}, bt_pg::no_perm, 0},
      {"no kernel support", {.sock = -EAFNOSUPPORT}, bt_pg::no_sup, 0},
  };
  for (const row& r : rows) {
    F = {};
    F.dflt = r.a;
    F.by["5C:E9:1E:07:B4:C1"] = r.a;
    const int fds = tu::open_fds();
    int why = 0;
    EXPECT_EQ(bt_page(FAKE, adp, dev, 5120, why), r.want) << r.what;
    EXPECT_EQ(tu::open_fds(), fds) << r.what << ": a descriptor left open";
    EXPECT_EQ(F.open, 0) << r.what;
    EXPECT_EQ(F.waits, r.waits) << r.what;
    EXPECT_LE(F.max_ms, 5120) << r.what << ": past the deadline";
    if (r.waits > 0) {
      EXPECT_GT(F.last_ms, 0) << r.what;
    }
    if (r.want == bt_pg::no_sup || r.want == bt_pg::no_perm) {
      EXPECT_EQ(why, -(r.a.sock ? r.a.sock : r.a.conn)) << r.what;
    }
  }
}

// The kernel's own sockets, as far as this machine has them.
TEST(BtPage, TheKernelsSocketsAsThisMachineHasThem) {
  const int fd = socket(AF_BLUETOOTH, SOCK_SEQPACKET, 0);
  const int e = errno;
  if (fd >= 0) close(fd);
  int why = 0;
  const bt_pg r = bt_l2_probe(bt_l2_sys(), why);
  if (fd >= 0) {
    EXPECT_EQ(r, bt_pg::ans);
  } else {
    EXPECT_EQ(r, e == EAFNOSUPPORT || e == EPROTONOSUPPORT ? bt_pg::no_sup : bt_pg::no_perm) << std::strerror(e);
    EXPECT_EQ(why, e);
  }
}

// The stack with paging on, over the stand-in. Short units keep the passes short.
class BtPageStk : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { setenv("KESTREL_BT_UNIT_MS", "20", 1); }
  void SetUp() override {
    ASSERT_TRUE(bz.ok()) << bz.err();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bz.addr().c_str(), 1);
    ASSERT_TRUE(bz.add_adapter("hci0"));
    F = {};
  }
  void TearDown() override {
    bt_stk_set(nullptr);
    unsetenv("KESTREL_BT_PAGE");
  }
  void stack(const char* page) {
    if (page != nullptr) setenv("KESTREL_BT_PAGE", page, 1);
    else unsetenv("KESTREL_BT_PAGE");
    bt_stk_set(bt_bluez_mak(FAKE));
  }
  // What a search reported, by address text; paired devices also carry BT_DEV_AUT, which
  // says nothing of paging.
  static std::map<std::string, tu::bt_found> srch(UCHAR mul) {
    auto r = tu::bt_srch(mul, txt);
    for (auto& [k, d] : r) d.flg &= static_cast<BYTE>(~BT_DEV_AUT);
    return r;
  }
  void paired(const char* a, const char* nam) { ASSERT_TRUE(bz.add_dev("hci0", a, nam) && bz.pair("hci0", a)); }

  tu::bz_mock bz;
};

const char *P_GONE = "00:00:00:00:01:01", *P_ANS = "00:00:00:00:01:02", *P_REF = "00:00:00:00:01:03",
           *P_CON = "00:00:00:00:01:04", *P_HRD = "00:00:00:00:01:05", *L_NEW = "00:00:00:00:02:01",
           *L_KNOWN = "00:00:00:00:02:02", *L_DOWN = "00:00:00:00:02:03", *OTHER = "00:00:00:00:03:01";

TEST_F(BtPageStk, TargetsNotConnectedNorHeardArePagedOneAtATime) {
  paired(P_GONE, "gone"), paired(P_ANS, "ans"), paired(P_REF, "ref"), paired(P_CON, "con"), paired(P_HRD, "hrd");
  ASSERT_TRUE(bz.connect("hci0", P_CON));
  bz.in_range("hci0", P_HRD, true);
  ASSERT_TRUE(bz.add_dev("hci0", L_KNOWN, "tablet"));  // known to BlueZ, unpaired, not heard
  ASSERT_TRUE(bz.add_dev("hci0", OTHER, "other"));     // neither paired nor listed
  F.by[P_GONE] = {.wait = 0};
  F.by[P_REF] = {.so_err = ECONNREFUSED};
  F.by[L_DOWN] = {.so_err = EHOSTDOWN};
  stack((std::string("paired,") + L_NEW + "," + L_KNOWN + "," + L_DOWN).c_str());
  auto r = srch(30);

  EXPECT_EQ(F.paged, (std::multiset<std::string>{P_GONE, P_ANS, P_REF, L_NEW, L_KNOWN, L_DOWN}));
  EXPECT_EQ(F.most_open, 1) << "one page at a time";
  EXPECT_EQ(F.open, 0);
  EXPECT_LE(F.max_ms, 4 * 20) << "a page's deadline is 4 inquiry units";
  const BYTE PAIRED = BT_DEV_REM;
  EXPECT_EQ(r[P_GONE].flg, PAIRED) << "no answer: as without paging";
  EXPECT_EQ(r[P_ANS].flg, PAIRED | BT_DEV_CON);
  EXPECT_EQ(r[P_REF].flg, PAIRED | BT_DEV_CON) << "a refusal is an answer";
  EXPECT_EQ(r[P_CON].flg, PAIRED | BT_DEV_CON);
  EXPECT_EQ(r[P_HRD].flg, PAIRED | BT_DEV_CON) << "heard in the window: answered without a page";
  ASSERT_EQ(r.count(L_NEW), 1u);
  EXPECT_EQ(r[L_NEW].flg, 0);
  EXPECT_EQ(r[L_NEW].nam, u"") << "not known to BlueZ: no name";
  EXPECT_EQ(r[L_KNOWN].nam, u"tablet");
  EXPECT_EQ(r.count(L_DOWN), 0u);
  EXPECT_EQ(r.count(OTHER), 0u);
  EXPECT_EQ(r.size(), 7u);

  // Every pass pages again; the bus connection is open by now, the pages' sockets are not.
  F.paged.clear();
  const int fds = tu::open_fds();
  r = srch(1);
  EXPECT_EQ(tu::open_fds(), fds);
  EXPECT_EQ(F.paged.count(P_ANS), 1u);
  EXPECT_EQ(r[P_ANS].flg, PAIRED | BT_DEV_CON);
}

TEST_F(BtPageStk, OnlyFromAnAdapterThatIsUp) {
  paired(P_ANS, "ans");
  ASSERT_TRUE(bz.power("hci0", false));
  stack("paired");
  EXPECT_EQ(srch(1)[P_ANS].flg, BT_DEV_REM);
  EXPECT_TRUE(F.paged.empty());
  ASSERT_TRUE(bz.power("hci0", true));
  EXPECT_EQ(srch(1)[P_ANS].flg, BT_DEV_REM | BT_DEV_CON);
}

TEST_F(BtPageStk, WithoutSocketsOneLineAndPagingStaysOff) {
  paired(P_ANS, "ans");
  struct row {
    const char* page;
    act a;
    int socks;
    const char* said;  // "" for nothing
  } rows[] = {
      {nullptr, {}, 0, ""},  // not asked for: no socket at all
      {"paired", {.sock = -EAFNOSUPPORT}, 1, "no Bluetooth sockets"},
      {"paired", {.sock = -EPERM}, 1, "no permission"},
      {"paired", {.conn = -EACCES}, 2, "no permission"},  // found out at the first page
  };
  for (const row& w : rows) {
    F = {};
    F.dflt = w.a;
    stack(w.page);
    tu::err_cap cap;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(srch(1)[P_ANS].flg, BT_DEV_REM) << w.said;
    const std::string err = cap.txt();
    EXPECT_EQ(F.socks, w.socks) << w.said;
    if (*w.said == '\0') {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
      EXPECT_NE(err.find(w.said), std::string::npos) << err;
      EXPECT_NE(err.find("paging stays off"), std::string::npos) << err;
    }
  }
}

}  // namespace
