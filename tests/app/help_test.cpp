// The help screen, byte for byte, as the program writes it.
#include <gtest/gtest.h>
#include <iconv.h>

#include <regex>
#include <string>

#include "run_prog.h"

namespace {

// The expected text is written here in UTF-8 and converted at run time, independently of the
// compiler's own conversion of the program's literals.
std::string cp932(const char8_t* u8) {
  std::string in(reinterpret_cast<const char*>(u8));
  iconv_t cd = iconv_open("CP932", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(in.size() * 2 + 16, '\0');
  char* ip = in.data();
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  EXPECT_NE(iconv(cd, &ip, &il, &op, &ol), static_cast<size_t>(-1));
  iconv_close(cd);
  out.resize(out.size() - ol);
  return out;
}

const std::string& expected_help() {
  static const std::string h = cp932(
      u8"ブルートゥースデバイスを監視します。\n"
      u8"kestrel [/t=値] [/c=値] [/fp] [/nfp] [/cmdon=値] [/cmdoff=値] [/dbgcnt] [/dbgtim] \n\n"
      u8"\t/t\t:タイムアウト時間\n\t\tデフォルト：4\n\t\t省略可\n"
      u8" \t/c\t:切断判定カウント\n\t\tデフォルト：3\n\t\t省略可\n"
      u8" \t/fp\t:標準出力を行う\n\t\tデフォルト：ON\n\t\t省略可\n"
      u8" \t/nfp\t:標準出力を行わない\n\t\t省略可\n"
      u8" \t/cmdon\t:デバイス検出時コマンド\n\t\t省略可\n"
      u8" \t/cmdoff\t:デバイス切断時コマンド\n\t\t省略可\n"
      u8" \t/dbgcnt\t:デバッグ 切断カウントを標準出力\n\t\t省略可\n"
      u8" \t/dbgtim\t:デバッグ 検出時刻を標準出力\n\t\t省略可\n"
      u8" \n[コマンド書式]\n"
      u8"デバイスの検出、切断時に実行するコマンドを指定できる。(cmdon,cmdoff)\n"
      u8"コマンド内に以下の文字列を埋め込むことで検出情報を利用できる\n"
      u8"@addr@\tbuluetoothデバイスのアドレス\n"
      u8"@name@\tbuluetoothデバイスの名称\n"
      u8"@onoff@\t接続時に\"ON\",切断時に\"OFF\"\n"
      u8"@time@\t現在時刻\"yyyy/mm/dd HH:MM:SS\"\n\n");
  return h;
}

TEST(Help, ExpectedTextIsShiftJis) {
  // First bytes of ブルートゥース in CP932, so the comparison below is about CP932 bytes.
  EXPECT_EQ(expected_help().substr(0, 4), std::string("\x83\x75\x83\x8B", 4));
}

TEST(Help, EachHelpWordAloneShowsTheScreenAndExitsZero) {
  for (const char* w : {"/h", "/?", "/H"}) {
    const tu::prog_out r = tu::run_prog({w});
    EXPECT_EQ(r.status, 0) << w;
    EXPECT_EQ(r.out, expected_help()) << w;
    EXPECT_EQ(r.err, "") << w;
  }
}

TEST(Help, OtherWordsAreNotHelp) {
  for (const char* w : {"/help", "-h", "/?x", "/h ", "h", "/"}) {
    const tu::prog_out r = tu::run_prog({w}, {"KESTREL_BT_SIM=/dev/null"}, 10000);
    EXPECT_EQ(r.out.find(expected_help().substr(0, 20)), std::string::npos) << w;
  }
}

TEST(Help, DashHAndDashDashHelpShowTheUsageAndVersionItsName) {
  const tu::prog_out h = tu::run_prog({"-h"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.err, "");
  EXPECT_EQ(h.out.rfind("Usage: kestrel ", 0), 0u) << h.out;
  for (const char* w : {"/t=N", "/c=N", "/fp", "/nfp", "/cmdon=", "/cmdoff=", "/dbgcnt", "/dbgtim", "/h", "KESTREL_CHARSET",
                        "KESTREL_CMD_TIMEOUT", "KESTREL_TABLE_MAX", "KESTREL_BT_SIM", "README.md", "--version"})
    EXPECT_NE(h.out.find(w), std::string::npos) << w;
  EXPECT_EQ(tu::run_prog({"--help"}).out, h.out);
  EXPECT_EQ(tu::run_prog({"-h"}, {"KESTREL_CHARSET=UTF-8"}).out, h.out);

  const tu::prog_out v = tu::run_prog({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_TRUE(std::regex_match(v.out, std::regex("kestrel [0-9][^ \n]*\n"))) << v.out;
}

TEST(Help, OnlyTheFirstArgumentCounts) {
  const tu::prog_out r = tu::run_prog({"/t=5", "/h"}, {"KESTREL_BT_SIM=/dev/null"}, 10000);
  EXPECT_EQ(r.out.find(expected_help().substr(0, 20)), std::string::npos);
}

}  // namespace
