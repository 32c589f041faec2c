// The BlueZ stack: its address and name conversions, and its searches against the BlueZ mock
// on a private bus, called as the watcher calls them.
#include "platform/bt_bluez.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "bz_mock.h"
#include "platform/bt_stk.h"
#include "platform/err_cap.h"

namespace {

std::string hex(const BYTE (&a)[6]) {
  char t[13];
  std::snprintf(t, sizeof t, "%02X%02X%02X%02X%02X%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
  return t;
}

TEST(BtBzAdr, TextIsMostSignificantFirstTheRecordLeastFirst) {
  BYTE a[6] = {};
  ASSERT_TRUE(bt_bz_adr("AA:BB:CC:DD:EE:FF", a));
  EXPECT_EQ(a[0], 0xFF);
  EXPECT_EQ(hex(a), "FFEEDDCCBBAA");
  ASSERT_TRUE(bt_bz_adr("00:11:22:33:44:55", a));
  EXPECT_EQ(hex(a), "554433221100");
  ASSERT_TRUE(bt_bz_adr("8f:a0:7e:c3:fe:09", a));  // either case; bytes above 0x7F stay whole
  EXPECT_EQ(hex(a), "09FEC37EA08F");
}

TEST(BtBzAdr, MalformedTextIsRefusedAndLeavesTheBytes) {
  for (const char* bad : {"", "AA:BB:CC:DD:EE", "AA:BB:CC:DD:EE:FF:", "AA:BB:CC:DD:EE:F", "AA-BB-CC-DD-EE-FF",
                          "AA:BB:CC:DD:EE:GG", "AABBCCDDEEFF00000", " A:BB:CC:DD:EE:FF", "AA:BB:CC:DD:EE:FF0",
                          "AA:BB:CC:DD:EE:F\xC3\xBF"}) {
    BYTE a[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(bt_bz_adr(bad, a)) << bad;
    EXPECT_EQ(hex(a), "010203040506") << bad;
  }
  BYTE a[6] = {};
  EXPECT_FALSE(bt_bz_adr(nullptr, a));
}

TEST(BtBzNam, Utf8BecomesUtf16) {
  EXPECT_EQ(bt_bz_nam("phone"), u"phone");
  EXPECT_EQ(bt_bz_nam(""), u"");
  EXPECT_EQ(bt_bz_nam(nullptr), u"");
  EXPECT_EQ(bt_bz_nam("\xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB\xE3\x83\xBC"), u"スピーカー");
  EXPECT_EQ(bt_bz_nam("caf\xC3\xA9 \xF0\x9F\x98\x80!"), u"café 😀!");
  EXPECT_EQ(bt_bz_nam("\xF4\x8F\xBF\xBF"), std::u16string({0xDBFF, 0xDFFF}));  // the last code point
  EXPECT_EQ(bt_bz_nam("\xEF\xBF\xBF"), std::u16string(1, 0xFFFF));
}

TEST(BtBzNam, LongNamesAreCutOnACharacterBoundary) {
  constexpr size_t MAX = BLUETOOTH_MAX_NAME_SIZE - 1;
  EXPECT_EQ(bt_bz_nam(std::string(300, 'x').c_str()), std::u16string(MAX, u'x'));
  EXPECT_EQ(bt_bz_nam(std::string(MAX, 'x').c_str()), std::u16string(MAX, u'x'));
  // 300 Japanese characters: three bytes each in UTF-8, one unit each in UTF-16.
  std::string ja;
  for (int i = 0; i < 300; ++i) ja += "\xE3\x81\x82";  // あ
  EXPECT_EQ(bt_bz_nam(ja.c_str()), std::u16string(MAX, u'あ'));
  // A character of two units that would end past the limit is left out whole.
  const std::u16string cut = bt_bz_nam((std::string(MAX - 1, 'y') + "\xF0\x9F\x98\x80z").c_str());
  EXPECT_EQ(cut, std::u16string(MAX - 1, u'y'));
  const std::u16string fits = bt_bz_nam((std::string(MAX - 2, 'y') + "\xF0\x9F\x98\x80z").c_str());
  EXPECT_EQ(fits, std::u16string(MAX - 2, u'y') + u"😀");
}

TEST(BtBzNam, IllFormedPiecesBecomeOneReplacementEach) {
  const std::u16string R(1, 0xFFFD);
  EXPECT_EQ(bt_bz_nam("a\xFF" "b"), u"a" + R + u"b");           // never a lead byte
  EXPECT_EQ(bt_bz_nam("a\x80\x80" "b"), u"a" + R + R + u"b");    // stray continuation bytes
  EXPECT_EQ(bt_bz_nam("a\xE3\x81"), u"a" + R);                   // cut short at the end
  EXPECT_EQ(bt_bz_nam("\xE3\x81" "b"), R + u"b");                // cut short before a character
  EXPECT_EQ(bt_bz_nam("\xC0\xAF"), R + R);                       // overlong '/'
  EXPECT_EQ(bt_bz_nam("\xE0\x80\xAF"), R + R + R);               // overlong, three bytes
  EXPECT_EQ(bt_bz_nam("\xED\xA0\x80" "x"), R + R + R + u"x");    // an encoded surrogate
  EXPECT_EQ(bt_bz_nam("\xF4\x90\x80\x80"), R + R + R + R);       // past U+10FFFF
  EXPECT_EQ(bt_bz_nam("\xF0\x9F\x98"), R);                       // half an emoji
  // A name of nothing but bad bytes is still cut at the limit.
  EXPECT_EQ(bt_bz_nam(std::string(300, '\xFE').c_str()), std::u16string(BLUETOOTH_MAX_NAME_SIZE - 1, 0xFFFD));
}

TEST(BtBzShown, AUsersAliasThenTheNameThenNothing) {
  const std::string adr = "5C:E9:1E:07:B4:C1";
  struct row {
    const char* nam;  // nullptr: no Name
    const char* als;
    const char* want;
  } rows[] = {
      {"phone", "phone", "phone"},             // BlueZ's alias of a named device is its name
      {"phone", "Anna's phone", "Anna's phone"},  // set by the user
      {nullptr, "5C-E9-1E-07-B4-C1", ""},      // BlueZ's default alias: no name is known
      {nullptr, "5c-e9-1e-07-b4-c1", ""},
      {"", "5C-E9-1E-07-B4-C1", ""},
      {nullptr, "kitchen", "kitchen"},
      {"", "alias of an empty name", "alias of an empty name"},
      {"phone", "", "phone"},
      {nullptr, "", ""},
  };
  for (const row& r : rows)
    EXPECT_EQ(bt_bz_shown(r.nam ? r.nam : "", r.nam != nullptr, r.als, adr), r.want) << r.als;
}

TEST(BtBzCfg, PageAndRestValues) {
  struct row {
    const char *page, *rest;
    bool ok, all;
    size_t adrs;
    uint32_t rest_s;
  } rows[] = {
      {nullptr, nullptr, true, false, 0, 0},
      {"", "", true, false, 0, 0},
      {"paired", "30", true, true, 0, 30},
      {"5C:E9:1E:07:B4:C1", "0", true, false, 1, 0},
      {"PAIRED, 5c:e9:1e:07:b4:c1 ,5C:E9:1E:07:B4:C1,00:11:22:33:44:55", "3600", true, true, 2, 0 + 3600},
      {"paired,", nullptr, false, false, 0, 0},
      {"5C:E9:1E:07:B4", nullptr, false, false, 0, 0},
      {"paired;5C:E9:1E:07:B4:C1", nullptr, false, false, 0, 0},
      {nullptr, "3601", false, false, 0, 0},
      {nullptr, "-1", false, false, 0, 0},
      {nullptr, "1.5", false, false, 0, 0},
      {nullptr, "99999999999999999999999", false, false, 0, 0},
  };
  for (const row& r : rows) {
    bt_bz_cfg c;
    c.rest_s = 7;
    std::string err;
    const std::string at = std::string(r.page ? r.page : "-") + " / " + (r.rest ? r.rest : "-");
    ASSERT_EQ(bt_bz_cfg_rd(r.page, r.rest, c, err), r.ok) << at;
    if (!r.ok) {
      EXPECT_EQ(c.rest_s, 7u) << at << ": a bad value changes nothing";
      EXPECT_NE(err.find(r.rest ? "KESTREL_BT_REST=" : "KESTREL_BT_PAGE="), std::string::npos) << err;
      continue;
    }
    EXPECT_EQ(c.pg_all, r.all) << at;
    EXPECT_EQ(c.pg_adr.size(), r.adrs) << at;
    EXPECT_EQ(c.rest_s, r.rest_s) << at;
  }
  bt_bz_cfg c;
  std::string err;
  ASSERT_TRUE(bt_bz_cfg_rd("5C:E9:1E:07:B4:C1", nullptr, c, err));
  EXPECT_EQ(hex(*reinterpret_cast<const BYTE(*)[6]>(c.pg_adr[0].data())), "C1B4071EE95C");
}

TEST(BtBzCfg, AHostileValueIsShownEscapedAndCutShort) {
  bt_bz_cfg c;
  std::string err;
  const std::string v = "\x1b]0;owned\x07\n" + std::string(500, 'x');
  ASSERT_FALSE(bt_bz_cfg_rd(v.c_str(), nullptr, c, err));
  EXPECT_EQ(err.find_first_of("\x1b\x07\n"), std::string::npos) << err;
  EXPECT_NE(err.find("\\x1B]0;owned\\x07\\x0A"), std::string::npos) << err;
  EXPECT_LT(err.size(), 250u) << err;
}

// Searches as the watcher makes them (every kind of device, one inquiry unit), through the
// Find calls over the BlueZ stack, against the mock.
class BtBluez : public ::testing::Test {
 protected:
  // Long enough for the radio thread's answers to arrive inside a search's window.
  static void SetUpTestSuite() { setenv("KESTREL_BT_UNIT_MS", "150", 1); }
  void SetUp() override {
    ASSERT_TRUE(bz.ok()) << bz.err();
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bz.addr().c_str(), 1);
    bt_stk_set(bt_bluez_mak());
  }
  void TearDown() override { bt_stk_set(nullptr); }

  // One search of `mul` inquiry units: every device it reported, by address text. Where the
  // radio thread must answer within the search, give it a few units: a loaded machine is slow.
  static std::map<std::string, tu::bt_found> srch(UCHAR mul = 1) { return tu::bt_srch(mul, hex); }

  tu::bz_mock bz;
};

constexpr BYTE PAIRED = BT_DEV_REM | BT_DEV_AUT;

TEST_F(BtBluez, PairedDevicesAlwaysUnpairedOnlyWhenHeardOrConnected) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  const char *con = "00:00:00:00:00:01", *off = "00:00:00:00:00:02", *cached = "00:00:00:00:00:03",
             *heard = "00:00:00:00:00:04", *link = "00:00:00:00:00:05";
  for (const char* a : {con, off, cached, heard, link}) ASSERT_TRUE(bz.add_dev("hci0", a, std::string("d") + a[16]));
  ASSERT_TRUE(bz.pair("hci0", con) && bz.connect("hci0", con) && bz.set_class("hci0", con, 0x240404));
  ASSERT_TRUE(bz.pair("hci0", off));
  ASSERT_TRUE(bz.connect("hci0", link));  // connected without pairing
  bz.in_range("hci0", heard, true);

  auto r = srch(4);
  EXPECT_EQ(r.size(), 4u);
  EXPECT_EQ(r["010000000000"].flg, PAIRED | BT_DEV_CON);
  EXPECT_EQ(r["010000000000"].cls, 0x240404u);
  EXPECT_EQ(r["010000000000"].nam, u"d1");
  EXPECT_EQ(r["020000000000"].flg, PAIRED);
  EXPECT_EQ(r.count("030000000000"), 0u) << "only cached by BlueZ, not heard in this search";
  EXPECT_EQ(r["040000000000"].flg, 0);
  EXPECT_EQ(r["040000000000"].nam, u"d4");
  EXPECT_EQ(r["050000000000"].flg, BT_DEV_CON);

  // Out of range: the next search no longer reports it; a connection that ends ends its report.
  bz.in_range("hci0", heard, false);
  ASSERT_TRUE(bz.disconnect("hci0", link) && bz.disconnect("hci0", con));
  r = srch();
  EXPECT_EQ(r.size(), 2u);
  EXPECT_EQ(r["010000000000"].flg, PAIRED);
  EXPECT_EQ(r["020000000000"].flg, PAIRED);
}

TEST_F(BtBluez, DeviceAddedDuringTheSearchIsReported) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  EXPECT_TRUE(srch().empty());
  // Added while no search runs: BlueZ keeps it, but nothing heard it in a search.
  ASSERT_TRUE(bz.add_dev("hci0", "00:00:00:00:00:07", "early"));
  EXPECT_TRUE(srch().empty());
  // One that appears while the search runs is reported, and only by that search.
  bz.add_dev_at_discovery("hci0", "00:00:00:00:00:08", "late");
  const auto r = srch(4);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r.begin()->first, "080000000000");
  EXPECT_EQ(r.begin()->second.nam, u"late");
  EXPECT_TRUE(srch().empty());
}

TEST_F(BtBluez, EveryAdapterSearchesClassicBluetoothAndStopsAfterwards) {
  ASSERT_TRUE(bz.add_adapter("hci0") && bz.add_adapter("hci1"));
  ASSERT_TRUE(bz.add_dev("hci0", "00:00:00:00:00:10", "a") && bz.add_dev("hci1", "00:00:00:00:00:11", "b"));
  bz.in_range("hci0", "00:00:00:00:00:10", true);
  bz.in_range("hci1", "00:00:00:00:00:11", true);
  for (int i = 1; i <= 3; ++i) {
    const auto r = srch(4);
    EXPECT_EQ(r.size(), 2u) << "search " << i;
    for (const char* hci : {"hci0", "hci1"}) {
      EXPECT_EQ(bz.filter(hci, "Transport"), "bredr") << hci;
      EXPECT_EQ(bz.filter(hci, "RSSI"), "-127") << hci << ": every inquiry result, not only RSSI changes";
      EXPECT_FALSE(bz.discovering(hci)) << hci << ": discovery left running after search " << i;
      EXPECT_EQ(bz.calls(hci, "StartDiscovery"), i) << hci;
      EXPECT_EQ(bz.calls(hci, "StopDiscovery"), i) << hci;
    }
  }
}

TEST_F(BtBluez, UnpairedDevicesBehindRandomAddressesAreLeftOut) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  // As another program's LE scan leaves them: connected even, or heard in this search.
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_5D_00_00_00_00_51", "5D:00:00:00:00:51", "beacon", "beacon", true, "random"));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_5D_00_00_00_00_52", "5D:00:00:00:00:52", "tag", "tag", false, "random"));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_00_00_00_00_00_53", "00:00:00:00:00:53", "pub", "pub", false, "public"));
  bz.in_range("hci0", "5D:00:00:00:00:52", true);
  bz.in_range("hci0", "00:00:00:00:00:53", true);
  const auto r = srch(4);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r.begin()->first, "530000000000") << "heard like the others, but at a public address";
}

TEST_F(BtBluez, OneDeviceOnTwoAdaptersIsReportedOnce) {
  ASSERT_TRUE(bz.add_adapter("hci0") && bz.add_adapter("hci1"));
  const char* a = "0A:0B:0C:0D:0E:0F";
  ASSERT_TRUE(bz.add_dev("hci0", a, "twin") && bz.pair("hci0", a));
  ASSERT_TRUE(bz.add_dev("hci1", a, "twin") && bz.connect("hci1", a));
  const auto r = srch();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r.begin()->first, "0F0E0D0C0B0A");
  EXPECT_EQ(r.begin()->second.flg, PAIRED | BT_DEV_CON);
}

TEST_F(BtBluez, NamesAndUnreadableAddressesAreLeftOut) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_1", "00:00:00:00:00:21", nullptr, "alias only", true));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_2", "00:00:00:00:00:22", nullptr, "00-00-00-00-00-22", true));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_3", "not an address", "bad", "bad", true));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_4", "00:00:00:00:00:24", "\xE3\x83\x9E\xE3\x82\xA6\xE3\x82\xB9",
                             "\xE3\x83\x9E\xE3\x82\xA6\xE3\x82\xB9", true));
  ASSERT_TRUE(bz.add_raw_dev("hci0", "dev_5", "00:00:00:00:00:25", "mouse", "my mouse", true));
  const auto r = srch();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r.at("210000000000").nam, u"alias only");
  EXPECT_EQ(r.at("220000000000").nam, u"") << "no name yet: not BlueZ's dashed address";
  EXPECT_EQ(r.at("240000000000").nam, u"マウス");
  EXPECT_EQ(r.at("250000000000").nam, u"my mouse") << "the user's alias";
}

// bluetoothd says InProgress also when the kernel would not start the inquiry.
TEST_F(BtBluez, InProgressIsTriedOnceMoreThenAFailureOfTheAdapter) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  const char* a = "00:00:00:00:00:60";
  ASSERT_TRUE(bz.add_dev("hci0", a, "near"));
  bz.in_range("hci0", a, true);
  struct row {
    int fails;
    size_t found;
    const char* said;
  } rows[] = {{1, 1, ""}, {2, 0, "hci0: org.bluez.Error.InProgress"}};
  for (const row& w : rows) {
    const int start0 = bz.calls("hci0", "StartDiscovery"), stop0 = bz.calls("hci0", "StopDiscovery");
    ASSERT_TRUE(bz.fail_start("hci0", w.fails, "org.bluez.Error.InProgress", "Operation already in progress"))
        << bz.err();
    bt_stk_set(bt_bluez_mak());
    tu::err_cap cap;
    EXPECT_EQ(srch(4).size(), w.found) << w.fails;
    const std::string err = cap.txt();
    EXPECT_EQ(bz.calls("hci0", "StartDiscovery") - start0, 2) << w.fails;
    EXPECT_GE(bz.calls("hci0", "StopDiscovery") - stop0, 1) << w.fails << ": stopped before the second start";
    if (*w.said == '\0') {
      EXPECT_EQ(err, "") << w.fails;
    } else {
      EXPECT_NE(err.find("Bluetooth unavailable"), std::string::npos) << err;
      EXPECT_NE(err.find(w.said), std::string::npos) << err;
    }
  }
}

// Unplugged between the listing and the start of its search: gone, not failing.
TEST_F(BtBluez, AnAdapterGoneBeforeItsSearchIsNoFailure) {
  ASSERT_TRUE(bz.add_adapter("hci0"));
  const char* a = "00:00:00:00:00:61";
  ASSERT_TRUE(bz.add_dev("hci0", a, "near"));
  bz.in_range("hci0", a, true);
  // The messages end in a line break, as dbus-python's own errors do.
  const struct {
    const char* err;
    const char* said;
  } rows[] = {{"org.freedesktop.DBus.Error.UnknownObject", "no Bluetooth adapter"},
              {"org.freedesktop.DBus.Error.UnknownInterface", "no Bluetooth adapter"},
              {"org.bluez.Error.NotReady", "no adapter can search (hci0: org.bluez.Error.NotReady: \"gone\\x0A\")"}};
  for (const auto& w : rows) {
    ASSERT_TRUE(bz.fail_start("hci0", 1, w.err, "gone\\n")) << bz.err();
    bt_stk_set(bt_bluez_mak());
    tu::err_cap cap;
    EXPECT_EQ(srch(4).size(), 0u) << w.err;
    const std::string err = cap.txt();
    EXPECT_NE(err.find(std::string("Bluetooth unavailable: ") + w.said), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  }
}

TEST_F(BtBluez, DevicesOfAGoneAdapterAreNotReported) {
  ASSERT_TRUE(bz.add_adapter("hci0") && bz.add_adapter("hci1"));
  ASSERT_TRUE(bz.add_dev("hci0", "00:00:00:00:00:30", "stays") && bz.pair("hci0", "00:00:00:00:00:30"));
  ASSERT_TRUE(bz.add_dev("hci1", "00:00:00:00:00:31", "goes") && bz.pair("hci1", "00:00:00:00:00:31"));
  EXPECT_EQ(srch().size(), 2u);
  ASSERT_TRUE(bz.rm_adapter_only("hci1"));  // its device objects linger on the bus
  const auto r = srch();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r.begin()->first, "300000000000");
  ASSERT_TRUE(bz.rm_adapter_only("hci0"));
  EXPECT_TRUE(srch().empty());
}

TEST_F(BtBluez, ARestartedBluetoothdAndANewBusConnectionAreFoundAgain) {
  ASSERT_TRUE(bz.add_adapter("hci0") && bz.add_dev("hci0", "00:00:00:00:00:40", "p") &&
              bz.pair("hci0", "00:00:00:00:00:40"));
  EXPECT_EQ(srch().size(), 1u);
  bz.kill_mock();
  EXPECT_TRUE(srch().empty());
  ASSERT_TRUE(bz.start_mock());
  ASSERT_TRUE(bz.add_adapter("hci3") && bz.add_dev("hci3", "00:00:00:00:00:41", "q") &&
              bz.pair("hci3", "00:00:00:00:00:41"));
  auto r = srch();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r.begin()->first, "410000000000");

  bz.kill_bus();
  EXPECT_TRUE(srch().empty());
  ASSERT_TRUE(bz.start_bus() && bz.start_mock());
  ASSERT_TRUE(bz.add_adapter("hci0") && bz.add_dev("hci0", "00:00:00:00:00:42", "r") &&
              bz.pair("hci0", "00:00:00:00:00:42"));
  r = srch();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r.begin()->first, "420000000000");
}

}  // namespace
