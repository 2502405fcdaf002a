/*
 * CFURL.h — URLs, and file URLs built from POSIX paths.
 *
 * A URL is its string plus an optional base URL it is relative to. URLs are immutable and safe to
 * share between threads. CFEqual compares the string and the base (a trailing slash counts);
 * "%@" inserts the URL's string.
 *
 * The HFS path style is not supported (functions given it return NULL or false); the Windows
 * style is taken as POSIX, since this library uses POSIX paths everywhere.
 *
 * File-system paths are turned into URL text by percent-encoding every byte that is not legal in
 * a URL path (space becomes %20, non-ASCII characters their UTF-8 bytes); paths that come back
 * out are percent-decoded.
 */
#ifndef __COREFOUNDATION_CFURL__
#define __COREFOUNDATION_CFURL__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFURL* CFURLRef;

typedef CF_ENUM(CFIndex, CFURLPathStyle) {
  kCFURLPOSIXPathStyle = 0,
  kCFURLHFSPathStyle = 1,
  kCFURLWindowsPathStyle = 2,
};

CF_EXPORT CFTypeID CFURLGetTypeID(void);

/* ---- Creation. All return an owned URL, or NULL. ---- */

/* Bytes in encoding (UTF-8, ASCII or ISO Latin-1; other encodings are read as UTF-8). Characters
 * outside ASCII are percent-encoded in that encoding; the result must then be a valid URL. */
CF_EXPORT CFURLRef CFURLCreateWithBytes(CFAllocatorRef allocator, const UInt8* URLBytes, CFIndex length,
                                        CFStringEncoding encoding, CFURLRef baseURL);
/* NULL when URLString is not a valid URL: characters outside the URL character set (spaces,
 * non-ASCII, a second '#', brackets outside the host), a '%' not followed by two hex digits, a
 * malformed scheme or port. baseURL is ignored when URLString has a scheme. */
CF_EXPORT CFURLRef CFURLCreateWithString(CFAllocatorRef allocator, CFStringRef URLString, CFURLRef baseURL);
/* An absolute path gives "file:///…". A relative path gives a URL relative to baseURL, or, when
 * baseURL is NULL, relative to a file URL of the current directory. isDirectory adds a trailing
 * slash; an existing one is kept either way. NULL for an empty path. */
CF_EXPORT CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                                 CFURLPathStyle pathStyle, Boolean isDirectory);
CF_EXPORT CFURLRef CFURLCreateWithFileSystemPathRelativeToBase(CFAllocatorRef allocator, CFStringRef filePath,
                                                               CFURLPathStyle pathStyle, Boolean isDirectory,
                                                               CFURLRef baseURL);
/* buffer holds bufLen bytes of a path (a NUL ends it early). The bytes need not be UTF-8: bytes
 * that are not are percent-encoded as they are, so any POSIX path survives the round trip
 * through CFURLGetFileSystemRepresentation. */
CF_EXPORT CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator, const UInt8* buffer,
                                                           CFIndex bufLen, Boolean isDirectory);
CF_EXPORT CFURLRef CFURLCreateFromFileSystemRepresentationRelativeToBase(CFAllocatorRef allocator, const UInt8* buffer,
                                                                         CFIndex bufLen, Boolean isDirectory,
                                                                         CFURLRef baseURL);
/* The URL resolved against its base, with "." and ".." segments removed (owned; the URL itself
 * retained when it has no base). */
CF_EXPORT CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL);

/* ---- Access ---- */

/* The URL's own (possibly relative) string and its base; both borrowed. */
CF_EXPORT CFStringRef CFURLGetString(CFURLRef anURL);
CF_EXPORT CFURLRef CFURLGetBaseURL(CFURLRef anURL);
/* False for URLs whose text after the scheme does not start with '/' ("mailto:a@b"); the
 * component functions below return NULL (-1 for the port) for them. */
CF_EXPORT Boolean CFURLCanBeDecomposed(CFURLRef anURL);
/* Percent-decoded path of the URL itself (not resolved against the base), without a trailing
 * slash except for "/". NULL when the decoded bytes are not UTF-8 or contain NUL. */
CF_EXPORT CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);
/* Writes the percent-decoded path, NUL-terminated, as raw bytes. False when it does not fit,
 * decodes to a NUL byte, or the URL has no path. */
CF_EXPORT Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase, UInt8* buffer,
                                                   CFIndex maxBufLen);
/* The scheme without ':'; a relative URL reports its base's. NULL when there is none. */
CF_EXPORT CFStringRef CFURLCopyScheme(CFURLRef anURL);
/* The path as written (escapes kept, not resolved). */
CF_EXPORT CFStringRef CFURLCopyPath(CFURLRef anURL);
/* Host, percent-decoded, IPv6 brackets removed; a relative URL without its own host reports its
 * base's. NULL when there is none (also for "file:///"). */
CF_EXPORT CFStringRef CFURLCopyHostName(CFURLRef anURL);
/* -1 when the URL names no port. */
CF_EXPORT SInt32 CFURLGetPortNumber(CFURLRef anURL);
/* Without the '?' or '#'; escapes are replaced as CFURLCreateStringByReplacingPercentEscapes does
 * with charactersToLeaveEscaped (NULL keeps them all). NULL when absent or undecodable. */
CF_EXPORT CFStringRef CFURLCopyQueryString(CFURLRef anURL, CFStringRef charactersToLeaveEscaped);
CF_EXPORT CFStringRef CFURLCopyFragment(CFURLRef anURL, CFStringRef charactersToLeaveEscaped);
/* True when the path ends with '/' (an empty path asks the base). */
CF_EXPORT Boolean CFURLHasDirectoryPath(CFURLRef anURL);
/* Percent-decoded; a trailing slash is ignored ("/a/dir/" gives "dir"); "/" for the root; "" for
 * an empty path. */
CF_EXPORT CFStringRef CFURLCopyLastPathComponent(CFURLRef url);
/* The text after the last '.' of the last component; NULL when there is none, when it is empty,
 * or when the only '.' starts the component (".profile"). */
CF_EXPORT CFStringRef CFURLCopyPathExtension(CFURLRef url);

/* ---- Derived URLs (owned; query, fragment and base are kept) ---- */

/* pathComponent is percent-encoded as a path ('/' kept); isDirectory adds a trailing slash. */
CF_EXPORT CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                                         CFStringRef pathComponent, Boolean isDirectory);
/* "/a/b" and "/a/b/" give "/a/"; a single relative component gives "./"; "/" stays "/" (rather
 * than becoming "/../"). */
CF_EXPORT CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);
/* Adds ".extension" to the last component, before a trailing slash. NULL when the path has no
 * last component ("" or "/"). */
CF_EXPORT CFURLRef CFURLCreateCopyAppendingPathExtension(CFAllocatorRef allocator, CFURLRef url, CFStringRef extension);
CF_EXPORT CFURLRef CFURLCreateCopyDeletingPathExtension(CFAllocatorRef allocator, CFURLRef url);

/* ---- Percent escapes ---- */

/* Escapes (uppercase %XX of the bytes in encoding) every character that is not legal in a URL —
 * all but letters, digits and -_.!~*'();/?:@&=+$, — except those in charactersToLeaveUnescaped,
 * and also the legal characters listed in legalURLCharactersToBeEscaped ('%' is always escaped
 * unless left unescaped). Encodings: UTF-8, ASCII, ISO Latin-1 (others are taken as UTF-8). Owned;
 * NULL when a character cannot be encoded (a lone surrogate, or beyond the encoding). */
CF_EXPORT CFStringRef CFURLCreateStringByAddingPercentEscapes(CFAllocatorRef allocator, CFStringRef originalString,
                                                              CFStringRef charactersToLeaveUnescaped,
                                                              CFStringRef legalURLCharactersToBeEscaped,
                                                              CFStringEncoding encoding);
/* Replaces escapes, read as UTF-8. charactersToLeaveEscaped: NULL replaces none (a copy is
 * returned unexamined), "" replaces every escape, any other string lists characters whose escapes
 * stay as they are. Owned; NULL for a malformed escape ('%' without two hex digits) or escapes
 * whose bytes are not valid UTF-8. */
CF_EXPORT CFStringRef CFURLCreateStringByReplacingPercentEscapes(CFAllocatorRef allocator, CFStringRef originalString,
                                                                 CFStringRef charactersToLeaveEscaped);
/* The same, reading escaped bytes in encoding (UTF-8, ASCII or ISO Latin-1). */
CF_EXPORT CFStringRef CFURLCreateStringByReplacingPercentEscapesUsingEncoding(CFAllocatorRef allocator,
                                                                              CFStringRef origString,
                                                                              CFStringRef charsToLeaveEscaped,
                                                                              CFStringEncoding encoding);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFURL__ */
