// The Find calls as a Windows caller sees them: record layout, argument checks, handles,
// filters, and the choice of stack.
#include "platform/bluetooth.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/bt_stk.h"

namespace {

static_assert(offsetof(BLUETOOTH_DEVICE_INFO, dwSize) == 0);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, Address) == 8);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, ulClassofDevice) == 16);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, fConnected) == 20);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, fRemembered) == 24);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, fAuthenticated) == 28);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, stLastSeen) == 32);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, stLastUsed) == 48);
static_assert(offsetof(BLUETOOTH_DEVICE_INFO, szName) == 64);
static_assert(sizeof(BLUETOOTH_DEVICE_INFO) == 560);
static_assert(sizeof(BLUETOOTH_ADDRESS) == 8);
static_assert(sizeof(BLUETOOTH_DEVICE_INFO::szName[0]) == 2);
// Windows' 32 bytes with a 4-byte radio handle; a pointer-sized handle makes it 40.
static_assert(offsetof(BLUETOOTH_DEVICE_SEARCH_PARAMS, cTimeoutMultiplier) == 24);
static_assert(offsetof(BLUETOOTH_DEVICE_SEARCH_PARAMS, hRadio) == (sizeof(void*) == 8 ? 32 : 28));
static_assert(sizeof(BLUETOOTH_DEVICE_SEARCH_PARAMS) == (sizeof(void*) == 8 ? 40 : 32));

TEST(BtRecord, AddressUnionReadsLittleEndian) {
  BLUETOOTH_ADDRESS a{};
  a.ullLong = 0x0000AABBCCDDEEFFull;
  EXPECT_EQ(a.rgBytes[0], 0xFF);
  EXPECT_EQ(a.rgBytes[5], 0xAA);
}

BLUETOOTH_DEVICE_SEARCH_PARAMS all_prm(UCHAR mul = 4) {
  BLUETOOTH_DEVICE_SEARCH_PARAMS p{};
  p.dwSize = sizeof p;
  p.fReturnAuthenticated = p.fReturnRemembered = p.fReturnUnknown = p.fReturnConnected = TRUE;
  p.fIssueInquiry = TRUE;
  p.cTimeoutMultiplier = mul;
  return p;
}

BLUETOOTH_DEVICE_INFO new_inf() {
  BLUETOOTH_DEVICE_INFO i{};
  i.dwSize = sizeof i;
  return i;
}

// A stack whose every search reports the same devices, and counts the searches.
class fix_stk final : public bt_stk {
 public:
  struct dev {
    BYTE id, flg;
  };
  explicit fix_stk(std::vector<dev> d, int* srch_cnt) : d_(std::move(d)), cnt_(srch_cnt) {}
  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS&) override {
    ++*cnt_;
    return d_.empty() ? nullptr : std::make_unique<fnd>(d_);
  }

 private:
  class fnd final : public bt_fnd {
   public:
    explicit fnd(const std::vector<dev>& d) : d_(d) {}
    bool nxt(BLUETOOTH_DEVICE_INFO& inf) override {
      if (i_ == d_.size()) return false;
      const BYTE adr[6] = {d_[i_].id, 0, 0, 0, 0, 0};
      const WCHAR nam[] = {u'd', static_cast<WCHAR>(u'0' + d_[i_].id)};
      bt_inf_set(inf, adr, d_[i_].flg, nam, 2);
      ++i_;
      return true;
    }

   private:
    std::vector<dev> d_;
    size_t i_ = 0;
  };
  std::vector<dev> d_;
  int* cnt_;
};

class BtFind : public ::testing::Test {
 protected:
  void use(std::vector<fix_stk::dev> d) { bt_stk_set(std::make_unique<fix_stk>(std::move(d), &srch_cnt)); }
  void TearDown() override { bt_stk_set(nullptr); }
  // The ids of the devices one search reports.
  std::string ids(const BLUETOOTH_DEVICE_SEARCH_PARAMS& p) {
    BLUETOOTH_DEVICE_INFO inf = new_inf();
    std::string r;
    HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
    if (h == nullptr) return "none";
    do r += static_cast<char>('0' + inf.Address.rgBytes[0]);
    while (BluetoothFindNextDevice(h, &inf));
    EXPECT_EQ(BluetoothFindDeviceClose(h), TRUE);
    return r;
  }
  int srch_cnt = 0;
};

TEST_F(BtFind, FirstNextCloseWalkTheDevices) {
  use({{1, BT_DEV_CON}, {2, BT_DEV_REM}, {3, 0}});
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  BLUETOOTH_DEVICE_INFO inf;
  std::memset(&inf, 0xAB, sizeof inf);  // whatever was there before must not show through
  inf.dwSize = sizeof inf;
  HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(inf.dwSize, sizeof inf);
  EXPECT_EQ(inf.Address.ullLong, 1u);
  EXPECT_EQ(inf.ulClassofDevice, 0u);
  EXPECT_EQ(inf.fConnected, TRUE);
  EXPECT_EQ(inf.fRemembered, FALSE);
  EXPECT_EQ(inf.fAuthenticated, FALSE);
  EXPECT_GE(inf.stLastSeen.wYear, 2024);
  EXPECT_EQ(inf.stLastUsed.wYear, inf.stLastSeen.wYear);  // connected: in use now
  EXPECT_EQ(std::u16string(inf.szName), u"d1");
  for (size_t i = 2; i < BLUETOOTH_MAX_NAME_SIZE; ++i) ASSERT_EQ(inf.szName[i], 0) << i;
  ASSERT_EQ(BluetoothFindNextDevice(h, &inf), TRUE);
  EXPECT_EQ(inf.Address.ullLong, 2u);
  EXPECT_EQ(inf.fRemembered, TRUE);
  EXPECT_EQ(inf.stLastUsed.wYear, 0);  // not connected: never used
  ASSERT_EQ(BluetoothFindNextDevice(h, &inf), TRUE);
  EXPECT_EQ(inf.Address.ullLong, 3u);
  EXPECT_EQ(BluetoothFindNextDevice(h, &inf), FALSE);
  EXPECT_EQ(BluetoothFindNextDevice(h, &inf), FALSE);  // stays at the end
  EXPECT_EQ(BluetoothFindDeviceClose(h), TRUE);
  EXPECT_EQ(srch_cnt, 1);
}

TEST_F(BtFind, NothingFoundIsNull) {
  use({});
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  BLUETOOTH_DEVICE_INFO inf = new_inf();
  EXPECT_EQ(BluetoothFindFirstDevice(&p, &inf), nullptr);
  EXPECT_EQ(srch_cnt, 1);
}

TEST_F(BtFind, WrongRecordsAreRefusedWithoutSearching) {
  use({{1, 0}, {2, 0}});
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  BLUETOOTH_DEVICE_INFO inf = new_inf();
  for (DWORD sz : {0u, 32u, 39u, 41u, 560u}) {
    p.dwSize = sz;
    EXPECT_EQ(BluetoothFindFirstDevice(&p, &inf), nullptr) << sz;
  }
  p = all_prm();
  for (DWORD sz : {0u, 40u, 556u, 561u}) {
    inf.dwSize = sz;
    EXPECT_EQ(BluetoothFindFirstDevice(&p, &inf), nullptr) << sz;
  }
  EXPECT_EQ(BluetoothFindFirstDevice(nullptr, &inf), nullptr);
  EXPECT_EQ(BluetoothFindFirstDevice(&p, nullptr), nullptr);
  EXPECT_EQ(srch_cnt, 0) << "a refused call must not use up a search";

  inf = new_inf();
  HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
  ASSERT_NE(h, nullptr);
  inf.dwSize = 48;
  EXPECT_EQ(BluetoothFindNextDevice(h, &inf), FALSE);
  EXPECT_EQ(BluetoothFindNextDevice(h, nullptr), FALSE);
  inf = new_inf();
  EXPECT_EQ(BluetoothFindNextDevice(h, &inf), TRUE);  // the refused calls did not advance it
  EXPECT_EQ(inf.Address.ullLong, 2u);
  EXPECT_EQ(BluetoothFindDeviceClose(h), TRUE);
}

TEST_F(BtFind, OnlyOpenSearchesAreHandles) {
  use({{1, 0}});
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  BLUETOOTH_DEVICE_INFO inf = new_inf();
  int bogus = 0;
  EXPECT_EQ(BluetoothFindNextDevice(nullptr, &inf), FALSE);
  EXPECT_EQ(BluetoothFindNextDevice(&bogus, &inf), FALSE);
  EXPECT_EQ(BluetoothFindDeviceClose(nullptr), FALSE);
  EXPECT_EQ(BluetoothFindDeviceClose(&bogus), FALSE);
  HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(BluetoothFindDeviceClose(h), TRUE);
  EXPECT_EQ(BluetoothFindDeviceClose(h), FALSE);
  EXPECT_EQ(BluetoothFindNextDevice(h, &inf), FALSE);
  // Searches left open are closed when the stack changes.
  h = BluetoothFindFirstDevice(&p, &inf);
  ASSERT_NE(h, nullptr);
  use({{1, 0}});
  EXPECT_EQ(BluetoothFindNextDevice(h, &inf), FALSE);
  EXPECT_EQ(BluetoothFindDeviceClose(h), FALSE);
}

TEST_F(BtFind, ParametersChooseWhichDevicesAreReported) {
  use({{1, BT_DEV_CON}, {2, BT_DEV_REM}, {3, 0}, {4, BT_DEV_AUT | BT_DEV_REM}, {5, BT_DEV_CON | BT_DEV_REM}});
  BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
  EXPECT_EQ(ids(p), "12345");
  p.fReturnAuthenticated = p.fReturnRemembered = p.fReturnUnknown = p.fReturnConnected = FALSE;
  EXPECT_EQ(ids(p), "none");
  p.fReturnConnected = TRUE;
  EXPECT_EQ(ids(p), "15");
  p.fReturnConnected = FALSE, p.fReturnRemembered = TRUE;
  EXPECT_EQ(ids(p), "245");
  p.fReturnRemembered = FALSE, p.fReturnAuthenticated = TRUE;
  EXPECT_EQ(ids(p), "4");
  p.fReturnAuthenticated = FALSE, p.fReturnUnknown = TRUE;
  EXPECT_EQ(ids(p), "13");  // found by the inquiry, not paired
  use({{2, BT_DEV_REM}, {3, 0}});
  EXPECT_EQ(ids(p), "3");   // the first reported device is the first that is asked for
}

// The environment chooses the stack at the first search; tried in child processes.
class BtChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* d = std::getenv("KESTREL_TEST_TMP");
    dir_ = d != nullptr && *d != '\0' ? d : "/tmp";
    mkdir(dir_.c_str(), 0755);
    pth_ = dir_ + "/bt_choice_XXXXXX";
    const int fd = mkstemp(pth_.data());
    ASSERT_GE(fd, 0);
    const char txt[] = "pass\ndevice 00:00:00:00:00:07 C seven\n";
    ASSERT_EQ(write(fd, txt, sizeof txt - 1), static_cast<ssize_t>(sizeof txt - 1));
    close(fd);
  }
  void TearDown() override { unlink(pth_.c_str()); }
  std::string dir_, pth_;
};

TEST_F(BtChoice, ScenarioFileInTheEnvironmentIsPlayed) {
  EXPECT_EXIT(
      {
        setenv("KESTREL_BT_SIM", pth_.c_str(), 1);
        bt_stk_set(nullptr);
        BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm();
        BLUETOOTH_DEVICE_INFO inf = new_inf();
        HBLUETOOTH_DEVICE_FIND h = BluetoothFindFirstDevice(&p, &inf);
        if (h == nullptr || inf.Address.rgBytes[0] != 7) std::exit(4);
        BluetoothFindDeviceClose(h);
        BluetoothFindFirstDevice(&p, &inf);  // past the last pass: ends the run
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(BtChoice, WithoutAScenarioBlueZIsAsked) {
  // Known by what it says when the system bus it looks for is not there.
  for (const char* v : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EXIT(
        {
          if (v != nullptr) setenv("KESTREL_BT_SIM", v, 1);
          else unsetenv("KESTREL_BT_SIM");
          setenv("KESTREL_BT_UNIT_MS", "1", 1);
          setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir_ + "/no-such-bus").c_str(), 1);
          bt_stk_set(nullptr);
          BLUETOOTH_DEVICE_SEARCH_PARAMS p = all_prm(1);
          BLUETOOTH_DEVICE_INFO inf = new_inf();
          std::exit(BluetoothFindFirstDevice(&p, &inf) != nullptr ? 4 : 0);
        },
        ::testing::ExitedWithCode(0), "Bluetooth unavailable: cannot connect to the system bus");
  }
}

}  // namespace
