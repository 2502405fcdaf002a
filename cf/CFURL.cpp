// URLs: parsing and validation, file URLs from POSIX paths, resolution against a base, path
// editing and percent escapes.
//
// A URL keeps its text twice: as the CFString callers get back, and as ASCII with the component
// boundaries found once at creation, so accessors never parse again. Every URL this layer makes
// is ASCII (non-ASCII is always percent-encoded), which the validation at creation guarantees.
#include <CoreFoundation/CFURL.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using qxcf::CFRef;

namespace {

// ---------------------------------------------------------------------------------------------
// Character classes

enum CharClass : uint8_t {
  kUnreserved = 1,  // ALPHA DIGIT - . _ ~
  kSubDelim = 2,    // ! $ & ' ( ) * + , ; =
  kGenDelim = 4,    // : / ? # [ ] @
  kLegacy = 8,      // left alone by CFURLCreateStringByAddingPercentEscapes: RFC 2396 unreserved + reserved
  kPath = 16,       // written as is in paths built from file-system paths
  kSchemeChar = 32,
};

constexpr bool in(char c, const char* set) {
  for (; *set; ++set) {
    if (*set == c) return true;
  }
  return false;
}

struct ClassTable {
  uint8_t bits[128] = {};
  constexpr ClassTable() {
    for (int i = 0; i < 128; ++i) {
      char c = static_cast<char>(i);
      bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      uint8_t b = 0;
      if (alnum || in(c, "-._~")) b |= kUnreserved;
      if (in(c, "!$&'()*+,;=")) b |= kSubDelim;
      if (in(c, ":/?#[]@")) b |= kGenDelim;
      if (alnum || in(c, "-_.!~*'();/?:@&=+$,")) b |= kLegacy;
      if ((b & (kUnreserved | kSubDelim)) || in(c, ":@/")) b |= kPath;
      if (alnum || in(c, "+-.")) b |= kSchemeChar;
      bits[i] = b;
    }
  }
};

constexpr ClassTable kClasses;

inline bool has(unsigned c, uint8_t cls) { return c < 128 && (kClasses.bits[c] & cls) != 0; }
inline bool isAlpha(unsigned c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

inline int hexValue(unsigned c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') return static_cast<int>((c | 0x20) - 'a' + 10);
  return -1;
}

constexpr char kHex[] = "0123456789ABCDEF";

inline void appendEscape(std::string& out, unsigned char b) {
  out.push_back('%');
  out.push_back(kHex[b >> 4]);
  out.push_back(kHex[b & 15]);
}

// ---------------------------------------------------------------------------------------------
// Components (RFC 3986 appendix B)

struct Parts {
  std::string_view scheme, authority, path, query, fragment;
  bool hasScheme = false, hasAuthority = false, hasQuery = false, hasFragment = false;
};

Parts split(std::string_view t) {
  Parts p;
  size_t i = 0;
  size_t colon = t.find_first_of(":/?#");
  if (colon != std::string_view::npos && t[colon] == ':' && colon > 0) {
    p.hasScheme = true;
    p.scheme = t.substr(0, colon);
    i = colon + 1;
  }
  if (t.substr(i, 2) == "//") {
    size_t e = t.find_first_of("/?#", i + 2);
    if (e == std::string_view::npos) e = t.size();
    p.hasAuthority = true;
    p.authority = t.substr(i + 2, e - i - 2);
    i = e;
  }
  size_t e = t.find_first_of("?#", i);
  if (e == std::string_view::npos) e = t.size();
  p.path = t.substr(i, e - i);
  i = e;
  if (i < t.size() && t[i] == '?') {
    e = t.find('#', i);
    if (e == std::string_view::npos) e = t.size();
    p.hasQuery = true;
    p.query = t.substr(i + 1, e - i - 1);
    i = e;
  }
  if (i < t.size()) {
    p.hasFragment = true;
    p.fragment = t.substr(i + 1);
  }
  return p;
}

// Host and port of an authority ("user@host:port", "[v6]:port").
void splitAuthority(std::string_view a, std::string_view& host, std::string_view& port, bool& hasPort) {
  size_t at = a.rfind('@');
  if (at != std::string_view::npos) a.remove_prefix(at + 1);
  hasPort = false;
  size_t hostEnd = a.size();
  if (!a.empty() && a[0] == '[') {
    size_t close = a.find(']');
    hostEnd = close == std::string_view::npos ? a.size() : close + 1;
  }
  size_t colon = a.find(':', a.empty() || a[0] != '[' ? 0 : hostEnd);
  if (colon != std::string_view::npos) {
    hasPort = true;
    port = a.substr(colon + 1);
    hostEnd = std::min(hostEnd, colon);
  }
  host = a.substr(0, hostEnd);
}

// The URL grammar as CFURLCreateWithString accepts it.
bool validURLText(std::string_view t) {
  for (size_t i = 0; i < t.size(); ++i) {
    unsigned c = static_cast<unsigned char>(t[i]);
    if (c == '%') {
      if (i + 2 >= t.size() || hexValue(static_cast<unsigned char>(t[i + 1])) < 0 ||
          hexValue(static_cast<unsigned char>(t[i + 2])) < 0) {
        return false;
      }
      i += 2;
    } else if (!has(c, kUnreserved | kSubDelim | kGenDelim)) {
      return false;
    }
  }
  Parts p = split(t);
  if (p.hasScheme) {
    if (!isAlpha(static_cast<unsigned char>(p.scheme[0]))) return false;
    for (char c : p.scheme) {
      if (!has(static_cast<unsigned char>(c), kSchemeChar)) return false;
    }
  }
  if (p.fragment.find('#') != std::string_view::npos) return false;
  // Brackets belong to an IPv6 host only.
  auto noBrackets = [](std::string_view s) { return s.find_first_of("[]") == std::string_view::npos; };
  if (!noBrackets(p.path) || !noBrackets(p.query) || !noBrackets(p.fragment)) return false;
  if (p.hasAuthority) {
    std::string_view host, port;
    bool hasPort;
    splitAuthority(p.authority, host, port, hasPort);
    if (!host.empty() && host[0] == '[') {
      if (host.size() < 2 || host.back() != ']' || !noBrackets(host.substr(1, host.size() - 2))) return false;
    } else if (!noBrackets(host)) {
      return false;
    }
    size_t at = p.authority.rfind('@');
    if (at != std::string_view::npos && !noBrackets(p.authority.substr(0, at))) return false;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
    }
  }
  return true;
}

// Decodes every escape into raw bytes. False on a malformed escape.
bool percentDecode(std::string_view in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out.push_back(in[i]);
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int hi = hexValue(static_cast<unsigned char>(in[i + 1]));
    int lo = hexValue(static_cast<unsigned char>(in[i + 2]));
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

CFStringRef stringFromASCII(CFAllocatorRef alloc, std::string_view s) {
  return qxcf::createStringUTF8(alloc, s.data(), s.size());
}

// Percent-decoded text as a string; NULL for a malformed escape or bytes that are not UTF-8.
CFStringRef createDecoded(CFAllocatorRef alloc, std::string_view escaped) {
  std::string bytes;
  if (!percentDecode(escaped, bytes)) return nullptr;
  return qxcf::createStringUTF8(alloc, bytes.data(), bytes.size());
}

// Appends path bytes, escaping all that are not legal in a path. With `firstSegmentColon` a ':'
// before the first '/' is escaped too, so a relative path cannot read as a scheme.
void appendEscapedPath(std::string& out, std::string_view bytes, bool escapeSlash, bool firstSegmentColon) {
  bool first = firstSegmentColon;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '/') first = false;
    bool keep = has(c, kPath) && !(c == '/' && escapeSlash) && !(c == ':' && first);
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      appendEscape(out, c);
    }
  }
}

// UTF-8 of a string; false when it holds a lone surrogate (no file-system form exists).
bool strictUTF8(CFStringRef s, std::string& out) {
  out.clear();
  return qxcf::appendUTF8(out, s->chars, static_cast<size_t>(s->length), qxcf::LoneSurrogate::kFail);
}

bool pathStyleSupported(CFURLPathStyle style) {
  return style == kCFURLPOSIXPathStyle || style == kCFURLWindowsPathStyle;
}

// "/a/b//" → "/a/b"; all-slash paths stay "/".
std::string_view trimTrailingSlashes(std::string_view path) {
  size_t n = path.size();
  while (n > 1 && path[n - 1] == '/') --n;
  return path.substr(0, n);
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.remove_prefix(3);
    } else if (in.starts_with("./")) {
      in.remove_prefix(2);
    } else if (in.starts_with("/./")) {
      in.remove_prefix(2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../") || in == "/..") {
      in = in.size() == 3 ? std::string_view("/") : in.substr(3);
      size_t cut = out.rfind('/');
      out.resize(cut == std::string::npos ? 0 : cut);
    } else if (in == "." || in == "..") {
      in = {};
    } else {
      size_t next = in.find('/', 1);
      if (next == std::string_view::npos) next = in.size();
      out.append(in.substr(0, next));
      in.remove_prefix(next);
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The object

struct __CFURL : __CFRuntimeBase {
  std::string text;  // ASCII; parts point into it
  CFRef<CFStringRef> string;
  CFRef<CFURLRef> base;
  Parts parts;

  __CFURL(CFAllocatorRef alloc, std::string&& t, CFURLRef b);
};

namespace {

bool urlEqual(CFTypeRef a, CFTypeRef b) {
  auto* x = static_cast<const __CFURL*>(a);
  auto* y = static_cast<const __CFURL*>(b);
  if (x->text != y->text) return false;
  if (x->base.get() == nullptr || y->base.get() == nullptr) return x->base.get() == y->base.get();
  return CFEqual(x->base.get(), y->base.get());
}

CFHashCode urlHash(CFTypeRef cf) { return CFHash(static_cast<const __CFURL*>(cf)->string.get()); }

CFStringRef urlFormattingDesc(CFTypeRef cf) {
  return static_cast<CFStringRef>(CFRetain(static_cast<const __CFURL*>(cf)->string.get()));
}

CFStringRef urlDebugDesc(CFTypeRef cf) {
  auto* u = static_cast<const __CFURL*>(cf);
  if (!u->base) return urlFormattingDesc(cf);
  CFRef<CFStringRef> baseDesc = qxcf::adopt(CFCopyDescription(u->base.get()));
  std::string text = u->text + " -- " + qxcf::toUTF8(baseDesc.get());
  return qxcf::createStringUTF8(text);
}

constexpr qxcf::RuntimeClass kURLClass = {qxcf::kTypeIDURL,  "CFURL",     qxcf::finalizeAs<__CFURL>, urlEqual, urlHash,
                                          urlFormattingDesc, urlDebugDesc};

}  // namespace

__CFURL::__CFURL(CFAllocatorRef alloc, std::string&& t, CFURLRef b)
    : __CFRuntimeBase(&kURLClass, 1, alloc), text(std::move(t)), base(CFRef<CFURLRef>::retain(b)) {
  parts = split(text);
}

namespace {

// Makes a URL over already valid text. `original` is the caller's string when it can be kept.
CFURLRef makeURL(CFAllocatorRef alloc, std::string text, CFURLRef base, CFStringRef original = nullptr) {
  CFRef<CFStringRef> str = original != nullptr && !original->isMutable() ? CFRef<CFStringRef>::retain(original)
                                                                         : qxcf::adopt(stringFromASCII(alloc, text));
  if (!str) return nullptr;
  auto* url = qxcf::cfCreate<__CFURL>(alloc, 0, std::move(text), base);
  if (url == nullptr) return nullptr;
  url->string = std::move(str);
  return url;
}

bool decomposable(CFURLRef u) {
  const Parts& p = u->parts;
  if (!p.hasScheme) return u->base ? decomposable(u->base.get()) : true;
  return p.hasAuthority || p.path.starts_with('/');
}

CFURLRef currentDirectoryURL(CFAllocatorRef alloc);

CFURLRef createFromPathBytes(CFAllocatorRef alloc, std::string_view bytes, bool isDirectory, CFURLRef base) {
  if (bytes.empty()) return nullptr;
  std::string text;
  CFRef<CFURLRef> cwd;
  bool absolute = bytes[0] == '/';
  if (absolute) {
    text = "file://";
    base = nullptr;
  } else if (base == nullptr) {
    cwd = qxcf::adopt(currentDirectoryURL(alloc));
    base = cwd.get();
  }
  appendEscapedPath(text, bytes, false, !absolute);
  if (isDirectory && text.back() != '/') text.push_back('/');
  return makeURL(alloc, std::move(text), base);
}

CFURLRef currentDirectoryURL(CFAllocatorRef alloc) {
  char stackBuf[PATH_MAX];
  if (getcwd(stackBuf, sizeof stackBuf) != nullptr) return createFromPathBytes(alloc, stackBuf, true, nullptr);
  char* dyn = getcwd(nullptr, 0);  // longer than PATH_MAX
  if (dyn == nullptr) return nullptr;
  CFURLRef url = createFromPathBytes(alloc, dyn, true, nullptr);
  std::free(dyn);
  return url;
}

// Text before and after the path, for rebuilding a URL around a new path.
CFURLRef withPath(CFAllocatorRef alloc, CFURLRef url, std::string_view newPath) {
  const std::string& t = url->text;
  size_t begin = static_cast<size_t>(url->parts.path.data() - t.data());
  size_t end = begin + url->parts.path.size();
  std::string text;
  text.reserve(t.size() + newPath.size());
  text.append(t, 0, begin);
  text.append(newPath);
  text.append(t, end);
  return makeURL(alloc, std::move(text), url->base.get());
}

// Code-point sets given as strings (charactersToLeaveUnescaped and the like).
class CharSet {
 public:
  explicit CharSet(CFStringRef s) {
    if (s == nullptr) return;
    std::u16string_view u = qxcf::chars(s);
    for (size_t i = 0; i < u.size(); ++i) {
      uint32_t c = u[i];
      if (qxcf::isHighSurrogate(u[i]) && i + 1 < u.size() && qxcf::isLowSurrogate(u[i + 1])) {
        c = qxcf::combineSurrogates(c, u[++i]);
      }
      if (c < 128) {
        ascii_[c / 64] |= uint64_t{1} << (c % 64);
      } else {
        other_.push_back(c);
      }
    }
  }
  bool contains(uint32_t c) const {
    if (c < 128) return (ascii_[c / 64] >> (c % 64)) & 1;
    for (uint32_t o : other_) {
      if (o == c) return true;
    }
    return false;
  }

 private:
  uint64_t ascii_[2] = {0, 0};
  std::vector<uint32_t> other_;
};

enum class ByteEncoding { kUTF8, kLatin1, kASCII };

ByteEncoding byteEncoding(CFStringEncoding e) {
  switch (e) {
    case kCFStringEncodingISOLatin1: return ByteEncoding::kLatin1;
    case kCFStringEncodingASCII: return ByteEncoding::kASCII;
    default: return ByteEncoding::kUTF8;
  }
}

// Code point c as bytes in enc; false when it has no such form.
bool encodeCodePoint(uint32_t c, ByteEncoding enc, unsigned char* out, int& n) {
  if (enc != ByteEncoding::kUTF8) {
    if (c > (enc == ByteEncoding::kASCII ? 0x7Fu : 0xFFu)) return false;
    out[0] = static_cast<unsigned char>(c);
    n = 1;
    return true;
  }
  n = static_cast<int>(qxcf::encodeUTF8(c, reinterpret_cast<char*>(out)));
  return true;
}

// Decodes one character from escaped bytes; returns its byte count, or 0 when invalid.
int decodeCodePoint(const unsigned char* b, size_t n, ByteEncoding enc, uint32_t& c) {
  if (enc != ByteEncoding::kUTF8) {
    if (enc == ByteEncoding::kASCII && b[0] >= 0x80) return 0;
    c = b[0];
    return 1;
  }
  if (b[0] < 0x80) {
    c = b[0];
    return 1;
  }
  int need = b[0] >= 0xC2 && b[0] <= 0xDF   ? 1
             : b[0] >= 0xE0 && b[0] <= 0xEF ? 2
             : b[0] >= 0xF0 && b[0] <= 0xF4 ? 3
                                            : -1;
  if (need < 0 || n < static_cast<size_t>(need) + 1) return 0;
  UniChar u[2];
  CFIndex k = qxcf::decodeUTF8(b, static_cast<size_t>(need) + 1, u);
  if (k < 0) return 0;
  c = k == 2 ? qxcf::combineSurrogates(u[0], u[1]) : u[0];
  return need + 1;
}

void appendCodePoint(std::u16string& out, uint32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

CFStringRef replaceEscapes(CFAllocatorRef alloc, std::u16string_view in, CFStringRef leaveEscaped, ByteEncoding enc) {
  CharSet leave(leaveEscaped);
  std::u16string out;
  out.reserve(in.size());
  std::vector<unsigned char> bytes;
  for (size_t i = 0; i < in.size();) {
    if (in[i] != '%') {
      out.push_back(in[i++]);
      continue;
    }
    // A run of consecutive escapes: multi-byte characters span several.
    size_t runStart = i;
    bytes.clear();
    while (i < in.size() && in[i] == '%') {
      if (i + 2 >= in.size()) return nullptr;
      int hi = hexValue(in[i + 1]), lo = hexValue(in[i + 2]);
      if (hi < 0 || lo < 0) return nullptr;
      bytes.push_back(static_cast<unsigned char>(hi * 16 + lo));
      i += 3;
    }
    for (size_t b = 0; b < bytes.size();) {
      uint32_t c;
      int k = decodeCodePoint(bytes.data() + b, bytes.size() - b, enc, c);
      if (k == 0) return nullptr;
      if (leave.contains(c)) {
        out.append(in.substr(runStart + b * 3, static_cast<size_t>(k) * 3));
      } else {
        appendCodePoint(out, c);
      }
      b += static_cast<size_t>(k);
    }
  }
  return qxcf::createStringUTF16(alloc, reinterpret_cast<const UniChar*>(out.data()), static_cast<CFIndex>(out.size()));
}

CFStringRef copyString(CFAllocatorRef alloc, CFStringRef s) {
  if (!s->isMutable()) return static_cast<CFStringRef>(CFRetain(s));
  return qxcf::createStringUTF16(alloc, s->chars, s->length);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Creation

CFTypeID CFURLGetTypeID(void) { return qxcf::kTypeIDURL; }

CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL) {
  if (URLString == nullptr) return nullptr;
  std::string text;
  text.reserve(static_cast<size_t>(URLString->length));
  for (UniChar u : qxcf::chars(URLString)) {
    if (u >= 0x80) return nullptr;
    text.push_back(static_cast<char>(u));
  }
  if (!validURLText(text)) return nullptr;
  if (split(text).hasScheme) baseURL = nullptr;
  return makeURL(allocator, std::move(text), baseURL, URLString);
}

CFURLRef CFURLCreateWithBytes(CFAllocatorRef allocator, const UInt8* URLBytes, CFIndex length,
                              CFStringEncoding encoding, CFURLRef baseURL) {
  if (URLBytes == nullptr || length < 0) return nullptr;
  ByteEncoding enc = byteEncoding(encoding);
  if (enc == ByteEncoding::kUTF8) {
    std::vector<UniChar> scratch(static_cast<size_t>(length));
    if (qxcf::decodeUTF8(URLBytes, static_cast<size_t>(length), scratch.data()) < 0) return nullptr;
  }
  std::string text;
  for (CFIndex i = 0; i < length; ++i) {
    unsigned char b = URLBytes[i];
    if (b < 0x80) {
      text.push_back(static_cast<char>(b));
    } else if (enc == ByteEncoding::kASCII) {
      return nullptr;
    } else {
      appendEscape(text, b);  // the byte in the URL's encoding, which is what an escape holds
    }
  }
  if (!validURLText(text)) return nullptr;
  if (split(text).hasScheme) baseURL = nullptr;
  return makeURL(allocator, std::move(text), baseURL);
}

CFURLRef CFURLCreateWithFileSystemPathRelativeToBase(CFAllocatorRef allocator, CFStringRef filePath,
                                                     CFURLPathStyle pathStyle, Boolean isDirectory, CFURLRef baseURL) {
  if (filePath == nullptr || !pathStyleSupported(pathStyle)) return nullptr;
  std::string bytes;
  if (!strictUTF8(filePath, bytes)) return nullptr;
  return createFromPathBytes(allocator, bytes, isDirectory, baseURL);
}

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory) {
  return CFURLCreateWithFileSystemPathRelativeToBase(allocator, filePath, pathStyle, isDirectory, nullptr);
}

CFURLRef CFURLCreateFromFileSystemRepresentationRelativeToBase(CFAllocatorRef allocator, const UInt8* buffer,
                                                               CFIndex bufLen, Boolean isDirectory, CFURLRef baseURL) {
  if (buffer == nullptr || bufLen <= 0) return nullptr;
  const auto* p = reinterpret_cast<const char*>(buffer);
  return createFromPathBytes(allocator, std::string_view(p, strnlen(p, static_cast<size_t>(bufLen))), isDirectory,
                             baseURL);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
  return CFURLCreateFromFileSystemRepresentationRelativeToBase(allocator, buffer, bufLen, isDirectory, nullptr);
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL) {
  if (relativeURL == nullptr) return nullptr;
  if (!relativeURL->base) return static_cast<CFURLRef>(CFRetain(relativeURL));
  CFRef<CFURLRef> base = qxcf::adopt(CFURLCopyAbsoluteURL(relativeURL->base.get()));
  if (!base) return nullptr;
  const Parts& r = relativeURL->parts;
  const Parts& b = base.get()->parts;
  if (r.hasScheme) {
    std::string text = relativeURL->text;
    return makeURL(nullptr, std::move(text), nullptr);
  }
  // RFC 3986 section 5.2.2, with the base's scheme.
  std::string text;
  if (b.hasScheme) text.append(b.scheme).push_back(':');
  std::string_view query;
  bool hasQuery;
  std::string path;
  if (r.hasAuthority) {
    text.append("//").append(r.authority);
    path = removeDotSegments(r.path);
    query = r.query;
    hasQuery = r.hasQuery;
  } else {
    if (b.hasAuthority) text.append("//").append(b.authority);
    if (r.path.empty()) {
      path = b.path;
      hasQuery = r.hasQuery || b.hasQuery;
      query = r.hasQuery ? r.query : b.query;
    } else {
      if (r.path.starts_with('/')) {
        path = removeDotSegments(r.path);
      } else {
        std::string merged;
        if (b.hasAuthority && b.path.empty()) {
          merged = "/";
        } else {
          size_t slash = b.path.rfind('/');
          if (slash != std::string_view::npos) merged.assign(b.path.substr(0, slash + 1));
        }
        merged.append(r.path);
        path = removeDotSegments(merged);
      }
      query = r.query;
      hasQuery = r.hasQuery;
    }
  }
  // A path that now starts with "//" would read as an authority.
  if (!b.hasAuthority && !r.hasAuthority && path.starts_with("//")) text.append("/.");
  text.append(path);
  if (hasQuery) text.append("?").append(query);
  if (r.hasFragment) text.append("#").append(r.fragment);
  return makeURL(CFGetAllocator(relativeURL), std::move(text), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Access

CFStringRef CFURLGetString(CFURLRef anURL) { return anURL == nullptr ? nullptr : anURL->string.get(); }

CFURLRef CFURLGetBaseURL(CFURLRef anURL) { return anURL == nullptr ? nullptr : anURL->base.get(); }

Boolean CFURLCanBeDecomposed(CFURLRef anURL) { return anURL != nullptr && decomposable(anURL); }

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
  if (anURL == nullptr || !pathStyleSupported(pathStyle) || !decomposable(anURL)) return nullptr;
  std::string bytes;
  if (!percentDecode(trimTrailingSlashes(anURL->parts.path), bytes)) return nullptr;
  if (bytes.find('\0') != std::string::npos) return nullptr;
  return qxcf::createStringUTF8(nullptr, bytes.data(), bytes.size());
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer, CFIndex maxBufLen) {
  if (url == nullptr || buffer == nullptr || maxBufLen <= 0) return false;
  CFRef<CFURLRef> abs = resolveAgainstBase ? qxcf::adopt(CFURLCopyAbsoluteURL(url)) : CFRef<CFURLRef>::retain(url);
  if (!abs || !decomposable(abs.get())) return false;
  std::string_view path = abs.get()->parts.path;
  if (path.empty()) return false;
  std::string bytes;
  if (!percentDecode(trimTrailingSlashes(path), bytes)) return false;
  if (bytes.find('\0') != std::string::npos || bytes.size() + 1 > static_cast<size_t>(maxBufLen)) return false;
  std::memcpy(buffer, bytes.c_str(), bytes.size() + 1);
  return true;
}

CFStringRef CFURLCopyScheme(CFURLRef anURL) {
  if (anURL == nullptr) return nullptr;
  if (anURL->parts.hasScheme) return stringFromASCII(nullptr, anURL->parts.scheme);
  return anURL->base ? CFURLCopyScheme(anURL->base.get()) : nullptr;
}

CFStringRef CFURLCopyPath(CFURLRef anURL) {
  if (anURL == nullptr || !decomposable(anURL)) return nullptr;
  return stringFromASCII(nullptr, anURL->parts.path);
}

CFStringRef CFURLCopyHostName(CFURLRef anURL) {
  if (anURL == nullptr || !decomposable(anURL)) return nullptr;
  const Parts& p = anURL->parts;
  if (!p.hasAuthority) {
    return !p.hasScheme && anURL->base ? CFURLCopyHostName(anURL->base.get()) : nullptr;
  }
  std::string_view host, port;
  bool hasPort;
  splitAuthority(p.authority, host, port, hasPort);
  if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  if (host.empty()) return nullptr;
  return createDecoded(nullptr, host);
}

SInt32 CFURLGetPortNumber(CFURLRef anURL) {
  if (anURL == nullptr || !decomposable(anURL)) return -1;
  const Parts& p = anURL->parts;
  if (!p.hasAuthority) return !p.hasScheme && anURL->base ? CFURLGetPortNumber(anURL->base.get()) : -1;
  std::string_view host, port;
  bool hasPort;
  splitAuthority(p.authority, host, port, hasPort);
  if (!hasPort || port.empty()) return -1;
  int64_t v = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
    if (v > INT32_MAX) return -1;
  }
  return static_cast<SInt32>(v);
}

namespace {

CFStringRef copyComponent(std::string_view text, bool present, CFStringRef leaveEscaped) {
  if (!present) return nullptr;
  if (leaveEscaped == nullptr) return stringFromASCII(nullptr, text);
  std::u16string u(text.begin(), text.end());
  return replaceEscapes(nullptr, u, leaveEscaped, ByteEncoding::kUTF8);
}

}  // namespace

CFStringRef CFURLCopyQueryString(CFURLRef anURL, CFStringRef charactersToLeaveEscaped) {
  if (anURL == nullptr || !decomposable(anURL)) return nullptr;
  return copyComponent(anURL->parts.query, anURL->parts.hasQuery, charactersToLeaveEscaped);
}

CFStringRef CFURLCopyFragment(CFURLRef anURL, CFStringRef charactersToLeaveEscaped) {
  if (anURL == nullptr) return nullptr;
  return copyComponent(anURL->parts.fragment, anURL->parts.hasFragment, charactersToLeaveEscaped);
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL) {
  if (anURL == nullptr) return false;
  const Parts& p = anURL->parts;
  if (!p.path.empty()) return p.path.back() == '/';
  return !p.hasScheme && !p.hasAuthority && anURL->base && CFURLHasDirectoryPath(anURL->base.get());
}

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
  if (url == nullptr || !decomposable(url)) return nullptr;
  const Parts& p = url->parts;
  if (p.path.empty() && !p.hasScheme && !p.hasAuthority && url->base)
    return CFURLCopyLastPathComponent(url->base.get());
  std::string_view path = trimTrailingSlashes(p.path);
  if (path == "/") return stringFromASCII(nullptr, path);
  size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  CFStringRef decoded = createDecoded(nullptr, last);
  return decoded != nullptr ? decoded : stringFromASCII(nullptr, last);  // undecodable: as written
}

CFStringRef CFURLCopyPathExtension(CFURLRef url) {
  CFRef<CFStringRef> last = qxcf::adopt(CFURLCopyLastPathComponent(url));
  if (!last) return nullptr;
  std::u16string_view u = qxcf::chars(last.get());
  size_t dot = u.rfind(u'.');
  if (dot == std::u16string_view::npos || dot == 0 || dot + 1 == u.size() || u == u"/") return nullptr;
  return qxcf::createStringUTF16(nullptr, reinterpret_cast<const UniChar*>(u.data() + dot + 1),
                                 static_cast<CFIndex>(u.size() - dot - 1));
}

// ---------------------------------------------------------------------------------------------
// Derived URLs

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url, CFStringRef pathComponent,
                                               Boolean isDirectory) {
  if (url == nullptr || pathComponent == nullptr || !decomposable(url)) return nullptr;
  std::string bytes;
  if (!strictUTF8(pathComponent, bytes)) return nullptr;
  const Parts& p = url->parts;
  std::string path(p.path);
  if (path.empty() ? p.hasAuthority : path.back() != '/') path.push_back('/');
  // In a bare relative URL the first segment must not look like a scheme.
  bool guardColon = path.empty() && !p.hasScheme;
  std::string_view comp = bytes;
  if (!path.empty() && path.back() == '/') {
    while (comp.starts_with('/')) comp.remove_prefix(1);  // "a/" + "/b" is "a/b"
  }
  appendEscapedPath(path, comp, false, guardColon);
  if (isDirectory && (path.empty() || path.back() != '/')) path.push_back('/');
  return withPath(allocator, url, path);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url) {
  if (url == nullptr || !decomposable(url)) return nullptr;
  const Parts& p = url->parts;
  std::string_view path = trimTrailingSlashes(p.path);
  std::string newPath;
  if (path.empty()) {
    newPath = p.hasAuthority || p.hasScheme ? "/" : "../";
  } else if (path == "/") {
    newPath = "/";
  } else {
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (last == "." || last == "..") {
      newPath.assign(path).append("/../");  // the parent of a relative climb is one more level up
    } else if (slash == std::string_view::npos) {
      newPath = "./";
    } else {
      newPath.assign(path.substr(0, slash + 1));
    }
  }
  return withPath(allocator, url, newPath);
}

CFURLRef CFURLCreateCopyAppendingPathExtension(CFAllocatorRef allocator, CFURLRef url, CFStringRef extension) {
  if (url == nullptr || extension == nullptr || !decomposable(url)) return nullptr;
  std::string_view full = url->parts.path;
  std::string_view path = trimTrailingSlashes(full);
  if (path.empty() || path == "/") return nullptr;
  std::string bytes;
  if (!strictUTF8(extension, bytes)) return nullptr;
  std::string newPath(path);
  newPath.push_back('.');
  appendEscapedPath(newPath, bytes, true, false);
  newPath.append(full.substr(path.size()));
  return withPath(allocator, url, newPath);
}

CFURLRef CFURLCreateCopyDeletingPathExtension(CFAllocatorRef allocator, CFURLRef url) {
  if (url == nullptr || !decomposable(url)) return nullptr;
  std::string_view full = url->parts.path;
  std::string_view path = trimTrailingSlashes(full);
  size_t slash = path.rfind('/');
  size_t start = slash == std::string_view::npos ? 0 : slash + 1;
  size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= start || path.substr(start) == "..") {
    return static_cast<CFURLRef>(CFRetain(url));
  }
  std::string newPath(path.substr(0, dot));
  newPath.append(full.substr(path.size()));
  return withPath(allocator, url, newPath);
}

// ---------------------------------------------------------------------------------------------
// Percent escapes

CFStringRef CFURLCreateStringByAddingPercentEscapes(CFAllocatorRef allocator, CFStringRef originalString,
                                                    CFStringRef charactersToLeaveUnescaped,
                                                    CFStringRef legalURLCharactersToBeEscaped,
                                                    CFStringEncoding encoding) {
  if (originalString == nullptr) return nullptr;
  CharSet leave(charactersToLeaveUnescaped);
  CharSet escapeToo(legalURLCharactersToBeEscaped);
  ByteEncoding enc = byteEncoding(encoding);
  std::u16string_view in = qxcf::chars(originalString);
  std::u16string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    uint32_t c = in[i];
    size_t units = 1;
    if (c >= 0xD800 && c <= 0xDFFF) {
      if (c > 0xDBFF || i + 1 >= in.size() || !qxcf::isLowSurrogate(in[i + 1])) return nullptr;
      c = qxcf::combineSurrogates(c, in[i + 1]);
      units = 2;
    }
    bool escape = has(c, kLegacy) ? escapeToo.contains(c) && !leave.contains(c) : !leave.contains(c);
    if (!escape) {
      out.append(in.substr(i, units));
    } else {
      unsigned char bytes[4];
      int n;
      if (!encodeCodePoint(c, enc, bytes, n)) return nullptr;
      for (int k = 0; k < n; ++k) {
        out.push_back(u'%');
        out.push_back(static_cast<char16_t>(kHex[bytes[k] >> 4]));
        out.push_back(static_cast<char16_t>(kHex[bytes[k] & 15]));
      }
    }
    i += units - 1;
  }
  return qxcf::createStringUTF16(allocator, reinterpret_cast<const UniChar*>(out.data()),
                                 static_cast<CFIndex>(out.size()));
}

CFStringRef CFURLCreateStringByReplacingPercentEscapesUsingEncoding(CFAllocatorRef allocator, CFStringRef origString,
                                                                    CFStringRef charsToLeaveEscaped,
                                                                    CFStringEncoding encoding) {
  if (origString == nullptr) return nullptr;
  if (charsToLeaveEscaped == nullptr) return copyString(allocator, origString);
  return replaceEscapes(allocator, qxcf::chars(origString), charsToLeaveEscaped, byteEncoding(encoding));
}

CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef allocator, CFStringRef originalString,
                                                       CFStringRef charactersToLeaveEscaped) {
  return CFURLCreateStringByReplacingPercentEscapesUsingEncoding(allocator, originalString, charactersToLeaveEscaped,
                                                                 kCFStringEncodingUTF8);
}
