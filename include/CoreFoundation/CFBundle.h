/*
 * CFBundle.h — the main bundle: the folder of the running executable.
 *
 * Linux programs have no bundle structure or Info.plist: the main bundle is the executable's
 * folder, its info dictionary is empty and it has no identifier.
 */
#ifndef __COREFOUNDATION_CFBUNDLE__
#define __COREFOUNDATION_CFBUNDLE__

#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

typedef struct __CFBundle* CFBundleRef;

CF_EXPORT CFTypeID CFBundleGetTypeID(void);

/* Info dictionary keys. */
CF_EXPORT const CFStringRef kCFBundleInfoDictionaryVersionKey; /* "CFBundleInfoDictionaryVersion" */
CF_EXPORT const CFStringRef kCFBundleExecutableKey;            /* "CFBundleExecutable" */
CF_EXPORT const CFStringRef kCFBundleIdentifierKey;            /* "CFBundleIdentifier" */
CF_EXPORT const CFStringRef kCFBundleVersionKey;               /* "CFBundleVersion" */
CF_EXPORT const CFStringRef kCFBundleDevelopmentRegionKey;     /* "CFBundleDevelopmentRegion" */
CF_EXPORT const CFStringRef kCFBundleNameKey;                  /* "CFBundleName" */
CF_EXPORT const CFStringRef kCFBundleLocalizationsKey;         /* "CFBundleLocalizations" */

/* The bundle of the running executable (borrowed, lives for the process); NULL only when
 * /proc/self/exe cannot be read. */
CF_EXPORT CFBundleRef CFBundleGetMainBundle(void);
/* The main bundle when bundleID is its identifier, else NULL (borrowed). */
CF_EXPORT CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);
/* A bundle for a folder URL (owned); NULL when the URL is not a file URL. */
CF_EXPORT CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);

/* The bundle's folder as a directory file URL (owned). */
CF_EXPORT CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
/* The executable as a file URL (owned): for the main bundle the target of /proc/self/exe; NULL
 * for other bundles. */
CF_EXPORT CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle);
/* The bundle's folder: resources sit beside the executable (owned). */
CF_EXPORT CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
/* The URL of resourceName[.resourceType] in the bundle folder or its subDirName, when that file
 * exists (owned); NULL otherwise. */
CF_EXPORT CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                           CFStringRef subDirName);

/* The info dictionary (borrowed, empty), its values (NULL) and identifier (NULL). */
CF_EXPORT CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CF_EXPORT CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
CF_EXPORT CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CF_EXPORT UInt32 CFBundleGetVersionNumber(CFBundleRef bundle);

/* No string tables exist: returns value when it is non-empty, else key (owned). */
CF_EXPORT CFStringRef CFBundleCopyLocalizedString(CFBundleRef bundle, CFStringRef key, CFStringRef value,
                                                  CFStringRef tableName);

#define CFCopyLocalizedString(key, comment) CFBundleCopyLocalizedString(CFBundleGetMainBundle(), (key), (key), NULL)
#define CFCopyLocalizedStringFromTable(key, tbl, comment) \
  CFBundleCopyLocalizedString(CFBundleGetMainBundle(), (key), (key), (tbl))

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFBUNDLE__ */
