// XML property lists: the writer's exact bytes, round trips, mutability, deep copy, validity and
// every family of bad input.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

using namespace qxtest;

namespace {

CFRef<CFNumberRef> num(int64_t v) { return adopt(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v)); }
CFRef<CFNumberRef> real(double v) { return adopt(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v)); }
CFRef<CFDataRef> blob(const std::string& bytes) {
  return adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()), static_cast<CFIndex>(bytes.size())));
}
CFRef<CFArrayRef> array(std::vector<CFTypeRef> items) {
  return adopt(CFArrayCreate(nullptr, items.data(), static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
}
CFRef<CFMutableDictionaryRef> dict() {
  return adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}
void set(const CFRef<CFMutableDictionaryRef>& d, const char* key, CFTypeRef value) {
  CFDictionarySetValue(d.get(), S(key).get(), value);
}

std::string bytesOf(CFDataRef d) {
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d)), static_cast<size_t>(CFDataGetLength(d)));
}
std::string write(CFTypeRef plist) {
  CFRef<CFDataRef> d = adopt(CFPropertyListCreateXMLData(nullptr, plist));
  EXPECT_TRUE(d) << "writer refused the value";
  return d ? bytesOf(d.get()) : std::string();
}

struct Parsed {
  CFRef<CFTypeRef> value;
  std::string error;
};
Parsed parse(const std::string& xml, CFOptionFlags options = kCFPropertyListImmutable) {
  CFRef<CFDataRef> d = blob(xml);
  CFStringRef error = nullptr;
  Parsed p;
  p.value = adopt(CFPropertyListCreateFromXMLData(nullptr, d.get(), options, &error));
  if (error != nullptr) {
    p.error = utf8(error);
    CFRelease(error);
  }
  return p;
}

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
std::string doc(const std::string& body) { return kHead + body + "\n</plist>\n"; }

// A document with every type, nesting, escaping and non-ASCII text.
CFRef<CFMutableDictionaryRef> everyType() {
  auto d = dict();
  auto empties = array({array({}).get(), dict().get()});
  auto nums =
      array({num(1).get(), num(-2).get(), num(INT64_MAX).get(), num(INT64_MIN).get(), array({}).get(), dict().get()});
  set(d, "array", nums.get());
  set(d, "bool", array({kCFBooleanTrue, kCFBooleanFalse}).get());
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred.push_back(static_cast<char>(i));
  set(d, "data", blob(hundred).get());
  set(d, "date", adopt(CFDateCreate(nullptr, 730943947)).get());  // 2024-02-29T23:59:07Z
  set(d, "esc", S("a&b<c>d\"e'f]]>").get());
  auto inner = dict();
  set(inner, "deep", real(2.5).get());
  set(inner, "blob", blob("hi").get());
  auto nested = dict();
  set(nested, "inner", array({inner.get()}).get());
  set(d, "nested", nested.get());
  set(d, "real", array({real(0.1).get(), real(-1.5e-300).get(), real(1e21).get()}).get());
  set(d, "text", S("Grüße 😀").get());
  set(d, "empty", S("").get());
  return d;
}

TEST(PlistWriter, ExactBytesOfEveryType) {
  const std::string expected = kHead +
                               "<dict>\n"
                               "\t<key>array</key>\n"
                               "\t<array>\n"
                               "\t\t<integer>1</integer>\n"
                               "\t\t<integer>-2</integer>\n"
                               "\t\t<integer>9223372036854775807</integer>\n"
                               "\t\t<integer>-9223372036854775808</integer>\n"
                               "\t\t<array/>\n"
                               "\t\t<dict/>\n"
                               "\t</array>\n"
                               "\t<key>bool</key>\n"
                               "\t<array>\n"
                               "\t\t<true/>\n"
                               "\t\t<false/>\n"
                               "\t</array>\n"
                               "\t<key>data</key>\n"
                               "\t<data>\n"
                               "\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEy\n"
                               "\tMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiYw==\n"
                               "\t</data>\n"
                               "\t<key>date</key>\n"
                               "\t<date>2024-02-29T23:59:07Z</date>\n"
                               "\t<key>empty</key>\n"
                               "\t<string></string>\n"
                               "\t<key>esc</key>\n"
                               "\t<string>a&amp;b&lt;c&gt;d\"e'f]]&gt;</string>\n"
                               "\t<key>nested</key>\n"
                               "\t<dict>\n"
                               "\t\t<key>inner</key>\n"
                               "\t\t<array>\n"
                               "\t\t\t<dict>\n"
                               "\t\t\t\t<key>blob</key>\n"
                               "\t\t\t\t<data>\n"
                               "\t\t\t\taGk=\n"
                               "\t\t\t\t</data>\n"
                               "\t\t\t\t<key>deep</key>\n"
                               "\t\t\t\t<real>2.5</real>\n"
                               "\t\t\t</dict>\n"
                               "\t\t</array>\n"
                               "\t</dict>\n"
                               "\t<key>real</key>\n"
                               "\t<array>\n"
                               "\t\t<real>0.1</real>\n"
                               "\t\t<real>-1.5e-300</real>\n"
                               "\t\t<real>1e+21</real>\n"
                               "\t</array>\n"
                               "\t<key>text</key>\n"
                               "\t<string>Grüße 😀</string>\n"
                               "</dict>\n"
                               "</plist>\n";
  EXPECT_EQ(write(everyType().get()), expected);

  // The newer entry point writes the same bytes.
  CFErrorRef error = nullptr;
  CFRef<CFDataRef> viaCreateData =
      adopt(CFPropertyListCreateData(nullptr, everyType().get(), kCFPropertyListXMLFormat_v1_0, 0, &error));
  ASSERT_TRUE(viaCreateData);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(bytesOf(viaCreateData.get()), expected);
}

TEST(PlistWriter, TopLevelLeavesSpecialRealsAndDataLines) {
  EXPECT_EQ(write(S("x").get()), kHead + "<string>x</string>\n</plist>\n");
  EXPECT_EQ(write(kCFBooleanTrue), kHead + "<true/>\n</plist>\n");
  EXPECT_EQ(write(array({}).get()), kHead + "<array/>\n</plist>\n");
  EXPECT_EQ(write(blob("").get()), kHead + "<data>\n</data>\n</plist>\n");
  EXPECT_EQ(write(array({real(NAN).get(), real(INFINITY).get(), real(-INFINITY).get(), real(-0.0).get(),
                         real(1e-7).get(), real(123456789.125).get()})
                      .get()),
            kHead +
                "<array>\n\t<real>nan</real>\n\t<real>+infinity</real>\n\t<real>-infinity</real>\n\t<real>-0</real>\n"
                "\t<real>1e-07</real>\n\t<real>123456789.125</real>\n</array>\n</plist>\n");
  // Fractions of a second are dropped; dates before 2001 and 1970 round down, not toward zero.
  EXPECT_EQ(write(adopt(CFDateCreate(nullptr, 730943947.75)).get()),
            kHead + "<date>2024-02-29T23:59:07Z</date>\n</plist>\n");
  EXPECT_EQ(write(adopt(CFDateCreate(nullptr, -0.5)).get()), kHead + "<date>2000-12-31T23:59:59Z</date>\n</plist>\n");
  EXPECT_EQ(write(adopt(CFDateCreate(nullptr, -1009843200.0 - 86400.0)).get()),
            kHead + "<date>1968-12-31T00:00:00Z</date>\n</plist>\n");
  // Years outside 0…9999 as printf's "%04d" writes them, and read back.
  const struct {
    CFAbsoluteTime at;
    const char* text;
  } years[] = {
      {-63145526400.0, "0000-01-01T00:00:00Z"},           {-63145612800.0 + 86399, "-001-12-31T23:59:59Z"},
      {-378715046400.0, "-10000-01-01T00:00:00Z"},        {252423993600.0, "10000-01-01T00:00:00Z"},
      {3832765862400.0 + 3723, "123456-07-08T01:02:03Z"},
  };
  for (const auto& y : years) {
    std::string xml = write(adopt(CFDateCreate(nullptr, y.at)).get());
    EXPECT_EQ(xml, kHead + "<date>" + y.text + "</date>\n</plist>\n");
    Parsed p = parse(xml);
    ASSERT_TRUE(p.value) << y.text << ": " << p.error;
    EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(p.value.get())), y.at) << y.text;
  }
  // Top-level data: 76-character lines; at indentation 8 and beyond the floor of 16 characters.
  std::string bytes(60, 'x');
  std::string top = write(blob(bytes).get());
  EXPECT_NE(top.find("<data>\neHh4"), std::string::npos);
  size_t first = top.find("<data>\n") + 7;
  EXPECT_EQ(top.find('\n', first) - first, 76u);
  auto deep = CFRef<CFTypeRef>::retain(blob(bytes).get());
  for (int i = 0; i < 9; ++i) deep = CFRef<CFTypeRef>::retain(array({deep.get()}).get());
  std::string nested = write(deep.get());
  std::string line = std::string(9, '\t') + "eHh4eHh4eHh4eHh4\n";  // 16 characters after the tabs
  EXPECT_NE(nested.find(std::string(9, '\t') + "<data>\n" + line + line), std::string::npos) << nested;
}

TEST(PlistWriter, KeysSortedByUTF16CodeUnit) {
  auto d = dict();
  // U+FF5E sorts after the surrogate pair of U+1F600 in UTF-16, before it by code point.
  const char* keys[] = {"b", "a", "B", "", "é", "\xEF\xBD\x9E", "😀", "Z", "aa", "e\xCC\x81"};
  for (const char* k : keys) set(d, k, num(1).get());
  std::string xml = write(d.get());
  std::vector<std::string> order;
  for (size_t pos = 0; (pos = xml.find("<key>", pos)) != std::string::npos; pos += 5) {
    order.push_back(xml.substr(pos + 5, xml.find("</key>", pos) - pos - 5));
  }
  std::vector<std::string> expected = {"", "B", "Z", "a", "aa", "b", "e\xCC\x81", "é", "😀", "\xEF\xBD\x9E"};
  EXPECT_EQ(order, expected);
}

TEST(PlistWriter, RefusesWhatXMLCannotHold) {
  auto withNull = array({S("ok").get(), kCFNull});
  EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, withNull.get())));
  auto badKey =
      adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(badKey.get(), num(1).get(), S("v").get());
  EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, badKey.get())));
  UniChar nul[] = {'a', 0, 'b'};
  auto withNul = adopt(CFStringCreateWithCharacters(nullptr, nul, 3));
  EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, withNul.get())));
  EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, nullptr)));

  // A container holding itself ends in failure, not a stack overflow.
  auto loop = adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  CFArrayAppendValue(loop.get(), loop.get());
  EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, loop.get())));
  EXPECT_FALSE(CFPropertyListIsValid(loop.get(), kCFPropertyListXMLFormat_v1_0));
  EXPECT_FALSE(adopt(CFPropertyListCreateDeepCopy(nullptr, loop.get(), kCFPropertyListImmutable)));
  CFArrayRemoveAllValues(loop.get());  // break the cycle so it can be freed

  // CreateData reports the reason as a CFError; other formats are not written.
  CFErrorRef error = nullptr;
  EXPECT_FALSE(adopt(CFPropertyListCreateData(nullptr, withNull.get(), kCFPropertyListXMLFormat_v1_0, 0, &error)));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
  EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
  CFRelease(error);
  error = nullptr;
  EXPECT_FALSE(adopt(CFPropertyListCreateData(nullptr, S("x").get(), kCFPropertyListBinaryFormat_v1_0, 0, &error)));
  ASSERT_NE(error, nullptr);
  CFRelease(error);

  // A lone surrogate is written as U+FFFD rather than as invalid UTF-8.
  UniChar lone[] = {'a', 0xD800, 'b'};
  auto loneStr = adopt(CFStringCreateWithCharacters(nullptr, lone, 3));
  EXPECT_EQ(write(loneStr.get()), kHead +
                                      "<string>a\xEF\xBF\xBD"
                                      "b</string>\n</plist>\n");
}

TEST(PlistReader, RoundTripsEveryTypeWithEveryOption) {
  auto original = everyType();
  set(original, "specials", array({real(NAN).get(), real(-INFINITY).get(), real(5e-324).get(), num(0).get()}).get());
  UniChar control[] = {'\r', '\n', '\t', 1, 0x1F, 0xFFFE};
  set(original, "controls", adopt(CFStringCreateWithCharacters(nullptr, control, 6)).get());
  std::string xml = write(original.get());
  for (CFOptionFlags option :
       {kCFPropertyListImmutable, kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
    Parsed p = parse(xml, option);
    ASSERT_TRUE(p.value) << p.error;
    EXPECT_TRUE(CFEqual(p.value.get(), original.get())) << "option " << option;
    EXPECT_EQ(write(p.value.get()), xml);
  }
  // Leaves at top level.
  auto top = S("top");
  auto seven = num(-7);
  for (CFTypeRef leaf : {static_cast<CFTypeRef>(top.get()), static_cast<CFTypeRef>(seven.get()),
                         static_cast<CFTypeRef>(kCFBooleanFalse)}) {
    Parsed p = parse(write(leaf));
    ASSERT_TRUE(p.value) << p.error;
    EXPECT_TRUE(CFEqual(p.value.get(), leaf));
  }
}

TEST(PlistReader, MutabilityOptions) {
  std::string xml = doc("<dict><key>a</key><array><string>s</string><data>AAE=</data></array></dict>");
  auto probe = [&](CFOptionFlags option, bool containers, bool leaves) {
    Parsed p = parse(xml, option);
    ASSERT_TRUE(p.value) << p.error;
    auto d = static_cast<CFMutableDictionaryRef>(const_cast<void*>(p.value.get()));
    CFDictionarySetValue(d, S("new").get(), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(d), containers ? 2 : 1);
    auto a = static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(d, S("a").get())));
    CFArrayAppendValue(a, kCFBooleanTrue);
    EXPECT_EQ(CFArrayGetCount(a), containers ? 3 : 2);
    auto s = static_cast<CFMutableStringRef>(const_cast<void*>(CFArrayGetValueAtIndex(a, 0)));
    CFStringAppendCString(s, "!", kCFStringEncodingUTF8);
    EXPECT_EQ(CFStringGetLength(s), leaves ? 2 : 1);
    auto bytes = static_cast<CFMutableDataRef>(const_cast<void*>(CFArrayGetValueAtIndex(a, 1)));
    UInt8 more = 9;
    CFDataAppendBytes(bytes, &more, 1);
    EXPECT_EQ(CFDataGetLength(bytes), leaves ? 3 : 2);
  };
  probe(kCFPropertyListImmutable, false, false);
  probe(kCFPropertyListMutableContainers, true, false);
  probe(kCFPropertyListMutableContainersAndLeaves, true, true);
}

TEST(PlistReader, AcceptsEverythingTheFormatAllows) {
  // No declaration, no DOCTYPE, a BOM, comments, processing instructions and odd whitespace.
  Parsed p =
      parse("\xEF\xBB\xBF<!-- c --><plist>\n  <array>\r\n<!-- c --> <?pi x?>\t<integer> 42 </integer></array></plist>");
  ASSERT_TRUE(p.value) << p.error;
  EXPECT_TRUE(CFEqual(p.value.get(), array({num(42).get()}).get()));
  // A bare value without <plist>.
  p = parse("<string>bare</string>");
  ASSERT_TRUE(p.value) << p.error;
  EXPECT_TRUE(CFEqual(p.value.get(), S("bare").get()));

  // Text: entities, decimal and hex references (beyond the BMP too), CDATA, mixed pieces.
  p =
      parse(doc("<array><string>&amp;&lt;&gt;&quot;&apos;&#65;&#x42;&#x1F600;&#233;</string>"
                "<string>a<![CDATA[<b>&amp;]]>c<!-- gone -->d</string><string>  </string><string/>"
                "<string></string><string>l1\r\nl2</string></array>"));
  ASSERT_TRUE(p.value) << p.error;
  auto a = static_cast<CFArrayRef>(p.value.get());
  ASSERT_EQ(CFArrayGetCount(a), 6);
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 0))), "&<>\"'AB😀é");
  EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 0))), 10);  // a surrogate pair
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 1))), "a<b>&amp;cd");
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 2))), "  ");
  EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 3))), 0);
  EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 4))), 0);
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFArrayGetValueAtIndex(a, 5))), "l1\r\nl2");

  // Numbers.
  p =
      parse(doc("<array><integer>4294967296</integer><integer>-9223372036854775808</integer>"
                "<integer>9223372036854775807</integer><integer>0x7fFFffFFffFFffFF</integer><integer>+5</integer>"
                "<integer>-0x10</integer><real>1e3</real><real>-2.5E-3</real><real>.5</real><real>7</real>"
                "<real>+infinity</real><real>-infinity</real><real>inf</real><real>-INF</real><real>1e999</real>"
                "<real>1e-999</real></array>"));
  ASSERT_TRUE(p.value) << p.error;
  auto expected = array({num(4294967296).get(), num(INT64_MIN).get(), num(INT64_MAX).get(), num(INT64_MAX).get(),
                         num(5).get(), num(-16).get(), real(1000).get(), real(-2.5e-3).get(), real(0.5).get(),
                         real(7).get(), real(INFINITY).get(), real(-INFINITY).get(), real(INFINITY).get(),
                         real(-INFINITY).get(), real(INFINITY).get(), real(0).get()});
  EXPECT_TRUE(CFEqual(p.value.get(), expected.get()));
  p = parse(doc("<real>nan</real>"));
  ASSERT_TRUE(p.value) << p.error;
  double d = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(p.value.get()), kCFNumberFloat64Type, &d);
  EXPECT_TRUE(std::isnan(d));

  // Base64 in any layout, padded or not; empty data; dates in full and partial forms.
  p =
      parse(doc("<array><data>\n\t\tAA\r\n E C\tAw==  \n</data><data>AAECAw</data><data/><data></data>"
                "<date>2024-02-29T23:59:07Z</date><date>2001-01-01Z</date><date>1970Z</date><date>-0001-12-31Z</date>"
                "</array>"));
  ASSERT_TRUE(p.value) << p.error;
  expected =
      array({blob(std::string("\0\1\2\3", 4)).get(), blob(std::string("\0\1\2\3", 4)).get(), blob("").get(),
             blob("").get(), adopt(CFDateCreate(nullptr, 730943947)).get(), adopt(CFDateCreate(nullptr, 0)).get(),
             adopt(CFDateCreate(nullptr, -978307200)).get(), adopt(CFDateCreate(nullptr, -63145612800.0)).get()});
  EXPECT_TRUE(CFEqual(p.value.get(), expected.get()));

  // Empty containers in both spellings; duplicate keys: the last value wins.
  p =
      parse(doc("<dict><key>e</key><dict/><key>f</key><array></array><key>g</key><dict>\n</dict>"
                "<key>dup</key><integer>1</integer><key>dup</key><integer>2</integer></dict>"));
  ASSERT_TRUE(p.value) << p.error;
  auto dd = static_cast<CFDictionaryRef>(p.value.get());
  EXPECT_EQ(CFDictionaryGetCount(dd), 4);
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(dd, S("dup").get()), num(2).get()));
  EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(CFDictionaryGetValue(dd, S("g").get()))), 0);

  // Exactly 512 nested containers are fine.
  std::string deep;
  for (int i = 0; i < 512; ++i) deep += "<array>";
  for (int i = 0; i < 512; ++i) deep += "</array>";
  p = parse(doc(deep));
  EXPECT_TRUE(p.value) << p.error;
  EXPECT_TRUE(p.error.empty());
}

TEST(PlistReader, UnsignedAboveInt64Max) {
  // Apple writes UInt64 values above INT64_MAX as unsigned decimal; they round-trip through a
  // 128-bit CFNumber instead of wrapping to a negative value. 2^64 is out of range.
  Parsed p = parse(doc("<integer>18446744073709551615</integer>"));
  ASSERT_TRUE(p.value) << p.error;
  EXPECT_EQ(write(p.value.get()), doc("<integer>18446744073709551615</integer>"));
  p = parse(doc("<integer>18446744073709551616</integer>"));
  EXPECT_FALSE(p.value);
  EXPECT_NE(p.error.find("range"), std::string::npos) << p.error;
}

TEST(PlistDeepCopy, CopiesWithRequestedMutability) {
  auto original = everyType();
  for (CFOptionFlags option :
       {kCFPropertyListImmutable, kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
    CFRef<CFTypeRef> copy = adopt(CFPropertyListCreateDeepCopy(nullptr, original.get(), option));
    ASSERT_TRUE(copy);
    EXPECT_TRUE(CFEqual(copy.get(), original.get()));
    EXPECT_NE(copy.get(), static_cast<CFTypeRef>(original.get()));
  }
  // A mutable copy's nested containers are new objects: changing them leaves the original alone.
  CFRef<CFTypeRef> copy =
      adopt(CFPropertyListCreateDeepCopy(nullptr, original.get(), kCFPropertyListMutableContainersAndLeaves));
  auto nested = static_cast<CFMutableDictionaryRef>(
      const_cast<void*>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(copy.get()), S("nested").get())));
  CFDictionarySetValue(nested, S("added").get(), kCFBooleanTrue);
  auto text = static_cast<CFMutableStringRef>(
      const_cast<void*>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(copy.get()), S("text").get())));
  CFStringAppendCString(text, "!", kCFStringEncodingUTF8);
  EXPECT_FALSE(CFEqual(copy.get(), original.get()));
  EXPECT_EQ(utf8(static_cast<CFStringRef>(CFDictionaryGetValue(original.get(), S("text").get()))), "Grüße 😀");
  EXPECT_FALSE(CFDictionaryContainsKey(
      static_cast<CFDictionaryRef>(CFDictionaryGetValue(original.get(), S("nested").get())), S("added").get()));

  EXPECT_FALSE(adopt(CFPropertyListCreateDeepCopy(nullptr, array({kCFNull}).get(), kCFPropertyListImmutable)));
}

TEST(PlistValidity, IsValidPerFormat) {
  auto plist = everyType();
  EXPECT_TRUE(CFPropertyListIsValid(plist.get(), kCFPropertyListXMLFormat_v1_0));
  EXPECT_TRUE(CFPropertyListIsValid(plist.get(), kCFPropertyListBinaryFormat_v1_0));
  EXPECT_FALSE(CFPropertyListIsValid(plist.get(), kCFPropertyListOpenStepFormat));  // numbers, dates, booleans
  EXPECT_TRUE(CFPropertyListIsValid(array({S("a").get(), blob("b").get()}).get(), kCFPropertyListOpenStepFormat));
  EXPECT_FALSE(CFPropertyListIsValid(array({S("a").get(), kCFNull}).get(), kCFPropertyListXMLFormat_v1_0));
  auto badKey = dict();
  CFDictionarySetValue(badKey.get(), num(3).get(), S("v").get());
  EXPECT_FALSE(CFPropertyListIsValid(badKey.get(), kCFPropertyListXMLFormat_v1_0));
  EXPECT_FALSE(CFPropertyListIsValid(nullptr, kCFPropertyListXMLFormat_v1_0));
  EXPECT_FALSE(CFPropertyListIsValid(S("a").get(), static_cast<CFPropertyListFormat>(7)));
}

// --- bad input: each family gives NULL and an error message, never a crash ---------------------

void expectRejected(const std::vector<std::string>& inputs, const char* family) {
  for (const std::string& input : inputs) {
    for (CFOptionFlags option : {kCFPropertyListImmutable, kCFPropertyListMutableContainersAndLeaves}) {
      Parsed p = parse(input, option);
      EXPECT_FALSE(p.value) << family << ": accepted " << input;
      EXPECT_FALSE(p.error.empty()) << family << ": no message for " << input;
    }
  }
}

TEST(PlistBadInput, MalformedOrTruncatedXML) {
  std::string good = write(everyType().get());
  std::vector<std::string> inputs = {"",
                                     "   ",
                                     "<",
                                     "<plist>",
                                     "<plist><dict>",
                                     "<plist><string>a</plist>",
                                     "<plist><array></dict></plist>",
                                     "junk<plist><true/></plist>",
                                     "<plist><true/></plist>junk",
                                     "<plist><true/></plist><plist/>",
                                     "<plist><array>text</array></plist>",
                                     "<plist><![CDATA[x]]></plist>",
                                     "<plist><true/><false/></plist>",
                                     "<plist></plist>",
                                     "{a = b;}",
                                     "bplist00\x01\x02",
                                     "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><plist/>"};
  // Every truncation of a real document.
  for (size_t cut = 0; cut < good.size(); cut += 7) inputs.push_back(good.substr(0, cut));
  expectRejected(inputs, "malformed");
  Parsed p = parse("<plist>\n<array>\n<string>x</strin>\n</array>\n</plist>");
  EXPECT_NE(p.error.find("line 3"), std::string::npos) << p.error;
}

TEST(PlistBadInput, WrongOrUnknownTags) {
  expectRejected({doc("<foo/>"), doc("<array><bar>1</bar></array>"), doc("<dict><string>k</string><true/></dict>"),
                  doc("<key>k</key>"), doc("<array><key>k</key></array>"), doc("<string>a<b/>c</string>"),
                  doc("<integer><integer>1</integer></integer>"), doc("<true>yes</true>"),
                  doc("<plist><true/></plist>"), doc("<dict><key>a<x/></key><true/></dict>")},
                 "tags");
  Parsed p = parse(doc("<foo/>"));
  EXPECT_NE(p.error.find("foo"), std::string::npos) << p.error;
}

TEST(PlistBadInput, KeyWithoutValue) {
  expectRejected({doc("<dict><key>a</key></dict>"), doc("<dict><key>a</key><integer>1</integer><key>b</key></dict>"),
                  doc("<dict><key>a</key><key>b</key></dict>")},
                 "key");
}

TEST(PlistBadInput, InvalidUTF8) {
  expectRejected(
      {doc("<string>\xFF</string>"), doc("<string>\xC3</string>"), doc("<string>\xC0\xAF</string>"),
       doc("<string>\xED\xA0\x80</string>"), doc("<string>\xF4\x90\x80\x80</string>"), doc("<key\xE9>a</key\xE9>"),
       doc(std::string("<string>a\0b</string>", 20)), doc("<string>&#xD800;</string>"), doc("<string>&#0;</string>"),
       doc("<string>&#x110000;</string>"), doc("<string>\xE2\x82</string>")},
      "utf8");
}

TEST(PlistBadInput, BadBase64) {
  expectRejected({doc("<data>AAE*</data>"), doc("<data>A</data>"), doc("<data>AA=A</data>"), doc("<data>=AAA</data>"),
                  doc("<data>AAAA=</data>"), doc("<data>AA===</data>"), doc("<data>AA<x/></data>")},
                 "base64");
}

TEST(PlistBadInput, BadNumbersAndDates) {
  expectRejected({doc("<integer>9223372036854775808999</integer>"),
                  doc("<integer>-9223372036854775809</integer>"),
                  doc("<integer>99999999999999999999999</integer>"),
                  doc("<integer>0x1ffffffffffffffff</integer>"),
                  doc("<integer></integer>"),
                  doc("<integer>1.5</integer>"),
                  doc("<integer>12a</integer>"),
                  doc("<integer>--1</integer>"),
                  doc("<integer>0x</integer>"),
                  doc("<real></real>"),
                  doc("<real>1.2.3</real>"),
                  doc("<real>infinityx</real>"),
                  doc("<real>0x10</real>"),
                  doc("<date>2024-02-30T00:00:00Z</date>"),
                  doc("<date>2023-02-29T00:00:00Z</date>"),
                  doc("<date>2024-13-01T00:00:00Z</date>"),
                  doc("<date>2024-01-01T24:00:00Z</date>"),
                  doc("<date>2024-01-01T00:00:00</date>"),
                  doc("<date>24-01-01Z</date>"),
                  doc("<date>-24-01-01Z</date>"),
                  doc("<date>--2024-01-01Z</date>"),
                  doc("<date>+2024-01-01Z</date>"),
                  doc("<date>1000000000-01-01Z</date>"),
                  doc("<date>-Z</date>"),
                  doc("<date></date>")},
                 "numbers");

  // Messages quote the offending text; a quote cut inside a UTF-8 sequence must not lose the error.
  std::string accents;
  for (int i = 0; i < 25; ++i) accents += "é";
  expectRejected({doc("<integer>1" + accents + "</integer>"), doc("<real>1" + accents + "</real>"),
                  doc("<date>1" + accents + "</date>")},
                 "non-ASCII numbers");
  CFRef<CFDataRef> bad = blob(doc("<integer>1" + accents + "</integer>"));
  CFErrorRef error = nullptr;
  EXPECT_FALSE(CFPropertyListCreateWithData(nullptr, bad.get(), kCFPropertyListImmutable, nullptr, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), 3840);
  CFRelease(error);
}

TEST(PlistBadInput, NestingDeeperThan512) {
  for (int depth : {513, 100000}) {
    std::string deep;
    for (int i = 0; i < depth; ++i) deep += i % 2 ? "<array>" : "<dict><key>k</key>";
    for (int i = depth - 1; i >= 0; --i) deep += i % 2 ? "</array>" : "</dict>";
    Parsed p = parse(doc(deep));
    EXPECT_FALSE(p.value);
    EXPECT_NE(p.error.find("512"), std::string::npos) << p.error;
  }
}

TEST(PlistBadInput, EntityDefinitionsAreNeverExpanded) {
  expectRejected(
      {"<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"boom\">]><plist><string>&e;</string></plist>",
       "<!DOCTYPE plist [<!ENTITY a \"x\"><!ENTITY b "
       "\"&a;&a;&a;&a;&a;&a;&a;&a;\">]><plist><string>&b;</string></plist>",
       "<!DOCTYPE plist SYSTEM \"file:///etc/passwd\" [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><plist>&x;</plist>",
       doc("<string>&e;</string>"), doc("<string>&amp</string>"), doc("<string>a & b</string>")},
      "entities");

  // CreateWithData reports the same through a CFError in the Cocoa domain, code 3840.
  auto bad = blob("<!DOCTYPE plist [<!ENTITY e \"boom\">]><plist><string>&e;</string></plist>");
  CFErrorRef error = nullptr;
  CFPropertyListFormat format = kCFPropertyListBinaryFormat_v1_0;
  EXPECT_FALSE(adopt(CFPropertyListCreateWithData(nullptr, bad.get(), 0, &format, &error)));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), 3840);
  EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
  CFRef<CFDictionaryRef> info = adopt(CFErrorCopyUserInfo(error));
  auto message = static_cast<CFStringRef>(CFDictionaryGetValue(info.get(), kCFErrorDebugDescriptionKey));
  ASSERT_NE(message, nullptr);
  EXPECT_NE(utf8(message).find("DOCTYPE"), std::string::npos);
  EXPECT_TRUE(CFEqual(message, CFDictionaryGetValue(info.get(), kCFErrorDescriptionKey)));
  CFRelease(error);

  // And a success leaves the error NULL and names the format.
  error = reinterpret_cast<CFErrorRef>(1);
  auto good = blob(doc("<true/>"));
  CFRef<CFTypeRef> v = adopt(CFPropertyListCreateWithData(nullptr, good.get(), 0, &format, &error));
  EXPECT_TRUE(v);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
}

}  // namespace
