// The matcher against a backtracking reference over random patterns and texts, and the
// merging of equal threads against the literal run of every thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include <set>

#include "rgx_ref.h"
#include "text_util.h"

namespace {

class TxtMtcRef : public st::Fixture {};

struct chk_own {
  txt_mtc_chk c{};
  ~chk_own() { txt_mtc_chk_end(&c); }
};

// Every mode: longest or shortest end, anchored or not.
TEST_F(TxtMtcRef, EveryModeAgainstABacktrackingReference) {
  rg::gen g(20240611);
  constexpr int PATTERNS = 2000;
  constexpr int TEXTS = 3;
  int cases = 0, found = 0, empty_found = 0, group_cases = 0;
  int empty_text = 0, empty_at_end = 0;   // the two disagreements the matcher has on purpose
  for (int i = 0; i < PATTERNS; ++i) {
    const rg::pat p = g.pattern();
    const bool grp = p.text.find('(') != std::string::npos;
    for (const bool longest : {true, false}) {
      for (const bool anchored : {false, true}) {
        const uint32_t flags = TXT_MTC_DEF | (longest ? TXT_MTC_LNG : 0) | (anchored ? TXT_MTC_ANC : 0);
        chk_own k;
        tx::cstr ps(p.text);
        ASSERT_EQ(regexp_chk(&k.c, &ps, &flags), 0) << p.text;
        for (int j = 0; j < TEXTS; ++j) {
          const std::vector<uint32_t> in = g.input(8);
          const rg::ref r{in};
          const auto want = r.leftmost(p, longest, anchored);
          txt_mtc_chk_rst(&k.c);
          k.c.pos = 0;
          tx::cstr ts(rg::enc(in));
          const int32_t st = txt_mtc(&k.c, &ts);
          const std::string where = p.text + " over " + rg::enc(in) + " flags " + std::to_string(flags);
          ++cases;
          group_cases += grp;
          const auto len = static_cast<uint32_t>(in.size());
          if (want && want->first == len) {
            // No thread starts at the end of the text: an empty match there (the only match
            // an empty text can have) is not found.
            EXPECT_TRUE(st == ERR_END || (anchored && st == -1)) << where;
            ++(len == 0 ? empty_text : empty_at_end);
            continue;
          }
          if (!want) {
            // Anchored, the last thread may die before the end.
            EXPECT_TRUE(st == ERR_END || (anchored && st == -1)) << where << ": " << st;
            continue;
          }
          ASSERT_EQ(st, 0) << where;
          ++found;
          empty_found += want->first == want->second;
          EXPECT_EQ(k.c.mtc_top, want->first) << where;
          EXPECT_EQ(k.c.mtc_end, want->second) << where;
        }
      }
    }
  }
  std::printf("%d cases, %d matches (%d empty), %d with groups; not found as stated: %d empty "
              "texts, %d empty matches at the end\n",
              cases, found, empty_found, group_cases, empty_text, empty_at_end);
  // The sample must exercise what it claims to.
  EXPECT_GT(found, cases / 4);
  EXPECT_GT(empty_found, 100);
  EXPECT_GT(group_cases, cases / 10);
}

// The splitter's tokens against the reference: together they are the text, and a token of a
// pattern is that pattern's longest match from where the token starts.
TEST_F(TxtMtcRef, SplitterTokensAreTheirPatternsLongestMatches) {
  rg::gen g(515);
  g.anchors = false;   // a splitter's checkers see only the characters of their own tokens
  int tokens = 0, typed = 0;
  for (int i = 0; i < 1500; ++i) {
    std::vector<rg::pat> pats;
    for (int j = 0; j < 3; ++j) pats.push_back(g.pattern());
    const std::vector<uint32_t> in = g.input(24);
    const std::string text = rg::enc(in);
    tx::splitter s(text);
    for (size_t j = 0; j < pats.size(); ++j)
      ASSERT_EQ(s.add(static_cast<uint32_t>(j + 1), pats[j].text.c_str()), 0) << pats[j].text;
    int32_t end = 0;
    const std::vector<tx::tok> got = s.all(&end);
    EXPECT_EQ(end, ERR_END);
    std::string where = text + " with";
    for (const rg::pat& p : pats) where += " " + p.text;
    const rg::ref r{in};
    std::string joined;
    uint32_t at = 0;   // the token's first character
    for (const tx::tok& t : got) {
      ASSERT_FALSE(t.second.empty()) << where;
      ++tokens;
      uint32_t n = 0;
      for (size_t b = 0; b < t.second.size(); ++n) {
        ASSERT_LT(at + n, in.size()) << where;
        b += rg::enc(in[at + n]).size();
      }
      if (t.first != 0) {
        ++typed;
        const std::set<uint32_t> e = r.ends_from(pats[t.first - 1], at);
        ASSERT_FALSE(e.empty()) << where;
        EXPECT_EQ(*e.rbegin(), at + n) << where << ": token " << t.second;
      }
      joined += t.second;
      at += n;
    }
    EXPECT_EQ(joined, text) << where;
  }
  EXPECT_GT(typed, tokens / 3);
}

// The state a caller can see after a step.
struct seen {
  int32_t st;
  uint32_t stt, top, end, pos;
  bool live;
  bool operator==(const seen& o) const {
    return st == o.st && stt == o.stt && top == o.top && end == o.end && pos == o.pos &&
           live == o.live;
  }
};
std::ostream& operator<<(std::ostream& os, const seen& s) {
  return os << "st " << s.st << " stt " << s.stt << " [" << s.top << "," << s.end << ") pos "
            << s.pos << (s.live ? " live" : "");
}
seen look(int32_t st, const txt_mtc_chk& c) {
  return {st, c.stt, c.mtc_top, c.mtc_end, c.pos, c.thd != nullptr};
}

TEST_F(TxtMtcRef, MergingEqualThreadsChangesNoResult) {
  constexpr uint32_t LNG = TXT_MTC_FLG_DEF;
  constexpr uint32_t FIRST = TXT_MTC_DEF;
  // The last two run like a splitter's checker: a fresh thread at the first character only.
  const uint32_t modes[] = {LNG, FIRST, LNG | TXT_MTC_ANC, FIRST | TXT_MTC_ANC, LNG | 0x8000,
                            FIRST | 0x8000};
  int cases = 0, merged = 0, dense_cases = 0, dense_merged = 0;
  uint64_t exm_merged = 0, exm_literal = 0;
  // Merged from the first push on, and as the engine does it by default.
  struct knob {
    uint32_t old = txt_mtc_mrg_min;
    ~knob() { txt_mtc_mrg_min = old; }
  } restore;
  for (const uint32_t from : {0u, restore.old}) {
    txt_mtc_mrg_min = from;
    for (int kind = 0; kind < 3; ++kind) {
      rg::gen g(77 + kind);
      const bool dense = kind > 0;
      g.dense = kind == 1;
      g.race = kind == 2;
      for (int i = 0; i < (kind == 0 ? 300 : 160); ++i) {
        const rg::pat p = g.pattern();
        for (const uint32_t mode : modes) {
          const uint32_t flags = mode & ~0x8000u;
          const bool spr = (mode & 0x8000u) != 0;
          chk_own a, b;
          const uint32_t lit = flags | TXT_MTC_LIT;
          tx::cstr pa(p.text), pb(p.text);
          ASSERT_EQ(regexp_chk(&a.c, &pa, &flags), 0) << p.text;
          ASSERT_EQ(regexp_chk(&b.c, &pb, &lit), 0) << p.text;
          for (int j = 0; j < 4; ++j) {
            const std::vector<uint32_t> in = dense ? g.input(14, 6) : g.input(8);
            for (txt_mtc_chk* c : {&a.c, &b.c}) {
              txt_mtc_chk_rst(c);
              c->pos = 0;
              c->stt = TXT_MTC_STT_BOL | ((flags & TXT_MTC_ANC) != 0 ? TXT_MTC_STT_ANC : 0);
            }
            const uint64_t ea = a.c.exm, eb = b.c.exm;
            std::string where = p.text + " over " + rg::enc(in) + " flags " + std::to_string(mode) +
                                " from " + std::to_string(from);
            for (size_t k = 0; k <= in.size(); ++k) {
              const uint32_t ch = k < in.size() ? in[k] : 0;   // then the end mark
              const int32_t ra = txt_mtc_wrd(&a.c, ch);
              const int32_t rb = txt_mtc_wrd(&b.c, ch);
              ASSERT_EQ(look(ra, a.c), look(rb, b.c)) << where << " at " << k;
              if (spr) {
                a.c.flg |= TXT_MTC_NEW;
                b.c.flg |= TXT_MTC_NEW;
              }
              if (ra != 0) break;
            }
            // The whole-stream driver reads the same characters.
            for (txt_mtc_chk* c : {&a.c, &b.c}) {
              txt_mtc_chk_rst(c);
              c->pos = 0;
            }
            tx::cstr ia(rg::enc(in)), ib(rg::enc(in));
            const int32_t ra = txt_mtc(&a.c, &ia);
            const int32_t rb = txt_mtc(&b.c, &ib);
            ASSERT_EQ(look(ra, a.c), look(rb, b.c)) << where << " (txt_mtc)";
            ++cases;
            const bool m = a.c.exm - ea < b.c.exm - eb;
            merged += m;
            dense_cases += dense;
            dense_merged += dense != 0 && m;
            exm_merged += a.c.exm - ea;
            exm_literal += b.c.exm - eb;
          }
        }
      }
    }
  }
  std::printf("%d cases, %d with merged threads; %llu threads examined merged, %llu literal\n",
              cases, merged, static_cast<unsigned long long>(exm_merged),
              static_cast<unsigned long long>(exm_literal));
  EXPECT_GT(dense_merged, dense_cases / 10) << "the comparison must cover merging";
}

}  // namespace
