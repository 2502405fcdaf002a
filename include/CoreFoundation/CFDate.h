/*
 * CFDate.h
 */
#ifndef __COREFOUNDATION_CFDATE__
#define __COREFOUNDATION_CFDATE__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFDate* CFDateRef;
typedef const struct __CFTimeZone* CFTimeZoneRef;

CF_EXPORT CFTypeID CFDateGetTypeID(void);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFDATE__ */
