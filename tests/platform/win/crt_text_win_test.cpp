// The "%ls" conversion with the system's table of code page 932 (the common promises are
// checked by the shared crt_text_test).
#include <gtest/gtest.h>

#include <string>

#include "platform/crt_text.h"

namespace {

std::string cnv(const std::u16string& s) {
  char buf[64];
  return std::string(buf, crt_ls_cnv(buf, sizeof buf, s.c_str(), s.size()));
}

TEST(CrtTextWin, JapaneseBecomesCp932) {
  EXPECT_EQ(cnv(u"電話"), "\x93\x64\x98\x62");
  EXPECT_EQ(cnv(u"ｱ"), "\xB1");
  EXPECT_EQ(cnv(u"①髙"), "\x87\x40\xFB\xFC");  // the NEC and IBM extensions
}

TEST(CrtTextWin, TheSystemsMappingsOfTheVariantCharacters) {
  // Windows reads 0x8160 and 0x817C as the full-width tilde and hyphen-minus; the wave dash
  // and the minus sign, which iconv's table also takes there, have no code of their own.
  EXPECT_EQ(cnv(u"～－"), "\x81\x60\x81\x7C");
  EXPECT_EQ(cnv(u"\u301C\u2212"), "??");
}

TEST(CrtTextWin, NoLookAlikeStandsInForAMissingCharacter) {
  // The system's best fit would give "cafe", and a backslash for the yen sign, which a
  // command line would then read as an escape.
  EXPECT_EQ(cnv(u"caf\u00E9"), "caf?");
  EXPECT_EQ(cnv(u"\u00A5100"), "?100");
  EXPECT_EQ(cnv(u"\u00A6"), "?");
}

TEST(CrtTextWin, C1ControlsBecomeQuestionMarks) {
  EXPECT_EQ(cnv(u"a\u0080b\u0085c\u009Fd\u00A0"), "a?b?c?d?");
}

}  // namespace
