// The system's Bluetooth search as the program's stack: devices handed on in order, the
// inquiry time kept when the system gives up early, and a line on standard error when the
// stack becomes unusable and when it is back.
#include "platform/win/bt_win.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
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
  static inline DWORD fst_err = ERROR_NO_MORE_ITEMS;  // what a search that finds nothing says
  static inline DWORD rad_err = ERROR_SUCCESS;        // ERROR_NO_MORE_ITEMS: no radio
  static inline const char* rad_on = "00:1A:7D:DA:71:13";

  static void reset() {
    now = 1000, fst_takes = 0, devs.clear(), next = 0, closed = 0, slept.clear(), seen = {};
    fst_err = ERROR_NO_MORE_ITEMS, rad_err = ERROR_SUCCESS;
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
    if (devs.empty()) return SetLastError(fst_err), nullptr;
    put(inf);
    return reinterpret_cast<HBLUETOOTH_DEVICE_FIND>(0x1234);
  }
  static BOOL WINAPI nxt(HBLUETOOTH_DEVICE_FIND, BLUETOOTH_DEVICE_INFO* inf) {
    if (next == devs.size()) return FALSE;
    put(inf);
    return TRUE;
  }
  static BOOL WINAPI cls(HBLUETOOTH_DEVICE_FIND) { return ++closed, TRUE; }
  // Overwrites the last error as the system's radio calls do: the search's must be read first.
  static DWORD rad(std::string& on) {
    on = rad_err == ERROR_SUCCESS ? rad_on : "";
    SetLastError(rad_err);
    return rad_err;
  }
  static uint64_t clk() { return now; }
  static void slp(uint64_t ms) { slept.push_back(ms), now += ms; }
};

class BtWin : public testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  std::unique_ptr<bt_stk> stk = bt_win_mak({fake::fst, fake::nxt, fake::cls, fake::rad, fake::clk, fake::slp});

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

const std::string DOWN = "kestrel: Bluetooth unavailable: ";
const std::string DOWN_END =
    ". Each pass waits the inquiry time and looks again; set KESTREL_BT_SIM to a scenario file to watch a "
    "simulated stack instead.\n";

std::string squash(const std::string& s) {
  std::string t;
  for (const char c : s)
    if (!std::isspace(static_cast<unsigned char>(c))) t += c;
  return t;
}

// Whether `why` is the system's message for `e`, on one line, then the code.
testing::AssertionResult sys_why(const std::string& why, DWORD e) {
  const std::string code = " (error " + std::to_string(e) + ")";
  if (why.size() <= code.size() || why.compare(why.size() - code.size(), code.size(), code) != 0)
    return testing::AssertionFailure() << "no" << code << ": " << why;
  const std::string msg = why.substr(0, why.size() - code.size());
  char buf[1024];
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, buf,
                                 sizeof buf, nullptr);
  std::string sys = squash(std::string(buf, n));
  if (!sys.empty() && sys.back() == '.') sys.pop_back();
  if (sys.empty() || squash(msg) != sys || msg.find_first_of("\r\n") != std::string::npos || msg.back() == ' ')
    return testing::AssertionFailure() << "not the system's message for " << e << " on one line: " << why;
  return testing::AssertionSuccess();
}

TEST_F(BtWin, SaysOnceWhenTheStackIsGoneAndOnceWhenItIsBack) {
  enum class say { none, down, down_sys, up };
  struct pass {
    DWORD rad_err;             // the radios' answer
    DWORD fst_err;             // the search's, when it finds nothing
    std::vector<uint8_t> devs;
    say want;
    std::string why;           // down: the reason, whole
    DWORD sys = 0;             // down_sys: the error whose message is the reason
  };
  const pass passes[] = {
      {ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, {}, say::none, ""},  // usable from the start
      {ERROR_NO_MORE_ITEMS, ERROR_NO_MORE_ITEMS, {}, say::down, "no Bluetooth adapter"},
      {ERROR_NO_MORE_ITEMS, ERROR_NO_MORE_ITEMS, {}, say::none, ""},
      {ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, {}, say::up, ""},  // a radio, nothing in range
      {ERROR_NO_MORE_ITEMS, ERROR_NO_MORE_ITEMS, {}, say::down, "no Bluetooth adapter"},
      {ERROR_SUCCESS, ERROR_SUCCESS, {7}, say::up, ""},
      {ERROR_SUCCESS, ERROR_SUCCESS, {7}, say::none, ""},
      // A search refused with a radio there (a /t above 48) is no missing stack.
      {ERROR_SUCCESS, ERROR_INVALID_PARAMETER, {}, say::none, ""},
      {ERROR_SUCCESS, ERROR_NOT_READY, {}, say::down_sys, "", ERROR_NOT_READY},
      {ERROR_NO_MORE_ITEMS, ERROR_NO_MORE_ITEMS, {}, say::none, ""},  // another reason, still down
      {ERROR_SUCCESS, ERROR_NO_MORE_ITEMS, {}, say::up, ""},
      {ERROR_NOT_READY, ERROR_NO_MORE_ITEMS, {}, say::down_sys, "", ERROR_NOT_READY},
      {ERROR_SUCCESS, ERROR_SUCCESS, {7}, say::up, ""},
      // A code the system has no message for.
      {0x20001234, ERROR_NO_MORE_ITEMS, {}, say::down, "error 536875572"},
  };
  int i = 0;
  for (const pass& p : passes) {
    SCOPED_TRACE("pass " + std::to_string(i++));
    fake::reset();
    fake::rad_err = p.rad_err, fake::fst_err = p.fst_err, fake::devs = p.devs;
    testing::internal::CaptureStderr();
    const bool found = stk->srch(prm(4)) != nullptr;
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(found, !p.devs.empty());
    EXPECT_EQ(fake::slept.size(), found ? 0u : 1u) << "the inquiry time is kept either way";
    switch (p.want) {
      case say::none:
        EXPECT_EQ(err, "");
        break;
      case say::up:
        EXPECT_EQ(err, "kestrel: Bluetooth available again: searching on " + std::string(fake::rad_on) + ".\n");
        break;
      case say::down:
        EXPECT_EQ(err, DOWN + p.why + DOWN_END);
        break;
      case say::down_sys:
        ASSERT_TRUE(err.size() > DOWN.size() + DOWN_END.size() && err.starts_with(DOWN) && err.ends_with(DOWN_END))
            << err;
        EXPECT_TRUE(sys_why(err.substr(DOWN.size(), err.size() - DOWN.size() - DOWN_END.size()), p.sys));
        break;
    }
  }
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
  testing::internal::CaptureStderr();
  EXPECT_EQ(stk->srch(p), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  // No radio here: one line says so.
  EXPECT_TRUE(err.starts_with(DOWN) && err.ends_with(DOWN_END) && err.find('\n') == err.size() - 1) << err;
  ASSERT_EQ(slept.size(), 1u);
  EXPECT_GT(slept[0], 0u);
  EXPECT_LE(slept[0], 200 * bt_unit_ms());
}

}  // namespace
