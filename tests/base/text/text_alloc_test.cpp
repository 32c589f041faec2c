// Every heap call of a run failing in turn: the compiler, the matcher, the splitter and the
// option parser's chain of analyzers report -1 (or absorb the failure without changing
// anything), give every block back, and do not crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "alloc_util.h"
#include "test_util.h"
#include "text_util.h"

namespace {

class TextAlloc : public st::Fixture {};

using tu::outcome;

// The library's blocks and the diagnostics' own: every heap call fails in turn.
int every_k(const std::function<outcome()>& fn, const std::string& what) { return tu::every_heap_call(fn, what); }

std::string dump(const txt_trm* t) {
  std::string s;
  for (const tx::nod& n : tx::nodes(t))
    s += std::to_string(n.kind) + ":" + std::to_string(n.val) + ":" + std::to_string(n.lnk) + ",";
  return s;
}

TEST_F(TextAlloc, Compiler) {
  const char* pats[] = {"[a-zA-Z0-9_]+", "\\\\.", "[ \t]+", "z|x(a|b{2,3})y", "a*b?c{2}"};
  const int failed = every_k([&] {
    std::string out;
    for (const char* p : pats) {
      txt_mtc_chk c{};
      tx::cstr s(p);
      const int32_t st = regexp_chk(&c, &s, nullptr);
      if (st != 0) {
        EXPECT_EQ(c.trm, nullptr);
        EXPECT_EQ(c.flg, 0u) << "released";
        return outcome{st, out};
      }
      out += dump(c.trm) + "|";
      txt_mtc_chk_end(&c);
    }
    return outcome{0, out};
  }, "compiler");
  EXPECT_GT(failed, 30);
}

// Each pattern compiled and matched over its text: "status[top,end)" per case (with the
// position reached after it when pos), up to the first failure.
template <size_t N>
outcome match_all(const std::pair<const char*, const char*> (&cases)[N], bool pos) {
  std::string out;
  for (const auto& [p, t] : cases) {
    txt_mtc_chk c{};
    tx::cstr ps(p);
    int32_t st = regexp_chk(&c, &ps, nullptr);
    if (st != 0) return outcome{st, out};
    tx::cstr in(t);
    st = txt_mtc(&c, &in);
    out += std::to_string(st) + "[" + std::to_string(c.mtc_top) + "," + std::to_string(c.mtc_end) + ")" +
           (pos ? std::to_string(c.pos) : std::string()) + " ";
    txt_mtc_chk_end(&c);
    if (st == -1) return outcome{st, out};
  }
  return outcome{0, out};
}

TEST_F(TextAlloc, Matcher) {
  // Enough equal threads at once that the merging table is needed too.
  const std::pair<const char*, const char*> cases[] = {
      {"[a-z]+", "  abc;"}, {"[ab]*[ab]*[ab]*c", "abababababababababc"}, {"x|ab*|(a|b)c", "abbc"}};
  const int failed = every_k([&] { return match_all(cases, true); }, "matcher");
  EXPECT_GT(failed, 30);
}

TEST_F(TextAlloc, MatcherWithThreadsLiveAtTheEndOfItsInput) {
  // The input ends while threads may still extend the match: they are run out at the end.
  const std::pair<const char*, const char*> cases[] = {
      {"[a-z]+", "abc"}, {"a[bc]*", "xabcbcb"}, {"ab|a[bc]*d?", "abcbc"},
      {"a(b|cd)", "xa"}, {"a(b|c|)", "xa"}};
  const auto run = [&] { return match_all(cases, false); };
  // A group still open at the end matches only through an empty alternative.
  EXPECT_EQ(run(), outcome(0, "0[0,3) 0[1,7) 0[0,5) " + std::to_string(ERR_END) + "[0,0) 0[1,2) "));
  const int failed = every_k(run, "matcher at the end of its input");
  EXPECT_GT(failed, 5);
}

const char* const OPTIONS = "/cmdon=\"notepad.exe @name@\" /t=5;fp\n/x=a\\\"b ?";

TEST_F(TextAlloc, Splitter) {
  const int failed = every_k([&] {
    std::string out;
    tx::cstr in(OPTIONS);
    struct txt_spr s{};
    int32_t st = txt_spr_set(&s, &in);
    for (const tx::spr_pat& p : tx::OPT_PATTERNS) {
      if (st != 0) break;
      tx::cstr pat(p.txt);
      st = txt_spr_psh_lst_regexp(&s, p.typ, &pat, nullptr, "c", 0, "v", 1);
    }
    txt_spr_tok t{};
    while (st == 0 && (st = txt_spr(&s, &t)) == 0) out += std::to_string(t.typ) + t.txt + "|";
    txt_spr_end(&s);
    return outcome{st == ERR_END ? 0 : st, out};
  }, "splitter");
  EXPECT_GT(failed, 50);
}

// The splitter over text with pats: each token as "type:length|" appended to out; the status
// (ERR_END once the text is read).
int32_t split(const std::string& text, const std::vector<tx::spr_pat>& pats, std::string* out) {
  tx::cstr in(text);
  struct txt_spr s{};
  int32_t st = txt_spr_set(&s, &in);
  for (const tx::spr_pat& p : pats) {
    if (st != 0) break;
    tx::cstr pat(p.txt);
    st = txt_spr_psh_lst_regexp(&s, p.typ, &pat, nullptr, nullptr, 0, nullptr, 0);
  }
  txt_spr_tok t{};
  while (st == 0 && (st = txt_spr(&s, &t)) == 0)
    *out += std::to_string(t.typ) + ":" + std::to_string(std::string(t.txt).size()) + "|";
  txt_spr_end(&s);
  return st;
}

TEST_F(TextAlloc, SplitterWithLongTokensAndLongGatheredText) {
  // Texts long enough that both buffers grow while a token or gathered text is read, and a
  // pattern that dies after reading many characters.
  const std::string text = std::string(70, '%') + std::string(80, 'w') + " " +
                           std::string(40, '1') + "z" + std::string(30, '%');
  const std::vector<tx::spr_pat> pats = {{1, "[a-z]+"}, {2, "1+2"}, {3, " "}};
  const auto run = [&] {
    std::string out;
    const int32_t st = split(text, pats, &out);
    return outcome{st == ERR_END ? 0 : st, out};
  };
  EXPECT_EQ(run(), outcome(0, "0:70|1:80|3:1|0:40|1:1|0:30|"));
  const int failed = every_k(run, "splitter, long texts");
  EXPECT_GT(failed, 10);
}

TEST_F(TextAlloc, SplitterBuffersGrowingAtEveryStep) {
  // Each piece makes one of the splitter's buffers grow at one of its steps: a pattern that
  // dies after many characters, a token completed by a character that does not fit, a type-0
  // pattern completed by one, a pattern cut off by the end of the input, and gathered text
  // whose terminator does not fit.
  const std::string a = std::string(40, '1') + "z" + std::string(64, '1') + "2" +
                        std::string(63, '%') + "AB" + std::string(100, '%') + std::string(100, '1');
  const std::string b(128, '%');
  const std::vector<tx::spr_pat> pats = {{1, "[a-z]+"}, {2, "1+2"}, {3, " "}, {0, "AB"}};
  const auto run = [&] {
    std::string out;
    for (const std::string& text : {a, b}) {
      const int32_t st = split(text, pats, &out);
      if (st != ERR_END) return outcome{st, out};
      out += "/";
    }
    return outcome{0, out};
  };
  // The type-0 pattern and the cut-off pattern leave their text to the gathered text.
  EXPECT_EQ(run(), outcome(0, "0:40|1:1|2:65|0:265|/0:128|/"));
  const int failed = every_k(run, "splitter buffers");
  EXPECT_GT(failed, 10);
}

// The option parser's chain, built and read without asserting on the way.
outcome chain(const char* text) {
  std::string out;
  tx::cstr in(text);
  struct txt_spr s{};
  txt_anr a1{}, a2{}, a3{};
  stream s1{}, s2{}, o{};
  auto rules = [](txt_anr* a, const std::vector<tx::rul>& rs) {
    for (const tx::rul& r : rs) {
      if (txt_anr_chk_add_lst(a, nullptr) != 0) return err_no;
      for (const tx::fct& f : r.f)
        if (txt_anr_chk_add_fct(a, f.knd, f.val, f.txt, nullptr) != 0) return err_no;
    }
    return 0;
  };
  int32_t st = txt_spr_set(&s, &in);
  for (const tx::spr_pat& p : tx::OPT_PATTERNS) {
    if (st != 0) break;
    tx::cstr pat(p.txt);
    st = txt_spr_psh_lst_regexp(&s, p.typ, &pat, nullptr, nullptr, 0, nullptr, 0);
  }
  if (st == 0) st = txt_anr_set(&a1, &s);
  if (st == 0) st = rules(&a1, tx::ESCAPES);
  if (st == 0) st = txt_anr_stream_set(&s1, &a1);
  if (st == 0) st = _txt_anr_set(&a2, &s1);
  if (st == 0) st = rules(&a2, tx::QUOTES);
  if (st == 0) st = txt_anr_stream_set(&s2, &a2);
  if (st == 0) st = _txt_anr_set(&a3, &s2);
  if (st == 0) st = rules(&a3, tx::CLEANUP);
  if (st == 0) st = txt_anr_stream_set(&o, &a3);
  txt_anr_elm e{};
  while (st == 0 && (st = stream_pop(&o, &e)) == 0) out += std::to_string(e.typ) + e.txt + "|";
  // Whatever was built is released, from the last stream down.
  stream_end(&o);
  txt_anr_end(&a3);
  txt_anr_end(&a2);
  txt_anr_end(&a1);
  txt_spr_end(&s);
  return {st == ERR_END ? 0 : st, out};
}

TEST_F(TextAlloc, AnalyzerChain) {
  const int failed = every_k([] { return chain(OPTIONS); }, "analyzer chain");
  EXPECT_GT(failed, 100);
}


// Rules that make things as they fire: variables, template insertions and writes, a merge.
// The input's end (the splitter's 0x80000001) counts as success, as a reader of the stream
// takes it.
outcome makers(const std::string& file) {
  static const tx::spr_pat pats[] = {{1, "[a-z0-9]+"}, {0x20000001, " +"}, {2, "="}, {3, ";"}};
  const std::vector<tx::rul> rules = {
      {{{0, 1, "[kn]"}, {23, 1, ""}, {5}, {5}, {26}}},
      {{{0, 1, "s"}, {16}, {27}, {4}, {3, 1, "e"}, {16}, {28}, {29, 5}}},
      // A variable that is there is found, whatever the heap does.
      {{{0, 1, "go"}, {23, 0, "n"}, {11, 8, "found"}}},
      {{{0, 1, "go"}, {13, 6, "@k@+@n@"}, {15, 7, "<@n@"}, {18, 0, file.c_str()},
        {22, 0, "n=@n@;"}, {21, 0, "!"}, {20}}}};
  std::string out;
  tx::cstr in("k=v;n=5;n=7;s a b e;go");
  struct txt_spr s{};
  txt_anr a{};
  int32_t st = txt_spr_set(&s, &in);
  for (const tx::spr_pat& p : pats) {
    if (st != 0) break;
    tx::cstr pat(p.txt);
    st = txt_spr_psh_lst_regexp(&s, p.typ, &pat, nullptr, nullptr, 0, nullptr, 0);
  }
  if (st == 0) st = txt_anr_set(&a, &s);
  for (const tx::rul& r : rules) {
    if (st == 0) st = txt_anr_chk_add_lst(&a, nullptr);
    for (const tx::fct& f : r.f)
      if (st == 0) st = txt_anr_chk_add_fct(&a, f.knd, f.val, f.txt, nullptr);
  }
  txt_anr_elm e{};
  while (st == 0 && (st = _txt_anr_stream_pop(&a, &e)) == 0)
    out += std::to_string(e.typ) + e.txt + "|";
  txt_anr_end(&a);
  txt_spr_end(&s);
  if (st == ERR_END) out += tu::slurp(file);
  std::remove(file.c_str());
  return {st == ERR_END ? 0 : st, out};
}

TEST_F(TextAlloc, CharacterStreamOverAnAnalyzer) {
  // The stream comes through the hand-over slot; when it cannot be made, the analyzer stream
  // is still the caller's to end.
  const auto run = [] {
    std::string out;
    tx::cstr in("ab c");
    struct txt_spr s{};
    txt_anr a{};
    stream as{};
    int32_t st = txt_spr_set(&s, &in);
    for (const tx::spr_pat& p : {tx::spr_pat{1, "[a-z]+"}, tx::spr_pat{2, " "}}) {
      if (st != 0) break;
      tx::cstr pat(p.txt);
      st = txt_spr_psh_lst_regexp(&s, p.typ, &pat, nullptr, nullptr, 0, nullptr, 0);
    }
    if (st == 0) st = txt_anr_set(&a, &s);
    if (st == 0) st = txt_anr_stream_set(&as, &a);
    if (st == 0) {
      if ((st = txt_anr_cvt_bin_stream_set(nullptr, &as)) != 0) {
        stream_end(&as);
      } else {
        auto* cs = static_cast<stream*>(stkptr(nullptr, nullptr));
        uint32_t ch = 0;
        while ((st = stream_pop(cs, &ch)) == 0) out += static_cast<char>(ch);
        stream_end(cs);
      }
    }
    txt_anr_end(&a);
    txt_spr_end(&s);
    return outcome{st == ERR_END ? 0 : st, out};
  };
  EXPECT_EQ(run(), outcome(0, "ab c"));
  const int failed = every_k(run, "character stream over an analyzer");
  EXPECT_GT(failed, 10);
}

TEST_F(TextAlloc, AnalyzerRulesThatMakeThings) {
  tu::tmp_dir dir;
  const std::string file = dir.file("out.txt");
  err_no = 0;
  const outcome whole = makers(file);
  EXPECT_EQ(whole.second, "1k|2=|1v|3;|1n|2=|15|3;|1n|2=|17|3;|5 a b |3;|7<12|1go|60+12|8found|n=12;!");
  // A failure inside an action (a buffer that could not grow while a template was expanded)
  // must not come out as the status the input's end has: the reader would stop short and
  // take what it got for the whole text.
  const int failed = every_k([&] { return makers(file); }, "analyzer rules that make things");
  EXPECT_GT(failed, 50);
}

}  // namespace
