// Random patterns of the supported grammar, their text, and a plain backtracking reference
// that enumerates every match with the meaning the matcher promises: `.` takes anything but a
// line feed, `?` and `*` may skip their atom, a braced count needs at least one occurrence,
// `^` holds at the start or after a line feed, `$` before a line feed or at the end.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace rg {

inline constexpr uint32_t LF = 10;
inline constexpr uint32_t UNB = 0xFFFFFFFFu;

// Character codes as the Shift-JIS streams deliver them: a double-byte character is
// lead + 256 * trail.
inline constexpr uint32_t SJ_A = 0x82 | 0xA0 << 8;   // あ
inline constexpr uint32_t SJ_I = 0x82 | 0xA2 << 8;   // い
inline constexpr uint32_t SJ_SMALL_I = 0x82 | 0xA1 << 8;   // ぃ, between the two

inline std::string enc(uint32_t c) {
  std::string s(1, static_cast<char>(c & 0xFF));
  if (c > 0xFF) s.push_back(static_cast<char>(c >> 8));
  return s;
}
inline std::string enc(const std::vector<uint32_t>& v) {
  std::string s;
  for (uint32_t c : v) s += enc(c);
  return s;
}

struct rng {
  uint32_t lo, hi;
};
struct cls {
  bool neg = false;
  std::vector<rng> m;
  bool has(uint32_t c) const {
    bool r = neg;
    for (const rng& x : m)
      if (x.lo <= c && c <= x.hi) r = !neg;
    return r;
  }
};

struct item;
using seq = std::vector<item>;
struct item {
  enum knd_t { ATOM, GROUP, BOL, EOL } knd = ATOM;
  cls c;
  uint32_t mn = 1, mx = 1;   // occurrences of the atom
  std::vector<seq> alts;     // GROUP
};

struct pat {
  std::vector<seq> alts;
  std::string text;   // Shift-JIS bytes
};

// ---- the reference ----

struct ref {
  const std::vector<uint32_t>& in;

  void ends(const seq& s, size_t i, uint32_t pos, std::set<uint32_t>& out) const {
    if (i == s.size()) {
      out.insert(pos);
      return;
    }
    const item& it = s[i];
    const uint32_t len = static_cast<uint32_t>(in.size());
    switch (it.knd) {
      case item::BOL:
        if (pos == 0 || in[pos - 1] == LF) ends(s, i + 1, pos, out);
        return;
      case item::EOL:
        if (pos == len || in[pos] == LF) ends(s, i + 1, pos, out);
        return;
      case item::GROUP:
        for (const seq& a : it.alts) {
          std::set<uint32_t> mid;
          ends(a, 0, pos, mid);
          for (uint32_t m : mid) ends(s, i + 1, m, out);
        }
        return;
      case item::ATOM: {
        if (it.mn == 0) ends(s, i + 1, pos, out);
        uint32_t p = pos;
        for (uint32_t k = 1; k <= it.mx && p < len && it.c.has(in[p]); ++k) {
          ++p;
          if (k >= it.mn) ends(s, i + 1, p, out);
        }
        return;
      }
    }
  }

  // Every end of a match that starts at s.
  std::set<uint32_t> ends_from(const pat& p, uint32_t s) const {
    std::set<uint32_t> e;
    for (const seq& a : p.alts) ends(a, 0, s, e);
    return e;
  }

  // The leftmost start with a match (only 0 when anchored), and the longest or the shortest
  // end from it.
  std::optional<std::pair<uint32_t, uint32_t>> leftmost(const pat& p, bool longest,
                                                        bool anchored = false) const {
    for (uint32_t s = 0; s <= (anchored ? 0 : in.size()); ++s) {
      const std::set<uint32_t> e = ends_from(p, s);
      if (!e.empty()) return std::make_pair(s, longest ? *e.rbegin() : *e.begin());
    }
    return std::nullopt;
  }
  std::optional<std::pair<uint32_t, uint32_t>> leftmost_longest(const pat& p) const {
    return leftmost(p, true);
  }
};

// ---- generation ----

struct gen {
  std::mt19937 rng_;
  bool dense = false;   // many overlapping repeats: where equal threads pile up
  // Alternatives that overlap and never match the empty text: many starts stay live together
  // and race to the end.
  bool race = false;
  bool anchors = true;   // ^ and $ may appear

  explicit gen(uint32_t seed) : rng_(seed) {}
  uint32_t pick(uint32_t n) { return static_cast<uint32_t>(rng_() % n); }

  uint32_t lit_chr() {
    static const uint32_t v[] = {'a', 'b', 'c', LF, SJ_A, '.'};
    return dense || race ? (pick(2) == 0 ? 'a' : 'b') : v[pick(6)];
  }
  // Appends the parts one by one (a chain of + trips a false -Wrestrict of GCC 12 at -O3).
  static void app(std::string& t, std::initializer_list<std::string> parts) {
    for (const std::string& x : parts) t += x;
  }
  static std::string lit_txt(uint32_t c, bool in_cls) {
    if (c == LF) return "\\n";
    if (!in_cls && c == '.') return "\\.";
    return enc(c);
  }

  void atom(item& it, std::string& t) {
    it.knd = item::ATOM;
    const uint32_t k = race ? 1 + 2 * pick(2) : pick(dense ? 3 : 4);
    if (k == 0) {   // .
      it.c = {true, {{LF, LF}}};
      t += ".";
    } else if (k == 1) {   // a bracketed class
      it.c.neg = pick(4) == 0;
      t += it.c.neg ? "[^" : "[";
      const uint32_t n = 1 + pick(3);
      for (uint32_t i = 0; i < n; ++i) {
        if (pick(3) == 0) {
          const bool sj = !dense && !race && pick(3) == 0;
          const rng r = sj ? rng{SJ_A, SJ_I} : rng{'a', 'b' + pick(2)};
          it.c.m.push_back(r);
          t += enc(r.lo) + "-" + enc(r.hi);
        } else {
          const uint32_t c = lit_chr();
          it.c.m.push_back({c, c});
          t += lit_txt(c, true);
        }
      }
      t += "]";
    } else {   // a literal
      const uint32_t c = lit_chr();
      it.c = {false, {{c, c}}};
      t += lit_txt(c, false);
    }
    // The repeat.
    const uint32_t q = race ? (pick(2) == 0 ? 9 : 1 + 2 * pick(3)) : pick(dense ? 5 : 9);
    std::string sp = pick(4) == 0 ? " " : "";
    switch (q) {
      case 0:
        it.mn = 0, it.mx = UNB, t += "*";
        break;
      case 1:
        it.mn = 1, it.mx = UNB, t += "+";
        break;
      case 2:
        it.mn = 0, it.mx = 1, t += "?";
        break;
      case 3: {
        const uint32_t lo = 1 + pick(3);
        it.mn = lo, it.mx = lo;
        app(t, {"{", sp, std::to_string(lo), "}"});
        break;
      }
      case 4: {
        const uint32_t lo = pick(3);
        it.mn = lo == 0 ? 1 : lo, it.mx = UNB;
        app(t, {"{", std::to_string(lo), sp, ",", sp, "}"});
        break;
      }
      case 5: {
        const uint32_t lo = race ? 1 : pick(3);
        const uint32_t hi = lo + pick(3) + (lo == 0 ? 1 : 0);
        it.mn = lo == 0 ? 1 : lo, it.mx = hi;
        app(t, {"{", sp, std::to_string(lo), ",", std::to_string(hi), sp, "}"});
        break;
      }
      default:
        break;
    }
  }

  void items(seq& s, std::string& t, uint32_t max, bool groups) {
    const uint32_t n = race ? 1 + pick(max) : pick(max + 1);
    for (uint32_t i = 0; i < n; ++i) {
      item it;
      const uint32_t k = race ? 2 + pick(3) : pick(dense ? 12 : 10);
      if (k == 0 && !dense && anchors) {
        it.knd = item::BOL;
        t += "^";
      } else if (k == 1 && !dense && anchors) {
        it.knd = item::EOL;
        t += "$";
      } else if (k == 2 && groups) {
        it.knd = item::GROUP;
        t += "(";
        const uint32_t na = (race ? 2 : 1) + pick(3);
        for (uint32_t a = 0; a < na; ++a) {
          if (a > 0) t += "|";
          it.alts.emplace_back();
          items(it.alts.back(), t, race ? 2 : 3, false);
        }
        t += ")";
      } else {
        atom(it, t);
      }
      s.push_back(std::move(it));
    }
  }

  // A top-level alternative can only follow one without a group, so groups go in the last.
  pat pattern() {
    pat p;
    const uint32_t na = pick(4) == 0 ? 2 + pick(2) : 1;
    for (uint32_t a = 0; a < na; ++a) {
      if (a > 0) p.text += "|";
      p.alts.emplace_back();
      items(p.alts.back(), p.text, dense ? 5 : 4, a + 1 == na);
    }
    if (p.text.empty()) return pattern();   // the empty pattern compiles to nothing
    return p;
  }

  std::vector<uint32_t> input(uint32_t max, uint32_t min = 0) {
    static const uint32_t v[] = {'a', 'b', 'c', LF, SJ_A, SJ_I, SJ_SMALL_I, '.'};
    std::vector<uint32_t> in(min + pick(max - min + 1));
    for (uint32_t& c : in) c = dense || race ? (pick(4) == 0 ? 'b' : 'a') : v[pick(8)];
    return in;
  }
};

}  // namespace rg
