// Strings: mutation, case mapping, normalisation and folding.
#include <climits>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

CFRef<CFMutableStringRef> M(const char16_t* u) { return adopt(CFStringCreateMutableCopy(nullptr, 0, S(u).get())); }

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
  const auto CI = kCFCompareCaseInsensitive, BACK = kCFCompareBackwards, ANCHOR = kCFCompareAnchored;
  using R = std::tuple<const char16_t*, const char16_t*, const char16_t*, CFIndex, CFIndex, CFStringCompareFlags,
                       CFIndex, const char16_t*>;
  for (const auto& [in, find, with, at, length, options, count, out] :
       {R{u"a.b.c", u".", u"--", 0, 5, 0, 2, u"a--b--c"},
        R{u"Hello hello HELLO", u"hello", u"x", 0, 17, CI, 3, u"x x x"}, R{u"aaa", u"aa", u"X", 0, 3, 0, 1, u"Xa"},
        R{u"aaa", u"aa", u"X", 0, 3, BACK, 1, u"aX"}, R{u"one one one", u"one", u"1", 4, 7, 0, 2, u"one 1 1"},
        R{u"one one", u"one", u"two", 0, 7, ANCHOR, 1, u"two one"},
        R{u"oneone one", u"one", u"1", 0, 10, ANCHOR | BACK, 1, u"oneone 1"},
        R{u"oneone one", u"one", u"1", 0, 10, ANCHOR, 2, u"11 one"},
        R{u"Straße", u"SS", u"ss", 0, 6, CI, 1, u"Strasse"}}) {
    auto m = M(in);
    EXPECT_EQ(CFStringFindAndReplace(m.get(), S(find).get(), S(with).get(), CFRangeMake(at, length), options), count)
        << utf8(S(in).get()) << " " << options;
    EXPECT_EQ(units(m.get()), out);
  }

  auto many = adopt(CFStringCreateMutable(nullptr, 0));
  for (int i = 0; i < 20000; ++i) CFStringAppendCString(many.get(), "a,", kCFStringEncodingASCII);
  EXPECT_EQ(CFStringFindAndReplace(many.get(), S(u",").get(), S(u";;").get(), CFRangeMake(0, 40000), 0), 20000);
  EXPECT_EQ(CFStringGetLength(many.get()), 60000);
  EXPECT_EQ(CFStringGetCharacterAtIndex(many.get(), 59999), u';');

  auto m = M(u"ab");  // the replacement is the string itself
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
  CFStringPad(m.get(), S(u"x").get(), 5, 3);         // index past the pad string: nothing
  CFStringPad(m.get(), S(u"x").get(), LONG_MAX, 0);  // an impossible length fails cleanly
  EXPECT_EQ(units(m.get()), u"ab");

  // {input, characters to trim or NULL for white space, result}.
  using T = std::tuple<const char16_t*, const char16_t*, const char16_t*>;
  // a zero-width space is not white space
  for (const auto& [in, what, out] : {T{u"xxabcxx", u"x", u"abc"}, T{u"ababcab", u"ab", u"c"}, T{u"abab", u"ab", u""},
                                      T{u" \t\n abc d \u00A0\u3000\u2028", nullptr, u"abc d"},
                                      T{u" \r\n ", nullptr, u""}, T{u"\u200Bx", nullptr, u"\u200Bx"}}) {
    m = M(in);
    what ? CFStringTrim(m.get(), S(what).get()) : CFStringTrimWhitespace(m.get());
    EXPECT_EQ(units(m.get()), out);
  }
}

TEST(CFStringMutable, CaseMappingNormalizeAndFold) {
  enum Op { kUpper, kLower, kCapital, kD, kC, kKD, kKC, kFoldCase, kFoldMarksAndWidth };
  // Each row starts from the previous row's result when its input is NULL.
  using C = std::tuple<const char16_t*, Op, const char16_t*>;
  CFRef<CFMutableStringRef> m;
  for (const auto& [in, op, out] :
       {C{u"straße café", kUpper, u"STRASSE CAFÉ"}, C{nullptr, kLower, u"strasse café"},
        C{u"Hello WORLD 123", kLower, u"hello world 123"}, C{nullptr, kUpper, u"HELLO WORLD 123"},
        C{u"hello wORLD élan ǆemal", kCapital, u"Hello World Élan ǅemal"},
        C{u"ΌΣΟΣ 😀", kLower, u"όσος 😀"},  // final sigma in context
        C{u"caf\u00e9 \uFB01 \u2460", kD, u"cafe\u0301 \uFB01 \u2460"}, C{nullptr, kC, u"caf\u00e9 \uFB01 \u2460"},
        C{nullptr, kKD, u"cafe\u0301 fi 1"}, C{nullptr, kKC, u"caf\u00e9 fi 1"},
        C{u"\u1100\u1161", kC, u"\uAC00"},  // conjoining jamo compose to a syllable
        C{u"Straße Crème Brûlée ＡＢＣ 한국", kFoldCase, u"strasse crème brûlée ａｂｃ 한국"},
        C{u"Straße Crème Brûlée ＡＢＣ 한국", kFoldMarksAndWidth, u"Straße Creme Brulee ABC 한국"}}) {
    if (in != nullptr) m = M(in);
    switch (op) {
      case kUpper: CFStringUppercase(m.get(), nullptr); break;
      case kLower: CFStringLowercase(m.get(), nullptr); break;
      case kCapital: CFStringCapitalize(m.get(), nullptr); break;
      case kD: CFStringNormalize(m.get(), kCFStringNormalizationFormD); break;
      case kC: CFStringNormalize(m.get(), kCFStringNormalizationFormC); break;
      case kKD: CFStringNormalize(m.get(), kCFStringNormalizationFormKD); break;
      case kKC: CFStringNormalize(m.get(), kCFStringNormalizationFormKC); break;
      case kFoldCase: CFStringFold(m.get(), kCFCompareCaseInsensitive, nullptr); break;
      case kFoldMarksAndWidth:
        CFStringFold(m.get(), kCFCompareDiacriticInsensitive | kCFCompareWidthInsensitive, nullptr);
        break;
    }
    EXPECT_EQ(units(m.get()), out) << op;
  }
}

}  // namespace
