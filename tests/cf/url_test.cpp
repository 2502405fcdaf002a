// CFURL: validation, file URLs from paths and back, resolution, components, path editing,
// equality and percent escapes.
#include <unistd.h>

#include <climits>

#include "CFTestSupport.h"

using namespace qxtest;

namespace {

using URL = CFRef<CFURLRef>;

URL url(const std::string& s, CFURLRef base = nullptr) {
  return adopt(CFURLCreateWithString(nullptr, S(s).get(), base));
}
URL url(const std::string& s, const URL& base) { return url(s, base.get()); }
std::string str(CFURLRef u) { return u == nullptr ? "<NULL>" : utf8(CFURLGetString(u)); }
std::string str(const URL& u) { return str(u.get()); }
std::string take(CFURLRef u) { return str(adopt(u)); }
using qxtest::take;

URL pathURL(const std::string& path, bool isDirectory, CFURLRef base = nullptr) {
  return adopt(base ? CFURLCreateWithFileSystemPathRelativeToBase(nullptr, S(path).get(), kCFURLPOSIXPathStyle,
                                                                  isDirectory, base)
                    : CFURLCreateWithFileSystemPath(nullptr, S(path).get(), kCFURLPOSIXPathStyle, isDirectory));
}
std::string path(const URL& u) { return take(CFURLCopyFileSystemPath(u.get(), kCFURLPOSIXPathStyle)); }
std::string fsRep(const URL& u, bool resolve) {
  UInt8 buf[PATH_MAX];
  if (!CFURLGetFileSystemRepresentation(u.get(), resolve, buf, sizeof buf)) return "<false>";
  return reinterpret_cast<char*>(buf);
}
std::string absolute(const URL& u) { return take(CFURLCopyAbsoluteURL(u.get())); }
// The URL's string, POSIX path, and file-system representation as it is and resolved.
std::tuple<std::string, std::string, std::string, std::string> facts(const URL& u) {
  return {str(u), path(u), fsRep(u, false), fsRep(u, true)};
}

TEST(URL, FileSystemPathsRoundTrip) {
  // Characters with a meaning in URLs are escaped, and come back.
  using P = std::tuple<const char*, bool, const char*, const char*, const char*>;
  for (const auto& [path, isDirectory, url, back, rep] :
       {P{"/tmp/a b/é😀.txt", false, "file:///tmp/a%20b/%C3%A9%F0%9F%98%80.txt", "/tmp/a b/é😀.txt", "/tmp/a b/é😀.txt"},
        P{"/a?b#c%d;e:f@g[h]", false, "file:///a%3Fb%23c%25d;e:f@g%5Bh%5D", "/a?b#c%d;e:f@g[h]", "/a?b#c%d;e:f@g[h]"},
        P{"/tmp/dir", true, "file:///tmp/dir/", "/tmp/dir", "/tmp/dir"}, P{"/", true, "file:///", "/", "/"}}) {
    URL u = pathURL(path, isDirectory);
    ASSERT_TRUE(u) << path;
    EXPECT_EQ(facts(u), std::make_tuple(url, back, rep, rep));
    EXPECT_EQ(CFURLHasDirectoryPath(u.get()), isDirectory);
    EXPECT_EQ(CFURLGetBaseURL(u.get()), nullptr);
  }
  EXPECT_EQ(take(CFURLCopyFileSystemPath(pathURL("/x", false).get(), kCFURLHFSPathStyle)), "<NULL>");
  EXPECT_FALSE(pathURL("", false));
}

TEST(URL, RelativePathsUseTheCurrentDirectoryOrTheBase) {
  char buf[PATH_MAX];
  const std::string cwd = getcwd(buf, sizeof buf) ? buf : "";
  URL u = pathURL("sub dir/file.txt", false);
  ASSERT_TRUE(u);
  EXPECT_EQ(facts(u), std::make_tuple("sub%20dir/file.txt", "sub dir/file.txt", "sub dir/file.txt",
                                      (cwd == "/" ? "" : cwd) + "/sub dir/file.txt"));
  EXPECT_EQ(str(CFURLGetBaseURL(u.get())), str(pathURL(cwd, true)));
  EXPECT_EQ(absolute(u), str(pathURL(cwd + "/sub dir/file.txt", false)));

  // A colon in the first segment must not turn into a scheme.
  u = pathURL("a:b/c", false);
  EXPECT_EQ(str(u), "a%3Ab/c");
  EXPECT_EQ(path(u), "a:b/c");

  URL base = url("file:///base/dir/");
  u = pathURL("x/../y", false, base.get());
  EXPECT_EQ(CFURLGetBaseURL(u.get()), base.get());
  EXPECT_EQ(absolute(u), "file:///base/dir/y");
  u = pathURL("/abs", false, base.get());  // an absolute path ignores the base
  EXPECT_EQ(CFURLGetBaseURL(u.get()), nullptr);
  EXPECT_EQ(str(u), "file:///abs");
}

TEST(URL, FileSystemRepresentationKeepsAnyBytes) {
  auto fromRep = [](std::string_view raw, bool isDirectory) {
    return adopt(CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(raw.data()),
                                                         static_cast<CFIndex>(raw.size()), isDirectory));
  };
  const char raw[] = "/tmp/\xff\xfe name";
  URL u = fromRep(raw, false);
  ASSERT_TRUE(u);
  EXPECT_EQ(facts(u), std::make_tuple("file:///tmp/%FF%FE%20name", "<NULL>", raw, raw));  // no path: not UTF-8
  UInt8 small[8];
  EXPECT_FALSE(CFURLGetFileSystemRepresentation(u.get(), true, small, sizeof small));
  // A NUL ends the path early; a directory gets its slash.
  EXPECT_EQ(str(fromRep(std::string_view("/a\0/b", 5), true)), "file:///a/");
  EXPECT_FALSE(fromRep("", false));
  // An escaped NUL has no file-system form.
  EXPECT_EQ(facts(url("file:///a%00b")), std::make_tuple("file:///a%00b", "<NULL>", "<false>", "<false>"));
}

TEST(URL, CreateWithStringValidates) {
  for (const char* good : {"http://user@host:8080/p/a%20th?q=1&r=2#frag", "mailto:a@b.c", "relative/path", "",
                           "http://[::1]:80/x", "file:///", "a+b.c-d:x", "?q", "#f", "http://h:/"}) {
    EXPECT_EQ(str(url(good)), good);
  }
  for (const char* bad : {"http://a b", "http://é", "a%2", "a%zz", "%", "http://h/#a#b", "1abc:x", "http://h:8o/",
                          "http://h/[x]", "http://[::1/", "a\"b", "a<b>", "a\\b", "x{y}", "a^b", "a|b", "a`b"}) {
    EXPECT_FALSE(url(bad)) << bad;
  }
  EXPECT_EQ(CFURLCreateWithString(nullptr, nullptr, nullptr), nullptr);
  URL base = url("http://example.com/dir/");
  EXPECT_EQ(CFURLGetBaseURL(url("page.html", base).get()), base.get());
  EXPECT_EQ(CFURLGetBaseURL(url("https://other/x", base).get()), nullptr);  // a scheme makes the base irrelevant

  auto fromBytes = [](std::string_view b, CFStringEncoding enc) {
    return take(CFURLCreateWithBytes(nullptr, reinterpret_cast<const UInt8*>(b.data()), static_cast<CFIndex>(b.size()),
                                     enc, nullptr));
  };
  EXPECT_EQ(fromBytes("http://h/\xc3\xa9", kCFStringEncodingUTF8), "http://h/%C3%A9");
  EXPECT_EQ(fromBytes("http://h/\xc3\xa9 ", kCFStringEncodingUTF8), "<NULL>");  // the space is still illegal
  EXPECT_EQ(fromBytes("http://h/\xe9", kCFStringEncodingISOLatin1), "http://h/%E9");
  EXPECT_EQ(fromBytes("http://h/\xe9", kCFStringEncodingUTF8), "<NULL>");
}

TEST(URL, Components) {
  // {URL, base, scheme, host, port, path, query, query unescaped, fragment, fragment unescaped}
  URL base = url("https://example.com:444/a/b");
  using C = std::tuple<const char*, CFURLRef, const char*, const char*, SInt32, const char*, const char*, const char*,
                       const char*, const char*>;
  const C cases[] = {C{"http://user@host:8080/p/a%20th?q=1&r=%C3%A9#frag%20x", nullptr, "http", "host", 8080,
                       "/p/a%20th", "q=1&r=%C3%A9", "q=1&r=é", "frag%20x", "frag x"},
                     C{"http://[::1]/", nullptr, "http", "::1", -1, "/", "<NULL>", "<NULL>", "<NULL>", "<NULL>"},
                     C{"http://h:99999999999/", nullptr, "http", "h", -1, "/", "<NULL>", "<NULL>", "<NULL>", "<NULL>"},
                     C{"mailto:someone@example.com", nullptr, "mailto", "<NULL>", -1, "<NULL>", "<NULL>", "<NULL>",
                       "<NULL>", "<NULL>"},
                     // A relative URL reports its base's scheme, host and port, but its own path.
                     C{"c/d?x", base.get(), "https", "example.com", 444, "c/d", "x", "x", "<NULL>", "<NULL>"}};
  for (const auto& [in, relativeTo, scheme, host, port, path, query, queryText, fragment, fragmentText] : cases) {
    URL u = url(in, relativeTo);
    ASSERT_TRUE(u) << in;
    EXPECT_EQ(take(CFURLCopyScheme(u.get())), scheme) << in;
    EXPECT_EQ(take(CFURLCopyHostName(u.get())), host) << in;
    EXPECT_EQ(CFURLGetPortNumber(u.get()), port) << in;
    EXPECT_EQ(take(CFURLCopyPath(u.get())), path) << in;
    EXPECT_EQ(take(CFURLCopyQueryString(u.get(), nullptr)), query) << in;
    EXPECT_EQ(take(CFURLCopyQueryString(u.get(), CFSTR(""))), queryText) << in;
    EXPECT_EQ(take(CFURLCopyFragment(u.get(), nullptr)), fragment) << in;
    EXPECT_EQ(take(CFURLCopyFragment(u.get(), CFSTR(""))), fragmentText) << in;
  }
  URL mail = url("mailto:someone@example.com");
  EXPECT_TRUE(CFURLCanBeDecomposed(url(std::get<0>(cases[0])).get()));
  EXPECT_FALSE(CFURLCanBeDecomposed(mail.get()));
  EXPECT_EQ(CFURLCreateCopyAppendingPathComponent(nullptr, mail.get(), CFSTR("x"), false), nullptr);
  EXPECT_EQ(take(CFURLCopyLastPathComponent(url(std::get<0>(cases[0])).get())), "a th");
}

TEST(URL, ResolvesAgainstBaseLikeRFC3986) {
  URL base = url("http://a/b/c/d;p?q");
  using R = std::pair<const char*, const char*>;
  for (auto [ref, expected] :
       {R{"g", "http://a/b/c/g"}, R{"g/", "http://a/b/c/g/"}, R{"/g", "http://a/g"}, R{"//g", "http://g"},
        R{"?y", "http://a/b/c/d;p?y"}, R{"#s", "http://a/b/c/d;p?q#s"}, R{"g?y#s", "http://a/b/c/g?y#s"},
        R{"", "http://a/b/c/d;p?q"}, R{".", "http://a/b/c/"}, R{"./", "http://a/b/c/"}, R{"..", "http://a/b/"},
        R{"../g", "http://a/b/g"}, R{"../..", "http://a/"}, R{"../../../g", "http://a/g"}, R{"/./g", "http://a/g"},
        R{"g;x=1/../y", "http://a/b/c/y"}, R{"g/./h", "http://a/b/c/g/h"}, R{"https:x", "https:x"}}) {
    URL u = url(ref, base);
    ASSERT_TRUE(u) << ref;
    EXPECT_EQ(absolute(u), expected) << ref;
  }
  // A base that is itself relative resolves through its own base.
  EXPECT_EQ(absolute(url("../z", url("x/y/", base))), "http://a/b/c/x/z");
}

TEST(URL, PathComponentsAndExtensions) {
  enum Op { kLast, kExt, kAppend, kAppendDir, kDelete, kAddExt, kDelExt };
  struct P {
    Op op;
    const char *in, *arg, *out;
  };
  auto check = [](const P& c) {
    URL u = url(c.in);
    auto arg = S(c.arg);
    std::string got;
    switch (c.op) {
      case kLast: got = take(CFURLCopyLastPathComponent(u.get())); break;
      case kExt: got = take(CFURLCopyPathExtension(u.get())); break;
      case kAppend:
      case kAppendDir:
        got = take(CFURLCreateCopyAppendingPathComponent(nullptr, u.get(), arg.get(), c.op == kAppendDir));
        break;
      case kDelete: got = take(CFURLCreateCopyDeletingLastPathComponent(nullptr, u.get())); break;
      case kAddExt: got = take(CFURLCreateCopyAppendingPathExtension(nullptr, u.get(), arg.get())); break;
      case kDelExt: got = take(CFURLCreateCopyDeletingPathExtension(nullptr, u.get())); break;
    }
    EXPECT_EQ(got, c.out) << c.op << " " << c.in << " " << c.arg;
  };
  for (const P& c : {P{kLast, "file:///a/b%20c.txt", "", "b c.txt"}, P{kLast, "file:///a/dir/", "", "dir"},
                     P{kLast, "file:///", "", "/"}, P{kLast, "rel", "", "rel"}, P{kExt, "file:///a/b.tar.gz", "", "gz"},
                     P{kExt, "file:///a/d.bundle/", "", "bundle"}, P{kExt, "file:///a/.profile", "", "<NULL>"},
                     P{kExt, "file:///a/name.", "", "<NULL>"}, P{kExt, "file:///a.b/c", "", "<NULL>"}})
    check(c);
  for (const P& c :
       {P{kAppend, "file:///a", "b c", "file:///a/b%20c"}, P{kAppendDir, "file:///a/", "x", "file:///a/x/"},
        P{kAppend, "file:///a/", "é/f?#", "file:///a/%C3%A9/f%3F%23"},
        P{kAppend, "http://h?q=1#f", "p", "http://h/p?q=1#f"}, P{kAppend, "http://h/a?q=1", "p", "http://h/a/p?q=1"},
        P{kDelete, "file:///a/b/c", "", "file:///a/b/"}, P{kDelete, "file:///a/b/", "", "file:///a/"},
        P{kDelete, "file:///a", "", "file:///"}, P{kDelete, "file:///", "", "file:///"}, P{kDelete, "a", "", "./"},
        P{kDelete, "..", "", "../../"}})
    check(c);
  for (const P& c :
       {P{kAddExt, "file:///a/f", "txt", "file:///a/f.txt"},
        P{kAddExt, "file:///a/d/", "bundle", "file:///a/d.bundle/"},
        P{kAddExt, "file:///a/f", "a b/c", "file:///a/f.a%20b%2Fc"}, P{kAddExt, "file:///", "x", "<NULL>"},
        P{kDelExt, "file:///a/f.tar.gz", "", "file:///a/f.tar"}, P{kDelExt, "file:///a/d.bundle/", "", "file:///a/d/"},
        P{kDelExt, "file:///a/.profile", "", "file:///a/.profile"}, P{kDelExt, "file:///a.b/c", "", "file:///a.b/c"},
        P{kDelExt, "a/..", "", "a/.."}})
    check(c);

  // Derived URLs stay relative to the same base.
  URL base = url("file:///root/");
  URL child = adopt(
      CFURLCreateCopyAppendingPathComponent(nullptr, pathURL("dir", true, base.get()).get(), CFSTR("f.txt"), false));
  EXPECT_EQ(str(child), "dir/f.txt");
  EXPECT_EQ(CFURLGetBaseURL(child.get()), base.get());
  EXPECT_EQ(fsRep(child, true), "/root/dir/f.txt");
}

TEST(URL, EqualityHashAndDescriptions) {
  URL a = url("file:///tmp/x"), b = pathURL("/tmp/x", false);
  EXPECT_SAME(a.get(), b.get());
  EXPECT_FALSE(CFEqual(a.get(), pathURL("/tmp/x", true).get()));  // the trailing slash counts

  URL base1 = url("file:///one/");
  URL r1 = url("f", base1), r3 = url("f", url("file:///one/"));
  EXPECT_FALSE(CFEqual(r1.get(), url("f", url("file:///two/")).get()));
  EXPECT_SAME(r1.get(), r3.get());
  EXPECT_FALSE(CFEqual(r1.get(), url("f").get()));
  EXPECT_FALSE(CFEqual(r1.get(), adopt(CFURLCopyAbsoluteURL(r1.get())).get()));  // same resource, other string and base

  EXPECT_EQ(take(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@|%@"), r1.get(), a.get())), "f|file:///tmp/x");
  EXPECT_EQ(describe(r1.get()), "f -- file:///one/");
  EXPECT_EQ(describe(a.get()), "file:///tmp/x");
}

TEST(URL, AddingAndReplacingPercentEscapes) {
  auto add = [](const char* s, CFStringRef leave, CFStringRef escape, CFStringEncoding enc = kCFStringEncodingUTF8) {
    return take(CFURLCreateStringByAddingPercentEscapes(nullptr, S(s).get(), leave, escape, enc));
  };
  EXPECT_EQ(add("a b/c?d#e%f[g]é😀<\"", nullptr, nullptr), "a%20b/c?d%23e%25f%5Bg%5D%C3%A9%F0%9F%98%80%3C%22");
  EXPECT_EQ(add("k=v&x/y?z!*'();:@+$,-_.~", nullptr, nullptr), "k=v&x/y?z!*'();:@+$,-_.~");
  EXPECT_EQ(add("k=v&x/y", nullptr, CFSTR("=&/")), "k%3Dv%26x%2Fy");
  EXPECT_EQ(add("a b%20", CFSTR(" %"), nullptr), "a b%20");
  EXPECT_EQ(add("é", nullptr, nullptr, kCFStringEncodingISOLatin1), "%E9");
  EXPECT_EQ(add("é", nullptr, nullptr, kCFStringEncodingASCII), "<NULL>");
  EXPECT_EQ(add("", nullptr, nullptr), "");
  EXPECT_EQ(
      CFURLCreateStringByAddingPercentEscapes(nullptr, S(u"a\xDC00").get(), nullptr, nullptr, kCFStringEncodingUTF8),
      nullptr);

  auto rep = [](const char* s, CFStringRef leave) {
    return take(CFURLCreateStringByReplacingPercentEscapes(nullptr, S(s).get(), leave));
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
  for (auto [e, result] : {std::pair{kCFStringEncodingISOLatin1, "é "}, std::pair{kCFStringEncodingUTF8, "<NULL>"}}) {
    EXPECT_EQ(take(CFURLCreateStringByReplacingPercentEscapesUsingEncoding(nullptr, CFSTR("%E9%20"), CFSTR(""), e)),
              result);
  }

  // Adding then replacing is the identity for any valid text.
  auto original = S("ä ö/ü?#%[]😀 x&y=z");
  auto escaped = adopt(
      CFURLCreateStringByAddingPercentEscapes(nullptr, original.get(), nullptr, CFSTR("&=/?"), kCFStringEncodingUTF8));
  EXPECT_TRUE(CFEqual(adopt(CFURLCreateStringByReplacingPercentEscapes(nullptr, escaped.get(), CFSTR(""))).get(),
                      original.get()));
}

}  // namespace
