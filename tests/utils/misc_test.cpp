// Photographic numbers, dates, channel scaling, hashes, string helpers, CF conveniences and the platform pieces.
#include <QXCore/QXUtilsMisc.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cf/CFRef.h"
#include "utils/HashTesting.h"

namespace {

using qxcf::adopt;
using qxcf::CFRef;

constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

CFRef<CFStringRef> S(const std::string& utf8) {
  return adopt(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(utf8.data()),
                                       static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}
CFRef<CFStringRef> U(const std::u16string& units) {
  return adopt(CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(units.data()),
                                            static_cast<CFIndex>(units.size())));
}
// The UTF-8 text of s through QXUtilsGetUTF8StringCopy; "(null)" for null. Releases s when asked to.
std::string str(CFStringRef s, bool release = false) {
  if (s == nullptr) return "(null)";
  char* copy = QXUtilsGetUTF8StringCopy(s);
  std::string out = copy ? copy : "(failed)";
  std::free(copy);
  if (release) CFRelease(s);
  return out;
}
std::string owned(CFStringRef s) { return str(s, true); }
std::string text(QXRational r) { return std::to_string(r.numerator) + "/" + std::to_string(r.denominator); }
std::string hex(const uint8_t* bytes, size_t n) {
  std::string out;
  char b[3];
  for (size_t i = 0; i < n; ++i) out += (snprintf(b, sizeof b, "%02x", bytes[i]), b);
  return out;
}
std::string md5(CFDataRef data) {
  uint8_t digest[16] = {};
  QXStatus status = QXUtilsCalculateMD5(data, digest);
  return status == kQXNoErr ? hex(digest, 16) : "status " + std::to_string(status);
}
std::string slurp(FILE* f, int (*close)(FILE*)) {
  std::string out;
  char buf[4096];
  for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  if (f) close(f);
  return out;
}

// ---- numbers and time ----

TEST(MiscNumbers, ExposureTimesRationalsAndGPS) {
  const std::tuple<float, const char*, const char*> exposures[] = {
      {0.004f, "1/250", "0.004000"},       {0.0041f, "1/250", "0.004000"}, {0.00012f, "0/0", "(null)"},
      {1.0f / 8000, "1/8000", "0.000125"}, {45.0f, "30/1", "30.000000"},   {14.0f, "13/1", "13.000000"},
      {2500.0f, "0/0", "(null)"},          {2000.0f, "0/0", "(null)"},     {1999.0f, "30/1", "30.000000"},
      {1.55f, "15/10", "1.500000"},        {0.7f, "10/15", "0.666667"},    {kNaN, "0/0", "(null)"}};
  for (const auto& [seconds, rational, shown] : exposures) {
    EXPECT_EQ(text(QXUtilsGetRationalForExposureTime(seconds)), rational) << seconds;
    EXPECT_EQ(owned(QXUtilsCreateExposureTimeDisplayString(seconds)), shown) << seconds;
  }
  // Out-of-range values saturate instead of converting undefinedly (which gives INT32_MIN even for +inf).
  std::string rationals;
  for (float v : {3.0f, 0.5f, -0.5f, 0.0f, 2147483520.0f, 2147483648.0f, -3e9f, kInf, -kInf, kNaN})
    rationals += text(QXUtilsFloatToRational(v)) + " ";
  EXPECT_EQ(rationals,
            "3/1 536870912/1073741824 -536870912/1073741824 0/1 2147483520/1 "
            "2147483647/1 -2147483648/1 2147483647/1 -2147483648/1 0/1 ");
  EXPECT_EQ(QXUtilsRationalToFloat({1, 4}), 0.25f);
  EXPECT_EQ(QXUtilsRationalToFloat({-1, 1}), 4294967296.0f);  // the numerator reads as unsigned
  EXPECT_EQ(QXUtilsRationalToFloat({7, 0}), 0.0f);
  const std::pair<double, const char*> coordinates[] = {
      {12.25, "12/1 15/1 0/1"},      {12.5125, "12/1 30/1 44/1"},          {-12.25, "-12/1 -15/1 0/1"},
      {3e9, "2147483647/1 0/1 0/1"}, {-INFINITY, "-2147483648/1 0/1 0/1"}, {NAN, "0/1 0/1 0/1"}};
  for (const auto& [degrees, dms] : coordinates) {
    const QXGPSCoordinate g = QXUtilsCreateQXGPSCoordinateFromDegrees(degrees);
    EXPECT_EQ(text(g.degrees) + " " + text(g.minutes) + " " + text(g.seconds), dms) << degrees;
  }
}

TEST(MiscNumbers, ChannelsAndPadCounts) {
  const auto to16 = QXUtilsConvertChannel8To16, to8 = QXUtilsConvertChannel16To8;
  const auto to8000 = QXUtilsConvertChannelFFFFto8000, toFFFF = QXUtilsConvertChannel8000toFFFF;
  struct Row {
    uint32_t (*convert)(uint32_t);
    uint32_t in, out;
  } rows[] = {{to16, 0, 0},           {to16, 128, 16448},     {to16, 255, 32768},         {to16, UINT32_MAX, 32768},
              {to8, 16384, 127},      {to8, 32768, 255},      {to8, 65535, 255},          {to8, 70000, 255},
              {to8, UINT32_MAX, 255}, {to8000, 0, 0},         {to8000, 65535, 32768},     {to8000, UINT32_MAX, 32768},
              {toFFFF, 16384, 32767}, {toFFFF, 32768, 65535}, {toFFFF, UINT32_MAX, 65535}};
  for (const Row& r : rows) EXPECT_EQ(r.convert(r.in), r.out) << r.in;

  struct Pad {
    int32_t value, alignment, pad;
  } pads[] = {{10, 4, 2}, {12, 4, 0}, {-1, 4, 1}, {kMax, 2, 1}, {kMin, 3, 2}, {5, 0, 0}, {5, -4, 0}, {kMin, -1, 0}};
  for (const Pad& p : pads) EXPECT_EQ(QXUtilsGetPadCount(p.value, p.alignment), p.pad) << p.value << " " << p.alignment;
}

TEST(MiscTime, RFC822DatesAgreeWithPython) {
  const int64_t times[] = {0, 1425719107, 951782400, -1, -2208988800, 4102444799, 253402300799};
  std::string command =
      "python3 -c 'import sys, datetime as d, email.utils as u\n"
      "for t, s in zip(sys.argv[1::2], sys.argv[2::2]):\n"
      "  print(u.format_datetime(d.datetime.fromtimestamp(int(t), d.timezone.utc), usegmt=True))\n"
      "  print(int(u.parsedate_to_datetime(s).timestamp()))'";
  std::vector<std::string> ours;
  for (int64_t t : times) {
    CFRef<CFDateRef> date = adopt(QXUtilsCreateDateFromUnixTime(t));
    ours.push_back(owned(QXUtilsCreateRFC822Date(date.get())));
    command += " " + std::to_string(t) + " '" + ours.back() + "'";
  }
  std::istringstream peer(slurp(popen((command + " 2>&1").c_str(), "r"), pclose));
  for (size_t i = 0; i < std::size(times); ++i) {
    std::string theirs, parsed;
    std::getline(peer, theirs);
    std::getline(peer, parsed);
    if (theirs.size() > 5 && theirs[5] == '0') theirs.erase(5, 1);  // Python pads the day to two digits
    EXPECT_EQ(ours[i], theirs) << times[i];
    EXPECT_EQ(parsed, std::to_string(times[i])) << ours[i];
  }
  EXPECT_EQ(ours[1], "Sat, 7 Mar 2015 09:05:07 GMT");
  // Seconds are truncated, not rounded; a date that is not a time has no string.
  CFRef<CFDateRef> late = adopt(CFDateCreate(nullptr, 1425719107.999 - kCFAbsoluteTimeIntervalSince1970));
  EXPECT_EQ(owned(QXUtilsCreateRFC822Date(late.get())), ours[1]);
  CFRef<CFDateRef> nan = adopt(CFDateCreate(nullptr, NAN));
  EXPECT_EQ(QXUtilsCreateRFC822Date(nan.get()), nullptr);
}

TEST(MiscTime, StopwatchChangesOnlyAtStop) {
  QXStopwatch watch;
  watch.Start();
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_EQ(watch.ElapsedMicroseconds(), 0.0);
  watch.Stop();
  const double us = watch.ElapsedMicroseconds();
  EXPECT_GE(us, 3000.0);
  EXPECT_EQ(watch.ElapsedMilliseconds(), us / 1000.0);
  EXPECT_EQ(watch.ElapsedSeconds(), us / 1000000.0);
}

// ---- hashes and identifiers ----

TEST(MiscHash, MD5MatchesRFC1321) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto& [text, digest] : vectors) {
    CFRef<CFDataRef> data = adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text), std::strlen(text)));
    EXPECT_EQ(md5(data.get()), digest) << text;
  }
  EXPECT_EQ(md5(nullptr), "status " + std::to_string(kQXErrInvalidArgument));

  // With "fips=yes" as the default property no provider offers MD5, as on a FIPS-only system: a failure that
  // leaves the output alone, never a digest made of whatever the context held.
  CFRef<CFDataRef> abc = adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("abc"), 3));
  ASSERT_EQ(EVP_set_default_properties(nullptr, "fips=yes"), 1);
  uint8_t digest[16] = {};
  EXPECT_EQ(QXUtilsCalculateMD5(abc.get(), digest), kQXErrGeneric);
  EXPECT_EQ(hex(digest, 16), std::string(32, '0'));
  ASSERT_EQ(EVP_set_default_properties(nullptr, ""), 1);
  EXPECT_EQ(md5(abc.get()), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(MiscHash, MD5DigestsDataBeyondFourGiBWhole) {
  // 4 GiB + 3 zero bytes: one 16 MiB zero-filled memory file mapped over and over, so the test costs 16 MiB of
  // memory. A length counted in 32 bits would digest only the last 3 bytes. The expected digest is md5sum's.
  const size_t size = (size_t{1} << 32) + 3, chunk = size_t{16} << 20, span = size + chunk - size % chunk;
  const int fd = memfd_create("zeros", MFD_CLOEXEC);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(chunk)), 0);
  auto* base = static_cast<UInt8*>(mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  ASSERT_NE(base, MAP_FAILED);
  for (size_t at = 0; at < span; at += chunk)
    ASSERT_NE(mmap(base + at, chunk, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0), MAP_FAILED) << at;
  close(fd);
  CFRef<CFDataRef> data =
      adopt(CFDataCreateWithBytesNoCopy(nullptr, base, static_cast<CFIndex>(size), kCFAllocatorNull));
  EXPECT_EQ(md5(data.get()), "4ca27e0aa2e7592739ca3de160d1c3a6");
  data.reset();
  munmap(base, span);
}

TEST(MiscHash, FastHashIsLookup3AtAnyAlignmentAndIDsAreUnique) {
  const std::string text = "Four score and seven years ago";
  EXPECT_EQ(QXUtilsFastHash("", 0), 0xDEADBEEFu);
  EXPECT_EQ(qx::testing::HashLittle("", 0, 0xDEADBEEFu), 0xBD5B7DDEu);
  EXPECT_EQ(QXUtilsFastHash(text.data(), text.size()), 0x17770551u);
  EXPECT_EQ(qx::testing::HashLittle(text.data(), text.size(), 1), 0xCD628161u);
  // Every length at offsets 0 to 3 of a heap block that ends where the bytes end: ASan reports any read past
  // them, and the offset must not change the hash.
  for (size_t n = 0; n <= text.size(); ++n) {
    for (size_t offset = 0; offset < 4; ++offset) {
      std::unique_ptr<char[]> block(new char[offset + n]);
      std::memcpy(block.get() + offset, text.data(), n);
      EXPECT_EQ(QXUtilsFastHash(block.get() + offset, n), QXUtilsFastHash(text.data(), n)) << n << " at " << offset;
    }
  }

  const std::string id = owned(QXUtilsCreateUniqueIDString());
  CFRef<CFUUIDRef> parsed = adopt(CFUUIDCreateFromString(nullptr, S(id).get()));
  EXPECT_TRUE(parsed && owned(CFUUIDCreateString(nullptr, parsed.get())) == id) << id;
  EXPECT_NE(owned(QXUtilsCreateUniqueIDString()), id);
}

// ---- strings ----

TEST(MiscStrings, UTF8CopyKeepsSurrogatePairsWhole) {
  // U+1F600 after every number of 1-, 2- and 3-byte characters, so that it meets each cut of the piecewise
  // conversion (the first piece holds 5 bytes).
  const std::pair<std::u16string, std::string> prefixes[] = {
      {u"a", "a"}, {u"\u00e9", "\xc3\xa9"}, {u"\u20ac", "\xe2\x82\xac"}};
  for (const auto& [unit, bytes] : prefixes) {
    std::u16string in;
    std::string out;
    for (int n = 0; n <= 12; ++n, in += unit, out += bytes)
      EXPECT_EQ(str(U(in + u"\U0001F600z\U0001F600").get()), out + "\xf0\x9f\x98\x80z\xf0\x9f\x98\x80") << n << bytes;
  }
  // Only unpaired surrogates become "*".
  EXPECT_EQ(str(U(u"x\xD800y").get()), "x*y");
  EXPECT_EQ(str(U(u"abcde\xDE00\xD83D").get()), "abcde**");
  EXPECT_EQ(str(U(u"").get()), "");
  EXPECT_EQ(QXUtilsGetUTF8StringCopy(nullptr), nullptr);

  UniChar* units = QXUtilsGetUniCharStringCopy(U(u"a\U0001F600").get());
  ASSERT_NE(units, nullptr);
  EXPECT_EQ(QXUtilsGetUniCharStringLength(units), 3);
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(units), 3), u"a\U0001F600");
  std::free(units);
  EXPECT_EQ(QXUtilsGetUniCharStringLength(nullptr), 0);
}

TEST(MiscStrings, SearchesAndChop) {
  struct Row {
    const char *string, *part;
    bool caseSensitive, contains;
    CFIndex first, last;
    bool endsWith;
  } rows[] = {{"Hello World", "world", false, true, 6, 6, true}, {"Hello World", "world", true, false, -1, -1, false},
              {"abcabc", "bc", true, true, 1, 4, true},          {"abcabc", "BCA", false, true, 1, 1, false},
              {"ab", "abc", false, false, -1, -1, false},        {"abc", "", true, false, -1, -1, false}};
  for (const Row& r : rows) {
    auto s = S(r.string), p = S(r.part);
    const bool cs = r.caseSensitive;
    EXPECT_EQ(QXUtilsCFStringContains(s.get(), p.get(), cs), r.contains) << r.string << "/" << r.part;
    EXPECT_EQ(QXUtilsCFStringIndexOf(s.get(), p.get(), cs), r.first) << r.string << "/" << r.part;
    EXPECT_EQ(QXUtilsCFStringLastIndexOf(s.get(), p.get(), cs), r.last) << r.string << "/" << r.part;
    EXPECT_EQ(QXUtilsCFStringEndsWith(s.get(), p.get(), cs), r.endsWith) << r.string << "/" << r.part;
  }
  EXPECT_TRUE(QXUtilsCFStringContainsString(S("Hello").get(), S("LL").get()));
  EXPECT_FALSE(QXUtilsCFStringContainsString(nullptr, S("a").get()));

  for (auto [n, left] : {std::pair<CFIndex, const char*>{5, ""}, {3, ""}, {1, "ab"}, {-1, "abc"}}) {
    CFRef<CFMutableStringRef> m = adopt(CFStringCreateMutableCopy(nullptr, 0, S("abc").get()));
    QXUtilsCFStringChop(m.get(), n);
    EXPECT_EQ(str(m.get()), left) << n;
  }
  auto s = S("e\xcc\x81");
  CFRef<CFStringRef> same = adopt(QXUtilsCreatePrecomposedStringWithCanonicalMapping(s.get()));
  EXPECT_EQ(same.get(), s.get());
}

// ---- CF conveniences ----

TEST(MiscCF, DictionaryGettersCheckTypeAndLength) {
  CFRef<CFMutableDictionaryRef> d = adopt(QXUtilsCFDictionaryCreateMutable2());
  CFRef<CFMutableDictionaryRef> inner = adopt(QXUtilsCFDictionaryCreateMutable2());
  QXUtilsCFDictionarySetValueInt(d.get(), CFSTR("int"), -7);
  QXUtilsCFDictionarySetValueDouble(d.get(), CFSTR("double"), 2.5);
  QXUtilsCFDictionarySetValueBool(d.get(), CFSTR("bool"), true);
  QXUtilsCFDictionarySetValueQXPoint(d.get(), CFSTR("point"), QXPoint{1, -2});
  QXUtilsCFDictionarySetValueQXRect(d.get(), CFSTR("rect"), QXRect{1, 2, 3, -4});
  QXUtilsCFDictionarySetCFDictionary(d.get(), CFSTR("dict"), inner.get());
  CFDictionarySetValue(d.get(), CFSTR("string"), CFSTR("12"));
  CFDictionarySetValue(d.get(), CFSTR("true"), kCFBooleanTrue);
  for (CFIndex n : {4, 12, 20}) {
    CFRef<CFDataRef> data = adopt(CFDataCreate(nullptr, std::vector<UInt8>(static_cast<size_t>(n), 1).data(), n));
    CFDictionarySetValue(d.get(), S("data" + std::to_string(n)).get(), data.get());
  }
  // Every getter on every key: bool, int, double, pointer, point, rectangle, and whether a dictionary is read.
  auto read = [&](const char* name) {
    auto key = S(name);
    const QXPoint p = QXUtilsCFDictionaryGetValueQXPoint(d.get(), key.get());
    const QXRect r = QXUtilsCFDictionaryGetValueQXRect(d.get(), key.get());
    std::ostringstream out;
    out << QXUtilsCFDictionaryGetValueBool(d.get(), key.get()) << " "
        << QXUtilsCFDictionaryGetValueInt(d.get(), key.get()) << " "
        << QXUtilsCFDictionaryGetValueDouble(d.get(), key.get()) << " "
        << reinterpret_cast<intptr_t>(QXUtilsCFDictionaryGetValuePointer(d.get(), key.get())) << " " << p.x << ","
        << p.y << " " << r.x << "," << r.y << "," << r.width << "," << r.height
        << (QXUtilsCFDictionaryGetCFDictionary(d.get(), key.get()) == inner.get() ? " dict" : "");
    return out.str();
  };
  const std::pair<const char*, const char*> rows[] = {
      {"int", "1 -7 -7 -7 0,0 0,0,0,0"}, {"double", "1 2 2.5 0 0,0 0,0,0,0"},  {"bool", "1 1 1 1 0,0 0,0,0,0"},
      {"point", "0 0 0 0 1,-2 0,0,0,0"}, {"rect", "0 0 0 0 0,0 1,2,3,-4"},     {"string", "0 0 0 0 0,0 0,0,0,0"},
      {"true", "1 0 0 0 0,0 0,0,0,0"},   {"dict", "0 0 0 0 0,0 0,0,0,0 dict"}, {"data4", "0 0 0 0 0,0 0,0,0,0"},
      {"data12", "0 0 0 0 0,0 0,0,0,0"}, {"data20", "0 0 0 0 0,0 0,0,0,0"},    {"missing", "0 0 0 0 0,0 0,0,0,0"}};
  for (const auto& [key, values] : rows) EXPECT_EQ(read(key), values) << key;
  EXPECT_EQ(QXUtilsCFDictionaryGetValueInt(nullptr, CFSTR("int")), 0);

  // Stored forms: the number types, a pointer's round trip, and the rectangle's little-endian fields.
  int marker = 0;
  QXUtilsCFDictionarySetValuePointer(d.get(), CFSTR("pointer"), &marker);
  EXPECT_EQ(QXUtilsCFDictionaryGetValuePointer(d.get(), CFSTR("pointer")), &marker);
  auto type = [&](CFStringRef key) {
    return CFNumberGetType(static_cast<CFNumberRef>(CFDictionaryGetValue(d.get(), key)));
  };
  EXPECT_EQ(type(CFSTR("bool")), kCFNumberSInt32Type);
  EXPECT_EQ(type(CFSTR("pointer")), kCFNumberSInt64Type);
  auto rect = static_cast<CFDataRef>(CFDictionaryGetValue(d.get(), CFSTR("rect")));
  EXPECT_EQ(hex(CFDataGetBytePtr(rect), static_cast<size_t>(CFDataGetLength(rect))),
            "010000000200000003000000fcffffff");

  // Plain number readers.
  CFRef<CFNumberRef> n = adopt(QXUtilsCFNumberCreateSInt32(-5));
  EXPECT_EQ(QXUtilsGetDoubleValue(n.get()), -5.0);
  EXPECT_EQ(QXUtilsGetIntValue(nullptr), 0);
  EXPECT_EQ(QXUtilsGetDoubleValue(nullptr), 0.0);
  EXPECT_EQ(QXUtilsGetDoubleValue(reinterpret_cast<CFNumberRef>(CFSTR("1.5"))), 0.0);
  EXPECT_EQ(QXUtilsCFValueGetInt(CFSTR(" 42abc")), 42);
  EXPECT_EQ(QXUtilsCFValueGetInt(n.get()), -5);
  EXPECT_EQ(QXUtilsCFValueGetInt(inner.get()), 0);
}

TEST(MiscCF, KeysArraysAndXML) {
  CFRef<CFMutableDictionaryRef> d = adopt(QXUtilsCFDictionaryCreateMutable2());
  QXUtilsCFDictionarySetKeyInt(d.get(), 7, CFSTR("seven"));
  QXUtilsCFDictionarySetValueInt(d.get(), CFSTR("b"), 2);
  CFRef<CFNumberRef> seven = adopt(QXUtilsCFNumberCreateSInt32(7));
  EXPECT_EQ(CFDictionaryGetValue(d.get(), seven.get()), CFSTR("seven"));
  CFRef<CFArrayRef> keys = adopt(QXUtilsCFDictionaryGetKeysCopy(d.get()));
  ASSERT_EQ(CFArrayGetCount(keys.get()), 2);
  EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(keys.get(), 0), seven.get()));

  CFRef<CFMutableArrayRef> a = adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
  for (uint32_t v : {7u, 0xFFFFFFFFu, 7u}) QXUtilsCFArrayAppendValueUInt32(a.get(), v);
  QXUtilsCFArrayRemoveValue(a.get(), seven.get());
  ASSERT_EQ(CFArrayGetCount(a.get()), 2);
  EXPECT_EQ(QXUtilsGetIntValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(a.get(), 0))), -1);
  EXPECT_TRUE(CFEqual(CFArrayGetValueAtIndex(a.get(), 1), seven.get()));

  // The XML keeps everything but the document-type line, and reads back as the same property list.
  CFDictionarySetValue(d.get(), CFSTR("name"), CFSTR("<!DOCTYPE> stays"));
  CFDictionaryRemoveValue(d.get(), seven.get());
  CFRef<CFDataRef> xml = adopt(QXUtilsCreateXMLData(nullptr, d.get()));
  ASSERT_TRUE(xml);
  const std::string text(reinterpret_cast<const char*>(CFDataGetBytePtr(xml.get())),
                         static_cast<size_t>(CFDataGetLength(xml.get())));
  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n", 0), 0u) << text;
  EXPECT_NE(text.find("&lt;!DOCTYPE&gt; stays"), std::string::npos);
  CFRef<CFTypeRef> back = adopt(QXUtilsCreatePropertyListFromXMLData(nullptr, xml.get(), 0, nullptr));
  EXPECT_TRUE(back && CFEqual(back.get(), d.get()));
  EXPECT_EQ(QXUtilsCreateXMLData(nullptr, kCFNull), nullptr);
}

// ---- platform pieces ----

TEST(MiscPlatform, ResourcesAndMessageBoxes) {
  CFDataRef data = reinterpret_cast<CFDataRef>(1);
  EXPECT_EQ(QXUtilsGetBlobResourceCopy(nullptr, 101, CFSTR("PNG"), &data), kQXErrGeneric);
  EXPECT_EQ(data, nullptr);
  testing::internal::CaptureStderr();
  QXUtilsMessageBoxOK(CFSTR("Title"), CFSTR("%d files, %@"), 3, CFSTR("done \u00e9"));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Title: 3 files, done \xc3\xa9\n");
}

TEST(MiscPlatform, FileBrowserStartsXdgOpenWithoutAShellAndWithoutWaiting) {
  // A stand-in xdg-open records its arguments, then waits until this test, having got control back, releases
  // it: had the call waited for the child, the child would report a time-out instead.
  char tmpl[] = "/tmp/qx_browser_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  std::ofstream(dir / "xdg-open") << R"(#!/bin/sh
PATH=/usr/bin:/bin D=$(dirname "$0")
printf '%s\n' "$#" "$1" > "$D/args.tmp" && mv "$D/args.tmp" "$D/args"
i=0; while [ ! -e "$D/release" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
if [ -e "$D/release" ]; then r=released; else r=timeout; fi; echo $r > "$D/done.tmp" && mv "$D/done.tmp" "$D/done"
)";
  std::filesystem::permissions(dir / "xdg-open", std::filesystem::perms::owner_all);
  const std::string oldPath = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", tmpl, 1);

  const char* location = "file:///tmp/it's;$(touch%20pwned)&x*";
  CFRef<CFURLRef> url = adopt(CFURLCreateWithString(nullptr, S(location).get(), nullptr));
  ASSERT_TRUE(url);
  EXPECT_EQ(QXUtilsLaunchFileBrowserAtLocation(url.get()), kQXNoErr);
  std::ofstream(dir / "release").put('\n');
  for (int i = 0; i < 400 && !std::filesystem::exists(dir / "done"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto read = [&](const char* name) { return slurp(fopen((dir / name).c_str(), "rb"), fclose); };
  EXPECT_EQ(read("done"), "released\n");
  EXPECT_EQ(read("args"), std::string("1\n") + location + "\n");

  EXPECT_EQ(QXUtilsLaunchFileBrowserAtLocation(nullptr), kQXErrInvalidArgument);
  std::filesystem::remove(dir / "xdg-open");
  EXPECT_EQ(QXUtilsLaunchFileBrowserAtLocation(url.get()), ENOENT);
  setenv("PATH", oldPath.c_str(), 1);
  std::filesystem::remove_all(dir);
}

}  // namespace
