// The options as the program reads them from its command line, run over scripted Bluetooth
// stacks: each option's effect, where the scan stops, help words followed by options, and the
// exit status of every malformed option with nothing printed.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "run_prog.h"
#include "test_util.h"

namespace {

std::string passes(int n, const std::string& body = "") {
  std::string s;
  for (int i = 0; i < n; ++i) s += "pass\n" + body;
  return s;
}

const std::string PHONE = "device 00:11:22:33:44:55 - my phone\n";
const std::string KEY = "554433221100-my phone";
const std::string ON = KEY + "=ON\n", OFF = KEY + "=OFF\n";

class Opt : public testing::Test {
 protected:
  tu::tmp_dir dir;
  std::string argv_file = dir.file("argv.txt");

  tu::prog_out run(const std::vector<std::string>& args, const std::string& scenario) {
    const std::string path = dir.file("s.scn");
    std::ofstream(path, std::ios::binary) << scenario;
    return tu::run_prog(args, {"KESTREL_BT_SIM=" + path, "KESTREL_CHARSET=",
                               "BAS_TMR_PATH=" + dir.file("tmr.txt"),
                               "BAS_MEMLOG_PATH=" + dir.file("m.log"),
                               "BAS_MEMLLOG_PATH=" + dir.file("l.log")});
  }
  // The phone is seen once, then missed n times.
  tu::prog_out missed(const std::vector<std::string>& args, int n) {
    return run(args, passes(1, PHONE) + passes(n));
  }
  // An event command template that records its arguments.
  std::string dump(const std::string& args) {
    return std::string(ARGV_DUMP) + " " + argv_file + " " + args;
  }
};

TEST_F(Opt, DisconnectCount) {
  // The default 3: OFF at the fourth pass without it.
  EXPECT_EQ(missed({}, 3).out, ON);
  EXPECT_EQ(missed({}, 4).out, ON + OFF);
  EXPECT_EQ(missed({"/c=0"}, 1).out, ON + OFF);
  EXPECT_EQ(missed({"/c=1"}, 1).out, ON);
  EXPECT_EQ(missed({"/c=1"}, 2).out, ON + OFF);
  EXPECT_EQ(missed({"/c=5"}, 5).out, ON);
  EXPECT_EQ(missed({"/c=5"}, 6).out, ON + OFF);
  // Not a number, or no value: the default.
  EXPECT_EQ(missed({"/c=x"}, 3).out, ON);
  EXPECT_EQ(missed({"/c"}, 4).out, ON + OFF);
  // The last one given counts.
  EXPECT_EQ(missed({"/c=5", "/c=0"}, 1).out, ON + OFF);
}

TEST_F(Opt, PrintingStateLines) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"/fp"}}) {
    const auto r = missed(args, 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, ON + OFF);
  }
  // /nfp comes later in the table: given with /fp, in either order, it wins.
  for (const auto& args : std::vector<std::vector<std::string>>{{"/nfp"}, {"/fp", "/nfp"}, {"/nfp", "/fp"}}) {
    const auto r = missed(args, 4);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "") << args[0];
  }
}

TEST_F(Opt, DebugLines) {
  EXPECT_EQ(missed({"/dbgcnt"}, 4).out, KEY + "/set/count=3\n" + ON + KEY + "/down/count=2\n" +
                                            KEY + "/down/count=1\n" + KEY + "/down/count=0\n" + OFF);
  const std::string tim = "/time=\"\\d{4}/\\d{1,2}/\\d{1,2} \\d\\d:\\d\\d:\\d\\d\"\n";
  const std::string key = "554433221100-my phone";
  // The detection time before each state line.
  auto r = missed({"/dbgtim"}, 4);
  EXPECT_TRUE(std::regex_match(r.out, std::regex(key + tim + key + "=ON\n" + key + tim + key + "=OFF\n")))
      << r.out;
  // Both: the time after each count line, none before the state lines.
  r = missed({"/dbgcnt", "/dbgtim"}, 1);
  EXPECT_TRUE(std::regex_match(r.out, std::regex(key + "/set/count=3\n" + key + tim + key + "=ON\n" + key +
                                                 "/down/count=2\n" + key + tim)))
      << r.out;
}

TEST_F(Opt, EventCommandsWithEveryPlaceholder) {
  const std::string on = "/cmdon=\"" + dump("on @addr@ \\\"@name@\\\" @onoff@ \\\"@time@\\\" @@") + "\"";
  const std::string off = "/cmdoff=\"" + dump("off @addr@ @name@ @onoff@") + "\"";
  const auto r = missed({on, off, "/c=0"}, 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ON + OFF);
  EXPECT_TRUE(std::regex_match(tu::slurp(argv_file),
                               std::regex("on\n554433221100\nmy phone\nON\n\\d{4}/\\d{1,2}/\\d{1,2} "
                                          "\\d\\d:\\d\\d:\\d\\d\n@\n--\n"
                                          "off\n554433221100\nmy\nphone\nOFF\n--\n")))
      << tu::slurp(argv_file);
}

TEST_F(Opt, OnlyOneOfTheCommands) {
  auto r = missed({"/cmdoff=\"" + dump("@onoff@") + "\"", "/c=0"}, 1);
  EXPECT_EQ(tu::slurp(argv_file), "OFF\n--\n");
  std::remove(argv_file.c_str());
  r = missed({"/cmdon=\"" + dump("@onoff@") + "\"", "/c=0"}, 1);
  EXPECT_EQ(tu::slurp(argv_file), "ON\n--\n");
}

TEST_F(Opt, EscapesInAQuotedTemplate) {
  // \" and \\ reach the command line as " and \, which then groups and stands for itself.
  const auto r = missed({"/cmdon=\"" + dump("\\\"two words\\\" back\\\\slash t\\tab") + "\""}, 0);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(tu::slurp(argv_file), "two words\nback\\slash\nt\nab\n--\n");
}

TEST_F(Opt, SeveralOptionsInOneArgument) {
  EXPECT_EQ(missed({"/c=0;nfp"}, 1).out, "");
  EXPECT_EQ(missed({"/c=0;dbgcnt"}, 1).out, KEY + "/set/count=0\n" + ON + OFF);
  EXPECT_EQ(missed({"/c=0\ndbgcnt"}, 1).out, KEY + "/set/count=0\n" + ON + OFF);
}

TEST_F(Opt, TheScanStopsAtTheFirstArgumentWithoutSlash) {
  EXPECT_EQ(missed({"/c=0", "foo", "/nfp"}, 1).out, ON + OFF) << "/nfp is not read";
  EXPECT_EQ(missed({"foo", "/c=0"}, 1).out, ON);
  // Not even read: a malformed option after the stop does not end the program.
  const auto r = missed({"/c=0", "-", "/=5"}, 1);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ON + OFF);
}

TEST_F(Opt, HelpWordsFollowedByOptions) {
  const std::string help = tu::run_prog({"/h"}).out;
  ASSERT_GT(help.size(), 100u);
  for (const char* w : {"/h", "/?", "/H"}) {
    auto r = missed({w, "/c=0"}, 1);
    EXPECT_EQ(r.status, 0) << w;
    EXPECT_EQ(r.out, help + ON + OFF) << w;
    r = missed({w, "/nfp"}, 4);
    EXPECT_EQ(r.out, help) << w;
  }
}

TEST_F(Opt, AMalformedOptionEndsTheStartUpWithOneLineOfWhy) {
  struct cas {
    std::vector<std::string> args;
    int status;
    std::string bad;   // the argument named
    std::string why;   // what the line says is wrong
  };
  // 1: the low byte of 0x80000001; 255: of -1.
  const std::string sep = "follows the value of ";
  const std::vector<cas> cases = {
      {{"/=5"}, 1, "/=5", "begins with its name, not \"=\""},
      {{"//"}, 1, "//", "begins with its name, not \"/\""},
      {{"/;a"}, 1, "/;a", "begins with its name, not \";\""},
      {{"/t="}, 1, "/t=", "nothing after \"t=\""},
      {{"/c==1"}, 1, "/c==1", "value of \"c\" must be a word or a text in double quotes, not \"=\""},
      {{"/cmdon=\"open"}, 1, "/cmdon=\"open", "no closing quote"},
      {{"/cmdon=\"a", "b\""}, 1, "/cmdon=\"a", "no closing quote"},
      {{"/t=5.x"}, 255, "/t=5.x", "\"x\" " + sep + "\"t\""},
      {{"/c=5 /t=3"}, 255, "/c=5 /t=3", "\"/\" " + sep + "\"c\""},
      {{"/]"}, 255, "/]", "\"]\" closes no group"},
      {{"/cmdon=notepad.exe"}, 255, "/cmdon=notepad.exe", "\"exe\" " + sep + "\"cmdon\""},
      {{"/a=1 b=2"}, 255, "/a=1 b=2", "\"b\" " + sep + "\"a\""},
      {{"/c=1[x=2]"}, 255, "/c=1[x=2]", "\"]\" closes no group"},
      {{"/c=1", "/t=5.x", "/nfp"}, 255, "/t=5.x", sep},
      {{"/nfp", "/=5"}, 1, "/=5", "begins with its name"},
      {{"/h", "/]"}, 255, "/]", "closes no group"},
      {{"/c=0\x01\n]"}, 255, "/c=0??]", "closes no group"},
  };
  for (const cas& c : cases) {
    const auto r = missed(c.args, 4);
    EXPECT_EQ(r.status, c.status) << c.bad;
    // No device was watched and nothing was printed but the help asked for.
    EXPECT_EQ(r.out, c.args[0] == "/h" ? tu::run_prog({"/h"}).out : "") << c.bad;
    const std::string head = "kestrel: option \"" + c.bad + "\": ";
    EXPECT_EQ(r.err.substr(0, head.size()), head) << r.err;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }
}

TEST_F(Opt, WhatTheNotationDropsIsNoError) {
  // A character no token takes is dropped; a word after a word without value goes with it.
  for (const char* a : {"/?x", "/", "/dbg?cnt", "/\x81\x40"}) {
    const auto r = missed({a}, 4);
    EXPECT_EQ(r.status, 0) << a;
    EXPECT_EQ(r.out, ON + OFF) << a;
  }
  // A hash is ignored.
  EXPECT_EQ(missed({"/#c=0"}, 1).out, ON + OFF);
  EXPECT_EQ(missed({"/dbgcnt nfp"}, 0).out, KEY + "/set/count=3\n" + ON) << "nfp went with dbgcnt";
  EXPECT_EQ(missed({"/nfp x"}, 4).out, "");
  // So is a minus sign: -1 reads as 1.
  EXPECT_EQ(missed({"/c=-1"}, 1).out, ON);
  EXPECT_EQ(missed({"/c=-1"}, 2).out, ON + OFF);
}

}  // namespace
