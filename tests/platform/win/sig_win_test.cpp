// A request to end the program on Windows, made through the console's control handler as the
// system makes it (a headless wine has no console to send Ctrl-C to): the running command ends
// with what it started, and the program ends with STATUS_CONTROL_C_EXIT once its exit handlers
// have run. The request is the process's for good, so it is made in a second run of this
// program (KESTREL_SIG_CHILD names the file it reports to).
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/process.h"
#include "platform/sig.h"
#include "platform/win/sig_win.h"
#include "test_util.h"
#include "win/win_test_util.h"

namespace {

using wt::pid_in;
using wt::win_path;

bool ended(HANDLE h) { return WaitForSingleObject(h, 5000) == WAIT_OBJECT_0; }

// The system runs the handler on a thread of its own.
DWORD WINAPI ctl_thread(void*) { return sig_win_ctl(CTRL_C_EVENT); }

// The second run: starts a command that starts another, asks to end, reports, and ends.
void child_run(const std::string& report) {
  sig_ini();
  const std::string pids = report + ".pid";
  std::string line = "\"" + win_path(WIN_HELPER) + "\" spawn \"" + pids + "\"";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) std::exit(90);
  HANDLE grand = OpenProcess(SYNCHRONIZE, FALSE, pid_in(pids));
  const bool before = !sig_req();
  HANDLE t = CreateThread(nullptr, 0, ctl_thread, nullptr, 0, nullptr);
  WaitForSingleObject(t, INFINITE);
  std::ofstream(report) << before << " " << sig_req() << " " << ended(pi.hProcess) << " "
                        << (grand != nullptr && ended(grand)) << "\n";
  sig_chk();
  std::exit(91);   // not reached: the request ends the program
}

struct child_mode {
  child_mode() {
    if (const char* r = std::getenv("KESTREL_SIG_CHILD"); r != nullptr && *r != '\0') child_run(r);
  }
} child_mode_once;

TEST(SigWin, ControlCEndsTheCommandWithItsJobAndTheProgramAsCtrlCWould) {
  tu::tmp_dir dir;
  const std::string report = win_path(dir.file("report"));
  SetEnvironmentVariableA("KESTREL_SIG_CHILD", report.c_str());
  std::string line = std::string("\"") + _pgmptr + "\" --gtest_filter=None";
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  const BOOL ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  SetEnvironmentVariableA("KESTREL_SIG_CHILD", nullptr);
  ASSERT_TRUE(ok);
  ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
  // No request before; one after; the command and what it started both ended.
  EXPECT_EQ(tu::slurp(report), "1 1 1 1\n");
}

}  // namespace
