// Event commands as the program runs them, over scripted stacks: names that must not reach
// options or a command interpreter, commands that cannot start, never end, or run when the
// program is asked to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <thread>

#include "run_prog.h"
#include "test_util.h"

namespace {

class Event : public testing::Test {
 protected:
  tu::tmp_dir dir;
  std::string argv_out = dir.file("argv.txt");

  std::vector<std::string> env(const std::string& scenario, std::vector<std::string> more = {}) {
    const std::string path = dir.file("s.scn");
    std::ofstream(path, std::ios::binary) << scenario;
    more.insert(more.end(), {"KESTREL_BT_SIM=" + path, "BAS_TMR_PATH=" + dir.file("tmr.txt"),
                             "BAS_MEMLOG_PATH=" + dir.file("m.log"), "BAS_MEMLLOG_PATH=" + dir.file("l.log")});
    return more;
  }
  // An option giving a command template; the recording stand-in first.
  std::string dump_opt(const std::string& on, const std::string& tail) {
    return "/" + on + "=\"" + std::string(ARGV_DUMP) + " " + argv_out + " " + tail + "\"";
  }
  // A program file of the test's own: a shell script.
  std::string script(const std::string& name, const std::string& body) {
    const std::string p = dir.file(name);
    std::ofstream(p, std::ios::binary) << "#!/bin/sh\n" << body;
    chmod(p.c_str(), 0755);
    return p;
  }
};

// Whether a process has ended: gone, or a zombie its parent has not reaped yet.
// A process killed is gone a moment later, not at once: a busy machine gets five seconds.
bool ended(pid_t pid) {
  for (int t = 0; t < 500; ++t) {
    std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
    std::string f;
    for (int i = 0; i < 3 && st >> f; ++i) {
    }
    if (!st || f == "Z") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

pid_t pid_in(const std::string& file) {
  for (int i = 0; i < 2000; ++i) {
    std::ifstream in(file);
    pid_t p = 0;
    if (in >> p && p > 0) return p;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return 0;
}

TEST_F(Event, ValuesBecomeNeitherOptionsNorQuotesAndTheStateLineKeepsTheName) {
  // A name beginning with "-" would be an option of the command; an empty one between two
  // quoted parts would leave a literal quote; a 0xFE byte in the template once turned the
  // protection of values off.
  const std::string scn = "pass\ndevice 00:00:00:00:00:01 - -f/etc/shadow\ndevice 00:00:00:00:00:02 - \n"
                          "device 00:00:00:00:00:03 - a\" b\\\n";
  const auto r = tu::run_prog({dump_opt("cmdon", "\\\"@name@\\\" \\\"<\\\"@name@\\\">\\\" \xFE")}, env(scn));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "010000000000--f/etc/shadow=ON\n020000000000-=ON\n030000000000-a\" b\\=ON\n");
  EXPECT_EQ(tu::slurp(argv_out), "?f/etc/shadow\n<-f/etc/shadow>\n\xFE\n--\n"
                                 "\n<>\n\xFE\n--\n"
                                 "a\" b\\\n<a\"\nb\\>\n\xFE\n--\n");   // unquoted: it splits
}

TEST_F(Event, ABatchFileGetsNoCharacterOfAValueThatCmdReadsItself) {
  // On Windows cmd.exe runs a .bat or .cmd file and reads its line with rules of its own; here a
  // script of that name stands in for it and records what it got.
  const std::string bat = script("hook.bat", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done >> " + argv_out + "\n");
  const std::string scn = "pass\ndevice 00:00:00:00:00:01 - x\" & echo %PATH% ^| (y) <z> !w!\n";
  const auto r = tu::run_prog({"/cmdon=\"" + bat + " \\\"@name@\\\" @addr@\""}, env(scn));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(tu::slurp(argv_out), "x? ? echo ?PATH? ?? ?y? ?z? ?w?\n010000000000\n");
}

TEST_F(Event, ACommandThatCannotRunIsNamedOnceAndThePassGoesOn) {
  const std::string devs = "device 00:00:00:00:00:01 - a\ndevice 00:00:00:00:00:02 - b\ndevice 00:00:00:00:00:03 - c\n";
  auto r = tu::run_prog({"/cmdon=\"kestrel-no-such-program @name@\""}, env("pass\n" + devs));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "010000000000-a=ON\n020000000000-b=ON\n030000000000-c=ON\n");
  EXPECT_EQ(r.err, "kestrel: event command not run: \"kestrel-no-such-program\" not found (template "
                   "\"kestrel-no-such-program @name@\")\n");
  // A placeholder it does not know: named at start-up, before any device.
  r = tu::run_prog({"/cmdoff=\"echo @nmae@\""}, env("pass\n" + devs + "pass\n"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "kestrel: event command not run: unknown placeholder @nmae@ in \"echo @nmae@\"\n");
}

TEST_F(Event, ACommandRunningPastTheTimeoutIsEndedWithWhatItStarted) {
  const std::string sh = script("hang", "sleep 1000 & echo $! > " + dir.file("child") + "\necho $$ > " +
                                            dir.file("self") + "\nwait\n");
  const std::string scn = "pass\ndevice 00:00:00:00:00:01 - a\npass\ndevice 00:00:00:00:00:02 - b\n";
  const auto r = tu::run_prog({"/cmdon=\"" + sh + "\"", "/c=0"}, env(scn, {"KESTREL_CMD_TIMEOUT=1"}));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "010000000000-a=ON\n020000000000-b=ON\n010000000000-a=OFF\n");
  EXPECT_NE(r.err.find("still running after 1 s: ended"), std::string::npos) << r.err;
  EXPECT_TRUE(ended(pid_in(dir.file("self"))));
  EXPECT_TRUE(ended(pid_in(dir.file("child"))));
  for (const char* bad : {"0", "-1", "x", "1.5", "99999999"}) {
    const auto b = tu::run_prog({}, env(scn, {std::string("KESTREL_CMD_TIMEOUT=") + bad}));
    EXPECT_EQ(b.status, 2) << bad;
    EXPECT_EQ(b.out, "") << bad;
    EXPECT_NE(b.err.find("KESTREL_CMD_TIMEOUT"), std::string::npos) << bad;
  }
}

TEST_F(Event, ASignalToEndEndsTheCommandRunsTheExitHandlersAndEndsAsKilled) {
  const std::string sh = script("hang", "sleep 1000 & echo $! > " + dir.file("child") + "\necho $$ > " +
                                            dir.file("self") + "\nwait\n");
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    for (const char* f : {"self", "child", "tmr.txt"}) std::remove(dir.file(f).c_str());
    // With a command running, and waiting in a search.
    {
      tu::live_prog p({"/cmdon=\"" + sh + "\""}, env("pass\ndevice 00:00:00:00:00:01 - a\n"));
      ASSERT_TRUE(p.started());
      EXPECT_EQ(p.line(), "010000000000-a=ON\n");
      const pid_t self = pid_in(dir.file("self")), child = pid_in(dir.file("child"));
      ASSERT_GT(child, 0);
      kill(p.pid(), sig);
      EXPECT_EQ(p.wait_end(), 128 + sig);
      EXPECT_TRUE(ended(self));
      EXPECT_TRUE(ended(child));
      EXPECT_NE(tu::slurp(dir.file("tmr.txt")).find("tmr_prt_ext1"), std::string::npos) << "the exit report";
    }
    std::remove(dir.file("tmr.txt").c_str());
    {
      // An hour's search: it ends at once or the test's time runs out.
      tu::live_prog p({}, env("pass\ndevice 00:00:00:00:00:01 - a\npass\nwait 3600000\n"));
      EXPECT_EQ(p.line(), "010000000000-a=ON\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      kill(p.pid(), sig);
      EXPECT_EQ(p.wait_end(), 128 + sig);
      EXPECT_EQ(p.line(100), "") << "no line of a pass cut short";
      EXPECT_NE(tu::slurp(dir.file("tmr.txt")).find("tmr_prt_ext1"), std::string::npos);
    }
  }
}

}  // namespace
