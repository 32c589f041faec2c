// The console as a person meets it: text in the character set they name, each line as it
// happens, and a word when no Bluetooth stack can be used.
#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <string>

#include "run_prog.h"
#include "test_util.h"

namespace {

// What iconv makes of text in one set in another; empty when it cannot.
std::string cnv(const std::string& in, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "";
  std::string out(in.size() * 4 + 16, '\0');
  char* ip = const_cast<char*>(in.data());
  size_t il = in.size();
  char* op = out.data();
  size_t ol = out.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "";
  out.resize(out.size() - ol);
  return out;
}

std::string from_cp932(const std::string& in, const char* to) { return cnv(in, "CP932", to); }

class Console : public testing::Test {
 protected:
  tu::tmp_dir dir;

  std::string scn(const std::string& txt) {
    const std::string path = dir.file("s.scn");
    std::ofstream(path, std::ios::binary) << txt;
    return path;
  }
  std::vector<std::string> env(const std::string& path, const std::string& set) {
    return {"KESTREL_BT_SIM=" + path, "KESTREL_CHARSET=" + set, "BAS_TMR_PATH=" + dir.file("t.txt"),
            "BAS_MEMLOG_PATH=" + dir.file("m.log"), "BAS_MEMLLOG_PATH=" + dir.file("l.log")};
  }
};

// Japanese names, a name CP932 lacks characters for, a device that comes and goes.
const std::string devices =
    "pass\n"
    "device 00:00:00:00:00:02 - \xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB\n"  // スピーカ
    "device 00:00:00:00:00:03 - caf\xC3\xA9 \xE9\xAB\x99\n"                           // café 髙
    "device 00:00:00:00:00:04 C plain\n"
    "pass\npass\npass\npass\n";

TEST_F(Console, Utf8LinesAreTheDefaultLinesConverted) {
  const std::string s = scn(devices);
  const auto def = tu::run_prog({}, env(s, ""));
  const auto utf8 = tu::run_prog({}, env(s, "UTF-8"));
  ASSERT_EQ(def.status, 0);
  ASSERT_EQ(utf8.status, 0);
  EXPECT_NE(def.out.find("\x83\x58\x83\x73"), std::string::npos) << "the default stays CP932";
  EXPECT_EQ(utf8.out, from_cp932(def.out, "UTF-8"));
  EXPECT_NE(utf8.out.find("\xE3\x82\xB9\xE3\x83\x94"), std::string::npos);
  EXPECT_EQ(utf8.err, "");

  // The help screen as well, every byte of it.
  const auto hdef = tu::run_prog({"/h"}, env(s, ""));
  const auto hutf8 = tu::run_prog({"/h"}, env(s, "utf-8"));
  ASSERT_EQ(hutf8.status, 0);
  EXPECT_EQ(hutf8.out, from_cp932(hdef.out, "UTF-8"));
}

TEST_F(Console, Cp932NamedOrNoneKeepsTheBytes) {
  const std::string s = scn(devices);
  const auto def = tu::run_prog({}, env(s, ""));
  EXPECT_EQ(tu::run_prog({}, env(s, "cp932")).out, def.out);
  EXPECT_EQ(tu::run_prog({}, env(s, "CP932")).out, def.out);
}

TEST_F(Console, CharactersTheSetLacksBecomeQuestionMarks) {
  const auto r = tu::run_prog({}, env(scn(devices), "ISO-8859-1"));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "020000000000-?\?\?\?=ON\n030000000000-caf? ?=ON\n040000000000-plain=ON\n"
            "020000000000-?\?\?\?=OFF\n030000000000-caf? ?=OFF\n040000000000-plain=OFF\n");
}

TEST_F(Console, OptionsAreReadAndCommandsGetTheirArgumentsInTheUsersSet) {
  // A template with Japanese words whose last bytes in CP932 are lead bytes (ト, 宅) and a
  // character CP932 lacks (é), a Japanese name; unset, the option's bytes are CP932 already.
  const std::string words = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 \xE5\x9C\xA8\xE5\xAE\x85 caf\xC3\xA9";
  const std::string name = "\xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB";  // スピーカ
  const std::string want = "\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88\n\xE5\x9C\xA8\xE5\xAE\x85\ncaf?\n" + name + "\n--\n";
  const std::string s = scn("pass\ndevice 00:11:22:33:44:55 - " + name + "\npass\n");
  for (const char* set : {"UTF-8", "EUC-JP", ""}) {
    SCOPED_TRACE(set);
    const char* in = *set != 0 ? set : "CP932";
    const std::string file = dir.file(std::string("argv-") + in);
    // CP932 has no é to type.
    const std::string typed = *set != 0 ? words : words.substr(0, words.size() - 2) + "?";
    const std::string tpl = cnv(std::string(ARGV_DUMP) + " " + file + " " + typed + " @name@", "UTF-8", in);
    ASSERT_FALSE(tpl.empty());
    const auto r = tu::run_prog({"/cmdon=\"" + tpl + "\""}, env(s, set));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tu::slurp(file), cnv(want, "UTF-8", in));
  }
}

// CP932 text as an ASCII terminal is shown it: "?" for each character beyond ASCII.
std::string ascii(const std::string& cp) {
  std::string a;
  for (size_t i = 0; i < cp.size(); ++i) {
    const auto b = static_cast<unsigned char>(cp[i]);
    a += b < 0x80 ? cp[i] : '?';
    if ((b >= 0x81 && b <= 0x9F) || b >= 0xE0) ++i;
  }
  return a;
}

TEST_F(Console, ATerminalGetsItsLocalesSetWhenNoneIsNamed) {
  const std::string hcp = tu::run_prog({"/h"}).out;
  struct cas {
    const char* lang;
    const char* set;   // KESTREL_CHARSET
    bool tty;
    std::string out;
  };
  for (const cas& c : std::vector<cas>{{"C.UTF-8", "", true, from_cp932(hcp, "UTF-8")},
                                       {"C.UTF-8", "CP932", true, hcp},
                                       {"C.UTF-8", "", false, hcp},
                                       {"C", "", true, ascii(hcp)}}) {
    SCOPED_TRACE(std::string(c.lang) + " [" + c.set + "] " + (c.tty ? "tty" : "pipe"));
    const auto r = tu::run_prog({"/h"}, {"LANG=" + std::string(c.lang), "LC_ALL=", "LC_CTYPE=",
                                         "KESTREL_CHARSET=" + std::string(c.set)}, 20000, c.tty);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(Console, EachLineReachesAReaderBeforeTheNextPass) {
  // The second search takes a minute: whatever the reader gets meanwhile was written at once.
  const std::string s = scn("pass\ndevice 00:00:00:00:00:02 - \xE3\x82\xB9\xE3\x83\x94\n"
                            "pass\ndevice 00:00:00:00:00:03 - b\npass\nwait 60000\n");
  for (const char* set : {"", "UTF-8"}) {
    SCOPED_TRACE(set);
    tu::live_prog p({}, env(s, set));
    ASSERT_TRUE(p.started());
    const std::string first = std::string(*set ? "020000000000-\xE3\x82\xB9\xE3\x83\x94" : "020000000000-\x83\x58\x83\x73");
    EXPECT_EQ(p.line(), first + "=ON\n");
    EXPECT_EQ(p.line(), "030000000000-b=ON\n");
    EXPECT_TRUE(p.running()) << "the lines came only when the program ended";
  }
}

TEST_F(Console, AReaderThatGoesAwayDoesNotEndTheWatcher) {
  // kestrel | head -1: the lines after the first find no reader; watching goes on to the end of
  // the scenario, where the program ends by itself with status 0.
  const std::string s = scn("pass\ndevice 00:00:00:00:00:01 - a\npass\nwait 1500\ndevice 00:00:00:00:00:02 - b\n"
                            "pass\ndevice 00:00:00:00:00:03 - c\npass\n");
  tu::live_prog p({}, env(s, ""));
  EXPECT_EQ(p.line(), "010000000000-a=ON\n");
  p.close_out();
  EXPECT_EQ(p.wait_end(), 0);
}

TEST_F(Console, UnknownSetIsOneLineAndStatusTwo) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"/h"}}) {
    const auto r = tu::run_prog(args, env(scn(devices), "NO-SUCH-SET-42"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    ASSERT_FALSE(r.err.empty());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_NE(r.err.find("NO-SUCH-SET-42"), std::string::npos) << r.err;
  }
}

TEST_F(Console, WithoutAStackTheProgramSaysSoOnce) {
  // Short inquiry units, so that many searches pass before the program is stopped; a system
  // bus that is not there, whatever this machine has.
  const auto r = tu::run_prog({}, {"KESTREL_BT_SIM=", "KESTREL_BT_UNIT_MS=5", "BAS_TMR_PATH=" + dir.file("t.txt"),
                                   "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + dir.file("no-bus"),
                                   "BAS_MEMLOG_PATH=" + dir.file("m.log"), "BAS_MEMLLOG_PATH=" + dir.file("l.log")},
                              1500);
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  EXPECT_NE(r.err.find("KESTREL_BT_SIM"), std::string::npos) << r.err;
}

}  // namespace
