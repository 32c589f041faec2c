#include "base/diag/mem_log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// Each case runs in its own child: the log's files, ring and exit handler are process-wide.
class MemLog : public testing::Test {
 protected:
  tu::tmp_dir dir;
  std::string log = dir.file("memlog.log");
  std::string lgt = dir.file("memlightlog.log");
  std::string err = dir.file("stderr.txt");

  int child(const std::function<int()>& fn) {
    return tu::in_child([&] {
      if (chdir(dir.path().c_str()) != 0) return 90;
      setenv("BAS_MEMLOG_PATH", log.c_str(), 1);
      setenv("BAS_MEMLLOG_PATH", lgt.c_str(), 1);
      setenv("BAS_TMR_PATH", dir.file("tmr.txt").c_str(), 1);
      if (freopen(err.c_str(), "w", stderr) == nullptr) return 91;
      return fn();
    });
  }
};

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

TEST_F(MemLog, RecordTextShowsTheStatusInDecimalAndHex) {
  ASSERT_EQ(child([] {
    static int slot = 0;
    return mem_log_psh(&slot, -1, "src/a.cpp", 12, "hello", 6, __mem_log_txt_prt);
  }), 0);
  const auto l = lines(tu::slurp(log));
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].rfind("src/a.cpp(12) PRC:???bybase/diag/mem_log.cpp err_no:-1/0xffffffff prc_cnt:", 0), 0u) << l[0];
  EXPECT_EQ(l[0].substr(l[0].size() - 6), " hello");
  EXPECT_EQ(tu::slurp(err), tu::slurp(log)) << "written to standard error as pushed too";
}

TEST_F(MemLog, SequenceNumbersIncrease) {
  ASSERT_EQ(child([] {
    uint64_t a = 0;
    const uint64_t r = __prc_cnt(&a);
    if (r != a) return 1;
    for (int i = 0; i < 3; ++i) mem_log_psh(nullptr, 0, "s.cpp", i, nullptr, 0, nullptr);
    uint64_t last = a;
    for (int i = 0; i < 3; ++i) {
      if (mem_log_get(i)->prc_cnt <= last) return 2;
      last = mem_log_get(i)->prc_cnt;
    }
    return 0;
  }), 0);
}

TEST_F(MemLog, RingKeepsTheLast64AndPrintsThemOldestFirst) {
  ASSERT_EQ(child([] {
    mem_log_mod &= ~MEM_LOG_FIL_NOW;  // log file only through mem_log_prt
    mem_log_mod &= ~MEM_LOG_ERR;
    for (int i = 1; i <= 65; ++i) mem_log_psh(nullptr, i, "ring.cpp", i, nullptr, 0, nullptr);
    if (mem_log_get(0)->line != 2 || mem_log_get(63)->line != 65 || mem_log_get(64) != nullptr)
      return 1;
    mem_log_prt();
    return 0;  // the exit handler prints once more and closes
  }), 0);
  const auto l = lines(tu::slurp(log));
  ASSERT_EQ(l.size(), 128u) << "once by hand, once at exit";
  for (int i = 0; i < 64; ++i) {
    const std::string want = "ring.cpp(" + std::to_string(i + 2) + ") ";
    EXPECT_EQ(l[i].rfind(want, 0), 0u) << l[i];
    EXPECT_EQ(l[64 + i].rfind(want, 0), 0u) << l[64 + i];
  }
  EXPECT_EQ(tu::slurp(err), "");
}

TEST_F(MemLog, LightLogGivesEachCallSiteOneLine) {
  ASSERT_EQ(child([] {
    static int a = 0, b = 0;
    mem_log_psh(&a, 5, "a.cpp", 1, "first", 6, __mem_log_txt_prt);
    mem_log_psh(&b, 6, "b.cpp", 2, nullptr, 0, nullptr);
    mem_log_psh(&a, 7, "a.cpp", 3, nullptr, 0, nullptr);
    mem_log_psh(nullptr, 8, "c.cpp", 4, nullptr, 0, nullptr);  // no site: not in the light log
    return a == 1 && b == 2 ? 0 : 1;
  }), 0);
  const std::string s = tu::slurp(lgt);
  ASSERT_EQ(s.size(), 3u * 256);
  EXPECT_EQ(s.substr(0, 256), std::string(255, ' ') + "\n");
  const std::string l1 = s.substr(256, 256);
  const std::string l2 = s.substr(512, 256);
  EXPECT_EQ(l1.rfind("a.cpp(3) PRC:", 0), 0u) << "the later record overwrote the line";
  EXPECT_NE(l1.find("err_no:7/0x7"), std::string::npos);
  EXPECT_EQ(l2.rfind("b.cpp(2) PRC:", 0), 0u);
  for (const std::string& l : {l1, l2}) {
    const size_t end = l.find("prc_cnt:") + 9;
    EXPECT_EQ(l.back(), '\n');
    EXPECT_EQ(l.find_first_not_of(' ', l.find_first_of(' ', end)), 255u) << "blanks after the text";
  }
}

TEST_F(MemLog, StandardErrorOnlyWhenPrintedAndTheDefaultFileNames) {
  ASSERT_EQ(child([] {
    // Without the variables the files are those of the working directory.
    unsetenv("BAS_MEMLOG_PATH");
    unsetenv("BAS_MEMLLOG_PATH");
    mem_log_mod &= ~MEM_LOG_ERR_NOW;
    mem_log_psh(nullptr, 1, "e.cpp", 1, nullptr, 0, nullptr);
    mem_log_psh(nullptr, 2, "e.cpp", 2, nullptr, 0, nullptr);
    std::fflush(stderr);
    if (std::ftell(stderr) != 0) return 1;   // nothing yet
    mem_log_prt();
    return 0;   // the exit handler prints once more
  }), 0);
  const auto e = lines(tu::slurp(err));
  ASSERT_EQ(e.size(), 6u);
  for (int k : {0, 3}) {
    EXPECT_EQ(e[k], "##memlog##");
    EXPECT_EQ(e[k + 1].rfind("e.cpp(1) PRC:", 0), 0u) << e[k + 1];
    EXPECT_EQ(e[k + 2].rfind("e.cpp(2) PRC:", 0), 0u) << e[k + 2];
  }
  EXPECT_EQ(lines(tu::slurp(log)).size(), 2u) << "written as pushed, to memlog.log";
  EXPECT_EQ(tu::slurp(lgt), std::string(255, ' ') + "\n")
      << "memlightlog.log: its blank first line, no call site asked for one of its own";
}

TEST_F(MemLog, APrinterThatPrintsTheLogDoesNotRecurse) {
  ASSERT_EQ(child([] {
    mem_log_mod &= ~(MEM_LOG_ERR_NOW | MEM_LOG_FIL);
    mem_log_psh(nullptr, 1, "r.cpp", 1, nullptr, 0, [](FILE* f, const void*) {
      std::fputs("inner", f);
      mem_log_prt();
    });
    mem_log_prt();
    return 0;   // the exit handler prints once more
  }), 0);
  const auto e = lines(tu::slurp(err));
  ASSERT_EQ(e.size(), 4u);
  for (int k : {0, 2}) {
    EXPECT_EQ(e[k], "##memlog##");
    EXPECT_NE(e[k + 1].find(" inner"), std::string::npos) << e[k + 1];
  }
}

TEST_F(MemLog, ALightLogThatCannotBeOpenedIsLeftOut) {
  ASSERT_EQ(child([] {
    setenv("BAS_MEMLLOG_PATH", "/nonexistent-kestrel/dir/light.log", 1);
    static int slot = 0;
    mem_log_psh(&slot, 3, "l.cpp", 9, nullptr, 0, nullptr);
    return slot == 1 ? 0 : 1;   // the call site still gets its line number
  }), 0);
  const auto l = lines(tu::slurp(log));
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0].rfind("l.cpp(9) PRC:", 0), 0u) << l[0];
  EXPECT_FALSE(tu::exists(lgt));
}

TEST_F(MemLog, OverlongPayloadIsRefused) {
  ASSERT_EQ(child([] {
    unsigned char big[257] = {};
    if (mem_log_psh(nullptr, 0, "x.cpp", 1, big, 257, nullptr) != -1) return 1;
    return mem_log_get(0) == nullptr ? 0 : 2;
  }), 0);
  EXPECT_FALSE(tu::exists(log)) << "nothing was set up";
}

TEST_F(MemLog, PayloadIsFreshForEveryRecord) {
  ASSERT_EQ(child([] {
    mem_log_mod &= ~(MEM_LOG_FIL | MEM_LOG_FIL_NOW | MEM_LOG_ERR | MEM_LOG_ERR_NOW | MEM_LOG_LGT);
    for (int i = 0; i < 64; ++i) mem_log_psh(nullptr, 0, "p.cpp", i, "old", 4, __mem_log_txt_prt);
    mem_log_psh(nullptr, 0, "p.cpp", 64, nullptr, 0, __mem_log_txt_prt);
    return mem_log_get(63)->buf[0] == 0 ? 0 : 1;
  }), 0);
}

TEST(MemLogText, TextPrinterAndSourcePosition) {
  char* out = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&out, &len);
  unsigned char pay[MEM_LOG_PAY];
  std::memset(pay, 'x', sizeof pay);
  __mem_log_txt_prt(f, pay);
  const src_pos pos = {"fopen", "base/y.cpp", 9, "opener"};
  EXPECT_EQ(__src_pos_fprint(f, &pos), 0);
  EXPECT_EQ(__src_pos_fprint(f, nullptr), -1);
  EXPECT_EQ(__src_pos_fprint(nullptr, &pos), -1);
  std::fclose(f);
  EXPECT_EQ(std::string(out, len), std::string(255, 'x') + "base/y.cpp(9),opener,fopen");
  std::free(out);
}

}  // namespace
