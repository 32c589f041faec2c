// The watcher run as a program over scripted Bluetooth stacks, its output compared byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "run_prog.h"
#include "test_util.h"

namespace {

class Watch : public testing::Test {
 protected:
  tu::tmp_dir dir;

  tu::prog_out run(const std::string& scenario) {
    const std::string path = dir.file("s.scn");
    std::ofstream(path, std::ios::binary) << scenario;
    // The program works (and writes its diagnostics files) in the scratch directory.
    return tu::run_prog({}, {"KESTREL_BT_SIM=" + path, "BAS_TMR_PATH=" + dir.file("tmr.txt"),
                             "BAS_MEMLOG_PATH=" + dir.file("m.log"),
                             "BAS_MEMLLOG_PATH=" + dir.file("l.log")});
  }
};

std::string passes(int n, const std::string& body = "") {
  std::string s;
  for (int i = 0; i < n; ++i) s += "pass\n" + body;
  return s;
}

const std::string phone = "device 00:11:22:33:44:55 - phone\n";
const std::string phone_key = "554433221100-phone";

TEST_F(Watch, NewDeviceIsOnAndADropOutIsAbsorbed) {
  const auto r = run(passes(1, phone) + passes(1, phone) + passes(2) + passes(1, phone) + passes(3));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, phone_key + "=ON\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(Watch, MissingDeviceTurnsOffOnTheFourthPassWithoutIt) {
  // Sweep count-down 3, 2, 1, then the change; back ON when seen again.
  auto r = run(passes(1, phone) + passes(3));
  EXPECT_EQ(r.out, phone_key + "=ON\n");
  r = run(passes(1, phone) + passes(4));
  EXPECT_EQ(r.out, phone_key + "=ON\n" + phone_key + "=OFF\n");
  r = run(passes(1, phone) + passes(6) + passes(1, phone) + passes(1, phone));
  EXPECT_EQ(r.out, phone_key + "=ON\n" + phone_key + "=OFF\n" + phone_key + "=ON\n");
}

TEST_F(Watch, PairedDeviceSwitchedOffCountsDownWhileReported) {
  const std::string on = "device AA:BB:CC:DD:EE:0F CR headset\n";
  const std::string off = "device AA:BB:CC:DD:EE:0F R headset\n";
  const std::string key = "0FEEDDCCBBAA-headset";
  auto r = run(passes(1, on) + passes(3, off));
  EXPECT_EQ(r.out, key + "=ON\n");
  r = run(passes(1, on) + passes(4, off) + passes(3, off));
  EXPECT_EQ(r.out, key + "=ON\n" + key + "=OFF\n") << "reported absent after OFF: nothing more";
  r = run(passes(1, on) + passes(5, off) + passes(1, on));
  EXPECT_EQ(r.out, key + "=ON\n" + key + "=OFF\n" + key + "=ON\n");
}

TEST_F(Watch, RememberedDeviceNeverPresentIsNeverShown) {
  const auto r = run(passes(6, "device 01:02:03:04:05:06 RA ghost\n") + passes(5));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

TEST_F(Watch, PassesWithNothingFoundCountDownEveryDevice) {
  const std::string two = phone + "device 66:77:88:99:AA:BB C laptop\n";
  const auto r = run(passes(1, two) + passes(4));
  EXPECT_EQ(r.out, phone_key + "=ON\nBBAA99887766-laptop=ON\n" + phone_key + "=OFF\nBBAA99887766-laptop=OFF\n");
}

TEST_F(Watch, ChangesOfOneSweepComeInByteWiseKeyOrder) {
  // 0x82 (a Shift-JIS lead byte) sorts after 'z', and after ASCII in general.
  const std::string devs = "device 00:00:00:00:00:01 - \xE3\x81\x82\n"  // あ
                           "device 00:00:00:00:00:01 - z\n"
                           "device 00:00:00:00:00:01 - Z\n";
  const auto r = run(passes(1, devs) + passes(4));
  const std::string a = "010000000000-\x82\xA0";
  const std::string z = "010000000000-z";
  const std::string Z = "010000000000-Z";
  EXPECT_EQ(r.out, a + "=ON\n" + z + "=ON\n" + Z + "=ON\n" + Z + "=OFF\n" + z + "=OFF\n" + a + "=OFF\n");
}

TEST_F(Watch, RenamedDeviceIsANewEntryAndTheOldOneFades) {
  const auto r = run(passes(1, "device 00:11:22:33:44:55 - old\n") + passes(4, "device 00:11:22:33:44:55 - new\n"));
  EXPECT_EQ(r.out, "554433221100-old=ON\n554433221100-new=ON\n554433221100-old=OFF\n");
}

TEST_F(Watch, NamesAreShiftJisWithQuestionMarksForTheRest) {
  const auto r = run(passes(1, "device 00:00:00:00:00:02 - \xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB\n"  // スピーカ
                               "device 00:00:00:00:00:03 - caf\xC3\xA9 \xF0\x9F\x98\x80!\n"                    // café 😀!
                               "device 00:00:00:00:00:04 -\n"));
  EXPECT_EQ(r.out, std::string("020000000000-\x83\x58\x83\x73\x81\x5B\x83\x4A=ON\n") +
                       "030000000000-caf? ?!=ON\n" + "040000000000-=ON\n");
}

TEST_F(Watch, ControlCharactersInANameCannotForgeOutput) {
  const auto r = run(passes(1, "device 00:00:00:00:00:07 - tab\there\x1B[31mred\x7F=\x0BON\n"));
  EXPECT_EQ(r.out, "070000000000-tab?here?[31mred?=?ON=ON\n");
}

TEST_F(Watch, OverlongNameIsCutToFitTheKey) {
  const auto r = run(passes(1, "device 00:00:00:00:00:05 - " + std::string(247, 'x') + "\n") +
                     passes(1, "device 00:00:00:00:00:06 - " + std::string(200, 'y') + "\xE3\x81\x82\xE3\x81\x82" +
                                   std::string(40, 'y') + "\n"));
  const std::string k1 = "050000000000-" + std::string(242, 'x');
  const std::string k2 = "060000000000-" + std::string(200, 'y') + "\x82\xA0\x82\xA0" + std::string(38, 'y');
  ASSERT_EQ(k1.size(), 255u);
  EXPECT_EQ(r.out, k1 + "=ON\n" + k2 + "=ON\n");
}

TEST_F(Watch, ScenarioFaultsEndTheProgramWithStatusTwo) {
  const auto r = run("pass\ndevice 00:11:22:33:44 - short\n");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("s.scn:2"), std::string::npos) << r.err;
}

TEST_F(Watch, StateLinesAreWrittenAsTheyHappen) {
  // A long pause after the first pass: the ON line must reach a reader meanwhile.
  const std::string path = dir.file("slow.scn");
  std::ofstream(path) << "pass\n" << phone << "pass\nwait 60000\n";
  tu::live_prog p({}, {"KESTREL_BT_SIM=" + path, "BAS_TMR_PATH=" + dir.file("t.txt")});
  EXPECT_EQ(p.line(), phone_key + "=ON\n");
  EXPECT_TRUE(p.running());
}

TEST_F(Watch, AFileThatIsNoScenarioIsAFaultNotItsEnd) {
  const auto r = tu::run_prog({}, {"KESTREL_BT_SIM=/dev/zero"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "/dev/zero:1: the line is longer than 65536 bytes\n");
}

TEST_F(Watch, ATableLimitThatIsNoNumberEndsTheStart) {
  for (const char* bad : {"0", "-1", "x", "4096 ", "99999999999"}) {
    const auto r = tu::run_prog({}, {std::string("KESTREL_TABLE_MAX=") + bad, "KESTREL_BT_SIM=/dev/null"});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.out, "") << bad;
    EXPECT_EQ(r.err, std::string("kestrel: KESTREL_TABLE_MAX=\"") + bad +
                         "\": not a whole number of devices from 1 to 2147483647\n") << bad;
  }
  EXPECT_EQ(tu::run_prog({}, {"KESTREL_TABLE_MAX=1", "KESTREL_BT_SIM=/dev/null"}).status, 0);
}

}  // namespace
