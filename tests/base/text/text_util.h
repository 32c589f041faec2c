// Shared by the text engine tests: compiling a pattern from its text, reading a term back as
// a list, and running the matcher over a text.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/base.h"
#include "cstr_util.h"
#include "base/stream/stream_fixture.h"

namespace tx {

// A character stream over its own copy of a text; &c is its stream.
struct cstr : tu::cstr {
  using tu::cstr::cstr;
  stream* operator&() { return &cs; }
};

inline int compile(const std::string& pattern, txt_mtc_chk* chk) {
  cstr s(pattern);
  return regexp_trm(chk, &s);
}

// One node as the tests state it: its kind bits, its character or count, and for branch
// nodes the index of the node it links to (-1 for none).
struct nod {
  uint32_t kind;
  uint32_t val;
  int lnk;
  bool operator==(const nod& o) const { return kind == o.kind && val == o.val && lnk == o.lnk; }
};

inline std::ostream& operator<<(std::ostream& os, const nod& n) {
  return os << "{0x" << std::hex << n.kind << ", 0x" << n.val << std::dec << ", " << n.lnk << "}";
}

inline std::vector<nod> nodes(const txt_trm* t) {
  std::vector<const txt_trm*> all;
  for (const txt_trm* n = t; n != nullptr; n = n->next) all.push_back(n);
  std::vector<nod> v;
  for (const txt_trm* n : all) {
    if (n->kind & (TRM_BRA | TRM_KET)) {
      int idx = -1;
      for (size_t i = 0; i < all.size(); ++i)
        if (all[i] == n->arg.lnk) idx = static_cast<int>(i);
      if (n->arg.lnk != nullptr && idx < 0) idx = -2;   // a link out of the term
      v.push_back({n->kind, 0, idx});
    } else {
      v.push_back({n->kind, n->arg.val, -1});
    }
  }
  return v;
}

// The nodes a pattern compiles to (the term is released again).
inline std::vector<nod> nodes_of(const std::string& pattern) {
  txt_mtc_chk chk{};
  EXPECT_EQ(compile(pattern, &chk), 0) << pattern;
  std::vector<nod> v = nodes(chk.trm);
  txt_mtc_trm_end(chk.trm);
  return v;
}

struct res {
  int32_t st;
  uint32_t top, end;
  bool operator==(const res& o) const {
    return st == o.st && (st != 0 || (top == o.top && end == o.end));
  }
};
inline std::ostream& operator<<(std::ostream& os, const res& r) {
  os << "status " << r.st;
  if (r.st == 0) os << " [" << r.top << "," << r.end << ")";
  return os;
}

// txt_mtc of pattern over text with the given options; positions from 0.
inline res match(const std::string& pattern, const std::string& text,
                 uint32_t flags = TXT_MTC_FLG_DEF) {
  txt_mtc_chk chk{};
  cstr pat(pattern);
  const int c = regexp_chk(&chk, &pat, &flags);
  EXPECT_EQ(c, 0) << pattern;
  if (c != 0) return {c, 0, 0};
  cstr in(text);
  const int32_t st = txt_mtc(&chk, &in);
  const res r{st, chk.mtc_top, chk.mtc_end};
  txt_mtc_chk_end(&chk);
  return r;
}

inline res ok(uint32_t top, uint32_t end) { return {0, top, end}; }

// A character stream whose source fails with status -7 after its text.
struct failing {
  std::string text;
  size_t at = 0;
  stream bs{}, cs{};
  explicit failing(std::string t) : text(std::move(t)) {
    static constexpr stream_ops ops{[](void* src, void* out) -> int {
                                      auto* f = static_cast<failing*>(src);
                                      if (f->at == f->text.size()) {
                                        err_no = -7;
                                        return err_no;
                                      }
                                      *static_cast<unsigned char*>(out) =
                                          static_cast<unsigned char>(f->text[f->at++]);
                                      return 0;
                                    },
                                    nullptr, nullptr, nullptr};
    stream_set(&bs, this, &ops);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  }
  failing(const failing&) = delete;
  failing& operator=(const failing&) = delete;
};
inline res none() { return {ERR_END, 0, 0}; }

}  // namespace tx

namespace tx {

// The option parser's token patterns, in its order.
struct spr_pat {
  uint32_t typ;
  const char* txt;
};
inline constexpr spr_pat OPT_PATTERNS[] = {
    {1, "[a-zA-Z0-9_]+"}, {2, "\\\\."},   {16, "#"},         {17, "/"},
    {18, "="},            {19, "\""},     {788, "\\["},      {789, "\\]"},
    {278, ";"},           {0x20000120, "\n"}, {0x20000021, "[ \t]+"}};

inline constexpr uint32_t WORD = 1, ESC = 2, HASH = 16, SLASH = 17, EQ = 18, QUOTE = 19,
                          OPEN = 788, CLOSE = 789, SEMI = 278, LINE = 0x20000120,
                          BLANK = 0x20000021;

using tok = std::pair<uint32_t, std::string>;

// A splitter over its own copy of a text.
struct splitter {
  cstr in;
  struct txt_spr spr{};
  explicit splitter(std::string text) : in(std::move(text)) {
    EXPECT_EQ(txt_spr_set(&spr, &in), 0);
  }
  ~splitter() { txt_spr_end(&spr); }
  splitter(const splitter&) = delete;
  splitter& operator=(const splitter&) = delete;

  int add(uint32_t typ, const char* pattern, const uint32_t* flags = nullptr,
          const char* cnd = nullptr, int32_t cnd_val = 0, const char* set = nullptr,
          int32_t set_val = 0) {
    cstr p(pattern);
    return txt_spr_psh_lst_regexp(&spr, typ, &p, flags, cnd, cnd_val, set, set_val);
  }
  void add_opt() {
    for (const spr_pat& p : OPT_PATTERNS) EXPECT_EQ(add(p.typ, p.txt), 0) << p.txt;
  }
  // Every token up to the first non-zero status, which goes to *end.
  std::vector<tok> all(int32_t* end = nullptr) {
    std::vector<tok> v;
    txt_spr_tok t{};
    int32_t st;
    while ((st = txt_spr(&spr, &t)) == 0) v.emplace_back(t.typ, t.txt);
    if (end != nullptr) *end = st;
    return v;
  }
};

}  // namespace tx

namespace tx {

struct fct {
  uint32_t knd;
  uint32_t val = 0;
  const char* txt = nullptr;
};
struct rul {
  std::vector<fct> f;
  std::vector<uint32_t> prm = {};   // empty: no parameters
};

inline void add_rules(txt_anr* a, const std::vector<rul>& rules) {
  for (const rul& r : rules) {
    ASSERT_EQ(txt_anr_chk_add_lst(a, r.prm.empty() ? nullptr : r.prm.data()), 0);
    for (const fct& f : r.f) ASSERT_EQ(txt_anr_chk_add_fct(a, f.knd, f.val, f.txt, nullptr), 0);
  }
}

// Non-hidden elements handed on by an analyzer, up to the first non-zero status.
inline std::vector<tok> drain(txt_anr* a, int32_t* end = nullptr) {
  std::vector<tok> v;
  txt_anr_elm e{};
  int32_t st;
  while ((st = _txt_anr_stream_pop(a, &e)) == 0) v.emplace_back(e.typ, e.txt);
  if (end != nullptr) *end = st;
  return v;
}

// One analyzer over a splitter.
struct analyzer {
  splitter s;
  txt_anr a{};
  analyzer(std::string text, const std::vector<spr_pat>& pats, const std::vector<rul>& rules)
      : s(std::move(text)) {
    for (const spr_pat& p : pats) EXPECT_EQ(s.add(p.typ, p.txt), 0) << p.txt;
    EXPECT_EQ(txt_anr_set(&a, &s.spr), 0);
    add_rules(&a, rules);
  }
  ~analyzer() { txt_anr_end(&a); }   // ends the splitter with it
  analyzer(const analyzer&) = delete;
  analyzer& operator=(const analyzer&) = delete;
  std::vector<tok> all(int32_t* end = nullptr) { return drain(&a, end); }
};

// The option parser's chain: the splitter, then escapes, quoted strings, and clean-up.
inline const std::vector<rul> ESCAPES = {{{{0, ESC, "\\\\n"}, {16}, {11, WORD, "\n"}}},
                                         {{{0, ESC, "\\\\t"}, {16}, {11, WORD, "\t"}}},
                                         {{{0, ESC, "\\\\\""}, {16}, {11, WORD, "\""}}},
                                         {{{0, ESC, "\\\\\\\\"}, {16}, {11, WORD, "\\"}}},
                                         {{{0, ESC, "\\\\/"}, {16}, {11, WORD, "/"}}}};
inline const std::vector<rul> QUOTES = {
    {{{0, QUOTE}, {16}, {27}, {4}, {3, QUOTE}, {16}, {28}, {29, WORD}}}};
inline const std::vector<rul> CLEANUP = {{{{0, BLANK}, {16}}}, {{{0, 0}, {16}}}};

struct parser {
  cstr in;
  struct txt_spr spr{};
  txt_anr a1{}, a2{}, a3{};
  stream s1{}, s2{}, out{};
  explicit parser(std::string text) : in(std::move(text)) {
    EXPECT_EQ(txt_spr_set(&spr, &in), 0);
    for (const spr_pat& p : OPT_PATTERNS) {
      cstr pat(p.txt);
      EXPECT_EQ(txt_spr_psh_lst_regexp(&spr, p.typ, &pat, nullptr, nullptr, 0, nullptr, 0), 0);
    }
    EXPECT_EQ(txt_anr_set(&a1, &spr), 0);
    add_rules(&a1, ESCAPES);
    EXPECT_EQ(txt_anr_stream_set(&s1, &a1), 0);
    EXPECT_EQ(_txt_anr_set(&a2, &s1), 0);
    add_rules(&a2, QUOTES);
    EXPECT_EQ(txt_anr_stream_set(&s2, &a2), 0);
    EXPECT_EQ(_txt_anr_set(&a3, &s2), 0);
    add_rules(&a3, CLEANUP);
    EXPECT_EQ(txt_anr_stream_set(&out, &a3), 0);
  }
  // Ending the last stream releases the whole chain; the records' own ends are no-ops then.
  ~parser() {
    stream_end(&out);
    txt_spr_end(&spr);
    txt_anr_end(&a1);
    txt_anr_end(&a2);
    txt_anr_end(&a3);
  }
  parser(const parser&) = delete;
  parser& operator=(const parser&) = delete;
  std::vector<tok> all(int32_t* end = nullptr) {
    std::vector<tok> v;
    txt_anr_elm e{};
    int32_t st;
    while ((st = stream_pop(&out, &e)) == 0) v.emplace_back(e.typ, e.txt);
    if (end != nullptr) *end = st;
    return v;
  }
};

}  // namespace tx
