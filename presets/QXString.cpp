#include <QXCore/QXPresets.h>
#include <QXCore/QXUtilsMisc.h>

namespace {

CFMutableStringRef newEmpty() { return CFStringCreateMutable(kCFAllocatorDefault, 0); }

// Takes over `source` (may be null): a mutable copy of it, or an empty string.
CFMutableStringRef mutableFrom(CFStringRef source) {
  if (source == nullptr) return newEmpty();
  CFMutableStringRef copy = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, source);
  CFRelease(source);
  return copy;
}

// A temporary string for a text argument; null when the argument holds no valid text. The
// caller releases what it gets.
CFStringRef textOf(CFStringRef text) { return text != nullptr ? static_cast<CFStringRef>(CFRetain(text)) : nullptr; }
// A copy, so that appending a string to itself never reads what it is writing.
CFStringRef textOf(const QXString& text) { return CFStringCreateCopy(kCFAllocatorDefault, text.toCFString()); }
CFStringRef textOf(const unsigned short* text) {
  if (text == nullptr) return nullptr;
  return CFStringCreateWithCharacters(kCFAllocatorDefault, text, QXUtilsGetUniCharStringLength(text));
}
CFStringRef textOf(const char* text) {
  if (text == nullptr) return nullptr;
  return CFStringCreateWithCString(kCFAllocatorDefault, text, kCFStringEncodingUTF8);
}
CFStringRef textOf(unsigned short unit) { return CFStringCreateWithCharacters(kCFAllocatorDefault, &unit, 1); }

struct Temp {
  CFStringRef s;
  explicit Temp(CFStringRef t) : s(t) {}
  ~Temp() {
    if (s != nullptr) CFRelease(s);
  }
  Temp(const Temp&) = delete;
  Temp& operator=(const Temp&) = delete;
};

CFOptionFlags caseOptions(bool caseSensitive) { return caseSensitive ? 0 : kCFCompareCaseInsensitive; }

bool endsWithText(CFStringRef self, CFStringRef text, bool caseSensitive) {
  if (text == nullptr) return false;
  CFIndex len = CFStringGetLength(self), tlen = CFStringGetLength(text);
  if (tlen > len) return false;
  if (tlen == 0) return true;
  return CFStringCompareWithOptions(self, text, CFRangeMake(len - tlen, tlen), caseOptions(caseSensitive)) ==
         kCFCompareEqualTo;
}

int findText(CFStringRef self, CFStringRef text, CFOptionFlags options) {
  if (text == nullptr) return -1;
  CFRange found;
  if (!CFStringFindWithOptions(self, text, CFRangeMake(0, CFStringGetLength(self)), options, &found)) return -1;
  return static_cast<int>(found.location);
}

std::deque<QXString> splitText(CFStringRef self, CFStringRef separator) {
  std::deque<QXString> pieces;
  if (separator == nullptr || CFStringGetLength(separator) == 0) {
    pieces.emplace_back(self);
    return pieces;
  }
  CFArrayRef parts = CFStringCreateArrayBySeparatingStrings(kCFAllocatorDefault, self, separator);
  if (parts == nullptr) return pieces;
  for (CFIndex i = 0, n = CFArrayGetCount(parts); i < n; ++i)
    pieces.emplace_back(static_cast<CFStringRef>(CFArrayGetValueAtIndex(parts, i)));
  CFRelease(parts);
  return pieces;
}

}  // namespace

QXString::QXString() : mString(newEmpty()) {}
QXString::QXString(const QXString& other) : mString(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, other.mString)) {}
QXString::QXString(const unsigned short* units, int length)
    : mString(mutableFrom(units != nullptr && length > 0
                              ? CFStringCreateWithCharacters(kCFAllocatorDefault, units, length)
                              : nullptr)) {}
QXString::QXString(CFStringRef string) : mString(mutableFrom(textOf(string))) {}
QXString::QXString(const char* utf8) : mString(mutableFrom(textOf(utf8))) {}
QXString::~QXString() {
  if (mString != nullptr) CFRelease(mString);
}

CFStringRef QXString::toCFString() const { return mString; }
QXString::operator CFStringRef() const { return mString; }
char* QXString::utf8Copy() const { return QXUtilsGetUTF8StringCopy(mString); }
QXString::operator char*() const { return utf8Copy(); }
unsigned short* QXString::ucs2Copy() const { return QXUtilsGetUniCharStringCopy(mString); }
QXString QXString::pathSeparator() { return QXString("/"); }

int QXString::size() const { return static_cast<int>(CFStringGetLength(mString)); }
bool QXString::isEmpty() const { return size() == 0; }

#define QX_STRING_TEXT_OVERLOADS(T)                                       \
  bool QXString::endsWith(T text, bool cs) const {                        \
    Temp t(textOf(text));                                                 \
    return endsWithText(mString, t.s, cs);                                \
  }                                                                       \
  int QXString::indexOf(T text, int, bool cs) const {                     \
    Temp t(textOf(text));                                                 \
    return findText(mString, t.s, caseOptions(cs));                       \
  }                                                                       \
  int QXString::lastIndexOf(T text, int, bool cs) const {                 \
    Temp t(textOf(text));                                                 \
    return findText(mString, t.s, caseOptions(cs) | kCFCompareBackwards); \
  }                                                                       \
  std::deque<QXString> QXString::split(T separator) const {               \
    Temp t(textOf(separator));                                            \
    return splitText(mString, t.s);                                       \
  }                                                                       \
  QXString& QXString::operator+=(T text) {                                \
    Temp t(textOf(text));                                                 \
    if (t.s != nullptr) CFStringAppend(mString, t.s);                     \
    return *this;                                                         \
  }

QX_STRING_TEXT_OVERLOADS(CFStringRef)
QX_STRING_TEXT_OVERLOADS(const QXString&)
QX_STRING_TEXT_OVERLOADS(const unsigned short*)
QX_STRING_TEXT_OVERLOADS(const char*)
QX_STRING_TEXT_OVERLOADS(unsigned short)
#undef QX_STRING_TEXT_OVERLOADS

bool QXString::contains(const QXString& text, bool caseSensitive) const {
  return findText(mString, text.mString, caseOptions(caseSensitive)) >= 0;
}

void QXString::clear() {
  if (mString != nullptr) CFRelease(mString);
  mString = newEmpty();
}

void QXString::chop(int n) const {
  if (n <= 0) return;
  CFIndex len = CFStringGetLength(mString);
  CFIndex cut = n < len ? n : len;
  CFStringDelete(mString, CFRangeMake(len - cut, cut));
}

QXString& QXString::operator=(const QXString& other) {
  if (this == &other) return *this;
  CFMutableStringRef copy = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, other.mString);
  if (mString != nullptr) CFRelease(mString);
  mString = copy;
  return *this;
}

bool QXString::operator==(const QXString& o) const {
  return CFStringCompare(mString, o.mString, 0) == kCFCompareEqualTo;
}
bool QXString::operator!=(const QXString& o) const { return !(*this == o); }
bool QXString::operator<(const QXString& o) const {
  return CFStringCompare(mString, o.mString, 0) == kCFCompareLessThan;
}
bool QXString::operator>(const QXString& o) const {
  return CFStringCompare(mString, o.mString, 0) == kCFCompareGreaterThan;
}
bool QXString::operator<=(const QXString& o) const { return !(*this > o); }
bool QXString::operator>=(const QXString& o) const { return !(*this < o); }
