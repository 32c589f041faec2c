// Small helpers shared by the tests: temporary directories, child processes, files.
#pragma once
#ifdef _WIN32
#include <gtest/gtest.h>
#include <process.h>
#else
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <ctime>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace tu {

#ifdef _WIN32
// Windows has no fork: in_child starts this test program again, running only the current test,
// and that run stops at the same in_child call, runs fn and exits with its result. The
// directories the test made before the call are handed over, so that both runs use the same.
struct win_child {
  std::string test;               // the current test's full name
  int calls = 0;                  // in_child calls so far in it
  std::vector<std::string> dirs;  // tmp_dir paths made so far in it
  // In the started run: which call to carry out, and the directories to use.
  std::string want_test;
  int want_call = -1;
  std::vector<std::string> want_dirs;
  size_t dirs_used = 0;

  static win_child& get() {
    static win_child w = [] {
      win_child c;
      if (const char* v = std::getenv("KESTREL_TU_CHILD")) {
        std::string s = v;
        const size_t at = s.rfind('#');
        c.want_test = s.substr(0, at);
        c.want_call = std::atoi(s.c_str() + at + 1);
      }
      if (const char* v = std::getenv("KESTREL_TU_DIRS")) {
        std::string s = v;
        for (size_t b = 0, e; b < s.size(); b = e + 1) {
          e = s.find('|', b);
          if (e == std::string::npos) e = s.size();
          c.want_dirs.push_back(s.substr(b, e - b));
        }
      }
      return c;
    }();
    const testing::TestInfo* ti = testing::UnitTest::GetInstance()->current_test_info();
    const std::string now = ti != nullptr ? std::string(ti->test_suite_name()) + "." + ti->name() : "";
    if (now != w.test) {
      w.test = now;
      w.calls = 0;
      w.dirs.clear();
    }
    return w;
  }
  bool in_started_run() const { return want_call >= 0 && test == want_test; }
};
#endif

// A fresh directory under the build's scratch area (or /tmp), removed with the object.
class tmp_dir {
 public:
  tmp_dir() {
#ifdef _WIN32
    win_child& w = win_child::get();
    if (w.in_started_run() && w.dirs_used < w.want_dirs.size()) {
      path_ = w.want_dirs[w.dirs_used++];
      owner_ = false;
      return;
    }
#endif
    const char* base = std::getenv("KESTREL_TEST_TMP");
    std::filesystem::path root = base != nullptr ? base : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(root);
    std::string tmpl = (root / "kestrel-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
#ifdef _WIN32
    w.dirs.push_back(tmpl);
#endif
  }
  ~tmp_dir() {
    if (!owner_) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  tmp_dir(const tmp_dir&) = delete;
  tmp_dir& operator=(const tmp_dir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
  bool owner_ = true;
};

// Runs fn in a forked child that ends with exit(fn's result), so exit handlers run there
// and process-wide state stays out of the test process. Returns the exit status, or -1.
inline int in_child(const std::function<int()>& fn) {
  std::fflush(nullptr);
#ifdef _WIN32
  win_child& w = win_child::get();
  const int call = w.calls++;
  if (w.in_started_run()) {
    if (call == w.want_call) std::exit(fn());
    return -1;  // an earlier call: its result belongs to the first run
  }
  std::string dirs;
  for (const std::string& d : w.dirs) dirs += (dirs.empty() ? "" : "|") + d;
  _putenv_s("KESTREL_TU_CHILD", (w.test + "#" + std::to_string(call)).c_str());
  _putenv_s("KESTREL_TU_DIRS", dirs.c_str());  // none: unset
  const std::string exe = std::string("\"") + _pgmptr + "\"";
  const std::string flt = "--gtest_filter=" + w.test;
  const intptr_t st = _spawnl(_P_WAIT, _pgmptr, exe.c_str(), flt.c_str(), nullptr);
  _putenv_s("KESTREL_TU_CHILD", "");
  _putenv_s("KESTREL_TU_DIRS", "");
  // As a process that ended by a signal on Linux: a crash's code is no exit status.
  return st < 0 || st > 255 ? -1 : static_cast<int>(st);
#else
  const pid_t pid = fork();
  if (pid == 0) std::exit(fn());
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
#endif
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

#ifndef _WIN32
// Descriptors open in this process.
inline int open_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n;
}

// True when this process has no child, ended or not.
inline bool no_children() {
  int st = 0;
  return waitpid(-1, &st, WNOHANG) == -1 && errno == ECHILD;
}
#endif

inline int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace tu
