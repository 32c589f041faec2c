// The pattern compiler: node lists, links of alternatives and groups, counts, escapes, and
// every construct that must not compile.
#include "base/text/regexp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text_util.h"

namespace {

using tx::nod;
using tx::nodes_of;

constexpr uint32_t C = TRM_CHR;
constexpr uint32_t E = TRM_CLS_END;
constexpr uint32_t MIN = TRM_CNT | TRM_CNT_MIN;
constexpr uint32_t MAX = TRM_CNT | TRM_CNT_MAX;
constexpr nod BRA0 = {TRM_BRA, 0, -1};
constexpr nod FIN = {TRM_FIN, 0, -1};

nod m(uint32_t kind, uint32_t ch) { return {kind, ch, -1}; }

class Regexp : public st::Fixture {};

TEST_F(Regexp, ClassesAndRepeatsCompileToTheirNodeLists) {
  EXPECT_EQ(nodes_of("[a-zA-Z0-9_]+"),
            (std::vector<nod>{BRA0, m(C | TRM_RNG_LO, 'a'), m(C | TRM_RNG_HI, 'z'),
                              m(C | TRM_RNG_LO, 'A'), m(C | TRM_RNG_HI, 'Z'),
                              m(C | TRM_RNG_LO, '0'), m(C | TRM_RNG_HI, '9'), m(C | E, '_'),
                              m(MIN, 1), m(MAX, TRM_UNB), FIN}));
  // A blank and a real tab in the class; the two characters \t give the same member.
  const std::vector<nod> blank{BRA0, m(C, ' '), m(C | E, '\t'), m(MIN, 1), m(MAX, TRM_UNB), FIN};
  EXPECT_EQ(nodes_of("[ \t]+"), blank);
  EXPECT_EQ(nodes_of("[ \\t]+"), blank);
  // Backslash, backslash, dot: a literal backslash, then anything but a line feed.
  EXPECT_EQ(nodes_of("\\\\."), (std::vector<nod>{BRA0, m(C | E, '\\'),
                                                   m(C | E | TRM_NEG, 10), FIN}));
  // The - takes ] as its upper bound; the class goes on to the next ].
  EXPECT_EQ(nodes_of("[a-]x]"), (std::vector<nod>{BRA0, m(C | TRM_RNG_LO, 'a'),
                                                   m(C | TRM_RNG_HI, ']'), m(C | E, 'x'), FIN}));
  // * and ? mark the atom's first node as skippable, + does not; braces never do.
  EXPECT_EQ(nodes_of("[^ab]*"), (std::vector<nod>{BRA0, m(C | TRM_NEG | TRM_OPT, 'a'),
                                                   m(C | TRM_NEG | E, 'b'), m(MIN, 0),
                                                   m(MAX, TRM_UNB), FIN}));
  EXPECT_EQ(nodes_of("a?"),
            (std::vector<nod>{BRA0, m(C | E | TRM_OPT, 'a'), m(MIN, 0), m(MAX, 1), FIN}));
  EXPECT_EQ(nodes_of("a{0,1}"), (std::vector<nod>{BRA0, m(C | E, 'a'), m(MIN, 0), m(MAX, 1), FIN}));
  // A Shift-JIS character is one member; a range may span double-byte codes.
  EXPECT_EQ(nodes_of("\x82\xA0[\x82\xA0-\x82\xA2]"),
            (std::vector<nod>{BRA0, m(C | E, 0xA082), m(C | TRM_RNG_LO, 0xA082),
                              m(C | TRM_RNG_HI | E, 0xA282), FIN}));
}

TEST_F(Regexp, BracedCounts) {
  const std::vector<nod> two_three{BRA0, m(C | E, 'a'), m(MIN, 2), m(MAX, 3), FIN};
  EXPECT_EQ(nodes_of("a{2,3}"), two_three);
  EXPECT_EQ(nodes_of("a{ 2 , 3 }"), two_three);
  EXPECT_EQ(nodes_of("a{\t2\n,\r3 }"), two_three);
  EXPECT_EQ(nodes_of("a{2}"), (std::vector<nod>{BRA0, m(C | E, 'a'), m(TRM_CNT, 2), FIN}));
  EXPECT_EQ(nodes_of("a{2,}"),
            (std::vector<nod>{BRA0, m(C | E, 'a'), m(MIN, 2), m(MAX, TRM_UNB), FIN}));
  // An absent number counts as 0.
  EXPECT_EQ(nodes_of("a{,}"),
            (std::vector<nod>{BRA0, m(C | E, 'a'), m(MIN, 0), m(MAX, TRM_UNB), FIN}));
  EXPECT_EQ(nodes_of("a{,3}"), (std::vector<nod>{BRA0, m(C | E, 'a'), m(MIN, 0), m(MAX, 3), FIN}));
  // The largest 32-bit counts fit.
  EXPECT_EQ(nodes_of("a{4294967295}"),
            (std::vector<nod>{BRA0, m(C | E, 'a'), m(TRM_CNT, 0xFFFFFFFFu), FIN}));
  EXPECT_EQ(nodes_of("a{1,4294967295}"),
            (std::vector<nod>{BRA0, m(C | E, 'a'), m(MIN, 1), m(MAX, 0xFFFFFFFFu), FIN}));
}

TEST_F(Regexp, AlternativesAndGroupsAreLinked) {
  EXPECT_EQ(nodes_of("a|b|c"),
            (std::vector<nod>{{TRM_BRA, 0, 3}, m(C | E, 'a'), {TRM_KET, 0, 8}, {TRM_BRA, 0, 6},
                              m(C | E, 'b'), {TRM_KET, 0, 8}, BRA0, m(C | E, 'c'), FIN}));
  EXPECT_EQ(nodes_of("x(a|b)y"),
            (std::vector<nod>{BRA0, m(C | E, 'x'), {TRM_BRA, 0, 5}, m(C | E, 'a'),
                              {TRM_KET, 0, 8}, BRA0, m(C | E, 'b'), {TRM_KET, 0, 8},
                              m(C | E, 'y'), FIN}));
  // Two groups in a row: the first is closed onto the second's start.
  EXPECT_EQ(nodes_of("(a)(b)"),
            (std::vector<nod>{BRA0, BRA0, m(C | E, 'a'), {TRM_KET, 0, 4}, BRA0, m(C | E, 'b'),
                              {TRM_KET, 0, 7}, FIN}));
  EXPECT_EQ(nodes_of("a|(b|c)d"),
            (std::vector<nod>{{TRM_BRA, 0, 3}, m(C | E, 'a'), {TRM_KET, 0, 11}, BRA0,
                              {TRM_BRA, 0, 7}, m(C | E, 'b'), {TRM_KET, 0, 10}, BRA0,
                              m(C | E, 'c'), {TRM_KET, 0, 10}, m(C | E, 'd'), FIN}));
  // Empty alternatives.
  EXPECT_EQ(nodes_of("a|"), (std::vector<nod>{{TRM_BRA, 0, 3}, m(C | E, 'a'), {TRM_KET, 0, 4},
                                               BRA0, FIN}));
  EXPECT_EQ(nodes_of("()"), (std::vector<nod>{BRA0, BRA0, {TRM_KET, 0, 3}, FIN}));
  EXPECT_EQ(nodes_of("^$"), (std::vector<nod>{BRA0, m(TRM_BOL, 0), m(TRM_EOL, 0), FIN}));
}

TEST_F(Regexp, Escapes) {
  EXPECT_EQ(nodes_of("\\n\\r\\t\\d\\\\\\[\\.\\*"),
            (std::vector<nod>{BRA0, m(C | E, 10), m(C | E, 13), m(C | E, 9), m(C | E, 'd'),
                              m(C | E, '\\'), m(C | E, '['), m(C | E, '.'), m(C | E, '*'), FIN}));
  // Inside a class the tests for ] and - look at the raw character.
  EXPECT_EQ(nodes_of("[\\]\\-\\n]"),
            (std::vector<nod>{BRA0, m(C, ']'), m(C, '-'), m(C | E, 10), FIN}));
  EXPECT_EQ(nodes_of("[a\\-z]"),
            (std::vector<nod>{BRA0, m(C, 'a'), m(C, '-'), m(C | E, 'z'), FIN}));

  tx::cstr s("nq");
  uint32_t ch = 'x';
  EXPECT_EQ(__regexp_escape(&s, &ch), 0);
  EXPECT_EQ(ch, 'x') << "not a backslash: nothing read";
  ch = '\\';
  EXPECT_EQ(__regexp_escape(&s, &ch), 0);
  EXPECT_EQ(ch, 10u);
  ch = '\\';
  EXPECT_EQ(__regexp_escape(&s, &ch), 0);
  EXPECT_EQ(ch, static_cast<uint32_t>('q'));
  ch = '\\';
  EXPECT_EQ(__regexp_escape(&s, &ch), 1) << "nothing after the backslash";
}

TEST_F(Regexp, ConstructsWithoutMeaningAreRejected) {
  const char* bad[] = {
      // nested groups, groups not opened or not closed
      "(a(b))", "((a))", "a)", "(a))", ")", "(a", "(a|b", "ab(",
      // a quantifier after ), ^, $, another quantifier, at the start, after ( or |
      "(a)*", "(a)+", "(a)?", "(a){2}", "^*", "$+", "a$?", "a^{2}", "a**", "a+?", "a{2}*",
      "a?{2}", "*a", "+", "?a", "{2}a", "(*a)", "a|*b", "(a|+b)",
      // a top-level alternative after a group
      "(a)|b", "a(b)c|d",
      // counts of zero, reversed, too large, or not closed by }
      "a{0}", "a{ 0 }", "a{}", "a{0,0}", "a{,0}", "a{3,2}", "a{4294967296}",
      "a{1,4294967296}", "a{99999999999}", "a{2x", "a{2,3x", "a{x}", "a{2 3}",
      // empty classes, a class that begins with -, a range that continues a range
      "[]", "[^]", "[-a]", "[^-a]", "[a-c-e]"};
  for (const char* p : bad) {
    txt_mtc_chk chk{};
    chk.trm = reinterpret_cast<txt_trm*>(&chk);   // must be cleared
    EXPECT_EQ(tx::compile(p, &chk), -1) << p;
    EXPECT_EQ(chk.trm, nullptr) << p;
    EXPECT_EQ(err_no, -1) << p;
  }
}

TEST_F(Regexp, PatternsThatStopShortEndWithTheStreamsStatus) {
  const char* cut[] = {"", "[", "[^", "[ab", "[a-", "[a-]", "a{", "a{2", "a{2,", "a{ 2 ,3 ",
                       "a\\", "[a\\", "ab\\"};
  for (const char* p : cut) {
    txt_mtc_chk chk{};
    EXPECT_EQ(tx::compile(p, &chk), 1) << p;
    EXPECT_EQ(chk.trm, nullptr) << p;
  }
  // A failing pattern stream is passed on, not taken for the pattern's end.
  st::fake_src src("ab");
  src.fail_at = 1;
  stream bs{}, cs{};
  stream_set(&bs, &src, &st::FAKE_OPS_NO_END);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  txt_mtc_chk chk{};
  EXPECT_EQ(regexp_trm(&chk, &cs), -1);
  EXPECT_EQ(chk.trm, nullptr);
  EXPECT_EQ(regexp_trm(nullptr, &cs), -1);
}

TEST_F(Regexp, CheckerSetUp) {
  tx::cstr a("a+");
  txt_mtc_chk chk{};
  EXPECT_EQ(regexp_chk(&chk, &a, nullptr), 0);
  EXPECT_EQ(chk.flg, TXT_MTC_FLG_DEF | TXT_MTC_OWN);
  ASSERT_NE(chk.trm, nullptr);
  txt_mtc_chk_end(&chk);   // frees the term: the fixture sees nothing left

  const uint32_t anc = TXT_MTC_ANC;
  tx::cstr b("b");
  EXPECT_EQ(regexp_chk(&chk, &b, &anc), 0);
  EXPECT_EQ(chk.flg, TXT_MTC_ANC | TXT_MTC_OWN);
  txt_mtc_chk_end(&chk);

  // A pattern that does not compile releases the checker.
  tx::cstr c("a{3,2}");
  chk.pos = 7;
  EXPECT_EQ(regexp_chk(&chk, &c, nullptr), -1);
  EXPECT_EQ(chk.trm, nullptr);
  EXPECT_EQ(chk.flg, 0u);
  EXPECT_EQ(chk.pos, 0u);

  // An empty one is no failure: the checker stays, without a term.
  tx::cstr d("");
  EXPECT_EQ(regexp_chk(&chk, &d, nullptr), 1);
  EXPECT_EQ(chk.flg, TXT_MTC_FLG_DEF | TXT_MTC_OWN);
  EXPECT_EQ(chk.trm, nullptr);
  EXPECT_EQ(txt_mtc_wrd(&chk, 'a'), -1) << "a checker without a term cannot run";
  txt_mtc_chk_end(&chk);
}

}  // namespace
