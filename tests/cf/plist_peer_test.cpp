// Python's plistlib as the peer of the XML property-list reader and writer, in both directions.
// Both sides reduce a value to the same canonical text (see tests/cf/data/plist/peer.py).
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include "CFTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace qxtest;

namespace {

const std::string kData = std::string(QX_TEST_AREA_DIR) + "/data/plist/";

std::string run(const std::string& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}
std::string peer(const std::string& mode, const std::string& arg) {
  return run("python3 '" + kData + "peer.py' " + mode + " '" + arg + "' 2>&1");
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}
void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/qx_plist_peer_XXXXXX";
    path_ = mkdtemp(tmpl) != nullptr ? tmpl : "/tmp";
  }
  ~TempDir() { run("rm -rf '" + path_ + "'"); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void canonString(std::string& out, CFStringRef s) {
  char buf[8];
  out.push_back('"');
  for (char16_t u : units(s)) {
    if (u >= 0x20 && u < 0x7F && u != '"' && u != '\\') {
      out.push_back(static_cast<char>(u));
    } else {
      snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
      out += buf;
    }
  }
  out.push_back('"');
}

// The canonical form peer.py prints for the same value.
void canon(std::string& out, CFTypeRef v) {
  char buf[64];
  CFTypeID t = CFGetTypeID(v);
  if (t == CFBooleanGetTypeID()) {
    out += CFBooleanGetValue(static_cast<CFBooleanRef>(v)) ? "true" : "false";
  } else if (t == CFNumberGetTypeID()) {
    auto n = static_cast<CFNumberRef>(v);
    if (CFNumberIsFloatType(n)) {
      double d;
      CFNumberGetValue(n, kCFNumberFloat64Type, &d);
      snprintf(buf, sizeof buf, "r%.17g", d);
    } else {
      CFSInt128Struct i{};
      CFNumberGetValue(n, kCFNumberSInt128Type, &i);
      if (i.high == 0) {
        snprintf(buf, sizeof buf, "i%llu", static_cast<unsigned long long>(i.low));
      } else {
        snprintf(buf, sizeof buf, "i%lld", static_cast<long long>(i.low));
      }
    }
    out += buf;
  } else if (t == CFStringGetTypeID()) {
    canonString(out, static_cast<CFStringRef>(v));
  } else if (t == CFDataGetTypeID()) {
    auto d = static_cast<CFDataRef>(v);
    out.push_back('x');
    for (CFIndex i = 0; i < CFDataGetLength(d); ++i) {
      snprintf(buf, sizeof buf, "%02x", CFDataGetBytePtr(d)[i]);
      out += buf;
    }
  } else if (t == CFDateGetTypeID()) {
    snprintf(buf, sizeof buf, "d%.0f", CFDateGetAbsoluteTime(static_cast<CFDateRef>(v)) + 978307200.0);
    out += buf;
  } else if (t == CFArrayGetTypeID()) {
    auto a = static_cast<CFArrayRef>(v);
    out.push_back('[');
    for (CFIndex i = 0; i < CFArrayGetCount(a); ++i) {
      if (i > 0) out.push_back(',');
      canon(out, CFArrayGetValueAtIndex(a, i));
    }
    out.push_back(']');
  } else if (t == CFDictionaryGetTypeID()) {
    auto d = static_cast<CFDictionaryRef>(v);
    CFIndex n = CFDictionaryGetCount(d);
    std::vector<const void*> keys(static_cast<size_t>(n)), values(static_cast<size_t>(n));
    CFDictionaryGetKeysAndValues(d, keys.data(), values.data());
    std::vector<size_t> order(keys.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return units(static_cast<CFStringRef>(keys[a])) < units(static_cast<CFStringRef>(keys[b]));
    });
    out.push_back('{');
    for (size_t i = 0; i < order.size(); ++i) {
      if (i > 0) out.push_back(',');
      canonString(out, static_cast<CFStringRef>(keys[order[i]]));
      out.push_back(':');
      canon(out, values[order[i]]);
    }
    out.push_back('}');
  } else {
    out += "<unexpected type>";
  }
}
std::string canon(CFTypeRef v) {
  std::string out;
  canon(out, v);
  return out;
}

CFRef<CFTypeRef> parse(const std::string& xml, CFOptionFlags options = kCFPropertyListImmutable) {
  CFRef<CFDataRef> d =
      adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(xml.data()), static_cast<CFIndex>(xml.size())));
  CFErrorRef error = nullptr;
  CFRef<CFTypeRef> v = adopt(CFPropertyListCreateWithData(nullptr, d.get(), options, nullptr, &error));
  if (error != nullptr) {
    CFRef<CFStringRef> text = adopt(CFErrorCopyDescription(error));
    ADD_FAILURE() << "parse failed: " << utf8(text.get());
    CFRelease(error);
  }
  return v;
}

std::string write(CFTypeRef v) {
  CFRef<CFDataRef> d = adopt(CFPropertyListCreateData(nullptr, v, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
  if (!d) return {};
  return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(d.get())),
                     static_cast<size_t>(CFDataGetLength(d.get())));
}

template <class T>
CFRef<CFNumberRef> num(CFNumberType type, T v) {
  return adopt(CFNumberCreate(nullptr, type, &v));
}
CFRef<CFMutableDictionaryRef> dict() {
  return adopt(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}
CFRef<CFMutableArrayRef> list() { return adopt(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks)); }
CFRef<CFDataRef> bytes(const std::string& b) {
  return adopt(CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(b.data()), static_cast<CFIndex>(b.size())));
}

bool pythonAvailable() { return run("python3 -c 'import plistlib; print(1)'") == "1"; }

// A preset-like document: non-ASCII and emoji text and keys, 64-bit integers, reals, dates before
// and after 1970, data of many sizes at many depths (every base64 line width), nesting. U+FF5E as a
// key orders differently by UTF-16 unit (Apple, us) and by code point (plistlib's writer).
CFRef<CFMutableDictionaryRef> presetLike(bool withFF5EKey) {
  auto root = dict();
  CFDictionarySetValue(root.get(), S("Name").get(), S("Paysage d’été — 夕焼け 🌅").get());
  auto keys = dict();
  const char* emojiKeys[] = {"😀", "\xEF\xBD\x9E", "e\xCC\x81", "é", "", "Z", "a"};
  int k = 0;
  for (const char* key : emojiKeys) {
    if (withFF5EKey || std::string(key) != "\xEF\xBD\x9E") {
      CFDictionarySetValue(keys.get(), S(key).get(), num(kCFNumberIntType, k).get());
    }
    ++k;
  }
  CFDictionarySetValue(root.get(), S("Emoji keys").get(), keys.get());
  auto ints = list();
  for (long long v :
       {static_cast<long long>(INT64_MAX), static_cast<long long>(INT64_MIN), 4294967296LL, -2147483649LL, 0LL}) {
    CFArrayAppendValue(ints.get(), num(kCFNumberLongLongType, v).get());
  }
  CFArrayAppendValue(ints.get(), num(kCFNumberSInt8Type, static_cast<int8_t>(-7)).get());
  CFDictionarySetValue(root.get(), S("Integers").get(), ints.get());
  auto reals = list();
  for (double v : {0.1, -2.5e-300, 1.7976931348623157e308, 5e-324, 1e21, 123456.789, 1.0 / 3}) {
    CFArrayAppendValue(reals.get(), num(kCFNumberFloat64Type, v).get());
  }
  CFArrayAppendValue(reals.get(), num(kCFNumberFloat32Type, 0.1f).get());
  CFDictionarySetValue(root.get(), S("Reals").get(), reals.get());
  auto dates = list();
  for (double at : {0.0, -1000000000.0, 1e9, 252460800.0 * 31.0}) {
    CFArrayAppendValue(dates.get(), adopt(CFDateCreate(nullptr, at)).get());
  }
  CFDictionarySetValue(root.get(), S("Dates").get(), dates.get());
  CFDictionarySetValue(root.get(), S("Escapes").get(), S("<tag attr=\"v\"> & 'q' ]]> \t tab").get());
  CFDictionarySetValue(root.get(), S("Flags").get(), list().get());
  CFArrayAppendValue(
      static_cast<CFMutableArrayRef>(const_cast<void*>(CFDictionaryGetValue(root.get(), S("Flags").get()))),
      kCFBooleanTrue);
  // Data blobs of growing size, each one level deeper than the last.
  CFRef<CFMutableArrayRef> outer = list();
  CFMutableArrayRef at = outer.get();
  for (int depth = 0; depth < 10; ++depth) {
    std::string b;
    for (int i = 0; i < depth * 37; ++i) b.push_back(static_cast<char>(i * 7 + depth));
    CFArrayAppendValue(at, bytes(b).get());
    auto next = list();
    CFArrayAppendValue(at, next.get());
    at = next.get();
  }
  CFDictionarySetValue(root.get(), S("Blobs").get(), outer.get());
  auto empties = dict();
  CFDictionarySetValue(empties.get(), S("d").get(), dict().get());
  CFDictionarySetValue(empties.get(), S("a").get(), list().get());
  CFDictionarySetValue(empties.get(), S("s").get(), S("").get());
  CFDictionarySetValue(empties.get(), S("x").get(), bytes("").get());
  CFDictionarySetValue(root.get(), S("Empty").get(), empties.get());
  return root;
}

TEST(PlistPeer, PlistlibReadsWhatWeWrite) {
  if (!pythonAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
  TempDir dir;
  std::string path = dir.path() + "/ours.plist";
  auto value = presetLike(true);
  writeFile(path, write(value.get()));
  EXPECT_EQ(peer("canon", path), canon(value.get()));
  // plistlib copies Apple's writer: it reproduces our bytes exactly (data line widths included).
  writeFile(path, write(presetLike(false).get()));
  EXPECT_EQ(peer("same-bytes", path), "SAME");

  // Leaves at the top and non-finite reals, which plistlib reads (as float()) but writes differently.
  auto specials = list();
  for (double v : {INFINITY, -INFINITY}) CFArrayAppendValue(specials.get(), num(kCFNumberFloat64Type, v).get());
  writeFile(path, write(specials.get()));
  EXPECT_EQ(peer("canon", path), "[rinf,r-inf]");
  CFArrayRemoveAllValues(specials.get());
  CFArrayAppendValue(specials.get(), num(kCFNumberFloat64Type, static_cast<double>(NAN)).get());
  writeFile(path, write(specials.get()));
  EXPECT_EQ(peer("canon", path), "[rnan]");
  writeFile(path, write(S("top ✓").get()));
  EXPECT_EQ(peer("canon", path), "\"top \\u2713\"");
}

TEST(PlistPeer, WeReadWhatPlistlibWrites) {
  if (!pythonAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
  TempDir dir;
  int count = std::atoi(peer("samples", dir.path()).c_str());
  ASSERT_GE(count, 5);
  for (int n = 0; n < count; ++n) {
    std::string base = dir.path() + "/" + std::to_string(n);
    std::string xml = readFile(base + ".plist");
    for (CFOptionFlags option :
         {kCFPropertyListImmutable, kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
      CFRef<CFTypeRef> v = parse(xml, option);
      ASSERT_TRUE(v) << "sample " << n;
      EXPECT_EQ(canon(v.get()), readFile(base + ".canon")) << "sample " << n;
    }
    // Sorted samples come back byte for byte.
    if (n % 2 == 0) {
      CFRef<CFTypeRef> v = parse(xml);
      if (n == 0) {
        // plistlib writes -0.0 as "-0.0" where we write "-0"; everything else matches.
        std::string ours = write(v.get());
        size_t at = xml.find("<real>-0.0</real>");
        ASSERT_NE(at, std::string::npos);
        xml.replace(at, 17, "<real>-0</real>");
        EXPECT_EQ(ours, xml);
      } else {
        EXPECT_EQ(write(v.get()), xml) << "sample " << n;
      }
    }
  }
}

TEST(PlistPeer, HandWrittenAppleStyleDocuments) {
  if (!pythonAvailable()) GTEST_SKIP() << "python3 with plistlib is not available";
  for (const char* name : {"apple_style.plist", "wire_form.plist", "text_forms.plist"}) {
    std::string path = kData + name;
    CFRef<CFTypeRef> v = parse(readFile(path));
    ASSERT_TRUE(v) << name;
    EXPECT_EQ(canon(v.get()), peer("canon", path)) << name;
  }
  // A few values checked directly, so the two readers cannot agree on a shared mistake.
  CFRef<CFTypeRef> apple = parse(readFile(kData + "apple_style.plist"));
  ASSERT_TRUE(apple);
  auto d = static_cast<CFDictionaryRef>(apple.get());
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(d, S("Hex").get()), num(kCFNumberIntType, 31).get()));
  EXPECT_TRUE(CFEqual(CFDictionaryGetValue(d, S("Count").get()), num(kCFNumberLongLongType, 18446744073LL).get()));
  EXPECT_EQ(CFDateGetAbsoluteTime(static_cast<CFDateRef>(CFDictionaryGetValue(d, S("Created").get()))),
            1559583912.0 - 978307200.0);
  CFRef<CFTypeRef> text = parse(readFile(kData + "text_forms.plist"));
  ASSERT_TRUE(text);
  auto refs =
      static_cast<CFStringRef>(CFDictionaryGetValue(static_cast<CFDictionaryRef>(text.get()), S("references").get()));
  ASSERT_NE(refs, nullptr);
  EXPECT_EQ(utf8(refs), "ABé😀😀");
}

}  // namespace
