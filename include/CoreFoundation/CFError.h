/*
 * CFError.h — errors: a domain, a code and a dictionary of further information.
 *
 * Errors are immutable and safe to share between threads.
 */
#ifndef __COREFOUNDATION_CFERROR__
#define __COREFOUNDATION_CFERROR__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef struct __CFError* CFErrorRef;
typedef CFStringRef CFErrorDomain;

CF_EXPORT CFTypeID CFErrorGetTypeID(void);

/* Domains: "NSPOSIXErrorDomain" (errno values), "NSOSStatusErrorDomain", "NSMachErrorDomain",
 * "NSCocoaErrorDomain" (property-list parse errors use code 3840 there). */
CF_EXPORT const CFErrorDomain kCFErrorDomainPOSIX;
CF_EXPORT const CFErrorDomain kCFErrorDomainOSStatus;
CF_EXPORT const CFErrorDomain kCFErrorDomainMach;
CF_EXPORT const CFErrorDomain kCFErrorDomainCocoa;

/* userInfo keys. */
CF_EXPORT const CFStringRef kCFErrorLocalizedDescriptionKey;        /* "NSLocalizedDescription" */
CF_EXPORT const CFStringRef kCFErrorLocalizedFailureKey;            /* "NSLocalizedFailure" */
CF_EXPORT const CFStringRef kCFErrorLocalizedFailureReasonKey;      /* "NSLocalizedFailureReason" */
CF_EXPORT const CFStringRef kCFErrorLocalizedRecoverySuggestionKey; /* "NSLocalizedRecoverySuggestion" */
CF_EXPORT const CFStringRef kCFErrorDescriptionKey;                 /* "NSDescription" */
CF_EXPORT const CFStringRef kCFErrorDebugDescriptionKey;            /* "NSDebugDescription" */
CF_EXPORT const CFStringRef kCFErrorUnderlyingErrorKey;             /* "NSUnderlyingError" */
CF_EXPORT const CFStringRef kCFErrorURLKey;                         /* "NSURL" */
CF_EXPORT const CFStringRef kCFErrorFilePathKey;                    /* "NSFilePath" */

/* A new error (owned). userInfo (may be NULL) is copied. NULL when domain is NULL. */
CF_EXPORT CFErrorRef CFErrorCreate(CFAllocatorRef allocator, CFErrorDomain domain, CFIndex code,
                                   CFDictionaryRef userInfo);
/* As CFErrorCreate, with userInfo built from parallel key and value arrays. */
CF_EXPORT CFErrorRef CFErrorCreateWithUserInfoKeysAndValues(CFAllocatorRef allocator, CFErrorDomain domain,
                                                            CFIndex code, const void* const* userInfoKeys,
                                                            const void* const* userInfoValues,
                                                            CFIndex numUserInfoValues);

CF_EXPORT CFErrorDomain CFErrorGetDomain(CFErrorRef err);
CF_EXPORT CFIndex CFErrorGetCode(CFErrorRef err);
/* The userInfo dictionary (owned; empty when the error has none). */
CF_EXPORT CFDictionaryRef CFErrorCopyUserInfo(CFErrorRef err);
/* A readable description (owned, never NULL): kCFErrorLocalizedDescriptionKey when present, else
 * "The operation couldn’t be completed." followed by the failure reason, or by the domain, code
 * and kCFErrorDescriptionKey / kCFErrorDebugDescriptionKey text. */
CF_EXPORT CFStringRef CFErrorCopyDescription(CFErrorRef err);
/* kCFErrorLocalizedFailureReasonKey, or for the POSIX domain the system's text for the code
 * (owned); NULL when there is none. */
CF_EXPORT CFStringRef CFErrorCopyFailureReason(CFErrorRef err);
/* kCFErrorLocalizedRecoverySuggestionKey (owned); NULL when there is none. */
CF_EXPORT CFStringRef CFErrorCopyRecoverySuggestion(CFErrorRef err);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFERROR__ */
