/*
 * CFSet.h
 */
#ifndef __COREFOUNDATION_CFSET__
#define __COREFOUNDATION_CFSET__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFSet* CFSetRef;
typedef struct __CFSet* CFMutableSetRef;

CF_EXPORT CFTypeID CFSetGetTypeID(void);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFSET__ */
