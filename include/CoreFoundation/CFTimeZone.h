/*
 * CFTimeZone.h
 */
#ifndef __COREFOUNDATION_CFTIMEZONE__
#define __COREFOUNDATION_CFTIMEZONE__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFTimeZone* CFTimeZoneRef;

CF_EXPORT CFTypeID CFTimeZoneGetTypeID(void);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFTIMEZONE__ */
