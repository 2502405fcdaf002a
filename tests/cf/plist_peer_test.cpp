// Python's plistlib as the peer of the XML property-list reader and writer, in both directions.
// Both sides reduce a value to the same canonical text (see tests/cf/data/plist/peer.py).
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

const std::string kData = std::string(QX_TEST_AREA_DIR) + "/data/plist/";

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}
std::string peer(const std::string& mode, const std::string& arg) {
  return run("python3 '" + kData + "peer.py' " + mode + " '" + arg + "' 2>&1");
}
std::string readFile(const std::string& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// A fresh directory, removed with everything in it at the end.
struct TempDir {
  std::string path = [] {
    char tmpl[] = "/tmp/qx_plist_peer_XXXXXX";
    return std::string(mkdtemp(tmpl) != nullptr ? tmpl : "/tmp/qx_plist_peer");
  }();
  ~TempDir() { std::filesystem::remove_all(path); }
};

std::string canonString(CFStringRef s) {
  std::string out = "\"";
  char buf[8];
  for (char16_t u : units(s)) {
    bool plain = u >= 0x20 && u < 0x7F && u != '"' && u != '\\';
    out += plain ? std::string(1, static_cast<char>(u)) : (snprintf(buf, sizeof buf, "\\u%04x", unsigned{u}), buf);
  }
  return out + "\"";
}

// The canonical form peer.py prints for the same value.
std::string canon(CFTypeRef v) {
  char buf[64] = "<unexpected type>";
  CFTypeID t = CFGetTypeID(v);
  if (t == CFBooleanGetTypeID()) return CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "true" : "false";
  if (t == CFStringGetTypeID()) return canonString(static_cast<CFStringRef>(v));
  if (t == CFNumberGetTypeID() && CFNumberIsFloatType(static_cast<CFNumberRef>(v))) {
    double d;
    CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberFloat64Type, &d);
    snprintf(buf, sizeof buf, "r%.17g", d);
  } else if (t == CFNumberGetTypeID()) {
    CFSInt128Struct i{};
    CFNumberGetValue(static_cast<CFNumberRef>(v), kCFNumberSInt128Type, &i);
    if (i.high == 0) {
      snprintf(buf, sizeof buf, "i%llu", static_cast<unsigned long long>(i.low));
    } else {
      snprintf(buf, sizeof buf, "i%lld", static_cast<long long>(i.low));
    }
  } else if (t == CFDateGetTypeID()) {
    snprintf(buf, sizeof buf, "d%.0f", CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)) + 978307200.0);
  } else if (t == CFDataGetTypeID()) {
    std::string out = "x";
    for (unsigned char c : bytesOf(static_cast<CFDataRef>(v))) out += (snprintf(buf, sizeof buf, "%02x", c), buf);
    return out;
  } else if (t == CFArrayGetTypeID()) {
    std::string out = "[";
    for (CFIndex i = 0; i < CFArrayGetCount(static_cast<CFArrayRef>(v)); ++i) {
      out += (i > 0 ? "," : "") + canon(CFArrayGetValueAtIndex(static_cast<CFArrayRef>(v), i));
    }
    return out + "]";
  } else if (t == CFDictionaryGetTypeID()) {
    auto d = static_cast<CFDictionaryRef>(v);
    std::vector<const void*> keys(static_cast<size_t>(CFDictionaryGetCount(d)));
    CFDictionaryGetKeysAndValues(d, keys.data(), nullptr);
    std::sort(keys.begin(), keys.end(), [](const void* a, const void* b) {
      return units(static_cast<CFStringRef>(a)) < units(static_cast<CFStringRef>(b));
    });
    std::string out = "{";
    for (const void* k : keys) {
      out += (out.size() > 1 ? "," : "") + canonString(static_cast<CFStringRef>(k)) + ":" +
             canon(CFDictionaryGetValue(d, k));
    }
    return out + "}";
  }
  return buf;
}

CFRef<CFTypeRef> parse(const std::string& xml, CFOptionFlags options = kCFPropertyListImmutable) {
  CFErrorRef error = nullptr;
  auto v = adopt(CFPropertyListCreateWithData(nullptr, blob(xml).get(), options, nullptr, &error));
  if (error != nullptr) {
    ADD_FAILURE() << "parse failed: " << take(CFErrorCopyDescription(error));
    CFRelease(error);
  }
  return v;
}
std::string write(CFTypeRef v) {
  auto d = adopt(CFPropertyListCreateData(nullptr, v, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  return d ? bytesOf(d.get()) : std::string();
}
std::string writeFile(const std::string& path, CFTypeRef v) {
  std::ofstream(path, std::ios::binary) << write(v);
  return path;
}

bool pythonAvailable() { return run("python3 -c 'import plistlib; print(1)'") == "1"; }

// A preset-like document: non-ASCII and emoji text and keys, 64-bit integers, reals, dates before
// and after 1970, data of many sizes at many depths (every base64 line width), nesting. U+FF5E as a
// key orders differently by UTF-16 unit (Apple, us) and by code point (plistlib's writer).
CFRef<CFMutableDictionaryRef> presetLike(bool withFF5EKey) {
  auto keys = dict();
  int k = 0;
  for (const char* key : {"😀", "\xEF\xBD\x9E", "e\xCC\x81", "é", "", "Z", "a"}) {
    if (withFF5EKey || std::string_view(key) != "\xEF\xBD\x9E")
      CFDictionarySetValue(keys.get(), S(key).get(), num(k).get());
    ++k;
  }
  auto dates = list();
  for (double at : {0.0, -1000000000.0, 1e9, 252460800.0 * 31.0}) {
    CFArrayAppendValue(dates.get(), adopt(CFDateCreate(nullptr, at)).get());
  }
  // Data blobs of growing size, each one level deeper than the last.
  auto outer = list();
  CFMutableArrayRef at = outer.get();
  for (int depth = 0; depth < 10; ++depth) {
    std::string b;
    for (int i = 0; i < depth * 37; ++i) b.push_back(static_cast<char>(i * 7 + depth));
    auto next = list();
    CFArrayAppendValue(at, blob(b).get());
    CFArrayAppendValue(at, next.get());
    at = next.get();
  }
  return dict(
      {{"Name", S("Paysage d’été — 夕焼け 🌅").get()},
       {"Emoji keys", keys.get()},
       {"Integers", array({num(INT64_MAX).get(), num(INT64_MIN).get(), num(4294967296LL).get(),
                           num(-2147483649LL).get(), num(0).get(), make(kCFNumberSInt8Type, int8_t{-7}).get()})
                        .get()},
       {"Reals",
        array({real(0.1).get(), real(-2.5e-300).get(), real(1.7976931348623157e308).get(), real(5e-324).get(),
               real(1e21).get(), real(123456.789).get(), real(1.0 / 3).get(), make(kCFNumberFloat32Type, 0.1f).get()})
            .get()},
       {"Dates", dates.get()},
       {"Escapes", S("<tag attr=\"v\"> & 'q' ]]> \t tab").get()},
       {"Flags", array({kCFBooleanTrue}).get()},
       {"Blobs", outer.get()},
       {"Empty", dict({{"d", dict().get()}, {"a", list().get()}, {"s", S("").get()}, {"x", blob("").get()}}).get()}});
}

TEST(PlistPeer, PlistlibReadsWhatWeWrite) {
  if (!pythonAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
  TempDir dir;
  std::string path = dir.path + "/ours.plist";
  auto value = presetLike(true);
  EXPECT_EQ(peer("canon", writeFile(path, value.get())), canon(value.get()));
  // plistlib copies Apple's writer: it reproduces our bytes exactly (data line widths included).
  EXPECT_EQ(peer("same-bytes", writeFile(path, presetLike(false).get())), "SAME");
  // Leaves at the top and non-finite reals, which plistlib reads (as float()) but writes differently.
  EXPECT_EQ(peer("canon", writeFile(path, array({real(INFINITY).get(), real(-INFINITY).get()}).get())), "[rinf,r-inf]");
  EXPECT_EQ(peer("canon", writeFile(path, array({real(NAN).get()}).get())), "[rnan]");
  EXPECT_EQ(peer("canon", writeFile(path, S("top ✓").get())), "\"top \\u2713\"");
}

TEST(PlistPeer, WeReadWhatPlistlibWrites) {
  if (!pythonAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
  TempDir dir;
  int count = std::atoi(peer("samples", dir.path).c_str());
  ASSERT_GE(count, 5);
  for (int n = 0; n < count; ++n) {
    std::string base = dir.path + "/" + std::to_string(n);
    std::string xml = readFile(base + ".plist");
    for (CFOptionFlags option :
         {kCFPropertyListImmutable, kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
      CFRef<CFTypeRef> v = parse(xml, option);
      ASSERT_TRUE(v) << "sample " << n;
      EXPECT_EQ(canon(v.get()), readFile(base + ".canon")) << "sample " << n;
    }
    // Sorted samples come back byte for byte; plistlib writes -0.0 as "-0.0" where we write "-0".
    if (n % 2 == 0) {
      if (n == 0) {
        size_t at = xml.find("<real>-0.0</real>");
        ASSERT_NE(at, std::string::npos);
        xml.replace(at, 17, "<real>-0</real>");
      }
      EXPECT_EQ(write(parse(xml).get()), xml) << "sample " << n;
    }
  }
}

TEST(PlistPeer, HandWrittenAppleStyleDocuments) {
  if (!pythonAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
  for (const char* name : {"apple_style.plist", "wire_form.plist", "text_forms.plist"}) {
    CFRef<CFTypeRef> v = parse(readFile(kData + name));
    ASSERT_TRUE(v) << name;
    EXPECT_EQ(canon(v.get()), peer("canon", kData + name)) << name;
  }
  // A few values checked directly, so the two readers cannot agree on a shared mistake.
  CFRef<CFTypeRef> apple = parse(readFile(kData + "apple_style.plist"));
  ASSERT_TRUE(apple);
  auto d = static_cast<CFDictionaryRef>(apple.get());
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(d, CFSTR("Hex")), num(31).get()));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(d, CFSTR("Count")), num(18446744073LL).get()));
  EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(CFDictionaryGetValue(d, CFSTR("Created")))),
            1559583912.0 - 978307200.0);
  CFRef<CFTypeRef> textForms = parse(readFile(kData + "text_forms.plist"));
  ASSERT_TRUE(textForms);
  EXPECT_EQ(text(CFDictionaryGetValue(static_cast<CFDictionaryRef>(textForms.get()), CFSTR("references"))), "ABé😀😀");
}

}  // namespace
