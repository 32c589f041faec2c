// The Windows process calls as the program has them: each command in a job of its own.
#include "platform/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

std::string helper() {
  std::string p = WIN_HELPER;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

struct child {
  PROCESS_INFORMATION pi = {};
  bool ok = false;
  explicit child(const std::string& args) {
    std::string line = "\"" + helper() + "\" " + args;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi) != FALSE;
  }
  ~child() {
    if (!ok) return;
    TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
};

// The process id a "spawn" helper wrote, once the file is there (0 if it never comes).
DWORD pid_from(const std::string& path) {
  for (int i = 0; i < 1000 && !tu::exists(path); ++i) Sleep(10);
  DWORD pid = 0;
  std::ifstream(path) >> pid;
  return pid;
}

TEST(PrcWin, CommandRunsInAJobOfItsOwn) {
  child c("sleep");
  ASSERT_TRUE(c.ok);
  BOOL in = FALSE;
  ASSERT_TRUE(IsProcessInJob(c.pi.hProcess, nullptr, &in));
  EXPECT_TRUE(in);
  // Started suspended only to be placed in the job: it runs.
  EXPECT_EQ(WaitForSingleObject(c.pi.hProcess, 50), WAIT_TIMEOUT);
}

TEST(PrcWin, EndingACommandEndsWhatItStarted) {
  tu::tmp_dir dir;
  const std::string pid_file = dir.file("pid");
  child c("spawn \"" + pid_file + "\"");
  ASSERT_TRUE(c.ok);
  const DWORD pid = pid_from(pid_file);
  ASSERT_NE(pid, 0u);
  HANDLE grand = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION | PROCESS_TERMINATE, FALSE, pid);
  ASSERT_NE(grand, nullptr);
  EXPECT_TRUE(TerminateProcess(c.pi.hProcess, 7));
  EXPECT_EQ(WaitForSingleObject(grand, 10000), WAIT_OBJECT_0) << "the command's own child runs on";
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeProcess(grand, &code));
  EXPECT_EQ(code, 7u);
  TerminateProcess(grand, 0);
  CloseHandle(grand);
}

TEST(PrcWin, ACommandThatEndedLeavesWhatItStartedAlone) {
  tu::tmp_dir dir;
  const std::string pid_file = dir.file("pid");
  child c("spawn \"" + pid_file + "\" exit");
  ASSERT_TRUE(c.ok);
  ASSERT_EQ(WaitForSingleObject(c.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  const DWORD pid = pid_from(pid_file);
  ASSERT_NE(pid, 0u);
  HANDLE grand = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
  ASSERT_NE(grand, nullptr);
  // As the runner does after every wait: the command ended by itself, its code stays.
  EXPECT_FALSE(TerminateProcess(c.pi.hProcess, 7));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(WaitForSingleObject(grand, 0), WAIT_TIMEOUT) << "a program started in the background was ended";
  TerminateProcess(grand, 0);
  CloseHandle(grand);
}

TEST(PrcWin, ExitCodeIsTheWholeStatusWord) {
  for (const DWORD want : {0x80000001u, 0xFFFFFFFFu, 0x00000102u}) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "exit %lX", static_cast<unsigned long>(want));
    child c(hex);
    ASSERT_TRUE(c.ok);
    ASSERT_EQ(WaitForSingleObject(c.pi.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
    EXPECT_EQ(code, want);
  }
}

TEST(PrcWin, CommandLineArrivesAsGiven) {
  tu::tmp_dir dir;
  const std::string out = dir.file("line.txt");
  std::ofstream(dir.file("x1.txt")) << "x";
  // Quotes, escaped quotes, trailing backslashes and a wildcard over existing files: the
  // child's runtime splits the line, nothing in between does.
  const std::string args = "line \"" + out + "\" \"a b\" c\\\"d \"e\\\\\" " + dir.file("*.txt") + " \"\" end";
  child c(args);
  ASSERT_TRUE(c.ok);
  ASSERT_EQ(WaitForSingleObject(c.pi.hProcess, INFINITE), WAIT_OBJECT_0);
  const std::string got = tu::slurp(out);
  const std::string line = "\"" + helper() + "\" " + args;
  EXPECT_EQ(got, line + "\n" + helper() + "\nline\n" + out + "\na b\nc\"d\ne\\\n" + dir.file("*.txt") + "\n\nend\n");
}

TEST(PrcWin, NoHandleIsLeftBehind) {
  DWORD before = 0, after = 0;
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
  std::vector<HANDLE> jobs;
  for (int i = 0; i < 3; ++i) {
    child c(i == 0 ? "sleep" : "exit 0");
    ASSERT_TRUE(c.ok);
    jobs.push_back(prc_win_job(c.pi.hProcess));
    ASSERT_NE(jobs.back(), nullptr);
    WaitForSingleObject(c.pi.hProcess, 20);
  }
  // Closed with the process handle (which ~child closed); wine counts no handles, this tells.
  for (HANDLE j : jobs) {
    DWORD flg = 0;
    EXPECT_FALSE(GetHandleInformation(j, &flg)) << "a job outlived its child's handle";
  }
  std::string missing = "\"" + helper() + ".none.exe\"";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  EXPECT_FALSE(CreateProcessA(nullptr, missing.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "the system's reason, not the job's";
  ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
  EXPECT_EQ(after, before);
}

}  // namespace
