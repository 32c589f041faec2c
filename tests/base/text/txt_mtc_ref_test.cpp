// The matcher against a backtracking reference over random patterns and texts, and the
// merging of equal threads against the literal run of every thread.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "rgx_ref.h"
#include "text_util.h"

namespace {

class TxtMtcRef : public st::Fixture {};

struct chk_own {
  txt_mtc_chk c{};
  ~chk_own() { txt_mtc_chk_end(&c); }
};

TEST_F(TxtMtcRef, LeftmostLongestAgainstABacktrackingReference) {
  rg::gen g(20240611);
  constexpr int PATTERNS = 4000;
  constexpr int TEXTS = 6;
  int cases = 0, found = 0, empty_found = 0, group_cases = 0;
  int empty_text = 0, empty_at_end = 0;   // the two disagreements the matcher has on purpose
  for (int i = 0; i < PATTERNS; ++i) {
    const rg::pat p = g.pattern();
    chk_own k;
    tx::cstr ps(p.text);
    ASSERT_EQ(regexp_chk(&k.c, &ps, nullptr), 0) << p.text;
    const bool grp = p.text.find('(') != std::string::npos;
    for (int j = 0; j < TEXTS; ++j) {
      const std::vector<uint32_t> in = g.input(8);
      const rg::ref r{in};
      const auto want = r.leftmost_longest(p);
      txt_mtc_chk_rst(&k.c);
      k.c.pos = 0;
      tx::cstr ts(rg::enc(in));
      const int32_t st = txt_mtc(&k.c, &ts);
      ++cases;
      group_cases += grp;
      const auto len = static_cast<uint32_t>(in.size());
      if (want && want->first == len) {
        // No thread starts at the end of the text: an empty match there (the only match an
        // empty text can have) is not found.
        EXPECT_EQ(st, ERR_END) << p.text << " over " << rg::enc(in);
        ++(len == 0 ? empty_text : empty_at_end);
        continue;
      }
      if (!want) {
        EXPECT_EQ(st, ERR_END) << p.text << " over " << rg::enc(in);
        continue;
      }
      ASSERT_EQ(st, 0) << p.text << " over " << rg::enc(in);
      ++found;
      empty_found += want->first == want->second;
      EXPECT_EQ(k.c.mtc_top, want->first) << p.text << " over " << rg::enc(in);
      EXPECT_EQ(k.c.mtc_end, want->second) << p.text << " over " << rg::enc(in);
    }
  }
  std::printf("%d cases, %d matches (%d empty), %d with groups; not found as stated: %d empty "
              "texts, %d empty matches at the end\n",
              cases, found, empty_found, group_cases, empty_text, empty_at_end);
  // The sample must exercise what it claims to.
  EXPECT_GT(found, cases / 3);
  EXPECT_GT(empty_found, 100);
  EXPECT_GT(group_cases, cases / 10);
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
