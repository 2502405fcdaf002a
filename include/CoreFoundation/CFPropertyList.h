/*
 * CFPropertyList.h — property lists in Apple's XML format.
 *
 * A property list is a CFString, CFData, CFNumber, CFBoolean, CFDate, or a CFArray / CFDictionary
 * (string keys only) of property lists. The writer produces Apple's XML byte for byte (keys sorted
 * by UTF-16 code unit, tab indentation); the reader accepts what that format allows and treats its
 * input as untrusted: malformed XML, invalid UTF-8, bad base64, out-of-range numbers, nesting
 * deeper than 512 levels and DTD entity definitions give NULL and an error, never a crash.
 * Only the XML format is implemented, in UTF-8 (a byte-order mark is skipped); the OpenStep and
 * binary formats and other text encodings are reported as unsupported.
 * All functions are thread-safe on distinct objects.
 */
#ifndef __COREFOUNDATION_CFPROPERTYLIST__
#define __COREFOUNDATION_CFPROPERTYLIST__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFError.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef CF_OPTIONS(CFOptionFlags, CFPropertyListMutabilityOptions) {
  kCFPropertyListImmutable = 0,
  kCFPropertyListMutableContainers = 1 << 0,
  kCFPropertyListMutableContainersAndLeaves = 1 << 1,
};

typedef CF_ENUM(CFIndex, CFPropertyListFormat) {
  kCFPropertyListOpenStepFormat = 1,
  kCFPropertyListXMLFormat_v1_0 = 100,
  kCFPropertyListBinaryFormat_v1_0 = 200,
};

/* Error codes of the kCFErrorDomainCocoa errors returned by CreateWithData / CreateData. */
enum {
  kCFPropertyListReadCorruptError = 3840,
  kCFPropertyListReadUnknownVersionError = 3841,
  kCFPropertyListReadStreamError = 3842,
  kCFPropertyListWriteStreamError = 3851,
};

/* The XML form of propertyList (owned), or NULL when it is not a valid property list (an object
 * of another type such as CFNull or CFURL, a non-string dictionary key, a string containing
 * U+0000, or nesting deeper than 512 levels, which also catches containers that hold themselves). */
CF_EXPORT CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList);

/* Parses XML property-list bytes. Returns the property list (owned) or NULL; on failure, when
 * errorString is not NULL, *errorString receives a description of the problem with its line
 * (owned by the caller; set to NULL on success). mutabilityOption is one of
 * CFPropertyListMutabilityOptions. */
CF_EXPORT CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                            CFOptionFlags mutabilityOption, CFStringRef* errorString);

/* A deep copy (owned) with the requested mutability; numbers, booleans and dates are shared.
 * NULL when propertyList is not a valid property list. */
CF_EXPORT CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                                         CFOptionFlags mutabilityOption);

/* True when plist can be written in the given format (XML and binary: every property-list type;
 * OpenStep: strings, data, arrays and dictionaries only). */
CF_EXPORT Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format);

/* Serialises propertyList (owned result). Only kCFPropertyListXMLFormat_v1_0 is supported; other
 * formats and invalid property lists give NULL and, when error is not NULL, a CFError (owned, domain
 * kCFErrorDomainCocoa, code kCFPropertyListWriteStreamError). options is reserved: pass 0. */
CF_EXPORT CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                             CFPropertyListFormat format, CFOptionFlags options, CFErrorRef* error);

/* Parses a property list (owned result). options is a CFPropertyListMutabilityOptions value; when
 * format is not NULL it receives the format read. On failure returns NULL and, when error is not
 * NULL, a CFError (owned; domain kCFErrorDomainCocoa, code kCFPropertyListReadCorruptError, the
 * message under kCFErrorDescriptionKey and kCFErrorDebugDescriptionKey). Binary and OpenStep input is
 * reported as unsupported. */
CF_EXPORT CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data,
                                                         CFOptionFlags options, CFPropertyListFormat* format,
                                                         CFErrorRef* error);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFPROPERTYLIST__ */
