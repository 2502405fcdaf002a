// XML property lists: the writer's exact bytes, round trips, mutability, deep copy, validity and
// every family of bad input.
#include "CFTestSupport.h"

using namespace qxtest;

namespace {

void set(const CFRef<CFMutableDictionaryRef>& d, const char* key, CFTypeRef value) {
  CFDictionarySetValue(d.get(), S(key).get(), value);
}
CFTypeRef get(CFTypeRef d, const char* key) {
  return CFDictionaryGetValue(static_cast<CFDictionaryRef>(d), S(key).get());
}
CFRef<CFDateRef> date(CFAbsoluteTime t) { return adopt(CFDateCreate(nullptr, t)); }

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
  CFStringRef error = nullptr;
  Parsed p;
  p.value = adopt(CFPropertyListCreateFromXMLData(nullptr, blob(xml).get(), options, &error));
  if (error != nullptr) p.error = take(error);
  return p;
}

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
std::string doc(const std::string& body) { return kHead + body + "\n</plist>\n"; }
// A document holding one element.
std::string el(const std::string& tag, const std::string& text) {
  return doc("<" + tag + ">" + text + "</" + tag + ">");
}
std::vector<std::string> els(const std::string& tag, std::initializer_list<const char*> texts) {
  std::vector<std::string> out;
  for (const char* t : texts) out.push_back(el(tag, t));
  return out;
}

// A document with every type, nesting, escaping and non-ASCII text.
CFRef<CFMutableDictionaryRef> everyType() {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred.push_back(static_cast<char>(i));
  auto inner = dict({{"deep", real(2.5).get()}, {"blob", blob("hi").get()}});
  return dict({{"array", array({num(1).get(), num(-2).get(), num(INT64_MAX).get(), num(INT64_MIN).get(),
                                array({}).get(), dict().get()})
                             .get()},
               {"bool", array({kCFBooleanTrue, kCFBooleanFalse}).get()},
               {"data", blob(hundred).get()},
               {"date", date(730943947).get()},  // 2024-02-29T23:59:07Z
               {"esc", S("a&b<c>d\"e'f]]>").get()},
               {"nested", dict({{"inner", array({inner.get()}).get()}}).get()},
               {"real", array({real(0.1).get(), real(-1.5e-300).get(), real(1e21).get()}).get()},
               {"text", S("Grüße 😀").get()},
               {"empty", S("").get()}});
}

TEST(PlistWriter, ExactBytesOfEveryType) {
  const std::string expected =
      kHead +
      "<dict>\n\t<key>array</key>\n\t<array>\n\t\t<integer>1</integer>\n\t\t<integer>-2</integer>\n"
      "\t\t<integer>9223372036854775807</integer>\n\t\t<integer>-9223372036854775808</integer>\n\t\t<array/>\n"
      "\t\t<dict/>\n\t</array>\n\t<key>bool</key>\n\t<array>\n\t\t<true/>\n\t\t<false/>\n\t</array>\n"
      "\t<key>data</key>\n\t<data>\n"
      "\tAAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKissLS4vMDEy\n"
      "\tMzQ1Njc4OTo7PD0+P0BBQkNERUZHSElKS0xNTk9QUVJTVFVWV1hZWltcXV5fYGFiYw==\n"
      "\t</data>\n\t<key>date</key>\n\t<date>2024-02-29T23:59:07Z</date>\n\t<key>empty</key>\n\t<string></string>\n"
      "\t<key>esc</key>\n\t<string>a&amp;b&lt;c&gt;d\"e'f]]&gt;</string>\n\t<key>nested</key>\n\t<dict>\n"
      "\t\t<key>inner</key>\n\t\t<array>\n\t\t\t<dict>\n\t\t\t\t<key>blob</key>\n\t\t\t\t<data>\n\t\t\t\taGk=\n"
      "\t\t\t\t</data>\n\t\t\t\t<key>deep</key>\n\t\t\t\t<real>2.5</real>\n\t\t\t</dict>\n\t\t</array>\n\t</dict>\n"
      "\t<key>real</key>\n\t<array>\n\t\t<real>0.1</real>\n\t\t<real>-1.5e-300</real>\n\t\t<real>1e+21</real>\n"
      "\t</array>\n\t<key>text</key>\n\t<string>Grüße 😀</string>\n</dict>\n</plist>\n";
  EXPECT_EQ(write(everyType().get()), expected);

  // The newer entry point writes the same bytes.
  CFErrorRef error = nullptr;
  auto viaCreateData =
      adopt(CFPropertyListCreateData(nullptr, everyType().get(), kCFPropertyListXMLFormat_v1_0, 0, &error));
  ASSERT_TRUE(viaCreateData);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(bytesOf(viaCreateData.get()), expected);

  // Keys are sorted by UTF-16 code unit: U+FF5E after the surrogate pair of U+1F600, before it by
  // code point.
  auto d = dict();
  for (const char* k : {"b", "a", "B", "", "é", "\xEF\xBD\x9E", "😀", "Z", "aa", "e\xCC\x81"}) set(d, k, num(1).get());
  std::string xml = write(d.get());
  std::vector<std::string> order;
  for (size_t pos = 0; (pos = xml.find("<key>", pos)) != std::string::npos; pos += 5) {
    order.push_back(xml.substr(pos + 5, xml.find("</key>", pos) - pos - 5));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"", "B", "Z", "a", "aa", "b", "e\xCC\x81", "é", "😀", "\xEF\xBD\x9E"}));
}

TEST(PlistWriter, TopLevelLeavesSpecialRealsAndDataLines) {
  // Fractions of a second are dropped; dates before 2001 and 1970 round down, not toward zero.
  using L = std::pair<CFRef<CFTypeRef>, const char*>;
  for (const auto& [value, xml] :
       {L{ref(S("x")), "<string>x</string>"}, L{ref(kCFBooleanTrue), "<true/>"}, L{ref(array({})), "<array/>"},
        L{ref(blob("")), "<data>\n</data>"},
        L{ref(array({real(NAN).get(), real(INFINITY).get(), real(-INFINITY).get(), real(-0.0).get(), real(1e-7).get(),
                     real(123456789.125).get()})),
          "<array>\n\t<real>nan</real>\n\t<real>+infinity</real>\n\t<real>-infinity</real>\n\t<real>-0</real>\n"
          "\t<real>1e-07</real>\n\t<real>123456789.125</real>\n</array>"},
        L{ref(date(730943947.75)), "<date>2024-02-29T23:59:07Z</date>"},
        L{ref(date(-0.5)), "<date>2000-12-31T23:59:59Z</date>"},
        L{ref(date(-1009843200.0 - 86400.0)), "<date>1968-12-31T00:00:00Z</date>"}})
    EXPECT_EQ(write(value.get()), doc(xml));

  // Years outside 0…9999 as printf's "%04d" writes them, and read back.
  using Y = std::pair<CFAbsoluteTime, const char*>;
  for (const auto& [t, text] :
       {Y{-63145526400.0, "0000-01-01T00:00:00Z"}, Y{-63145612800.0 + 86399, "-001-12-31T23:59:59Z"},
        Y{-378715046400.0, "-10000-01-01T00:00:00Z"}, Y{252423993600.0, "10000-01-01T00:00:00Z"},
        Y{3832765862400.0 + 3723, "123456-07-08T01:02:03Z"}}) {
    std::string xml = write(date(t).get());
    EXPECT_EQ(xml, doc(std::string("<date>") + text + "</date>"));
    Parsed p = parse(xml);
    ASSERT_TRUE(p.value) << text << ": " << p.error;
    EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(p.value.get())), t) << text;
  }

  // Top-level data: 76-character lines; at indentation 8 and beyond the floor of 16 characters.
  std::string bytes(60, 'x');
  std::string top = write(blob(bytes).get());
  size_t first = top.find("<data>\neHh4");
  ASSERT_NE(first, std::string::npos);
  first += 7;
  EXPECT_EQ(top.find('\n', first) - first, 76u);
  auto deep = CFRef<CFTypeRef>::retain(blob(bytes).get());
  for (int i = 0; i < 9; ++i) deep = CFRef<CFTypeRef>::retain(array({deep.get()}).get());
  std::string line = std::string(9, '\t') + "eHh4eHh4eHh4eHh4\n";  // 16 characters after the tabs
  EXPECT_NE(write(deep.get()).find(std::string(9, '\t') + "<data>\n" + line + line), std::string::npos);
}

TEST(PlistWriter, RefusesWhatXMLCannotHold) {
  auto withNull = array({S("ok").get(), kCFNull});
  auto badKey = dict();
  CFDictionarySetValue(badKey.get(), num(1).get(), S("v").get());
  // A container holding itself ends in failure, not a stack overflow.
  auto loop = list();
  CFArrayAppendValue(loop.get(), loop.get());
  EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, S(std::u16string_view(u"a\0b", 3)).get())));
  for (CFTypeRef bad :
       {CFTypeRef(withNull.get()), CFTypeRef(badKey.get()), CFTypeRef(nullptr), CFTypeRef(loop.get())}) {
    EXPECT_FALSE(adopt(CFPropertyListCreateXMLData(nullptr, bad)));
    EXPECT_FALSE(CFPropertyListIsValid(bad, kCFPropertyListXMLFormat_v1_0));
  }
  EXPECT_FALSE(adopt(CFPropertyListCreateDeepCopy(nullptr, loop.get(), kCFPropertyListImmutable)));
  CFArrayRemoveAllValues(loop.get());  // break the cycle so it can be freed

  // CreateData reports the reason as a CFError; other formats are not written.
  for (auto [value, format] : {std::pair{CFTypeRef(withNull.get()), kCFPropertyListXMLFormat_v1_0},
                               std::pair{CFTypeRef(CFSTR("x")), kCFPropertyListBinaryFormat_v1_0}}) {
    CFErrorRef error = nullptr;
    EXPECT_FALSE(adopt(CFPropertyListCreateData(nullptr, value, format, 0, &error)));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
    EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
    CFRelease(error);
  }
  // A lone surrogate is written as U+FFFD rather than as invalid UTF-8.
  EXPECT_EQ(write(S(std::u16string{u'a', 0xD800, u'b'}).get()), doc("<string>a\uFFFDb</string>"));
}

TEST(PlistReader, RoundTripsEveryTypeWithEveryOption) {
  auto original = everyType();
  set(original, "specials", array({real(NAN).get(), real(-INFINITY).get(), real(5e-324).get(), num(0).get()}).get());
  set(original, "controls", S(u"\r\n\t\x01\x1F\xFFFE").get());
  std::string xml = write(original.get());
  for (auto [option, containers, leaves] :
       {std::tuple{kCFPropertyListImmutable, 0, 0}, std::tuple{kCFPropertyListMutableContainers, 1, 0},
        std::tuple{kCFPropertyListMutableContainersAndLeaves, 1, 1}}) {
    Parsed p = parse(xml, option);
    ASSERT_TRUE(p.value) << p.error;
    EXPECT_TRUE(CFEqual(p.value.get(), original.get())) << "option " << option;
    EXPECT_EQ(write(p.value.get()), xml);
    // Only what was asked for is mutable.
    auto d = (CFMutableDictionaryRef)p.value.get();
    CFDictionarySetValue(d, CFSTR("new"), kCFBooleanTrue);
    CFArrayAppendValue((CFMutableArrayRef)get(d, "array"), kCFBooleanTrue);
    CFStringAppendCString((CFMutableStringRef)get(d, "text"), "!", kCFStringEncodingUTF8);
    CFDataAppendBytes((CFMutableDataRef)get(d, "data"), reinterpret_cast<const UInt8*>("x"), 1);
    EXPECT_EQ(CFDictionaryGetCount(d), CFDictionaryGetCount(original.get()) + containers);
    EXPECT_EQ(CFArrayGetCount((CFArrayRef)get(d, "array")), 6 + containers);
    EXPECT_EQ(CFStringGetLength((CFStringRef)get(d, "text")), 8 + leaves);
    EXPECT_EQ(CFDataGetLength((CFDataRef)get(d, "data")), 100 + leaves);
  }
  // Leaves at top level.
  auto seven = num(-7);
  for (CFTypeRef leaf : {CFTypeRef(CFSTR("top")), CFTypeRef(seven.get()), CFTypeRef(kCFBooleanFalse)}) {
    Parsed p = parse(write(leaf));
    ASSERT_TRUE(p.value) << p.error;
    EXPECT_TRUE(CFEqual(p.value.get(), leaf));
  }
}

TEST(PlistReader, AcceptsEverythingTheFormatAllows) {
  const std::pair<std::string, CFRef<CFTypeRef>> documents[] = {
      // No declaration, no DOCTYPE, a BOM, comments, processing instructions and odd whitespace.
      {"\xEF\xBB\xBF<!-- c --><plist>\n  <array>\r\n<!-- c --> <?pi x?>\t<integer> 42 </integer></array></plist>",
       ref(array({num(42).get()}))},
      {"<string>bare</string>", ref(S("bare"))},  // a bare value without <plist>
      // Text: entities, decimal and hex references (beyond the BMP too), CDATA, mixed pieces.
      {doc("<array><string>&amp;&lt;&gt;&quot;&apos;&#65;&#x42;&#x1F600;&#233;</string>"
           "<string>a<![CDATA[<b>&amp;]]>c<!-- gone -->d</string><string>  </string><string/>"
           "<string></string><string>l1\r\nl2</string></array>"),
       ref(array({S("&<>\"'AB😀é").get(), S("a<b>&amp;cd").get(), S("  ").get(), S("").get(), S("").get(),
                  S("l1\r\nl2").get()}))},
      {doc("<array><integer>4294967296</integer><integer>-9223372036854775808</integer>"
           "<integer>9223372036854775807</integer><integer>0x7fFFffFFffFFffFF</integer><integer>+5</integer>"
           "<integer>-0x10</integer><real>1e3</real><real>-2.5E-3</real><real>.5</real><real>7</real>"
           "<real>+infinity</real><real>-infinity</real><real>inf</real><real>-INF</real><real>1e999</real>"
           "<real>1e-999</real></array>"),
       ref(array({num(4294967296).get(), num(INT64_MIN).get(), num(INT64_MAX).get(), num(INT64_MAX).get(), num(5).get(),
                  num(-16).get(), real(1000).get(), real(-2.5e-3).get(), real(0.5).get(), real(7).get(),
                  real(INFINITY).get(), real(-INFINITY).get(), real(INFINITY).get(), real(-INFINITY).get(),
                  real(INFINITY).get(), real(0).get()}))},
      {doc("<real>nan</real>"), ref(real(NAN))},
      // Base64 in any layout, padded or not; empty data; dates in full and partial forms.
      {doc("<array><data>\n\t\tAA\r\n E C\tAw==  \n</data><data>AAECAw</data><data/><data></data>"
           "<date>2024-02-29T23:59:07Z</date><date>2001-01-01Z</date><date>1970Z</date><date>-0001-12-31Z</date>"
           "</array>"),
       ref(array({blob(std::string("\0\1\2\3", 4)).get(), blob(std::string("\0\1\2\3", 4)).get(), blob("").get(),
                  blob("").get(), date(730943947).get(), date(0).get(), date(-978307200).get(),
                  date(-63145612800.0).get()}))},
      // Empty containers in both spellings; duplicate keys: the last value wins.
      {doc("<dict><key>e</key><dict/><key>f</key><array></array><key>g</key><dict>\n</dict>"
           "<key>dup</key><integer>1</integer><key>dup</key><integer>2</integer></dict>"),
       ref(dict({{"e", dict().get()}, {"f", array({}).get()}, {"g", dict().get()}, {"dup", num(2).get()}}))}};
  for (const auto& [xml, expected] : documents) {
    Parsed p = parse(xml);
    ASSERT_TRUE(p.value) << p.error << " in " << xml;
    EXPECT_TRUE(CFEqual(p.value.get(), expected.get())) << xml;
  }

  // Exactly 512 nested containers are fine.
  std::string open, close;
  for (int i = 0; i < 512; ++i) open += "<array>", close += "</array>";
  Parsed p = parse(doc(open + close));
  EXPECT_TRUE(p.value) << p.error;
  EXPECT_TRUE(p.error.empty());

  // UInt64 values above INT64_MAX, as Apple writes them, round-trip through a 128-bit CFNumber
  // instead of wrapping to a negative value. 2^64 is out of range.
  p = parse(doc("<integer>18446744073709551615</integer>"));
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
    auto copy = adopt(CFPropertyListCreateDeepCopy(nullptr, original.get(), option));
    ASSERT_TRUE(copy);
    EXPECT_TRUE(CFEqual(copy.get(), original.get()));
    EXPECT_NE(copy.get(), static_cast<CFTypeRef>(original.get()));
  }
  // A mutable copy's nested containers are new objects: changing them leaves the original alone.
  auto copy = adopt(CFPropertyListCreateDeepCopy(nullptr, original.get(), kCFPropertyListMutableContainersAndLeaves));
  CFDictionarySetValue((CFMutableDictionaryRef)get(copy.get(), "nested"), S("added").get(), kCFBooleanTrue);
  CFStringAppendCString((CFMutableStringRef)get(copy.get(), "text"), "!", kCFStringEncodingUTF8);
  EXPECT_FALSE(CFEqual(copy.get(), original.get()));
  EXPECT_EQ(text(get(original.get(), "text")), "Grüße 😀");
  EXPECT_FALSE(CFDictionaryContainsKey((CFDictionaryRef)get(original.get(), "nested"), S("added").get()));
  EXPECT_FALSE(adopt(CFPropertyListCreateDeepCopy(nullptr, array({kCFNull}).get(), kCFPropertyListImmutable)));
}

TEST(PlistValidity, IsValidPerFormat) {
  auto plist = everyType();
  EXPECT_TRUE(CFPropertyListIsValid(plist.get(), kCFPropertyListXMLFormat_v1_0));
  EXPECT_TRUE(CFPropertyListIsValid(plist.get(), kCFPropertyListBinaryFormat_v1_0));
  EXPECT_FALSE(CFPropertyListIsValid(plist.get(), kCFPropertyListOpenStepFormat));  // numbers, dates, booleans
  EXPECT_TRUE(CFPropertyListIsValid(array({S("a").get(), blob("b").get()}).get(), kCFPropertyListOpenStepFormat));
  EXPECT_FALSE(CFPropertyListIsValid(S("a").get(), static_cast<CFPropertyListFormat>(7)));
}

// Bad input: each family gives NULL and an error message, never a crash.
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
  std::vector<std::string> inputs(
      {"", "   ", "<", "<plist>", "<plist><dict>", "<plist><string>a</plist>", "<plist><array></dict></plist>",
       "junk<plist><true/></plist>", "<plist><true/></plist>junk", "<plist><true/></plist><plist/>",
       "<plist><array>text</array></plist>", "<plist><![CDATA[x]]></plist>", "<plist><true/><false/></plist>",
       "<plist></plist>", "{a = b;}", "bplist00\x01\x02", "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><plist/>"});
  for (size_t cut = 0; cut < good.size(); cut += 7) inputs.push_back(good.substr(0, cut));  // every truncation
  expectRejected(inputs, "malformed");
  EXPECT_NE(parse("<plist>\n<array>\n<string>x</strin>\n</array>\n</plist>").error.find("line 3"), std::string::npos);
}

TEST(PlistBadInput, TagsKeysTextAndBase64) {
  expectRejected({doc("<foo/>"), doc("<array><bar>1</bar></array>"), doc("<dict><string>k</string><true/></dict>"),
                  doc("<key>k</key>"), doc("<array><key>k</key></array>"), doc("<string>a<b/>c</string>"),
                  doc("<integer><integer>1</integer></integer>"), doc("<true>yes</true>"),
                  doc("<plist><true/></plist>"), doc("<dict><key>a<x/></key><true/></dict>")},
                 "tags");
  EXPECT_NE(parse(doc("<foo/>")).error.find("foo"), std::string::npos);
  expectRejected({doc("<dict><key>a</key></dict>"), doc("<dict><key>a</key><integer>1</integer><key>b</key></dict>"),
                  doc("<dict><key>a</key><key>b</key></dict>")},
                 "key");
  expectRejected(
      {doc("<string>\xFF</string>"), doc("<string>\xC3</string>"), doc("<string>\xC0\xAF</string>"),
       doc("<string>\xED\xA0\x80</string>"), doc("<string>\xF4\x90\x80\x80</string>"), doc("<key\xE9>a</key\xE9>"),
       doc(std::string("<string>a\0b</string>", 20)), doc("<string>&#xD800;</string>"), doc("<string>&#0;</string>"),
       doc("<string>&#x110000;</string>"), doc("<string>\xE2\x82</string>")},
      "utf8");
  expectRejected({doc("<data>AAE*</data>"), doc("<data>A</data>"), doc("<data>AA=A</data>"), doc("<data>=AAA</data>"),
                  doc("<data>AAAA=</data>"), doc("<data>AA===</data>"), doc("<data>AA<x/></data>")},
                 "base64");
}

TEST(PlistBadInput, BadNumbersAndDates) {
  expectRejected(els("integer", {"9223372036854775808999", "-9223372036854775809", "0x1ffffffffffffffff", "", "1.5",
                                 "12a", "--1", "0x"}),
                 "integer");
  expectRejected(els("real", {"", "1.2.3", "infinityx", "0x10"}), "real");
  expectRejected(els("date", {"2024-02-30T00:00:00Z", "2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z",
                              "2024-01-01T24:00:00Z", "2024-01-01T00:00:00", "24-01-01Z", "-24-01-01Z", "--2024-01-01Z",
                              "+2024-01-01Z", "1000000000-01-01Z", "-Z", ""}),
                 "date");
  // Messages quote the offending text; a quote cut inside a UTF-8 sequence must not lose the error.
  std::string accents;
  for (int i = 0; i < 25; ++i) accents += "é";
  std::vector<std::string> inputs = {el("integer", "1" + accents), el("real", "1" + accents),
                                     el("date", "1" + accents)};
  expectRejected(inputs, "quoted");
  CFErrorRef error = nullptr;
  EXPECT_FALSE(
      CFPropertyListCreateWithData(nullptr, blob(inputs.back()).get(), kCFPropertyListImmutable, nullptr, &error));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListReadCorruptError);
  CFRelease(error);

  for (int depth : {513, 100000}) {  // nesting deeper than 512
    std::string deep;
    for (int i = 0; i < depth; ++i) deep += i % 2 ? "<array>" : "<dict><key>k</key>";
    for (int i = depth - 1; i >= 0; --i) deep += i % 2 ? "</array>" : "</dict>";
    Parsed p = parse(doc(deep));
    EXPECT_FALSE(p.value);
    EXPECT_NE(p.error.find("512"), std::string::npos) << p.error;
  }
}

TEST(PlistBadInput, EntityDefinitionsAreNeverExpanded) {
  const std::string withEntity = "<!DOCTYPE plist [<!ENTITY e \"boom\">]><plist><string>&e;</string></plist>";
  expectRejected(
      {"<?xml version=\"1.0\"?>" + withEntity,
       "<!DOCTYPE plist [<!ENTITY a \"x\"><!ENTITY b "
       "\"&a;&a;&a;&a;&a;&a;&a;&a;\">]><plist><string>&b;</string></plist>",
       "<!DOCTYPE plist SYSTEM \"file:///etc/passwd\" [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><plist>&x;</plist>",
       doc("<string>&e;</string>"), doc("<string>&amp</string>"), doc("<string>a & b</string>")},
      "entities");

  // CreateWithData reports the same through a CFError in the Cocoa domain.
  CFErrorRef error = nullptr;
  CFPropertyListFormat format = kCFPropertyListBinaryFormat_v1_0;
  EXPECT_FALSE(adopt(CFPropertyListCreateWithData(nullptr, blob(withEntity).get(), 0, &format, &error)));
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListReadCorruptError);
  EXPECT_TRUE(CFEqual(CFErrorGetDomain(error), kCFErrorDomainCocoa));
  auto info = adopt(CFErrorCopyUserInfo(error));
  CFRelease(error);
  auto message = static_cast<CFStringRef>(CFDictionaryGetValue(info.get(), kCFErrorDebugDescriptionKey));
  ASSERT_NE(message, nullptr);
  EXPECT_NE(utf8(message).find("DOCTYPE"), std::string::npos);
  EXPECT_TRUE(CFEqual(message, CFDictionaryGetValue(info.get(), kCFErrorDescriptionKey)));

  // And a success leaves the error NULL and names the format.
  error = reinterpret_cast<CFErrorRef>(1);
  EXPECT_TRUE(adopt(CFPropertyListCreateWithData(nullptr, blob(doc("<true/>")).get(), 0, &format, &error)));
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
}

}  // namespace
