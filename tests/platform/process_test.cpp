#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using strs = std::vector<std::string>;

using tu::no_children;
using tu::now_ms;
using tu::open_fds;

// A child's /proc entry lasts until it is reaped.
bool proc_gone(DWORD pid) { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) != 0; }

int64_t ms_since(int64_t t0) { return now_ms() - t0; }

std::string tmp_dir() {
  const char* base = std::getenv("KESTREL_TEST_TMP");
  std::string root = base != nullptr ? base : "/tmp";
  mkdir(root.c_str(), 0755);
  std::string tpl = root + "/proc-XXXXXX";
  EXPECT_NE(mkdtemp(tpl.data()), nullptr);
  return tpl;
}

// Every test must leave no child and no descriptor behind.
class Process : public ::testing::Test {
 protected:
  void SetUp() override { fds_ = open_fds(); }
  void TearDown() override {
    EXPECT_TRUE(no_children());
    EXPECT_EQ(open_fds(), fds_);
  }
  int fds_ = 0;
};

std::string read_all(HANDLE rd) {
  std::string s;
  char buf[256];
  DWORD n = 0;
  while (ReadFile(rd, buf, sizeof buf, &n, nullptr) && n > 0) s.append(buf, n);
  return s;
}

struct run_res {
  BOOL ok;
  DWORD err;
  std::string out;
  DWORD code;
};

// Runs a child with its output on a pipe, reads the pipe to its end, waits and reaps.
run_res run(const char* app, const char* cmd, const void* env = nullptr,
            const char* cwd = nullptr) {
  run_res r{};
  HANDLE rd = nullptr, wr = nullptr;
  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  EXPECT_TRUE(CreatePipe(&rd, &wr, &sa, 0));
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nullptr;
  si.hStdOutput = wr;
  si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  std::string line = cmd != nullptr ? cmd : "";
  r.ok = CreateProcessA(app, cmd != nullptr ? line.data() : nullptr, nullptr, nullptr, TRUE, 0,
                        const_cast<void*>(env), cwd, &si, &pi);
  r.err = GetLastError();
  EXPECT_TRUE(CloseHandle(wr));
  if (r.ok) {
    r.out = read_all(rd);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &r.code));
    EXPECT_TRUE(CloseHandle(pi.hThread));
    EXPECT_TRUE(CloseHandle(pi.hProcess));
  }
  EXPECT_TRUE(CloseHandle(rd));
  return r;
}

struct spawned {
  BOOL ok;
  PROCESS_INFORMATION pi;
};

spawned start(const char* cmd) {
  spawned s{};
  STARTUPINFOA si{};
  si.cb = sizeof si;
  std::string line = cmd;
  s.ok = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &s.pi);
  return s;
}

void close_pi(const PROCESS_INFORMATION& pi) {
  EXPECT_TRUE(CloseHandle(pi.hThread));
  EXPECT_TRUE(CloseHandle(pi.hProcess));
}

}  // namespace

// ---- Command-line splitting ------------------------------------------------------------------

TEST(CmdlineSplit, WindowsRuntimeRules) {
  struct row {
    const char* line;
    strs args;
  };
  const row rows[] = {
      {"", {}},
      {" \t  ", {}},
      {"a b\tc", {"a", "b", "c"}},
      {"  a   b  ", {"a", "b"}},
      {"\"a b\" c", {"a b", "c"}},
      {"a\"b c\"d e", {"ab cd", "e"}},
      {"\"a\tb\"", {"a\tb"}},
      {"\"\"", {""}},
      {"a \"\" b", {"a", "", "b"}},
      {"\"unclosed group", {"unclosed group"}},
      // Backslashes are literal unless a quote follows them.
      {"C:\\Program Files\\x", {"C:\\Program", "Files\\x"}},
      {"a\\\\b c\\", {"a\\\\b", "c\\"}},
      // 2n+1 backslashes and a quote: n backslashes and a literal quote.
      {"a\\\"b", {"a\"b"}},
      {"a\\\\\\\"b", {"a\\\"b"}},
      // 2n backslashes and a quote: n backslashes, the quote groups.
      {"a\\\\\"b c\"", {"a\\b c"}},
      {"a\\\\\\\\\"b c\" d", {"a\\\\b c", "d"}},
      {"\"a\\\\\" b", {"a\\", "b"}},
      {"\"x \\\"y\\\" z\"", {"x \"y\" z"}},
      // "" inside a group is one literal quote and the group goes on.
      {"\"a\"\"b c\" d", {"a\"b c", "d"}},
      {"\"\"\"\"", {"\""}},
      // Outside a group, "" opens and closes one: nothing.
      {"a\"\"b", {"ab"}},
      // Shell syntax means nothing here.
      {"x;y $(z) `w` 'q r'", {"x;y", "$(z)", "`w`", "'q", "r'"}},
      // The trail byte 0x5C of a Shift-JIS character does not escape the quote after it.
      {"\"\x95\x5C\" z", {"\x95\x5C", "z"}},
      {"\x95\x5C\\\"", {"\x95\x5C\""}},
      {"a\x95", {"a\x95"}},
  };
  for (const row& r : rows) EXPECT_EQ(cmdline_split(r.line), r.args) << "line: " << r.line;
  EXPECT_TRUE(cmdline_split(nullptr).empty());
}

// ---- Handles and pipes -----------------------------------------------------------------------

TEST_F(Process, PipeCarriesBytesAndReportsItsEnd) {
  HANDLE rd = nullptr, wr = nullptr;
  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  ASSERT_TRUE(CreatePipe(&rd, &wr, &sa, 1));
  ASSERT_NE(rd, wr);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(wr, "abc", 3, &n, nullptr));
  EXPECT_EQ(n, 3u);
  // Ends are one-way.
  EXPECT_FALSE(WriteFile(rd, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  char buf[8];
  EXPECT_FALSE(ReadFile(wr, buf, sizeof buf, &n, nullptr));
  ASSERT_TRUE(CloseHandle(wr));
  EXPECT_EQ(read_all(rd), "abc");
  ASSERT_TRUE(CloseHandle(rd));
}

TEST_F(Process, WriteWithoutReaderFailsInsteadOfKilling) {
  HANDLE rd = nullptr, wr = nullptr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, nullptr, 0));
  ASSERT_TRUE(CloseHandle(rd));
  DWORD n = 7;
  EXPECT_FALSE(WriteFile(wr, "abc", 3, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_NO_DATA);
  EXPECT_EQ(n, 0u);
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  ASSERT_TRUE(CloseHandle(wr));
}

TEST_F(Process, ForeignAndClosedHandlesAreRefused) {
  int local = 0;
  EXPECT_FALSE(CloseHandle(nullptr));
  EXPECT_FALSE(CloseHandle(&local));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
  HANDLE rd = nullptr, wr = nullptr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, nullptr, 0));
  ASSERT_TRUE(CloseHandle(rd));
  EXPECT_FALSE(CloseHandle(rd));
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(wr, &code));
  EXPECT_EQ(WaitForSingleObject(wr, 0), WAIT_FAILED);
  EXPECT_FALSE(TerminateProcess(wr, 0));
  ASSERT_TRUE(CloseHandle(wr));
}

TEST_F(Process, StandardHandlesAreStableAndSurviveClosing) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  EXPECT_NE(in, out);
  EXPECT_NE(out, err);
  EXPECT_EQ(out, GetStdHandle(STD_OUTPUT_HANDLE));
  EXPECT_EQ(GetStdHandle(0), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(err));
  EXPECT_NE(fcntl(STDERR_FILENO, F_GETFD), -1);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(err, "", 0, &n, nullptr));
}

// ---- Starting children -----------------------------------------------------------------------

TEST_F(Process, CommandLineGivesProgramAndArguments) {
  run_res r = run(nullptr, "/bin/echo hello  \"big  world\"");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "hello big  world\n");
  EXPECT_EQ(r.code, 0u);
  // No slash: looked up on PATH.
  r = run(nullptr, "echo found");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "found\n");
}

TEST_F(Process, ApplicationNameIsTheProgramAndCommandLineTheArguments) {
  run_res r = run("/bin/sh", "shown-as-argv0 -c \"echo $0-$1\" zero one");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "zero-one\n");
  r = run("/bin/sh", "argv0 -c \"echo $0\"");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "argv0\n");
  r = run("/bin/echo", nullptr);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "\n");
  // An application name is a path, never looked up on PATH.
  r = run("echo", "echo x", nullptr, "/");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, ERROR_FILE_NOT_FOUND);
}

TEST_F(Process, ProgramsThatCannotStartFail) {
  run_res r = run(nullptr, "no-such-program-kestrel arg");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, ERROR_FILE_NOT_FOUND);
  r = run(nullptr, "/nonexistent/dir/prog");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, ERROR_FILE_NOT_FOUND);
  r = run(nullptr, "   ");
  EXPECT_FALSE(r.ok);
  // Not executable (no execute bit at all, so root is refused too).
  const std::string dir = tmp_dir();
  const std::string file = dir + "/plain";
  std::ofstream(file) << "data\n";
  ASSERT_EQ(chmod(file.c_str(), 0644), 0);
  r = run(nullptr, file.c_str());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, ERROR_ACCESS_DENIED);
  std::remove(file.c_str());
  rmdir(dir.c_str());
  r = run(nullptr, "/bin/echo x", nullptr, "/nonexistent/dir");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, ERROR_DIRECTORY);
}

TEST_F(Process, ScriptWithoutInterpreterLineIsNotHandedToAShell) {
  const std::string dir = tmp_dir();
  const std::string script = dir + "/script";
  const std::string mark = dir + "/ran";
  std::ofstream(script) << "touch " << mark << "\n";
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  run_res r = run(nullptr, script.c_str());
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.err, ERROR_BAD_FORMAT);
  EXPECT_NE(access(mark.c_str(), F_OK), 0);
  std::remove(script.c_str());
  rmdir(dir.c_str());
}

TEST_F(Process, EnvironmentBlockAndDirectoryReachTheChild) {
  static const char block[] = "A=1\0B=two words\0";  // the literal adds the final NUL
  run_res r = run(nullptr, "/usr/bin/env", block);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "A=1\nB=two words\n");
  const std::string dir = tmp_dir();
  char real[PATH_MAX];
  ASSERT_NE(realpath(dir.c_str(), real), nullptr);
  r = run(nullptr, "/bin/pwd -P", nullptr, dir.c_str());
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, std::string(real) + "\n");
  rmdir(dir.c_str());
}

TEST_F(Process, StandardHandlesGoToTheirOwnSlots) {
  HANDLE in_r, in_w, out_r, out_w, err_r, err_w;
  ASSERT_TRUE(CreatePipe(&in_r, &in_w, nullptr, 0));
  ASSERT_TRUE(CreatePipe(&out_r, &out_w, nullptr, 0));
  ASSERT_TRUE(CreatePipe(&err_r, &err_w, nullptr, 0));
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(in_w, "typed\n", 6, &n, nullptr));
  ASSERT_TRUE(CloseHandle(in_w));
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  // Crossed on purpose: the child's error is the first pipe created after its input.
  si.hStdInput = in_r;
  si.hStdOutput = err_w;
  si.hStdError = out_w;
  PROCESS_INFORMATION pi{};
  char line[] = "/bin/sh -c \"read v; echo got $v; echo oops >&2\"";
  ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi));
  ASSERT_TRUE(CloseHandle(in_r));
  ASSERT_TRUE(CloseHandle(out_w));
  ASSERT_TRUE(CloseHandle(err_w));
  EXPECT_EQ(read_all(err_r), "got typed\n");
  EXPECT_EQ(read_all(out_r), "oops\n");
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
  close_pi(pi);
  ASSERT_TRUE(CloseHandle(out_r));
  ASSERT_TRUE(CloseHandle(err_r));
}

TEST_F(Process, ChildInheritsOnlyItsStandardDescriptors) {
  // Leaks the child could pick up: inheritable descriptors and open pipe ends of ours.
  const int plain = dup(STDERR_FILENO);
  int raw[2];
  ASSERT_EQ(pipe(raw), 0);
  HANDLE rd, wr;
  ASSERT_TRUE(CreatePipe(&rd, &wr, nullptr, 0));
  // ls's own directory descriptor takes the lowest free number: 3 when nothing was inherited.
  run_res r = run(nullptr, "/bin/ls -1 /proc/self/fd");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "0\n1\n2\n3\n");
  ASSERT_TRUE(CloseHandle(rd));
  ASSERT_TRUE(CloseHandle(wr));
  close(raw[0]);
  close(raw[1]);
  close(plain);
}

TEST_F(Process, IgnoredSignalsAreNotPassedOn) {
  struct sigaction ign{}, old{};
  ign.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGINT, &ign, &old), 0);
  run_res r = run(nullptr, "/bin/sh -c \"kill -INT $$; echo survived\"");
  sigaction(SIGINT, &old, nullptr);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.code, 128u + SIGINT);
}

// ---- Waiting, exit codes, termination --------------------------------------------------------

TEST_F(Process, ExitCodeOfAnEndedChildIsKept) {
  spawned s = start("/bin/sh -c \"exit 3\"");
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(WaitForSingleObject(s.pi.hThread, INFINITE), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
  EXPECT_EQ(code, 3u);
  // Too late to terminate: the code stays.
  EXPECT_FALSE(TerminateProcess(s.pi.hProcess, 9));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
  EXPECT_EQ(code, 3u);
  EXPECT_TRUE(proc_gone(s.pi.dwProcessId));
  close_pi(s.pi);
}

TEST_F(Process, SignalledChildReportsTheSignal) {
  spawned s = start("/bin/sh -c \"kill -TERM $$\"");
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 5000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
  EXPECT_EQ(code, 128u + SIGTERM);
  close_pi(s.pi);
}

TEST_F(Process, TimedWaitEndsOnTimeOrWithTheChild) {
  spawned s = start("/bin/sleep 10");
  ASSERT_TRUE(s.ok);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 0), WAIT_TIMEOUT);
  int64_t t0 = now_ms();
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 150), WAIT_TIMEOUT);
  EXPECT_GE(ms_since(t0), 150);  // the time ran out: a sleep is never shorter than asked
  ASSERT_TRUE(TerminateProcess(s.pi.hProcess, 42));
  EXPECT_TRUE(proc_gone(s.pi.dwProcessId));
  ASSERT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 0), WAIT_OBJECT_0);
  close_pi(s.pi);

  s = start("/bin/sleep 0.2");
  ASSERT_TRUE(s.ok);
  EXPECT_EQ(WaitForSingleObject(s.pi.hProcess, 60000), WAIT_OBJECT_0);
  ASSERT_TRUE(GetExitCodeProcess(s.pi.hProcess, &code));
  EXPECT_EQ(code, 0u);
  close_pi(s.pi);
}

TEST_F(Process, ClosingARunningChildLeavesItRunningThenReapsIt) {
  spawned s = start("/bin/sleep 0.3");
  ASSERT_TRUE(s.ok);
  const DWORD pid = s.pi.dwProcessId;
  close_pi(s.pi);
  EXPECT_FALSE(proc_gone(pid));
  std::string state;
  std::ifstream(("/proc/" + std::to_string(pid) + "/stat").c_str()) >> state >> state >> state;
  EXPECT_NE(state, "Z");
  const int64_t t0 = now_ms();
  while (!proc_gone(pid) && ms_since(t0) < 5000)
    usleep(10000);
  EXPECT_TRUE(proc_gone(pid));
}
