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
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLWindowsPathStyle)), "/tmp/a b/é😀.txt");
  EXPECT_EQ(CFURLCopyFileSystemPath(u, kCFURLHFSPathStyle), nullptr);
  EXPECT_EQ(fsRep(u, true), "/tmp/a b/é😀.txt");
  EXPECT_EQ(take(CFURLCopyPath(u)), "/tmp/a%20b/%C3%A9%F0%9F%98%80.txt");
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
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "/tmp/dir");
  EXPECT_EQ(fsRep(u, false), "/tmp/dir");
  CFRelease(u);

  u = pathURL("/", true);
  EXPECT_EQ(text(u), "file:///");
  EXPECT_EQ(take(CFURLCopyFileSystemPath(u, kCFURLPOSIXPathStyle)), "/");
  CFRelease(u);

  EXPECT_EQ(pathURL("", false), nullptr);
  CFStringRef p = createString("/x");
  EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, p, kCFURLHFSPathStyle, false), nullptr);
  CFRelease(p);
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
  EXPECT_EQ(take(CFURLCopyScheme(u)), "file");
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

  CFURLRef base = url("file:///root/");
  const char rel[] = "rel/f";
  u = CFURLCreateFromFileSystemRepresentationRelativeToBase(nullptr, reinterpret_cast<const UInt8*>(rel),
                                                            sizeof rel - 1, false, base);
  EXPECT_EQ(fsRep(u, true), "/root/rel/f");
  CFRelease(u);
  CFRelease(base);
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

  const char bytes[] = "http://h/\xc3\xa9 ";
  EXPECT_EQ(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes), sizeof bytes - 1,
                                 kCFStringEncodingUTF8, nullptr),
            nullptr);  // the space is still illegal
  CFURLRef b = CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(bytes), sizeof bytes - 2,
                                    kCFStringEncodingUTF8, nullptr);
  EXPECT_EQ(takeURL(b), "http://h/%C3%A9");
  const char latin1[] = "http://h/\xe9";
  b = CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(latin1), sizeof latin1 - 1,
                           kCFStringEncodingISOLatin1, nullptr);
  EXPECT_EQ(takeURL(b), "http://h/%E9");
  EXPECT_EQ(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(latin1), sizeof latin1 - 1,
                                 kCFStringEncodingUTF8, nullptr),
            nullptr);
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

  u = url("file:///tmp/x");
  EXPECT_EQ(CFURLCopyHostName(u), nullptr);
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
  const std::pair<const char*, const char*> cases[] = {
      {"g", "http://a/b/c/g"},       {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},     {"/g", "http://a/g"},
      {"//g", "http://g"},           {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},   {"#s", "http://a/b/c/d;p?q#s"},
      {"g#s", "http://a/b/c/g#s"},   {"", "http://a/b/c/d;p?q"},
      {".", "http://a/b/c/"},        {"./", "http://a/b/c/"},
      {"..", "http://a/b/"},         {"../g", "http://a/b/g"},
      {"../..", "http://a/"},        {"../../../g", "http://a/g"},
      {"/./g", "http://a/g"},        {"g;x=1/../y", "http://a/b/c/y"},
      {"g/./h", "http://a/b/c/g/h"}, {"https:x", "https:x"},
      {";x", "http://a/b/c/;x"},
  };
  for (const auto& [rel, expected] : cases) {
    CFURLRef u = url(rel, base);
    ASSERT_NE(u, nullptr) << rel;
    EXPECT_EQ(takeURL(CFURLCopyAbsoluteURL(u)), expected) << rel;
    CFRelease(u);
  }
  // Without a base the URL is its own absolute form.
  CFURLRef abs = CFURLCopyAbsoluteURL(base);
  EXPECT_EQ(abs, base);
  CFRelease(abs);
  // A base that is itself relative resolves through its own base.
  CFURLRef mid = url("x/y/", base);
  CFURLRef leaf = url("../z", mid);
  EXPECT_EQ(takeURL(CFURLCopyAbsoluteURL(leaf)), "http://a/b/c/x/z");
  CFRelease(leaf);
  CFRelease(mid);
  CFRelease(base);
}

TEST(URL, PathComponentsAndExtensions) {
  auto last = [](const char* s) {
    CFURLRef u = url(s);
    std::string r = take(CFURLCopyLastPathComponent(u));
    CFRelease(u);
    return r;
  };
  auto ext = [](const char* s) {
    CFURLRef u = url(s);
    std::string r = take(CFURLCopyPathExtension(u));
    CFRelease(u);
    return r;
  };
  EXPECT_EQ(last("file:///a/b%20c.txt"), "b c.txt");
  EXPECT_EQ(last("file:///a/dir/"), "dir");
  EXPECT_EQ(last("file:///"), "/");
  EXPECT_EQ(last("rel"), "rel");
  EXPECT_EQ(ext("file:///a/b.tar.gz"), "gz");
  EXPECT_EQ(ext("file:///a/d.bundle/"), "bundle");
  EXPECT_EQ(ext("file:///a/.profile"), "<NULL>");
  EXPECT_EQ(ext("file:///a/name."), "<NULL>");
  EXPECT_EQ(ext("file:///a.b/c"), "<NULL>");

  auto append = [](const char* s, const char* comp, bool dir) {
    CFURLRef u = url(s);
    CFStringRef c = createString(comp);
    std::string r = takeURL(CFURLCreateCopyAppendingPathComponent(nullptr, u, c, dir));
    CFRelease(c);
    CFRelease(u);
    return r;
  };
  EXPECT_EQ(append("file:///a", "b c", false), "file:///a/b%20c");
  EXPECT_EQ(append("file:///a/", "x", true), "file:///a/x/");
  EXPECT_EQ(append("file:///a/", "é/f?#", false), "file:///a/%C3%A9/f%3F%23");
  EXPECT_EQ(append("http://h?q=1#f", "p", false), "http://h/p?q=1#f");
  EXPECT_EQ(append("http://h/a?q=1", "p", false), "http://h/a/p?q=1");

  auto del = [](const char* s) {
    CFURLRef u = url(s);
    std::string r = takeURL(CFURLCreateCopyDeletingLastPathComponent(nullptr, u));
    CFRelease(u);
    return r;
  };
  EXPECT_EQ(del("file:///a/b/c"), "file:///a/b/");
  EXPECT_EQ(del("file:///a/b/"), "file:///a/");
  EXPECT_EQ(del("file:///a"), "file:///");
  EXPECT_EQ(del("file:///"), "file:///");
  EXPECT_EQ(del("a"), "./");
  EXPECT_EQ(del("a/b"), "a/");
  EXPECT_EQ(del(".."), "../../");

  auto addExt = [](const char* s, const char* e) {
    CFURLRef u = url(s);
    CFStringRef c = createString(e);
    std::string r = takeURL(CFURLCreateCopyAppendingPathExtension(nullptr, u, c));
    CFRelease(c);
    CFRelease(u);
    return r;
  };
  EXPECT_EQ(addExt("file:///a/f", "txt"), "file:///a/f.txt");
  EXPECT_EQ(addExt("file:///a/d/", "bundle"), "file:///a/d.bundle/");
  EXPECT_EQ(addExt("file:///a/f", "a b/c"), "file:///a/f.a%20b%2Fc");
  EXPECT_EQ(addExt("file:///", "x"), "<NULL>");

  auto delExt = [](const char* s) {
    CFURLRef u = url(s);
    std::string r = takeURL(CFURLCreateCopyDeletingPathExtension(nullptr, u));
    CFRelease(u);
    return r;
  };
  EXPECT_EQ(delExt("file:///a/f.tar.gz"), "file:///a/f.tar");
  EXPECT_EQ(delExt("file:///a/d.bundle/"), "file:///a/d/");
  EXPECT_EQ(delExt("file:///a/.profile"), "file:///a/.profile");
  EXPECT_EQ(delExt("file:///a.b/c"), "file:///a.b/c");
  EXPECT_EQ(delExt("a/.."), "a/..");

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
  EXPECT_EQ(CFGetTypeID(a), CFURLGetTypeID());

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
  EXPECT_EQ(add("é", CFSTR("é"), nullptr), "é");
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
  EXPECT_EQ(CFURLCreateStringByReplacingPercentEscapesUsingEncoding(nullptr, in, CFSTR(""), kCFStringEncodingASCII),
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
