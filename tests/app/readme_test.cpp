// The README's command lines run as written, by a shell, over a scripted Bluetooth stack.
// notify-send and mosquitto_pub are stood in for by a program that records the arguments it
// was started with (they need not be installed); kestrel is the one this build made.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "test_util.h"

extern char** environ;

namespace {

const std::string README = tu::slurp(std::string(KESTREL_SRC_DIR) + "/README.md");

// One device, "my phone" at 00:11:22:33:44:55, seen once and then missed four times.
const std::string SCENARIO =
    "pass\ndevice 00:11:22:33:44:55 - my phone\npass\npass\npass\npass\n";
const std::string KEY = "554433221100-my phone";
const std::string ON = KEY + "=ON\n", OFF = KEY + "=OFF\n";
const std::string TIME = "\\d{4}/\\d{1,2}/\\d{1,2} \\d\\d:\\d\\d:\\d\\d";

struct shell_out {
  std::string out;
  int status = -1;
  std::string cmds;   // what the stand-ins recorded
};

class Readme : public testing::Test {
 protected:
  tu::tmp_dir dir;

  void SetUp() override {
    ASSERT_FALSE(README.empty());
    const std::string bin = dir.file("bin");
    std::filesystem::create_directory(bin);
    std::filesystem::create_symlink(KESTREL_BIN, bin + "/kestrel");
    for (const char* stand_in : {"notify-send", "mosquitto_pub"})
      std::filesystem::create_symlink(ARGV_DUMP, bin + "/" + stand_in);
    std::ofstream(dir.file("s.scn")) << SCENARIO;
  }

  // Runs a command line of the README with /bin/sh, in the scratch directory.
  shell_out sh(const std::string& line) {
    shell_out r;
    std::ofstream(dir.file("run.sh")) << line << "\n";
    std::vector<std::string> env = {
        "PATH=" + dir.file("bin") + ":/usr/bin:/bin", "KESTREL_BT_SIM=" + dir.file("s.scn"),
        "ARGV_DUMP_TO=" + dir.file("argv.txt"), "BAS_TMR_PATH=" + dir.file("t.txt"),
        "BAS_MEMLOG_PATH=" + dir.file("m.log"), "BAS_MEMLLOG_PATH=" + dir.file("l.log")};
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh_path = "/bin/sh", script = dir.file("run.sh");
    char* argv[] = {sh_path.data(), script.data(), nullptr};
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addchdir_np(&fa, dir.path().c_str());
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    if (rc == 0) {
      char b[4096];
      pollfd fd = {out[0], POLLIN, 0};
      while (poll(&fd, 1, 20000) > 0) {
        const ssize_t n = read(out[0], b, sizeof b);
        if (n <= 0) break;
        r.out.append(b, static_cast<size_t>(n));
      }
      kill(pid, SIGKILL);   // no effect once it has ended; stops one that hangs
      int st = 0;
      waitpid(pid, &st, 0);
      if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    }
    close(out[0]);
    r.cmds = tu::slurp(dir.file("argv.txt"));
    std::remove(dir.file("argv.txt").c_str());
    return r;
  }

  // A command line that the README shows as an indented line of its own.
  shell_out example(const std::string& line) {
    EXPECT_NE(README.find("\n    " + line + "\n"), std::string::npos) << "not in the README: " << line;
    return sh(line);
  }
};

TEST_F(Readme, QuotingACommandTemplate) {
  auto r = example("kestrel '/cmdon=\"notify-send -- kestrel \\\"@name@\\\"\"'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ON + OFF);
  EXPECT_EQ(r.cmds, "notify-send\n--\nkestrel\nmy phone\n--\n");
  // Unquoted in the template, the name splits at its blank.
  r = sh("kestrel '/cmdon=\"notify-send kestrel @name@\"'");
  EXPECT_EQ(r.cmds, "notify-send\nkestrel\nmy\nphone\n--\n");
  // A name handed to a shell as its argument, not as part of its script.
  std::ofstream(dir.file("s.scn")) << "pass\ndevice 00:11:22:33:44:55 - $(touch pwned) `touch pwned2`\n";
  r = example("kestrel '/cmdon=\"sh -c \\\"notify-send -- kestrel \\\\\\\"$1\\\\\\\"\\\" sh \\\"@name@\\\"\"'");
  EXPECT_EQ(r.cmds, "notify-send\n--\nkestrel\n$(touch pwned) `touch pwned2`\n--\n");
  EXPECT_FALSE(tu::exists(dir.file("pwned")));
  EXPECT_FALSE(tu::exists(dir.file("pwned2")));
}

TEST_F(Readme, OneExampleForEachOption) {
  struct cas {
    const char* line;
    std::string out;   // a regular expression
    std::string cmds;
  };
  const std::vector<cas> cases = {
      {"kestrel /t=8              # a longer inquiry: 8 x 1.28 s per pass", ON + OFF, ""},
      {"kestrel /c=0              # OFF at the first pass a device is missed", ON + OFF, ""},
      {"kestrel /fp               # state lines (the default)", ON + OFF, ""},
      {"kestrel /nfp '/cmdon=\"notify-send -- kestrel \\\"@name@\\\"\"'   # commands only, no state lines", "",
       "notify-send\n--\nkestrel\nmy phone\n--\n"},
      {"kestrel '/cmdon=\"notify-send -- kestrel \\\"@name@ is here\\\"\"'", ON + OFF,
       "notify-send\n--\nkestrel\nmy phone is here\n--\n"},
      {"kestrel '/cmdoff=\"notify-send -- kestrel \\\"@name@ has left\\\"\"'", ON + OFF,
       "notify-send\n--\nkestrel\nmy phone has left\n--\n"},
      {"kestrel /dbgcnt           # a device's missed-pass count when it is set or goes down",
       KEY + "/set/count=3\n" + ON + KEY + "/down/count=2\n" + KEY + "/down/count=1\n" + KEY +
           "/down/count=0\n" + OFF,
       ""},
      {"kestrel /dbgtim           # the time of every change, before its state line",
       KEY + "/time=\"" + TIME + "\"\n" + ON + KEY + "/time=\"" + TIME + "\"\n" + OFF, ""},
      {"kestrel '/c=1;dbgcnt;dbgtim'",
       KEY + "/set/count=1\n" + KEY + "/time=\"" + TIME + "\"\n" + ON + KEY + "/down/count=0\n" + KEY +
           "/time=\"" + TIME + "\"\n" + OFF,
       ""},
  };
  for (const cas& c : cases) {
    const auto r = example(c.line);
    EXPECT_EQ(r.status, 0) << c.line;
    EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << c.line << "\n" << r.out;
    EXPECT_EQ(r.cmds, c.cmds) << c.line;
  }
  // The /c=0 example is not the default: without it the device is not OFF yet here.
  EXPECT_EQ(sh("kestrel /c=3").out, ON + OFF);
  EXPECT_EQ(sh("kestrel /c=4").out, ON);
}

TEST_F(Readme, DesktopNotification) {
  // A Japanese name reaches the notification and the terminal in UTF-8.
  const std::string name = "\xE3\x82\xB9\xE3\x83\x94\xE3\x83\xBC\xE3\x82\xAB";  // スピーカ
  std::ofstream(dir.file("s.scn")) << "pass\ndevice 00:11:22:33:44:55 - " + name + "\npass\npass\npass\npass\n";
  const auto r = example(
      "KESTREL_CHARSET=UTF-8 kestrel '/cmdon=\"notify-send -a kestrel -- \\\"@name@\\\" \\\"in range since @time@\\\"\"' "
      "'/cmdoff=\"notify-send -a kestrel -- \\\"@name@\\\" \\\"out of range\\\"\"'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "554433221100-" + name + "=ON\n554433221100-" + name + "=OFF\n");
  EXPECT_TRUE(std::regex_match(r.cmds, std::regex("notify-send\n-a\nkestrel\n--\n" + name + "\nin range since " + TIME +
                                                  "\n--\nnotify-send\n-a\nkestrel\n--\n" + name + "\nout of range\n--\n")))
      << r.cmds;
}

TEST_F(Readme, PresenceOverMqtt) {
  const auto r = example(
      "kestrel /nfp '/cmdon=\"mosquitto_pub -h localhost -r -t \\\"kestrel/@addr@\\\" -m \\\"@onoff@\\\"\"' "
      "'/cmdoff=\"mosquitto_pub -h localhost -r -t \\\"kestrel/@addr@\\\" -m \\\"@onoff@\\\"\"'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.cmds,
            "mosquitto_pub\n-h\nlocalhost\n-r\n-t\nkestrel/554433221100\n-m\nON\n--\n"
            "mosquitto_pub\n-h\nlocalhost\n-r\n-t\nkestrel/554433221100\n-m\nOFF\n--\n");
  // The topic the README names for its example address is the one kestrel uses.
  std::ofstream(dir.file("s.scn")) << "pass\ndevice 5C:E9:1E:07:B4:C1 - phone\n";
  EXPECT_NE(README.find("kestrel/C1B4071EE95C"), std::string::npos);
  EXPECT_NE(sh("kestrel '/cmdon=\"mosquitto_pub -t kestrel/@addr@\"'").cmds.find("kestrel/C1B4071EE95C\n"),
            std::string::npos);
}

TEST_F(Readme, ExitStatuses) {
  struct cas {
    const char* arg;   // as the README's table shows it
    int status;
  };
  for (const cas& c : std::vector<cas>{{"/=5", 1},
                                       {"'/;c=1'", 1},
                                       {"/c==1", 1},
                                       {"'/cmdon=\"no end'", 1},
                                       {"/c=", 1},
                                       {"/t=5.x", 255},
                                       {"/cmdon=notepad.exe", 255},
                                       {"/c=0#", 255},
                                       {"/c=0/", 255},
                                       {"'/c=0 x'", 255},
                                       {"'/c=0]'", 255},
                                       {"/]", 255}}) {
    EXPECT_NE(README.find(std::string("`") + c.arg + "`"), std::string::npos) << c.arg;
    const auto r = sh(std::string("kestrel ") + c.arg);
    EXPECT_EQ(r.status, c.status) << c.arg;
    EXPECT_EQ(r.out, "") << c.arg;
  }
  for (const char* help : {"/h", "/?", "/H"}) EXPECT_EQ(sh(std::string("kestrel '") + help + "'").status, 0);
}

TEST_F(Readme, WhatTheNotationSkipsAndWhatAWordTakesWithIt) {
  // With /dbgcnt: /c=0 shows as a count set to 0, /nfp as no state lines.
  const std::string c0 = KEY + "/set/count=0\n", c0_lines = c0 + ON + OFF;
  const std::string c3 = KEY + "/set/count=3\n" + KEY + "/down/count=2\n" + KEY + "/down/count=1\n" + KEY +
                         "/down/count=0\n";
  struct cas {
    const char* arg;   // as the README shows it
    std::string out;
  };
  for (const cas& c : std::vector<cas>{{"/#c=0", c0_lines},
                                       {"'/[c=0'", c0_lines},
                                       {"'/\"c\"=0'", c0_lines},
                                       {"/nfp/c=0", c0},
                                       {"'/nfp;c=0'", c0},
                                       {"'/nfp x'", c3}}) {
    EXPECT_NE(README.find(std::string("`") + c.arg + "`"), std::string::npos) << c.arg;
    const auto r = sh(std::string("kestrel ") + c.arg + " /dbgcnt");
    EXPECT_EQ(r.status, 0) << c.arg;
    EXPECT_EQ(r.out, c.out) << c.arg;
  }
}

}  // namespace
