// The splitter: the option parser's eleven patterns, gathered text, held-back tokens, patterns
// that die, conditional patterns and their variables, the stream forms, and its cost.
#include "base/text/txt_spr.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <string>
#include <vector>

#include "rgx_ref.h"
#include "text_util.h"

namespace {

using tx::BLANK;
using tx::CLOSE;
using tx::EQ;
using tx::ESC;
using tx::LINE;
using tx::OPEN;
using tx::QUOTE;
using tx::SLASH;
using tx::tok;
using tx::WORD;

class TxtSpr : public st::Fixture {};

std::vector<tok> split(const std::string& text, int32_t* end = nullptr) {
  tx::splitter s(text);
  s.add_opt();
  return s.all(end);
}

TEST_F(TxtSpr, TheOptionPatternsCutOptionText) {
  int32_t end = 0;
  EXPECT_EQ(split("/cmdon=ab c", &end),
            (std::vector<tok>{{SLASH, "/"}, {WORD, "cmdon"}, {EQ, "="}, {WORD, "ab"},
                              {BLANK, " "}, {WORD, "c"}}));
  EXPECT_EQ(end, ERR_END);
  EXPECT_EQ(split("abc"), (std::vector<tok>{{WORD, "abc"}})) << "a word ends with the input";
  EXPECT_EQ(split("", &end), std::vector<tok>{});
  EXPECT_EQ(end, ERR_END);
  EXPECT_EQ(split("t=5;fp\nx[y]#"),
            (std::vector<tok>{{WORD, "t"}, {EQ, "="}, {WORD, "5"}, {tx::SEMI, ";"},
                              {WORD, "fp"}, {LINE, "\n"}, {WORD, "x"}, {OPEN, "["}, {WORD, "y"},
                              {CLOSE, "]"}, {tx::HASH, "#"}}));
  EXPECT_EQ(split("c=\"a \t b\""),
            (std::vector<tok>{{WORD, "c"}, {EQ, "="}, {QUOTE, "\""}, {WORD, "a"},
                              {BLANK, " \t "}, {WORD, "b"}, {QUOTE, "\""}}));
  // An escape is a backslash and the character after it, whatever that is.
  EXPECT_EQ(split("\\n\\\\\\\"x"),
            (std::vector<tok>{{ESC, "\\n"}, {ESC, "\\\\"}, {ESC, "\\\""}, {WORD, "x"}}));
}

TEST_F(TxtSpr, TextNoPatternTakesIsGatheredBeforeTheNextToken) {
  // The word b is complete when the gathered % is returned; it is held back for the next call.
  tx::splitter s("a%b");
  s.add_opt();
  txt_spr_tok t{};
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(WORD, "a"));
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(0, "%"));
  EXPECT_NE(s.spr.flg & TXT_SPR_HLD, 0u);
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(WORD, "b"));
  EXPECT_EQ(txt_spr(&s.spr, &t), ERR_END);
  EXPECT_EQ(txt_spr(&s.spr, &t), ERR_END) << "and so on after the end";

  // Shift-JIS text is gathered as its bytes; gathered text at the end comes out alone.
  EXPECT_EQ(split("\x82\xA0.a?!"),
            (std::vector<tok>{{0, "\x82\xA0."}, {WORD, "a"}, {0, "?!"}}));
  // A backslash at the end commits the escape pattern, which never completes: it is gathered.
  EXPECT_EQ(split("\\"), (std::vector<tok>{{0, "\\"}}));
  EXPECT_EQ(split("ab\\"), (std::vector<tok>{{WORD, "ab"}, {0, "\\"}}));
  // A backslash before a line feed: the escape dies, its backslash is gathered and the line
  // feed looked at again.
  EXPECT_EQ(split("\\\nx"), (std::vector<tok>{{0, "\\"}, {LINE, "\n"}, {WORD, "x"}}));
}

TEST_F(TxtSpr, ThePatternThatTakesTheFirstCharacterDecides) {
  // The first accepting pattern wins however long a later one would match; when it dies
  // without a match, what it read is gathered and the character that killed it is looked at
  // again from the first pattern.
  tx::splitter s("abx abcd");
  EXPECT_EQ(s.add(5, "abc"), 0);
  EXPECT_EQ(s.add(1, "[a-z]+"), 0);
  EXPECT_EQ(s.add(3, " "), 0);
  EXPECT_EQ(s.all(), (std::vector<tok>{{0, "ab"}, {1, "x"}, {3, " "}, {5, "abc"}, {1, "d"}}));

  // A pattern of type 0 that ends with a live thread gives its text to the gathered text.
  tx::splitter z("12a%x%");
  EXPECT_EQ(z.add(0, "[0-9]+"), 0);
  EXPECT_EQ(z.add(0, "%"), 0);
  EXPECT_EQ(z.add(1, "x"), 0);
  // ...but one that is complete at its first character is a token of its own.
  EXPECT_EQ(z.all(), (std::vector<tok>{{0, "12a"}, {0, "%"}, {1, "x"}, {0, "%"}}));
}

TEST_F(TxtSpr, ATypeZeroPatternThatCompletesLaterIsGathered) {
  // "ab" of type 0 is complete at b and has no live thread then: what it read, b included,
  // becomes gathered text; x is looked at as usual.
  tx::splitter z("abxab");
  EXPECT_EQ(z.add(0, "ab"), 0);
  EXPECT_EQ(z.add(1, "x"), 0);
  EXPECT_EQ(z.all(), (std::vector<tok>{{0, "ab"}, {1, "x"}, {0, "ab"}}));
}

// A token is exactly its pattern's match: what the pattern read past the match's end is read
// again for the next token, the end of the input may still end a match, and an empty match
// takes nothing. Type 5 is the first pattern.
TEST_F(TxtSpr, ATokenIsExactlyItsPatternsMatch) {
  const struct {
    std::vector<const char*> pats;
    const char* in;
    std::vector<tok> want;
  } cases[] = {
      {{"if|else", "[a-z]+", "[()]"}, "if(x)else(y)",
       {{5, "if"}, {7, "("}, {6, "x"}, {7, ")"}, {5, "else"}, {7, "("}, {6, "y"}, {7, ")"}}},
      {{"[0-9]+(px|em)"}, "12px;", {{5, "12px"}, {0, ";"}}},
      {{"ab?"}, "ax", {{5, "a"}, {0, "x"}}},
      {{"[0-9]{1,3}"}, "1234", {{5, "123"}, {5, "4"}}},
      {{"if|else"}, "if", {{5, "if"}}},
      {{"x?"}, "axb", {{0, "a"}, {5, "x"}, {0, "b"}}},
      {{"ab|abcd", "c"}, "abcx", {{5, "ab"}, {6, "c"}, {0, "x"}}},
      {{"a$"}, "a\na", {{5, "a"}, {0, "\n"}, {5, "a"}}},
      {{"[a-z]+x"}, "abc", {{0, "abc"}}},
  };
  for (const auto& c : cases) {
    tx::splitter s(c.in);
    uint32_t typ = 5;
    for (const char* p : c.pats) ASSERT_EQ(s.add(typ++, p), 0) << p;
    int32_t end = 0;
    EXPECT_EQ(s.all(&end), c.want) << c.pats[0] << " over " << c.in;
    EXPECT_EQ(end, ERR_END);
  }
}

TEST_F(TxtSpr, AStreamThatFailsIsNoEnd) {
  tx::failing in("ab c");
  struct txt_spr spr{};
  ASSERT_EQ(txt_spr_set(&spr, &in.cs), 0);
  tx::cstr p("[a-z]+");
  ASSERT_EQ(txt_spr_psh_lst_regexp(&spr, 1, &p, nullptr, nullptr, 0, nullptr, 0), 0);
  txt_spr_tok t{};
  ASSERT_EQ(txt_spr(&spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(1, "ab"));
  EXPECT_EQ(txt_spr(&spr, &t), -7) << "the gathered blank and the word are not a clean end";
  txt_spr_end(&spr);
}

// Many groups are set up and run without a call per group, on a thread with the stack that
// Windows gives a program.
TEST_F(TxtSpr, ManyGroupsNeedNoDeepStack) {
  struct job {
    std::vector<tok> got;
    static void* run(void* arg) {
      auto* j = static_cast<job*>(arg);
      std::string pat;
      for (int i = 0; i < 100000; ++i) pat += "()";
      tx::splitter s("ab");
      EXPECT_EQ(s.add(1, (pat + "a").c_str()), 0);
      j->got = s.all();
      return nullptr;
    }
  } j;
  pthread_attr_t at;
  pthread_attr_init(&at);
  pthread_attr_setstacksize(&at, 1 << 20);
  pthread_t th;
  ASSERT_EQ(pthread_create(&th, &at, job::run, &j), 0);
  pthread_join(th, nullptr);
  pthread_attr_destroy(&at);
  EXPECT_EQ(j.got, (std::vector<tok>{{1, "a"}, {0, "b"}}));
}

TEST_F(TxtSpr, ArgumentsItCannotUse) {
  tx::cstr in("a");
  EXPECT_EQ(txt_spr_set(nullptr, &in), -1);
  tx::splitter s("a");
  s.add_opt();
  txt_spr_tok t{};
  EXPECT_EQ(txt_spr(nullptr, &t), -1);
  EXPECT_EQ(txt_spr(&s.spr, nullptr), -1);
  EXPECT_EQ(txt_spr_for_anr_stream_set(nullptr, &s.spr), -1);
  txt_spr_end(nullptr);
  // A token said to be held back without the pattern that made it.
  s.spr.flg |= TXT_SPR_HLD;
  EXPECT_EQ(txt_spr(&s.spr, &t), -1);
  s.spr.flg &= ~TXT_SPR_HLD;
  EXPECT_EQ(s.all(), (std::vector<tok>{{WORD, "a"}}));
}

TEST_F(TxtSpr, ReturnedTextsStayValidUntilTheNextCall) {
  std::string longer(5000, 'w');
  tx::splitter s("?? " + longer + " !");
  s.add_opt();
  txt_spr_tok t{};
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(0, "??"));
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(BLANK, " "));
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(WORD, longer));
  EXPECT_EQ(s.spr.chr_cnt, 5003u) << "the blank that ended the word is the next to read";
  EXPECT_EQ(s.all(), (std::vector<tok>{{BLANK, " "}, {0, "!"}}));
  EXPECT_EQ(s.spr.chr_cnt, 5005u);
}

int32_t var(tx::splitter& s, const char* name) {
  int32_t v = -12345;
  vmap_get_str_int(&s.spr.cnd_map, nullptr, name, &v);
  return v;
}

TEST_F(TxtSpr, ConditionalPatternsAndTheirVariables) {
  tx::splitter s("ab cd ef");
  EXPECT_EQ(s.add(1, "[a-z]+", nullptr, "m", 0, "m", 1), 0);
  EXPECT_EQ(s.add(2, "[a-z]+", nullptr, "m", 1, "m", 0), 0);
  EXPECT_EQ(s.add(3, " "), 0);
  txt_spr_tok t{};
  ASSERT_EQ(txt_spr(&s.spr, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(1, "ab"));
  EXPECT_EQ(var(s, "m"), 1);
  EXPECT_EQ(var(s, "dq"), -12345) << "only a token complete at its first character writes dq";
  EXPECT_EQ(s.all(), (std::vector<tok>{{3, " "}, {2, "cd"}, {3, " "}, {1, "ef"}}));
  EXPECT_EQ(var(s, "m"), 0) << "the token that ends with the input sets nothing";

  // A variable that is not set yet is created as 0.
  tx::splitter n("x y");
  EXPECT_EQ(n.add(1, "y", nullptr, "k", 0), 0);
  EXPECT_EQ(n.add(4, "x", nullptr, nullptr, 0, "k", 5), 0);
  EXPECT_EQ(n.add(3, " "), 0);
  EXPECT_EQ(n.all(), (std::vector<tok>{{4, "x"}, {3, " "}, {0, "y"}}));
  EXPECT_EQ(var(n, "k"), 5);
  EXPECT_EQ(var(n, "dq"), 999) << "set with the variable of a one-character token";
  tx::splitter c("y");
  EXPECT_EQ(c.add(1, "y", nullptr, "k", 0), 0);
  EXPECT_EQ(c.all(), (std::vector<tok>{{1, "y"}}));
  EXPECT_EQ(var(c, "k"), 0);
}

TEST_F(TxtSpr, PatternEntries) {
  struct txt_spr none{};
  tx::cstr p("a");
  EXPECT_EQ(txt_spr_psh_lst_regexp(&none, 1, &p, nullptr, nullptr, 0, nullptr, 0), -1)
      << "not set up";
  txt_spr_end(&none);
  txt_spr_tok t{};
  EXPECT_EQ(txt_spr(nullptr, &t), -1);
  EXPECT_EQ(txt_spr(&none, nullptr), -1);

  tx::splitter s("aab");
  EXPECT_EQ(s.add(9, ""), 1) << "an empty pattern";
  EXPECT_EQ(s.add(9, "a{2"), 1) << "a pattern that stops short";
  EXPECT_EQ(s.add(9, "a{3,2}"), -1);
  EXPECT_EQ(s.spr.rgx_top, nullptr) << "no entry for a pattern that did not compile";
  const uint32_t first = TXT_MTC_DEF;
  EXPECT_EQ(s.add(1, "a+", &first, "c", 0, "s", 1), 0);
  ASSERT_NE(s.spr.rgx_top, nullptr);
  EXPECT_EQ(s.spr.rgx_top->chk.flg, TXT_MTC_DEF | TXT_MTC_OWN);
  EXPECT_STREQ(s.spr.rgx_top->cnd_nam, "c");
  EXPECT_STREQ(s.spr.rgx_top->set_nam, "s");
  EXPECT_EQ(s.add(2, "b"), 0);
  EXPECT_EQ(s.spr.rgx_top->nxt->chk.flg, TXT_MTC_FLG_DEF | TXT_MTC_OWN);
  EXPECT_EQ(s.spr.rgx_end, &s.spr.rgx_top->nxt->nxt);
  // Without the longest bit a token ends at its first match.
  EXPECT_EQ(s.all(), (std::vector<tok>{{1, "a"}, {1, "a"}, {2, "b"}}));

  txt_spr_end(&s.spr);
  txt_spr_end(&s.spr);   // a second end changes nothing
  EXPECT_EQ(s.spr.rgx_end, nullptr);
}

TEST_F(TxtSpr, StreamForms) {
  tx::cstr in("ab=c");
  struct txt_spr spr{};
  ASSERT_EQ(txt_spr_set(&spr, &in), 0);
  for (const tx::spr_pat& p : tx::OPT_PATTERNS) {
    tx::cstr pat(p.txt);
    ASSERT_EQ(txt_spr_psh_lst_regexp(&spr, p.typ, &pat, nullptr, nullptr, 0, nullptr, 0), 0);
  }
  stream es{};
  EXPECT_EQ(txt_spr_for_anr_stream_set(&es, &spr), 0);
  EXPECT_EQ(es.flg, STREAM_BND);
  txt_anr_elm e{};
  e.nxt = &e;
  e.stt = 7;
  ASSERT_EQ(stream_pop(&es, &e), 0);
  EXPECT_EQ(e.nxt, nullptr);
  EXPECT_EQ(e.rsv, 0u);
  EXPECT_EQ(e.typ, WORD);
  EXPECT_STREQ(e.txt, "ab");
  EXPECT_EQ(e.stt, 0u);
  // The same splitter read as token records.
  stream ts{};
  ASSERT_EQ(stream_set(&ts, &spr, &TXT_SPR_OPS), 0);
  txt_spr_tok t{};
  ASSERT_EQ(stream_pop(&ts, &t), 0);
  EXPECT_EQ(tok(t.typ, t.txt), tok(EQ, "="));
  ASSERT_EQ(stream_pop(&es, &e), 0);
  EXPECT_STREQ(e.txt, "c");
  EXPECT_EQ(stream_pop(&es, &e), ERR_END);
  // Ending the stream ends the splitter.
  stream_end(&es);
  EXPECT_EQ(spr.rgx_top, nullptr);
  EXPECT_EQ(spr.rgx_end, nullptr);
}

// The work of a split: threads examined by every pattern's checker, and bytes stored.
uint64_t split_cost(const std::string& text, const std::vector<tx::spr_pat>& pats, size_t* n) {
  tx::splitter s(text);
  for (const tx::spr_pat& p : pats) EXPECT_EQ(s.add(p.typ, p.txt), 0);
  txt_spr_tok t{};
  size_t count = 0;
  while (txt_spr(&s.spr, &t) == 0) ++count;
  uint64_t exm = 0;
  for (const txt_spr_rgx* e = s.spr.rgx_top; e != nullptr; e = e->nxt) exm += e->chk.exm;
  *n = count;
  return exm;
}

std::string option_text(size_t bytes) {
  static const char* const parts[] = {"/t=5 ", "/cmdon=\"notepad.exe @name@\" ", "/fp ",
                                      "/c=3;", "/cmdoff=a\\\"b ", "x/y=1[z=2]\n", "/dbgcnt\t"};
  std::string s;
  for (size_t i = 0; s.size() < bytes; ++i) s += parts[(i * 7 + i / 3) % 7];
  s.resize(bytes);
  return s;
}

TEST_F(TxtSpr, WorkGrowsLinearlyWithTheText) {
  const std::vector<tx::spr_pat> opt(std::begin(tx::OPT_PATTERNS), std::end(tx::OPT_PATTERNS));
  size_t n1 = 0, n2 = 0;
  const uint64_t c1 = split_cost(option_text(10000), opt, &n1);
  const uint64_t c2 = split_cost(option_text(20000), opt, &n2);
  EXPECT_GT(n1, 1000u);
  EXPECT_LE(c2, c1 * 22 / 10) << c1 << " then " << c2;
  EXPECT_GE(c2, c1 * 18 / 10) << "the counter counts the work";

  // A run of a that never becomes a token keeps threads of a*a*a*b alive to the end; equal
  // threads merge, so each character costs the same.
  const std::vector<tx::spr_pat> aab{{1, "a*a*a*b"}};
  const uint64_t a1 = split_cost(std::string(10000, 'a'), aab, &n1);
  const uint64_t a2 = split_cost(std::string(20000, 'a'), aab, &n2);
  EXPECT_EQ(n1, 1u);
  EXPECT_LE(a2, a1 * 22 / 10) << a1 << " then " << a2;
}

// Skipping a pattern that cannot begin with the character changes nothing: the set of first
// characters is exactly what a fresh checker takes, and the tokens are those of a splitter
// that tries every pattern.
TEST_F(TxtSpr, PatternsAreSkippedOnlyWhereTheyCouldNotBegin) {
  rg::gen g(4242);
  const uint32_t chars[] = {'a', 'b', 'c', '.', rg::LF, rg::SJ_A, rg::SJ_I, rg::SJ_SMALL_I, ' '};
  int usable = 0;
  for (int i = 0; i < 600; ++i) {
    const rg::pat p = g.pattern();
    txt_mtc_chk c{};
    tx::cstr ps(p.text);
    ASSERT_EQ(regexp_chk(&c, &ps, nullptr), 0) << p.text;
    uint32_t set[8];
    bool big = false;
    const bool all = __txt_mtc_fst(c.trm, set, &big) != 0;
    usable += !all;
    for (const uint32_t ch : chars) {
      txt_mtc_chk_rst(&c);
      ASSERT_EQ(txt_mtc_wrd(&c, ch), 0);
      const bool takes = (c.stt & TXT_MTC_STT_MTC) != 0 || c.thd != nullptr;
      const bool may = all || (ch < 256 ? ((set[ch >> 5] >> (ch & 31)) & 1) != 0 : big);
      EXPECT_TRUE(may || !takes) << p.text << " with " << ch;
    }
    txt_mtc_chk_end(&c);
  }
  EXPECT_GT(usable, 300);

  for (int i = 0; i < 150; ++i) {
    std::vector<rg::pat> pats;
    for (int j = 0; j < 4; ++j) pats.push_back(g.pattern());
    const std::string text = rg::enc(g.input(30));
    std::vector<tok> got[2];
    int32_t end[2] = {0, 0};
    for (int tryall = 0; tryall < 2; ++tryall) {
      tx::splitter s(text);
      for (size_t j = 0; j < pats.size(); ++j)
        ASSERT_EQ(s.add(static_cast<uint32_t>(j + 1), pats[j].text.c_str()), 0);
      if (tryall != 0)
        for (txt_spr_rgx* e = s.spr.rgx_top; e != nullptr; e = e->nxt) e->fst_all = true;
      got[tryall] = s.all(&end[tryall]);
    }
    EXPECT_EQ(got[0], got[1]) << text;
    EXPECT_EQ(end[0], end[1]);
  }
}

}  // namespace

