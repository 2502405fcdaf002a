/*
 * CFNumberFormatter.h
 */
#ifndef __COREFOUNDATION_CFNUMBERFORMATTER__
#define __COREFOUNDATION_CFNUMBERFORMATTER__

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef struct __CFNumberFormatter* CFNumberFormatterRef;

CF_EXPORT CFTypeID CFNumberFormatterGetTypeID(void);

CF_EXTERN_C_END

#endif /* __COREFOUNDATION_CFNUMBERFORMATTER__ */
