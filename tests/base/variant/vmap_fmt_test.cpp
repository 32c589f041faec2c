#include "base/variant/vmap_fmt.h"

#include <gtest/gtest.h>

#include <string>

#include "base/base.h"
#include "base/stream/stream_fixture.h"
#include "reg_util.h"

namespace {

class VmapFmt : public testing::Test {
 protected:
  vmap vm = {};
  size_t blocks = 0;

  void SetUp() override {
    blocks = vtest::reg_blocks().size();
    ASSERT_EQ(vmap_set(&vm, 0), 0);
    ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "onoff", "ON", 0), 0);
    ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "addr", "554433221100", 0), 0);
    ASSERT_EQ(vmap_put_str_int(&vm, nullptr, "n", 42, 0), 0);
    ASSERT_EQ(vmap_put_str_int(&vm, nullptr, "neg", -5, 0), 0);
    ASSERT_EQ(_vmap_put_str_nul(&vm, nullptr, "none", nullptr, 0), 0);
    // A Shift-JIS key (名前) and value (ＯＫ).
    ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "\x96\xBC\x91\x4F", "\x82\x6E\x82\x6A", 0), 0);
  }
  void TearDown() override {
    vmap_end(&vm);
    EXPECT_EQ(vtest::reg_blocks().size(), blocks) << "everything given back";
  }

  // Formats tpl; the result is what came out, and st the status that ended it.
  std::string fmt(const char* tpl, int* st) {
    const char* cur = tpl;
    stream tb = {}, tc = {}, f = {};
    stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
    stream_set(&tc, &tb, &STREAM_OPS_SJIS);
    EXPECT_EQ(vmap_fmt_stream(&f, &vm, &tc), 0);
    std::string out;
    uint32_t ch = 0;
    while ((*st = stream_pop(&f, &ch)) == 0) {
      out += static_cast<char>(ch & 0xFF);
      if (ch > 0xFF) out += static_cast<char>(ch >> 8);
    }
    stream_end(&f);
    return out;
  }
  std::string ok(const char* tpl) {
    int st = 0;
    std::string s = fmt(tpl, &st);
    EXPECT_EQ(st, ERR_EOD) << tpl;
    return s;
  }
};

TEST_F(VmapFmt, PlaceholdersAreReplacedByTheirValues) {
  EXPECT_EQ(ok("ON @onoff@"), "ON ON");
  EXPECT_EQ(ok("@addr@-@onoff@@addr@"), "554433221100-ON554433221100");
  EXPECT_EQ(ok("plain text"), "plain text");
  EXPECT_EQ(ok(""), "");
  EXPECT_EQ(ok("a@@b"), "a@b");
  EXPECT_EQ(ok("@@@@"), "@@");
}

TEST_F(VmapFmt, IntegerAndEmptyValues) {
  EXPECT_EQ(ok("[@n@]"), "[42]");
  EXPECT_EQ(ok("[@neg@]"), "[-5]");
  EXPECT_EQ(ok("[@none@]"), "[]");
  EXPECT_EQ(ok("@none@@n@"), "42");
}

TEST_F(VmapFmt, NamesAndTextsAreShiftJis) {
  EXPECT_EQ(ok("\x88\xA4@\x96\xBC\x91\x4F@"), "\x88\xA4\x82\x6E\x82\x6A");
  // 0x40 ("@") as a trail byte belongs to its character (ア is 83 40), not a placeholder;
  // also in the extension rows (ⅰ is FA 40, 髙 FB FC, 﨑 FA B1).
  EXPECT_EQ(ok("\x83\x40x"), "\x83\x40x");
  EXPECT_EQ(ok("\xFA\x40@onoff@\xFB\xFC\xFA\xB1"), "\xFA\x40ON\xFB\xFC\xFA\xB1");
  ASSERT_EQ(vmap_put_str_str(&vm, nullptr, "nm", "\xFA\x40\xFB\xFC\xFA\xB1", 0), 0);
  EXPECT_EQ(ok("[@nm@]"), "[\xFA\x40\xFB\xFC\xFA\xB1]");
}

TEST_F(VmapFmt, FailuresAfterWhatCameOut) {
  int st = 0;
  EXPECT_EQ(fmt("run @addr", &st), "run ");
  EXPECT_EQ(st, -1) << "unterminated placeholder";
  EXPECT_EQ(fmt("x @host@ y", &st), "x ");
  EXPECT_EQ(st, -1) << "unknown name";
  EXPECT_EQ(fmt("@n@ @host@", &st), "42 ");
  EXPECT_EQ(st, -1) << "a finished value does not make the failure read as an end";
}

TEST_F(VmapFmt, CollectedIntoAText) {
  const char* cur = "cmd @addr@ \"@onoff@\"";
  stream tb = {}, tc = {}, f = {};
  stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&tc, &tb, &STREAM_OPS_SJIS);
  ASSERT_EQ(vmap_fmt_stream(&f, &vm, &tc), 0);
  char* line = nullptr;
  ASSERT_EQ(cstream_to_vstr(&f, &line), 0);
  EXPECT_STREQ(line, "cmd 554433221100 \"ON\"");
  _free(&line);
}

TEST_F(VmapFmt, AValueOfAKindWithoutTextFails) {
  // A number with a fraction has no form here: what came before it is all that comes out.
  vtyp_pr pr{};
  pr.key.typ = VTYP_STR;
  pr.key.val = "f";
  const double half = 0.5;
  pr.val.typ = VTYP_FLT;
  pr.val.val = &half;
  ASSERT_EQ(_vmap_put(&vm, &pr, nullptr, 0), 0);
  int st = 0;
  EXPECT_EQ(fmt("a @f@ b", &st), "a ");
  EXPECT_EQ(st, -1);
}

TEST_F(VmapFmt, ATemplateThatFailsIsAFailureNotAnEnd) {
  // The template's own failure code comes through: a reader must not take it for the end.
  st::fake_src src("ab @n@ cd");
  src.fail_at = 7;
  stream tb = {}, tc = {}, f = {};
  stream_set(&tb, &src, &st::FAKE_OPS);
  stream_set(&tc, &tb, &STREAM_OPS_SJIS);
  ASSERT_EQ(vmap_fmt_stream(&f, &vm, &tc), 0);
  std::string out;
  uint32_t ch = 0;
  int st = 0;
  while ((st = stream_pop(&f, &ch)) == 0) out += static_cast<char>(ch);
  EXPECT_EQ(out, "ab 42 ");
  EXPECT_EQ(st, -1);
  stream_end(&f);
  EXPECT_EQ(src.ends, 1) << "the template went with the formatter";
}

}  // namespace
