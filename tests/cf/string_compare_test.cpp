// Strings: comparison and search with every option, ASCII and beyond.
#include "CFTestSupport.h"

using namespace qxtest;

namespace {

CFComparisonResult cmp(const char16_t* a, const char16_t* b, CFStringCompareFlags o = 0) {
  return CFStringCompare(S(a).get(), S(b).get(), o);
}
CFRange find(const char16_t* hay, const char16_t* needle, CFStringCompareFlags o = 0) {
  return CFStringFind(S(hay).get(), S(needle).get(), o);
}
std::pair<CFIndex, CFIndex> pair(CFRange r) { return {r.location, r.length}; }
// The ranges CFStringCreateArrayWithFindResults reports, in its order.
std::vector<std::pair<CFIndex, CFIndex>> findAll(const char16_t* hay, const char16_t* needle, CFStringCompareFlags o) {
  auto found = adopt(
      CFStringCreateArrayWithFindResults(nullptr, S(hay).get(), S(needle).get(),
                                         CFRangeMake(0, static_cast<CFIndex>(std::u16string_view(hay).size())), o));
  std::vector<std::pair<CFIndex, CFIndex>> out;
  for (CFIndex i = 0; found && i < CFArrayGetCount(found.get()); ++i) {
    out.push_back(pair(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(found.get(), i))));
  }
  return out;
}

constexpr auto LT = kCFCompareLessThan, EQ = kCFCompareEqualTo, GT = kCFCompareGreaterThan;
constexpr auto NE = static_cast<CFComparisonResult>(2);  // some order, not equal
constexpr CFStringCompareFlags CI = kCFCompareCaseInsensitive, BACK = kCFCompareBackwards, ANCHOR = kCFCompareAnchored,
                               NONLIT = kCFCompareNonliteral, DIA = kCFCompareDiacriticInsensitive,
                               WIDTH = kCFCompareWidthInsensitive, NUM = kCFCompareNumerically,
                               FORCED = kCFCompareForcedOrdering, LOC = kCFCompareLocalized;

TEST(CFStringCompare, OrderWithEveryOption) {
  using C = std::tuple<const char16_t*, const char16_t*, CFStringCompareFlags, CFComparisonResult>;
  // Literal order is by UTF-16 code unit: upper case first, a surrogate (0xD83D) before U+FF5E, no
  // canonical equivalence without Nonliteral.
  for (const auto& [a, b, options, result] :
       {C{u"a", u"b", 0, LT}, C{u"B", u"a", 0, LT}, C{u"abc", u"abcd", 0, LT}, C{u"abcd", u"abc", 0, GT},
        C{u"", u"", 0, EQ}, C{u"\u00e9", u"e\u0301", 0, GT}, C{u"😀", u"\uFF5E", 0, LT}, C{u"file10", u"file2", 0, LT},
        C{u"ＡＢＣ", u"ABC", 0, GT}, C{u"ä", u"b", 0, GT},
        // Folding: to lower case, full case folding, final sigma, the Kelvin sign.
        C{u"hello", u"HELLO", CI, EQ}, C{u"a", u"B", CI, LT}, C{u"_", u"a", CI, LT}, C{u"STRASSE", u"straße", CI, EQ},
        C{u"ÉCOLE", u"école", CI, EQ}, C{u"\u212A", u"k", CI, EQ}, C{u"ΣΑΣ", u"σας", CI, EQ}, C{u"a😀b", u"A😀B", CI, EQ},
        C{u"caf\u00e9", u"cafe\u0301", NONLIT, EQ}, C{u"Caf\u00e9", u"cafe\u0301", NONLIT | CI, EQ},
        C{u"resume", u"résumé", DIA, EQ}, C{u"RESUME", u"résumé", DIA, LT}, C{u"RESUME", u"résumé", DIA | CI, EQ},
        C{u"ＡＢＣ１", u"ABC1", WIDTH, EQ}, C{u"ｶ", u"カ", WIDTH, EQ}, C{u"ＡＢＣ", u"abc", WIDTH | CI, EQ},
        // Numbers by value, without overflow; forced ordering gives equivalent strings a definite order.
        C{u"file2", u"file10", NUM, LT}, C{u"file10", u"file9", NUM, GT}, C{u"file10b", u"file10a", NUM, GT},
        C{u"v1.10", u"v1.9", NUM, GT}, C{u"007", u"7", NUM, EQ},
        C{u"99999999999999999999999", u"100000000000000000000000", NUM, LT}, C{u"File2", u"file10", NUM | CI, LT},
        C{u"Fïle2", u"file10", NUM | CI | DIA, LT}, C{u"abc", u"ABC", CI | FORCED, GT},
        C{u"ABC", u"abc", CI | FORCED, LT}, C{u"abc", u"abc", CI | FORCED, EQ}, C{u"007", u"7", NUM | FORCED, LT},
        // Localized: collation.
        C{u"a", u"B", LOC, LT}, C{u"ä", u"b", LOC, LT}, C{u"file2", u"file10", LOC | NUM, LT},
        C{u"Hello", u"hello", LOC | CI, EQ}, C{u"Hello", u"hello", LOC, NE},
        C{u"résumé", u"RESUME", LOC | CI | DIA, EQ}, C{u"caf\u00e9", u"cafe\u0301", LOC, EQ},
        C{u"caf\u00e9", u"cafe\u0301", LOC | FORCED, NE}, C{u"ＡＢＣ", u"ABC", LOC | WIDTH, EQ}}) {
    CFComparisonResult got = cmp(a, b, options);
    EXPECT_EQ(result == NE && got != EQ ? NE : got, result)
        << utf8(S(a).get()) << " vs " << utf8(S(b).get()) << " options " << options;
  }
  auto whole = S(u"xxabcxx");
  EXPECT_EQ(CFStringCompareWithOptions(whole.get(), S(u"abc").get(), CFRangeMake(2, 3), 0), EQ);
  EXPECT_EQ(CFStringCompareWithOptions(whole.get(), S(u"ABC").get(), CFRangeMake(2, 3), CI), EQ);
  auto sv = adopt(CFLocaleCreate(nullptr, CFSTR("sv_SE")));
  ASSERT_TRUE(sv);  // Swedish sorts ä after z
  EXPECT_EQ(CFStringCompareWithOptionsAndLocale(S(u"ä").get(), S(u"z").get(), CFRangeMake(0, 1), LOC, sv.get()), GT);
  EXPECT_EQ(CFStringCompareWithOptionsAndLocale(S(u"ä").get(), S(u"z").get(), CFRangeMake(0, 1), LOC, nullptr), LT);
  auto m = adopt(CFStringCreateMutableCopy(nullptr, 0, S(u"TITLE").get()));
  CFStringLowercase(m.get(), adopt(CFLocaleCreate(nullptr, CFSTR("tr"))).get());
  EXPECT_EQ(units(m.get()), u"tıtle");  // dotless ı only with a Turkish locale
}

TEST(CFStringCompare, LocalizedFollowsTheCurrentLocale) {
  EnvGuard guard({"LC_ALL", "LANG", "LC_MESSAGES"});
  // LC_MESSAGES has no say; a change of environment is seen at once and LC_ALL wins over LANG; C
  // and POSIX collate with English rules rather than ICU's capitals-first POSIX order.
  struct L {
    const char *all, *lang, *messages;
    const char16_t *a, *b;
    CFComparisonResult result;
  };
  for (const L& c :
       {L{nullptr, "sv_SE.UTF-8", "de_DE.UTF-8", u"ö", u"z", GT},
        L{"de_DE.UTF-8", "sv_SE.UTF-8", nullptr, u"ö", u"z", LT}, L{"C", nullptr, "sv_SE.UTF-8", u"ö", u"z", LT},
        L{"C", nullptr, nullptr, u"a", u"B", LT}, L{nullptr, "POSIX", nullptr, u"a", u"B", LT}}) {
    EnvGuard::set({{"LC_ALL", c.all}, {"LANG", c.lang}, {"LC_MESSAGES", c.messages}});
    EXPECT_EQ(cmp(c.a, c.b, LOC), c.result) << (c.all ? c.all : "") << " " << (c.lang ? c.lang : "");
    EXPECT_EQ(CFStringCompareWithOptionsAndLocale(S(c.a).get(), S(c.b).get(), CFRangeMake(0, 1), LOC,
                                                  adopt(CFLocaleCopyCurrent()).get()),
              c.result);
  }
}

TEST(CFStringCompare, FindWithEveryOption) {
  // The bytes of U+4100 U+0042 match U+4241 across units first.
  using F = std::tuple<const char16_t*, const char16_t*, CFStringCompareFlags, CFIndex, CFIndex>;
  for (const auto& [hay, needle, options, location, length] :
       {F{u"abcabc", u"bc", 0, 1, 2}, F{u"abcabc", u"bc", BACK, 4, 2}, F{u"abcabc", u"abc", ANCHOR, 0, 3},
        F{u"xabc", u"abc", ANCHOR, kCFNotFound, 0}, F{u"abcabc", u"abc", ANCHOR | BACK, 3, 3},
        F{u"abcab", u"abc", ANCHOR | BACK, kCFNotFound, 0}, F{u"abc", u"abcd", 0, kCFNotFound, 0},
        F{u"abc", u"", 0, kCFNotFound, 0}, F{u"a😀b😀", u"😀", BACK, 4, 2}, F{u"Hello", u"hello", 0, kCFNotFound, 0},
        F{u"\u4100\u0042\u4241", u"\u4241", 0, 2, 1}, F{u"xaxaxa", u"xa", BACK, 4, 2},
        // Near-matches that overlap the real one, in plain and in folded text.
        F{u"aabaabaaab", u"aabaaab", 0, 3, 7}, F{u"AabaABaaAb", u"aabaaab", CI, 3, 7},
        F{u"bAaAbaabaa", u"baaabaa", CI | BACK, 0, 7}, F{u"baaabaabaa", u"baaabaa", BACK, 0, 7},
        F{u"aäaäab", u"AÄAB", CI, 2, 4}, F{u"baäaäa", u"BAÄA", CI | BACK, 0, 4},
        // Folded matches are reported in the original's units and cover whole characters: "ss" inside
        // the folding of ß plus a neighbour is not one; with Nonliteral the e of e + U+0301 is accented.
        F{u"Hello HELLO", u"hello", CI | BACK, 6, 5}, F{u"Straße", u"SS", CI, 4, 1}, F{u"STRASSE", u"ß", CI, 4, 2},
        F{u"Straße!", u"SSE!", CI, 4, 3}, F{u"ß", u"s", CI, kCFNotFound, 0}, F{u"sßs", u"ss", CI, 1, 1},
        F{u"sßs", u"ss", CI | BACK, 1, 1}, F{u"ßßs", u"ss", CI | BACK, 1, 1}, F{u"x\u212Ay", u"K", CI, 1, 1},
        F{u"ÉCOLE école", u"école", CI | BACK, 6, 5}, F{u"café au lait", u"e\u0301", NONLIT, 3, 1},
        F{u"café au lait", u"e\u0301", 0, kCFNotFound, 0}, F{u"cafe\u0301!", u"é", NONLIT, 3, 2},
        F{u"cafe\u0301!", u"e", NONLIT, kCFNotFound, 0}, F{u"cafe\u0301!", u"e", 0, 3, 1},
        F{u"Le CAFÉ", u"cafe", CI | DIA, 3, 4}, F{u"Le CAFE\u0301!", u"café", CI | DIA, 3, 5},
        F{u"ＡＢＣ", u"b", CI | WIDTH, 1, 1}, F{u"😀ÉTÉ😀", u"été", CI | ANCHOR, kCFNotFound, 0},
        F{u"😀ÉTÉ😀", u"été😀", CI | ANCHOR | BACK, 2, 5}}) {
    EXPECT_EQ(pair(find(hay, needle, options)), std::make_pair(location, length))
        << utf8(S(hay).get()) << " / " << utf8(S(needle).get()) << " options " << options;
  }
  CFRange r;
  auto hay = S(u"one two one two");
  EXPECT_TRUE(CFStringFindWithOptions(hay.get(), S(u"one").get(), CFRangeMake(1, 14), 0, &r));
  EXPECT_EQ(pair(r), std::make_pair(CFIndex{8}, CFIndex{3}));
  EXPECT_FALSE(CFStringFindWithOptions(hay.get(), S(u"one").get(), CFRangeMake(1, 9), 0, &r));
  EXPECT_FALSE(CFStringFindWithOptions(hay.get(), S(u"one").get(), CFRangeMake(10, 9), 0, &r));  // bad range
  EXPECT_TRUE(CFStringFindWithOptions(hay.get(), S(u"two").get(), CFRangeMake(0, 15), BACK, &r));
  EXPECT_EQ(pair(r), std::make_pair(CFIndex{12}, CFIndex{3}));
  EXPECT_TRUE(CFStringHasPrefix(hay.get(), S(u"one ").get()));
  EXPECT_FALSE(CFStringHasPrefix(hay.get(), S(u"two").get()));
  EXPECT_TRUE(CFStringHasSuffix(hay.get(), S(u"two").get()));
  EXPECT_FALSE(CFStringHasSuffix(hay.get(), S(u"one").get()));
  EXPECT_FALSE(CFStringHasPrefix(hay.get(), S(u"").get()));
}

TEST(CFStringCompare, ArrayWithFindResults) {
  using Ranges = std::vector<std::pair<CFIndex, CFIndex>>;
  // Search order, and anchored: the adjacent matches from the anchor on.
  using A = std::tuple<const char16_t*, const char16_t*, CFStringCompareFlags, Ranges>;
  for (const auto& [hay, needle, options, found] :
       {A{u"a,b;c,d", u",", 0, {{1, 1}, {5, 1}}}, A{u"Maße MASSE masse", u"ss", CI, {{2, 1}, {7, 2}, {13, 2}}},
        A{u"abc", u",", 0, {}}, A{u"aaaaa", u"aa", 0, {{0, 2}, {2, 2}}},
        // Near-matches that overlap the real ones.
        A{u"aabaabaaabaab", u"aabaaab", 0, {{3, 7}}}, A{u"AabaABaaAbaab", u"aabaaab", CI, {{3, 7}}},
        A{u"baaabaabaa", u"baaabaa", BACK, {{0, 7}}}, A{u"bAaAbaabaa", u"baaabaa", CI | BACK, {{0, 7}}},
        A{u"aäaäabaäab", u"AÄAB", CI, {{2, 4}, {6, 4}}}, A{u"baäaäa", u"BAÄA", CI | BACK, {{0, 4}}},
        A{u"aaaaa", u"aa", BACK, {{3, 2}, {1, 2}}}, A{u"ABABXAB", u"AB", BACK, {{5, 2}, {2, 2}, {0, 2}}},
        A{u"ABABXAB", u"AB", ANCHOR, {{0, 2}, {2, 2}}}, A{u"ABXABAB", u"AB", ANCHOR | BACK, {{5, 2}, {3, 2}}},
        A{u"ABABAB", u"AB", ANCHOR | BACK, {{4, 2}, {2, 2}, {0, 2}}},
        A{u"ABABXA", u"ab", ANCHOR | CI, {{0, 2}, {2, 2}}}, A{u"ÉtéÉTÉx", u"été", ANCHOR | CI, {{0, 3}, {3, 3}}},
        A{u"xÉtéÉTÉ", u"été", ANCHOR | CI | BACK, {{4, 3}, {1, 3}}}})
    EXPECT_EQ(findAll(hay, needle, options), found) << utf8(S(hay).get());
  EXPECT_FALSE(CFStringCreateArrayWithFindResults(nullptr, S(u"abc").get(), S(u",").get(), CFRangeMake(0, 3), 0));

  // Copies made through the array's own callbacks outlive the original with their own ranges.
  auto arr =
      adopt(CFStringCreateArrayWithFindResults(nullptr, S(u"a,b;c,d").get(), S(u",").get(), CFRangeMake(0, 7), 0));
  auto folded = adopt(CFStringCreateArrayWithFindResults(nullptr, S(u"Maße MASSE masse").get(), S(u"ss").get(),
                                                         CFRangeMake(0, 16), CI));
  auto copy = adopt(CFArrayCreateCopy(nullptr, arr.get()));
  auto grown = adopt(CFArrayCreateMutableCopy(nullptr, 0, folded.get()));
  ASSERT_TRUE(copy && grown);
  CFArrayAppendArray(grown.get(), copy.get(), CFRangeMake(0, 2));
  arr.reset();
  folded.reset();
  auto at = [](const auto& a, CFIndex i) {
    return pair(*static_cast<const CFRange*>(CFArrayGetValueAtIndex(a.get(), i)));
  };
  ASSERT_EQ(CFArrayGetCount(copy.get()), 2);
  EXPECT_EQ(at(copy, 1), std::make_pair(CFIndex{5}, CFIndex{1}));
  ASSERT_EQ(CFArrayGetCount(grown.get()), 5);
  EXPECT_EQ(at(grown, 2), std::make_pair(CFIndex{13}, CFIndex{2}));
  EXPECT_EQ(at(grown, 3), std::make_pair(CFIndex{1}, CFIndex{1}));
  copy.reset();
  EXPECT_EQ(at(grown, 4), std::make_pair(CFIndex{5}, CFIndex{1}));
}

}  // namespace
