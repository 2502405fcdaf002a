/*
 * CFLocale.h
 */
#ifndef __COREFOUNDATION_CFLOCALE__
#define __COREFOUNDATION_CFLOCALE__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFLocale* CFLocaleRef;

CF_EXPORT CFTypeID CFLocaleGetTypeID(void);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFLOCALE__ */
