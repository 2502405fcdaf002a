/*
 * CFUUID.h
 */
#ifndef __COREFOUNDATION_CFUUID__
#define __COREFOUNDATION_CFUUID__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFUUID* CFUUIDRef;

CF_EXPORT CFTypeID CFUUIDGetTypeID(void);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFUUID__ */
