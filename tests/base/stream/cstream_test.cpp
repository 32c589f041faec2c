// Shift-JIS character streams: decoding, encoding, constructors, replacement, collectors.
#include "base/stream/cstream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>

#include "alloc_util.h"
#include "base/base.h"
#include "stream_fixture.h"
#include "test_util.h"

namespace {

using st::bytes;
using st::fake_src;

class CstreamCode : public st::Fixture {};
class CstreamCollect : public st::Fixture {};
class CstreamReplace : public st::Fixture {};

// Independent reading of the code: lead 0x81-0x9F / 0xE0-0xFC takes the next byte.
std::vector<uint32_t> ref_decode(const std::string& s) {
  std::vector<uint32_t> v;
  for (size_t i = 0; i < s.size(); ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    const bool lead = (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
    if (lead && i + 1 < s.size()) {
      v.push_back(b | static_cast<uint32_t>(static_cast<unsigned char>(s[++i])) << 8);
    } else if (!lead) {
      v.push_back(b);
    }
  }
  return v;
}

std::string ref_encode(const std::vector<uint32_t>& v) {
  std::string s;
  for (uint32_t c : v) {
    s.push_back(static_cast<char>(c & 0xFF));
    if ((c >> 8 & 0xFF) != 0) s.push_back(static_cast<char>(c >> 8 & 0xFF));
  }
  return s;
}

// Random text that is valid Shift-JIS and free of NUL.
std::string random_sjis(std::mt19937& rng, size_t max_chars) {
  std::string s;
  const size_t n = rng() % (max_chars + 1);
  for (size_t i = 0; i < n; ++i) {
    if (rng() % 2 == 0) {
      const unsigned lead = rng() % 2 == 0 ? 0x81 + rng() % 31 : 0xE0 + rng() % 29;
      unsigned trail;
      do trail = 0x40 + rng() % (0xFC - 0x40 + 1);
      while (trail == 0x7F);
      s.push_back(static_cast<char>(lead));
      s.push_back(static_cast<char>(trail));
    } else {
      unsigned b;
      do b = 1 + rng() % 255;
      while ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC));
      s.push_back(static_cast<char>(b));
    }
  }
  return s;
}

TEST_F(CstreamCode, DecodeInPlaceOverTheCallersCursor) {
  // Built in the caller's frame the way the event command and the option scan do it.
  const std::string text = bytes({0x82, 0xA0, 0x41, 0xA0, 0xFD, 0x80, 0xDF, 0xEF, 0x40, 0x82});
  const char* cur = text.c_str();
  stream bs{}, cs{};
  stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  int32_t r;
  const std::vector<uint32_t> want{0xA082, 0x41, 0xA0, 0xFD, 0x80, 0xDF, 0x40EF};
  EXPECT_EQ(st::drain_chars(&cs, &r), want);
  EXPECT_EQ(r, ERR_EOD);   // the lone lead byte at the end is dropped: a clean end
  EXPECT_EQ(err_no, ERR_EOD);
  stream_end(&cs);   // the text table has no end: nothing to free
}

TEST_F(CstreamCode, LeadBytesOfTheExtensionRows) {
  // 髙 FB FC, ⅰ FA 40, 﨑 FA B1, as code page 932 writes them; FD and FF lead nothing.
  const std::string text = bytes({0xFB, 0xFC, 0xFA, 0x40, 0xFA, 0xB1, 0xF0, 0x40, 0xFD, 0x40, 0xFF});
  const char* cur = text.c_str();
  stream bs{}, cs{};
  stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  int32_t r;
  const std::vector<uint32_t> want{0xFCFB, 0x40FA, 0xB1FA, 0x40F0, 0xFD, 0x40, 0xFF};
  EXPECT_EQ(st::drain_chars(&cs, &r), want);
  EXPECT_EQ(r, ERR_EOD);
}

TEST_F(CstreamCode, LeadByteBeforeAFailureKeepsTheCode) {
  fake_src f(bytes({0x41, 0x82, 0x41}));
  f.fail_at = 2;
  f.fail_code = static_cast<int32_t>(0x80000007u);
  stream bs{}, cs{};
  stream_set(&bs, &f, &st::FAKE_OPS);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  int32_t r;
  EXPECT_EQ(st::drain_chars(&cs, &r), std::vector<uint32_t>{0x41});
  EXPECT_EQ(r, static_cast<int32_t>(0x80000007u));
  stream_end(&cs);
  EXPECT_EQ(f.ends, 1);   // ending the character stream ends its byte stream
}

// The character being decoded is registered, so a file's destination check finds it.
TEST_F(CstreamCode, DecodeFromAFileIsNotLogged) {
  tu::tmp_dir d;
  const std::string path = d.file("in.txt");
  {
    FILE* w = std::fopen(path.c_str(), "wb");
    ASSERT_NE(w, nullptr);
    std::fputs(bytes({0x82, 0xA0, 0x41}).c_str(), w);
    std::fclose(w);
  }
  const int rc = tu::in_child([&]() -> int {
    setenv("BAS_MEMLOG_PATH", d.file("memlog.log").c_str(), 1);
    setenv("BAS_MEMLLOG_PATH", d.file("memlightlog.log").c_str(), 1);
    std::freopen("/dev/null", "w", stderr);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return 10;
    rscmng_psh(nullptr, f, 1, 0, __FILE__, __LINE__, "test", "fopen");
    stream bs{}, cs{};
    stream_set(&bs, f, &STREAM_OPS_FILE);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
    int n0 = 0;
    while (mem_log_get(n0) != nullptr) ++n0;
    int32_t r;
    const std::vector<uint32_t> got = st::drain_chars(&cs, &r);
    const bool quiet = mem_log_get(n0) == nullptr;
    stream_end(&cs);   // closes the file
    if (got != std::vector<uint32_t>{0xA082, 0x41}) return 11;
    if (r != ERR_FAIL) return 12;   // a file reports its end as a failure
    return quiet ? 0 : 13;
  });
  EXPECT_EQ(rc, 0);
}

TEST_F(CstreamCode, Encode) {
  fake_src sink("");
  stream bs{}, cs{};
  stream_set(&bs, &sink, &st::FAKE_OPS);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  for (uint32_t c : {0xA082u, 0x41u, 0x0u, 0xFFFF0042u, 0xA0u}) ASSERT_EQ(stream_psh(&cs, &c), 0);
  EXPECT_EQ(sink.pushed, bytes({0x82, 0xA0, 0x41, 0x00, 0x42, 0xA0}));

  // Room for one more byte only: the trail byte is refused and both streams end.
  sink.cap = sink.pushed.size() + 1;
  const uint32_t c = 0x9F88;
  EXPECT_EQ(stream_psh(&cs, &c), ERR_END);
  EXPECT_NE(cs.flg & STREAM_END, 0u);
  EXPECT_NE(bs.flg & STREAM_END, 0u);
  EXPECT_EQ(stream_psh(&cs, &c), ERR_FAIL);
  stream_end(&cs);
}

TEST_F(CstreamCode, Constructors) {
  stream cs{};
  EXPECT_EQ(cstream_default_btoc_set(&cs, nullptr), ERR_FAIL);   // nothing in the slot
  EXPECT_EQ(cs.flg, 0u);

  ASSERT_EQ(cstream_int_set(&cs, INT32_MIN), 0);
  char* s = nullptr;
  ASSERT_EQ(cstream_to_vstr(&cs, &s), 0);
  EXPECT_STREQ(s, "-2147483648");
  _free(&s);

  ASSERT_EQ(cstream_str_set(nullptr, "x"), 0);   // both objects owned, freed at end
  auto* o = static_cast<stream*>(stkptr(nullptr, nullptr));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->flg, STREAM_BND | STREAM_OWN);
  ASSERT_EQ(cstream_to_vstr(o, &s), 0);
  EXPECT_STREQ(s, "x");
  _free(&s);
}

TEST_F(CstreamCollect, RoundTripRandomTexts) {
  std::mt19937 rng(77);
  for (int i = 0; i < 150; ++i) {
    const std::string text = random_sjis(rng, i < 10 ? 2 : 60);
    stream cs{};
    ASSERT_EQ(cstream_str_set(&cs, text.c_str()), 0);
    char* s = reinterpret_cast<char*>(1);
    ASSERT_EQ(cstream_to_vstr(&cs, &s), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), text);
    _free(&s);

    ASSERT_EQ(cstream_str_set(&cs, text.c_str()), 0);
    uint32_t* v = nullptr;
    ASSERT_EQ(cstream_to_vcstr(&cs, &v), 0);
    ASSERT_NE(v, nullptr);
    std::vector<uint32_t> got;
    for (uint32_t* p = v; *p != 0; ++p) got.push_back(*p);
    EXPECT_EQ(got, ref_decode(text));
    _free(&v);
  }
}

TEST_F(CstreamCollect, ToFileLeavesItOpen) {
  tu::tmp_dir d;
  const std::string path = d.file("out.txt");
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::mt19937 rng(5);
  const std::string text = random_sjis(rng, 500);
  stream cs{};
  ASSERT_EQ(cstream_str_set(&cs, text.c_str()), 0);
  EXPECT_EQ(cstream_to_fil(&cs, f), 0);
  EXPECT_EQ(std::fputc('.', f), '.');
  std::fclose(f);
  EXPECT_EQ(tu::slurp(path), text + ".");

  ASSERT_EQ(cstream_str_set(&cs, "a"), 0);
  EXPECT_EQ(cstream_to_fil(&cs, nullptr), ERR_FAIL);
  EXPECT_EQ(cs.flg, 0u);   // ended all the same
}

TEST_F(CstreamCollect, FailingInputLeavesNothing) {
  for (int kind = 0; kind < 3; ++kind) {
    fake_src f("abc");
    f.fail_at = 2;
    stream bs{}, cs{};
    stream_set(&bs, &f, &st::FAKE_OPS);
    stream_set(&cs, &bs, &STREAM_OPS_SJIS);
    void* out = reinterpret_cast<void*>(1);
    int32_t r;
    if (kind == 0) {
      r = cstream_to_vstr(&cs, &out);
    } else if (kind == 1) {
      r = cstream_to_vcstr(&cs, &out);
    } else {
      FILE* n = std::fopen("/dev/null", "wb");
      ASSERT_NE(n, nullptr);
      r = cstream_to_fil(&cs, n);
      std::fclose(n);
      out = nullptr;
    }
    EXPECT_EQ(r, ERR_FAIL) << kind;
    EXPECT_EQ(out, nullptr) << kind;
    EXPECT_EQ(f.ends, 1) << kind;   // the buffer of the collected part is freed too
  }
}

TEST_F(CstreamCollect, LengthsAroundTheCollectorsChunk) {
  // The collectors gather 1024 elements before each append: texts that fill a chunk exactly,
  // with and without the terminator, and one more or less.
  for (const size_t n : {1u, 1022u, 1023u, 1024u, 1025u, 2047u, 2048u, 3000u}) {
    std::string text(n, 'x');
    for (size_t i = 0; i < n; i += 7) text[i] = static_cast<char>('a' + i % 26);
    stream cs{};
    ASSERT_EQ(cstream_str_set(&cs, text.c_str()), 0);
    char* s = nullptr;
    ASSERT_EQ(cstream_to_vstr(&cs, &s), 0) << n;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), text) << n;
    _free(&s);
    ASSERT_EQ(cstream_str_set(&cs, text.c_str()), 0);
    uint32_t* v = nullptr;
    ASSERT_EQ(cstream_to_vcstr(&cs, &v), 0) << n;
    ASSERT_NE(v, nullptr);
    size_t k = 0;
    while (v[k] != 0 && k <= n) {
      EXPECT_EQ(v[k], static_cast<unsigned char>(text[k])) << n << " at " << k;
      ++k;
    }
    EXPECT_EQ(k, n);
    _free(&v);
  }
}

TEST_F(CstreamCode, ArgumentsItCannotUse) {
  uint32_t ch = 0;
  EXPECT_EQ(stream_pop_btoc_sjis(nullptr, &ch), ERR_FAIL);
  EXPECT_EQ(stream_psh_btoc_sjis(nullptr, &ch), ERR_FAIL);
  stream bs{};
  ASSERT_EQ(bstream_str_set(&bs, "a"), 0);
  EXPECT_EQ(stream_pop_btoc_sjis(&bs, nullptr), ERR_FAIL);
  EXPECT_EQ(stream_psh_btoc_sjis(&bs, nullptr), ERR_FAIL);
  stream_end(&bs);
  EXPECT_EQ(cstream_replace_pop(nullptr, &ch), ERR_FAIL);
  cstream_replace_end(nullptr);
  // A collector without a place for its result still ends its input.
  stream cs{};
  ASSERT_EQ(cstream_str_set(&cs, "abc"), 0);
  EXPECT_EQ(cstream_to_vstr(&cs, nullptr), ERR_FAIL);
  EXPECT_EQ(cs.flg, 0u);
  ASSERT_EQ(cstream_str_set(&cs, "abc"), 0);
  EXPECT_EQ(cstream_to_vcstr(&cs, nullptr), ERR_FAIL);
  EXPECT_EQ(cs.flg, 0u);
}

TEST_F(CstreamCode, OverAByteStreamOfTheCallers) {
  // The character stream takes the byte stream over: ending it ends that one too.
  stream bs{}, cs{};
  ASSERT_EQ(bstream_str_set(&bs, "\x82\xA0z"), 0);
  ASSERT_EQ(cstream_default_btoc_set(&cs, &bs), 0);
  uint32_t ch = 0;
  ASSERT_EQ(stream_pop(&cs, &ch), 0);
  EXPECT_EQ(ch, 0xA082u);
  ASSERT_EQ(stream_pop(&cs, &ch), 0);
  EXPECT_EQ(ch, static_cast<uint32_t>('z'));
  stream_end(&cs);
  EXPECT_EQ(bs.flg & STREAM_BND, 0u);
  // When the new object cannot be made, the caller's byte stream stays the caller's.
  const int failed = tu::every_heap_call([] {
    stream b{};
    if (bstream_str_set(&b, "q") != 0) return tu::outcome{err_no, ""};
    const int32_t st = cstream_default_btoc_set(nullptr, &b);
    std::string got;
    if (st != 0) {
      EXPECT_EQ(stkptr(nullptr, nullptr), nullptr);
      EXPECT_NE(b.flg & STREAM_BND, 0u);
      unsigned char c = 0;
      if (stream_pop(&b, &c) == 0) got += static_cast<char>(c);
      stream_end(&b);
      return tu::outcome{st, got};
    }
    auto* o = static_cast<stream*>(stkptr(nullptr, nullptr));
    uint32_t c = 0;
    if (stream_pop(o, &c) == 0) got += static_cast<char>(c);
    stream_end(o);
    return tu::outcome{0, got};
  }, "character stream over the caller's byte stream");
  EXPECT_GE(failed, 1);
}

// Constructors that hand their streams over through the slot, and a replacement over them,
// with every heap call failing in turn.
TEST_F(CstreamReplace, EveryHeapCallFailingInTurn) {
  std::string big(1500, '-');
  big += "a-b";
  const int failed = tu::every_heap_call([&] {
    if (cstream_str_set(nullptr, big.c_str()) != 0) return tu::outcome{err_no, ""};
    auto* in = static_cast<stream*>(stkptr(nullptr, nullptr));
    stream f{}, r{};
    if (cstream_str_set(&f, "-") != 0) {
      stream_end(in);
      return tu::outcome{err_no, ""};
    }
    if (cstream_str_set(&r, "+") != 0) {
      const int32_t e = err_no;
      stream_end(in);
      stream_end(&f);
      return tu::outcome{e, ""};
    }
    if (cstream_replace(nullptr, in, &f, &r) != 0) {
      const int32_t e = err_no;
      stream_end(in);
      return tu::outcome{e, ""};
    }
    auto* rs = static_cast<stream*>(stkptr(nullptr, nullptr));
    char* out = nullptr;
    const int32_t st = cstream_to_vstr(rs, &out);
    std::string t = out != nullptr ? out : "";
    _free(&out);
    return tu::outcome{st, t};
  }, "replacement");
  EXPECT_GT(failed, 10);
}

std::string replace(const std::string& in, const std::string& fnd, const std::string& rep,
                    int32_t* st) {
  stream i{}, f{}, p{}, s{};
  cstream_str_set(&i, in.c_str());
  cstream_str_set(&f, fnd.c_str());
  cstream_str_set(&p, rep.c_str());
  *st = cstream_replace(&s, &i, &f, &p);
  if (*st != 0) {
    stream_end(&i);
    return "?";
  }
  char* out = nullptr;
  *st = cstream_to_vstr(&s, &out);
  std::string t = out != nullptr ? out : "?";
  _free(&out);
  return t;
}

TEST_F(CstreamReplace, Cases) {
  int32_t r;
  EXPECT_EQ(replace("aaa", "aa", "X", &r), "Xa");   // no overlapping second match
  EXPECT_EQ(r, 0);
  EXPECT_EQ(replace("say \"hi\" now", "\"", "\\\"", &r), "say \\\"hi\\\" now");
  EXPECT_EQ(replace("ab", "abc", "X", &r), "ab");   // pattern longer than the input
  EXPECT_EQ(replace("", "a", "X", &r), "");
  EXPECT_EQ(replace("abcabc", "b", "", &r), "acac");   // removal
  EXPECT_EQ(replace("aba", "a", "aa", &r), "aabaa");   // a replacement is never searched
  EXPECT_EQ(replace("xabc", "abc", "", &r), "x");
  // A pattern byte that is only the trail byte of a double-byte character is no match.
  EXPECT_EQ(replace(bytes({0x82, 0x61, 0x61}), "a", "b", &r), bytes({0x82, 0x61, 0x62}));
  EXPECT_EQ(replace(bytes({0x41, 0x82, 0xA0, 0x41}), bytes({0x82, 0xA0}), bytes({0xE0, 0x40}), &r),
            bytes({0x41, 0xE0, 0x40, 0x41}));
}

TEST_F(CstreamReplace, EmptyPatternRefusedAndEverythingReleased) {
  cstream_str_set(nullptr, "");
  stream* f = static_cast<stream*>(stkptr(nullptr, nullptr));
  cstream_str_set(nullptr, "r");
  stream* p = static_cast<stream*>(stkptr(nullptr, nullptr));
  stream i{}, s{};
  cstream_str_set(&i, "abc");
  EXPECT_EQ(cstream_replace(&s, &i, f, p), ERR_FAIL);   // f and p are consumed (freed)
  EXPECT_EQ(s.flg, 0u);
  EXPECT_EQ(stream_chk(&i), 0);   // the input stays with the caller
  stream_end(&i);

  // Through the hand-over slot; ending the result ends the input.
  cstream_str_set(&i, "abc");
  cstream_str_set(nullptr, "b");
  f = static_cast<stream*>(stkptr(nullptr, nullptr));
  cstream_str_set(nullptr, "B");
  p = static_cast<stream*>(stkptr(nullptr, nullptr));
  ASSERT_EQ(cstream_replace(nullptr, &i, f, p), 0);
  auto* o = static_cast<stream*>(stkptr(nullptr, nullptr));
  ASSERT_NE(o, nullptr);
  char* out = nullptr;
  ASSERT_EQ(cstream_to_vstr(o, &out), 0);
  EXPECT_STREQ(out, "aBc");
  EXPECT_EQ(i.flg, 0u);
  _free(&out);
}

// Left-to-right, non-overlapping replacement over characters, as a reference.
std::vector<uint32_t> ref_replace(const std::vector<uint32_t>& in, const std::vector<uint32_t>& f,
                                  const std::vector<uint32_t>& r) {
  std::vector<uint32_t> out;
  for (size_t i = 0; i < in.size();) {
    if (i + f.size() <= in.size() && std::equal(f.begin(), f.end(), in.begin() + i)) {
      out.insert(out.end(), r.begin(), r.end());
      i += f.size();
    } else {
      out.push_back(in[i++]);
    }
  }
  return out;
}

TEST_F(CstreamReplace, MatchesTheReference) {
  std::mt19937 rng(11);
  const std::vector<uint32_t> alpha{'a', 'b', 0xA082};
  auto pick = [&](size_t lo, size_t hi) {
    std::vector<uint32_t> v(lo + rng() % (hi - lo + 1));
    for (uint32_t& c : v) c = alpha[rng() % alpha.size()];
    return v;
  };
  for (int k = 0; k < 250; ++k) {
    const auto in = pick(0, 30), f = pick(1, 4), r = pick(0, 3);
    int32_t st;
    const std::string got = replace(ref_encode(in), ref_encode(f), ref_encode(r), &st);
    ASSERT_EQ(st, 0);
    ASSERT_EQ(got, ref_encode(ref_replace(in, f, r))) << ref_encode(in) << " / " << ref_encode(f);
  }
}

}  // namespace
