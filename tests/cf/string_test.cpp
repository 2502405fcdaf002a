// Strings: creation in every supported encoding, access, byte conversion, values, splitting.
#include <array>
#include <bit>
#include <climits>
#include <clocale>

#include "CFTestSupport.h"

using namespace qxtest;
using namespace std::string_view_literals;

namespace {

CFRef<CFStringRef> bytes(std::string_view b, CFStringEncoding e, bool external = false) {
  return adopt(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()),
                                       static_cast<CFIndex>(b.size()), e, external));
}

// The bytes GetBytes produces for the whole string, plus the count of units it converted.
std::string getBytes(CFStringRef s, CFStringEncoding e, UInt8 loss, bool external = false,
                     CFIndex* converted = nullptr) {
  CFIndex used = 0;
  CFRange all = CFRangeMake(0, CFStringGetLength(s));
  CFIndex n = CFStringGetBytes(s, all, e, loss, external, nullptr, 0, &used);
  std::string out(static_cast<size_t>(used), '\0');
  CFIndex used2 = -1;
  CFIndex n2 = CFStringGetBytes(s, all, e, loss, external, reinterpret_cast<UInt8*>(out.data()), used, &used2);
  EXPECT_EQ(n, n2);
  EXPECT_EQ(used, used2);
  if (converted) *converted = n;
  return out;
}

TEST(CFString, CreationFromBytesInEachEncoding) {
  const std::string hostOrder(reinterpret_cast<const char*>(u"hé😀"), 8);
  // {bytes, encoding, external representation, text or NULL when refused}
  using C = std::tuple<std::string_view, CFStringEncoding, bool, const char16_t*>;
  for (const auto& [raw, encoding, external, text] :
       {C{"plain", kCFStringEncodingASCII, false, u"plain"}, C{"caf\xE9", kCFStringEncodingASCII, false, nullptr},
        C{"caf\xE9\xFF", kCFStringEncodingISOLatin1, false, u"caféÿ"},
        C{"\x80\x93q\x94", kCFStringEncodingWindowsLatin1, false, u"€“q”"},
        C{"caf\x8E \xA5", kCFStringEncodingMacRoman, false, u"café •"}, C{"abc", 0x7777, false, nullptr},
        // UTF-16 honours a BOM; without one: big-endian for external representations, host order
        // otherwise. The explicit-order forms keep a leading U+FEFF as a character.
        C{"\xFE\xFF\x00\x41\x00\xE9"sv, kCFStringEncodingUTF16, false, u"Aé"},
        C{"\xFF\xFE\x41\x00\xE9\x00"sv, kCFStringEncodingUTF16, false, u"Aé"},
        C{"\x00\x41"sv, kCFStringEncodingUTF16, true, u"A"}, C{hostOrder, kCFStringEncodingUTF16, false, u"hé😀"},
        C{"\xFE\xFF\x00\x41"sv, kCFStringEncodingUTF16BE, false, u"\uFEFFA"},
        C{"\x41\x00\x3D\xD8\x00\xDE"sv, kCFStringEncodingUTF16LE, false, u"A😀"},
        C{"\x00\x41\x00"sv, kCFStringEncodingUTF16BE, false, nullptr},  // half a unit
        C{"\x00\x00\xFE\xFF\x00\x01\xF6\x00"sv, kCFStringEncodingUTF32, false, u"😀"},
        C{"\xFF\xFE\x00\x00\x41\x00\x00\x00"sv, kCFStringEncodingUTF32, false, u"A"},
        C{"\xE9\x00\x00\x00"sv, kCFStringEncodingUTF32LE, false, u"é"},
        C{"\x00\x11\x00\x00"sv, kCFStringEncodingUTF32BE, false, nullptr},  // past U+10FFFF
        C{"\x00\x00\xD8\x00"sv, kCFStringEncodingUTF32BE, false, nullptr},  // a surrogate
        C{"\x00\x00\x41"sv, kCFStringEncodingUTF32BE, false, nullptr}}) {
    auto s = bytes(raw, encoding, external);
    EXPECT_EQ(s ? units(s.get()) : u"<NULL>", text ? text : u"<NULL>") << encoding << " " << raw;
  }
  EXPECT_TRUE(CFStringIsEncodingAvailable(kCFStringEncodingMacRoman));
  EXPECT_FALSE(CFStringIsEncodingAvailable(0x7777));
}

TEST(CFString, NonLossyASCIIRoundTrips) {
  auto s = bytes("caf\\351 \\u263A \\\\ \\q", kCFStringEncodingNonLossyASCII);
  ASSERT_TRUE(s);
  EXPECT_EQ(units(s.get()), u"café ☺ \\ \\q");
  EXPECT_FALSE(bytes("caf\xE9", kCFStringEncodingNonLossyASCII));

  std::u16string text = u"é😀\\a\xD800";
  auto t = S(text);
  std::string enc = getBytes(t.get(), kCFStringEncodingNonLossyASCII, 0);
  EXPECT_EQ(enc, "\\351\\ud83d\\ude00\\\\a\\ud800");
  EXPECT_EQ(units(bytes(enc, kCFStringEncodingNonLossyASCII).get()), text);
}

TEST(CFString, CharactersNoCopyAndCopies) {
  static const UniChar kText[] = {'h', 'i', 0xE9};
  auto kept = adopt(CFStringCreateWithCharactersNoCopy(nullptr, kText, 3, kCFAllocatorNull));
  EXPECT_EQ(CFStringGetCharactersPtr(kept.get()), kText);  // really not copied
  EXPECT_EQ(units(kept.get()), u"hié");

  // NULL frees with free() (ASan reports a leak otherwise); a custom allocator is used exactly once.
  auto* heap = static_cast<UniChar*>(std::malloc(4 * sizeof(UniChar)));
  std::memcpy(heap, u"heap", 8);
  CFRelease(CFStringCreateWithCharactersNoCopy(nullptr, heap, 4, nullptr));

  int frees = 0;
  CFAllocatorContext ctx{};
  ctx.info = &frees;
  ctx.allocate = [](CFIndex size, CFOptionFlags, void*) { return std::malloc(static_cast<size_t>(size)); };
  ctx.deallocate = [](void* p, void* info) { ++*static_cast<int*>(info), std::free(p); };
  CFAllocatorRef custom = CFAllocatorCreate(nullptr, &ctx);
  auto* c1 = static_cast<char*>(std::malloc(8));
  std::strcpy(c1, "bytes");
  auto viaCString = adopt(CFStringCreateWithCStringNoCopy(nullptr, c1, kCFStringEncodingUTF8, custom));
  EXPECT_EQ(units(viaCString.get()), u"bytes");
  auto* c2 = static_cast<UniChar*>(std::malloc(4));
  std::memcpy(c2, u"ok", 4);
  CFRelease(CFStringCreateWithCharactersNoCopy(nullptr, c2, 2, custom));
  EXPECT_EQ(frees, 2);
  // Invalid bytes: no string, and the bytes stay with the caller.
  char invalid[] = "\xC3(";
  EXPECT_FALSE(CFStringCreateWithBytesNoCopy(nullptr, reinterpret_cast<UInt8*>(invalid), 2, kCFStringEncodingUTF8,
                                             false, custom));
  EXPECT_EQ(frees, 2);
  CFRelease(custom);

  auto whole = S("0123456789");
  EXPECT_EQ(units(adopt(CFStringCreateWithSubstring(nullptr, whole.get(), CFRangeMake(3, 4))).get()), u"3456");
  EXPECT_FALSE(CFStringCreateWithSubstring(nullptr, whole.get(), CFRangeMake(8, 3)));
  EXPECT_FALSE(CFStringCreateWithSubstring(nullptr, whole.get(), CFRangeMake(-1, 2)));

  auto same = adopt(CFStringCreateCopy(nullptr, whole.get()));
  EXPECT_EQ(same.get(), whole.get());
  // Capacities are hints: a copy limited to 2 units still holds everything, and grows.
  auto m = adopt(CFStringCreateMutableCopy(nullptr, 2, whole.get()));
  CFStringAppend(m.get(), whole.get());
  EXPECT_EQ(CFStringGetLength(m.get()), 20);
  auto frozen = adopt(CFStringCreateCopy(nullptr, m.get()));
  EXPECT_NE(frozen.get(), static_cast<CFStringRef>(m.get()));
  CFStringDelete(m.get(), CFRangeMake(0, 5));
  EXPECT_EQ(CFStringGetLength(frozen.get()), 20);
}

TEST(CFString, GetBytesHonoursLossByteAndBufferLimits) {
  auto s = S(std::u16string{u'a', u'é', 0xD83D, 0xDE00, 0xD800, u'b'});
  CFIndex converted = 0;
  EXPECT_EQ(getBytes(s.get(), kCFStringEncodingASCII, '?', false, &converted), "a???b");
  EXPECT_EQ(converted, 6);
  EXPECT_EQ(getBytes(s.get(), kCFStringEncodingISOLatin1, '?'), "a\xE9??b");
  EXPECT_EQ(getBytes(s.get(), kCFStringEncodingUTF8, '?'), "a\xC3\xA9\xF0\x9F\x98\x80?b");
  EXPECT_EQ(getBytes(s.get(), kCFStringEncodingUTF32BE, '?'),
            std::string("\0\0\0a\0\0\0\xE9\0\x01\xF6\0\0\0\0?\0\0\0b", 20));
  // UTF-16 carries the lone surrogate as it is.
  EXPECT_EQ(getBytes(s.get(), kCFStringEncodingUTF16BE, 0), std::string("\0a\0\xE9\xD8\x3D\xDE\x00\xD8\x00\0b", 12));

  // Loss byte 0 stops at the first unconvertible character; a character that does not fit whole
  // is not written in part; ranges whose end overflows are refused before anything is computed
  // from them. {location, length, encoding, loss byte, room, converted, bytes used}.
  using L = std::tuple<CFIndex, CFIndex, CFStringEncoding, UInt8, CFIndex, CFIndex, CFIndex>;
  UInt8 buf[16];
  for (const auto& [at, length, e, loss, room, converted, wrote] :
       {L{0, 6, kCFStringEncodingASCII, 0, 16, 1, 1}, L{0, 6, kCFStringEncodingUTF8, 0, 16, 4, 7},
        L{0, 6, kCFStringEncodingUTF8, '?', 5, 2, 3}, L{0, 6, kCFStringEncodingUTF8, '?', 0, 0, 0},
        L{4, 9, kCFStringEncodingUTF8, '?', 16, 0, 0}, L{LONG_MAX, 1, kCFStringEncodingUTF8, '?', 16, 0, 0},
        L{2, LONG_MAX, kCFStringEncodingUTF8, '?', 16, 0, 0}, L{5, 1, kCFStringEncodingUTF8, '?', 16, 1, 1}}) {
    CFIndex used = -1;
    EXPECT_EQ(CFStringGetBytes(s.get(), CFRangeMake(at, length), e, loss, false, buf, room, &used), converted)
        << at << "+" << length;
    EXPECT_EQ(used, wrote) << at << "+" << length;
  }
  EXPECT_EQ(buf[0], 'b');

  auto euro = S("€ café •");
  EXPECT_EQ(getBytes(euro.get(), kCFStringEncodingWindowsLatin1, '?'), "\x80 caf\xE9 \x95");
  EXPECT_EQ(getBytes(euro.get(), kCFStringEncodingMacRoman, '?'), "\xDB caf\x8E \xA5");

  // The plain UTF-16 form puts a BOM in front of external representations, in host order.
  std::string ext = getBytes(S("A").get(), kCFStringEncodingUTF16, 0, true);
  EXPECT_EQ(ext, std::endian::native == std::endian::little ? std::string("\xFF\xFE\x41\x00", 4)
                                                            : std::string("\xFE\xFF\x00\x41", 4));
  EXPECT_EQ(getBytes(S("A").get(), kCFStringEncodingUTF16BE, 0, true), std::string("\0A", 2));

  char small[4];
  EXPECT_TRUE(CFStringGetCString(S("abc").get(), small, 4, kCFStringEncodingASCII));
  EXPECT_STREQ(small, "abc");
  EXPECT_FALSE(CFStringGetCString(S("abcd").get(), small, 4, kCFStringEncodingASCII));
  EXPECT_FALSE(CFStringGetCString(S("\xC3\xA9").get(), small, 4, kCFStringEncodingASCII));

  EXPECT_EQ(CFStringGetMaximumSizeForEncoding(10, kCFStringEncodingUTF8), 30);
  EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX / 2, kCFStringEncodingUTF8), -1);
}

TEST(CFString, ExternalRepresentationAndEncodingFacts) {
  auto s = S("h\xC3\xA9 \xF0\x9F\x98\x80");
  for (CFStringEncoding e : {kCFStringEncodingUTF8, kCFStringEncodingUTF16, kCFStringEncodingUTF16LE,
                             kCFStringEncodingUTF32, kCFStringEncodingUTF32BE}) {
    auto data = adopt(CFStringCreateExternalRepresentation(nullptr, s.get(), e, 0));
    ASSERT_TRUE(data) << e;
    auto back = adopt(CFStringCreateFromExternalRepresentation(nullptr, data.get(), e));
    ASSERT_TRUE(back) << e;
    EXPECT_TRUE(CFEqual(back.get(), s.get())) << e;
  }
  auto utf16 = adopt(CFStringCreateExternalRepresentation(nullptr, s.get(), kCFStringEncodingUTF16, 0));
  EXPECT_EQ(CFDataGetLength(utf16.get()), 2 + 2 * 5);
  EXPECT_FALSE(CFStringCreateExternalRepresentation(nullptr, s.get(), kCFStringEncodingASCII, 0));
  auto lossy = adopt(CFStringCreateExternalRepresentation(nullptr, s.get(), kCFStringEncodingASCII, '?'));
  EXPECT_EQ(bytesOf(lossy.get()), "h? ?");

  EXPECT_EQ(CFStringGetSystemEncoding(), kCFStringEncodingUTF8);
  for (auto [text, e] : {std::pair{"abc", kCFStringEncodingASCII}, std::pair{"café", kCFStringEncodingISOLatin1},
                         std::pair{"abc€", kCFStringEncodingUTF8}, std::pair{"€", kCFStringEncodingUnicode}}) {
    EXPECT_EQ(CFStringGetSmallestEncoding(S(text).get()), e) << text;
  }
  EXPECT_TRUE(CFEqual(CFStringConvertEncodingToIANACharSetName(kCFStringEncodingISOLatin1), CFSTR("iso-8859-1")));
  EXPECT_EQ(CFStringConvertIANACharSetNameToEncoding(CFSTR("UTF-8")), kCFStringEncodingUTF8);
  EXPECT_EQ(CFStringConvertIANACharSetNameToEncoding(CFSTR("x-unknown")), kCFStringEncodingInvalidId);
}

TEST(CFString, FileSystemRepresentation) {
  auto path = adopt(CFStringCreateWithFileSystemRepresentation(nullptr, "/tmp/caf\xC3\xA9/x"));
  ASSERT_TRUE(path);
  char buf[64];
  ASSERT_TRUE(CFStringGetFileSystemRepresentation(path.get(), buf, sizeof buf));
  EXPECT_STREQ(buf, "/tmp/caf\xC3\xA9/x");
  EXPECT_FALSE(CFStringGetFileSystemRepresentation(path.get(), buf, 5));
  EXPECT_GE(CFStringGetMaximumSizeOfFileSystemRepresentation(path.get()), 14);
  // A NUL would name a different (shorter) path.
  auto withNul = bytes(std::string("/tmp/a\0b", 8), kCFStringEncodingUTF8);
  EXPECT_FALSE(CFStringGetFileSystemRepresentation(withNul.get(), buf, sizeof buf));
}

TEST(CFString, IntAndDoubleValues) {
  // White space includes U+2003, an em space.
  using I = std::tuple<const char*, SInt32>;
  for (const auto& [text, value] :
       {I{"  42abc", 42}, I{"-17", -17}, I{"+5", 5}, I{"abc", 0}, I{"", 0}, I{"\t\n 7", 7}, I{"2147483647", INT32_MAX},
        I{"2147483648", INT32_MAX}, I{"99999999999999999999", INT32_MAX}, I{"-2147483648", INT32_MIN},
        I{"-2147483649", INT32_MIN}, I{"- 3", 0}, I{"\u200312", 12}})
    EXPECT_EQ(CFStringGetIntValue(S(text).get()), value) << text;

  // Digits, sign, point and exponent only: no words for NaN or infinity, no hex.
  using D = std::pair<const char*, double>;
  for (auto [text, value] : {D{"3.25", 3.25}, D{" -1e3x", -1000.0}, D{".5", 0.5}, D{"-.5e+1", -5.0}, D{"1e", 1.0},
                             D{"1.5.3", 1.5}, D{"\u2003\n2.5", 2.5}, D{"+", 0.0}, D{".", 0.0}, D{"nan", 0.0},
                             D{"-NaN(1)", 0.0}, D{"inf", 0.0}, D{"-Infinity", 0.0}, D{"INFINITY", 0.0}, D{"0x1p4", 0.0},
                             D{"0x10", 0.0}, D{" 12\u0663", 12.0}, D{"1e999", HUGE_VAL}, D{"-1e999", -HUGE_VAL}})
    EXPECT_EQ(CFStringGetDoubleValue(S(text).get()), value) << text;
  // The process locale's decimal comma never applies.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr) {
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(S("1.5").get()), 1.5);
    EXPECT_DOUBLE_EQ(CFStringGetDoubleValue(S("1,5").get()), 1.0);
    std::setlocale(LC_NUMERIC, saved.c_str());
  }
}

TEST(CFString, SeparatingAndCombining) {
  using Parts = std::tuple<const char*, const char*, std::vector<std::string>>;
  for (const auto& [text, sep, parts] : {Parts{"a,b,,c", ",", {"a", "b", "", "c"}}, Parts{",a,", ",", {"", "a", ""}},
                                         Parts{"no separator", ";", {"no separator"}}, Parts{"", ",", {""}},
                                         Parts{"x😀y😀", "😀", {"x", "y", ""}}, Parts{"a::b", "::", {"a", "b"}}}) {
    auto arr = adopt(CFStringCreateArrayBySeparatingStrings(nullptr, S(text).get(), S(sep).get()));
    ASSERT_TRUE(arr);
    EXPECT_EQ(strings(arr.get()), parts);
    EXPECT_EQ(take(CFStringCreateByCombiningStrings(nullptr, arr.get(), S(sep).get())), text);
  }
  EXPECT_EQ(take(CFStringCreateByCombiningStrings(nullptr, array({}).get(), CFSTR(","))), "");
}

TEST(CFString, CreationFromUTF8RejectsInvalidInput) {
  // A UTF-8 BOM is dropped; a NUL inside counted bytes is kept.
  EXPECT_EQ(units(bytes("\xEF\xBB\xBFok", kCFStringEncodingUTF8).get()), u"ok");
  EXPECT_EQ(CFStringGetLength(bytes(std::string("a\0b", 3), kCFStringEncodingUTF8).get()), 3);
  EXPECT_FALSE(CFStringCreateWithCString(nullptr, nullptr, kCFStringEncodingUTF8));
  EXPECT_FALSE(CFStringCreateWithBytes(nullptr, nullptr, 3, kCFStringEncodingUTF8, false));

  // Each fast path (16-byte blocks, 8-byte words, single bytes) must see a bad byte wherever it is.
  for (size_t at = 0; at <= 40; ++at) {
    for (const char* bad :
         {"\xFF", "\x80", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xED\xB0\x80", "\xC0\x80", "\xF4\x90\x80\x80"}) {
      EXPECT_FALSE(S(std::string(40, 'a').insert(at, bad))) << at;
    }
    std::u16string expect(40, u'a');
    expect.insert(at, u"é");
    EXPECT_EQ(units(S(std::string(40, 'a').insert(at, "é")).get()), expect) << at;
  }
  // Non-ASCII of every length right after a full ASCII block.
  std::string text = std::string(16, 'a') + "\xC3\xA9" + std::string(16, 'b') + "\xE2\x82\xAC" + std::string(15, 'c') +
                     "\xF0\x9F\x98\x80" + "d";
  std::u16string expect =
      std::u16string(16, u'a') + u"é" + std::u16string(16, u'b') + u"€" + std::u16string(15, u'c') + u"😀d";
  EXPECT_EQ(units(S(text.c_str()).get()), expect);
}

TEST(CFString, ComposedCharactersAndInlineBuffer) {
  auto s = S(u"ae\u0301😀\r\n👍🏽x");
  // {asked index, expected location, length}: an accent joins its e, surrogate halves, CR LF, a skin tone modifier.
  const CFIndex cases[][3] = {{0, 0, 1}, {2, 1, 2}, {4, 3, 2}, {6, 5, 2}, {8, 7, 4}, {11, 11, 1}, {12, kCFNotFound, 0}};
  for (const auto& c : cases) {
    CFRange r = CFStringGetRangeOfComposedCharactersAtIndex(s.get(), c[0]);
    EXPECT_EQ(std::make_pair(r.location, r.length), std::make_pair(c[1], c[2])) << c[0];
  }

  // A prepended character (U+0600) joins the ASCII digit after it, whichever index is asked for.
  auto prepended = adopt(CFStringCreateWithCharacters(nullptr, std::array<UniChar, 3>{0x0600, '1', '2'}.data(), 3));
  for (CFIndex i : {0, 1}) {
    CFRange r = CFStringGetRangeOfComposedCharactersAtIndex(prepended.get(), i);
    EXPECT_EQ(std::make_pair(r.location, r.length), std::make_pair(CFIndex{0}, CFIndex{2})) << i;
  }
  EXPECT_EQ(CFStringGetRangeOfComposedCharactersAtIndex(prepended.get(), 2).location, 2);

  CFStringInlineBuffer buf;
  CFStringInitInlineBuffer(s.get(), &buf, CFRangeMake(1, 10));
  EXPECT_EQ(CFStringGetCharacterFromInlineBuffer(&buf, 0), u'e');
  EXPECT_EQ(CFStringGetCharacterFromInlineBuffer(&buf, 10), 0);
  UniChar pair[2];
  EXPECT_TRUE(CFStringGetSurrogatePairForLongCharacter(0x1F600, pair));
  EXPECT_EQ(CFStringGetLongCharacterForSurrogatePair(pair[0], pair[1]), 0x1F600u);
  EXPECT_FALSE(CFStringGetSurrogatePairForLongCharacter(0xE9, pair));
}

TEST(CFString, ShowStrDescribesTheString) {
  testing::internal::CaptureStderr();
  CFShowStr(S("h\xC3\xA9llo").get());
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Length 5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Mutable 0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\"h\xC3\xA9llo\""), std::string::npos) << out;
}

}  // namespace
