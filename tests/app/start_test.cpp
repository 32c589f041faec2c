// Reading the options back from the options map into the option record.
#include "app/start.h"

#include <gtest/gtest.h>

#include "app/opt.h"

#include <cstdio>
#include <string>
#include <vector>

#include "alloc_util.h"
#include "base/base.h"

namespace {

class OptRd : public testing::Test {
 protected:
  vmap opts = {};
  void SetUp() override {
    opt_rcd = {};
    opt_rcd.fp = 1;  // the start-up's own default, set before the read-back
    ASSERT_EQ(vmap_set(&opts, 0), 0);
  }
  void TearDown() override { vmap_end(&opts); }
  void flag(const char* k) { ASSERT_EQ(_vmap_put_str_nul(&opts, nullptr, k, nullptr, 0), 0); }
  void txt(const char* k, const char* v) { ASSERT_EQ(vmap_put_str_str(&opts, nullptr, k, v, 0), 0); }
};

TEST_F(OptRd, DefaultsWithAnEmptyMap) {
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.t, 4);
  EXPECT_EQ(opt_rcd.c, 3);
  EXPECT_EQ(opt_rcd.fp, 1);
  EXPECT_STREQ(opt_rcd.cmdon, "");
  EXPECT_STREQ(opt_rcd.cmdoff, "");
  EXPECT_EQ(opt_rcd.cmd_use, 0);
  EXPECT_EQ(opt_rcd.dbgcnt, 0);
  EXPECT_EQ(opt_rcd.dbgtim, 0);
}

TEST_F(OptRd, FlagsAndTheirOrder) {
  flag("fp");
  flag("nfp");
  flag("dbgcnt");
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.fp, 0) << "nfp comes later in the table";
  EXPECT_EQ(opt_rcd.dbgcnt, 1);
  EXPECT_EQ(opt_rcd.dbgtim, 0);
}

TEST_F(OptRd, IntegersFromIntegersOrDecimalTexts) {
  ASSERT_EQ(vmap_put_str_int(&opts, nullptr, "t", 9, 0), 0);
  txt("c", "+2");
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.t, 9);
  EXPECT_EQ(opt_rcd.c, 2);
}

TEST_F(OptRd, OtherTextsLeaveTheDefault) {
  // A negative count never lets a device turn OFF, and counting it down would overflow.
  for (const char* bad : {"5x", "", "-", "+", " 5", "5 ", "0x10", "99999999999", "2147483648", "1.5", "-1",
                          "-2147483648"}) {
    vmap_end(&opts);
    ASSERT_EQ(vmap_set(&opts, 0), 0);
    txt("t", bad);
    txt("c", bad);
    opt_rd(&opts);
    EXPECT_EQ(opt_rcd.t, 4) << "'" << bad << "'";
    EXPECT_EQ(opt_rcd.c, 3) << "'" << bad << "'";
  }
  vmap_end(&opts);
  ASSERT_EQ(vmap_set(&opts, 0), 0);
  flag("t");  // a bare /t
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.t, 4);
}

TEST_F(OptRd, DecimalTextEdges) {
  int32_t v = 0;
  EXPECT_TRUE(opt_int_txt("+7", &v));
  EXPECT_EQ(v, 7);
  EXPECT_TRUE(opt_int_txt("-2147483648", &v));
  EXPECT_EQ(v, INT32_MIN);
  EXPECT_TRUE(opt_int_txt("2147483647", &v));
  EXPECT_EQ(v, INT32_MAX);
  EXPECT_TRUE(opt_int_txt("007", &v));
  EXPECT_EQ(v, 7);
  EXPECT_FALSE(opt_int_txt("-2147483649", &v));
  EXPECT_FALSE(opt_int_txt("--1", &v));
}

TEST_F(OptRd, TextsAndTheCommandSwitch) {
  txt("cmdoff", "echo @addr@");
  ASSERT_EQ(vmap_put_str_int(&opts, nullptr, "cmdon", 5, 0), 0);  // not a text: default
  opt_rd(&opts);
  EXPECT_STREQ(opt_rcd.cmdoff, "echo @addr@");
  EXPECT_STREQ(opt_rcd.cmdon, "");
  EXPECT_EQ(opt_rcd.cmd_use, 1);
}

}  // namespace

namespace {

class OptScn : public OptRd {
 protected:
  int scan(std::vector<std::string> args) {
    args.insert(args.begin(), "kestrel");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return opt_scn(&opts, static_cast<int>(args.size()), argv.data());
  }
};

TEST_F(OptScn, ArgumentsUpToTheFirstWithoutSlash) {
  ASSERT_EQ(scan({"/t=10", "foo", "/c=1"}), 0);
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.t, 10);
  EXPECT_EQ(opt_rcd.c, 3) << "/c=1 comes after foo";
}

TEST_F(OptScn, EveryOptionOfTheTable) {
  ASSERT_EQ(scan({"/t=7", "/c=0", "/nfp", "/cmdon=\"a \\\"b\\\"\"", "/cmdoff=x;dbgcnt", "/dbgtim"}), 0);
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.t, 7);
  EXPECT_EQ(opt_rcd.c, 0);
  EXPECT_EQ(opt_rcd.fp, 0);
  EXPECT_STREQ(opt_rcd.cmdon, "a \"b\"");
  EXPECT_STREQ(opt_rcd.cmdoff, "x");
  EXPECT_EQ(opt_rcd.cmd_use, 1);
  EXPECT_EQ(opt_rcd.dbgcnt, 1);
  EXPECT_EQ(opt_rcd.dbgtim, 1);
}

TEST_F(OptScn, TheParsersStatusEndsTheScan) {
  const size_t before = tu::lib_blocks();
  EXPECT_EQ(scan({"/c=1", "/=5", "/nfp"}), ERR_END);
  EXPECT_EQ(err_no, ERR_END);
  EXPECT_EQ(scan({"/c=2", "/t=5.x", "/nfp"}), -1);
  EXPECT_EQ(err_no, -1);
  opt_rd(&opts);
  EXPECT_EQ(opt_rcd.c, 2);
  EXPECT_EQ(opt_rcd.t, 5) << "stored before the word after it failed";
  EXPECT_EQ(opt_rcd.fp, 1) << "never read";
  // The help words: ? is dropped, h and H are keys without value.
  EXPECT_EQ(scan({"/?", "/h", "/H"}), 0);
  const char* v = nullptr;
  vtyp* e = nullptr;
  EXPECT_NE(vmap_get_str_str(&opts, nullptr, "h", &v), 0);
  EXPECT_EQ(vmap_ref_str(&opts, nullptr, "H", &e), 0);
  EXPECT_NE(vmap_ref_str(&opts, nullptr, "?", &e), 0);
  // Nothing of the parses is left but what the map holds.
  vmap_end(&opts);
  EXPECT_EQ(tu::lib_blocks(), before);
  ASSERT_EQ(vmap_set(&opts, 0), 0);
}

// A full scan with every option, each heap call of it failing in turn: the scan ends with -1
// (or absorbs the failure and reads the same options), and every block of the parse and of
// the map is given back.
TEST_F(OptScn, EveryHeapCallOfAFullScanFailingInTurn) {
  const int failed = tu::every_heap_call([] {
    std::vector<std::string> args = {"kestrel", "/t=7", "/c=0;nfp", "/fp",
                                     "/cmdon=\"notify-send \\\"@name@ ist da\\\"\"",
                                     "/cmdoff=\"x @addr@\"", "/dbgcnt", "/dbgtim", "rest"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    vmap m{};
    if (vmap_set(&m, 0) != 0) return tu::outcome{err_no, ""};
    const int32_t st = opt_scn(&m, static_cast<int>(args.size()), argv.data());
    std::string out;
    if (st == 0) {
      opt_rcd = {};
      opt_rd(&m);
      char line[512];
      std::snprintf(line, sizeof line, "t=%d c=%d fp=%d on=[%s] off=[%s] use=%d cnt=%d tim=%d",
                    opt_rcd.t, opt_rcd.c, opt_rcd.fp, opt_rcd.cmdon, opt_rcd.cmdoff,
                    opt_rcd.cmd_use, opt_rcd.dbgcnt, opt_rcd.dbgtim);
      out = line;
    }
    vmap_end(&m);
    return tu::outcome{st, out};
  }, "option scan");
  EXPECT_GT(failed, 20);
}

}  // namespace
