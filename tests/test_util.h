// Small helpers shared by the tests: temporary directories, child processes, files.
#pragma once
#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

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

namespace tu {

// A fresh directory under the build's scratch area (or /tmp), removed with the object.
class tmp_dir {
 public:
  tmp_dir() {
    const char* base = std::getenv("KESTREL_TEST_TMP");
    std::filesystem::path root = base != nullptr ? base : std::filesystem::temp_directory_path();
    std::filesystem::create_directories(root);
    std::string tmpl = (root / "kestrel-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~tmp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  tmp_dir(const tmp_dir&) = delete;
  tmp_dir& operator=(const tmp_dir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Runs fn in a forked child that ends with exit(fn's result), so exit handlers run there
// and process-wide state stays out of the test process. Returns the exit status, or -1.
inline int in_child(const std::function<int()>& fn) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) std::exit(fn());
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st)) return -1;
  return WEXITSTATUS(st);
}

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

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

inline int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace tu
