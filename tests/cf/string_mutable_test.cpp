// Strings: mutation, case mapping, normalisation and folding.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <climits>
#include <string>

using namespace qxtest;

namespace {

CFRef<CFMutableStringRef> M(const char16_t* u) { return adopt(CFStringCreateMutableCopy(nullptr, 0, S(u).get())); }

}  // namespace

TEST(CFStringMutable, AppendInsertDeleteReplace) {
  auto m = adopt(CFStringCreateMutable(nullptr, 0));
  CFStringAppend(m.get(), S(u"héllo").get());
  CFStringAppendCString(m.get(), " w\xC3\xB6rld", kCFStringEncodingUTF8);
  CFStringAppendCString(m.get(), "\xE9", kCFStringEncodingISOLatin1);
  CFStringAppendCString(m.get(), "\xC3(", kCFStringEncodingUTF8);  // invalid: nothing appended
  CFStringAppendCString(m.get(), "\xE9", kCFStringEncodingASCII);  // likewise
  const UniChar smile[] = {0xD83D, 0xDE00};
  CFStringAppendCharacters(m.get(), smile, 2);
  EXPECT_EQ(units(m.get()), u"héllo wörldé😀");

  CFStringInsert(m.get(), 0, S(u">").get());
  CFStringInsert(m.get(), CFStringGetLength(m.get()), S(u"<").get());
  CFStringInsert(m.get(), 99, S(u"never").get());
  EXPECT_EQ(units(m.get()), u">héllo wörldé😀<");
  CFStringDelete(m.get(), CFRangeMake(0, 1));
  CFStringDelete(m.get(), CFRangeMake(10, 99));  // out of range: unchanged
  CFStringReplace(m.get(), CFRangeMake(6, 5), S(u"there").get());
  EXPECT_EQ(units(m.get()), u"héllo thereé😀<");
  CFStringAppend(m.get(), m.get());  // from itself
  EXPECT_EQ(units(m.get()), u"héllo thereé😀<héllo thereé😀<");
  CFStringInsert(m.get(), 1, m.get());
  EXPECT_EQ(CFStringGetLength(m.get()), 60);
  CFStringReplaceAll(m.get(), S(u"short").get());
  EXPECT_EQ(units(m.get()), u"short");

  // Mutating an immutable string is refused rather than corrupting it.
  auto frozen = S(u"fixed");
  CFStringAppend(const_cast<CFMutableStringRef>(frozen.get()), S(u"!").get());
  CFStringUppercase(const_cast<CFMutableStringRef>(frozen.get()), nullptr);
  EXPECT_EQ(units(frozen.get()), u"fixed");
}

TEST(CFStringMutable, FindAndReplace) {
  auto m = M(u"a.b.c");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u".").get(), S(u"--").get(), CFRangeMake(0, 5), 0), 2);
  EXPECT_EQ(units(m.get()), u"a--b--c");

  m = M(u"Hello hello HELLO");
  EXPECT_EQ(
      CFStringFindAndReplace(m.get(), S(u"hello").get(), S(u"x").get(), CFRangeMake(0, 17), kCFCompareCaseInsensitive),
      3);
  EXPECT_EQ(units(m.get()), u"x x x");

  m = M(u"aaa");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"aa").get(), S(u"X").get(), CFRangeMake(0, 3), 0), 1);
  EXPECT_EQ(units(m.get()), u"Xa");
  m = M(u"aaa");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"aa").get(), S(u"X").get(), CFRangeMake(0, 3), kCFCompareBackwards), 1);
  EXPECT_EQ(units(m.get()), u"aX");

  m = M(u"one one one");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"one").get(), S(u"1").get(), CFRangeMake(4, 7), 0), 2);
  EXPECT_EQ(units(m.get()), u"one 1 1");
  m = M(u"one one");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"one").get(), S(u"two").get(), CFRangeMake(0, 7), kCFCompareAnchored),
            1);
  EXPECT_EQ(units(m.get()), u"two one");
  m = M(u"oneone one");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"one").get(), S(u"1").get(), CFRangeMake(0, 10),
                                   kCFCompareAnchored | kCFCompareBackwards),
            1);
  EXPECT_EQ(units(m.get()), u"oneone 1");
  m = M(u"oneone one");
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"one").get(), S(u"1").get(), CFRangeMake(0, 10), kCFCompareAnchored), 2);
  EXPECT_EQ(units(m.get()), u"11 one");

  m = M(u"Straße");
  EXPECT_EQ(
      CFStringFindAndReplace(m.get(), S(u"SS").get(), S(u"ss").get(), CFRangeMake(0, 6), kCFCompareCaseInsensitive), 1);
  EXPECT_EQ(units(m.get()), u"Strasse");

  auto many = adopt(CFStringCreateMutable(nullptr, 0));
  for (int i = 0; i < 20000; ++i) CFStringAppendCString(many.get(), "a,", kCFStringEncodingASCII);
  EXPECT_EQ(CFStringFindAndReplace(many.get(), S(u",").get(), S(u";;").get(), CFRangeMake(0, 40000), 0), 20000);
  EXPECT_EQ(CFStringGetLength(many.get()), 60000);
  EXPECT_EQ(CFStringGetCharacterAtIndex(many.get(), 59999), u';');

  m = M(u"ab");  // the replacement is the string itself
  EXPECT_EQ(CFStringFindAndReplace(m.get(), S(u"b").get(), m.get(), CFRangeMake(0, 2), 0), 1);
  EXPECT_EQ(units(m.get()), u"aab");
}

TEST(CFStringMutable, PadAndTrim) {
  auto m = M(u"abc");
  CFStringPad(m.get(), S(u".").get(), 6, 0);
  EXPECT_EQ(units(m.get()), u"abc...");
  m = M(u"abc");
  CFStringPad(m.get(), S(u"xyz").get(), 8, 1);
  EXPECT_EQ(units(m.get()), u"abcyzxyz");
  CFStringPad(m.get(), nullptr, 2, 0);
  EXPECT_EQ(units(m.get()), u"ab");
  CFStringPad(m.get(), S(u"x").get(), 5, 3);  // index past the pad string: nothing
  EXPECT_EQ(units(m.get()), u"ab");
  CFStringPad(m.get(), S(u"x").get(), LONG_MAX, 0);  // an impossible length fails cleanly
  EXPECT_EQ(units(m.get()), u"ab");

  m = M(u"xxabcxx");
  CFStringTrim(m.get(), S(u"x").get());
  EXPECT_EQ(units(m.get()), u"abc");
  m = M(u"ababcab");
  CFStringTrim(m.get(), S(u"ab").get());
  EXPECT_EQ(units(m.get()), u"c");
  m = M(u"abab");
  CFStringTrim(m.get(), S(u"ab").get());
  EXPECT_EQ(units(m.get()), u"");

  m = M(u" \t\n abc d \u00A0\u3000\u2028");
  CFStringTrimWhitespace(m.get());
  EXPECT_EQ(units(m.get()), u"abc d");
  m = M(u" \r\n ");
  CFStringTrimWhitespace(m.get());
  EXPECT_EQ(units(m.get()), u"");
  m = M(u"\u200Bx");  // a zero-width space is not white space
  CFStringTrimWhitespace(m.get());
  EXPECT_EQ(units(m.get()), u"\u200Bx");
}

TEST(CFStringMutable, CaseMapping) {
  auto m = M(u"straße café");
  CFStringUppercase(m.get(), nullptr);
  EXPECT_EQ(units(m.get()), u"STRASSE CAFÉ");
  CFStringLowercase(m.get(), nullptr);
  EXPECT_EQ(units(m.get()), u"strasse café");
  m = M(u"Hello WORLD 123");
  CFStringLowercase(m.get(), nullptr);
  EXPECT_EQ(units(m.get()), u"hello world 123");
  CFStringUppercase(m.get(), nullptr);
  EXPECT_EQ(units(m.get()), u"HELLO WORLD 123");
  m = M(u"hello wORLD élan ǆemal");
  CFStringCapitalize(m.get(), nullptr);
  EXPECT_EQ(units(m.get()), u"Hello World Élan ǅemal");
  m = M(u"ΌΣΟΣ 😀");
  CFStringLowercase(m.get(), nullptr);
  EXPECT_EQ(units(m.get()), u"όσος 😀");  // final sigma in context
}

TEST(CFStringMutable, NormalizeAndFold) {
  auto m = M(u"caf\u00e9 \uFB01 \u2460");
  CFStringNormalize(m.get(), kCFStringNormalizationFormD);
  EXPECT_EQ(units(m.get()), u"cafe\u0301 \uFB01 \u2460");
  CFStringNormalize(m.get(), kCFStringNormalizationFormC);
  EXPECT_EQ(units(m.get()), u"caf\u00e9 \uFB01 \u2460");
  CFStringNormalize(m.get(), kCFStringNormalizationFormKD);
  EXPECT_EQ(units(m.get()), u"cafe\u0301 fi 1");
  CFStringNormalize(m.get(), kCFStringNormalizationFormKC);
  EXPECT_EQ(units(m.get()), u"caf\u00e9 fi 1");
  m = M(u"\u1100\u1161");  // conjoining jamo compose to a syllable
  CFStringNormalize(m.get(), kCFStringNormalizationFormC);
  EXPECT_EQ(units(m.get()), u"\uAC00");

  m = M(u"Straße Crème Brûlée ＡＢＣ 한국");
  CFStringFold(m.get(), kCFCompareCaseInsensitive, nullptr);
  EXPECT_EQ(units(m.get()), u"strasse crème brûlée ａｂｃ 한국");
  m = M(u"Straße Crème Brûlée ＡＢＣ 한국");
  CFStringFold(m.get(), kCFCompareDiacriticInsensitive | kCFCompareWidthInsensitive, nullptr);
  EXPECT_EQ(units(m.get()), u"Straße Creme Brulee ABC 한국");
}
