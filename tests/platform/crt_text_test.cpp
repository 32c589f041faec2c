// The "%ls" stand-in: what reaches the console for a device name, and that it never overflows.
#include "platform/crt_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Converts into a buffer fenced by canary bytes; fails the test when a canary changes.
std::string cnv(const std::u16string& s, size_t cap, size_t src_max = 248) {
  constexpr char FENCE = '\x5A';
  std::string mem(cap + 16, FENCE);
  char* dst = mem.data() + 8;
  const size_t n = crt_ls_cnv(dst, cap, s.c_str(), src_max);
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(mem[i], FENCE) << "written before the buffer";
  for (size_t i = 8 + cap; i < mem.size(); ++i) EXPECT_EQ(mem[i], FENCE) << "written past the buffer";
  if (cap == 0) {
    EXPECT_EQ(n, 0u);
    return {};
  }
  EXPECT_LT(n, cap);
  EXPECT_EQ(dst[n], '\0');
  return std::string(dst, n);
}

std::string cnv(const std::u16string& s) { return cnv(s, 256); }

TEST(CrtText, AsciiPassesUnchanged) {
  EXPECT_EQ(cnv(u"Pixel 7a (Work)"), "Pixel 7a (Work)");
  EXPECT_EQ(cnv(u"a\\b~c"), "a\x5C" "b\x7E" "c");
  EXPECT_EQ(cnv(u""), "");
}

TEST(CrtText, ControlCharactersBecomeQuestionMarks) {
  // A name must not forge a state line of its own, nor move the terminal's cursor.
  EXPECT_EQ(cnv(u"x=ON\n060504030201-evil"), "x=ON?060504030201-evil");
  EXPECT_EQ(cnv(u"a\rb\tc\x1B[2Jd\x7F\x01\x1F"), "a?b?c?[2Jd???");
  EXPECT_EQ(cnv(u"\x20~\x80"), " ~?") << "blank and tilde stay; U+0080 has no CP932 code";
}

TEST(CrtText, JapaneseBecomesCp932) {
  EXPECT_EQ(cnv(u"電話"), "\x93\x64\x98\x62");
  EXPECT_EQ(cnv(u"ｱ"), "\xB1");  // half-width katakana: one byte
  EXPECT_EQ(cnv(u"A電1"), "A\x93\x64" "1");
  // Code page 932 rather than plain Shift_JIS: its NEC and IBM extensions and its own
  // mappings of the wave dash and minus sign.
  EXPECT_EQ(cnv(u"①"), "\x87\x40");
  EXPECT_EQ(cnv(u"髙"), "\xFB\xFC");
  EXPECT_EQ(cnv(u"～−"), "\x81\x60\x81\x7C");
}

TEST(CrtText, UnrepresentableCharacterIsOneQuestionMark) {
  EXPECT_EQ(cnv(u"caf\u00E9"), "caf?");
  EXPECT_EQ(cnv(u"a\U0001F600b"), "a?b");  // a surrogate pair is one character
  EXPECT_EQ(cnv(u"\U0001F600\U0001F600"), "??");
  const char16_t lone_hi[] = {u'a', 0xD83D, u'b', 0};
  EXPECT_EQ(cnv(lone_hi), "a?b");
  const char16_t lone_lo[] = {0xDE00, 0x96FB, 0};
  EXPECT_EQ(cnv(lone_lo), "?\x93\x64");
  const char16_t hi_at_end[] = {u'x', 0xD83D, 0};
  EXPECT_EQ(cnv(hi_at_end), "x?");
  const char16_t two_hi[] = {0xD83D, 0xD83D, 0xDE00, 0};  // the second pairs, the first not
  EXPECT_EQ(cnv(two_hi), "??");
}

TEST(CrtText, StopsAtNulOrAtTheUnitLimit) {
  EXPECT_EQ(cnv(std::u16string(u"ab\0cd", 5)), "ab");
  EXPECT_EQ(cnv(u"abcdef", 256, 3), "abc");
  EXPECT_EQ(cnv(u"abc", 256, 0), "");
  // A pair cut by the limit leaves an unpaired surrogate, read as one unknown character.
  EXPECT_EQ(cnv(u"a\U0001F600", 256, 2), "a?");
  // A full 248-unit name without a terminator: nothing past it is read.
  std::u16string full(248, u'n');
  full += u"XYZ";
  EXPECT_EQ(cnv(full, 300, 248), std::string(248, 'n'));
  EXPECT_EQ(crt_ls_cnv(nullptr, 0, u"a", 1), 0u);
  char b[4] = "zzz";
  EXPECT_EQ(crt_ls_cnv(b, sizeof b, nullptr, 10), 0u);
  EXPECT_EQ(b[0], '\0');
}

TEST(CrtText, CutsAtACharacterBoundaryWithinTheBuffer) {
  EXPECT_EQ(cnv(u"abcdef", 4), "abc");
  EXPECT_EQ(cnv(u"a電話", 3), "a");  // the double-byte character does not fit beside the terminator
  EXPECT_EQ(cnv(u"a電話", 4), "a\x93\x64");
  EXPECT_EQ(cnv(u"a電話", 5), "a\x93\x64");
  EXPECT_EQ(cnv(u"a電話", 6), "a\x93\x64\x98\x62");
  EXPECT_EQ(cnv(u"電a", 2), "");  // a prefix, never a later character that happens to fit
  EXPECT_EQ(cnv(u"abc", 1), "");
  EXPECT_EQ(cnv(u"abc", 0), "");
  // All-Japanese name far beyond the buffer: an even number of bytes, whole characters only.
  const std::u16string jp(248, u'電');
  const std::string r = cnv(jp, 256);
  EXPECT_EQ(r.size(), 254u);
  for (size_t i = 0; i < r.size(); i += 2) ASSERT_EQ(r.substr(i, 2), "\x93\x64") << i;
  // Room for the device key: 12 digits and '-' before the name in 256 bytes.
  EXPECT_EQ(cnv(std::u16string(247, u'k'), 256 - 13).size(), 242u);
}

}  // namespace
