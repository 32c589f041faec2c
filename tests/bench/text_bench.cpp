// The text engine against the plain C++ way of doing the same work: every match of a word or
// a blank run in 1 MB of prose (std::regex, ECMAScript), and the option notation cut into
// tokens by the parser's eleven patterns (a hand-written tokenizer loop).
#include <benchmark/benchmark.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "base/base.h"
#include "bench/instr_count.h"

namespace {

constexpr size_t MB = 1 << 20;

// English-like prose, deterministic.
std::string prose(size_t bytes) {
  static const char* const words[] = {
      "the",   "quick", "brown",  "fox",    "jumps",   "over",      "a",       "lazy",
      "dog",   "while", "kestrel", "watches", "devices", "around",   "the",     "machine",
      "and",   "when",  "one",    "comes",  "or",      "goes",      "it",      "prints",
      "a",     "line",  "with",   "its",    "address", "Bluetooth", "name_2",  "state"};
  static const char* const gaps[] = {" ", " ", " ", " ", ", ", ". ", "  ", "\t", ";\n", " "};
  std::string s;
  s.reserve(bytes + 16);
  for (size_t i = 0; s.size() < bytes; ++i) {
    s += words[(i * 13 + i / 7) % 32];
    s += gaps[(i * 7 + i / 3) % 10];
  }
  s.resize(bytes);
  return s;
}

// Option notation as the command line gives it.
std::string options(size_t bytes) {
  static const char* const parts[] = {"/t=5 ", "/cmdon=\"notepad.exe @name@ @onoff@\" ",
                                      "/fp ", "/c=3;", "/cmdoff=a\\\"b\\\\c ", "x/y=1[z=2]\n",
                                      "/dbgcnt\t", "/nfp #note\n"};
  std::string s;
  for (size_t i = 0; s.size() < bytes; ++i) s += parts[(i * 5 + i / 3) % 8];
  s.resize(bytes);
  return s;
}

// ---- every match of a pattern ----

// Every match of pattern in text; -1 for a pattern that does not compile.
long run_all(const char* pattern, const std::string& text) {
  txt_mtc_chk chk{};
  const char* pc = pattern;
  stream pb{}, ps{};
  stream_set(&pb, &pc, &STREAM_OPS_STR_CUR);
  stream_set(&ps, &pb, &STREAM_OPS_SJIS);
  if (regexp_chk(&chk, &ps, nullptr) != 0) return -1;
  const char* cur = text.c_str();
  stream bs{}, cs{};
  stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  long n = 0;
  while (txt_mtc(&chk, &cs) == 0) {
    ++n;
    txt_mtc_chk_rst(&chk);
  }
  txt_mtc_chk_end(&chk);
  return n;
}

void kestrel_all(benchmark::State& st, const char* pattern) {
  const std::string text = prose(MB);
  long n = 0;
  for (auto _ : st) {
    n = run_all(pattern, text);
    if (n < 0) {
      st.SkipWithError("pattern");
      break;
    }
    benchmark::DoNotOptimize(n);
  }
  st.counters["matches"] = static_cast<double>(n);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
  // One more run, its instrumentation counted per byte.
  bench::instr_per(st, "byte", static_cast<double>(text.size()), [&] { run_all(pattern, text); });
}

void baseline_all(benchmark::State& st, const char* pattern) {
  const std::string text = prose(MB);
  const std::regex re(pattern, std::regex::ECMAScript);
  size_t n = 0;
  for (auto _ : st) {
    n = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
         ++it)
      ++n;
    benchmark::DoNotOptimize(n);
  }
  st.counters["matches"] = static_cast<double>(n);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
}

// ---- the splitter with the option patterns ----

struct pat {
  uint32_t typ;
  const char* txt;
};
constexpr pat PATTERNS[] = {{1, "[a-zA-Z0-9_]+"}, {2, "\\\\."}, {16, "#"},   {17, "/"},
                            {18, "="},            {19, "\""},   {788, "\\["}, {789, "\\]"},
                            {278, ";"},           {0x20000120, "\n"}, {0x20000021, "[ \t]+"}};

// Every token of text through the option patterns.
long run_split(const std::string& text) {
  const char* cur = text.c_str();
  stream bs{}, cs{};
  stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  struct txt_spr spr{};
  txt_spr_set(&spr, &cs);
  for (const pat& p : PATTERNS) {
    const char* pc = p.txt;
    stream pb{}, ps{};
    stream_set(&pb, &pc, &STREAM_OPS_STR_CUR);
    stream_set(&ps, &pb, &STREAM_OPS_SJIS);
    txt_spr_psh_lst_regexp(&spr, p.typ, &ps, nullptr, nullptr, 0, nullptr, 0);
  }
  txt_spr_tok tok{};
  long n = 0;
  while (txt_spr(&spr, &tok) == 0) ++n;
  txt_spr_end(&spr);
  return n;
}

void kestrel_split(benchmark::State& st) {
  const std::string text = options(MB);
  long n = 0;
  for (auto _ : st) {
    n = run_split(text);
    benchmark::DoNotOptimize(n);
  }
  st.counters["tokens"] = static_cast<double>(n);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
  bench::instr_per(st, "byte", static_cast<double>(text.size()), [&] { run_split(text); });
}

// The same tokens by hand: a loop over the bytes with the eleven token kinds written out,
// Shift-JIS pairs kept together, text no kind takes gathered.
struct hand_tok {
  uint32_t typ;
  std::string txt;
};

bool word_chr(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

size_t hand_split(const std::string& s, std::vector<hand_tok>& out) {
  out.clear();
  std::string other;
  auto flush = [&] {
    if (!other.empty()) out.push_back({0, std::move(other)});
    other.clear();
  };
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t j = i + 1;
    uint32_t typ = 0;
    if (word_chr(c)) {
      while (j < n && word_chr(static_cast<unsigned char>(s[j]))) ++j;
      typ = 1;
    } else if (c == ' ' || c == '\t') {
      while (j < n && (s[j] == ' ' || s[j] == '\t')) ++j;
      typ = 0x20000021;
    } else if (c == '\\' && j < n && s[j] != '\n') {
      const auto d = static_cast<unsigned char>(s[j]);
      j += ((d >= 0x81 && d <= 0x9F) || (d >= 0xE0 && d <= 0xEF)) && j + 1 < n ? 2 : 1;
      typ = 2;
    } else {
      switch (c) {
        case '#': typ = 16; break;
        case '/': typ = 17; break;
        case '=': typ = 18; break;
        case '"': typ = 19; break;
        case '[': typ = 788; break;
        case ']': typ = 789; break;
        case ';': typ = 278; break;
        case '\n': typ = 0x20000120; break;
        default:
          if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xEF)) && j < n) ++j;
          other.append(s, i, j - i);
          i = j;
          continue;
      }
    }
    flush();
    out.push_back({typ, s.substr(i, j - i)});
    i = j;
  }
  flush();
  return out.size();
}

void baseline_split(benchmark::State& st) {
  const std::string text = options(MB);
  std::vector<hand_tok> toks;
  size_t n = 0;
  for (auto _ : st) {
    n = hand_split(text, toks);
    benchmark::DoNotOptimize(n);
  }
  st.counters["tokens"] = static_cast<double>(n);
  st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * text.size()));
}

const int registered = [] {
  for (const char* p : {"[a-zA-Z0-9_]+", "[ \t]+"}) {
    const std::string row = std::string("txt_mtc ") + (p[1] == ' ' ? "[ \\t]+" : p) + " 1MB prose";
    benchmark::RegisterBenchmark((row + "/kestrel").c_str(), kestrel_all, p)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((row + "/baseline").c_str(), baseline_all, p)
        ->Unit(benchmark::kMillisecond);
  }
  const std::string row = "txt_spr 11 option patterns 1MB options";
  benchmark::RegisterBenchmark((row + "/kestrel").c_str(), kestrel_split)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark((row + "/baseline").c_str(), baseline_split)
      ->Unit(benchmark::kMillisecond);
  return 0;
}();

}  // namespace
