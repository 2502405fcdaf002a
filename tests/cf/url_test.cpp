// CFURL: validation, file URLs from paths and back, resolution, components, path editing,
// equality and percent escapes.
#include <CoreFoundation/CoreFoundation.h>
#include <gtest/gtest.h>

#include <unistd.h>
#include "CFTestSupport.h"

#include <climits>
#include <string>

using namespace qxtest;

namespace {

CFURLRef url(const std::string& s, CFURLRef base = nullptr) {
  CFStringRef str = createString(s);
  CFURLRef u = CFURLCreateWithString(nullptr, str, base);
  CFRelease(str);
  return u;
}

std::string text(CFURLRef u) { return u == nullptr ? "<NULL>" : utf8(CFURLGetString(u)); }

std::string takeURL(CFURLRef u) {
  std::string out = text(u);
  if (u != nullptr) CFRelease(u);
  return out;
}

CFURLRef pathURL(const std::string& path, bool isDirectory, CFURLRef base = nullptr) {
  CFStringRef p = createString(path);
  CFURLRef u = base ? CFURLCreateWithFileSystemPathRelativeToBase(nullptr, p, kCFURLPOSIXPathStyle, isDirectory, base)
                    : CFURLCreateWithFileSystemPath(nullptr, p, kCFURLPOSIXPathStyle, isDirectory);
  CFRelease(p);
  return u;
}

std::string fsRep(CFURLRef u, bool resolve) {
  UInt8 buf[PATH_MAX];
  if (!CFURLGetFileSystemRepresentation(u, resolve, buf, sizeof buf)) return "<false>";
  return reinterpret_cast<char*>(buf);
}

std::string cwd() {
  char buf[PATH_MAX];
  return getcwd(buf, sizeof buf) ? buf : "";
}

}  // namespace

TEST(URL, FileSystemPathsRoundTrip) {
  CFURLRef u = pathURL("/tmp/a b/é😀.txt", false);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(text(u), "file:///tmp/a%20b/%C3%A9%F0%9F%98%80.txt");
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "/tmp/a b/é😀.txt");
  EXPECT_EQ(CFURLCopyFileSystemPath(u, kCFURLHFSPathStyle), nullptr);
  EXPECT_EQ(fsRep(u, true), "/tmp/a b/é😀.txt");
  EXPECT_FALSE(CFURLHasDirectoryPath(u));
  EXPECT_EQ(CFURLGetBaseURL(u), nullptr);
  CFRelease(u);

  // Characters with a meaning in URLs are escaped, and come back.
  u = pathURL("/a?b#c%d;e:f@g[h]", false);
  EXPECT_EQ(text(u), "file:///a%3Fb%23c%25d;e:f@g%5Bh%5D");
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "/a?b#c%d;e:f@g[h]");
  CFRelease(u);

  u = pathURL("/tmp/dir", true);
  EXPECT_EQ(text(u), "file:///tmp/dir/");
  EXPECT_TRUE(CFURLHasDirectoryPath(u));
  EXPECT_EQ(fsRep(u, false), "/tmp/dir");
  CFRelease(u);

  u = pathURL("/", true);
  EXPECT_EQ(text(u), "file:///");
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "/");
  CFRelease(u);

  EXPECT_EQ(pathURL("", false), nullptr);
}

TEST(URL, RelativePathsUseTheCurrentDirectoryOrTheBase) {
  CFURLRef u = pathURL("sub dir/file.txt", false);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(text(u), "sub%20dir/file.txt");
  ASSERT_NE(CFURLGetBaseURL(u), nullptr);
  EXPECT_EQ(text(CFURLGetBaseURL(u)), takeURL(pathURL(cwd(), true)));
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "sub dir/file.txt");
  EXPECT_EQ(fsRep(u, false), "sub dir/file.txt");
  EXPECT_EQ(fsRep(u, true), (cwd() == "/" ? "" : cwd()) + "/sub dir/file.txt");
  EXPECT_EQ(takeURL(CFURLCopyAbsoluteURL(u)), takeURL(pathURL(cwd() + "/sub dir/file.txt", false)));
  CFRelease(u);

  // A colon in the first segment must not turn into a scheme.
  u = pathURL("a:b/c", false);
  EXPECT_EQ(text(u), "a%3Ab/c");
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "a:b/c");
  CFRelease(u);

  CFURLRef base = url("file:///base/dir/");
  u = pathURL("x/../y", false, base);
  EXPECT_EQ(CFURLGetBaseURL(u), base);
  EXPECT_EQ(takeURL(CFURLCopyAbsoluteURL(u)), "file:///base/dir/y");
  CFRelease(u);
  u = pathURL("/abs", false, base);  // an absolute path ignores the base
  EXPECT_EQ(CFURLGetBaseURL(u), nullptr);
  EXPECT_EQ(text(u), "file:///abs");
  CFRelease(u);
  CFRelease(base);
}

TEST(URL, FileSystemRepresentationKeepsAnyBytes) {
  const char raw[] = "/tmp/\xff\xfe name";
  CFURLRef u =
      CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(raw), sizeof raw - 1, false);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(text(u), "file:///tmp/%FF%FE%20name");
  EXPECT_EQ(fsRep(u, true), raw);
  EXPECT_EQ(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle), nullptr);  // not UTF-8
  UInt8 small[8];
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(u, true, small, sizeof small));
  CFRelease(u);

  // A NUL ends the path early; a directory gets its slash.
  const char withNul[] = "/a\0/b";
  u = CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(withNul), sizeof withNul - 1,
                                              true);
  EXPECT_EQ(text(u), "file:///a/");
  CFRelease(u);
  EXPECT_EQ(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(""), 0, false), nullptr);

  // An escaped NUL has no file-system form.
  u = url("file:///a%00b");
  EXPECT_EQ(fsRep(u, true), "<false>");
  EXPECT_EQ(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle), nullptr);
  CFRelease(u);
}

TEST(URL, CreateWithStringValidates) {
  for (const char* good : {"http://user@host:8080/p/a%20th?q=1&r=2#frag", "mailto:a@b.c", "relative/path", "",
                           "http://[::1]:80/x", "file:///", "a+b.c-d:x", "?q", "#f", "http://h:/"}) {
    EXPECT_EQ(takeURL(url(good)), good);
  }
  for (const char* bad : {"http://a b", "http://é", "a%2", "a%zz", "%", "http://h/#a#b", "1abc:x", "http://h:8o/",
                          "http://h/[x]", "http://[::1/", "a\"b", "a<b>", "a\\b", "x{y}", "a^b", "a|b", "a`b"}) {
    EXPECT_EQ(url(bad), nullptr) << bad;
  }
  EXPECT_EQ(CFURLCreateWithString(nullptr, nullptr, nullptr), nullptr);

  CFURLRef base = url("http://example.com/dir/");
  CFURLRef rel = url("page.html", base);
  EXPECT_EQ(CFURLGetBaseURL(rel), base);
  CFURLRef abs = url("https://other/x", base);
  EXPECT_EQ(CFURLGetBaseURL(abs), nullptr);  // a scheme makes the base irrelevant
  CFRelease(abs);
  CFRelease(rel);
  CFRelease(base);

  auto fromBytes = [](std::string_view b, CFStringEncoding enc) {
    return takeURL(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()),
                                        static_cast<CFIndex>(b.size()), enc, nullptr));
  };
  EXPECT_EQ(fromBytes("http://h/\xc3\xa9", kCFStringEncodingUTF8), "http://h/%C3%A9");
  EXPECT_EQ(fromBytes("http://h/\xc3\xa9 ", kCFStringEncodingUTF8), "<NULL>");  // the space is still illegal
  EXPECT_EQ(fromBytes("http://h/\xe9", kCFStringEncodingISOLatin1), "http://h/%E9");
  EXPECT_EQ(fromBytes("http://h/\xe9", kCFStringEncodingUTF8), "<NULL>");
}

TEST(URL, Components) {
  CFURLRef u = url("http://user@host:8080/p/a%20th?q=1&r=%C3%A9#frag%20x");
  EXPECT_TRUE(CFURLCanBeDecomposed(u));
  EXPECT_EQ(take(CFURLCopyScheme(u)), "http");
  EXPECT_EQ(take(CFURLCopyHostName(u)), "host");
  EXPECT_EQ(CFURLGetPortNumber(u), 8080);
  EXPECT_EQ(take(CFURLCopyPath(u)), "/p/a%20th");
  EXPECT_EQ(take(CFURLCopyQueryString(u, nullptr)), "q=1&r=%C3%A9");
  EXPECT_EQ(take(CFURLCopyQueryString(u, CFSTR(""))), "q=1&r=é");
  EXPECT_EQ(take(CFURLCopyFragment(u, nullptr)), "frag%20x");
  EXPECT_EQ(take(CFURLCopyFragment(u, CFSTR(""))), "frag x");
  EXPECT_EQ(take(CFURLCopyLastPathComponent(u)), "a th");
  CFRelease(u);

  u = url("http://[::1]/");
  EXPECT_EQ(take(CFURLCopyHostName(u)), "::1");
  EXPECT_EQ(CFURLGetPortNumber(u), -1);
  EXPECT_EQ(CFURLCopyQueryString(u, nullptr), nullptr);
  EXPECT_EQ(CFURLCopyFragment(u, nullptr), nullptr);
  CFRelease(u);

  u = url("http://h:99999999999/");
  EXPECT_EQ(CFURLGetPortNumber(u), -1);
  CFRelease(u);

  u = url("mailto:someone@example.com");
  EXPECT_FALSE(CFURLCanBeDecomposed(u));
  EXPECT_EQ(take(CFURLCopyScheme(u)), "mailto");
  EXPECT_EQ(CFURLCopyPath(u), nullptr);
  EXPECT_EQ(CFURLCopyHostName(u), nullptr);
  EXPECT_EQ(CFURLCreateCopyAppendingPathComponent(nullptr, u, CFSTR("x"), false), nullptr);
  CFRelease(u);

  // A relative URL reports its base's scheme, host and port, but its own path.
  CFURLRef base = url("https://example.com:444/a/b");
  u = url("c/d?x", base);
  EXPECT_EQ(take(CFURLCopyScheme(u)), "https");
  EXPECT_EQ(take(CFURLCopyHostName(u)), "example.com");
  EXPECT_EQ(CFURLGetPortNumber(u), 444);
  EXPECT_EQ(take(CFURLCopyPath(u)), "c/d");
  EXPECT_EQ(take(CFURLCopyQueryString(u, nullptr)), "x");
  CFRelease(u);
  CFRelease(base);
}

TEST(URL, ResolvesAgainstBaseLikeRFC3986) {
  CFURLRef base = url("http://a/b/c/d;p?q");
  // Pairs of reference and expected result.
  const char* const cases[] = {
      "g",          "http://a/b/c/g",     "g/",         "http://a/b/c/g/",    "/g",      "http://a/g",
      "//g",        "http://g",           "?y",         "http://a/b/c/d;p?y", "#s",      "http://a/b/c/d;p?q#s",
      "g?y#s",      "http://a/b/c/g?y#s", "",           "http://a/b/c/d;p?q", ".",       "http://a/b/c/",
      "./",         "http://a/b/c/",      "..",         "http://a/b/",        "../g",    "http://a/b/g",
      "../..",      "http://a/",          "../../../g", "http://a/g",         "/./g",    "http://a/g",
      "g;x=1/../y", "http://a/b/c/y",     "g/./h",      "http://a/b/c/g/h",   "https:x", "https:x"};
  for (size_t i = 0; i < std::size(cases); i += 2) {
    CFURLRef u = url(cases[i], base);
    ASSERT_NE(u, nullptr) << cases[i];
    EXPECT_EQ(takeURL(CFURLCopyAbsoluteURL(u)), cases[i + 1]) << cases[i];
    CFRelease(u);
  }
  // A base that is itself relative resolves through its own base.
  CFURLRef mid = url("x/y/", base);
  CFURLRef leaf = url("../z", mid);
  EXPECT_EQ(takeURL(CFURLCopyAbsoluteURL(leaf)), "http://a/b/c/x/z");
  CFRelease(leaf);
  CFRelease(mid);
  CFRelease(base);
}

TEST(URL, PathComponentsAndExtensions) {
  enum Op { kLast, kExt, kAppend, kAppendDir, kDelete, kAddExt, kDelExt };
  struct Case {
    Op op;
    const char *in, *arg, *out;
  } cases[] = {
      {kLast, "file:///a/b%20c.txt", "", "b c.txt"},
      {kLast, "file:///a/dir/", "", "dir"},
      {kLast, "file:///", "", "/"},
      {kLast, "rel", "", "rel"},
      {kExt, "file:///a/b.tar.gz", "", "gz"},
      {kExt, "file:///a/d.bundle/", "", "bundle"},
      {kExt, "file:///a/.profile", "", "<NULL>"},
      {kExt, "file:///a/name.", "", "<NULL>"},
      {kExt, "file:///a.b/c", "", "<NULL>"},
      {kAppend, "file:///a", "b c", "file:///a/b%20c"},
      {kAppendDir, "file:///a/", "x", "file:///a/x/"},
      {kAppend, "file:///a/", "é/f?#", "file:///a/%C3%A9/f%3F%23"},
      {kAppend, "http://h?q=1#f", "p", "http://h/p?q=1#f"},
      {kAppend, "http://h/a?q=1", "p", "http://h/a/p?q=1"},
      {kDelete, "file:///a/b/c", "", "file:///a/b/"},
      {kDelete, "file:///a/b/", "", "file:///a/"},
      {kDelete, "file:///a", "", "file:///"},
      {kDelete, "file:///", "", "file:///"},
      {kDelete, "a", "", "./"},
      {kDelete, "..", "", "../../"},
      {kAddExt, "file:///a/f", "txt", "file:///a/f.txt"},
      {kAddExt, "file:///a/d/", "bundle", "file:///a/d.bundle/"},
      {kAddExt, "file:///a/f", "a b/c", "file:///a/f.a%20b%2Fc"},
      {kAddExt, "file:///", "x", "<NULL>"},
      {kDelExt, "file:///a/f.tar.gz", "", "file:///a/f.tar"},
      {kDelExt, "file:///a/d.bundle/", "", "file:///a/d/"},
      {kDelExt, "file:///a/.profile", "", "file:///a/.profile"},
      {kDelExt, "file:///a.b/c", "", "file:///a.b/c"},
      {kDelExt, "a/..", "", "a/.."},
  };
  for (const Case& c : cases) {
    CFURLRef u = url(c.in);
    CFStringRef arg = createString(c.arg);
    std::string got;
    switch (c.op) {
      case kLast: got = take(CFURLCopyLastPathComponent(u)); break;
      case kExt: got = take(CFURLCopyPathExtension(u)); break;
      case kAppend:
      case kAppendDir: got = takeURL(CFURLCreateCopyAppendingPathComponent(nullptr, u, arg, c.op == kAppendDir)); break;
      case kDelete: got = takeURL(CFURLCreateCopyDeletingLastPathComponent(nullptr, u)); break;
      case kAddExt: got = takeURL(CFURLCreateCopyAppendingPathExtension(nullptr, u, arg)); break;
      case kDelExt: got = takeURL(CFURLCreateCopyDeletingPathExtension(nullptr, u)); break;
    }
    EXPECT_EQ(got, c.out) << c.op << " " << c.in << " " << c.arg;
    CFRelease(arg);
    CFRelease(u);
  }

  // Derived URLs stay relative to the same base.
  CFURLRef base = url("file:///root/");
  CFURLRef rel = pathURL("dir", true, base);
  CFURLRef child = CFURLCreateCopyAppendingPathComponent(nullptr, rel, CFSTR("f.txt"), false);
  EXPECT_EQ(text(child), "dir/f.txt");
  EXPECT_EQ(CFURLGetBaseURL(child), base);
  EXPECT_EQ(fsRep(child, true), "/root/dir/f.txt");
  CFRelease(child);
  CFRelease(rel);
  CFRelease(base);
}

TEST(URL, EqualityHashAndDescriptions) {
  CFURLRef a = url("file:///tmp/x");
  CFURLRef b = pathURL("/tmp/x", false);
  CFURLRef dir = pathURL("/tmp/x", true);
  EXPECT_TRUE(CFEqual(a, b));
  EXPECT_EQ(CFHash(a), CFHash(b));
  EXPECT_FALSE(CFEqual(a, dir));  // the trailing slash counts

  CFURLRef base1 = url("file:///one/");
  CFURLRef base2 = url("file:///two/");
  CFURLRef base1Again = url("file:///one/");
  CFURLRef r1 = url("f", base1), r2 = url("f", base2), r3 = url("f", base1Again), r4 = url("f");
  EXPECT_FALSE(CFEqual(r1, r2));
  EXPECT_TRUE(CFEqual(r1, r3));
  EXPECT_EQ(CFHash(r1), CFHash(r3));
  EXPECT_FALSE(CFEqual(r1, r4));
  CFURLRef absolute = CFURLCopyAbsoluteURL(r1);
  EXPECT_FALSE(CFEqual(r1, absolute));  // same resource, different string and base

  CFStringRef formatted = CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@|%@"), r1, a);
  EXPECT_EQ(take(formatted), "f|file:///tmp/x");
  EXPECT_EQ(take(CFCopyDescription(r1)), "f -- file:///one/");
  EXPECT_EQ(take(CFCopyDescription(a)), "file:///tmp/x");

  for (CFTypeRef o :
       {CFTypeRef(a), CFTypeRef(b), CFTypeRef(dir), CFTypeRef(base1), CFTypeRef(base2), CFTypeRef(base1Again),
        CFTypeRef(r1), CFTypeRef(r2), CFTypeRef(r3), CFTypeRef(r4), CFTypeRef(absolute)}) {
    CFRelease(o);
  }
}

TEST(URL, AddingPercentEscapes) {
  auto add = [](const char* s, CFStringRef leave, CFStringRef escape, CFStringEncoding enc = kCFStringEncodingUTF8) {
    CFStringRef in = createString(s);
    std::string r = take(CFURLCreateStringByAddingPercentEscapes(nullptr, in, leave, escape, enc));
    CFRelease(in);
    return r;
  };
  EXPECT_EQ(add("a b/c?d#e%f[g]é😀<\"", nullptr, nullptr), "a%20b/c?d%23e%25f%5Bg%5D%C3%A9%F0%9F%98%80%3C%22");
  EXPECT_EQ(add("k=v&x/y?z!*'();:@+$,-_.~", nullptr, nullptr), "k=v&x/y?z!*'();:@+$,-_.~");
  EXPECT_EQ(add("k=v&x/y", nullptr, CFSTR("=&/")), "k%3Dv%26x%2Fy");
  EXPECT_EQ(add("a b%20", CFSTR(" %"), nullptr), "a b%20");
  EXPECT_EQ(add("é", nullptr, nullptr, kCFStringEncodingISOLatin1), "%E9");
  EXPECT_EQ(add("é", nullptr, nullptr, kCFStringEncodingASCII), "<NULL>");
  EXPECT_EQ(add("", nullptr, nullptr), "");

  const UniChar lone[] = {'a', 0xDC00};
  CFStringRef s = CFStringCreateWithCharacters(nullptr, lone, 2);
  EXPECT_EQ(CFURLCreateStringByAddingPercentEscapes(nullptr, s, nullptr, nullptr, kCFStringEncodingUTF8), nullptr);
  CFRelease(s);
}

TEST(URL, ReplacingPercentEscapes) {
  auto rep = [](const char* s, CFStringRef leave) {
    CFStringRef in = createString(s);
    std::string r = take(CFURLCreateStringByReplacingPercentEscapes(nullptr, in, leave));
    CFRelease(in);
    return r;
  };
  EXPECT_EQ(rep("a%20b%2Fc%C3%A9%F0%9F%98%80", CFSTR("")), "a b/cé😀");
  EXPECT_EQ(rep("a%20b%2Fc%c3%a9", nullptr), "a%20b%2Fc%c3%a9");    // NULL replaces none
  EXPECT_EQ(rep("a%20b%2Fc%C3%A9", CFSTR("/é")), "a b%2Fc%C3%A9");  // listed characters stay escaped
  EXPECT_EQ(rep("a%c3%a9", CFSTR("")), "aé");
  EXPECT_EQ(rep("%00x", CFSTR("")).size(), 2u);
  for (const char* bad : {"a%2", "%", "%zz", "%C3", "%FF", "%C3%28", "%ED%A0%80", "%C0%80"}) {
    EXPECT_EQ(rep(bad, CFSTR("")), "<NULL>") << bad;
  }
  EXPECT_EQ(rep("a%2", nullptr), "a%2");  // nothing is replaced, so nothing is examined

  CFStringRef in = createString("%E9%20");
  EXPECT_EQ(
      take(CFURLCreateStringByReplacingPercentEscapesUsingEncoding(nullptr, in, CFSTR(""), kCFStringEncodingISOLatin1)),
      "é ");
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapesUsingEncoding(nullptr, in, CFSTR(""), kCFStringEncodingUTF8),
            nullptr);
  CFRelease(in);

  // Adding then replacing is the identity for any valid text.
  CFStringRef original = createString("ä ö/ü?#%[]😀 x&y=z");
  CFStringRef escaped =
      CFURLCreateStringByAddingPercentEscapes(nullptr, original, nullptr, CFSTR("&=/?"), kCFStringEncodingUTF8);
  CFStringRef back = CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped, CFSTR(""));
  EXPECT_TRUE(CFEqual(back, original));
  CFRelease(back);
  CFRelease(escaped);
  CFRelease(original);
}
