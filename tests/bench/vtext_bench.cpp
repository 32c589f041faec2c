// The variant text notation against the plain C++ way of doing the same work: 1 MB of option
// notation read into a nested map (a hand-written parser of the same notation into a tree of
// std::map), and a 10,000-entry nested map written out in group mode and read back (the same
// tree of std::map written with plain string appends and read by that parser).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/base.h"

namespace {

constexpr size_t MB = 1 << 20;
constexpr int kEntries = 10000;

// Option notation: words, quoted texts with escapes, Shift-JIS, paths, groups, comments and
// blanks, separated by semicolons and line ends. Keys come round again as options do (64 of
// each kind), so that the map stays small and the text is what is measured.
std::string options(size_t bytes) {
  std::string s;
  char buf[160];
  for (int i = 0; s.size() < bytes; ++i) {
    const int k = (i / 6) % 64;
    switch (i % 6) {
      case 0: std::snprintf(buf, sizeof buf, "t%d=5;fp%d\n", k, k); break;
      case 1: std::snprintf(buf, sizeof buf, "cmdon%d=\"notepad.exe @name@ @onoff@\"\n", k); break;
      case 2: std::snprintf(buf, sizeof buf, "cmdoff%d = \"a\\\"b\\\\c\\n\" ; c%d=3\n", k, k); break;
      case 3: std::snprintf(buf, sizeof buf, "x%d/y/z=1\nx%d[w=2;v]\n", k, k); break;
      case 4: std::snprintf(buf, sizeof buf, "#note\ndbgcnt%d\t;nfp%d\n", k, k); break;
      default: std::snprintf(buf, sizeof buf, "k%d=\"\x82\xA0\x82\xA2 %d\"\n", k, i); break;
    }
    s += buf;
  }
  // Cut at a line end, so that the text is whole statements.
  s.resize(s.rfind('\n', bytes) + 1);
  return s;
}

// ---- the plain C++ tree, its writer and its parser ----

struct node {
  std::optional<std::string> val;
  std::map<std::string, node> kids;
};

size_t count(const node& n) {
  size_t c = 0;
  for (const auto& [k, v] : n.kids) c += 1 + count(v);
  return c;
}

bool word_chr(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}
bool lead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// A hand-written reader of the notation: words, quoted texts and their escapes, paths, groups,
// separators; characters outside the notation dropped. false on a malformed statement.
class hand_parser {
 public:
  explicit hand_parser(const std::string& s) : s_(s) {}

  bool parse(node* root) {
    std::vector<node*> stk = {root};
    node* anchor = root;
    tok t = next();
    while (t.k != END) {
      if (t.k == WORD) {
        node* prn = stk.back();
        std::string key = t.txt;
        t = next();
        while (t.k == SLASH) {
          prn = &prn->kids[key];
          t = next();
          if (t.k != WORD) return false;
          key = t.txt;
          t = next();
        }
        node* e = &prn->kids[key];
        anchor = e;
        if (t.k == EQ) {
          t = next();
          if (t.k != WORD) return false;
          e->val = t.txt;
          t = next();
          if (t.k != END && t.k != SEP && t.k != OPEN && t.k != CLOSE) return false;
        }
        if (t.k != OPEN && t.k != CLOSE && t.k != END) t = next();
        continue;
      }
      if (t.k == OPEN) {
        stk.push_back(anchor);
      } else if (t.k == CLOSE) {
        if (stk.size() == 1) return false;
        stk.pop_back();
      } else if (t.k != SEP && t.k != HASH) {
        return false;
      }
      t = next();
    }
    return true;
  }

 private:
  enum kind { END, WORD, SLASH, EQ, OPEN, CLOSE, SEP, HASH, OTHER };
  struct tok {
    kind k;
    std::string txt;
  };

  // The character an escape stands for, or 0.
  static char esc(char c) {
    switch (c) {
      case 'n': return '\n';
      case 't': return '\t';
      case '"': return '"';
      case '\\': return '\\';
      case '/': return '/';
      default: return 0;
    }
  }

  tok next() {
    for (;;) {
      if (i_ >= s_.size()) return {END, {}};
      const auto c = static_cast<unsigned char>(s_[i_]);
      if (word_chr(c)) {
        const size_t b = i_;
        while (i_ < s_.size() && word_chr(static_cast<unsigned char>(s_[i_]))) ++i_;
        return {WORD, s_.substr(b, i_ - b)};
      }
      ++i_;
      switch (c) {
        case ' ': case '\t': continue;
        case '/': return {SLASH, {}};
        case '=': return {EQ, {}};
        case '[': return {OPEN, {}};
        case ']': return {CLOSE, {}};
        case ';': case '\n': return {SEP, {}};
        case '#': return {HASH, {}};
        case '\\':
          if (i_ < s_.size() && esc(s_[i_]) != 0) return {WORD, std::string(1, esc(s_[i_++]))};
          return {OTHER, {}};
        case '"': {
          std::string t;
          while (i_ < s_.size() && s_[i_] != '"') {
            const auto d = static_cast<unsigned char>(s_[i_]);
            if (d == '\\' && i_ + 1 < s_.size() && esc(s_[i_ + 1]) != 0) {
              t += esc(s_[i_ + 1]);
              i_ += 2;
            } else if (lead(d) && i_ + 1 < s_.size()) {
              t.append(s_, i_, 2);
              i_ += 2;
            } else {
              t += s_[i_++];
            }
          }
          if (i_ >= s_.size()) return {OTHER, {}};
          ++i_;
          return {WORD, t};
        }
        default:
          if (lead(c) && i_ < s_.size()) ++i_;
          continue;   // dropped
      }
    }
  }

  const std::string& s_;
  size_t i_ = 0;
};

void quoted(std::string& out, const std::string& t) {
  bool plain = !t.empty();
  for (const char c : t) plain = plain && word_chr(static_cast<unsigned char>(c));
  if (plain) {
    out += t;
    return;
  }
  out += '"';
  for (size_t i = 0; i < t.size(); ++i) {
    const auto c = static_cast<unsigned char>(t[i]);
    if (lead(c) && i + 1 < t.size()) {
      out.append(t, i++, 2);
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
}

// Group mode, as the library writes it.
void hand_write(std::string& out, const node& n, size_t depth) {
  for (const auto& [k, v] : n.kids) {
    out.append(depth, '\t');
    quoted(out, k);
    if (v.val) {
      out += '=';
      quoted(out, *v.val);
    }
    out += '\n';
    if (!v.kids.empty()) {
      out.append(depth, '\t');
      out += "[\n";
      hand_write(out, v, depth + 1);
      out.append(depth, '\t');
      out += "]\n";
    }
  }
}

// ---- 1 MB of options ----

size_t vmap_count(vmap* vm) {
  vmap_itr itr{};
  vmap_rng_pop_set(vm, nullptr, VMAP_RNG_CTL, &itr);
  vtyp* e = nullptr;
  size_t n = 0;
  while (vmap_rng_pop(&itr, &e, 1) == 0) ++n;
  vmap_rng_pop_end(&itr);
  return n;
}

int32_t kestrel_read(const std::string& text, vmap* vm) {
  const char* cur = text.c_str();
  stream bs{}, cs{};
  stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  return _vmap_cstream(vm, nullptr, &cs, 0);
}

void kestrel_options(benchmark::State& st) {
  const std::string text = options(MB);
  size_t n = 0;
  for (auto _ : st) {
    vmap vm{};
    vmap_set(&vm, VMAP_NST);
    if (kestrel_read(text, &vm) != 0) {
      st.SkipWithError("parse");
      break;
    }
    st.PauseTiming();
    n = vmap_count(&vm);
    vmap_end(&vm);
    st.ResumeTiming();
  }
  st.counters["entries"] = static_cast<double>(n);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
}

void baseline_options(benchmark::State& st) {
  const std::string text = options(MB);
  size_t n = 0;
  for (auto _ : st) {
    node root;
    if (!hand_parser(text).parse(&root)) {
      st.SkipWithError("parse");
      break;
    }
    st.PauseTiming();
    n = count(root);
    { node gone = std::move(root); }
    st.ResumeTiming();
  }
  st.counters["entries"] = static_cast<double>(n);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
}

// ---- a 10,000-entry nested map written and read back ----

// 100 devices under 10 rooms, each with 9 readings: 10 + 100 + 9,890... cut at kEntries.
// Values: words, texts that need quotes, integers (some negative), keys without value.
struct tree_src {
  std::vector<std::vector<std::string>> paths;
  std::vector<std::optional<std::string>> txt;
  std::vector<int32_t> num;
  std::vector<int> kind;   // 0 text, 1 integer, 2 none
  tree_src() {
    char k[64], v[96];
    for (int r = 0; paths.size() < kEntries; ++r) {
      std::snprintf(k, sizeof k, "room_%d", r);
      add({k}, r);
      for (int d = 0; d < 10 && paths.size() < kEntries; ++d) {
        std::snprintf(v, sizeof v, "%012X-dev %d", 0x1A2B3C00 + r * 10 + d, d);
        add({k, v}, r + d);
        for (int x = 0; x < 99 && paths.size() < kEntries; ++x) {
          char c[32];
          std::snprintf(c, sizeof c, "reading%d", x);
          add({k, v, c}, r * 1000 + d * 100 + x);
        }
      }
    }
  }
  void add(std::vector<std::string> p, int i) {
    paths.push_back(std::move(p));
    kind.push_back(i % 4 == 3 ? 2 : i % 2);
    char v[64];
    std::snprintf(v, sizeof v, i % 3 == 0 ? "ON" : "at \"%d\"\\", i);
    txt.emplace_back(v);
    num.push_back(i % 5 == 0 ? -i : i);
  }
};

const tree_src& src() {
  static tree_src s;
  return s;
}

void kestrel_tree(vmap* vm) {
  const tree_src& s = src();
  vmap_set(vm, VMAP_NST);
  std::map<std::vector<std::string>, vtyp*> ent;
  for (size_t i = 0; i < s.paths.size(); ++i) {
    const auto& p = s.paths[i];
    vtyp* prn = nullptr;
    if (p.size() > 1) prn = ent[std::vector<std::string>(p.begin(), p.end() - 1)];
    vtyp* e = nullptr;
    if (s.kind[i] == 0) _vmap_put_str_str(vm, prn, p.back().c_str(), s.txt[i]->c_str(), &e, 0);
    if (s.kind[i] == 1) _vmap_put_str_int(vm, prn, p.back().c_str(), s.num[i], &e, 0);
    if (s.kind[i] == 2) _vmap_put_str_nul(vm, prn, p.back().c_str(), &e, 0);
    ent[p] = e;
  }
}

void hand_tree(node* root) {
  const tree_src& s = src();
  for (size_t i = 0; i < s.paths.size(); ++i) {
    node* n = root;
    for (const auto& k : s.paths[i]) n = &n->kids[k];
    if (s.kind[i] == 0) n->val = *s.txt[i];
    if (s.kind[i] == 1) n->val = std::to_string(s.num[i]);
  }
}

void kestrel_round(benchmark::State& st) {
  vmap vm{};
  kestrel_tree(&vm);
  size_t n = 0, bytes = 0;
  for (auto _ : st) {
    cstream_vtyp_opt opt{0, 0, 0, CSTREAM_VTYP_GRP};
    stream s{};
    char* txt = nullptr;
    if (cstream_vmap_set(&s, &vm, nullptr, VMAP_RNG_CTL, &opt) != 0 || cstream_to_vstr(&s, &txt) != 0) {
      st.SkipWithError("write");
      break;
    }
    const std::string text = txt;
    _free(&txt);
    vmap back{};
    vmap_set(&back, VMAP_NST);
    if (kestrel_read(text, &back) != 0) {
      st.SkipWithError("read");
      break;
    }
    st.PauseTiming();
    n = vmap_count(&back);
    bytes = text.size();
    vmap_end(&back);
    st.ResumeTiming();
  }
  vmap_end(&vm);
  st.counters["entries"] = static_cast<double>(n);
  st.counters["bytes"] = static_cast<double>(bytes);
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * kEntries));
  st.SetLabel("entries");
}

void baseline_round(benchmark::State& st) {
  node tree;
  hand_tree(&tree);
  size_t n = 0, bytes = 0;
  for (auto _ : st) {
    std::string text;
    hand_write(text, tree, 0);
    node back;
    if (!hand_parser(text).parse(&back)) {
      st.SkipWithError("read");
      break;
    }
    st.PauseTiming();
    n = count(back);
    bytes = text.size();
    { node gone = std::move(back); }
    st.ResumeTiming();
  }
  st.counters["entries"] = static_cast<double>(n);
  st.counters["bytes"] = static_cast<double>(bytes);
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations() * kEntries));
  st.SetLabel("entries");
}

const int registered = [] {
  std::string row = "vtext read 1MB options";
  benchmark::RegisterBenchmark((row + "/kestrel").c_str(), kestrel_options)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((row + "/baseline").c_str(), baseline_options)->Unit(benchmark::kMillisecond);
  row = "vtext write+read 10000-entry nested map";
  benchmark::RegisterBenchmark((row + "/kestrel").c_str(), kestrel_round)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((row + "/baseline").c_str(), baseline_round)->Unit(benchmark::kMillisecond);
  return 0;
}();

}  // namespace
