// The system's Bluetooth search as the program's stack: devices handed on in order, and the
// inquiry time kept when the system gives up early.
#include "platform/win/bt_win.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A system whose clock moves only when a call says so.
struct fake {
  static inline uint64_t now = 0;
  static inline uint64_t fst_takes = 0;            // ms a FindFirst call lasts
  static inline std::vector<uint8_t> devs;         // last address byte of each device found
  static inline size_t next = 0;
  static inline int closed = 0;
  static inline std::vector<uint64_t> slept;
  static inline BLUETOOTH_DEVICE_SEARCH_PARAMS seen = {};

  static void reset() {
    now = 1000, fst_takes = 0, devs.clear(), next = 0, closed = 0, slept.clear(), seen = {};
  }
  static void put(BLUETOOTH_DEVICE_INFO* inf) {
    const DWORD sz = inf->dwSize;
    *inf = {};
    inf->dwSize = sz;
    inf->Address.rgBytes[0] = devs[next++];
    inf->fConnected = TRUE;
  }
  static HBLUETOOTH_DEVICE_FIND WINAPI fst(BLUETOOTH_DEVICE_SEARCH_PARAMS* p, BLUETOOTH_DEVICE_INFO* inf) {
    seen = *p;
    now += fst_takes;
    if (devs.empty()) return nullptr;
    put(inf);
    return reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(0x1234);
  }
  static BOOL WINAPI nxt(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO* inf) {
    if (next == devs.size()) return FALSE;
    put(inf);
    return TRUE;
  }
  static BOOL WINAPI cls(HBLUETOOTH_DEVICE_FIND) { return ++closed, TRUE; }
  static uint64_t clk() { return now; }
  static void slp(uint64_t ms) { slept.push_back(ms), now += ms; }
};

class BtWin : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  std::unique_ptr<bt_stk> stk = bt_win_mak({fake::fst, fake::nxt, fake::cls, fake::clk, fake::slp});

  static BLUETOOTH_DEVICE_SEARCH_PARAMS prm(UCHAR mul, BOOL inquiry = TRUE) {
    BLUETOOTH_DEVICE_SEARCH_PARAMS p = {};
    p.dwSize = sizeof p;
    p.fReturnConnected = TRUE;
    p.fIssueInquiry = inquiry;
    p.cTimeoutMultiplier = mul;
    return p;
  }
};

TEST_F(BtWin, AFailureAtOnceWaitsTheInquiryTime) {
  // No radio, or a multiplier the system refuses (above 48): the system returns at once.
  for (const UCHAR mul : {UCHAR{4}, UCHAR{49}, UCHAR{255}}) {
    fake::reset();
    EXPECT_EQ(stk->srch(prm(mul)), nullptr);
    ASSERT_EQ(fake::slept.size(), 1u);
    EXPECT_EQ(fake::slept[0], mul * bt_unit_ms()) << "multiplier " << int{mul};
    EXPECT_EQ(fake::seen.cTimeoutMultiplier, mul) << "passed on as given";
  }
  // Zero is no inquiry length: at least one unit.
  fake::reset();
  EXPECT_EQ(stk->srch(prm(0)), nullptr);
  EXPECT_EQ(fake::slept, std::vector<uint64_t>{bt_unit_ms()});
}

TEST_F(BtWin, OnlyWhatTheSystemLeftOfTheInquiryIsWaited) {
  fake::fst_takes = 3 * bt_unit_ms();
  EXPECT_EQ(stk->srch(prm(4)), nullptr);
  EXPECT_EQ(fake::slept, std::vector<uint64_t>{bt_unit_ms()});
  fake::reset();
  fake::fst_takes = 4 * bt_unit_ms();
  EXPECT_EQ(stk->srch(prm(4)), nullptr);
  EXPECT_TRUE(fake::slept.empty()) << "a search that took the whole inquiry waits no more";
  fake::reset();
  EXPECT_EQ(stk->srch(prm(4, FALSE)), nullptr);
  EXPECT_TRUE(fake::slept.empty()) << "a search without an inquiry has nothing to wait for";
}

TEST_F(BtWin, FoundDevicesComeInTheSystemsOrderAndTheSearchIsClosedOnce) {
  fake::devs = {5, 3, 9};
  auto f = stk->srch(prm(4));
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(fake::slept.empty());
  BLUETOOTH_DEVICE_INFO inf = {};
  inf.dwSize = sizeof inf;
  std::vector<uint8_t> got;
  while (f->nxt(inf)) {
    EXPECT_EQ(inf.dwSize, sizeof inf);
    got.push_back(inf.Address.rgBytes[0]);
  }
  EXPECT_EQ(got, fake::devs);
  EXPECT_EQ(fake::closed, 0);
  f.reset();
  EXPECT_EQ(fake::closed, 1);
}

TEST(BtWinSystem, TheSystemsSearchWithoutARadioWaitsTooInsteadOfSpinning) {
  // Here (wine, no radio) the system's search gives up at once; the stack sleeps the rest.
  static std::vector<uint64_t> slept;
  bt_win_api api = bt_win_sys();
  api.slp_ms = [](uint64_t ms) { slept.push_back(ms); };
  auto stk = bt_win_mak(api);
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = {};
  p.dwSize = sizeof p;
  p.fReturnAuthenticated = p.fReturnRemembered = p.fReturnUnknown = p.fReturnConnected = TRUE;
  p.fIssueInquiry = TRUE;
  p.cTimeoutMultiplier = 200;  // the system would refuse it even with a radio
  EXPECT_EQ(stk->srch(p), nullptr);
  ASSERT_EQ(slept.size(), 1u);
  EXPECT_GT(slept[0], 0u);
  EXPECT_LE(slept[0], 200 * bt_unit_ms());
}

}  // namespace
