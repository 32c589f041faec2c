// The matcher: steps, the whole-stream driver, the two modes, anchoring, reuse and release,
// and terms it must refuse to walk.
#include "base/text/txt_mtc.h"

#include <gtest/gtest.h>

#include <string>

#include "text_util.h"

namespace {

using tx::match;
using tx::none;
using tx::ok;

constexpr uint32_t LNG = TXT_MTC_FLG_DEF;   // longest, the default
constexpr uint32_t FIRST = TXT_MTC_DEF;     // the first thread to reach the end wins

class TxtMtc : public st::Fixture {
 protected:
  txt_mtc_chk chk{};
  void set(const std::string& pattern, uint32_t flags = LNG) {
    tx::cstr p(pattern);
    ASSERT_EQ(regexp_chk(&chk, &p, &flags), 0) << pattern;
  }
  void TearDown() override {
    txt_mtc_chk_end(&chk);
    st::Fixture::TearDown();
  }
  bool matched() const { return (chk.stt & TXT_MTC_STT_MTC) != 0; }
};

TEST_F(TxtMtc, AWordIsExtendedUntilTheCharacterThatEndsIt) {
  set("[a-zA-Z0-9_]+");
  ASSERT_EQ(txt_mtc_wrd(&chk, 'a'), 0);
  EXPECT_TRUE(matched());
  EXPECT_EQ(chk.mtc_top, 0u);
  EXPECT_EQ(chk.mtc_end, 1u);
  EXPECT_NE(chk.thd, nullptr) << "the word may go on";
  ASSERT_EQ(txt_mtc_wrd(&chk, 'b'), 0);
  EXPECT_EQ(chk.mtc_end, 2u);
  EXPECT_NE(chk.thd, nullptr);
  ASSERT_EQ(txt_mtc_wrd(&chk, ';'), 0);
  EXPECT_EQ(chk.thd, nullptr) << "the ; ends the last thread";
  EXPECT_EQ(chk.mtc_top, 0u);
  EXPECT_EQ(chk.mtc_end, 2u);
  EXPECT_EQ(chk.pos, 3u);

  // The driver stops reading at the character that ended the match.
  txt_mtc_chk_rst(&chk);
  chk.pos = 0;
  tx::cstr in("ab;cd");
  EXPECT_EQ(txt_mtc(&chk, &in), 0);
  EXPECT_EQ(chk.mtc_end, 2u);
  EXPECT_EQ(chk.pos, 3u);
  uint32_t next = 0;
  EXPECT_EQ(stream_pop(&in, &next), 0);
  EXPECT_EQ(next, static_cast<uint32_t>('c'));
}

TEST_F(TxtMtc, LongestAndFirstMatch) {
  EXPECT_EQ(match("[ \t]+", "  \t x"), ok(0, 4));
  // Without the longest bit the first blank is enough: the driver stops at the character
  // after it.
  set("[ \t]+", FIRST);
  tx::cstr in("  \t x");
  EXPECT_EQ(txt_mtc(&chk, &in), 0);
  EXPECT_EQ(chk.mtc_top, 0u);
  EXPECT_EQ(chk.mtc_end, 1u);
  EXPECT_EQ(chk.pos, 1u);
  EXPECT_EQ(chk.thd, nullptr);

  // In both modes the leftmost start wins, however the threads are ordered; from it the
  // longest end, or without the longest bit the shortest.
  const struct {
    const char* pat;
    const char* in;
    tx::res first, longest;
  } cases[] = {
      {"ab|b", "ab", ok(0, 2), ok(0, 2)},
      {"abc|bc|c", "abc", ok(0, 3), ok(0, 3)},
      {"b|abc", "abc", ok(0, 3), ok(0, 3)},
      {"a|ab", "ab", ok(0, 1), ok(0, 2)},
      {"a+", "aaa", ok(0, 1), ok(0, 3)},
      {"xa*|a", "xaa", ok(0, 1), ok(0, 3)},
      {"b(a|)", "ba", ok(0, 1), ok(0, 2)},
      {"ab?$|c", "ab", ok(0, 2), ok(0, 2)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(match(c.pat, c.in, FIRST), c.first) << c.pat << " over " << c.in;
    EXPECT_EQ(match(c.pat, c.in, LNG), c.longest) << c.pat << " over " << c.in;
  }
}

TEST_F(TxtMtc, TheMatchersOwnExamples) {
  EXPECT_EQ(match("a$", "a\n"), ok(0, 1)) << "the line feed is not part of the match";
  EXPECT_EQ(match("a$", "a"), ok(0, 1));
  EXPECT_EQ(match("a$", "ab"), none());
  EXPECT_EQ(match("a$\nb", "a\nb"), ok(0, 3));
  EXPECT_EQ(match("x", "yx"), ok(1, 2));
  EXPECT_EQ(match("a?", "x"), ok(0, 0)) << "the skip reaches the end before any character";
  EXPECT_EQ(match("a{0,1}", "x"), none()) << "a braced count needs one occurrence";
  EXPECT_EQ(match("a{0,1}", "ba"), ok(1, 2));
  EXPECT_EQ(match("^b", "ab\nb"), ok(3, 4));
  EXPECT_EQ(match("a{2}b", "aaab"), ok(1, 4));
  EXPECT_EQ(match("a{2,3}", "aaaa"), ok(0, 3));
  EXPECT_EQ(match("[^a-c]", "abcd"), ok(3, 4));
  EXPECT_EQ(match(".", "\n\nx"), ok(2, 3));
  EXPECT_EQ(match("\x82\xA0+", "a\x82\xA0\x82\xA0"), ok(1, 3)) << "positions count characters";
  // No thread starts at the end: an empty stream never matches, whatever the pattern.
  for (const char* p : {"a*", "$", "()", "a?|b"}) EXPECT_EQ(match(p, ""), none()) << p;
}

TEST_F(TxtMtc, TheLongestMatchFromTheLeftmostStart) {
  // Threads still live when the stream ends are followed to the end, also after a match.
  EXPECT_EQ(match("^.+b?", "aac"), ok(0, 3));
  EXPECT_EQ(match(".*(ba*|c{2,}a|bb{0,1})", "cbbbaa"), ok(0, 6));
  // A later, shorter match of the same start does not replace a longer one.
  EXPECT_EQ(match("b{2,}|b?|.", "cc"), ok(0, 1));
  // At the end every alternative of a group is followed, and a line start after a final
  // line feed holds.
  EXPECT_EQ(match("b(b{2}b*|.{2,}|a*)", "cb"), ok(1, 2));
  EXPECT_EQ(match("a\n^", "a\n"), ok(0, 2));
  EXPECT_EQ(match("a\n(^|b)", "a\n"), ok(0, 2));
  // An empty last alternative matches the empty text.
  EXPECT_EQ(match("ab|", "c"), ok(0, 0));
  EXPECT_EQ(match("a|", "a"), ok(0, 1));
  EXPECT_EQ(match("x(a|)y", "xy"), ok(0, 2));
}

TEST_F(TxtMtc, Anchored) {
  constexpr uint32_t ANC = LNG | TXT_MTC_ANC;
  constexpr uint32_t ANC_FIRST = FIRST | TXT_MTC_ANC;
  const struct {
    const char* pat;
    const char* in;
    uint32_t flags;
    tx::res want;
  } cases[] = {
      {"a", "a", ANC, ok(0, 1)},
      {"ab", "ab", ANC, ok(0, 2)},
      {"[a-z]+", "abc;", ANC, ok(0, 3)},
      {"a+", "aab", ANC, ok(0, 2)},
      {"a+", "aab", ANC_FIRST, ok(0, 1)},
      {"b", "ab", ANC, {-1, 0, 0}},   // the last thread died without a match
      {"b|ab", "ab", ANC_FIRST, ok(0, 2)},
  };
  for (const auto& c : cases) EXPECT_EQ(match(c.pat, c.in, c.flags), c.want) << c.pat << " over " << c.in;

  // A reset checker anchors at the start of its next text, wherever its positions stand.
  set("a+", ANC);
  for (int i = 0; i < 2; ++i) {
    tx::cstr in("aa");
    EXPECT_EQ(txt_mtc(&chk, &in), 0) << "text " << i;
    EXPECT_EQ(chk.mtc_end - chk.mtc_top, 2u) << "text " << i;
    txt_mtc_chk_rst(&chk);
  }
}

TEST_F(TxtMtc, AStreamThatFailsIsNoEnd) {
  set("a+");
  tx::failing in("aa");
  EXPECT_EQ(txt_mtc(&chk, &in.cs), -7);
}

TEST_F(TxtMtc, NoFreshThreadsAndReuse) {
  set("[a-z]+", LNG | TXT_MTC_NEW);
  EXPECT_EQ(txt_mtc_wrd(&chk, 'a'), 0);
  EXPECT_FALSE(matched());
  EXPECT_EQ(chk.thd, nullptr);
  EXPECT_EQ(chk.pos, 1u);
  // As the splitter does: a fresh thread at the first character only.
  chk.flg &= ~TXT_MTC_NEW;
  EXPECT_EQ(txt_mtc_wrd(&chk, 'b'), 0);
  chk.flg |= TXT_MTC_NEW;
  EXPECT_EQ(txt_mtc_wrd(&chk, ' '), 0);
  EXPECT_EQ(txt_mtc_wrd(&chk, 'c'), 0);
  EXPECT_EQ(chk.mtc_top, 1u);
  EXPECT_EQ(chk.mtc_end, 2u);

  // A reset keeps the position and the line-start bit, and clears the rest.
  chk.stt |= TXT_MTC_STT_BOL;
  txt_mtc_chk_rst(&chk);
  EXPECT_FALSE(matched());
  EXPECT_EQ(chk.mtc_top, 0u);
  EXPECT_EQ(chk.mtc_end, 0u);
  EXPECT_EQ(chk.flg & TXT_MTC_NEW, 0u);
  EXPECT_EQ(chk.pos, 4u);
  EXPECT_NE(chk.stt & TXT_MTC_STT_BOL, 0u);
  EXPECT_NE(chk.trm, nullptr);

  // Positions count on from the last text; a checker not reset keeps its match, and the
  // leftmost rule then drops every later start.
  tx::cstr one("ab cd");
  EXPECT_EQ(txt_mtc(&chk, &one), 0);
  EXPECT_EQ(chk.mtc_top, 4u);
  EXPECT_EQ(chk.mtc_end, 6u);
  tx::cstr two("xyz");
  EXPECT_EQ(txt_mtc(&chk, &two), 0);
  EXPECT_EQ(chk.mtc_top, 4u);
  EXPECT_EQ(chk.mtc_end, 6u);
  txt_mtc_chk_rst(&chk);
  tx::cstr three("xyz");
  EXPECT_EQ(txt_mtc(&chk, &three), 0);
  EXPECT_EQ(chk.mtc_top, 8u);
  EXPECT_EQ(chk.mtc_end, 11u);
}

TEST_F(TxtMtc, LiveThreadsCarryOverToTheNextText) {
  set("ab");
  EXPECT_EQ(txt_mtc_wrd(&chk, 'a'), 0);
  ASSERT_NE(chk.thd, nullptr);
  tx::cstr in("b");
  EXPECT_EQ(txt_mtc(&chk, &in), 0);
  EXPECT_EQ(chk.mtc_top, 0u);
  EXPECT_EQ(chk.mtc_end, 2u);
}

// Blocks registered by the matcher since the last mark.
size_t blocks() {
  size_t n = 0;
  rscmng_walk(nullptr, [](const rscmng_rcd* r, void* a) {
    if (r->lvl == 0) ++*static_cast<size_t*>(a);
    return 0;
  }, &n);
  return n;
}

TEST_F(TxtMtc, SpareThreadsStayRegisteredUntilTheCheckerEnds) {
  const size_t before = blocks();
  set("a*a*");
  const size_t term = blocks() - before;
  EXPECT_EQ(term, 8u) << "one block per node";
  tx::cstr in("aaaa");
  EXPECT_EQ(txt_mtc(&chk, &in), 0);
  txt_mtc_chk_rst(&chk);
  EXPECT_GT(blocks(), before + term) << "a checker that is not ended still holds its threads";
  const uint64_t exm = chk.exm;
  EXPECT_GT(exm, 0u);
  tx::cstr again("aaaa");
  const size_t held = blocks();
  EXPECT_EQ(txt_mtc(&chk, &again), 0);
  EXPECT_EQ(blocks(), held) << "the second text runs on the threads of the first";
  EXPECT_GT(chk.exm, exm);
  txt_mtc_chk_end(&chk);
  EXPECT_EQ(blocks(), before);
}

TEST_F(TxtMtc, AnUnownedTermOutlivesItsChecker) {
  txt_mtc_chk own{};
  ASSERT_EQ(tx::compile("ab", &own), 0);
  txt_trm* trm = own.trm;
  const size_t with_term = blocks();
  EXPECT_EQ(txt_mtc_chk_set(&chk, trm, nullptr), 0);
  EXPECT_EQ(chk.flg, TXT_MTC_FLG_DEF);
  EXPECT_EQ(txt_mtc_wrd(&chk, 'a'), 0);
  txt_mtc_chk_end(&chk);
  EXPECT_EQ(blocks(), with_term);
  EXPECT_EQ(tx::nodes(trm).size(), 4u);
  txt_mtc_trm_end(trm);
  txt_mtc_chk_end(nullptr);
  txt_mtc_chk_rst(nullptr);
  EXPECT_EQ(txt_mtc_wrd(nullptr, 'a'), -1);
}

// Terms the compiler never makes: the step refuses them and leaves no thread behind.
TEST_F(TxtMtc, BrokenTermsFailTheStep) {
  auto run = [&](txt_trm* t, const char* in) {
    EXPECT_EQ(txt_mtc_chk_set(&chk, t, nullptr), 0);
    int32_t st = 0;
    for (const char* c = in; *c != 0 && st == 0; ++c)
      st = txt_mtc_wrd(&chk, static_cast<uint8_t>(*c));
    EXPECT_EQ(chk.thd, nullptr);
    txt_mtc_chk_end(&chk);
    return st;
  };
  txt_trm fin{nullptr, {nullptr}, TRM_FIN};
  // A skippable atom without a count node.
  txt_trm a_opt{&fin, {nullptr}, TRM_CHR | TRM_CLS_END | TRM_OPT};
  a_opt.arg.val = 'a';
  txt_trm bra1{&a_opt, {nullptr}, TRM_BRA};
  EXPECT_EQ(run(&bra1, "x"), -1);
  // A minimum without a maximum.
  txt_trm min{&fin, {nullptr}, TRM_CNT | TRM_CNT_MIN};
  min.arg.val = 1;
  txt_trm a{&min, {nullptr}, TRM_CHR | TRM_CLS_END};
  a.arg.val = 'a';
  txt_trm bra2{&a, {nullptr}, TRM_BRA};
  EXPECT_EQ(run(&bra2, "a"), -1);
  EXPECT_EQ(run(&bra2, "b"), 0) << "refused only where a thread gets to it";
  // A lower bound without an upper one.
  txt_trm b{&fin, {nullptr}, TRM_CHR | TRM_CLS_END};
  b.arg.val = 'b';
  txt_trm lo{&b, {nullptr}, TRM_CHR | TRM_RNG_LO};
  lo.arg.val = 'a';
  txt_trm bra3{&lo, {nullptr}, TRM_BRA};
  EXPECT_EQ(run(&bra3, "a"), -1);
  // A node of no known kind where an atom is expected.
  txt_trm odd{&fin, {nullptr}, TRM_CNT};
  txt_trm bra4{&odd, {nullptr}, TRM_BRA};
  EXPECT_EQ(run(&bra4, "a"), -1);
  // An alternative end that leads nowhere.
  txt_trm ket{&fin, {nullptr}, TRM_KET};
  txt_trm c{&ket, {nullptr}, TRM_CHR | TRM_CLS_END};
  c.arg.val = 'c';
  txt_trm bra5{&c, {nullptr}, TRM_BRA};
  EXPECT_EQ(run(&bra5, "cc"), -1);
}

// English-like prose: words, blanks, tabs, punctuation and line feeds.
std::string prose(size_t bytes) {
  static const char* const words[] = {"the", "quick", "brown", "fox", "jumps", "over", "a",
                                       "lazy", "dog", "while", "kestrel_42", "watches", "Bluetooth",
                                       "devices", "pass", "after", "pass"};
  static const char* const gaps[] = {" ", " ", " ", ", ", ".  ", "\t", " \t ", "\n"};
  std::string s;
  for (size_t i = 0; s.size() < bytes; ++i) {
    s += words[(i * 7 + i / 5) % 17];
    s += gaps[(i * 3 + i / 7) % 8];
  }
  s.resize(bytes);
  return s;
}

// Threads examined while finding every match of pattern in text, one after the other.
uint64_t work(const char* pattern, const std::string& text, uint32_t flags, size_t* matches) {
  txt_mtc_chk c{};
  tx::cstr p(pattern);
  EXPECT_EQ(regexp_chk(&c, &p, &flags), 0);
  tx::cstr in(text);
  size_t n = 0;
  while (txt_mtc(&c, &in) == 0) {
    ++n;
    txt_mtc_chk_rst(&c);
  }
  const uint64_t exm = c.exm;
  txt_mtc_chk_end(&c);
  *matches = n;
  return exm;
}

TEST_F(TxtMtc, WorkGrowsLinearlyWithTheText) {
  constexpr size_t N = 16 * 1024;
  size_t m1 = 0, m2 = 0;
  for (const char* p : {"[a-zA-Z0-9_]+", "[ \t]+"}) {
    const uint64_t w1 = work(p, prose(N), LNG, &m1);
    const uint64_t w2 = work(p, prose(2 * N), LNG, &m2);
    EXPECT_GT(m1, N / 20) << p;
    EXPECT_LE(w2, w1 * 22 / 10) << p << ": " << w1 << " then " << w2;
    EXPECT_GE(w2, w1 * 18 / 10) << p << ": the counter counts the work";
  }
  // Runs of a, each ended by b: a*a*a*b can match in many ways at once, and unmerged threads
  // multiply with the length of a run; merged, each character costs alike.
  std::string runs;
  for (size_t i = 0; runs.size() < N; ++i) runs += std::string(1 + (i * 7) % 40, 'a') + "b";
  const uint64_t r1 = work("a*a*a*b", runs, LNG, &m1);
  const uint64_t r2 = work("a*a*a*b", runs + runs, LNG, &m2);
  EXPECT_EQ(m2, 2 * m1);
  EXPECT_LE(r2, r1 * 22 / 10) << r1 << " then " << r2;
  // A text of a alone, anchored (one start): the threads of a*a*a*b live to the end.
  const uint64_t a1 = work("a*a*a*b", std::string(N / 4, 'a'), LNG | TXT_MTC_ANC, &m1);
  const uint64_t a2 = work("a*a*a*b", std::string(N / 2, 'a'), LNG | TXT_MTC_ANC, &m2);
  EXPECT_EQ(m1, 0u);
  EXPECT_LE(a2, a1 * 22 / 10) << a1 << " then " << a2;
  // Unmerged, the same text costs more with every character: the bound above has teeth.
  const uint64_t l1 = work("a*a*a*b", std::string(60, 'a'), LNG | TXT_MTC_ANC | TXT_MTC_LIT, &m1);
  const uint64_t l2 = work("a*a*a*b", std::string(120, 'a'), LNG | TXT_MTC_ANC | TXT_MTC_LIT, &m2);
  EXPECT_GT(l2, l1 * 4) << l1 << " then " << l2;
}

// Threads of different starts on the same state merge: a search that cannot match costs alike
// per character and per pattern node, however long the text or the pattern.
TEST_F(TxtMtc, WorkGrowsLinearlyWithTheTextAndThePattern) {
  size_t m = 0;
  const uint64_t t1 = work(".*X", std::string(2000, 'a'), LNG, &m);
  const uint64_t t2 = work(".*X", std::string(4000, 'a'), LNG, &m);
  EXPECT_EQ(m, 0u);
  EXPECT_LE(t2, t1 * 22 / 10) << t1 << " then " << t2;
  auto stars = [](int k) {
    std::string p;
    for (int i = 0; i < k; ++i) p += "a*";
    return p + "X";
  };
  const uint64_t p1 = work(stars(200).c_str(), std::string(21, 'a'), LNG, &m);
  const uint64_t p2 = work(stars(400).c_str(), std::string(21, 'a'), LNG, &m);
  EXPECT_EQ(m, 0u);
  EXPECT_LE(p2, p1 * 22 / 10) << p1 << " then " << p2;
  EXPECT_LE(p2, 400u * 21 * 8) << "a bounded number of threads per node and character";
}

TEST_F(TxtMtc, NoCheckerToCompileIntoOrRun) {
  tx::cstr p("a");
  EXPECT_EQ(regexp_chk(nullptr, &p, nullptr), -1);
  tx::cstr in("a");
  EXPECT_EQ(txt_mtc(nullptr, &in), -1);
}

}  // namespace

