// Strings: comparison and search with every option, ASCII and beyond.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace qxtest;

namespace {

CFComparisonResult cmp(const char16_t* a, const char16_t* b, CFStringCompareFlags o = 0) {
  return CFStringCompare(S(a).get(), S(b).get(), o);
}

CFRange find(const char16_t* hay, const char16_t* needle, CFStringCompareFlags o = 0) {
  return CFStringFind(S(hay).get(), S(needle).get(), o);
}

bool same(CFRange a, CFRange b) { return a.location == b.location && a.length == b.length; }

#define EXPECT_RANGE(r, loc, len) EXPECT_TRUE(same((r), CFRangeMake((loc), (len)))) << (r).location << "," << (r).length

constexpr auto LT = kCFCompareLessThan;
constexpr auto EQ = kCFCompareEqualTo;
constexpr auto GT = kCFCompareGreaterThan;

}  // namespace

TEST(CFStringCompare, LiteralOrderIsByUTF16CodeUnit) {
  EXPECT_EQ(cmp(u"a", u"b"), LT);
  EXPECT_EQ(cmp(u"B", u"a"), LT);  // upper case sorts first by code unit
  EXPECT_EQ(cmp(u"abc", u"abcd"), LT);
  EXPECT_EQ(cmp(u"abcd", u"abc"), GT);
  EXPECT_EQ(cmp(u"", u""), EQ);
  EXPECT_EQ(cmp(u"\u00e9", u"e\u0301"), GT);  // no canonical equivalence without Nonliteral
  // Code units, not code points: a surrogate (0xD83D) sorts before U+FF5E.
  EXPECT_EQ(cmp(u"😀", u"\uFF5E"), LT);
  EXPECT_EQ(cmp(u"file10", u"file2"), LT);

  auto whole = S(u"xxabcxx");
  EXPECT_EQ(CFStringCompareWithOptions(whole.get(), S(u"abc").get(), CFRangeMake(2, 3), 0), EQ);
  EXPECT_EQ(CFStringCompareWithOptions(whole.get(), S(u"ABC").get(), CFRangeMake(2, 3), kCFCompareCaseInsensitive), EQ);
}

TEST(CFStringCompare, FoldingOptions) {
  const auto CI = kCFCompareCaseInsensitive;
  EXPECT_EQ(cmp(u"hello", u"HELLO", CI), EQ);
  EXPECT_EQ(cmp(u"a", u"B", CI), LT);
  EXPECT_EQ(cmp(u"_", u"a", CI), LT);  // folding is to lower case
  EXPECT_EQ(cmp(u"STRASSE", u"straße", CI), EQ);
  EXPECT_EQ(cmp(u"ÉCOLE", u"école", CI), EQ);
  EXPECT_EQ(cmp(u"\u212A", u"k", CI), EQ);  // Kelvin sign
  EXPECT_EQ(cmp(u"ΣΑΣ", u"σας", CI), EQ);   // final sigma

  EXPECT_EQ(cmp(u"caf\u00e9", u"cafe\u0301", kCFCompareNonliteral), EQ);
  EXPECT_EQ(cmp(u"Caf\u00e9", u"cafe\u0301", kCFCompareNonliteral | CI), EQ);
  EXPECT_EQ(cmp(u"resume", u"résumé", kCFCompareDiacriticInsensitive), EQ);
  EXPECT_EQ(cmp(u"RESUME", u"résumé", kCFCompareDiacriticInsensitive), LT);
  EXPECT_EQ(cmp(u"RESUME", u"résumé", kCFCompareDiacriticInsensitive | CI), EQ);
  EXPECT_EQ(cmp(u"ＡＢＣ１", u"ABC1", kCFCompareWidthInsensitive), EQ);
  EXPECT_EQ(cmp(u"ｶ", u"カ", kCFCompareWidthInsensitive), EQ);
  EXPECT_EQ(cmp(u"ＡＢＣ", u"abc", kCFCompareWidthInsensitive | CI), EQ);
  EXPECT_NE(cmp(u"ＡＢＣ", u"ABC"), EQ);
  EXPECT_EQ(cmp(u"a😀b", u"A😀B", CI), EQ);
}

TEST(CFStringCompare, NumericAndForcedOrdering) {
  const auto NUM = kCFCompareNumerically;
  EXPECT_EQ(cmp(u"file2", u"file10", NUM), LT);
  EXPECT_EQ(cmp(u"file10", u"file9", NUM), GT);
  EXPECT_EQ(cmp(u"file10b", u"file10a", NUM), GT);
  EXPECT_EQ(cmp(u"v1.10", u"v1.9", NUM), GT);
  EXPECT_EQ(cmp(u"007", u"7", NUM), EQ);
  EXPECT_EQ(cmp(u"99999999999999999999999", u"100000000000000000000000", NUM), LT);  // no overflow
  EXPECT_EQ(cmp(u"File2", u"file10", NUM | kCFCompareCaseInsensitive), LT);
  EXPECT_EQ(cmp(u"Fïle2", u"file10", NUM | kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive), LT);

  // Equivalent but not identical strings get a definite, consistent order when forced.
  const auto FORCED = kCFCompareCaseInsensitive | kCFCompareForcedOrdering;
  EXPECT_EQ(cmp(u"abc", u"ABC", FORCED), GT);
  EXPECT_EQ(cmp(u"ABC", u"abc", FORCED), LT);
  EXPECT_EQ(cmp(u"abc", u"abc", FORCED), EQ);
  EXPECT_EQ(cmp(u"007", u"7", NUM | kCFCompareForcedOrdering), LT);
}

TEST(CFStringCompare, LocalizedUsesCollation) {
  const auto LOC = kCFCompareLocalized;
  EXPECT_EQ(cmp(u"a", u"B", LOC), LT);
  EXPECT_EQ(cmp(u"ä", u"b", LOC), LT);  // by code unit it would be greater
  EXPECT_EQ(cmp(u"ä", u"b"), GT);
  EXPECT_EQ(cmp(u"file2", u"file10", LOC | kCFCompareNumerically), LT);
  EXPECT_EQ(cmp(u"Hello", u"hello", LOC | kCFCompareCaseInsensitive), EQ);
  EXPECT_NE(cmp(u"Hello", u"hello", LOC), EQ);
  EXPECT_EQ(cmp(u"résumé", u"RESUME", LOC | kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive), EQ);
  EXPECT_EQ(cmp(u"caf\u00e9", u"cafe\u0301", LOC), EQ);
  EXPECT_NE(cmp(u"caf\u00e9", u"cafe\u0301", LOC | kCFCompareForcedOrdering), EQ);
  EXPECT_EQ(cmp(u"ＡＢＣ", u"ABC", LOC | kCFCompareWidthInsensitive), EQ);

  auto sv = adopt(CFLocaleCreate(nullptr, CFSTR("sv_SE")));
  ASSERT_TRUE(sv);  // Swedish sorts ä after z
  EXPECT_EQ(CFStringCompareWithOptionsAndLocale(S(u"ä").get(), S(u"z").get(), CFRangeMake(0, 1), LOC, sv.get()), GT);
  EXPECT_EQ(CFStringCompareWithOptionsAndLocale(S(u"ä").get(), S(u"z").get(), CFRangeMake(0, 1), LOC, nullptr), LT);
  auto tr = adopt(CFLocaleCreate(nullptr, CFSTR("tr")));
  auto m = adopt(CFStringCreateMutableCopy(nullptr, 0, S(u"TITLE").get()));
  CFStringLowercase(m.get(), tr.get());
  EXPECT_EQ(units(m.get()), u"tıtle");  // dotless ı only with a Turkish locale
}

namespace {

// Sets locale variables for one test and puts the old values back.
class LocaleEnv {
 public:
  LocaleEnv() {
    for (size_t i = 0; i < kNames.size(); ++i) {
      const char* v = std::getenv(kNames[i]);
      saved_[i] = v != nullptr ? std::optional<std::string>(v) : std::nullopt;
    }
  }
  ~LocaleEnv() {
    for (size_t i = 0; i < kNames.size(); ++i) {
      if (saved_[i]) {
        setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }
  void set(const char* all, const char* lang, const char* messages) {
    const char* values[] = {all, lang, messages};
    for (size_t i = 0; i < kNames.size(); ++i) {
      if (values[i] != nullptr) {
        setenv(kNames[i], values[i], 1);
      } else {
        unsetenv(kNames[i]);
      }
    }
  }

 private:
  static constexpr std::array<const char*, 3> kNames = {"LC_ALL", "LANG", "LC_MESSAGES"};
  std::array<std::optional<std::string>, 3> saved_;
};

CFComparisonResult withCurrentLocale(const char16_t* a, const char16_t* b) {
  auto current = adopt(CFLocaleCopyCurrent());
  return CFStringCompareWithOptionsAndLocale(S(a).get(), S(b).get(), CFRangeMake(0, CFStringGetLength(S(a).get())),
                                             kCFCompareLocalized, current.get());
}

}  // namespace

TEST(CFStringCompare, LocalizedFollowsTheCurrentLocale) {
  const auto LOC = kCFCompareLocalized;
  LocaleEnv env;
  // LC_MESSAGES has no say: the current locale is Swedish, where ö sorts after z.
  env.set(nullptr, "sv_SE.UTF-8", "de_DE.UTF-8");
  EXPECT_EQ(cmp(u"ö", u"z", LOC), GT);
  EXPECT_EQ(withCurrentLocale(u"ö", u"z"), GT);
  // A change of environment is seen at once, and LC_ALL wins over LANG.
  env.set("de_DE.UTF-8", "sv_SE.UTF-8", nullptr);
  EXPECT_EQ(cmp(u"ö", u"z", LOC), LT);
  EXPECT_EQ(withCurrentLocale(u"ö", u"z"), LT);
  // C and POSIX collate with English rules rather than ICU's capitals-first POSIX order.
  env.set("C", nullptr, "sv_SE.UTF-8");
  EXPECT_EQ(cmp(u"a", u"B", LOC), LT);
  EXPECT_EQ(cmp(u"ö", u"z", LOC), LT);
  env.set(nullptr, "POSIX", nullptr);
  EXPECT_EQ(cmp(u"a", u"B", LOC), LT);
  EXPECT_EQ(withCurrentLocale(u"a", u"B"), LT);
}

TEST(CFStringCompare, FindLiteralForwardBackwardAnchored) {
  EXPECT_RANGE(find(u"abcabc", u"bc"), 1, 2);
  EXPECT_RANGE(find(u"abcabc", u"bc", kCFCompareBackwards), 4, 2);
  EXPECT_RANGE(find(u"abcabc", u"abc", kCFCompareAnchored), 0, 3);
  EXPECT_RANGE(find(u"xabc", u"abc", kCFCompareAnchored), kCFNotFound, 0);
  EXPECT_RANGE(find(u"abcabc", u"abc", kCFCompareAnchored | kCFCompareBackwards), 3, 3);
  EXPECT_RANGE(find(u"abcab", u"abc", kCFCompareAnchored | kCFCompareBackwards), kCFNotFound, 0);
  EXPECT_RANGE(find(u"abc", u"abcd"), kCFNotFound, 0);
  EXPECT_RANGE(find(u"abc", u""), kCFNotFound, 0);
  EXPECT_RANGE(find(u"a😀b😀", u"😀", kCFCompareBackwards), 4, 2);
  EXPECT_RANGE(find(u"Hello", u"hello"), kCFNotFound, 0);
  EXPECT_RANGE(find(u"\u4100\u0042\u4241", u"\u4241"), 2, 1);  // bytes match across units first
  EXPECT_RANGE(find(u"xaxaxa", u"xa", kCFCompareBackwards), 4, 2);

  CFRange r;
  auto hay = S(u"one two one two");
  EXPECT_TRUE(CFStringFindWithOptions(hay.get(), S(u"one").get(), CFRangeMake(1, 14), 0, &r));
  EXPECT_RANGE(r, 8, 3);
  EXPECT_FALSE(CFStringFindWithOptions(hay.get(), S(u"one").get(), CFRangeMake(1, 9), 0, &r));
  EXPECT_FALSE(CFStringFindWithOptions(hay.get(), S(u"one").get(), CFRangeMake(10, 9), 0, &r));  // bad range
  EXPECT_TRUE(CFStringFindWithOptions(hay.get(), S(u"two").get(), CFRangeMake(0, 15), kCFCompareBackwards, &r));
  EXPECT_RANGE(r, 12, 3);

  EXPECT_TRUE(CFStringHasPrefix(hay.get(), S(u"one ").get()));
  EXPECT_FALSE(CFStringHasPrefix(hay.get(), S(u"two").get()));
  EXPECT_TRUE(CFStringHasSuffix(hay.get(), S(u"two").get()));
  EXPECT_FALSE(CFStringHasSuffix(hay.get(), S(u"one").get()));
  EXPECT_FALSE(CFStringHasPrefix(hay.get(), S(u"").get()));
}

TEST(CFStringCompare, FindAgreesWithASimpleSearchOnRepetitiveText) {
  // Few letters make overlapping near-matches, the hard case for the matcher. With 'ä' or 'Ä' in
  // the text, case-insensitive search takes the general folding path.
  const CFStringCompareFlags CI = kCFCompareCaseInsensitive, BACK = kCFCompareBackwards;
  std::mt19937 rng(7);
  const std::u16string alphabets[] = {u"abAB", u"aAbäÄ"};
  auto lower = [](char16_t c) -> char16_t { return c == u'Ä' ? u'ä' : (c >= 'A' && c <= 'Z' ? c + 32 : c); };
  for (const std::u16string& letters : alphabets) {
    for (int round = 0; round < 300; ++round) {
      auto randomText = [&](size_t n) {
        std::u16string t;
        for (size_t i = 0; i < n; ++i) t += letters[rng() % letters.size()];
        return t;
      };
      const std::u16string hay = randomText(rng() % 24), needle = randomText(1 + rng() % 4);
      for (CFStringCompareFlags o : {CFStringCompareFlags{0}, CI, BACK, CI | BACK}) {
        auto eq = [&](size_t p) {
          for (size_t k = 0; k < needle.size(); ++k) {
            char16_t x = hay[p + k], y = needle[k];
            if (o & CI ? lower(x) != lower(y) : x != y) return false;
          }
          return true;
        };
        std::vector<CFIndex> expected;  // match starts in search order, none overlapping
        const size_t n = hay.size(), m = needle.size();
        if (m <= n && !(o & BACK)) {
          for (size_t p = 0; p + m <= n; ++p) {
            if (!eq(p)) continue;
            expected.push_back(static_cast<CFIndex>(p));
            p += m - 1;
          }
        } else if (m <= n) {
          for (size_t p = n - m + 1; p-- > 0;) {
            if (!eq(p)) continue;
            expected.push_back(static_cast<CFIndex>(p));
            if (p < m) break;
            p -= m - 1;
          }
        }
        const std::string where = "options " + std::to_string(o) + " round " + std::to_string(round);
        auto all = adopt(CFStringCreateArrayWithFindResults(nullptr, S(hay.c_str()).get(), S(needle.c_str()).get(),
                                                            CFRangeMake(0, static_cast<CFIndex>(n)), o));
        std::vector<CFIndex> got;
        for (CFIndex i = 0; all && i < CFArrayGetCount(all.get()); ++i) {
          auto r = static_cast<const CFRange*>(CFArrayGetValueAtIndex(all.get(), i));
          EXPECT_EQ(r->length, static_cast<CFIndex>(m)) << where;
          got.push_back(r->location);
        }
        EXPECT_EQ(got, expected) << where;
        CFRange first = find(hay.c_str(), needle.c_str(), o);
        EXPECT_EQ(first.location, expected.empty() ? CFIndex{kCFNotFound} : expected.front()) << where;
      }
    }
  }
  // A folded match must cover whole characters: "ss" inside the folding of ß plus a neighbour is not one.
  EXPECT_RANGE(find(u"sßs", u"ss", CI), 1, 1);
  EXPECT_RANGE(find(u"sßs", u"ss", CI | BACK), 1, 1);
  EXPECT_RANGE(find(u"ßßs", u"ss", CI | BACK), 1, 1);
}

TEST(CFStringCompare, FindWithFoldingReportsOriginalRanges) {
  const auto CI = kCFCompareCaseInsensitive;
  EXPECT_RANGE(find(u"Hello HELLO", u"hello", CI | kCFCompareBackwards), 6, 5);
  EXPECT_RANGE(find(u"Straße", u"SS", CI), 4, 1);  // one unit of the original matches two folded
  EXPECT_RANGE(find(u"STRASSE", u"ß", CI), 4, 2);
  EXPECT_RANGE(find(u"Straße!", u"SSE!", CI), 4, 3);
  EXPECT_RANGE(find(u"ß", u"s", CI), kCFNotFound, 0);  // never half a character
  EXPECT_RANGE(find(u"x\u212Ay", u"K", CI), 1, 1);
  EXPECT_RANGE(find(u"ÉCOLE école", u"école", CI | kCFCompareBackwards), 6, 5);

  EXPECT_RANGE(find(u"café au lait", u"e\u0301", kCFCompareNonliteral), 3, 1);
  EXPECT_RANGE(find(u"café au lait", u"e\u0301"), kCFNotFound, 0);
  EXPECT_RANGE(find(u"cafe\u0301!", u"é", kCFCompareNonliteral), 3, 2);
  EXPECT_RANGE(find(u"cafe\u0301!", u"e", kCFCompareNonliteral), kCFNotFound, 0);  // the e carries an accent
  EXPECT_RANGE(find(u"cafe\u0301!", u"e", 0), 3, 1);
  EXPECT_RANGE(find(u"Le CAFÉ", u"cafe", CI | kCFCompareDiacriticInsensitive), 3, 4);
  EXPECT_RANGE(find(u"Le CAFE\u0301!", u"café", CI | kCFCompareDiacriticInsensitive), 3, 5);
  EXPECT_RANGE(find(u"ＡＢＣ", u"b", CI | kCFCompareWidthInsensitive), 1, 1);
  EXPECT_RANGE(find(u"😀ÉTÉ😀", u"été", CI | kCFCompareAnchored), kCFNotFound, 0);
  EXPECT_RANGE(find(u"😀ÉTÉ😀", u"été😀", CI | kCFCompareAnchored | kCFCompareBackwards), 2, 5);
}

TEST(CFStringCompare, ArrayWithFindResults) {
  auto arr =
      adopt(CFStringCreateArrayWithFindResults(nullptr, S(u"a,b;c,d").get(), S(u",").get(), CFRangeMake(0, 7), 0));
  ASSERT_TRUE(arr);
  ASSERT_EQ(CFArrayGetCount(arr.get()), 2);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(arr.get(), 0)), 1, 1);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(arr.get(), 1)), 5, 1);

  auto folded = adopt(CFStringCreateArrayWithFindResults(nullptr, S(u"Maße MASSE masse").get(), S(u"ss").get(),
                                                         CFRangeMake(0, 16), kCFCompareCaseInsensitive));
  ASSERT_TRUE(folded);
  ASSERT_EQ(CFArrayGetCount(folded.get()), 3);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(folded.get(), 0)), 2, 1);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(folded.get(), 2)), 13, 2);

  EXPECT_FALSE(CFStringCreateArrayWithFindResults(nullptr, S(u"abc").get(), S(u",").get(), CFRangeMake(0, 3), 0));

  // Search order, and anchored: the adjacent matches from the anchor on.
  const struct {
    const char16_t* hay;
    const char16_t* needle;
    CFStringCompareFlags options;
    std::vector<CFIndex> starts;
  } orders[] = {
      {u"ABABXAB", u"AB", kCFCompareBackwards, {5, 2, 0}},
      {u"ABABXAB", u"AB", kCFCompareAnchored, {0, 2}},
      {u"ABXABAB", u"AB", kCFCompareAnchored | kCFCompareBackwards, {5, 3}},
      {u"ABABAB", u"AB", kCFCompareAnchored | kCFCompareBackwards, {4, 2, 0}},
      {u"ABABXA", u"ab", kCFCompareAnchored | kCFCompareCaseInsensitive, {0, 2}},
      {u"ÉtéÉTÉx", u"été", kCFCompareAnchored | kCFCompareCaseInsensitive, {0, 3}},
      {u"xÉtéÉTÉ", u"été", kCFCompareAnchored | kCFCompareCaseInsensitive | kCFCompareBackwards, {4, 1}},
  };
  for (const auto& c : orders) {
    CFIndex n = static_cast<CFIndex>(std::u16string_view(c.hay).size());
    auto found = adopt(
        CFStringCreateArrayWithFindResults(nullptr, S(c.hay).get(), S(c.needle).get(), CFRangeMake(0, n), c.options));
    std::vector<CFIndex> starts;
    for (CFIndex i = 0; found && i < CFArrayGetCount(found.get()); ++i) {
      starts.push_back(static_cast<const CFRange*>(CFArrayGetValueAtIndex(found.get(), i))->location);
    }
    EXPECT_EQ(starts, c.starts) << utf8(S(c.hay).get()) << " options " << c.options;
  }

  // Copies made through the array's own callbacks outlive the original with their own ranges.
  auto copy = adopt(CFArrayCreateCopy(nullptr, arr.get()));
  auto grown = adopt(CFArrayCreateMutableCopy(nullptr, 0, folded.get()));
  ASSERT_TRUE(copy && grown);
  CFArrayAppendArray(grown.get(), copy.get(), CFRangeMake(0, 2));
  arr.reset();
  folded.reset();
  ASSERT_EQ(CFArrayGetCount(copy.get()), 2);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(copy.get(), 1)), 5, 1);
  ASSERT_EQ(CFArrayGetCount(grown.get()), 5);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(grown.get(), 2)), 13, 2);
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(grown.get(), 3)), 1, 1);
  copy.reset();
  EXPECT_RANGE(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(grown.get(), 4)), 5, 1);
}
