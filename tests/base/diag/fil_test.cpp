// The diagnostics files, written where other users may have prepared the path: no symbolic
// link followed, nothing but a regular file written, created for their owner only, never handed
// to a child.
#include "base/diag/fil.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "base/diag/cvr.h"
#include "base/diag/mem_log.h"
#include "base/diag/tmr.h"
#include "test_util.h"

namespace {

#ifndef _WIN32   // links and FIFOs: what another user can put in a directory on Linux
struct writer {
  const char* what;
  std::function<void(const std::string&)> write;   // writes its file at the path
};

const writer writers[] = {
    {"memory log", [](const std::string& p) {
       setenv("BAS_MEMLOG_PATH", p.c_str(), 1);
       static int slot = 0;
       mem_log_psh(&slot, -1, "w.cpp", 1, nullptr, 0, nullptr);
     }},
    {"light log", [](const std::string& p) {
       setenv("BAS_MEMLLOG_PATH", p.c_str(), 1);
       static int slot = 0;
       mem_log_psh(&slot, -1, "w.cpp", 2, nullptr, 0, nullptr);
     }},
    {"profiler report", [](const std::string& p) {
       int64_t last = 0;
       tmr_prt_aut(p.c_str(), 1, &last);
     }},
    {"coverage table", [](const std::string& p) { test_cvr_dump(nullptr, p.c_str()); }},
};

TEST(DiagFil, EachFileIsMadeForItsOwnerAndNoLinkIsFollowed) {
  for (const writer& w : writers) {
    SCOPED_TRACE(w.what);
    tu::tmp_dir dir;
    const std::string path = dir.file("f"), target = dir.file("target"), other = dir.file("o");
    std::ofstream(target) << "someone else's";
    std::filesystem::create_symlink(target, path);
    mkfifo(other.c_str(), 0666);
    // Each in a process of its own: the memory log opens its files once.
    auto run = [&](const std::string& p) {
      return tu::in_child([&] {
        umask(022);
        if (freopen("/dev/null", "w", stderr) == nullptr) return 90;
        w.write(p);
        return 0;
      });
    };
    ASSERT_EQ(run(path), 0);    // a link: left alone
    ASSERT_EQ(run(other), 0);   // a FIFO no one reads: neither written nor waited for
    std::filesystem::remove(path);
    ASSERT_EQ(run(path), 0);    // made anew
    EXPECT_EQ(tu::slurp(target), "someone else's");
    struct stat st{};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_GT(st.st_size, 0);
  }
}

#endif

TEST(DiagFil, NoChildInheritsTheFile) {
  tu::tmp_dir dir;
  FILE* f = diag_fopen(dir.file("x").c_str());
  ASSERT_NE(f, nullptr);
#ifdef _WIN32
  DWORD flg = 0;
  ASSERT_TRUE(GetHandleInformation(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))), &flg));
  EXPECT_EQ(flg & HANDLE_FLAG_INHERIT, 0u);
#else
  EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
#endif
  std::fclose(f);
}

}  // namespace
