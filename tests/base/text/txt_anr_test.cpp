// The analyzer: the option parser's chain of three, state numbers, the factor kinds, the
// merge, variables, output files, the look-ahead list, and release of the chain.
#include "base/text/txt_anr.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"
#include "text_util.h"

namespace {

using tx::analyzer;
using tx::BLANK;
using tx::ESC;
using tx::EQ;
using tx::QUOTE;
using tx::tok;
using tx::WORD;

class TxtAnr : public st::Fixture {};

std::vector<tok> parse(const std::string& text, int32_t* end = nullptr) {
  tx::parser p(text);
  return p.all(end);
}

TEST_F(TxtAnr, TheOptionParsersChain) {
  int32_t end = 0;
  EXPECT_EQ(parse("\\n", &end), (std::vector<tok>{{WORD, "\n"}}));
  EXPECT_EQ(end, ERR_END) << "the splitter's end status comes through the chain";
  EXPECT_EQ(parse("\"a b\""), (std::vector<tok>{{WORD, "a b"}}));
  EXPECT_EQ(parse("\"\""), (std::vector<tok>{{WORD, ""}}));
  // No closing quote: the string rule does not fire and the quote goes on as it is.
  EXPECT_EQ(parse("\"a"), (std::vector<tok>{{QUOTE, "\""}, {WORD, "a"}}));
  // The escaped quote is a word before the second analyzer sees it.
  EXPECT_EQ(parse("\"a\\\"b\""), (std::vector<tok>{{WORD, "a\"b"}}));
  EXPECT_EQ(parse("\"\\t\\\\x\\/\""), (std::vector<tok>{{WORD, "\t\\x/"}}));
  // Blanks and text no pattern takes never reach the parser; unknown escapes stay escapes.
  EXPECT_EQ(parse("a ? b\t\\q"), (std::vector<tok>{{WORD, "a"}, {WORD, "b"}, {ESC, "\\q"}}));
  EXPECT_EQ(parse("cmdon=\"notepad.exe @name@\""),
            (std::vector<tok>{{WORD, "cmdon"}, {EQ, "="}, {WORD, "notepad.exe @name@"}}));
  EXPECT_EQ(parse("cmdon=notepad.exe"),
            (std::vector<tok>{{WORD, "cmdon"}, {EQ, "="}, {WORD, "notepad"}, {WORD, "exe"}}));
  EXPECT_EQ(parse("a=1;\"x\"\"y\"[\n]"),
            (std::vector<tok>{{WORD, "a"}, {EQ, "="}, {WORD, "1"}, {tx::SEMI, ";"}, {WORD, "x"},
                              {WORD, "y"}, {tx::OPEN, "["}, {tx::LINE, "\n"}, {tx::CLOSE, "]"}}));
  EXPECT_EQ(parse("", &end), std::vector<tok>{});
  EXPECT_EQ(end, ERR_END);
}

constexpr uint32_t SKP = BLANK;   // the splitter's blank run is skippable
const std::vector<tx::spr_pat> WORDS = {{WORD, "[a-z0-9]+"}, {SKP, " +"}, {EQ, "="},
                                        {tx::SEMI, ";"}};
constexpr uint32_t OPN = TXT_ANR_OPN | 0x100, CLS = TXT_ANR_CLS | 0x100;
const std::vector<tx::spr_pat> GROUPS = {{WORD, "[a-z0-9]+"}, {SKP, " +"}, {OPN, "\\("},
                                         {CLS, "\\)"}};

TEST_F(TxtAnr, StateNumbersAndEngagedRules) {
  // A is engaged until the blank after "go" reaches the head; B runs only in state 1.
  analyzer z("go x y x z", WORDS,
             {{{{0, WORD, "go"}, {5}}, {0, 1, 1}}, {{{0, WORD, "x"}, {5}, {9, 42}}, {1, 2, 0}}});
  txt_anr_elm e{};
  std::vector<uint32_t> stt, typ;
  while (_txt_anr_stream_pop(&z.a, &e) == 0) {
    stt.push_back(z.a.stt);
    typ.push_back(e.typ);
  }
  EXPECT_EQ(stt, (std::vector<uint32_t>{1, 1, 2, 0, 0, 0, 0, 0, 0}));
  // Only the blank after the first x is retyped: B is not tried again in state 0.
  EXPECT_EQ(typ, (std::vector<uint32_t>{WORD, SKP, WORD, 42, WORD, SKP, WORD, SKP, WORD}));
}

TEST_F(TxtAnr, LookAheadKeepsOrMovesTheCursor) {
  // Kind 2 finds x ahead and leaves the cursor where it was: the element it stood on is
  // retyped, and the rule, released at once, fires again on every element up to x.
  analyzer k2("a b x c", WORDS, {{{{2, WORD, "x"}, {9, 77}}}});
  EXPECT_EQ(k2.all(), (std::vector<tok>{{77, "a"}, {77, " "}, {77, "b"}, {77, " "}, {77, "x"},
                                        {SKP, " "}, {WORD, "c"}}));
  // Kind 3 leaves the cursor on x: x is retyped, and the rule stays engaged until x is first.
  analyzer k3("a b x c", WORDS, {{{{3, WORD, "x"}, {9, 77}}}});
  EXPECT_EQ(k3.all(), (std::vector<tok>{{WORD, "a"}, {SKP, " "}, {WORD, "b"}, {SKP, " "},
                                        {77, "x"}, {SKP, " "}, {WORD, "c"}}));
  // Any type with -1; a test that fails (kind 1) and kinds above 29 never let a rule fire.
  analyzer any("a b", WORDS,
               {{{{1, WORD}, {9, 6}}}, {{{0, TXT_ANR_ANY, "b"}, {9, 5}}}, {{{30}, {9, 7}}}});
  EXPECT_EQ(any.all(), (std::vector<tok>{{WORD, "a"}, {6, " "}, {5, "b"}}));
}

TEST_F(TxtAnr, MatchingPrintsEveryTimeAndFiringOnceMore) {
  testing::internal::CaptureStdout();
  {
    analyzer p("ab zz", WORDS, {{{{17, 0, "hello"}, {0, WORD, "zz"}}}});
    EXPECT_EQ(p.all().size(), 3u);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "hello\nhello\nhello\nhello\n");
}

TEST_F(TxtAnr, InsertedElements) {
  // Before and after the current element; a rule whose match did not move is free again at
  // the next element, also when the element it inserted is now the first.
  analyzer a("a b a", WORDS, {{{{0, WORD, "a"}, {11, 9, "X"}, {12, 8, "Y"}}}});
  EXPECT_EQ(a.all(), (std::vector<tok>{{8, "Y"}, {WORD, "a"}, {9, "X"}, {SKP, " "}, {WORD, "b"},
                                       {SKP, " "}, {8, "Y"}, {WORD, "a"}, {9, "X"}}));
  // After the matching closer of the group the current element opens (after the element
  // itself when the group is not closed).
  analyzer g("(a(b)c)d(e", GROUPS, {{{{0, OPN}, {10, 7, "END"}}}});
  EXPECT_EQ(g.all(),
            (std::vector<tok>{{OPN, "("}, {WORD, "a"}, {OPN, "("}, {WORD, "b"}, {CLS, ")"},
                              {7, "END"}, {WORD, "c"}, {CLS, ")"}, {7, "END"}, {WORD, "d"},
                              {OPN, "("}, {7, "END"}, {WORD, "e"}}));
}

// What a rule inserts is not analyzed again: a rule that matches its own insertion would
// otherwise insert for ever (at most ten elements are read here).
TEST_F(TxtAnr, InsertedElementsAreNotAnalyzedAgain) {
  auto first = [](txt_anr* a) {
    std::vector<tok> v;
    txt_anr_elm e{};
    while (v.size() < 10 && _txt_anr_stream_pop(a, &e) == 0) v.emplace_back(e.typ, e.txt);
    return v;
  };
  analyzer x("a", WORDS, {{{{0, WORD}, {11, WORD, "x"}}}});
  EXPECT_EQ(first(&x.a), (std::vector<tok>{{WORD, "a"}, {WORD, "x"}}));
  analyzer h("%", WORDS, {{{{0, 0}, {16}, {11}}}});
  EXPECT_EQ(first(&h.a).size(), 1u);
}

TEST_F(TxtAnr, LeavingAGroup) {
  // Kind 6 steps into the group, kind 7 leaves it past the closer, kind 8 onto the closer.
  analyzer past("( a (b) c )d", GROUPS, {{{{0, OPN}, {6}, {7}, {9, 55}}}});
  std::vector<tok> v = past.all();
  ASSERT_FALSE(v.empty());
  EXPECT_EQ(v.back(), tok(55, "d"));
  analyzer on("( a (b) c )d", GROUPS, {{{{0, OPN}, {6}, {8}, {9, 55}}}});
  v = on.all();
  ASSERT_GE(v.size(), 2u);
  EXPECT_EQ(v[v.size() - 2], tok(55, ")"));
  // A closer that ends the input: kind 7 passes on it.
  analyzer last("(a)", GROUPS, {{{{0, OPN}, {6}, {7}, {9, 55}}}});
  EXPECT_EQ(last.all(), (std::vector<tok>{{OPN, "("}, {WORD, "a"}, {55, ")"}}));
  // An open group: kind 7 fails, nothing is retyped.
  analyzer open("(a b", GROUPS, {{{{0, OPN}, {6}, {7}, {9, 55}}}});
  for (const tok& t : open.all()) EXPECT_NE(t.first, 55u);
  // The structural step skips a whole group: from ( to d.
  analyzer step("(a (b)) d", GROUPS, {{{{0, OPN}, {4}, {9, 66}}}});
  EXPECT_EQ(step.all().back(), tok(66, "d"));
}

TEST_F(TxtAnr, Merge) {
  // Everything from after s to before e, blanks included, hidden parts (a) left out.
  analyzer m("s a b e x", WORDS,
             {{{{0, WORD, "s"}, {4}, {16}}},
              {{{0, WORD, "s"}, {16}, {27}, {4}, {3, WORD, "e"}, {16}, {28}, {29, 5}}}});
  EXPECT_EQ(m.all(), (std::vector<tok>{{5, "  b "}, {SKP, " "}, {WORD, "x"}}));
  // A merge without its marks fails the analysis, and so the stream.
  analyzer bad("a", WORDS, {{{{0, WORD}, {29, 5}}}});
  int32_t end = 0;
  EXPECT_EQ(bad.all(&end), std::vector<tok>{});
  EXPECT_EQ(end, -1);
}

TEST_F(TxtAnr, Variables) {
  analyzer v("k=v;n=5;n=7;go;m=x", WORDS,
             {{{{0, WORD, "[kn]"}, {23, 1, ""}, {5}, {5}, {26}}},
              {{{0, WORD, "m"}, {23, 1, ""}, {5}, {5}, {24}}},
              {{{0, WORD, "go"}, {14, 1, "@k@+@n@"}}},
              // No current variable: kind 24 fails, the rule does not fire.
              {{{0, WORD, "x"}, {24}, {9, 99}}},
              // An unknown variable without the create value: kind 23 fails.
              {{{0, WORD, "x"}, {23, 0, "nope"}, {9, 98}}}});
  std::vector<tok> out = v.all();
  ASSERT_EQ(out.size(), 18u);
  EXPECT_EQ(out[12], tok(WORD, "go"));
  EXPECT_EQ(out[13], tok(WORD, "0+12")) << "k holds the number of its text";
  EXPECT_EQ(out.back(), tok(WORD, "x"));
  int32_t n = 0;
  EXPECT_EQ(vmap_get_str_int(&v.a.var_map, nullptr, "n", &n), 0);
  EXPECT_EQ(n, 12) << "5, then 7 added in place";
  const char* s = nullptr;
  EXPECT_EQ(vmap_get_str_int(&v.a.var_map, nullptr, "k", &n), 0) << "a text read as a number";
  EXPECT_EQ(n, 0);
  EXPECT_EQ(vmap_get_str_str(&v.a.var_map, nullptr, "m", &s), 0);
  EXPECT_STREQ(s, "x");
}

TEST_F(TxtAnr, OutputFiles) {
  tu::tmp_dir dir;
  const std::string f = dir.file("out.txt");
  const std::string g = dir.file("no/such/dir.txt");
  {
    analyzer w("k=v;w;a;c", WORDS,
               {{{{0, WORD, "k"}, {23, 1, ""}, {5}, {5}, {24}}},
                {{{0, WORD, "w"}, {18, 0, f.c_str()}, {21, 0, "one "}, {22, 0, "@k@"}, {20}}},
                {{{0, WORD, "a"}, {19, 0, f.c_str()}, {21, 0, "|two"}}}});
    int32_t end = 0;
    w.all(&end);
    EXPECT_EQ(end, ERR_END);
    EXPECT_NE(w.a.fil, nullptr) << "left open by the last rule; the end closes it";
  }
  EXPECT_EQ(tu::slurp(f), "one v|two");
  for (const std::vector<tx::rul>& r :
       {std::vector<tx::rul>{{{{0, WORD}, {20}}}},
        std::vector<tx::rul>{{{{0, WORD}, {21, 0, "x"}}}},
        std::vector<tx::rul>{{{{0, WORD}, {22, 0, "x"}}}},
        std::vector<tx::rul>{{{{0, WORD}, {18, 0, g.c_str()}}}}}) {
    analyzer bad("a", WORDS, r);
    int32_t end = 0;
    bad.all(&end);
    EXPECT_EQ(end, -1) << "no file to close, to write to, or to open";
  }
}

TEST_F(TxtAnr, RulesAndFactors) {
  tx::splitter s("a");
  txt_anr a{};
  ASSERT_EQ(txt_anr_set(&a, &s.spr), 0);
  EXPECT_EQ(txt_anr_chk_add_fct(&a, 0, 1, nullptr, nullptr), -1) << "no rule yet";
  const uint32_t prm[3] = {4, 5, 6};
  EXPECT_EQ(txt_anr_chk_add_lst(&a, prm), 0);
  EXPECT_EQ(a.rul_top->stt_req, 4u);
  EXPECT_EQ(a.rul_top->stt_set, 5u);
  EXPECT_EQ(a.rul_top->stt_off, 6u);
  EXPECT_EQ(txt_anr_chk_add_fct(&a, 0, 1, "a{3,2}", nullptr), -1) << "a text that does not compile";
  EXPECT_EQ(txt_anr_chk_add_fct(&a, 0, 1, "[ab", nullptr), 1) << "one that stops short";
  EXPECT_EQ(a.rul_top->fct_top, nullptr);
  const uint32_t anc = TXT_MTC_ANC | TXT_MTC_LNG;
  EXPECT_EQ(txt_anr_chk_add_fct(&a, 1, 1, "b", &anc), 0);
  EXPECT_EQ(a.rul_top->fct_top->chk.flg, anc | TXT_MTC_OWN);
  EXPECT_EQ(txt_anr_chk_add_fct(&a, 0, 1, "", nullptr), 0);
  EXPECT_EQ(a.rul_top->fct_top->nxt->chk.trm, nullptr) << "an empty text tests the type only";
  EXPECT_EQ(txt_anr_chk_add_fct(&a, 5, 1, "x", nullptr), 0);
  EXPECT_EQ(a.rul_top->fct_top->nxt->nxt->chk.trm, nullptr) << "compiled for kinds 0 to 3 only";
  txt_anr_end(&a);
  txt_anr_end(&a);
  EXPECT_EQ(s.spr.rgx_end, nullptr) << "the analyzer ended its splitter";
}

TEST_F(TxtAnr, TheLookAheadList) {
  analyzer z("a b", WORDS, {});
  txt_anr* a = &z.a;
  txt_anr_elm* e = nullptr;
  txt_anr_pos prv = nullptr;
  ASSERT_EQ(txt_anr_top(a, &e, &prv), 0);
  EXPECT_STREQ(e->txt, "a");
  EXPECT_EQ(prv, &a->elm_top);
  EXPECT_EQ(a->elm_cur, e);
  // Elements are read only as far as the cursor looks.
  EXPECT_EQ(e->nxt, nullptr);
  ASSERT_EQ(txt_anr_nxt(a, &e, &prv), 0);
  EXPECT_STREQ(e->txt, " ");
  EXPECT_EQ(prv, &a->elm_top->nxt);
  // Only after the last element can one be read.
  a->elm_cur = a->elm_top;
  EXPECT_EQ(__txt_anr_new(a), static_cast<int32_t>(0x80000000u));
  a->elm_cur = nullptr;
  EXPECT_EQ(__txt_anr_new(a), static_cast<int32_t>(0x80000000u)) << "no cursor, a list";
  a->elm_cur = a->elm_top->nxt;
  ASSERT_EQ(txt_anr_nxt(a, &e, &prv), 0);
  EXPECT_STREQ(e->txt, "b");
  EXPECT_EQ(txt_anr_nxt(a, &e, &prv), ERR_END) << "the splitter's end";
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(a->elm_cur, nullptr);
  EXPECT_EQ(txt_anr_nxt(a, &e, &prv), static_cast<int32_t>(0x80000000u));
  // The structural step: over skippable and hidden elements, failing at the end.
  ASSERT_EQ(txt_anr_top(a, &e, &prv), 0);
  a->elm_top->nxt->stt |= TXT_ANR_ELM_HID;
  a->elm_top->nxt->typ = WORD;
  ASSERT_EQ(__txt_anr_mov_nxt(a, &e, &prv, 1), 0);
  EXPECT_STREQ(e->txt, "b");
  EXPECT_EQ(__txt_anr_mov_nxt(a, &e, &prv, 1), ERR_END);
  // The removal reads on first, and the first element goes.
  ASSERT_EQ(txt_anr_top(a, &e, &prv), 0);
  EXPECT_EQ(txt_anr_pop(a), 0);
  EXPECT_EQ(a->elm_cur, a->elm_top);
  EXPECT_EQ(txt_anr_pop(a), 0);
  EXPECT_EQ(txt_anr_pop(a), 0);
  EXPECT_EQ(txt_anr_pop(a), -1);
  EXPECT_EQ(txt_anr_top(a, &e, &prv), ERR_END) << "the input's end, again";
}

TEST_F(TxtAnr, ArgumentsItCannotUse) {
  tx::splitter s("a");
  EXPECT_EQ(txt_anr_set(nullptr, &s.spr), -1);
  EXPECT_EQ(txt_anr_chk_add_lst(nullptr, nullptr), -1);
  txt_anr_elm e{};
  EXPECT_EQ(_txt_anr(nullptr, nullptr), -1);
  // No record to set up: the stream it was given is ended all the same, and with it its source.
  {
    analyzer up("a", WORDS, {});
    stream s1{};
    ASSERT_EQ(txt_anr_stream_set(&s1, &up.a), 0);
    EXPECT_EQ(_txt_anr_set(nullptr, &s1), -1);
    EXPECT_EQ(up.a.stm, nullptr) << "the upstream analyzer was ended";
  }
  analyzer z("a", WORDS, {});
  EXPECT_EQ(_txt_anr_stream_pop(&z.a, nullptr), -1);
  uint32_t ch = 0;
  err_no = 0;
  EXPECT_EQ(_txt_anr_cvt_bin_stream_pop(nullptr, &ch), -1);
  EXPECT_EQ(err_no, -1);
  _txt_anr_cvt_bin_stream_end(nullptr);
  txt_anr_end(nullptr);
  // Still usable after all that.
  EXPECT_EQ(z.all(), (std::vector<tok>{{WORD, "a"}}));
  (void)e;
}

TEST_F(TxtAnr, TheEndIsReportedAgain) {
  analyzer z("a", WORDS, {});
  int32_t end = 0;
  EXPECT_EQ(z.all(&end), (std::vector<tok>{{WORD, "a"}}));
  EXPECT_EQ(end, ERR_END);
  txt_anr_elm e{};
  EXPECT_EQ(_txt_anr_stream_pop(&z.a, &e), ERR_END);
  EXPECT_EQ(_txt_anr(&z.a, nullptr), ERR_END);
}

TEST_F(TxtAnr, ListMovesWithoutOutParameters) {
  analyzer z("a b", WORDS, {});
  txt_anr* a = &z.a;
  // On an empty list the next element is the first one, behind the head slot.
  txt_anr_elm* e = nullptr;
  txt_anr_pos prv = nullptr;
  ASSERT_EQ(txt_anr_nxt(a, &e, &prv), 0);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e->txt, "a");
  EXPECT_EQ(prv, &a->elm_top);
  EXPECT_EQ(a->elm_cur, a->elm_top);
  // The cursor moves also when the caller wants neither the element nor the position.
  ASSERT_EQ(txt_anr_nxt(a, nullptr, nullptr), 0);
  EXPECT_STREQ(a->elm_cur->txt, " ");
  ASSERT_EQ(txt_anr_top(a, nullptr, nullptr), 0);
  EXPECT_EQ(a->elm_cur, a->elm_top);
  ASSERT_EQ(txt_anr_nxt(a, nullptr, nullptr), 0);
  ASSERT_EQ(txt_anr_nxt(a, nullptr, nullptr), 0);
  EXPECT_STREQ(a->elm_cur->txt, "b");
  EXPECT_EQ(txt_anr_nxt(a, nullptr, nullptr), ERR_END);
  EXPECT_EQ(a->elm_cur, nullptr);
  // A fresh analyzer, the same from an empty list without out parameters.
  analyzer y("q", WORDS, {});
  ASSERT_EQ(txt_anr_nxt(&y.a, nullptr, nullptr), 0);
  ASSERT_NE(y.a.elm_top, nullptr);
  EXPECT_STREQ(y.a.elm_cur->txt, "q");
}

TEST_F(TxtAnr, TheStructuralStepInDetail) {
  analyzer z("( ( ) ) x", GROUPS, {});
  txt_anr* a = &z.a;
  txt_anr_elm* e = nullptr;
  txt_anr_pos prv = nullptr;
  // Nothing to stand on.
  e = nullptr;
  EXPECT_EQ(__txt_anr_mov_nxt(a, &e, &prv, 0), ERR_END);
  // A hidden opener inside the group does not count: the step ends after the first closer.
  ASSERT_EQ(txt_anr_top(a, &e, &prv), 0);
  for (int i = 0; i < 2; ++i) ASSERT_EQ(txt_anr_nxt(a, nullptr, nullptr), 0);
  a->elm_cur->stt |= TXT_ANR_ELM_HID;   // the inner "("
  ASSERT_EQ(txt_anr_top(a, &e, &prv), 0);
  ASSERT_EQ(__txt_anr_mov_nxt(a, &e, &prv, 0), 0);
  EXPECT_STREQ(e->txt, " ") << "without skp the blank after the closer is the next element";
  EXPECT_EQ(*prv, e);
  EXPECT_EQ(prv, &a->elm_top->nxt->nxt->nxt->nxt->nxt);
  // Without skp a plain element steps once, onto a blank too.
  ASSERT_EQ(__txt_anr_mov_nxt(a, &e, &prv, 0), 0);
  EXPECT_STREQ(e->txt, ")");
  ASSERT_EQ(__txt_anr_mov_nxt(a, &e, &prv, 1), 0);
  EXPECT_STREQ(e->txt, "x");
  // A skippable element that runs into the end of the input.
  analyzer t("a  ", WORDS, {});
  ASSERT_EQ(txt_anr_top(&t.a, &e, &prv), 0);
  ASSERT_EQ(txt_anr_nxt(&t.a, &e, &prv), 0);
  EXPECT_EQ(__txt_anr_mov_nxt(&t.a, &e, &prv, 1), ERR_END);
  // A group that the input never closes.
  analyzer g("(a", GROUPS, {});
  ASSERT_EQ(txt_anr_top(&g.a, &e, &prv), 0);
  EXPECT_EQ(__txt_anr_mov_nxt(&g.a, &e, &prv, 0), ERR_END);
}

TEST_F(TxtAnr, NothingOutlivesTheElementItNames) {
  // The merge start is set behind the blank after s; when that blank has gone, the merge at
  // m has no start any more and fails instead of reading the element that went.
  analyzer m("s x m", WORDS,
             {{{{0, WORD, "s"}, {4}, {27}}}, {{{0, WORD, "m"}, {28}, {29, 5}}}});
  int32_t end = 0;
  EXPECT_EQ(m.all(&end), (std::vector<tok>{{WORD, "s"}, {SKP, " "}, {WORD, "x"}, {SKP, " "}}));
  EXPECT_EQ(end, -1);
  EXPECT_EQ(m.a.mrg_top, nullptr);
  // A rule whose action failed stays engaged on its element; when the element goes, the rule
  // is released and the state is its release state.
  analyzer r("a b", WORDS, {{{{0, WORD, "a"}, {20}}, {0, 3, 5}}});
  txt_anr_elm e{};
  EXPECT_EQ(_txt_anr_stream_pop(&r.a, &e), -1);
  EXPECT_EQ(r.a.stt, 3u);
  EXPECT_NE(r.a.rul_on, nullptr);
  ASSERT_EQ(_txt_anr_stream_pop(&r.a, &e), 0);
  EXPECT_STREQ(e.txt, " ");
  EXPECT_EQ(r.a.rul_on, nullptr);
  EXPECT_EQ(r.a.rul_top->on_elm, nullptr);
  EXPECT_EQ(r.a.stt, 5u);
}

TEST_F(TxtAnr, FactorsAtTheirEdges) {
  // Kind 10 on an element that opens no group: right after it.
  analyzer p("a b", WORDS, {{{{0, WORD, "a"}, {10, 7, "E"}}}});
  EXPECT_EQ(p.all(), (std::vector<tok>{{WORD, "a"}, {7, "E"}, {SKP, " "}, {WORD, "b"}}));
  // A closer hidden by an earlier rule does not close the group for kind 10.
  analyzer h("(a))", GROUPS, {{{{0, OPN}, {5}, {5}, {16}}}, {{{0, OPN}, {10, 7, "E"}}}});
  EXPECT_EQ(h.all(), (std::vector<tok>{{OPN, "("}, {WORD, "a"}, {CLS, ")"}, {7, "E"}}));
  // Template insertions without a text insert an empty text.
  analyzer t("a", WORDS, {{{{0, WORD, "a"}, {14, 7}}}});
  EXPECT_EQ(t.all(), (std::vector<tok>{{WORD, "a"}, {7, ""}}));
  // A merge whose end mark lies before its start runs from the start to the end of the list
  // as read so far and goes in at the end mark.
  analyzer b("a b c", WORDS, {{{{0, WORD, "a"}, {28}, {5}, {5}, {27}, {29, 5}}}});
  EXPECT_EQ(b.all(),
            (std::vector<tok>{{5, "b"}, {WORD, "a"}, {SKP, " "}, {SKP, " "}, {WORD, "c"}}));
  // Kind 17 without a text prints an empty line, matching and firing.
  testing::internal::CaptureStdout();
  {
    analyzer e("a", WORDS, {{{{17}}}});
    EXPECT_EQ(e.all().size(), 1u);
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\n\n");
}

TEST_F(TxtAnr, VariableValuesInDetail) {
  analyzer v("k x", WORDS,
             {// A value given as the factor's text, not taken from the element.
              {{{0, WORD, "k"}, {23, 1, "t"}, {24, 0, "fixed"}}},
              // A variable without value: adding to it makes it the number.
              {{{0, WORD, "k"}, {23, 0, "z"}, {26, 0, "4"}}},
              // The first action uses up the current variable: the second has none and fails.
              {{{0, WORD, "x"}, {23, 1, "u"}, {24, 0, "1"}, {25, 0, "2"}}}});
  vtyp* z = nullptr;
  ASSERT_EQ(_vmap_put_str_nul(&v.a.var_map, nullptr, "z", &z, 0), 0);
  int32_t end = 0;
  EXPECT_EQ(v.all(&end), (std::vector<tok>{{WORD, "k"}, {SKP, " "}}));
  EXPECT_EQ(end, -1) << "the failed action ends the analysis";
  const char* s = nullptr;
  EXPECT_EQ(vmap_get_str_str(&v.a.var_map, nullptr, "t", &s), 0);
  EXPECT_STREQ(s, "fixed");
  int32_t n = 0;
  EXPECT_EQ(vmap_get_str_int(&v.a.var_map, nullptr, "z", &n), 0);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(vmap_get_str_str(&v.a.var_map, nullptr, "u", &s), 0);
  EXPECT_STREQ(s, "1") << "the value set before the failure stays";
}

TEST_F(TxtAnr, OutputFilesInDetail) {
  tu::tmp_dir dir;
  const std::string f = dir.file("one.txt"), g = dir.file("two.txt");
  {
    // Opening while a file is open closes that one first.
    analyzer w("a", WORDS,
               {{{{0, WORD}, {18, 0, f.c_str()}, {21, 0, "x"}, {19, 0, g.c_str()}, {21, 0, "y"}}}});
    w.all();
  }
  EXPECT_EQ(tu::slurp(f), "x");
  EXPECT_EQ(tu::slurp(g), "y");
  // No name to open.
  analyzer n("a", WORDS, {{{{0, WORD}, {18}}}});
  int32_t end = 0;
  n.all(&end);
  EXPECT_EQ(end, -1);
#ifdef __linux__
  // A close whose last write cannot be flushed fails.
  analyzer full("a", WORDS, {{{{0, WORD}, {18, 0, "/dev/full"}, {21, 0, "x"}, {20}}}});
  full.all(&end);
  EXPECT_EQ(end, -1);
  EXPECT_EQ(full.a.fil, nullptr) << "closed all the same";
#endif
}

TEST_F(TxtAnr, ACharacterStreamOverTheTexts) {
  tx::parser* p = new tx::parser("a \"b c\" d\\n");
  stream cs{};
  ASSERT_EQ(txt_anr_cvt_bin_stream_set(&cs, &p->out), 0);
  std::string got;
  uint32_t ch = 0;
  while (stream_pop(&cs, &ch) == 0) got += static_cast<char>(ch);
  EXPECT_EQ(got, "ab cd\n");
  stream_end(&cs);   // ends the chain too
  EXPECT_EQ(p->out.src, nullptr);
  delete p;
}

}  // namespace
