// Comparison, search, case mapping, normalisation and folding.
//
// Plain and case-insensitive ASCII (the common case) never reach ICU. Everything else folds both
// sides the same way (width, canonical decomposition, full case folding, marks stripped) one
// "segment" at a time, a base character with its combining marks, and remembers which segment
// every folded unit came from, so that a match found in folded text maps back to whole
// characters of the original string even when folding changes lengths ("ß" is "ss").
#include <CoreFoundation/CFLocale.h>
#include <CoreFoundation/CFString.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include "CFRef.h"
#include "CFRuntime.h"
#include "CFStringInternal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr CFOptionFlags kFoldingOptions =
    kCFCompareCaseInsensitive | kCFCompareNonliteral | kCFCompareDiacriticInsensitive | kCFCompareWidthInsensitive;

inline UniChar asciiLower(UniChar c) { return (c >= 'A' && c <= 'Z') ? static_cast<UniChar>(c + 32) : c; }
inline UniChar asciiUpper(UniChar c) { return (c >= 'a' && c <= 'z') ? static_cast<UniChar>(c - 32) : c; }
inline bool isDigit(UniChar c) { return c >= '0' && c <= '9'; }

CFComparisonResult order(long d) {
  return d < 0 ? kCFCompareLessThan : (d > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo);
}

// Compares two unit sequences by code unit, optionally lower-casing ASCII and comparing runs of
// ASCII digits by their value ("file2" < "file10"; "007" equals "7").
CFComparisonResult compareUnits(const UniChar* a, size_t na, const UniChar* b, size_t nb, bool lowerASCII,
                                bool numeric) {
  size_t i = 0, j = 0;
  while (i < na && j < nb) {
    UniChar ca = a[i], cb = b[j];
    if (numeric && isDigit(ca) && isDigit(cb)) {
      size_t ea = i, eb = j;
      while (ea < na && isDigit(a[ea])) ++ea;
      while (eb < nb && isDigit(b[eb])) ++eb;
      while (i + 1 < ea && a[i] == '0') ++i;  // keep one digit of an all-zero run
      while (j + 1 < eb && b[j] == '0') ++j;
      if (ea - i != eb - j) return ea - i < eb - j ? kCFCompareLessThan : kCFCompareGreaterThan;
      for (; i < ea; ++i, ++j) {
        if (a[i] != b[j]) return a[i] < b[j] ? kCFCompareLessThan : kCFCompareGreaterThan;
      }
      continue;
    }
    if (lowerASCII) {
      ca = asciiLower(ca);
      cb = asciiLower(cb);
    }
    if (ca != cb) return ca < cb ? kCFCompareLessThan : kCFCompareGreaterThan;
    ++i;
    ++j;
  }
  return order(static_cast<long>(na - i) - static_cast<long>(nb - j));
}

// ---------------------------------------------------------------------------------------------
// Folding

struct FoldFlags {
  bool caseFold = false;
  bool decompose = false;
  bool stripMarks = false;
  bool width = false;
  bool turkic = false;  // dotted/dotless i rules of Turkish and Azeri

  bool any() const { return caseFold || decompose || stripMarks || width; }
};

FoldFlags foldFlags(CFOptionFlags options) {
  FoldFlags f;
  f.caseFold = (options & kCFCompareCaseInsensitive) != 0;
  f.decompose = (options & (kCFCompareNonliteral | kCFCompareDiacriticInsensitive)) != 0;
  f.stripMarks = (options & kCFCompareDiacriticInsensitive) != 0;
  f.width = (options & kCFCompareWidthInsensitive) != 0;
  return f;
}

const UNormalizer2* nfd() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFDInstance(&err);
}

const UNormalizer2* nfkc() {
  UErrorCode err = U_ZERO_ERROR;
  return unorm2_getNFKCInstance(&err);
}

bool isMark(UChar32 c) {
  int8_t t = u_charType(c);
  return t == U_NON_SPACING_MARK || t == U_ENCLOSING_MARK || t == U_COMBINING_SPACING_MARK;
}

// Runs an ICU string transform that reports the length it needs, growing the buffer once.
template <class F>
std::u16string icuTransform(const std::u16string& in, F&& f) {
  std::u16string out(in.size() + in.size() / 2 + 8, u'\0');
  UErrorCode err = U_ZERO_ERROR;
  int32_t n = f(reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()),
                reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &err);
  if (err == U_BUFFER_OVERFLOW_ERROR) {
    out.assign(static_cast<size_t>(n), u'\0');
    err = U_ZERO_ERROR;
    n = f(reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()),
          reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()), &err);
  }
  if (U_FAILURE(err)) return in;  // leave text ICU cannot handle as it was
  out.resize(static_cast<size_t>(n));
  return out;
}

std::u16string normalize(const UNormalizer2* norm, const std::u16string& in) {
  if (norm == nullptr) return in;
  UErrorCode err = U_ZERO_ERROR;
  if (unorm2_spanQuickCheckYes(norm, reinterpret_cast<const UChar*>(in.data()), static_cast<int32_t>(in.size()),
                               &err) == static_cast<int32_t>(in.size()) &&
      U_SUCCESS(err)) {
    return in;
  }
  return icuTransform(in, [norm](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
    return unorm2_normalize(norm, s, n, d, cap, e);
  });
}

std::u16string foldCase(const std::u16string& in, bool turkic) {
  uint32_t opts = turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT;
  return icuTransform(in, [opts](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
    return u_strFoldCase(d, cap, s, n, opts, e);
  });
}

// Full-width and half-width forms become their ordinary counterparts.
std::u16string foldWidth(const std::u16string& in) {
  std::u16string out;
  const UNormalizer2* compat = nfkc();
  for (size_t i = 0; i < in.size();) {
    UChar32 c;
    U16_NEXT(in.data(), i, in.size(), c);
    int32_t dt = u_getIntPropertyValue(c, UCHAR_DECOMPOSITION_TYPE);
    if ((dt == U_DT_WIDE || dt == U_DT_NARROW) && compat != nullptr) {
      UChar d[8];
      UErrorCode err = U_ZERO_ERROR;
      int32_t n = unorm2_getRawDecomposition(compat, c, d, 8, &err);
      if (U_SUCCESS(err) && n > 0) {
        out.append(reinterpret_cast<const char16_t*>(d), static_cast<size_t>(n));
        continue;
      }
    }
    if (U_IS_BMP(c)) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(U16_LEAD(c)));
      out.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  return out;
}

std::u16string stripMarks(const std::u16string& in) {
  std::u16string out;
  for (size_t i = 0; i < in.size();) {
    size_t start = i;
    UChar32 c;
    U16_NEXT(in.data(), i, in.size(), c);
    if (u_charType(c) != U_NON_SPACING_MARK && u_charType(c) != U_ENCLOSING_MARK) {
      out.append(in, start, i - start);
    }
  }
  return out;
}

void foldSegment(const UniChar* p, size_t n, const FoldFlags& f, std::u16string& out) {
  if (n == 1 && p[0] < 0x80 && !(f.turkic && (p[0] == 'I'))) {
    out.push_back(f.caseFold ? asciiLower(p[0]) : p[0]);
    return;
  }
  std::u16string t(reinterpret_cast<const char16_t*>(p), n);
  if (f.width) t = foldWidth(t);
  if (f.decompose) t = normalize(nfd(), t);
  if (f.caseFold) {
    t = foldCase(t, f.turkic);
    if (f.decompose) t = normalize(nfd(), t);
  }
  if (f.stripMarks) t = stripMarks(t);
  out += t;
}

// Long runs of combining marks are cut into pieces so that no segment grows without bound
// (canonical reordering is quadratic in the run length).
constexpr size_t kMaxSegment = 32;

// The end of the segment starting at i: a code point plus, when decomposing, its marks.
size_t segmentEnd(const UniChar* u, size_t i, size_t end, bool withMarks) {
  size_t j = i;
  UChar32 c;
  U16_NEXT(u, j, end, c);
  if (!withMarks) return j;
  while (j < end && j - i < kMaxSegment) {
    size_t k = j;
    U16_NEXT(u, k, end, c);
    if (u_getCombiningClass(c) == 0 && !isMark(c)) break;
    j = k;
  }
  return j;
}

// Folded text with, per folded unit, the index of the segment it came from; segStart holds each
// segment's first original unit (plus one entry for the end).
struct Folded {
  std::u16string text;
  std::vector<uint32_t> segOf;
  std::vector<CFIndex> segStart;

  bool startsSegment(size_t p) const { return p == 0 || segOf[p] != segOf[p - 1]; }
  bool endsSegment(size_t p) const { return p == text.size() || segOf[p] != segOf[p - 1]; }
  CFRange original(size_t p, size_t m) const {
    CFIndex a = segStart[segOf[p]];
    return CFRangeMake(a, segStart[segOf[p + m - 1] + 1] - a);
  }
};

void fold(const UniChar* u, size_t begin, size_t end, const FoldFlags& f, std::u16string& out, Folded* map) {
  const bool withMarks = f.decompose;
  for (size_t i = begin; i < end;) {
    size_t j = segmentEnd(u, i, end, withMarks);
    foldSegment(u + i, j - i, f, out);
    if (map != nullptr) {
      map->segOf.resize(out.size(), static_cast<uint32_t>(map->segStart.size()));
      map->segStart.push_back(static_cast<CFIndex>(i));
    }
    i = j;
  }
  if (map != nullptr) map->segStart.push_back(static_cast<CFIndex>(end));
}

std::u16string foldAll(const UniChar* u, size_t n, const FoldFlags& f) {
  std::u16string out;
  out.reserve(n);
  fold(u, 0, n, f, out, nullptr);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Locales and collators

bool isTurkic(const std::string& id) {
  if (id.rfind("tr", 0) != 0 && id.rfind("az", 0) != 0) return false;
  return id.size() == 2 || id[2] == '_' || id[2] == '-';
}

class CollatorCache {
 public:
  ~CollatorCache() {
    for (auto& e : entries_) ucol_close(e.coll);
  }
  // A collator for locale with the attributes the options ask for; NULL when ICU has none.
  UCollator* get(const std::string& locale, CFOptionFlags options) {
    const CFOptionFlags relevant =
        options & (kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive | kCFCompareNumerically);
    for (auto& e : entries_) {
      if (e.options == relevant && e.locale == locale) return e.coll;
    }
    UErrorCode err = U_ZERO_ERROR;
    UCollator* c = ucol_open(locale.c_str(), &err);
    if (U_FAILURE(err)) return nullptr;
    bool ci = relevant & kCFCompareCaseInsensitive, di = relevant & kCFCompareDiacriticInsensitive;
    ucol_setAttribute(c, UCOL_NORMALIZATION_MODE, UCOL_ON, &err);
    ucol_setAttribute(c, UCOL_STRENGTH, di ? UCOL_PRIMARY : (ci ? UCOL_SECONDARY : UCOL_TERTIARY), &err);
    if (di && !ci) ucol_setAttribute(c, UCOL_CASE_LEVEL, UCOL_ON, &err);
    if (relevant & kCFCompareNumerically) ucol_setAttribute(c, UCOL_NUMERIC_COLLATION, UCOL_ON, &err);
    if (entries_.size() >= 8) {
      ucol_close(entries_.front().coll);
      entries_.erase(entries_.begin());
    }
    entries_.push_back({locale, relevant, c});
    return c;
  }

 private:
  struct Entry {
    std::string locale;
    CFOptionFlags options;
    UCollator* coll;
  };
  std::vector<Entry> entries_;
};

// Collators are not cheap to open; each thread keeps the few it uses.
thread_local CollatorCache tCollators;

}  // namespace

namespace qxcf {

std::string icuLocaleID(CFLocaleRef locale) {
  if (locale == nullptr) return "";
  std::string id = toUTF8(CFLocaleGetIdentifier(locale));
  if (id.find('-') != std::string::npos) {
    char buf[ULOC_FULLNAME_CAPACITY];
    UErrorCode err = U_ZERO_ERROR;
    int32_t n = uloc_forLanguageTag(id.c_str(), buf, sizeof buf, nullptr, &err);
    if (U_SUCCESS(err) && n > 0 && n < static_cast<int32_t>(sizeof buf)) id.assign(buf, static_cast<size_t>(n));
  }
  return id;
}

}  // namespace qxcf

// ---------------------------------------------------------------------------------------------
// Comparison

namespace {

// Compares with the collator of the locale; false when ICU has no collator for it.
bool collate(const UniChar* a, size_t na, const UniChar* b, size_t nb, CFOptionFlags options, const std::string& id,
             CFComparisonResult* result) {
  UCollator* coll = tCollators.get(id, options);
  if (coll == nullptr) return false;
  std::u16string fa, fb;
  if (options & kCFCompareWidthInsensitive) {  // collators tell widths apart even at primary strength
    FoldFlags wf;
    wf.width = true;
    fa = foldAll(a, na, wf);
    fb = foldAll(b, nb, wf);
    a = reinterpret_cast<const UniChar*>(fa.data());
    na = fa.size();
    b = reinterpret_cast<const UniChar*>(fb.data());
    nb = fb.size();
  }
  UCollationResult c = ucol_strcoll(coll, reinterpret_cast<const UChar*>(a), static_cast<int32_t>(na),
                                    reinterpret_cast<const UChar*>(b), static_cast<int32_t>(nb));
  *result = c == UCOL_LESS ? kCFCompareLessThan : (c == UCOL_GREATER ? kCFCompareGreaterThan : kCFCompareEqualTo);
  return true;
}

// currentLocale: a NULL locale means the user's (CFStringCompareWithOptions) rather than the
// canonical, root rules (CFStringCompareWithOptionsAndLocale). The user's locale is the one
// CFLocaleCopyCurrent gives, not ICU's default (which reads other variables, once); C/POSIX
// resolves to en_US, as ICU's POSIX collation would put every capital first.
CFComparisonResult compareImpl(CFStringRef s1, CFStringRef s2, CFRange r, CFOptionFlags options, CFLocaleRef locale,
                               bool currentLocale) {
  const UniChar* a = s1->chars + r.location;
  const size_t na = static_cast<size_t>(r.length);
  const UniChar* b = s2->chars;
  const size_t nb = static_cast<size_t>(s2->length);
  const bool numeric = (options & kCFCompareNumerically) != 0;
  CFComparisonResult result;

  if ((options & kCFCompareLocalized) &&
      collate(
          a, na, b, nb, options,
          locale != nullptr ? qxcf::icuLocaleID(locale) : (currentLocale ? qxcf::currentLocaleICUID() : std::string()),
          &result)) {
    // done
  } else if ((options & kFoldingOptions) == 0) {
    result = compareUnits(a, na, b, nb, false, numeric);
  } else if (qxcf::isASCIIUnits(a, r.length) && qxcf::isASCIIUnits(b, s2->length)) {
    // ASCII has no marks, no compatibility forms and nothing to decompose: only case can fold.
    result = compareUnits(a, na, b, nb, (options & kCFCompareCaseInsensitive) != 0, numeric);
  } else {
    FoldFlags f = foldFlags(options);
    if (locale != nullptr) f.turkic = isTurkic(qxcf::icuLocaleID(locale));
    std::u16string fa = foldAll(a, na, f), fb = foldAll(b, nb, f);
    result = compareUnits(reinterpret_cast<const UniChar*>(fa.data()), fa.size(),
                          reinterpret_cast<const UniChar*>(fb.data()), fb.size(), false, numeric);
  }
  // Equivalent but different strings still get a stable order when asked for.
  if (result == kCFCompareEqualTo && (options & kCFCompareForcedOrdering)) {
    result = compareUnits(a, na, b, nb, false, false);
  }
  return result;
}

bool validRange(CFStringRef s, CFRange r) {
  return r.location >= 0 && r.length >= 0 && r.location <= s->length && r.length <= s->length - r.location;
}

CFComparisonResult compareEntry(CFStringRef s1, CFStringRef s2, CFRange range, CFOptionFlags options,
                                CFLocaleRef locale, bool currentLocale) {
  if (s1 == s2 && range.location == 0 && range.length == s1->length) return kCFCompareEqualTo;
  if (!validRange(s1, range)) range = CFRangeMake(0, s1->length);
  return compareImpl(s1, s2, range, options, locale, currentLocale);
}

}  // namespace

CFComparisonResult CFStringCompareWithOptionsAndLocale(CFStringRef theString1, CFStringRef theString2,
                                                       CFRange rangeToCompare, CFStringCompareFlags compareOptions,
                                                       CFLocaleRef locale) {
  return compareEntry(theString1, theString2, rangeToCompare, compareOptions, locale, false);
}

CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2, CFRange rangeToCompare,
                                              CFStringCompareFlags compareOptions) {
  return compareEntry(theString1, theString2, rangeToCompare, compareOptions, nullptr, true);
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
  return compareEntry(theString1, theString2, CFRangeMake(0, theString1->length), compareOptions, nullptr, true);
}

// ---------------------------------------------------------------------------------------------
// Search

namespace {

enum class Hit { Take, Skip, Stop };

// Knuth–Morris–Pratt over text(0..n) for pat(0..m), so that repetitive input stays linear.
// onMatch(start) sees every occurrence from left to right: Take makes the next one start after it,
// Skip goes on with overlapping ones, Stop ends the scan.
template <class Text, class Pat, class OnMatch>
void scanMatches(size_t n, Text text, size_t m, Pat pat, OnMatch onMatch) {
  if (m == 0 || m > n) return;
  std::vector<size_t> fail(m, 0);
  for (size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && pat(i) != pat(k)) k = fail[k - 1];
    if (pat(i) == pat(k)) ++k;
    fail[i] = k;
  }
  const UniChar first = pat(0);
  for (size_t i = 0, k = 0; i < n; ++i) {
    const UniChar c = text(i);
    if (k == 0) {  // the common case in ordinary text: waiting for the first unit
      if (c != first) continue;
      k = 1;
    } else {
      while (k > 0 && c != pat(k)) k = fail[k - 1];
      if (c == pat(k)) ++k;
    }
    if (k < m) continue;
    switch (onMatch(i + 1 - m)) {
      case Hit::Take: k = 0; break;
      case Hit::Skip: k = fail[m - 1]; break;
      case Hit::Stop: return;
    }
  }
}

// Every acceptable, non-overlapping match of pat in text, in search order. Backwards scans the
// reversed sequences, which finds the last match first as the search order asks.
template <class Text, class Pat, class Accept>
void searchAll(size_t n, Text text, size_t m, Pat pat, bool backwards, bool firstOnly, Accept accept,
               std::vector<size_t>& starts) {
  auto onMatch = [&](size_t s) {
    const size_t p = backwards ? n - s - m : s;
    if (!accept(p)) return Hit::Skip;
    starts.push_back(p);
    return firstOnly ? Hit::Stop : Hit::Take;
  };
  if (backwards) {
    scanMatches(
        n, [&](size_t i) { return text(n - 1 - i); }, m, [&](size_t i) { return pat(m - 1 - i); }, onMatch);
  } else {
    scanMatches(n, text, m, pat, onMatch);
  }
}

}  // namespace

namespace qxcf {

// Every non-overlapping match of needle in range (in search order: from the end when backwards),
// or only the first when `firstOnly`. Anchored, the matches are the run of adjacent ones that
// starts at the anchor (the start of the range, or its end when backwards).
std::vector<CFRange> findMatches(CFStringRef hay, CFStringRef needle, CFRange range, CFOptionFlags options,
                                 CFLocaleRef locale, bool firstOnly) {
  std::vector<CFRange> found;
  if (hay == nullptr || needle == nullptr || !validRange(hay, range)) return found;
  const size_t m = static_cast<size_t>(needle->length);
  if (m == 0) return found;
  const bool backwards = (options & kCFCompareBackwards) != 0;
  const bool anchored = (options & kCFCompareAnchored) != 0;
  const UniChar* h = hay->chars;
  const UniChar* nd = needle->chars;
  const CFOptionFlags folding = options & (kFoldingOptions | kCFCompareLocalized);
  const size_t lo = static_cast<size_t>(range.location);
  const size_t hi = lo + static_cast<size_t>(range.length);

  const bool plain = folding == 0;
  const bool asciiCase =
      folding == kCFCompareCaseInsensitive && isASCIIUnits(nd, needle->length) && isASCIIUnits(h + lo, range.length);
  if (plain || asciiCase) {
    if (m > hi - lo) return found;
    auto matchesAt = [&](size_t p) {
      if (plain) return std::memcmp(h + p, nd, m * sizeof(UniChar)) == 0;
      for (size_t k = 0; k < m; ++k) {
        if (asciiLower(h[p + k]) != asciiLower(nd[k])) return false;
      }
      return true;
    };
    if (anchored) {  // the match at the anchor, then each one right after it
      for (size_t p = backwards ? hi - m : lo; matchesAt(p);) {
        found.push_back(CFRangeMake(static_cast<CFIndex>(p), static_cast<CFIndex>(m)));
        if (firstOnly || (backwards ? p - lo < m : hi - p - m < m)) break;
        p = backwards ? p - m : p + m;
      }
    } else if (plain && !backwards) {
      // memmem is linear-time; a byte match at an odd offset is not a unit match, so go on past it.
      const char* bytes = reinterpret_cast<const char*>(h);
      const size_t endByte = hi * sizeof(UniChar), needleBytes = m * sizeof(UniChar);
      for (size_t from = lo * sizeof(UniChar); from + needleBytes <= endByte;) {
        auto* hit = static_cast<const char*>(memmem(bytes + from, endByte - from, nd, needleBytes));
        if (hit == nullptr) break;
        size_t off = static_cast<size_t>(hit - bytes);
        if (off % sizeof(UniChar) != 0) {
          from = off + 1;
          continue;
        }
        found.push_back(CFRangeMake(static_cast<CFIndex>(off / sizeof(UniChar)), static_cast<CFIndex>(m)));
        if (firstOnly) break;
        from = off + needleBytes;
      }
    } else {
      std::vector<size_t> starts;
      auto accept = [](size_t) { return true; };
      if (plain) {
        searchAll(
            hi - lo, [&](size_t i) { return h[lo + i]; }, m, [&](size_t i) { return nd[i]; }, backwards, firstOnly,
            accept, starts);
      } else {
        searchAll(
            hi - lo, [&](size_t i) { return asciiLower(h[lo + i]); }, m, [&](size_t i) { return asciiLower(nd[i]); },
            backwards, firstOnly, accept, starts);
      }
      for (size_t p : starts) found.push_back(CFRangeMake(static_cast<CFIndex>(lo + p), static_cast<CFIndex>(m)));
    }
    return found;
  }

  FoldFlags f = foldFlags(options);
  if (locale != nullptr) f.turkic = isTurkic(icuLocaleID(locale));
  Folded fh;
  fh.text.reserve(hi - lo);
  fold(h, lo, hi, f, fh.text, &fh);
  const std::u16string fn = foldAll(nd, m, f);
  const size_t fm = fn.size();
  const size_t n = fh.text.size();
  if (fm == 0 || fm > n) return found;
  // A match must cover whole folded characters: "e" is not found inside the folding of "é".
  auto whole = [&](size_t p) { return fh.startsSegment(p) && fh.endsSegment(p + fm); };
  if (anchored) {
    for (size_t p = backwards ? n - fm : 0; whole(p) && fh.text.compare(p, fm, fn) == 0;) {
      found.push_back(fh.original(p, fm));
      if (firstOnly || (backwards ? p < fm : n - p - fm < fm)) break;
      p = backwards ? p - fm : p + fm;
    }
    return found;
  }
  std::vector<size_t> starts;
  searchAll(
      n, [&](size_t i) { return static_cast<UniChar>(fh.text[i]); }, fm,
      [&](size_t i) { return static_cast<UniChar>(fn[i]); }, backwards, firstOnly, whole, starts);
  for (size_t p : starts) found.push_back(fh.original(p, fm));
  return found;
}

}  // namespace qxcf

Boolean CFStringFindWithOptionsAndLocale(CFStringRef theString, CFStringRef stringToFind, CFRange rangeToSearch,
                                         CFStringCompareFlags searchOptions, CFLocaleRef locale, CFRange* result) {
  std::vector<CFRange> r = qxcf::findMatches(theString, stringToFind, rangeToSearch, searchOptions, locale, true);
  if (r.empty()) return false;
  if (result != nullptr) *result = r.front();
  return true;
}

Boolean CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind, CFRange rangeToSearch,
                                CFStringCompareFlags searchOptions, CFRange* result) {
  return CFStringFindWithOptionsAndLocale(theString, stringToFind, rangeToSearch, searchOptions, nullptr, result);
}

CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind, CFStringCompareFlags compareOptions) {
  CFRange r = CFRangeMake(kCFNotFound, 0);
  if (!CFStringFindWithOptions(theString, stringToFind, CFRangeMake(0, theString->length), compareOptions, &r)) {
    return CFRangeMake(kCFNotFound, 0);
  }
  return r;
}

Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
  return CFStringFindWithOptions(theString, prefix, CFRangeMake(0, theString->length), kCFCompareAnchored, nullptr);
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
  return CFStringFindWithOptions(theString, suffix, CFRangeMake(0, theString->length),
                                 kCFCompareAnchored | kCFCompareBackwards, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Case mapping, normalisation and folding

namespace {

template <class F>
void mapInPlace(CFMutableStringRef s, F&& f) {
  if (s == nullptr || !s->isMutable() || s->length == 0) return;
  std::u16string in(qxcf::chars(s));
  std::u16string out = icuTransform(in, std::forward<F>(f));
  if (out != in) qxcf::setUnits(s, reinterpret_cast<const UniChar*>(out.data()), static_cast<CFIndex>(out.size()));
}

}  // namespace

void CFStringLowercase(CFMutableStringRef theString, CFLocaleRef locale) {
  if (theString == nullptr || !theString->isMutable()) return;
  std::string id = qxcf::icuLocaleID(locale);
  if (!isTurkic(id) && qxcf::isASCIIUnits(theString->chars, theString->length)) {
    for (CFIndex i = 0; i < theString->length; ++i) theString->chars[i] = asciiLower(theString->chars[i]);
    return;
  }
  mapInPlace(theString, [&id](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
    return u_strToLower(d, cap, s, n, id.c_str(), e);
  });
}

void CFStringUppercase(CFMutableStringRef theString, CFLocaleRef locale) {
  if (theString == nullptr || !theString->isMutable()) return;
  std::string id = qxcf::icuLocaleID(locale);
  if (!isTurkic(id) && qxcf::isASCIIUnits(theString->chars, theString->length)) {
    for (CFIndex i = 0; i < theString->length; ++i) theString->chars[i] = asciiUpper(theString->chars[i]);
    return;
  }
  mapInPlace(theString, [&id](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
    return u_strToUpper(d, cap, s, n, id.c_str(), e);
  });
}

void CFStringCapitalize(CFMutableStringRef theString, CFLocaleRef locale) {
  std::string id = qxcf::icuLocaleID(locale);
  // Word starts come from ICU's word boundaries; the rest of each word is lower-cased.
  mapInPlace(theString, [&id](const UChar* s, int32_t n, UChar* d, int32_t cap, UErrorCode* e) {
    return u_strToTitle(d, cap, s, n, nullptr, id.c_str(), e);
  });
}

void CFStringNormalize(CFMutableStringRef theString, CFStringNormalizationForm theForm) {
  if (theString == nullptr || !theString->isMutable()) return;
  if (qxcf::isASCIIUnits(theString->chars, theString->length)) return;  // ASCII is in every form
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* norm = nullptr;
  switch (theForm) {
    case kCFStringNormalizationFormD: norm = unorm2_getNFDInstance(&err); break;
    case kCFStringNormalizationFormKD: norm = unorm2_getNFKDInstance(&err); break;
    case kCFStringNormalizationFormC: norm = unorm2_getNFCInstance(&err); break;
    case kCFStringNormalizationFormKC: norm = unorm2_getNFKCInstance(&err); break;
    default: return;
  }
  if (norm == nullptr || U_FAILURE(err)) return;
  std::u16string in(qxcf::chars(theString));
  std::u16string out = normalize(norm, in);
  if (out != in)
    qxcf::setUnits(theString, reinterpret_cast<const UniChar*>(out.data()), static_cast<CFIndex>(out.size()));
}

void CFStringFold(CFMutableStringRef theString, CFStringCompareFlags theFlags, CFLocaleRef theLocale) {
  if (theString == nullptr || !theString->isMutable()) return;
  FoldFlags f =
      foldFlags(theFlags & (kCFCompareCaseInsensitive | kCFCompareDiacriticInsensitive | kCFCompareWidthInsensitive));
  if (!f.any()) return;
  f.turkic = isTurkic(qxcf::icuLocaleID(theLocale));
  std::u16string out = foldAll(theString->chars, static_cast<size_t>(theString->length), f);
  // Stripping marks needed decomposed text; give back composed characters (Hangul, for one).
  if (f.decompose) {
    UErrorCode err = U_ZERO_ERROR;
    out = normalize(unorm2_getNFCInstance(&err), out);
  }
  if (out != qxcf::chars(theString)) {
    qxcf::setUnits(theString, reinterpret_cast<const UniChar*>(out.data()), static_cast<CFIndex>(out.size()));
  }
}

// ---------------------------------------------------------------------------------------------
// Composed character sequences

namespace {

class CharacterBreaker {
 public:
  ~CharacterBreaker() {
    if (bi_ != nullptr) ubrk_close(bi_);
  }
  UBreakIterator* get() {
    if (bi_ == nullptr) {
      UErrorCode err = U_ZERO_ERROR;
      bi_ = ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &err);
      if (U_FAILURE(err)) bi_ = nullptr;
    }
    return bi_;
  }

 private:
  UBreakIterator* bi_ = nullptr;
};

thread_local CharacterBreaker tCharacterBreaker;

}  // namespace

CFRange CFStringGetRangeOfComposedCharactersAtIndex(CFStringRef theString, CFIndex theIndex) {
  if (theString == nullptr || theIndex < 0 || theIndex >= theString->length) return CFRangeMake(kCFNotFound, 0);
  const UniChar* u = theString->chars;
  const CFIndex n = theString->length;
  auto plain = [](UniChar c) { return c < 0x80 && c != '\r' && c != '\n'; };
  // ASCII other than CR LF never joins its neighbours, unless a mark or joiner follows or a
  // prepended character (U+0600 and the like) precedes it.
  if (plain(u[theIndex]) && (theIndex + 1 == n || u[theIndex + 1] < 0x80) &&
      (theIndex == 0 || u[theIndex - 1] < 0x80)) {
    return CFRangeMake(theIndex, 1);
  }
  UBreakIterator* bi = tCharacterBreaker.get();
  UErrorCode err = U_ZERO_ERROR;
  if (bi != nullptr && n <= INT32_MAX)
    ubrk_setText(bi, reinterpret_cast<const UChar*>(u), static_cast<int32_t>(n), &err);
  if (bi == nullptr || U_FAILURE(err) || n > INT32_MAX) {  // fall back to code points
    if (qxcf::isLowSurrogate(u[theIndex]) && theIndex > 0 && qxcf::isHighSurrogate(u[theIndex - 1])) {
      return CFRangeMake(theIndex - 1, 2);
    }
    bool pair = qxcf::isHighSurrogate(u[theIndex]) && theIndex + 1 < n && qxcf::isLowSurrogate(u[theIndex + 1]);
    return CFRangeMake(theIndex, pair ? 2 : 1);
  }
  int32_t end = ubrk_following(bi, static_cast<int32_t>(theIndex));
  if (end == UBRK_DONE) end = static_cast<int32_t>(n);
  int32_t start = ubrk_preceding(bi, end);
  if (start == UBRK_DONE) start = 0;
  ubrk_setText(bi, nullptr, 0, &err);  // drop the pointer into a string that may go away
  return CFRangeMake(start, end - start);
}
