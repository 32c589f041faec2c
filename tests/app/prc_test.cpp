#include "app/prc.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "base/diag/err.h"

#include "test_util.h"

namespace {

using tu::no_children;
using tu::now_ms;
using tu::open_fds;

// What the child wrote so far; called once it has ended, so the pipe holds all of it.
std::string drain(HANDLE rd) {
  std::string s;
  char buf[4096];
  DWORD n = 0;
  if (ReadFile(rd, buf, sizeof buf, &n, nullptr)) s.assign(buf, n);
  return s;
}

// Every test must leave no child and no descriptor behind.
class Prc : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_ = open_fds();
    err_no = 0;
  }
  void TearDown() override {
    EXPECT_TRUE(no_children());
    EXPECT_EQ(open_fds(), fds_);
    err_no = 0;
  }
  int fds_ = 0;
  prc p_;
};

}  // namespace

TEST_F(Prc, OutputPipeCarriesWhatTheChildWrote) {
  std::memset(&p_, 0xAB, sizeof p_);  // _prc_set must not depend on a clean record
  ASSERT_EQ(_prc_set(&p_, "/bin/echo hello \"big  world\"", nullptr, PRC_OUT), 0);
  EXPECT_EQ(err_no, 0);
  EXPECT_EQ(p_.flg, PRC_OUT);
  EXPECT_EQ(p_.par[0], nullptr);
  EXPECT_EQ(p_.par[2], nullptr);
  EXPECT_EQ(p_.chd[0], GetStdHandle(STD_INPUT_HANDLE));
  EXPECT_EQ(p_.chd[2], GetStdHandle(STD_ERROR_HANDLE));
  EXPECT_NE(p_.par[1], nullptr);
  EXPECT_NE(p_.chd[1], nullptr);
  ASSERT_EQ(WaitForSingleObject(p_.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(drain(p_.par[1]), "hello big  world\n");
  EXPECT_EQ(_prc_end(&p_, 1), 0);
  EXPECT_EQ(p_.pi.hProcess, nullptr);
}

TEST_F(Prc, ApplicationNameFormAndInputPipe) {
  ASSERT_EQ(_prc_set(&p_, "/bin/sh", "sh -c \"read v; echo [$v]\"", PRC_IN | PRC_OUT | PRC_ERR),
            0);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(p_.par[0], "typed\n", 6, &n, nullptr));
  ASSERT_EQ(WaitForSingleObject(p_.pi.hProcess, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(drain(p_.par[1]), "[typed]\n");
  EXPECT_EQ(_prc_end(&p_, 1), 0);
}

TEST_F(Prc, ExitCodeOfTheChild) {
  // Ended before _prc_end: its code, as GetExitCodeProcess saw it.
  ASSERT_EQ(_prc_set(&p_, "/bin/sh -c \"exit 3\"", nullptr, 0), 0);
  ASSERT_EQ(WaitForSingleObject(p_.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(p_.pi.hProcess, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_EQ(_prc_end(&p_, 0), 3);
  // Waited for by _prc_end: the code is kept as well.
  ASSERT_EQ(_prc_set(&p_, "/bin/sh -c \"sleep 0.05; exit 5\"", nullptr, 0), 0);
  EXPECT_EQ(_prc_end(&p_, 1), 5);
}

TEST_F(Prc, ChildStillRunningAfterTheShortWaitIsTerminated) {
  ASSERT_EQ(_prc_set(&p_, "/bin/sleep 10", nullptr, PRC_OUT), 0);
  const DWORD pid = p_.pi.dwProcessId;
  const int64_t t0 = now_ms();
  EXPECT_EQ(_prc_end(&p_, 0), 0);
  const int64_t took = now_ms() - t0;
  EXPECT_GE(took, 100);
  EXPECT_NE(access(("/proc/" + std::to_string(pid)).c_str(), F_OK), 0);
}

TEST_F(Prc, MissingProgramFailsAndKeepsNothingOpen) {
  for (const char* cmd : {"no-such-program-kestrel arg", "/nonexistent/dir/prog", ""}) {
    err_no = 0;
    EXPECT_EQ(_prc_set(&p_, cmd, nullptr, PRC_IN | PRC_OUT | PRC_ERR), -1) << cmd;
    EXPECT_EQ(err_no, -1);
    for (HANDLE h : p_.par) EXPECT_EQ(h, nullptr);
    EXPECT_EQ(p_.pi.hProcess, nullptr);
  }
  err_no = 0;
  EXPECT_EQ(_prc_set(&p_, "/nonexistent/prog", "prog", 0), -1);
  EXPECT_EQ(err_no, -1);
  // An earlier, more specific failure survives.
  err_no = ERR_END;
  EXPECT_EQ(_prc_set(&p_, "/nonexistent/prog", nullptr, PRC_OUT), ERR_END);
  EXPECT_EQ(err_no, ERR_END);
}

TEST_F(Prc, ShellSyntaxReachesTheChildVerbatim) {
  const char* base = std::getenv("KESTREL_TEST_TMP");
  std::string dir = std::string(base != nullptr ? base : "/tmp");
  mkdir(dir.c_str(), 0755);
  dir += "/prc-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  const std::string m1 = dir + "/m1", m2 = dir + "/m2", m3 = dir + "/m3";
  const std::string cmd = "printf \"[%s]\\n\" a;b \"$(touch " + m1 + ")\" \"`touch " + m2 +
                          "`\" \"say \\\"hi\\\"\" 'q' x|y&z>" + m3 + " $HOME";
  ASSERT_EQ(_prc_set(&p_, cmd.c_str(), nullptr, PRC_OUT), 0);
  ASSERT_EQ(WaitForSingleObject(p_.pi.hProcess, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(drain(p_.par[1]), "[a;b]\n[$(touch " + m1 + ")]\n[`touch " + m2 +
                                  "`]\n[say \"hi\"]\n['q']\n[x|y&z>" + m3 + "]\n[$HOME]\n");
  EXPECT_EQ(_prc_end(&p_, 1), 0);
  for (const std::string& m : {m1, m2, m3}) EXPECT_NE(access(m.c_str(), F_OK), 0) << m;
  rmdir(dir.c_str());
}

TEST_F(Prc, ChildGetsNoDescriptorsOfOurs) {
  // Our own pipe ends are open while it runs; ls takes 3 for its directory when none leaked.
  ASSERT_EQ(_prc_set(&p_, "/bin/ls -1 /proc/self/fd", nullptr, PRC_IN | PRC_OUT | PRC_ERR), 0);
  ASSERT_EQ(WaitForSingleObject(p_.pi.hProcess, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(drain(p_.par[1]), "0\n1\n2\n3\n");
  EXPECT_EQ(_prc_end(&p_, 1), 0);
}

TEST_F(Prc, ConditionsAreReportedToTheCoverageRecorder) {
  ASSERT_EQ(_prc_set(&p_, "/bin/true", nullptr, PRC_OUT), 0);
  _prc_end(&p_, 1);
  std::set<std::string> funcs;
  test_cvr_walk(
      &test_cvr_prc,
      [](const test_cvr_rcd* r, void* arg) {
        if (std::strcmp(r->file, "app/prc.cpp") == 0)
          static_cast<std::set<std::string>*>(arg)->insert(r->func);
        return 0;
      },
      &funcs);
  EXPECT_TRUE(funcs.count("_prc_set"));
  EXPECT_TRUE(funcs.count("_prc_end"));
}

TEST_F(Prc, EndingTwiceOrAfterAFailedStartIsHarmless) {
  // Nothing is closed twice (the fixture counts the descriptors) and no code is made up.
  ASSERT_EQ(_prc_set(&p_, "/bin/sh -c \"exit 4\"", nullptr, PRC_IN | PRC_OUT | PRC_ERR), 0);
  EXPECT_EQ(_prc_end(&p_, 1), 4);
  EXPECT_EQ(_prc_end(&p_, 1), 0);
  EXPECT_EQ(_prc_set(&p_, "/nonexistent/prog", nullptr, PRC_OUT), -1);
  EXPECT_EQ(_prc_end(&p_, 0), 0);
}

TEST_F(Prc, NoDescriptorsLeftForThePipes) {
  // With every descriptor but a few in use, a pipe cannot be made: the start fails with -1
  // and gives back the pipes it had made already.
  const int r = tu::in_child([] {
    const int have = tu::open_fds();
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 10;
    // From room for the first pipe only upwards. How many a start needs in all depends on the
    // C library and the kernel (closing the inherited descriptors may take one of its own), and
    // the numbers in use may have holes; so the room grows until the start works.
    for (rlim_t room = 1; room < 64; ++room) {
      lim.rlim_cur = static_cast<rlim_t>(have) + room;
      if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return 11;
      err_no = 0;
      prc p;
      const int st = _prc_set(&p, "/bin/true", nullptr, PRC_IN | PRC_OUT | PRC_ERR);
      if (st == 0) {
        _prc_end(&p, 1);
        return room > 1 ? 0 : 12;   // it worked once there was room enough
      }
      if (st != -1 || err_no != -1) return 13;
      if (p.par[0] != nullptr || p.par[1] != nullptr || p.par[2] != nullptr) return 14;
      if (tu::open_fds() != have) return 15;
    }
    return 16;
  });
  EXPECT_EQ(r, 0);
}
