/*
 * CFString.h — Unicode strings.
 *
 * A string holds UTF-16 code units; every length, index and range counts code units. Creating a
 * string from bytes that are not valid in the stated encoding (invalid UTF-8 included) returns
 * NULL. Comparison and search beyond ASCII follow Unicode through ICU.
 */
#ifndef __COREFOUNDATION_CFSTRING__
#define __COREFOUNDATION_CFSTRING__

/* As on Apple's platforms, CFString.h brings the headers of the types its functions take; none of
 * them includes CFString.h back (CFStringRef itself is declared in CFBase.h). */
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFLocale.h>
#include <stdarg.h>

CF_EXTERN_C_BEGIN

typedef UInt32 CFStringEncoding;

typedef CF_ENUM(CFStringEncoding, CFStringBuiltInEncodings) {
  kCFStringEncodingMacRoman = 0,
  kCFStringEncodingWindowsLatin1 = 0x0500,
  kCFStringEncodingISOLatin1 = 0x0201,
  kCFStringEncodingNextStepLatin = 0x0B01,
  kCFStringEncodingASCII = 0x0600,
  kCFStringEncodingUnicode = 0x0100,
  kCFStringEncodingUTF8 = 0x08000100,
  kCFStringEncodingNonLossyASCII = 0x0BFF,
  kCFStringEncodingUTF16 = 0x0100,
  kCFStringEncodingUTF16BE = 0x10000100,
  kCFStringEncodingUTF16LE = 0x14000100,
  kCFStringEncodingUTF32 = 0x0c000100,
  kCFStringEncodingUTF32BE = 0x18000100,
  kCFStringEncodingUTF32LE = 0x1c000100,
};

#define kCFStringEncodingInvalidId (0xffffffffU)

typedef CF_OPTIONS(CFOptionFlags, CFStringCompareFlags) {
  kCFCompareCaseInsensitive = 1,
  kCFCompareBackwards = 4,
  kCFCompareAnchored = 8,
  kCFCompareNonliteral = 16,
  kCFCompareLocalized = 32,
  kCFCompareNumerically = 64,
  kCFCompareDiacriticInsensitive = 128,
  kCFCompareWidthInsensitive = 256,
  kCFCompareForcedOrdering = 512,
};

typedef CF_ENUM(CFIndex, CFStringNormalizationForm) {
  kCFStringNormalizationFormD = 0,
  kCFStringNormalizationFormKD,
  kCFStringNormalizationFormC,
  kCFStringNormalizationFormKC,
};

/* A process-lifetime constant string, interned: the same text gives the same object. Each use
   looks its string up once and keeps it, so CFSTR in a loop costs a load, not a table lookup. */
CF_EXPORT CFStringRef __CFStringMakeConstantString(const char* cStr);
#if defined(__cplusplus)
#define CFSTR(cStr) ([]() -> CFStringRef { \
  static const CFStringRef qxcfConstant = __CFStringMakeConstantString("" cStr ""); \
  return qxcfConstant; \
}())
#elif defined(__GNUC__)
/* Interning makes every lookup give the same object, so racing first uses store the same value. */
#define CFSTR(cStr) (__extension__({ \
  static CFStringRef qxcfConstant; \
  CFStringRef qxcfFound = __atomic_load_n(&qxcfConstant, __ATOMIC_ACQUIRE); \
  if (qxcfFound == NULL) { \
    qxcfFound = __CFStringMakeConstantString("" cStr ""); \
    __atomic_store_n(&qxcfConstant, qxcfFound, __ATOMIC_RELEASE); \
  } \
  qxcfFound; \
}))
#else
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
#endif

CF_EXPORT CFTypeID CFStringGetTypeID(void);

/* ---- Creation. All return an owned string, or NULL on invalid input. ---- */

CF_EXPORT CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding);
/* UTF-16 without a BOM is big-endian when isExternalRepresentation, else host order; a BOM is
 * honoured and dropped. */
CF_EXPORT CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                              CFStringEncoding encoding, Boolean isExternalRepresentation);
CF_EXPORT CFStringRef CFStringCreateWithCharacters(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars);
/* The NoCopy forms may copy; the contents are then freed at once with contentsDeallocator
 * (kCFAllocatorNull: the caller keeps them; NULL: the default allocator frees them). When creation
 * fails (NULL result) the contents are left to the caller. */
CF_EXPORT CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char* cStr, CFStringEncoding encoding,
                                                      CFAllocatorRef contentsDeallocator);
CF_EXPORT CFStringRef CFStringCreateWithBytesNoCopy(CFAllocatorRef alloc, const UInt8* bytes, CFIndex numBytes,
                                                    CFStringEncoding encoding, Boolean isExternalRepresentation,
                                                    CFAllocatorRef contentsDeallocator);
CF_EXPORT CFStringRef CFStringCreateWithCharactersNoCopy(CFAllocatorRef alloc, const UniChar* chars, CFIndex numChars,
                                                         CFAllocatorRef contentsDeallocator);
CF_EXPORT CFStringRef CFStringCreateWithSubstring(CFAllocatorRef alloc, CFStringRef str, CFRange range);
/* An immutable copy; may return str itself retained when str is immutable. */
CF_EXPORT CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString);

/* printf conversions: flags - + space # 0 ', width and precision (digits or *), length modifiers
 * hh h l ll q z t j L, d i u x X o D U O c s p e E f F g G a A %%; plus %@ (an object's formatting
 * description, "(null)" for NULL; width and precision count UTF-16 units), %S and %ls (a
 * NUL-terminated UniChar string, or at most precision units), %C (a UniChar) and %lc (a code
 * point). %s reads UTF-8: invalid bytes become U+FFFD; its width and precision count bytes.
 * Numbers print as printf does in the C locale, whatever the process locale. Positional arguments
 * ("%2$d", "%1$*2$d") must not be mixed with sequential ones and must use every position up to the
 * highest. An invalid format (%n, which never writes memory, an unknown conversion, a trailing '%',
 * mixed or missing positions, a width or numeric precision above 1000000) gives NULL, and
 * CFStringAppendFormat leaves the string unchanged. formatOptions is ignored. */
CF_EXPORT CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format,
                                               ...);
CF_EXPORT CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                                           CFStringRef format, va_list arguments);

/* maxLength is a hint, never a limit. */
CF_EXPORT CFMutableStringRef CFStringCreateMutable(CFAllocatorRef alloc, CFIndex maxLength);
CF_EXPORT CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength, CFStringRef theString);

/* ---- Access ---- */

CF_EXPORT CFIndex CFStringGetLength(CFStringRef theString);
CF_EXPORT UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx);
CF_EXPORT void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar* buffer);
/* Writes a NUL-terminated conversion; false if it does not fit or cannot be converted losslessly. */
CF_EXPORT Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                                     CFStringEncoding encoding);
/* A pointer into the string's own storage, or NULL when none is at hand (always allowed). */
CF_EXPORT const char* CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
CF_EXPORT const UniChar* CFStringGetCharactersPtr(CFStringRef theString);
/* Converts as many characters of range as fit; returns how many were converted. Characters that
 * cannot be represented (lone surrogates included) become lossByte, or stop the conversion when
 * lossByte is 0. With buffer NULL only counts (usedBufLen receives the byte count). */
CF_EXPORT CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                                   Boolean isExternalRepresentation, UInt8* buffer, CFIndex maxBufLen,
                                   CFIndex* usedBufLen);
CF_EXPORT CFStringRef CFStringCreateFromExternalRepresentation(CFAllocatorRef alloc, CFDataRef data,
                                                               CFStringEncoding encoding);
CF_EXPORT CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString,
                                                         CFStringEncoding encoding, UInt8 lossByte);
CF_EXPORT CFStringEncoding CFStringGetSmallestEncoding(CFStringRef theString);
CF_EXPORT CFStringEncoding CFStringGetFastestEncoding(CFStringRef theString);
/* UTF-8. */
CF_EXPORT CFStringEncoding CFStringGetSystemEncoding(void);
/* Upper bound of bytes for length UTF-16 units in encoding (without a terminator); -1 on overflow. */
CF_EXPORT CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
CF_EXPORT Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding);
/* A constant such as "Unicode (UTF-8)"; NULL for an unavailable encoding. */
CF_EXPORT CFStringRef CFStringGetNameOfEncoding(CFStringEncoding encoding);
/* The IANA charset name ("utf-8", "iso-8859-1", ...), a constant; NULL when there is none. */
CF_EXPORT CFStringRef CFStringConvertEncodingToIANACharSetName(CFStringEncoding encoding);
/* Case-insensitive; kCFStringEncodingInvalidId for an unknown name. */
CF_EXPORT CFStringEncoding CFStringConvertIANACharSetNameToEncoding(CFStringRef theString);
/* UTF-8, NUL-terminated. False when it does not fit, or when the string holds a NUL character or
 * a lone surrogate (either would name a different file). */
CF_EXPORT Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char* buffer, CFIndex maxBufLen);
CF_EXPORT CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string);
CF_EXPORT CFStringRef CFStringCreateWithFileSystemRepresentation(CFAllocatorRef alloc, const char* buffer);

/* ---- Comparison and search. Options 0 order by UTF-16 code unit. ----
 * kCFCompareLocalized collates with the locale given to the ...AndLocale forms (NULL: the root,
 * locale-independent collation), and with the current locale in the others.
 * Search results are ranges of the searched string's own units, covering whole characters, also
 * when folding changes lengths ("ß" is found for "SS" case-insensitively). An empty string to
 * find is never found. */

CF_EXPORT CFComparisonResult CFStringCompareWithOptionsAndLocale(CFStringRef theString1, CFStringRef theString2,
                                                                 CFRange rangeToCompare,
                                                                 CFStringCompareFlags compareOptions,
                                                                 CFLocaleRef locale);
CF_EXPORT CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2,
                                                        CFRange rangeToCompare, CFStringCompareFlags compareOptions);
CF_EXPORT CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                             CFStringCompareFlags compareOptions);
CF_EXPORT Boolean CFStringFindWithOptionsAndLocale(CFStringRef theString, CFStringRef stringToFind,
                                                   CFRange rangeToSearch, CFStringCompareFlags searchOptions,
                                                   CFLocaleRef locale, CFRange* result);
CF_EXPORT Boolean CFStringFindWithOptions(CFStringRef theString, CFStringRef stringToFind, CFRange rangeToSearch,
                                          CFStringCompareFlags searchOptions, CFRange* result);
/* An owned array whose elements point to CFRange values (owned by the array), one per
 * non-overlapping match in search order (the last match first with kCFCompareBackwards); with
 * kCFCompareAnchored, the adjacent matches from the anchor on. NULL when there is none. */
CF_EXPORT CFArrayRef CFStringCreateArrayWithFindResults(CFAllocatorRef alloc, CFStringRef theString,
                                                        CFStringRef stringToFind, CFRange rangeToSearch,
                                                        CFStringCompareFlags compareOptions);
/* {kCFNotFound, 0} when absent. */
CF_EXPORT CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind, CFStringCompareFlags compareOptions);
CF_EXPORT Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix);
CF_EXPORT Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix);

/* The range of the composed character sequence (grapheme cluster: a base with its marks, a
 * surrogate pair, an emoji sequence) containing theIndex; {kCFNotFound, 0} when out of range. */
CF_EXPORT CFRange CFStringGetRangeOfComposedCharactersAtIndex(CFStringRef theString, CFIndex theIndex);

/* ---- Splitting, joining and values ---- */

/* An owned CFArray of owned strings; the whole string as the only element when separator is absent. */
CF_EXPORT CFArrayRef CFStringCreateArrayBySeparatingStrings(CFAllocatorRef alloc, CFStringRef theString,
                                                            CFStringRef separatorString);
CF_EXPORT CFStringRef CFStringCreateByCombiningStrings(CFAllocatorRef alloc, CFArrayRef theArray,
                                                       CFStringRef separatorString);
/* Leading whitespace, optional sign, digits; 0 when there are none; saturates on overflow. */
CF_EXPORT SInt32 CFStringGetIntValue(CFStringRef str);
/* After leading whitespace: [+-] digits [. digits] [e|E [+-] digits], always with "." as the point,
 * converted as strtod does (so "1e999" is HUGE_VAL); 0.0 when the string does not start that way.
 * "nan", "inf", "infinity" and hex forms are not numbers here and give 0.0. */
CF_EXPORT double CFStringGetDoubleValue(CFStringRef str);

/* ---- Mutation. Called on an immutable string, or with a range outside the string, these change
 * nothing. ---- */

CF_EXPORT void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString);
CF_EXPORT void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar* chars, CFIndex numChars);
CF_EXPORT void CFStringAppendCString(CFMutableStringRef theString, const char* cStr, CFStringEncoding encoding);
CF_EXPORT void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions, CFStringRef format,
                                    ...);
CF_EXPORT void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef formatOptions,
                                                CFStringRef format, va_list arguments);
CF_EXPORT void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr);
CF_EXPORT void CFStringDelete(CFMutableStringRef theString, CFRange range);
CF_EXPORT void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement);
CF_EXPORT void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement);
/* Returns the number of replacements. */
CF_EXPORT CFIndex CFStringFindAndReplace(CFMutableStringRef theString, CFStringRef stringToFind,
                                         CFStringRef replacementString, CFRange rangeToSearch,
                                         CFStringCompareFlags compareOptions);
CF_EXPORT void CFStringPad(CFMutableStringRef theString, CFStringRef padString, CFIndex length, CFIndex indexIntoPad);
CF_EXPORT void CFStringTrim(CFMutableStringRef theString, CFStringRef trimString);
CF_EXPORT void CFStringTrimWhitespace(CFMutableStringRef theString);
CF_EXPORT void CFStringLowercase(CFMutableStringRef theString, CFLocaleRef locale);
CF_EXPORT void CFStringUppercase(CFMutableStringRef theString, CFLocaleRef locale);
/* The first letter of each word (ICU word boundaries) upper-cased (title-cased), the rest lowered.
 * A NULL locale gives locale-independent rules for all three. */
CF_EXPORT void CFStringCapitalize(CFMutableStringRef theString, CFLocaleRef locale);
CF_EXPORT void CFStringNormalize(CFMutableStringRef theString, CFStringNormalizationForm theForm);
/* Folds case, diacritics and/or width per the compare flags given. */
CF_EXPORT void CFStringFold(CFMutableStringRef theString, CFStringCompareFlags theFlags, CFLocaleRef theLocale);

/* ---- Debugging ---- */

/* Writes the formatting description of obj ("%@" form) and a line feed to standard error. */
CF_EXPORT void CFShow(CFTypeRef obj);
/* Writes the string's length, storage facts and contents to standard error. */
CF_EXPORT void CFShowStr(CFStringRef str);

/* ---- Surrogates and the inline buffer (fast sequential character access) ---- */

CF_INLINE Boolean CFStringIsSurrogateHighCharacter(UniChar character) {
  return (Boolean)(character >= 0xD800U && character <= 0xDBFFU);
}

CF_INLINE Boolean CFStringIsSurrogateLowCharacter(UniChar character) {
  return (Boolean)(character >= 0xDC00U && character <= 0xDFFFU);
}

CF_INLINE UTF32Char CFStringGetLongCharacterForSurrogatePair(UniChar surrogateHigh, UniChar surrogateLow) {
  return (UTF32Char)(((surrogateHigh - 0xD800UL) << 10) + (surrogateLow - 0xDC00UL) + 0x10000UL);
}

/* False (nothing written) for characters that need no surrogates. */
CF_INLINE Boolean CFStringGetSurrogatePairForLongCharacter(UTF32Char character, UniChar* surrogates) {
  if (character > 0xFFFFUL && character < 0x110000UL) {
    character -= 0x10000UL;
    if (surrogates != NULL) {
      surrogates[0] = (UniChar)((character >> 10) + 0xD800UL);
      surrogates[1] = (UniChar)((character & 0x3FFUL) + 0xDC00UL);
    }
    return true;
  }
  if (surrogates != NULL) surrogates[0] = (UniChar)character;
  return false;
}

#define __kCFStringInlineBufferLength 64

typedef struct {
  UniChar buffer[__kCFStringInlineBufferLength];
  CFStringRef theString;
  const UniChar* directUniCharBuffer;
  const char* directCStringBuffer;
  CFRange rangeToBuffer;
  CFIndex bufferedRangeStart;
  CFIndex bufferedRangeEnd;
} CFStringInlineBuffer;

CF_INLINE void CFStringInitInlineBuffer(CFStringRef str, CFStringInlineBuffer* buf, CFRange range) {
  buf->theString = str;
  buf->rangeToBuffer = range;
  buf->directUniCharBuffer = CFStringGetCharactersPtr(str);
  buf->directCStringBuffer = NULL;
  buf->bufferedRangeStart = buf->bufferedRangeEnd = 0;
}

/* 0 for an index outside the buffer's range. */
CF_INLINE UniChar CFStringGetCharacterFromInlineBuffer(CFStringInlineBuffer* buf, CFIndex idx) {
  if (idx < 0 || idx >= buf->rangeToBuffer.length) return 0;
  if (buf->directUniCharBuffer != NULL) return buf->directUniCharBuffer[idx + buf->rangeToBuffer.location];
  if (idx >= buf->bufferedRangeEnd || idx < buf->bufferedRangeStart) {
    if ((buf->bufferedRangeStart = idx - 4) < 0) buf->bufferedRangeStart = 0;
    buf->bufferedRangeEnd = buf->bufferedRangeStart + __kCFStringInlineBufferLength;
    if (buf->bufferedRangeEnd > buf->rangeToBuffer.length) buf->bufferedRangeEnd = buf->rangeToBuffer.length;
    CFStringGetCharacters(buf->theString,
                          CFRangeMake(buf->rangeToBuffer.location + buf->bufferedRangeStart,
                                      buf->bufferedRangeEnd - buf->bufferedRangeStart),
                          buf->buffer);
  }
  return buf->buffer[idx - buf->bufferedRangeStart];
}

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFSTRING__ */
